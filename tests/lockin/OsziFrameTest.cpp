// The oscilloscopes' arithmetic: what a frame looks like once prepared, the
// scale modes, the spectrum, the long-term ring, the time base and the files.

#include "lockin/OsziFrame.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace qvt {
namespace {

TOsziBuffers SineFrame(int bin, double amplitude, int32_t dc = 0)
{
    TOsziBuffers f{};
    for (auto& b : f)
        b.Count = OsziBufferSamples;
    for (int i = 0; i < OsziBufferSamples; ++i) {
        f[0].Samples[i] = i;
        f[1].Samples[i] =
            dc + static_cast<int32_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * bin * i / 512.0)));
        f[2].Samples[i] = 7;
        f[3].Samples[i] = -i;
    }
    return f;
}

TEST(OsziFrame, PreparingDerivesFromTheRawFrameAndSaturates)
{
    TOsziBuffers raw = SineFrame(16, 1000.0);
    raw[2].Samples[0] = 2147483600;
    const std::array<TOsziTraceScale, 3> scales{{{100, false}, {100, false}, {5, true}}};
    const TOsziBuffers once = PrepareFrame(raw, scales, TOsziView::Time, false);
    EXPECT_EQ(once[1].Samples[0], 100);
    EXPECT_EQ(once[2].Samples[0], 2147483647);
    EXPECT_EQ(once[3].Samples[10], 5 + 10); // Offset − sample
    // The raw frame is left alone, so doing it again gives the same.
    const TOsziBuffers twice = PrepareFrame(raw, scales, TOsziView::Time, false);
    EXPECT_EQ(std::memcmp(&once, &twice, sizeof once), 0);

    // The frequency view: the sine's bin, two pixels wide, and the offset gone with the mean.
    const TOsziBuffers spectrum = PrepareFrame(raw, scales, TOsziView::Freq, false);
    int peak = 0;
    for (int i = 0; i < OsziBufferSamples; ++i)
        if (spectrum[1].Samples[i] > spectrum[1].Samples[peak])
            peak = i;
    EXPECT_EQ(peak, 32);
    EXPECT_EQ(spectrum[1].Samples[32], spectrum[1].Samples[33]);
    // Hann: |X| = A·N/4 at the bin, /100.
    EXPECT_NEAR(spectrum[1].Samples[32], 1000.0 * 512 / 4 / 100, 2);
    EXPECT_LE(spectrum[1].Samples[0], 1);
    const TOsziBuffers db = PrepareFrame(raw, scales, TOsziView::Freq, true);
    EXPECT_EQ(db[1].Samples[32], std::lround(1000 * std::log10(spectrum[1].Samples[32] + 1.0)));

    // A partial frame is never transformed.
    raw[1].Count = 100;
    EXPECT_EQ(PrepareFrame(raw, scales, TOsziView::Freq, false)[1].Samples[5], raw[1].Samples[5] + 100);
}

TEST(OsziFrame, StatisticsAndScaleModes)
{
    int32_t big[512];
    std::fill(std::begin(big), std::end(big), 2000000000);
    const TOsziStats s = FrameStats(big, 512); // the sum needs 64 bits
    EXPECT_EQ(s.Mean, 2000000000);
    int32_t low[2] = {-2147483645, 0};
    EXPECT_EQ(FrameStats(low, 2).Min, -2147483647);

    int32_t flat[512];
    std::fill(std::begin(flat), std::end(flat), 3);
    const TOsziStats f = FrameStats(flat, 512);
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::ZeroAuto, 0, 0, 0, f).Gain, 5.0);
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::AutoAuto, 0, 0, 0, f).Gain, 5.0);
    // A channel without limits in "0..max" gets a usable gain, not a division by zero.
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::ZeroMax, 0, 0, 0, f).Gain, 1.0);
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::ZeroMax, -32000, 10000, 0, f).Gain, 50.0 / 32000);
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::ZeroFixed, -30000, 30000, 75, f).Gain, 50.0 / 15000);
    EXPECT_DOUBLE_EQ(ScaleTrace(TOsziScaleMode::ZeroFixed, -30000, 30000, 149, f).Gain, 50.0 / 200);
    const TOsziGain g = ScaleTrace(TOsziScaleMode::AutoAuto, 0, 0, 0, {-101, 301, 0});
    EXPECT_EQ(g.Centre, -50 + 150);
    EXPECT_EQ(TraceY(301, 150, g.Centre, g.Gain), 150 - 25); // 201 digits above the centre at 50/402
    EXPECT_EQ(TraceY(2147483647, 150, 0, 1.0e9), -1000000);  // held to what a painter takes

    int x = 0;
    EXPECT_TRUE(LineViewX(1, 256, x));
    EXPECT_EQ(x, 0);
    EXPECT_TRUE(LineViewX(129, 256, x));
    EXPECT_EQ(x, 256);
    EXPECT_FALSE(LineViewX(255, 256, x));
    EXPECT_FALSE(LineViewX(0, 256, x));
    EXPECT_FALSE(LineViewX(1, 0, x));
}

