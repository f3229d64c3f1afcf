// The oscillator fit and the auto-tune arithmetic on synthetic curves.

#include "lockin/DncFit.h"
#include "lockin/DncPlot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace qvt {
namespace {

struct Synthetic {
    std::vector<double> Curve;
    double Step = 0.0;
    double Start = 0.0;
    int N = 0;
};

// Amplitude of a driven oscillator, with relative noise and a floor.
Synthetic ShoCurve(double f0, double q, double start, double stop, int n, double noise, double floor = 0.0,
                   unsigned seed = 7)
{
    Synthetic s;
    s.N = n;
    s.Start = start;
    s.Step = (stop - start) / n;
    s.Curve.resize(static_cast<size_t>(n + 1));
    std::mt19937 gen(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int i = 0; i <= n; ++i) {
        const double f = i * s.Step + start;
        const double a = std::sqrt(ShoPower(f, f0, q, 1.0e-3, 0.0)) + floor;
        s.Curve[static_cast<size_t>(i)] = a * (1.0 + noise * g(gen));
    }
    return s;
}

TShoFit Fitted(const Synthetic& s)
{
    TShoFit fit;
    FillShoFit(fit, s.Curve, s.N, s.Step, s.Start);
    FitSho(fit, s.Curve, s.N);
    return fit;
}

TEST(ShoFit, FindsPeakAndQOfNoisyOscillatorCurves)
{
    for (const double q : {20.0, 50.0, 200.0}) {
        // A range some fifteen widths wide, as auto tune ends up with.
        const double width = 21000.0 / q;
        const Synthetic s = ShoCurve(21000.0, q, 21000.0 - 8 * width, 21000.0 + 8 * width, 512, 0.01);
        const TShoFit fit = Fitted(s);
        SCOPED_TRACE(q);
        EXPECT_FALSE(fit.MathError);
        EXPECT_FALSE(fit.NoiseError);
        EXPECT_NEAR(fit.FitPeakFrequency, 21000.0, s.Step);
        EXPECT_NEAR(fit.FitQ, q, 0.05 * q);
        EXPECT_GE(fit.FitOffset, 0.0); // a negative baseline is reported as 0
        // The drawn curve follows the data at the peak.
        EXPECT_NEAR(fit.FitCurve[static_cast<size_t>(fit.PeakIndex)], s.Curve[static_cast<size_t>(fit.PeakIndex)],
                    0.1 * s.Curve[static_cast<size_t>(fit.PeakIndex)]);
    }
    // A wide sweep over a sharp resonance: f0 moves on the points' grid, so
    // a dozen points across the peak are what holds Q to a few per cent.
    const Synthetic wide = ShoCurve(21000.0, 200.0, 10000.0, 30000.0, 2048, 0.01);
    const TShoFit fit = Fitted(wide);
    EXPECT_NEAR(fit.FitPeakFrequency, 21000.0, wide.Step);
    EXPECT_NEAR(fit.FitQ, 200.0, 40.0);
}

} // namespace
} // namespace qvt
