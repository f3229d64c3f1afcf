// The oscillator fit and the auto-tune arithmetic on synthetic curves.

#include "lockin/DncFit.h"
#include "core/NumberText.h"
#include "lockin/DncPlot.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ShoFit, LowEdgeRuleTakesThePeakBehindTheFirstDeepFall)
{
    // A curve that starts high (the drive's feed-through), falls below a
    // tenth of point 1 and then shows the resonance.
    Synthetic s = ShoCurve(21000.0, 50.0, 19000.0, 23000.0, 512, 0.0);
    const double resonance = *std::max_element(s.Curve.begin(), s.Curve.end());
    for (int i = 0; i <= 40; ++i)
        s.Curve[static_cast<size_t>(i)] = 3.0 * resonance * (1.0 - i / 40.0) + s.Curve[static_cast<size_t>(i)];
    const TDncPeak peak = FindPeakIndex(s.Curve, s.N);
    EXPECT_NEAR(peak.Index * s.Step + s.Start, 21000.0, s.Step);
    EXPECT_GT(peak.EdgeIndex, 30);
    EXPECT_DOUBLE_EQ(peak.EdgeValue, s.Curve[static_cast<size_t>(peak.EdgeIndex)]);

    TShoFit fit;
    FillShoFit(fit, s.Curve, s.N, s.Step, s.Start);
    FitSho(fit, s.Curve, s.N);
    EXPECT_EQ(fit.PeakIndex, peak.Index);
    // The flattened start holds the curve's value at the crossing (an
    // amplitude, as the power array is filled there).
    for (int k = 2; k < peak.EdgeIndex - 2; ++k)
        EXPECT_DOUBLE_EQ(fit.FitPower[static_cast<size_t>(k)], peak.EdgeValue) << k;

    // Nothing falls deep enough: the peak is point 1.
    std::vector<double> slope(513);
    for (int i = 0; i <= 512; ++i)
        slope[static_cast<size_t>(i)] = 100.0 - i * 0.01;
    EXPECT_EQ(FindPeakIndex(slope, 512).Index, 1);
}

TEST(ShoFit, SearchStopsAtItsCounts)
{
    const Synthetic s = ShoCurve(21000.0, 100.0, 20000.0, 22000.0, 512, 0.0);
    const TShoFit fit = Fitted(s);
    EXPECT_EQ(fit.QRounds, FitQRounds);
    // Golden: every inner search counts its own six changes of direction
    // (the first step of the first search counts as one).
    EXPECT_EQ(fit.InnerSteps, 282);
    EXPECT_LT(fit.InnerSteps, FitMaxInnerSteps);

    // An abort ends both searches after their first step.
    TShoFit stopped;
    FillShoFit(stopped, s.Curve, s.N, s.Step, s.Start);
    const bool abort = true;
    FitSho(stopped, s.Curve, s.N, {}, &abort);
    EXPECT_EQ(stopped.InnerSteps, 1);
    EXPECT_EQ(stopped.QRounds, 1);
}

TEST(ShoFit, NoiseAndArithmeticFailuresEndTheFitWithUsableValues)
{
    // A floor above a fifth of the peak power.
    const Synthetic noisy = ShoCurve(21000.0, 100.0, 20000.0, 22000.0, 512, 0.0, 0.1);
    const TShoFit n = Fitted(noisy);
    EXPECT_TRUE(n.NoiseError);
    EXPECT_FALSE(n.MathError);

    // The peak at point 1: the left line has one point, 0/0.
    std::vector<double> falling(513);
    for (int i = 0; i <= 512; ++i)
        falling[static_cast<size_t>(i)] = 100.0 - i * 0.01;
    TShoFit m;
    FillShoFit(m, falling, 512, 2.0, 20000.0);
    FitSho(m, falling, 512);
    EXPECT_TRUE(m.MathError);
    EXPECT_TRUE(std::isfinite(m.FitPeakFrequency));
    EXPECT_TRUE(std::isfinite(m.FitQ));
    EXPECT_GT(m.FitQ, 0.0);

    // A resonance at the end of the range: the half-width walk stops at the
    // last fitted point, and Q comes out positive and finite.
    const Synthetic edge = ShoCurve(22000.0, 30.0, 20000.0, 22000.0, 512, 0.0);
    const TShoFit e = Fitted(edge);
    EXPECT_TRUE(std::isfinite(e.FitQ));
    EXPECT_GT(e.FitQ, 0.0);

    // Too few points for a line.
    TShoFit tiny;
    FillShoFit(tiny, falling, 3, 2.0, 20000.0);
    FitSho(tiny, falling, 3);
    EXPECT_TRUE(tiny.MathError);
    EXPECT_GT(tiny.FitPeakFrequency, 0.0);
}

TEST(AutoTune, NarrowsThreefoldInsideItsLimitsUntilNarrowEnough)
{
    TAutoTuneSettings s; // 10..30 kHz, 5, 0.35
    EXPECT_DOUBLE_EQ(AutoTuneOperatingFrequency(21000.0, 200.0, 0.35), 21000.0 - 36.75);
    // 20 kHz wide, peak at point 281 of 39.0625 Hz steps from 10 kHz.
    TAutoTuneStep r = AutoTuneNarrow(10000.0, 30000.0, 21000.0, 200.0, 281, 39.0625, 10000.0, s);
    EXPECT_FALSE(r.Done);
    EXPECT_DOUBLE_EQ(r.Stop - r.Start, 2.0 * 3333.0);
    EXPECT_DOUBLE_EQ((r.Start + r.Stop) / 2.0, Round(281 * 39.0625 + 10000.0));
    // Near the limit the range is cut, never widened.
    r = AutoTuneNarrow(10000.0, 30000.0, 10500.0, 20.0, 10, 39.0625, 10000.0, s);
    EXPECT_DOUBLE_EQ(r.Start, 10000.0);
    // Narrower than 5 f0 / Q: done, range kept.
    r = AutoTuneNarrow(20800.0, 21200.0, 21000.0, 200.0, 256, 0.78125, 20800.0, s);
    EXPECT_TRUE(r.Done);
    EXPECT_DOUBLE_EQ(r.Start, 20800.0);

    int column = -1;
    EXPECT_TRUE(AutoTuneColumn(20900.0, 20800.0, 0.78125, 512, 1, column));
    EXPECT_EQ(column, 64);
    // Below the sweep or beyond its last point there is nothing to carry over.
    EXPECT_FALSE(AutoTuneColumn(20700.0, 20800.0, 0.78125, 512, 1, column));
    EXPECT_FALSE(AutoTuneColumn(21300.0, 20800.0, 0.78125, 512, 1, column));

    EXPECT_EQ(ShoStatusText(200.4, 21000.2), QString::fromUtf8("Q: 200 | fPeak: 21000 Hz | tau: 9543 \u00B5s"));
}

} // namespace
} // namespace qvt