TEST(OsziFrame, TimeBaseIsShownAsApplied)
{
    EXPECT_EQ(TimeBaseText(1.0 / 39062.5), "1.6m"); // 1 ms/div asks for less than a tick
    EXPECT_EQ(TimeBaseText(100.0 / 64), "100.000");
    EXPECT_EQ(*ParseTimeBase("1m"), 0.001);
    EXPECT_EQ(*ParseTimeBase("0,5"), 0.5);
    EXPECT_LT(*ParseTimeBase("-2"), 0.0);
    EXPECT_FALSE(ParseTimeBase("fast"));
}

TEST(OsziFrame, LongTermRingKeepsTheNewestAndIsConsumedBySaving)
{
    TOsziLongTerm ring;
    EXPECT_FALSE(ring.Allocate(OsziLongTermMaxPoints + 1));
    EXPECT_FALSE(ring.On());
    EXPECT_FALSE(ring.Allocate(1));
    EXPECT_TRUE(ring.Allocate(2)); // the fewest rows a ring keeps
    ASSERT_TRUE(ring.Allocate(10000));
    TOsziBuffers frame = SineFrame(1, 10.0);
    TOsziRecordSetup setup;
    setup.Factors = {2.0, 1.0, 1.0};
    for (int n = 0; n < 25; ++n) {
        for (int i = 0; i < 512; ++i)
            frame[0].Samples[i] = n * 512 + i;
        ring.Store(frame, setup);
    }
    EXPECT_EQ(ring.Count(), 9999);
    const std::vector<TOsziLongTerm::Row> rows = ring.Take();
    ASSERT_EQ(rows.size(), 9999u);
    EXPECT_DOUBLE_EQ(rows.back().Time, (25 * 512 - 1) / 39062.5);
    EXPECT_DOUBLE_EQ(rows.front().Time, (25 * 512 - 9999) / 39062.5);
    EXPECT_DOUBLE_EQ(rows.back().Values[2], -511.0);
    EXPECT_EQ(ring.Count(), 0);

    // Long-term times tell samples one tick apart; the field stays 12 wide.
    TOsziSaveOptions o;
    o.Delimiter = 1;
    const QString text = OsziLongTermText(o, {"A", "", ""}, {rows[0], rows[1]});
    const QStringList lines = text.split("\r\n");
    ASSERT_GE(lines.size(), 2);
    EXPECT_NE(lines[0].left(12), lines[1].left(12));
    EXPECT_EQ(lines[0].indexOf('\t'), 12);
}

TEST(OsziFrame, LongTermRecordEndsAtAnotherSetUpAndKeepsItsRowsWhenResized)
{
    TOsziLongTerm ring;
    ASSERT_TRUE(ring.Allocate(2000));
    const TOsziBuffers frame = SineFrame(1, 10.0);
    TOsziRecordSetup sine;
    sine.Captions = {"", "", "Test sine"};
    sine.Slots = {-1, -1, 4};
    sine.Factors = {1.0, 1.0, 0.0003};
    sine.TimeStamps = false;
    sine.SampleTime = 1.0e-3;
    EXPECT_TRUE(ring.Store(frame, sine));
    EXPECT_TRUE(ring.Store(frame, sine));
    EXPECT_FALSE(ring.Ended());

    // Each part of the set-up ends the record; what came before stays its own.
    TOsziRecordSetup other = sine;
    other.Factors[2] = 0.5;
    EXPECT_FALSE(ring.Store(frame, other));
    EXPECT_TRUE(ring.Ended());
    EXPECT_FALSE(ring.Store(frame, sine)); // ended stays ended
    EXPECT_EQ(ring.Count(), 1024);
    for (auto change : std::initializer_list<void (*)(TOsziRecordSetup&)>{
             [](TOsziRecordSetup& s) { s.Captions[2] = "Error"; }, [](TOsziRecordSetup& s) { s.Units[2] = "nm"; },
             [](TOsziRecordSetup& s) { s.Scales[2].Offset = 1; },
             [](TOsziRecordSetup& s) { s.Scales[2].FactorNegative = true; },
             [](TOsziRecordSetup& s) { s.SampleTime = 2.0e-3; }, [](TOsziRecordSetup& s) { s.TimeStamps = true; },
             [](TOsziRecordSetup& s) { s.Slots[0] = 1; }}) {
        TOsziRecordSetup changed = sine;
        change(changed);
        EXPECT_FALSE(changed == sine);
    }

    // A new size keeps the newest rows that fit, the set-up and the end.
    ASSERT_TRUE(ring.Allocate(600));
    EXPECT_EQ(ring.Count(), 599);
    EXPECT_TRUE(ring.Ended());
    EXPECT_EQ(ring.Setup().Captions[2], "Test sine");
    const std::vector<TOsziLongTerm::Row> rows = ring.Take();
    ASSERT_EQ(rows.size(), 599u);
    EXPECT_NEAR(rows.back().Time, 1024 * 1.0e-3, 1e-9);
    EXPECT_DOUBLE_EQ(rows.back().Values[2], -511 * 0.0003);
    EXPECT_FALSE(ring.Ended());

    // Taken, the record is over: the next frame starts one under its own set-up.
    EXPECT_TRUE(ring.Store(frame, other));
    EXPECT_EQ(ring.Setup().Factors[2], 0.5);
    EXPECT_EQ(ring.Count(), 512);
}

