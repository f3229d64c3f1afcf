#include "calib/ScannerCalibration.h"
#include "core/IniFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qvt {
namespace {

TCalibPoint Point(double range, double x, double y, double x2f = 0.0)
{
    TCalibPoint p;
    p.Range = range;
    p.X = x;
    p.Y = y;
    p.Lin.X2F = x2f;
    return p;
}

TEST(ScannerCalibration, SensitivityFollowsTheLineBetweenRangesAndStaysAtTheEnds)
{
    const std::vector<TCalibPoint> points = {Point(10, 1.0, 2.0), Point(20, 2.0, 4.0), Point(40, 4.0, 4.0)};
    TRangeResult r;
    InterpolateSensitivity(points, 15, r);
    ASSERT_TRUE(r.SoftLin);
    EXPECT_DOUBLE_EQ(r.XFactor, 1.5);
    EXPECT_DOUBLE_EQ(r.YFactor, 3.0);
    EXPECT_DOUBLE_EQ(r.MaxRange, 40);
    EXPECT_DOUBLE_EQ(r.MaxX, 4.0);

    // Exactly on a calibrated range: that range's values.
    InterpolateSensitivity(points, 20, r);
    EXPECT_DOUBLE_EQ(r.XFactor, 2.0);
    // Below the first and above the last: no extrapolation.
    InterpolateSensitivity(points, 3, r);
    EXPECT_DOUBLE_EQ(r.XFactor, 1.0);
    InterpolateSensitivity(points, 400, r);
    EXPECT_DOUBLE_EQ(r.XFactor, 4.0);

    // One range is no table.
    InterpolateSensitivity({Point(10, 1, 1)}, 5, r);
    EXPECT_FALSE(r.SoftLin);
}

TEST(ScannerCalibration, CoefficientsInterpolateClampAndSurviveEqualRanges)
{
    std::vector<TCalibPoint> points = {Point(10, 1, 1, 0.2), Point(20, 1, 1, 0.4), Point(30, 1, 1, 1.7)};
    EXPECT_NEAR(InterpolateLinCoeffs(points, 15).X2F, 0.3, 1e-12);
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(points, 5).X2F, 0.2);
    // 1.7 in the file goes to the scan thread as 1.
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(points, 30).X2F, 1.0);
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(points, 99).X2F, 1.0);
    points[0].Lin.Y3B = -3;
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(points, 1).Y3B, -1.0);
    points[0].Lin.Y3B = std::numeric_limits<double>::quiet_NaN();
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(points, 1).Y3B, -1.0);

    // Two rows of the same range: the lower row, no division by zero.
    const std::vector<TCalibPoint> twins = {Point(10, 1, 1, 0.1), Point(10, 1, 1, 0.5)};
    EXPECT_DOUBLE_EQ(InterpolateLinCoeffs(twins, 10).X2F, 0.1);
    TRangeResult r;
    InterpolateSensitivity(twins, 12, r);
    EXPECT_TRUE(std::isfinite(r.XFactor));
}

TEST(ScannerCalibration, FileRoundTripKeepsOrderDeletesStaleKeysAndReadsCommas)
{
    test::TempDir dir;
    const QString path =
        dir.WriteFile("scanner.ini", "[PiezoZeroPos]\nXDir=1\n[SoftLin]\nRange1=\"40\"\nX1=0,004\nY1=0.004\n"
                                     "X2F1=0.1\nRange2=10\nX2=0.001\nY2=0.0012\nRange3=20\nX3=0.002\n"
                                     "Y3=0.002\nRange5=80\nX5=0.008\nY5=0.008\n");
    TQVTIniFile ini(path);
    TScannerTable table;
    table.Load(ini);
    // Row 4 is a gap: the table runs to row 5, the gap goes to the end.
    ASSERT_EQ(table.RangeCount(), 4);
    EXPECT_EQ(table.Cell(0, ColRange), "10");
    EXPECT_EQ(table.Cell(1, ColRange), "20");
    EXPECT_EQ(table.Cell(2, ColRange), "40");
    EXPECT_EQ(table.Cell(2, ColX), "0.004"); // "," became "."
    EXPECT_EQ(table.Cell(2, ColX2F), "0.1");
    EXPECT_EQ(table.Cell(3, ColRange), "80");
    const std::vector<TCalibPoint> points = table.Points();
    ASSERT_EQ(points.size(), 4u);
    EXPECT_DOUBLE_EQ(points[2].X, 0.004);

    table.DeleteRow(3);
    table.Save(ini);
    EXPECT_FALSE(ini.ValueExists("SoftLin", "Range4"));
    EXPECT_FALSE(ini.ValueExists("SoftLin", "X5"));
    EXPECT_TRUE(ini.ValueExists("PiezoZeroPos", "XDir"));
    // A new file gets the keys of a row in the order Range, X, Y, X2F, X2B, ...
    TQVTIniFile fresh(dir.Path() + "fresh.ini");
    table.Save(fresh);
    const QStringList keys = fresh.ReadSection("SoftLin");
    ASSERT_EQ(keys.size(), 33);
    EXPECT_EQ(keys.mid(0, 11),
              (QStringList{"Range1", "X1", "Y1", "X2F1", "X2B1", "X3F1", "X3B1", "Y2F1", "Y2B1", "Y3F1", "Y3B1"}));

    TScannerTable again;
    again.Load(ini);
    EXPECT_EQ(again.RangeCount(), 3);
    EXPECT_EQ(again.Cell(2, ColX2F), "0.1");
}

