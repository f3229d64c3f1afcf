#include "images/ImageRender.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <set>
#include <string>

using namespace qvt;

namespace {

// A rows × cols matrix with value f(x, y), x and y counted from 1.
TImageMatrix& Fill(TImageMatrix& m, const std::function<double(int, int)>& f)
{
    for (int y = 1; y <= m.Rows(); ++y)
        for (int x = 1; x <= m.Cols(); ++x)
            m.Store(y - 1, x - 1, static_cast<int32_t>(f(x, y)));
    return m;
}

std::vector<int> RowIndexes(const TImageRenderer& r, int line)
{
    const TIndexedBitmap& b = r.Bitmap();
    return std::vector<int>(b.Row(line - 1), b.Row(line - 1) + b.Width());
}

std::set<int> AllIndexes(const TImageRenderer& r)
{
    std::set<int> seen;
    for (int y = 1; y <= r.Bitmap().Height(); ++y)
        for (int v : RowIndexes(r, y))
            seen.insert(v);
    return seen;
}

TIOScale MakeScale(int offset, float factor, const QString& unit, bool negative = false)
{
    TIOScale scale("ADC1", unit);
    scale.Offset = offset;
    scale.Factor = factor;
    scale.FactorNegative = negative;
    return scale;
}

} // namespace

TEST(ImageRenderer, IndexesStayWithinTheDataRangeOfThePalette)
{
    EXPECT_EQ(DisplayIndex(-1e12, 0.0, 1.0), 0);
    EXPECT_EQ(DisplayIndex(1e12, 0.0, 1.0), 250);
    EXPECT_EQ(DisplayIndex(250.4, 0.0, 1.0), 250);
    EXPECT_EQ(DisplayIndex(std::nan(""), 0.0, 1.0), 0);
    EXPECT_EQ(DisplayIndex(5.0, 5.0, 0.0), 0);
    // Round half to even.
    EXPECT_EQ(DisplayIndex(0.5, 0.0, 1.0), 0);
    EXPECT_EQ(DisplayIndex(1.5, 0.0, 1.0), 2);
    EXPECT_EQ(DisplayIndex(2.5, 0.0, 1.0), 2);
    EXPECT_EQ(DisplayIndex(249.5, 0.0, 1.0), 250);
    for (double v = -1000.0; v <= 1000.0; v += 0.125)
        ASSERT_EQ(RoundInPixelLoop(v * 1001.0), Round(v * 1001.0)) << v;

    // The line conversion (packed where the machine allows) agrees with the
    // single value, ties and values that are no number included.
    std::vector<double> w;
    for (int k = -40; k <= 1100; ++k)
        w.push_back(k * 0.25);
    for (double odd : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300, 10.0})
        w.push_back(odd);
    std::vector<uint8_t> out(w.size());
    DisplayIndexes(w.data(), static_cast<int>(w.size()), 10.0, 0.5, out.data());
    for (std::size_t i = 0; i < w.size(); ++i) {
        ASSERT_EQ(out[i], DisplayIndex(w[i], 10.0, 0.5)) << w[i];
        const double t = (w[i] - 10.0) * 0.5;
        if (t >= 0.0 && t <= 250.0) {
            ASSERT_EQ(out[i], Round(t)) << w[i];
        }
    }

    // Manual contrast 0..100 over readings far beyond it: only 0 and 250 at
    // the ends, nothing ever reaches the marker entries.
    TImageMatrix m(8, 8);
    Fill(m, [](int x, int y) { return (x + y) % 2 ? -2000000000.0 : 2000000000.0; });
    m.Store(0, 0, 50);
    TImageRenderer r(8, 8);
    r.GainMode = GainManual;
    r.ManualOffset = 50;
    r.ManualRange = 100;
    r.DrawLines(m, 1, 8);
    EXPECT_EQ(AllIndexes(r), (std::set<int>{0, 125, 250}));
    r.SlopeMode = SlopeCurrentPicture;
    r.RecalcPictureRange(m, 0);
    for (int v : AllIndexes(r))
        EXPECT_LE(v, 250);
}

