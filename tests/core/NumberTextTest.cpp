#include "core/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace qvt;

namespace {
const QString kMicro = QString(QChar(0x00B5));
const QString kGreekMu = QString(QChar(0x03BC));
} // namespace

TEST(NumberText, RoundsHalfToEven)
{
    EXPECT_EQ(Round(2.5), 2.0);
    EXPECT_EQ(Round(3.5), 4.0);
    EXPECT_EQ(Round(-2.5), -2.0);
    EXPECT_EQ(Round(2.6), 3.0);
}

TEST(NumberText, ParsesEitherDecimalSeparatorAndRejectsNonNumbers)
{
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("12,5"), 12.5);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("12.5"), 12.5);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("+5"), 5.0);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("1e-3"), 1e-3);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep(" -2,5E2 "), -250.0);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep(".5"), 0.5);
    EXPECT_DOUBLE_EQ(StrToFloatAnySep("5."), 5.0);

    for (const char* bad : {"1.234,5", "1,234.5", "1,2,3", "abc", "",    "  ",  "inf",   "-inf", "nan", "NaN",
                            "0x1p3",   "0x10",    "1e",    "1e+", "--5", "5 5", "1e999", "+",    ".",   "12.5V"}) {
        double out = 42;
        EXPECT_FALSE(ParseNumber(bad, out)) << bad;
        EXPECT_EQ(out, 42) << bad;
        EXPECT_THROW(StrToFloatAnySep(bad), ConversionError) << bad;
    }
    try {
        StrToFloatAnySep("abc");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
    }
}

TEST(NumberText, WritesShortestTextWithPointThatReadsBack)
{
    EXPECT_EQ(FloatToText(2.5), "2.5");
    EXPECT_EQ(FloatToText(-3.25), "-3.25");
    EXPECT_EQ(FloatToText(0.0), "0");
    EXPECT_EQ(FloatToText(100000.0), "100000");
    EXPECT_EQ(FloatToText(0.00001), "0.00001");
    EXPECT_EQ(FloatToText(1.5e-6), "1.5E-6");
    EXPECT_EQ(FloatToText(1e20), "1E20");
    EXPECT_EQ(FloatToText(std::numeric_limits<double>::quiet_NaN()), "NAN");
    for (double v : {0.1, 1.0 / 3.0, -123456.789, 6.02214076e23, 1.602e-19, 4.9e-324, 1.7976931348623157e308}) {
        double back = 0;
        ASSERT_TRUE(ParseNumber(FloatToText(v), back)) << FloatToText(v).toStdString();
        EXPECT_EQ(back, v);
    }
}