TEST(ScannerCalibration, InvalidSensitivitiesRefuseTheTable)
{
    TScannerTable table;
    table.SetCell(0, ColRange, "10");
    table.SetCell(0, ColX, "0.001");
    table.SetCell(0, ColY, "0.001");
    table.SetCell(1, ColRange, "20");
    table.SetCell(1, ColX, "0");
    table.SetCell(1, ColY, "0.002");
    table.Sort();
    EXPECT_TRUE(table.CellInvalid(1, ColX));
    EXPECT_TRUE(table.AnyInvalid());
    EXPECT_TRUE(table.Points().empty());
    table.SetCell(1, ColX, ""); // missing
    EXPECT_TRUE(table.CellInvalid(1, ColX));
    table.SetCell(1, ColX, "abc");
    EXPECT_TRUE(table.CellInvalid(1, ColX));
    table.SetCell(1, ColX, "0.002");
    EXPECT_FALSE(table.AnyInvalid());
    EXPECT_EQ(table.Points().size(), 2u);

    // A range that does not parse stops the sort.
    table.SetCell(1, ColRange, "2x0");
    EXPECT_FALSE(table.Sort());
}

TEST(ScannerCalibration, AllSixtyFourRowsAreUsed)
{
    TScannerTable table;
    for (int r = 0; r < ScannerRowCount; ++r) {
        table.SetCell(r, ColRange, QString::number(r + 1));
        table.SetCell(r, ColX, QString::number(0.001 * (r + 1)));
        table.SetCell(r, ColY, "0.001");
    }
    table.Sort();
    const std::vector<TCalibPoint> points = table.Points();
    ASSERT_EQ(points.size(), 64u);
    TRangeResult r;
    InterpolateSensitivity(points, 63.5, r);
    EXPECT_NEAR(r.XFactor, 0.0635, 1e-12);
    EXPECT_DOUBLE_EQ(r.MaxRange, 64);
}

TEST(ScannerCalibration, AddAndTeach)
{
    TScannerTable table;
    TLinCoefficients lin;
    lin.X2F = 0.12345678;
    lin.Y3B = -0.5;
    EXPECT_TRUE(table.AddRange(12.34, 0.0012346, 0.002, lin));
    EXPECT_FALSE(table.AddRange(12.34, 0.5, 0.5, lin));
    EXPECT_EQ(table.RangeCount(), 1);
    EXPECT_EQ(table.Cell(0, ColX), "0.001235"); // 4 significant digits
    EXPECT_EQ(table.Cell(0, ColX2F), "0.12346");

    TLinCoefficients taught;
    taught.X2F = 0.5;
    taught.X3B = 0.25;
    taught.Y2F = 0.75;
    EXPECT_EQ(table.Teach(12.344, taught, true), 0);
    EXPECT_EQ(table.Cell(0, ColX2F), "0.5");
    EXPECT_EQ(table.Cell(0, ColX3B), "0.25");
    EXPECT_EQ(table.Cell(0, ColY3B), "-0.5"); // Y untouched
    EXPECT_EQ(table.Teach(12.346, taught, false), -1);
    EXPECT_EQ(table.Cell(0, ColY2F), "0");
}

TEST(ScannerCalibration, MissingFileIsCreatedBesideTheProgram)
{
    test::TempDir dir;
    bool create = false;
    auto exists = [](const QString& f) { return QFile::exists(f); };
    EXPECT_EQ(ChooseScannerFile("SoftLin", dir.Path(), exists, create), dir.Path() + "SoftLin.ini");
    EXPECT_TRUE(create);
    TQVTIniFile ini(dir.Path() + "SoftLin.ini");
    CreateScannerFile(ini, 0.0015, 0.002);
    EXPECT_EQ(ChooseScannerFile("SoftLin", dir.Path(), exists, create), dir.Path() + "SoftLin.ini");
    EXPECT_FALSE(create);
    TScannerTable table;
    table.Load(ini);
    ASSERT_EQ(table.RangeCount(), 1);
    EXPECT_EQ(table.Cell(0, ColRange), "50");
    EXPECT_EQ(table.Points().at(0).X, 0.0015);

    const TZScale z = ComputeZScale(9.8e-9, 7, 2, 1, 0.5);
    EXPECT_DOUBLE_EQ(z.ZFactor, 9.8e-9 * 14);
    EXPECT_DOUBLE_EQ(z.ZFastFactor, 4.9e-9);
}

} // namespace
} // namespace qvt
