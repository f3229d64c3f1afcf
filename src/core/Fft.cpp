#include "core/Fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace qvt {

uint32_t BitReverse(uint32_t index, unsigned bits)
{
    uint32_t out = 0;
    for (unsigned b = 0; b < bits; ++b) {
        out = (out << 1) | (index & 1u);
        index >>= 1;
    }
    return out;
}

bool FftInPlace(std::vector<std::complex<double>>& data)
{
    const size_t n = data.size();
    if (n < 2 || (n & (n - 1)) != 0)
        return false;
    unsigned bits = 0;
    while ((size_t{1} << bits) < n)
        ++bits;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t j = BitReverse(i, bits);
        if (j > i)
            std::swap(data[i], data[j]);
    }
    // Butterflies by stage; the twiddle cos t - i sin t makes it the forward transform.
    for (size_t len = 2; len <= n; len <<= 1) {
        const double step = -2.0 * std::numbers::pi / static_cast<double>(len);
        for (size_t k = 0; k < len / 2; ++k) {
            const std::complex<double> w(std::cos(step * static_cast<double>(k)),
                                         std::sin(step * static_cast<double>(k)));
            for (size_t start = 0; start < n; start += len) {
                const std::complex<double> odd = w * data[start + k + len / 2];
                data[start + k + len / 2] = data[start + k] - odd;
                data[start + k] += odd;
            }
        }
    }
    return true;
}

double HannWeight(int k, int n)
{
    if (n <= 0)
        return 0.0;
    const double s = std::sin(std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
    return s * s;
}

} // namespace qvt