TEST(ImageRenderer, GainModesTakeTheirRange)
{
    TImageMatrix m(4, 11);
    Fill(m, [](int x, int y) { return 10 * y + x; });

    // Every line: each line spans 0..250 on its own.
    TImageRenderer every(4, 11);
    every.DrawLines(m, 1, 4);
    for (int y = 1; y <= 4; ++y)
        EXPECT_EQ(RowIndexes(every, y), (std::vector<int>{0, 25, 50, 75, 100, 125, 150, 175, 200, 225, 250}));

    // Current picture: one range over the lines drawn.
    TImageRenderer current(4, 11);
    current.GainMode = GainCurrentPicture;
    current.DrawLines(m, 1, 2); // 11..31
    EXPECT_EQ(RowIndexes(current, 1).front(), 0);
    EXPECT_EQ(RowIndexes(current, 1).back(), 125);
    EXPECT_EQ(RowIndexes(current, 2).back(), 250);

    // Last picture: the range found by the last whole-picture recalculation
    // (11..51), also for lines drawn afterwards.
    TImageRenderer last(4, 11);
    last.GainMode = GainLastPicture;
    last.RecalcPictureRange(m, 0);
    EXPECT_EQ(last.RawMin(), 11);
    EXPECT_EQ(last.RawMax(), 51);
    m.Store(3, 10, 1000);
    last.DrawLines(m, 4, 4);
    EXPECT_EQ(RowIndexes(last, 4).front(), 188); // (41 − 11) × 250 / 40 = 187.5
    EXPECT_EQ(RowIndexes(last, 4).back(), 250);

    // Manual: offset ± range / 2.
    TImageRenderer manual(4, 11);
    manual.GainMode = GainManual;
    manual.ManualOffset = 16;
    manual.ManualRange = 10;
    manual.DrawLines(m, 1, 1);
    EXPECT_EQ(RowIndexes(manual, 1), (std::vector<int>{0, 25, 50, 75, 100, 125, 150, 175, 200, 225, 250}));
}

TEST(ImageRenderer, FlatLineInEveryLineGainIsZeroAndKeepsTheFactor)
{
    TImageMatrix m(3, 6);
    Fill(m, [](int x, int y) { return y == 2 ? 77 : 10 * x; });

    TImageRenderer fresh(3, 6);
    fresh.DrawLines(m, 2, 2);
    EXPECT_EQ(RowIndexes(fresh, 2), std::vector<int>(6, 0));
    EXPECT_EQ(fresh.Factor(), 0.0); // no factor yet: everything 0

    TImageRenderer r(3, 6);
    r.DrawLines(m, 1, 3);
    EXPECT_EQ(RowIndexes(r, 2), std::vector<int>(6, 0));
    EXPECT_EQ(RowIndexes(r, 3), (std::vector<int>{0, 50, 100, 150, 200, 250}));
    EXPECT_DOUBLE_EQ(r.Factor(), 250.0 / 50.0);
    EXPECT_EQ(r.LineText(), "Line(s) 1..3: Min..Max  10.00 ..60.00 ");
}

TEST(ImageRenderer, PlaneRemovalFindsTheSlopesAndFlattensAPlane)
{
    TImageMatrix m(64, 64);
    Fill(m, [](int x, int y) { return 1000 + 3 * x - 5 * y; });

    const TPlaneSlopes part = FitPlane(m, 10, 20);
    EXPECT_DOUBLE_EQ(part.X, 3.0);
    EXPECT_DOUBLE_EQ(part.Y, -5.0);
    EXPECT_EQ(FitPlane(m, 7, 7).Y, 0.0); // one line has no slope across lines
    const int32_t line[] = {5, 7, 9, 11};
    EXPECT_DOUBLE_EQ(LineSlope(line, 4), 2.0);

    TImageRenderer r(64, 64);
    r.SlopeMode = SlopeCurrentPicture;
    r.GainMode = GainCurrentPicture;
    r.RecalcPictureRange(m, 0);
    EXPECT_NEAR(r.PlaneSlopeX(), 3.0, 1e-12);
    EXPECT_NEAR(r.PlaneSlopeY(), -5.0, 1e-12);
    EXPECT_NEAR(r.PlaneMin(), 1000.0, 1e-9);
    EXPECT_NEAR(r.PlaneMax(), 1000.0, 1e-9);
    EXPECT_NEAR(r.LineSlopeOf(17), 3.0, 1e-12);
    EXPECT_FLOAT_EQ(r.WorkSlopeX(), 3.0f);
    EXPECT_FLOAT_EQ(r.WorkSlopeY(), -5.0f);
    EXPECT_EQ(AllIndexes(r), std::set<int>{0}); // a constant picture

    // Line levelling leaves only the step from line to line.
    r.SlopeMode = SlopeEveryLine;
    r.RecalcPictureRange(m, 0);
    EXPECT_EQ(RowIndexes(r, 1), std::vector<int>(64, 250));
    EXPECT_EQ(RowIndexes(r, 64), std::vector<int>(64, 0));

    // The stored plane serves "Last Picture" once the first pass is over.
    TImageMatrix tilted(64, 64);
    Fill(tilted, [](int x, int y) { return 1000 + 3 * x - 5 * y + (x > 32 ? 100 : 0); });
    r.SlopeMode = SlopeLastPicture;
    r.DrawLines(tilted, 1, 64);
    EXPECT_FLOAT_EQ(r.WorkSlopeX(), 3.0f);
    EXPECT_EQ(RowIndexes(r, 1)[0], 0);
    EXPECT_EQ(RowIndexes(r, 1)[63], 250);
}

