#include "device/ChannelTable.h"
#include "lockin/DncControls.h"
#include "lockin/DncPlot.h"
#include "lockin/DncSweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace qvt {
namespace {

TEST(DncSweepLogic, PointCountsSettleAndSizesAreHeldInsideTheArrays)
{
    EXPECT_EQ(DncPointShift(256), 0);
    EXPECT_EQ(DncPointShift(512), 1);
    EXPECT_EQ(DncPointShift(4096), 4);
    EXPECT_EQ(ClampDataPoints(100000), 4096);
    EXPECT_EQ(ClampDataPoints(-5), 256);
    EXPECT_EQ(ClampHistoryDepth(1000), 100);
    EXPECT_EQ(ClampHistoryDepth(-1), 0);
    // round(τ × 10^5), never below 26 units.
    EXPECT_EQ(DncSettleCount(0.0002), 26);
    EXPECT_EQ(DncSettleCount(0.0), 26);
    EXPECT_EQ(DncSettleCount(-1.0), 26);
    EXPECT_EQ(DncSettleCount(std::nan("")), 26);
    EXPECT_EQ(DncSettleCount(0.01), 1000);

    TDncCurves c;
    c.Allocate(512, 2);
    EXPECT_EQ(c.Newest().size(), 513u);
    EXPECT_EQ(c.HistoryDepth(), 2);
    c.Curve(0)[5] = 1.0;
    c.Curve(1)[5] = 2.0;
    c.Curve(2)[5] = 3.0;
    c.Rotate(); // the oldest comes to the front to be overwritten
    EXPECT_EQ(c.Curve(0)[5], 3.0);
    EXPECT_EQ(c.Curve(1)[5], 1.0);
    EXPECT_EQ(c.Curve(2)[5], 2.0);
    c.ZeroHistory(); // curves 0..depth-1
    EXPECT_EQ(c.Curve(0)[5], 0.0);
    EXPECT_EQ(c.Curve(1)[5], 0.0);
    EXPECT_EQ(c.Curve(2)[5], 2.0);
}

TEST(DncSweepLogic, MeansFormThePhaseAndTheRunningMeanOverSweeps)
{
    EXPECT_EQ(DncPhaseMilliDeg(0.0, 5.0), 78690.0); // x = 0 taken as 1: atan2(5, 1)
    EXPECT_EQ(DncPhaseMilliDeg(1.0, 1.0), 45000.0);
    EXPECT_EQ(DncPhaseMilliDeg(-1.0, 0.0), 180000.0);

    TDncCurves c;
    c.Allocate(256, 0);
    TSweepSetup s;
    s.Amplitude.Factor = 2.0;
    s.InPhase.Factor = 3.0;
    s.Quadrature.Factor = 4.0;
    s.ContAverage = -1;
    StoreDncPoint(c, 7, 10.0, 1.0, 1.0, s);
    EXPECT_EQ(c.Newest()[7], 20.0);
    EXPECT_EQ(c.X[7], 3.0);
    EXPECT_EQ(c.Y[7], 4.0);
    // L = 4: one quarter of the new sweep; with Ampl ≠ 0 the curve is |(X, Y)|.
    s.ContAverage = 4;
    StoreDncPoint(c, 7, 10.0, 5.0, 2.0, s);
    EXPECT_DOUBLE_EQ(c.X[7], 0.75 * 3.0 + 15.0 / 4);
    EXPECT_DOUBLE_EQ(c.Y[7], 0.75 * 4.0 + 8.0 / 4);
    EXPECT_DOUBLE_EQ(c.Newest()[7], std::hypot(c.X[7], c.Y[7]));
    // Drive 0 (Ampl = 0): the amplitude channel is averaged instead.
    s.VectorMean = false;
    const double before = c.Newest()[7];
    StoreDncPoint(c, 7, 10.0, 5.0, 2.0, s);
    EXPECT_DOUBLE_EQ(c.Newest()[7], 0.75 * before + 20.0 / 4);

    // A cumulative mean (L = 1, 2, ...) shrinks the noise as 1/√L.
    std::mt19937 gen(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    auto spread = [&](int sweeps) {
        TDncCurves m;
        m.Allocate(4096, 0);
        TSweepSetup t;
        for (int l = 1; l <= sweeps; ++l) {
            t.ContAverage = l;
            for (int i = 0; i <= 4096; ++i)
                StoreDncPoint(m, i, 0.0, 100.0 + noise(gen), noise(gen), t);
        }
        double sum = 0.0;
        for (int i = 0; i <= 4096; ++i)
            sum += (m.X[static_cast<size_t>(i)] - 100.0) * (m.X[static_cast<size_t>(i)] - 100.0);
        return std::sqrt(sum / 4097.0);
    };
    EXPECT_NEAR(spread(1) / spread(16), 4.0, 0.4);
}

TEST(DncControlsLogic, ChannelScalesFollowTheInputGainAndTheSyncFilter)
{
    TChannelTable t;
    t[FirstAdcSlot + 3].Address = 11;
    t[FirstAdcSlot + 4].Address = 8;
    t[FirstAdcSlot + 5].Address = 2;
    t[14].Factor = 7.0f;
    UpdateDncChannelScales(t, 0.1, 12, false, false);
    const double a = 0.1 * 6.3e-8;
    EXPECT_FLOAT_EQ(t[20].Factor, static_cast<float>(a));
    EXPECT_FLOAT_EQ(t[21].Factor, static_cast<float>(a));
    EXPECT_FLOAT_EQ(t[14].Factor, 7.0f); // the second lock-in window's slot
    EXPECT_FLOAT_EQ(t[12].Factor, static_cast<float>(a / 1.6467602581));
    EXPECT_FLOAT_EQ(t[23].Factor, static_cast<float>(a / 1.6467602581));
    EXPECT_FLOAT_EQ(t[FirstAdcSlot + 3].Factor, static_cast<float>(a / 1.6467602581));
    EXPECT_FLOAT_EQ(t[FirstAdcSlot + 4].Factor, static_cast<float>(0.1 / 32768));
    EXPECT_FLOAT_EQ(t[FirstAdcSlot + 5].Factor, 1.0f);
    // Sync filter on: address-11 inputs are 1.408 times smaller; the multi lock-in owns 14..19.
    UpdateDncChannelScales(t, 0.1, 12, true, true);
    EXPECT_FLOAT_EQ(t[FirstAdcSlot + 3].Factor, static_cast<float>(a / 1.6467602581 / 1.408));
    EXPECT_FLOAT_EQ(t[14].Factor, static_cast<float>(a));

    EXPECT_EQ(InputGainBits(1, {26}), 14);
    EXPECT_EQ(InputGainBits(10, {26}), 12);
    EXPECT_EQ(InputGainBits(10, {29}), 8);
    EXPECT_EQ(InputGainBits(100, {26}), 8);
    TInputGainChoice g = LoadInputGainChoice(false, false, true, {29});
    EXPECT_EQ(g.Gain, 10);
    EXPECT_TRUE(g.Rewrite100To10);
    g = LoadInputGainChoice(false, false, true, {26});
    EXPECT_EQ(g.Gain, 100);
    EXPECT_FALSE(g.Rewrite100To10);
    EXPECT_EQ(LoadInputGainChoice(false, false, false, {26}).Gain, 0);

    // The [dnc] channel keys: a slot, a read address, or out of range (the default).
    t[12].Address = -12;
    t[13].Factor = 0.001f;
    TDncChannelRef r = ResolveDncChannel(12, 20, t);
    EXPECT_EQ(r.Slot, 12);
    EXPECT_EQ(r.Address, -12);
    r = ResolveDncChannel(-13, 20, t);
    EXPECT_EQ(r.Address, -13);
    EXPECT_FLOAT_EQ(static_cast<float>(r.Factor), 0.001f);
    t[20].Address = -20;
    EXPECT_EQ(ResolveDncChannel(500, 20, t).Address, -20);
    EXPECT_EQ(ResolveDncChannel(-500, 20, t).Slot, 20);
}

TEST(DncControlsLogic, DriveRangesTimeConstantsAndSyncPeriod)
{
    EXPECT_FLOAT_EQ(RescaleNC100(5.0f, 1.0, 2.0), 10.0f);
    EXPECT_FLOAT_EQ(RescaleNC100(5.0f, 0.0, 2.0), 5.0f);
    EXPECT_FLOAT_EQ(RescaleNC100(5.0f, 0.0001, 2.0), 5.0f);

    EXPECT_EQ(DncRangeItems(0).size(), 3);
    const QStringList one = DncRangeItems(1);
    ASSERT_EQ(one.size(), 2);
    EXPECT_EQ(one[0], QString::fromUtf8("±1"));
    EXPECT_EQ(DncRangeOfItem(0, 2), 1); // "±1" sends range 1
    EXPECT_EQ(DncRangeOfItem(0, 3), 0);
    EXPECT_EQ(DncRangeItems(2), QStringList{QString::fromUtf8("±10")});

    double tau = 0.0;
    EXPECT_TRUE(DncTimeConstantOf(8, tau));
    EXPECT_DOUBLE_EQ(tau, 0.1);
    EXPECT_STREQ(DncTimeConstantTexts[8], "100ms");
    EXPECT_FALSE(DncTimeConstantOf(14, tau));
    EXPECT_DOUBLE_EQ(tau, 0.001);
    EXPECT_FALSE(DncTimeConstantOf(-1, tau));

    EXPECT_EQ(DncSyncPeriod(false, 9, true, 3.0e6), 0);
    EXPECT_EQ(DncSyncPeriod(true, 9, true, 3.0e6), 9);
    EXPECT_EQ(DncSyncPeriod(true, 0, false, 3.0e6), 4);
}

std::vector<double> Lorentzian(int n, double peakIndex, double halfWidth)
{
    std::vector<double> c(static_cast<size_t>(n + 1));
    for (int i = 0; i <= n; ++i) {
        const double d = (i - peakIndex) / halfWidth;
        c[static_cast<size_t>(i)] = 1.0 / std::sqrt(1.0 + d * d); // amplitude of a resonance
    }
    return c;
}

TEST(DncPlotLogic, ScaleRowsPeakAndHalfPowerWidth)
{
    std::vector<double> flat(513, 4.0);
    TDncScale s = DncDisplayScale(flat, 512, true);
    EXPECT_EQ(s.Scale, 1.0);
    EXPECT_EQ(s.Offset, 4.0);
    std::vector<double> ramp(513);
    for (int i = 0; i <= 512; ++i)
        ramp[static_cast<size_t>(i)] = 10.0 + i;
    s = DncDisplayScale(ramp, 512, false); // from 0 without ShowX
    EXPECT_DOUBLE_EQ(s.Scale, 255.0 / 522.0);
    EXPECT_EQ(s.Offset, 0.0);
    EXPECT_EQ(DncRow(522.0, s), 0);
    EXPECT_EQ(DncRow(0.0, s), 255);
    s = DncDisplayScale(ramp, 512, true);
    EXPECT_EQ(s.Offset, 10.0);
    EXPECT_DOUBLE_EQ(DncValueAtRow(256, s), 10.0);
    EXPECT_EQ(DncPhaseRow(0), 128);
    EXPECT_EQ(DncPhaseRow(180000), 0); // 127.5 rounds to even
    EXPECT_EQ(DncColumn(511, 1), 255);
    EXPECT_EQ(DncColorIndex(3), 3);
    EXPECT_EQ(DncColorIndex(20), 14);

    // A resonance 10 points wide at half power (±5), 100 Hz a point, peak at point 200.
    const std::vector<double> c = Lorentzian(512, 200, 5.0);
    const TDncPeak peak = FindPeakIndex(c, 512);
    EXPECT_EQ(peak.Index, 200);
    const double f0 = 200 * 100.0 + 1000.0;
    const TDncHalfPower h = DncHalfPower(c, 512, peak.Index, f0, 100.0);
    EXPECT_EQ(h.Left, 196); // the last points above 1/√2
    EXPECT_EQ(h.Right, 204);
    ASSERT_TRUE(h.Q);
    EXPECT_NEAR(*h.Q, f0 / (8 * 100.0), 1e-9);
    EXPECT_FALSE(DncHalfPower(flat, 512, 0, f0, 0.0).Q);

    // The maximum at the start: the peak behind the first deep fall counts.
    std::vector<double> edge(513, 0.01);
    edge[0] = 5.0;
    edge[1] = 5.0;
    edge[300] = 1.0;
    EXPECT_EQ(FindPeakIndex(edge, 512).Index, 300);
    EXPECT_EQ(FindPeakIndex(edge, 512).EdgeIndex, 2);
}

TEST(DncPlotLogic, MouseTextsAndRanges)
{
    EXPECT_TRUE(DncIsClick(100, 104));
    EXPECT_FALSE(DncIsClick(100, 105));
    const TDncRange a = DncDragRange(10, 50, 1, 39.0625, 10000.0);
    const TDncRange b = DncDragRange(50, 10, 1, 39.0625, 10000.0);
    EXPECT_EQ(a.Start, b.Start);
    EXPECT_EQ(a.Stop, b.Stop);
    EXPECT_DOUBLE_EQ(a.Start, 10000.0 + 20 * 39.0625);

    TDncStatusInput in;
    in.X = 128;
    in.Y = 56;
    in.PointShift = 1;
    in.Step = 39.0625;
    in.Start = 10000.0;
    in.Scale = {255.0 / 2.0, 0.0};
    in.Unit = "V";
    in.ShowPhase = true;
    EXPECT_EQ(DncMouseStatus(in), QString::fromUtf8("f: 20000  1.569 V  101.6°"));
    in.Step = 0.0;
    EXPECT_EQ(DncMouseStatus(in), QString());

    int tag = 0;
    double hz = 0.0;
    ASSERT_TRUE(ParseDncFrequency("21.5k", tag, hz));
    EXPECT_EQ(tag, 1);
    EXPECT_DOUBLE_EQ(hz, 21500.0);
    ASSERT_TRUE(ParseDncFrequency("3", tag, hz)); // the tag stays
    EXPECT_DOUBLE_EQ(hz, 3000.0);
    ASSERT_TRUE(ParseDncFrequency("1.5M", tag, hz));
    EXPECT_EQ(tag, 2);
    EXPECT_FALSE(ParseDncFrequency("abc", tag, hz));
    EXPECT_EQ(DncFrequencyText(21000.0, 1), "21");
    EXPECT_EQ(DncFrequencyText(21500.4, 1), "21.500");
    EXPECT_EQ(DncFrequencyText(21500.0, 0), "21500");
    EXPECT_EQ(DncFrequencyText(1.5, -1), "1500");
    EXPECT_EQ(DncNextUnitTag(2), -1);
    EXPECT_EQ(DncUnitLabel(-1), "mHz");

    // General with 4 digits: five-digit frequencies take the exponent form.
    EXPECT_EQ(DncRangeText(10000.0, 30000.0), "1E4-3E4");
    EXPECT_EQ(DncRangeText(123456.0, 2.0e6), "1.235E5-2E6");
    EXPECT_EQ(DncRangeText(2500.0, 9000.0), "2500-9000");
    TDncRecentRanges r;
    r.Items = {"20k-400k", "a-1", "b-2", "c-3"};
    r.Add("d-4");
    EXPECT_EQ(r.Items[1], "b-2");
    EXPECT_EQ(r.Items[3], "d-4");
    r.Items[1] = "&b-2";
    r.Add("b-2"); // listed: moves to 3, those behind it move up
    EXPECT_EQ(r.Items[1], "c-3");
    EXPECT_EQ(r.Items[2], "d-4");
    EXPECT_EQ(r.Items[3], "&b-2");
    QString start;
    QString stop;
    EXPECT_FALSE(SplitDncRange("20k", start, stop));
    ASSERT_TRUE(SplitDncRange("&20k-400k", start, stop));
    EXPECT_EQ(start, "20k");
    EXPECT_EQ(stop, "400k");
    EXPECT_EQ(DncColorFromBgr(0x0000FF), QColor(Qt::red));
}

TEST(DncPlotLogic, APhaseThatWrapsAtHalfATurnLeavesNoBarAcrossThePlot)
{
    TDncCurves curves;
    curves.Allocate(512, 1);
    // The phase runs down to -180° at point 270 and reappears at +180°.
    for (int i = 0; i <= 512; ++i) {
        double p = 90000.0 - i * 1000.0;
        if (p < -180000.0)
            p += 360000.0;
        curves.Phase[static_cast<size_t>(i)] = p;
        curves.Newest()[static_cast<size_t>(i)] = 1.0;
    }
    const std::vector<QPolygon> pieces = DncPhasePieces(curves.Phase, 512, 1);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size() + pieces[1].size(), 512);
    EXPECT_EQ(pieces[0].back().y(), DncPhaseRow(-180000.0));
    EXPECT_EQ(pieces[1].front().y(), DncPhaseRow(179000.0));

    QImage image(256, 256, QImage::Format_RGB32);
    TDncDrawOptions o;
    o.ShowPhaseTrace = true;
    o.PointShift = 1;
    ASSERT_TRUE(DrawDncSpectrum(image, curves, o));
    // No column holds more than a short stretch of the silver trace.
    int longest = 0;
    for (int x = 0; x < image.width(); ++x) {
        int run = 0;
        for (int y = 0; y < image.height(); ++y) {
            run = image.pixelColor(x, y) == QColor(0xC0, 0xC0, 0xC0) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    }
    EXPECT_LT(longest, 20);

    // A phase that stays within half a turn is one line.
    for (int i = 0; i <= 512; ++i)
        curves.Phase[static_cast<size_t>(i)] = 170000.0 - i * 600.0;
    EXPECT_EQ(DncPhasePieces(curves.Phase, 512, 1).size(), 1u);
}

} // namespace
} // namespace qvt