TEST(OsziFrame, FrameTextHasHeaderCommentAndTheViewsXColumn)
{
    TOsziBuffers f = SineFrame(2, 100.0);
    f[1].Count = 4;
    TOsziSaveOptions o;
    o.Delimiter = 3;
    o.Header = true;
    o.Comment = true;
    o.CommentText = "tip 7";
    const QString text = OsziFrameText(o, {"Error", "", "Z sensor"}, f, {0.5, 1.0, 0.01}, 0.001, false);
    const QStringList lines = text.split("\r\n");
    EXPECT_EQ(lines[0], "Time,Error,Z sensor");
    EXPECT_EQ(lines[1], "tip 7");
    EXPECT_EQ(lines[2], "0.001," + QString("0").rightJustified(8) + "," + QString("0").rightJustified(8));
    EXPECT_EQ(lines[3], "0.002," + QString::number(f[1].Samples[1] * 0.5).rightJustified(8) + "," +
                            QString("-0.01").rightJustified(8));

    // Spectrum: x is the frequency of each bin, two rows per bin.
    f[1].Count = 512;
    o = {};
    const QStringList spectrum = OsziFrameText(o, {"A", "", ""}, f, {1, 1, 1}, 1.0 / 39062.5, true).split("\r\n");
    EXPECT_TRUE(spectrum[0].startsWith("0 "));
    EXPECT_TRUE(spectrum[2].startsWith("76.2939"));
    EXPECT_TRUE(spectrum[3].startsWith("76.2939"));
}

TEST(SimpleScope, ScalesClipsAndReadsItsEdit)
{
    int32_t v[256];
    std::fill(std::begin(v), std::end(v), 500);
    // A flat frame in "auto min..max": no span, gain 0, everything on the centre line.
    const TSimpleScopeScale flat = SimpleScopeScale(3, 0, 1, 0, v, 256);
    EXPECT_EQ(flat.Gain, 0.0);
    EXPECT_EQ(SimpleScopeY(500, flat).Y, 128);
    // 10 V full scale at 0.001 V per digit: 10000 digits are 127 pixels up.
    const TSimpleScopeScale fixed = SimpleScopeScale(0, 10.0, 0.001, 0, v, 256);
    EXPECT_DOUBLE_EQ(fixed.M, 10000.0);
    EXPECT_EQ(SimpleScopeY(10000, fixed).Y, 1);
    EXPECT_EQ(SimpleScopeY(-10000, fixed).Y, 255);
    EXPECT_EQ(SimpleScopeY(20000, fixed).Clip, -1);
    EXPECT_EQ(SimpleScopeY(-20000, fixed).Clip, 1);
    // A wild value is held in double before it becomes an integer.
    const TSimpleScopeScale steep = SimpleScopeScale(1, 0, 1, 2, v, 256);
    EXPECT_EQ(SimpleScopeY(2147483647, steep).Clip, -1);
    EXPECT_EQ(SimpleScopeY(-2147483647, steep).Clip, 1);
    EXPECT_EQ(SimpleScopeScale(-1, 0, 1, 0, v, 256).M, 100.0);
    EXPECT_EQ(ParseScopeScale("2,5"), 2.5);
    EXPECT_EQ(ParseScopeScale("ten"), 200.0);
}

} // namespace
} // namespace qvt