TEST(ImageRenderer, ManualGainWithLineLevellingMatchesItsDefinitionOnNoisyLinesOfAnyLength)
{
    // Lengths around the vector widths, and the longest line; noisy terraces.
    for (int cols : {5, 37, 64, 2048}) {
        TImageMatrix m(3, cols);
        uint32_t seed = 99;
        Fill(m, [&](int x, int y) {
            seed = seed * 1664525u + 1013904223u;
            return 3.0 * x - 50.0 * y + 400.0 * (x / 13) + double(seed >> 25);
        });
        TImageRenderer r(3, cols);
        r.GainMode = GainManual;
        r.SlopeMode = SlopeEveryLine;
        r.SetManualOffset(10.0);
        r.SetManualRange(300.0);
        r.DrawLines(m, 1, 3);
        const double factor = MaxDataIndex / 300.0;
        for (int y = 1; y <= 3; ++y) {
            // The definition: Σ over x of the least-squares slope, the lower
            // median of reading − round(x·s), the index of reading − x·s.
            double sx = 0.0, sxx = 0.0, sv = 0.0, sxv = 0.0;
            for (int x = 1; x <= cols; ++x) {
                const double v = m.At(y - 1, x - 1);
                sx += x;
                sxx += double(x) * x;
                sv += v;
                sxv += x * v;
            }
            const double s = (cols * sxv - sv * sx) / (cols * sxx - sx * sx);
            EXPECT_NEAR(r.LineSlopeOf(y), s, 1e-9 * std::max(1.0, std::fabs(s))) << cols << "/" << y;
            std::vector<int64_t> candidates;
            for (int x = 1; x <= cols; ++x)
                candidates.push_back(m.At(y - 1, x - 1) - static_cast<int64_t>(std::nearbyint(x * r.LineSlopeOf(y))));
            std::sort(candidates.begin(), candidates.end());
            const double lo = double(candidates[cols / 2 - (cols >= 2 ? 1 : 0)]) + (10.0 - 150.0);
            const std::vector<int> row = RowIndexes(r, y);
            for (int x = 1; x <= cols; ++x) {
                const double w = m.At(y - 1, x - 1) - x * r.LineSlopeOf(y);
                const int expected = static_cast<int>(std::nearbyint(std::clamp((w - lo) * factor, 0.0, 250.0)));
                ASSERT_EQ(row[x - 1], expected) << cols << "/" << y << "/" << x;
            }
        }
    }
}