TEST(NumberText, FormatsWithSIPrefix)
{
    EXPECT_EQ(FormatWithSIPrefix("V", 0.0000123), "12.30" + kMicro + "V");
    EXPECT_EQ(FormatWithSIPrefix("nm", 1500), "1.500" + kMicro + "m");
    EXPECT_EQ(FormatWithSIPrefix("V", 0), "0.000 V");
    EXPECT_EQ(FormatWithSIPrefix("V", -0.0000123), "-12.30" + kMicro + "V");
    // The smallest and the largest prefix, beyond which the mantissa grows.
    EXPECT_EQ(FormatWithSIPrefix("V", 3e-21), "0.003aV");
    EXPECT_EQ(FormatWithSIPrefix("V", 5e12), "5000GV");
    // Rounding to four digits moves 999.96 into the next prefix.
    EXPECT_EQ(FormatWithSIPrefix("V", 999.96), "1.000kV");
    EXPECT_EQ(FormatWithSIPrefix("V", 999.94), "999.9 V");
    // Both code points of micro are read as the prefix; micro is written as U+00B5.
    EXPECT_EQ(FormatWithSIPrefix(kMicro + "m", 1500), "1.500mm");
    EXPECT_EQ(FormatWithSIPrefix(kGreekMu + "m", 1500), "1.500mm");
    // A one-character unit starting with a prefix letter is taken as that prefix.
    EXPECT_EQ(FormatWithSIPrefix("m", 0.5), "500.0" + kMicro);

    // One value per row of the digit table.
    EXPECT_EQ(FormatWithSIPrefix("V", 1.234567e17), "1.2346E+8GV");
    EXPECT_EQ(FormatWithSIPrefix("V", 1.23456e12), "1235GV");
    EXPECT_EQ(FormatWithSIPrefix("V", 123.456), "123.5 V");
    EXPECT_EQ(FormatWithSIPrefix("Hz", 12345.6), "12.35kHz");
    EXPECT_EQ(FormatWithSIPrefix("V", 1.23456), "1.235 V");
    EXPECT_EQ(FormatWithSIPrefix("V", std::numeric_limits<double>::quiet_NaN()), "NAN V");

    // The row follows the value as shown: 100 µm is 99.999... after the unit
    // is folded in, and must read like 100000 nm.
    EXPECT_EQ(FormatWithSIPrefix(kMicro + "m", 100), "100.0" + kMicro + "m");
    EXPECT_EQ(FormatWithSIPrefix("nm", 100000), "100.0" + kMicro + "m");
    EXPECT_EQ(FormatWithSIPrefix("V", 9.99996), "10.00 V");
    EXPECT_EQ(FormatWithSIPrefix("V", -99.99996), "-100.0 V");
    EXPECT_EQ(FormatWithSIPrefix("V", 999.996e-3), "1.000 V");
    EXPECT_EQ(FormatWithSIPrefix("V", 99999.7e9), "1.0000E+5GV");
}

TEST(NumberText, FormatsChannelValuesWithFewerDigits)
{
    EXPECT_EQ(FormatChannelValueWithUnit("V", 0.0000123f), "12.30" + kMicro + "V");
    EXPECT_EQ(FormatChannelValueWithUnit("nm", 1500.0f), "1.500" + kMicro + "m");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 0.0f), "0.000 V");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 1.234567e17f), "1.23E+8GV");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 1.23456e12f), "1235GV");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 123.456f), "123.5 V");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 12.3456f), "12.30 V");
    EXPECT_EQ(FormatChannelValueWithUnit("V", 1.23456f), "1.200 V");
    EXPECT_EQ(FormatChannelValueWithUnit("A", -0.00000000456f), "-4.600nA");
}

TEST(NumberText, PrefixFactorNeedsAUnitBehindThePrefix)
{
    EXPECT_EQ(SIPrefixFactor("m"), 1.0);
    EXPECT_EQ(SIPrefixFactor("nm"), 1e-9);
    EXPECT_EQ(SIPrefixFactor("kHz"), 1e3);
    EXPECT_EQ(SIPrefixFactor("GHz"), 1e9);
    EXPECT_EQ(SIPrefixFactor("aA"), 1e-18);
    EXPECT_EQ(SIPrefixFactor(kMicro + "m"), 1e-6);
    EXPECT_EQ(SIPrefixFactor(kGreekMu + "m"), 1e-6);
    EXPECT_EQ(SIPrefixFactor("V"), 1.0);
    EXPECT_EQ(SIPrefixFactor("Hz"), 1.0);
    EXPECT_EQ(SIPrefixFactor(""), 1.0);
}

TEST(NumberText, ClampEndsNaNAtTheLowLimit)
{
    double v = 5;
    ClampDouble(v, 3, 1);
    EXPECT_EQ(v, 3);
    v = 0;
    ClampDouble(v, 3, 1);
    EXPECT_EQ(v, 1);
    v = 2;
    ClampDouble(v, 3, 1);
    EXPECT_EQ(v, 2);
    v = std::numeric_limits<double>::quiet_NaN();
    ClampDouble(v, 3, 1);
    EXPECT_EQ(v, 1);
}
