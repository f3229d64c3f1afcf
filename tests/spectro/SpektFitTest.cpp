// A finished curve's fit, file, clipboard and name, and the checks of the
// spectroscopy options.

#include "spectro/SpektFit.h"
#include "spectro/SpektOptions.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qvt {
namespace {

TSpektData Line(int n, double slope, double intercept)
{
    TSpektData d;
    for (int i = 0; i < n; ++i) {
        d.Col[TSpektData::Time][i] = i;
        d.Col[TSpektData::Ch0][i] = slope * i + intercept;
    }
    return d;
}

TEST(SpektFit, FitsTheChosenRangeSwappedOrFallenBack)
{
    const TSpektData d = Line(100, 2.0, 1.0);
    const TSpektPlot plot = MapSpektPlot(d, 100, 0, 3, true);
    const TSpektFit all = FitSpektLine(d, plot, 0, 3, 0.0, 1.0);
    ASSERT_TRUE(all.Valid);
    EXPECT_EQ(all.N, 100);
    EXPECT_NEAR(all.Slope, 2.0, 1e-12);
    EXPECT_NEAR(all.Intercept, 1.0, 1e-9);

    // Reversed ends are swapped: the same points as 0.2..0.8.
    const TSpektFit reversed = FitSpektLine(d, plot, 0, 3, 0.8, 0.2);
    const TSpektFit forward = FitSpektLine(d, plot, 0, 3, 0.2, 0.8);
    EXPECT_EQ(reversed.N, forward.N);
    EXPECT_EQ(reversed.Start, forward.Start);
    EXPECT_EQ(reversed.End, forward.End);
    EXPECT_EQ(forward.Start.x(), 51);

    // Under ten pixels: the left 30 %, and the drawn line follows that range.
    const TSpektFit narrow = FitSpektLine(d, plot, 0, 3, 0.5, 0.52);
    ASSERT_TRUE(narrow.Valid);
    EXPECT_EQ(narrow.N, 30); // x 0..29 lie in 0..76.5 pixels
    EXPECT_EQ(narrow.Start.x(), 0);
    EXPECT_EQ(narrow.End.x(), 76);
    const double xEnd = 76.5 / plot.XScale;
    EXPECT_EQ(narrow.End.y(), std::nearbyint((plot.YMax - (2.0 * xEnd + 1.0)) * plot.YScale));

    // One point, and a column of equal x values: no fit to hand on.
    const TSpektData one = Line(1, 2.0, 1.0);
    const TSpektFit single = FitSpektLine(one, MapSpektPlot(one, 1, 0, 3, true), 0, 3, 0.0, 1.0);
    EXPECT_EQ(single.N, 1);
    EXPECT_FALSE(single.Valid);
    TSpektData flat = Line(50, 1.0, 0.0);
    for (int i = 0; i < 50; ++i)
        flat.Col[TSpektData::Time][i] = 5.0;
    const TSpektFit vertical = FitSpektLine(flat, MapSpektPlot(flat, 50, 0, 3, true), 0, 3, 0.0, 1.0);
    EXPECT_EQ(vertical.N, 50);
    EXPECT_FALSE(vertical.Valid);
    EXPECT_EQ(vertical.Slope, 0.0);

    EXPECT_FALSE(DraggedSlope(plot, {10, 5}, {10, 50}));
    EXPECT_NEAR(*DraggedSlope(plot, {0, 200}, {100, 100}), plot.XScale / plot.YScale, 1e-12);
}

TEST(SpektFit, SensitivityIsScaledByTheUnitsAndStoredAsHeld)
{
    EXPECT_DOUBLE_EQ(*SensitivityFromSlope(3.0, "mV", "nm"), 3.0e6);
    EXPECT_FALSE(SensitivityFromSlope(0.0, "V", "nm"));
    EXPECT_FALSE(SensitivityFromSlope(std::numeric_limits<double>::infinity(), "V", "nm"));
    EXPECT_FALSE(SensitivityFromSlope(std::nan(""), "V", "nm"));
    const TSensitivityStore contact = SensitivityToStore(3, -2.5);
    EXPECT_TRUE(contact.ContactMode);
    EXPECT_EQ(contact.Value, -2.5);
    // Dynamic modes keep the magnitude, in memory and in the file alike.
    const TSensitivityStore dynamic = SensitivityToStore(5, -2.5);
    EXPECT_TRUE(dynamic.Dynamic);
    EXPECT_EQ(dynamic.Value, 2.5);
    const TSensitivityStore stm = SensitivityToStore(0, 1.0);
    EXPECT_FALSE(stm.ContactMode || stm.Dynamic);
}

TEST(SpektFit, NumbersAreFifteenCharactersWithFourExponentDigits)
{
    EXPECT_EQ(FormatE15(1.5), " 1.500000E+0000");
    EXPECT_EQ(FormatE15(0.0), " 0.000000E+0000");
    EXPECT_EQ(FormatE15(-0.000123), "-1.230000E-0004");
    EXPECT_EQ(FormatE15(1e300), " 1.000000E+0300");
    EXPECT_EQ(FormatE15(-1e-300), "-1.000000E-0300");
    EXPECT_EQ(FormatE15(9.99999999), " 1.000000E+0001");
    EXPECT_EQ(FormatE15(std::nan("")).size(), 15);
}

TEST(SpektFit, NamesCountFromTheNextNumberUpTo9999)
{
    TSpektFileName f = SpektFileName("/data/curve", "txt", true, 1);
    EXPECT_EQ(f.Name, "/data/curve0001.txt");
    EXPECT_EQ(f.NextNumber, 2);
    f = SpektFileName("/data/curve", "txt", true, 9999);
    EXPECT_EQ(f.Name, "/data/curve9999.txt");
    f = SpektFileName("/data/curve", "txt", true, f.NextNumber);
    EXPECT_EQ(f.Name, "/data/curve9999.txt");
    EXPECT_EQ(SpektFileName("/data/curve", "dat", false, 7).Name, "/data/curve.dat");
}

TEST(SpektFit, FilesForEveryLayout)
{
    TSpektData d;
    const double time[2] = {0, 0.5}, dz[2] = {1, -2}, bias[2] = {1.5, 0}, a[2] = {1e-9, -3.25}, b[2] = {100, 0.001};
    for (int i = 0; i < 2; ++i) {
        d.Col[0][i] = time[i];
        d.Col[1][i] = dz[i];
        d.Col[2][i] = bias[i];
        d.Col[3][i] = a[i];
        d.Col[4][i] = b[i];
        d.Col[7][i] = 10.0 * (i + 1);
    }
    TSpektFileSpec s;
    s.Points = 2;
    s.CountCh = 2;
    s.ChannelLabels = {"A", "B", "", ""};
    s.Header = true;
    s.XAxis = true;
    s.Delimiter = "\t";
    EXPECT_EQ(SpektFileText(d, s),
              "time\tdz\tBias\tA\tB\r\n"
              " 0.000000E+0000\t 1.000000E+0000\t 1.500000E+0000\t 1.000000E-0009\t 1.000000E+0002\r\n"
              " 5.000000E-0001\t-2.000000E+0000\t 0.000000E+0000\t-3.250000E+0000\t 1.000000E-0003\r\n");
    s.ZNoise = true; // the frequency stands in the first column
    EXPECT_TRUE(SpektFileText(d, s).split("\r\n")[1].startsWith(" 1.000000E+0001\t"));
    s.ZNoise = false;
    s.Header = false;
    s.XAxis = false;
    s.Delimiter = "";
    EXPECT_EQ(SpektFileText(d, s), " 1.000000E-0009 1.000000E+0002\r\n-3.250000E+0000 1.000000E-0003\r\n");
    s.Comment = true;
    s.CommentText = "tip 4";
    s.Header = true;
    s.Delimiter = ".";
    EXPECT_EQ(SpektFileText(d, s),
              "tip 4\r\nA.B\r\n 1.000000E-0009. 1.000000E+0002\r\n-3.250000E+0000. 1.000000E-0003\r\n");

    s = {};
    s.AllData = false;
    s.Points = 2;
    s.XColumn = 1;
    s.YColumn = 3;
    s.XLabel = "dz";
    s.YLabel = "A";
    s.First = 0;
    s.Last = 1;
    s.Header = true;
    s.XAxis = true;
    s.Delimiter = ",";
    EXPECT_EQ(SpektFileText(d, s), "dz,A\r\n 1.000000E+0000, 1.000000E-0009\r\n-2.000000E+0000,-3.250000E+0000\r\n");
    s.Header = false;
    s.XAxis = false;
    s.Delimiter = " ";
    s.First = 1;
    EXPECT_EQ(SpektFileText(d, s), "-3.250000E+0000\r\n");

    EXPECT_EQ(SpektClipboardText(d, 2, 1, false, "\t"), "0\t1\t1.5\t1E-9\r\n0.5\t-2\t0\t-3.25");
}

TEST(SpektOptions, EditsAcceptWhatTheKindCanRun)
{
    EXPECT_EQ(*SpektCycleCount("40"), 15);
    EXPECT_EQ(*SpektCycleCount("0"), 1);
    EXPECT_EQ(*SpektCycleCount("-3"), 1);
    EXPECT_FALSE(SpektCycleCount("two"));
    EXPECT_FALSE(SpektPointCount("1024"));
    EXPECT_FALSE(SpektPointCount("4"));
    EXPECT_EQ(*SpektPointCount("1023"), 1023);
    EXPECT_EQ(*SpektAverageCount("0"), 1);
    EXPECT_EQ(SpektAverageText(*SpektAverageCount("-2")), "inf.");
    EXPECT_EQ(SpektCycleChoice(-1.0), TSpektCycleChoice::Ramp);
    EXPECT_EQ(SpektCycleChoice(0.5), TSpektCycleChoice::Half);
    EXPECT_EQ(SpektCycleChoice(3.0), TSpektCycleChoice::N);
    const int bands[][2] = {{25, -1}, {26, 0}, {36, 0}, {37, 1}, {48, 1}, {49, 2}, {60, 2}, {61, 3}, {73, 3}, {74, -1}};
    for (const auto& [x, band] : bands)
        EXPECT_EQ(SpektColourBand(x), band) << x;
}

} // namespace
} // namespace qvt