TEST(ImageRenderer, ManualGainWithLineLevellingCentresEachLineOnItsMedian)
{
    // Tilted along x, a large step from line to line and a terrace in each line.
    TImageMatrix m(16, 40);
    Fill(m, [](int x, int y) { return 7 * x + 1000 * y + (x > 20 ? 60 : 0); });
    TImageRenderer r(16, 40);
    r.GainMode = GainManual;
    r.SlopeMode = SlopeEveryLine;
    r.SetManualOffset(0.0);
    r.SetManualRange(200.0);
    r.DrawLines(m, 1, 16);
    const std::vector<int> first = RowIndexes(r, 1);
    for (int y = 2; y <= 16; ++y)
        EXPECT_EQ(RowIndexes(r, y), first) << y;
    std::vector<int> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NEAR(sorted[19], 125, 1);

    // The same with lines spread far wider than they are long.
    TImageMatrix wide(4, 40);
    Fill(wide, [](int x, int y) { return 7 * x + 1000 * y + (x > 20 ? 60 : 0) + (x % 9 == 0 ? 5000000 : 0); });
    r.DrawLines(wide, 1, 4);
    for (int y = 2; y <= 4; ++y)
        EXPECT_EQ(RowIndexes(r, y), RowIndexes(r, 1)) << y;
    sorted = RowIndexes(r, 1);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NEAR(sorted[19], 125, 1);

    // The manual contrast proposed from the picture: centred on the median.
    r.RecalcPictureRange(m, 0);
    EXPECT_EQ(r.RawMin(), 1007);
    EXPECT_EQ(r.RawMax(), 16340);
    r.InitManualRange();
    EXPECT_EQ(r.ManualOffset, 0);
    EXPECT_EQ(r.ManualRange, static_cast<int32_t>(std::nearbyint((r.LevelHigh() - r.LevelLow()) * 0.9)));
    r.SlopeMode = SlopeNone;
    r.InitManualRange();
    EXPECT_EQ(r.ManualOffset, 8674); // 8673.5 to even
    EXPECT_EQ(r.ManualRange, 13800); // 15333 × 0.9
}

TEST(ImageRenderer, RobustRangeIgnoresRareSpikes)
{
    constexpr int n = 256;
    TImageMatrix m(n, n);
    Fill(m, [](int x, int y) { return (x * 37 + y * 11) % 101; }); // 0..100, no slope to speak of
    TImageRenderer clean(n, n);
    clean.RecalcPictureRange(m, 0);

    // 0.4 % of the pixels far above and far below, in the middle of their
    // lines where they hardly tilt the line's own slope.
    for (int spike = 0; spike < n * n * 4 / 1000; ++spike)
        m.Store(spike % n, n / 2 - 1 + spike / n, spike % 2 ? 3000 : -3000);
    TImageRenderer r(n, n);
    r.RecalcPictureRange(m, 0);
    EXPECT_EQ(r.RawMin(), -3000);
    EXPECT_EQ(r.RawMax(), 3000);
    const double bin = (6000.0 + 100.0) / 256.0; // the histogram's resolution
    EXPECT_NEAR(r.LevelLow(), clean.LevelLow(), 2 * bin);
    EXPECT_NEAR(r.LevelHigh(), clean.LevelHigh(), 2 * bin);
    EXPECT_GT(r.LevelLow(), -50.0);
    EXPECT_LT(r.LevelHigh(), 150.0);

    // A flat picture: the range collapses onto its value.
    TImageMatrix flat(16, 16);
    Fill(flat, [](int, int) { return -42; });
    TImageRenderer f(16, 16);
    f.RecalcPictureRange(flat, 0);
    EXPECT_DOUBLE_EQ(f.LevelLow(), -42.0);
    EXPECT_DOUBLE_EQ(f.LevelHigh(), -42.0);
    EXPECT_FALSE(f.FirstPass());
}

