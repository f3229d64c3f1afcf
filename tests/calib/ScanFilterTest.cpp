#include "calib/ScanFilter.h"

#include <gtest/gtest.h>

namespace qvt {
namespace {

TScanFilterTable PassThrough()
{
    return {PassThroughAxis(), PassThroughAxis()};
}

TEST(ScanFilter, RegisterImageOfAllSlotsInBothLayouts)
{
    TScanFilterTable t = PassThrough();
    // Distinct values everywhere, each within range after its scaling.
    for (int axis = 0; axis < 2; ++axis)
        for (int i = 0; i < FilterCoefficients; ++i)
            t[axis][i] = (axis * 10 + i + 1) * 0.01;
    for (int revision : {1, 2}) {
        const auto image = BuildFilterImage(t, revision);
        ASSERT_TRUE(image.has_value());
        for (int i = 1; i <= FilterSlotCount; ++i) {
            const int32_t expected = revision == 1 ? 192 + i : i <= 10 ? 400 + i : 416 + (i - 11);
            EXPECT_EQ(image->Register[i - 1], expected) << "slot " << i;
        }
        EXPECT_EQ(image->Value[10], 0); // the Y input slot
        // Decoding the words gives the table back: every slot's scaling and sign.
        const TScanFilterTable back = DecodeFilterImage(image->Value);
        for (int axis = 0; axis < 2; ++axis)
            for (int i = 0; i < FilterCoefficients; ++i)
                EXPECT_NEAR(back[axis][i], t[axis][i], 1e-6) << axis << "/" << i;
    }
    EXPECT_EQ(FilterRegister(1, 21), 213);
    EXPECT_EQ(FilterRegister(3, 21), 426);

    // Pass-through: 2147483647/128 rounded in slot 1, the full word in slot 6.
    const auto pass = BuildFilterImage(PassThrough(), 1);
    ASSERT_TRUE(pass);
    EXPECT_EQ(pass->Value[0], 16777216);
    EXPECT_EQ(pass->Value[1], 0);
    EXPECT_EQ(pass->Value[4], 0);
    EXPECT_EQ(pass->Value[5], 2147483647);
}

TEST(ScanFilter, OneSlotOutOfRangeRefusesTheWholeImage)
{
    TScanFilterTable t = PassThrough();
    t[0][4] = -1.0; // b1 = -1 gives +2147483647, still in range
    ASSERT_TRUE(BuildFilterImage(t, 1));
    EXPECT_EQ(BuildFilterImage(t, 1)->Value[4], 2147483647);
    t[1][5] = 1.0000001; // Y filter 2 a0: slot 17, late in the image
    EXPECT_FALSE(BuildFilterImage(t, 1).has_value());
    EXPECT_FALSE(ToQ31(-1.0000001).has_value());
    EXPECT_TRUE(ToQ31(-1.0 + 1e-9).has_value());
}

TEST(ScanFilter, DcGainCheckMarksTheLastBadFilter)
{
    TScanFilterTable t = PassThrough();
    EXPECT_EQ(FilterWithBadGain(t), -1);
    t[0][0] = 1.2; // X filter 1
    EXPECT_EQ(FilterWithBadGain(t), 0);
    t[1][5] = 0.5; // Y filter 2
    EXPECT_EQ(FilterWithBadGain(t), 3);
    EXPECT_EQ(BadGainText(3), "Filter y2 has dcGain<>1 !");
    t[1][5] = 1.05;
    EXPECT_EQ(FilterWithBadGain(t), 0);
    EXPECT_EQ(BadGainText(0), "Filter x has dcGain<>1 !");
    // A pole at DC is no unity gain either.
    t = PassThrough();
    t[0][3] = -0.5;
    t[0][4] = -0.5;
    EXPECT_EQ(FilterWithBadGain(t), 0);
}

TEST(ScanFilter, ResponseFileParsing)
{
    const QString head = "1\t0\t0\t0\t0\t1\t0\t0\t0\t0\n";
    TFrequencyResponse r = ParseFrequencyResponse(head + "100\t3\t4\t0.5\n\n200\t1\t0\t0.1\textra\n");
    ASSERT_TRUE(r.Error.isEmpty()) << r.Error.toStdString();
    EXPECT_EQ(r.Coefficients, PassThroughAxis());
    ASSERT_EQ(r.Points.size(), 2u);
    EXPECT_DOUBLE_EQ(r.Points[0].Amplitude, 5.0);
    EXPECT_DOUBLE_EQ(r.Points[1].MinMax, 0.1);

    EXPECT_EQ(ParseFrequencyResponse("1\t0\t0\t0\t0\t1\t0\t0\t0\n").Error, "1st line wrong!");
    EXPECT_EQ(ParseFrequencyResponse("1\t0\t0\t0\t0\t1\t0\t0\t0\t0\t7\n").Error, "1st line wrong!");
    EXPECT_EQ(ParseFrequencyResponse("1\t0\tx\t0\t0\t1\t0\t0\t0\t0\n").Error, "1st line wrong!");
    EXPECT_EQ(ParseFrequencyResponse(head + "100\t3\t4\n").Error, "Error in line 1");
    r = ParseFrequencyResponse(head + "100\t3\t4\t1\n100\t3\tq\t1\n");
    EXPECT_EQ(r.Error, "Error in line 2");
    EXPECT_TRUE(r.Points.empty());
}

TEST(ScanFilter, FitResultAndFilterFiles)
{
    TFitOutcome fit = ParseFitResult("0.5\n0.25\n0.125\n-0.1\n0.2\n");
    ASSERT_TRUE(fit.Ok);
    EXPECT_DOUBLE_EQ(fit.Coefficients[0], 0.5);
    EXPECT_DOUBLE_EQ(fit.Coefficients[4], 0.2);
    // Five lines: filter 2 stays pass-through.
    EXPECT_DOUBLE_EQ(fit.Coefficients[5], 1.0);
    EXPECT_DOUBLE_EQ(fit.Coefficients[9], 0.0);

    fit = ParseFitResult("1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n");
    ASSERT_TRUE(fit.Ok);
    EXPECT_DOUBLE_EQ(fit.Coefficients[9], 10.0);

    fit = ParseFitResult("0.5\nnope\n");
    EXPECT_FALSE(fit.Ok);
    EXPECT_EQ(fit.Coefficients, PassThroughAxis());

    const auto file = ParseFilterFile("1\n-0.5\n0.25\n0.1\n0,2\nignored\n");
    ASSERT_TRUE(file);
    EXPECT_DOUBLE_EQ((*file)[4], 0.2);
    EXPECT_FALSE(ParseFilterFile("1\n2\n3\n4\n"));
    EXPECT_FALSE(ParseFilterFile("1\n2\nx\n4\n5\n"));
}

TEST(ScanFilter, FormulaUsesRealSuperscripts)
{
    TScanFilterTable t = PassThrough();
    t[0][1] = -0.5;
    t[0][2] = 0.25;
    t[0][3] = 0.1;
    const QStringList f = FilterFormula(t, 0);
    EXPECT_EQ(f[0], QString::fromUtf8("0.25z\u207B\u00B2 - 0.5z\u207B\u00B9 + 1"));
    EXPECT_EQ(f[1], QString::fromUtf8("0z\u207B\u00B2 + 0.1z\u207B\u00B9 + 1"));
}

} // namespace
} // namespace qvt
