#include "core/Fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace qvt;

namespace {
std::vector<std::complex<double>> PlainDft(const std::vector<std::complex<double>>& x)
{
    const size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (size_t k = 0; k < n; ++k)
        for (size_t j = 0; j < n; ++j)
            out[k] += x[j] * std::polar(1.0, -2.0 * std::numbers::pi * double(k * j % n) / double(n));
    return out;
}
} // namespace

TEST(Fft, MatchesThePlainTransformOnRandomFrames)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1000.0, 1000.0);
    for (size_t n : {2u, 8u, 512u}) {
        std::vector<std::complex<double>> x(n);
        for (auto& v : x)
            v = {u(rng), u(rng)};
        const auto expected = PlainDft(x);
        ASSERT_TRUE(FftInPlace(x));
        for (size_t k = 0; k < n; ++k)
            EXPECT_NEAR(std::abs(x[k] - expected[k]), 0.0, 1e-6) << "n " << n << " bin " << k;
    }
}

TEST(Fft, PutsAPositiveToneInItsOwnBinAndRefusesOtherSizes)
{
    // exp(+2 pi i 5 n / 512) is a tone 5 bins above the centre; a forward transform puts it in bin 5.
    std::vector<std::complex<double>> x(512);
    for (size_t j = 0; j < x.size(); ++j)
        x[j] = std::polar(1.0, 2.0 * std::numbers::pi * 5.0 * double(j) / 512.0);
    ASSERT_TRUE(FftInPlace(x));
    EXPECT_NEAR(std::abs(x[5]), 512.0, 1e-6);
    EXPECT_NEAR(std::abs(x[512 - 5]), 0.0, 1e-6);

    std::vector<std::complex<double>> odd(6, {1.0, 0.0});
    EXPECT_FALSE(FftInPlace(odd));
    EXPECT_EQ(odd[0], std::complex<double>(1.0, 0.0));
    std::vector<std::complex<double>> empty;
    EXPECT_FALSE(FftInPlace(empty));

    EXPECT_EQ(BitReverse(1, 9), 256u);
    EXPECT_EQ(BitReverse(0b110000000, 9), 0b000000011u);
    EXPECT_DOUBLE_EQ(HannWeight(0, 512), 0.0);
    EXPECT_NEAR(HannWeight(256, 512), 1.0, 1e-12);
}