TEST(ImageRenderer, CrossSectionShowsTheNewestLinesInScanDirection)
{
    constexpr int n = 20;
    TImageMatrix m(n, 8);
    Fill(m, [](int x, int y) { return 100 * y + x; });
    TImageRenderer r(n, 8);
    r.CrossSecMode = CrossSectionLastThree;

    EXPECT_FALSE(r.DrawNewLines(m, 1, 1)); // nothing new
    EXPECT_EQ(RowIndexes(r, 1), std::vector<int>(8, 128));

    ASSERT_TRUE(r.DrawNewLines(m, 10, 1)); // scanning down
    EXPECT_EQ(r.Direction(), 1);
    EXPECT_EQ(r.CurrentLine(), 10);
    EXPECT_EQ(r.CrossLine2(), 9);
    EXPECT_EQ(r.CrossLine3(), 8);
    EXPECT_EQ(RowIndexes(r, 1).back(), 250);
    EXPECT_EQ(RowIndexes(r, 11).back(), 128); // not drawn yet
    // w − lo of the current line's range (every line: 1001..1008).
    EXPECT_EQ(r.CrossSection(0), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(r.CrossSection(1)[0], -100.0);
    EXPECT_EQ(r.CrossSection(2)[7], -193.0);
    EXPECT_EQ(r.CrossMin(), -200.0);
    EXPECT_EQ(r.CrossMax(), 7.0);

    ASSERT_TRUE(r.DrawNewLines(m, 10, 20)); // scanning up
    EXPECT_EQ(r.Direction(), -1);
    EXPECT_EQ(r.CrossLine2(), 11);
    EXPECT_EQ(r.CrossLine3(), 12);
    EXPECT_EQ(r.CrossSection(1)[0], 100.0);

    ASSERT_TRUE(r.DrawNewLines(m, 2, 1));
    EXPECT_EQ(r.CrossLine2(), 1);
    EXPECT_EQ(r.CrossLine3(), 1);
    ASSERT_TRUE(r.DrawNewLines(m, 19, 25)); // the frame start is cut to the picture
    EXPECT_EQ(r.CrossLine2(), 20);
    EXPECT_EQ(r.CrossLine3(), 20);

    // After a whole frame: the last lines once the scan passed the middle.
    r.RecalcPictureRange(m, 11);
    EXPECT_EQ(r.CurrentLine(), 20);
    EXPECT_EQ(r.CrossLine2(), 19);
    EXPECT_EQ(r.CrossLine3(), 18);
    r.RecalcPictureRange(m, 10);
    EXPECT_EQ(r.CurrentLine(), 1);
    EXPECT_EQ(r.CrossLine2(), 2);
    EXPECT_EQ(r.CrossLine3(), 3);

    // A reversed axis shows the section upside down.
    const TIOScale negative = MakeScale(0, 1.0f, "V", true);
    r.Scale = &negative;
    r.RecalcPictureRange(m, 0);
    EXPECT_EQ(r.CrossSection(0)[7], -7.0);
    EXPECT_EQ(r.CrossSection(2)[0], -200.0);
    EXPECT_EQ(r.CrossMin(), -207.0);
    EXPECT_EQ(r.CrossMax(), 0.0);
}

TEST(ImageRenderer, TextsShowPhysicalValuesWithPrefixAndUnit)
{
    TImageMatrix m(4, 5);
    Fill(m, [](int x, int y) { return 1000 * y + 100 * x; }); // 1100..4500
    const TIOScale scale = MakeScale(-100, 0.001f, "V");
    TImageRenderer r(4, 5);
    r.Scale = &scale;
    r.GainMode = GainCurrentPicture;
    r.DrawLines(m, 2, 3);
    EXPECT_EQ(r.LineText(), "Line(s) 2..3: Min..Max  2.000 V..3.400 V");
    r.RecalcPictureRange(m, 0);
    EXPECT_EQ(r.RangeText(), "Picture Min..Max  1.000 V..4.400 V");

    const TIOScale reversed = MakeScale(-100, 0.001f, "V", true);
    r.Scale = &reversed;
    r.DrawLines(m, 2, 3);
    EXPECT_EQ(r.LineText(), "Line(s) 2..3: Min..Max  -2.200 V..-3.600 V");

    const TIOScale nano = MakeScale(0, 0.5f, "nm");
    r.Scale = &nano;
    r.CrossSecMode = CrossSectionLastThree;
    r.RecalcPictureRange(m, 0); // lines 1..3 above the picture's minimum: 0..400, 1000..1400, 2000..2400
    EXPECT_EQ(r.CrossSectionLabel(), "dY = 240.0nm | Min = 0.000 m; Max = 1.200µm");

    TImageRenderer raw(4, 5);
    raw.DrawLines(m, 1, 1);
    EXPECT_EQ(raw.LineText(), "Line(s) 1..1: Min..Max  1.100k..1.500k");
}

TEST(ImageRenderer, ManualValuesConvertWithTheChannelFactor)
{
    const TIOScale scale = MakeScale(500, 0.25f, "nm");
    TImageRenderer r;
    r.Scale = &scale;
    r.SetManualOffset(10.0);
    r.SetManualRange(1.0);
    EXPECT_EQ(r.ManualOffset, 40); // the offset of the scale plays no part
    EXPECT_EQ(r.ManualRange, 4);
    EXPECT_DOUBLE_EQ(r.GetManualOffset(), 10.0);
    r.SetManualRange(0.375); // 1.5 digits, half to even
    EXPECT_EQ(r.ManualRange, 2);
    r.SetManualOffset(1e12);
    EXPECT_EQ(r.ManualOffset, 2147483647);
    r.SetManualOffset(-1e12);
    EXPECT_EQ(r.ManualOffset, -2147483647);
    r.SetManualOffset(std::nan(""));
    EXPECT_EQ(r.ManualOffset, 0);
    r.Scale = nullptr;
    r.SetManualRange(12.6);
    EXPECT_EQ(r.ManualRange, 13);
    EXPECT_DOUBLE_EQ(r.GetManualRange(), 13.0);

    r.GainMode = 7;
    r.SlopeMode = -1;
    r.ValidateModes();
    EXPECT_EQ(r.GainMode, GainEveryLine);
    EXPECT_EQ(r.SlopeMode, SlopeNone);
}

TEST(ImageRenderer, PictureFollowsANewBufferSize)
{
    TImageRenderer r(2, 2);
    TImageMatrix small(2, 2);
    Fill(small, [](int x, int y) { return x + 2 * y; });
    r.DrawLines(small, 1, 2);
    EXPECT_EQ(RowIndexes(r, 2), (std::vector<int>{0, 250}));

    // A larger buffer: the old picture is stretched before new lines arrive.
    TImageMatrix large(4, 6);
    r.DrawLines(large, 1, 1);
    EXPECT_EQ(r.Bitmap().Width(), 6);
    EXPECT_EQ(r.Bitmap().Height(), 4);
    EXPECT_EQ(r.Bitmap().Stride(), 8);
    EXPECT_EQ(RowIndexes(r, 4), (std::vector<int>{0, 0, 0, 250, 250, 250}));
    EXPECT_EQ(RowIndexes(r, 1), std::vector<int>(6, 0));
}

TEST(IndexedBitmap, FileImageCarriesItsTrueSizeAndBottomLineFirst)
{
    TIndexedBitmap bitmap(5, 3, 0);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 5; ++col)
            bitmap.Row(row)[col] = static_cast<uint8_t>(10 * row + col);
    const TColorTable table = FormulaPalette();
    const QByteArray file = BitmapFileImage(bitmap, table);
    auto le32 = [&](int at) {
        return uint32_t(uint8_t(file[at])) | uint32_t(uint8_t(file[at + 1])) << 8 |
               uint32_t(uint8_t(file[at + 2])) << 16 | uint32_t(uint8_t(file[at + 3])) << 24;
    };
    ASSERT_EQ(file.size(), 1078 + 8 * 3);
    EXPECT_EQ(file.left(2), "BM");
    EXPECT_EQ(le32(2), 1078u + 8 * 3); // not rows × rows + 1078
    EXPECT_EQ(le32(10), 1078u);
    EXPECT_EQ(le32(14), 40u);
    EXPECT_EQ(le32(18), 5u);
    EXPECT_EQ(le32(22), 3u);
    EXPECT_EQ(le32(26), 1u | 8u << 16); // one plane, eight bits
    EXPECT_EQ(le32(38), 143u);
    EXPECT_EQ(le32(42), 143u);
    EXPECT_EQ(uint8_t(file[54 + 4 * 128 + 2]), table[128].Red);
    EXPECT_EQ(file.mid(1078, 5), QByteArray("\x14\x15\x16\x17\x18"));
    EXPECT_EQ(file.mid(1078 + 16, 5), QByteArray("\x00\x01\x02\x03\x04", 5));
}

TEST(ImageRenderer, ScanLineMarkerFollowsTheLineOverTheDrawnHeight)
{
    EXPECT_EQ(ScanLineMarkerY(1024, 2048, 0, 256), 128);
    EXPECT_EQ(ScanLineMarkerY(2000, 2048, 0, 256), 250); // beyond the panel width in lines
    EXPECT_EQ(ScanLineMarkerY(1, 2048, 0, 256), 0);
    EXPECT_EQ(ScanLineMarkerY(32, 64, 10, 300), 160);
    EXPECT_FALSE(ScanLineMarkerY(0, 64, 0, 300));
    EXPECT_FALSE(ScanLineMarkerY(65, 64, 0, 300));
}

namespace {

// Everything of a drawing that the window shows.
struct TDrawing {
    std::vector<int> Pixels;
    QString Text;
    double Factor = 0.0;
    int32_t RawMin = 0;
    int32_t RawMax = 0;
    std::array<std::vector<double>, 3> Cross;
    double CrossMin = 0.0;
    double CrossMax = 0.0;
    bool operator==(const TDrawing&) const = default;
};

TDrawing Drawing(const TImageRenderer& r)
{
    TDrawing d;
    for (int y = 1; y <= r.Bitmap().Height(); ++y)
        for (int v : RowIndexes(r, y))
            d.Pixels.push_back(v);
    d.Text = r.LineText();
    d.Factor = r.Factor();
    d.RawMin = r.RawMin();
    d.RawMax = r.RawMax();
    for (int k = 0; k < 3; ++k)
        d.Cross[k] = r.CrossSection(k);
    d.CrossMin = r.CrossMin();
    d.CrossMax = r.CrossMax();
    return d;
}

// A scanned surface: tilt, terraces, a bump and noise, in raw digits.
int32_t Surface(int x, int y)
{
    const uint32_t h = (uint32_t(x) * 2654435761u) ^ (uint32_t(y) * 40503u);
    const int noise = static_cast<int>((h >> 13) % 41) - 20;
    return 30 * x - 17 * y + 400 * ((x + y) / 23) + static_cast<int>(900.0 / (1 + (x - 20) * (x - 20) % 97)) + noise;
}

void CopyLine(const TImageMatrix& from, TImageMatrix& to, int line)
{
    for (int x = 0; x < from.Cols(); ++x)
        to.Store(line - 1, x, from.At(line - 1, x));
}

} // namespace

TEST(ImageRenderer, DrawingIsTheSameHoweverManyThreadsShareIt)
{
    // Large enough for several blocks of lines.
    constexpr int rows = 768;
    constexpr int cols = 256;
    TImageMatrix m(rows, cols);
    Fill(m, [](int x, int y) { return Surface(x, y) + (y == 300 && x == 7 ? 90000 : 0); });
    // A drawing returns once its helpers are done, however they finish.
    const test::HangWatch watch("drawings shared with helper threads", 20000);
    for (int gain = GainEveryLine; gain <= GainManual; ++gain) {
        for (int slope = SlopeNone; slope <= SlopeCurrentPicture; ++slope) {
            std::array<TDrawing, 2> first;
            std::array<TDrawing, 2> after;
            std::array<std::array<double, 6>, 2> ranges;
            for (int run = 0; run < 2; ++run) {
                TImageRenderer::LimitDrawThreads(run == 0 ? 1 : 0);
                TImageRenderer r(rows, cols);
                r.GainMode = gain;
                r.SlopeMode = slope;
                r.CrossSecMode = CrossSectionLastThree;
                r.ManualOffset = 3000;
                r.ManualRange = 9000;
                r.DrawLines(m, 5, 700); // the first pass fits over the lines drawn
                first[run] = Drawing(r);
                r.RecalcPictureRange(m, 600);
                ranges[run] = {r.PlaneSlopeX(), r.PlaneSlopeY(), r.PlaneMin(),
                               r.PlaneMax(), r.LevelLow(),    r.LevelHigh()};
                r.DrawLines(m, 2, rows);
                after[run] = Drawing(r);
            }
            EXPECT_EQ(first[0], first[1]) << "gain " << gain << " slope " << slope;
            EXPECT_EQ(ranges[0], ranges[1]) << "gain " << gain << " slope " << slope;
            EXPECT_EQ(after[0], after[1]) << "gain " << gain << " slope " << slope;
        }
    }
    TImageRenderer::LimitDrawThreads(0);
}

TEST(ImageRenderer, RepaintsOfARunningFrameShowWhatDrawingTheWholeFrameShows)
{
    constexpr int rows = 48;
    constexpr int cols = 40;
    TImageMatrix surface(rows, cols);
    Fill(surface, [](int x, int y) { return Surface(x, y) + (y == 30 && x == 11 ? 5000 : 0); });
    for (int gain = GainEveryLine; gain <= GainManual; ++gain) {
        for (int slope = SlopeNone; slope <= SlopeCurrentPicture; ++slope) {
            const std::string mode = "gain " + std::to_string(gain) + " slope " + std::to_string(slope);
            TImageMatrix scan(rows, cols);
            TImageRenderer repainted(rows, cols);
            TImageRenderer whole(rows, cols);
            for (TImageRenderer* r : {&repainted, &whole}) {
                r->GainMode = gain;
                r->SlopeMode = slope;
                r->CrossSecMode = CrossSectionLastThree;
                r->ManualOffset = -200;
                r->ManualRange = 3000;
            }
            // The window that draws the whole frame each time gets a new
            // buffer each time, so it cannot go by what it drew before.
            const auto repaint = [&](int line, int frameFirstLine, bool compare) {
                TImageMatrix copy(rows, cols);
                for (int y = 1; y <= rows; ++y)
                    CopyLine(scan, copy, y);
                repainted.DrawNewLines(scan, line, frameFirstLine);
                if (whole.DrawNewLines(copy, line, frameFirstLine) && compare) {
                    EXPECT_EQ(Drawing(repainted), Drawing(whole)) << mode << ", line " << line;
                }
            };
            // The first frame downward, two repaints without a new line between them.
            for (int y = 1; y <= rows; ++y) {
                CopyLine(surface, scan, y);
                repaint(y, 1, true);
                if (y == 17)
                    repaint(y, 1, true);
            }
            for (TImageRenderer* r : {&repainted, &whole})
                r->RecalcPictureRange(scan, rows);
            // The second frame upward over a changed surface, with a pause that
            // cuts line 20 short: the scan takes it again, and the repaint
            // after the next line shows it whole.
            Fill(surface, [](int x, int y) { return Surface(x + 3, y) / 2 + (y == 12 && x == 30 ? -7000 : 0); });
            for (int y = rows; y >= 1; --y) {
                if (y == 20) {
                    for (int x = 0; x < cols / 2; ++x)
                        scan.Store(y - 1, x, surface.At(y - 1, x));
                    repaint(y, rows, true);
                }
                CopyLine(surface, scan, y);
                repaint(y, rows, y != 20);
            }
        }
    }
}

TEST(ImageRenderer, RepaintOfARunningFrameLeavesTheOlderLinesAlone)
{
    TImageMatrix m(12, 8);
    Fill(m, [](int x, int y) { return 10 * x + y; });
    TImageRenderer r(12, 8);
    ASSERT_TRUE(r.DrawNewLines(m, 6, 1));
    const std::vector<int> line3 = RowIndexes(r, 3);
    // Changed under a frame that is being drawn (no scan does that): only
    // the new lines and the one of the previous repaint are drawn again.
    Fill(m, [](int x, int y) { return -10 * x + y; });
    EXPECT_FALSE(r.DrawNewLines(m, 6, 1)); // nothing new
    ASSERT_TRUE(r.DrawNewLines(m, 8, 1));
    EXPECT_EQ(RowIndexes(r, 3), line3);
    EXPECT_EQ(RowIndexes(r, 6), (std::vector<int>{250, 214, 179, 143, 107, 71, 36, 0}));
    EXPECT_EQ(RowIndexes(r, 8), RowIndexes(r, 6));
    // The plane of "Current Picture" moves with each line: everything again.
    r.SlopeMode = SlopeCurrentPicture;
    ASSERT_TRUE(r.DrawNewLines(m, 9, 1));
    EXPECT_NE(RowIndexes(r, 3), line3);
}

// The picture's plane is fitted over all its lines, the first as much as the
// last, for its range and for its drawing: one raised line at either end tilts
// it by the same amount, opposite ways.
TEST(ImageRenderer, ThePlaneFitTakesTheFirstAndTheLastLineAlike)
{
    constexpr int n = 64;
    // Least squares over lines 1..n of a single line h high at line k:
    // slope = 12 h (k - (n + 1) / 2) / (n (n² - 1)).
    const double h = 640.0;
    const double endSlope = 12.0 * h * ((n - 1) / 2.0) / (n * (double(n) * n - 1.0));
    for (const int raised : {1, n}) {
        SCOPED_TRACE(raised);
        TImageMatrix m(n, n);
        Fill(m, [&](int, int y) { return y == raised ? h : 0.0; });
        TImageRenderer r(n, n);
        r.SlopeMode = SlopeCurrentPicture;
        r.RecalcPictureRange(m, 0);
        EXPECT_NEAR(r.PlaneSlopeX(), 0.0, 1e-12);
        EXPECT_NEAR(r.PlaneSlopeY(), raised == 1 ? -endSlope : endSlope, 1e-9);
        // Drawn, the picture is levelled with the plane of the lines drawn.
        r.DrawLines(m, 1, n);
        EXPECT_NEAR(r.WorkSlopeX(), 0.0, 1e-6);
        EXPECT_NEAR(r.WorkSlopeY(), raised == 1 ? -endSlope : endSlope, 1e-5);
    }
}
