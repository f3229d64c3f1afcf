#include "scan/ScanParaLogic.h"
#include "core/IniFile.h"
#include "device/ChannelTable.h"
#include "scan/FeedbackSets.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QApplication>
#include <QKeyEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;

TEST(NumericEdit, ParsesEitherSeparatorSuffixesAndLimits)
{
    TNumberRules plain;
    double v = 0;
    EXPECT_TRUE(ParseEditValue("250,5", plain, v));
    EXPECT_EQ(v, 250.5);
    EXPECT_TRUE(ParseEditValue(" -1.5e3 ", plain, v));
    EXPECT_EQ(v, -1500.0);
    v = 7;
    for (const char* bad : {"", "abc", "inf", "nan", "0x10", "1.234,5", "2k"})
        EXPECT_FALSE(ParseEditValue(bad, plain, v)) << bad;
    EXPECT_EQ(v, 7); // untouched on failure

    TNumberRules suffixed;
    suffixed.Suffixes = true;
    EXPECT_TRUE(ParseEditValue("1,5k", suffixed, v));
    EXPECT_EQ(v, 1500.0);
    EXPECT_TRUE(ParseEditValue("2M", suffixed, v));
    EXPECT_EQ(v, 2e6);
    EXPECT_TRUE(ParseEditValue("3m", suffixed, v));
    EXPECT_DOUBLE_EQ(v, 0.003);
    EXPECT_FALSE(ParseEditValue("k", suffixed, v));

    TNumberRules limited;
    limited.Min = 1000;
    limited.Max = 2e6;
    EXPECT_TRUE(ParseEditValue("500", limited, v));
    EXPECT_EQ(v, 1000);
    EXPECT_TRUE(ParseEditValue("3e6", limited, v));
    EXPECT_EQ(v, 2e6);
}

TEST(NumericEdit, ColoursFollowTypingEnterAndEsc)
{
    TEditState s;
    EXPECT_EQ(s.Color(), EditColor::White);
    s.Edited();
    EXPECT_EQ(s.Color(), EditColor::Silver);
    s.Refused();
    s.Edited(); // a failed Enter stays visible while typing on
    EXPECT_EQ(s.Color(), EditColor::Red);
    s.Restored();
    EXPECT_EQ(s.Color(), EditColor::White);

    // The widget, driven by real keys.
    TNumericEdit edit("Edit42");
    edit.Rules.Max = 10;
    double stored = 1;
    edit.OnValue = [&](double v) {
        if (v < 0)
            return false; // refused
        stored = v;
        return true;
    };
    EXPECT_EQ(edit.objectName(), "Edit42");
    const auto key = [&](int k, const QString& text = QString()) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier, text);
        QApplication::sendEvent(&edit, &press);
    };
    key(Qt::Key_5, "5");
    EXPECT_EQ(edit.text(), "5");
    EXPECT_EQ(edit.Color(), EditColor::Silver);
    EXPECT_EQ(edit.palette().color(QPalette::Base), QColor(192, 192, 192));
    key(Qt::Key_Return);
    EXPECT_EQ(stored, 5);
    EXPECT_EQ(edit.Color(), EditColor::White);
    EXPECT_EQ(edit.palette().color(QPalette::Base), QColor(255, 255, 255));

    EXPECT_TRUE(edit.Apply("25")); // clamped to the limit
    EXPECT_EQ(stored, 10);
    EXPECT_FALSE(edit.Apply("-1"));
    EXPECT_EQ(edit.Color(), EditColor::Red);
    EXPECT_EQ(edit.palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_FALSE(edit.Apply("x"));
    EXPECT_EQ(stored, 10);
    key(Qt::Key_Escape); // back to the text last applied
    EXPECT_EQ(edit.text(), "25");
    EXPECT_EQ(edit.Color(), EditColor::White);
}

TEST(ScanParaLogic, TextsFollowTheDisplayFormats)
{
    EXPECT_EQ(GeneralText(0, 5), "0");
    EXPECT_EQ(GeneralText(1.0, 5), "1");
    EXPECT_EQ(GeneralText(0.5, 5), "0.5");
    EXPECT_EQ(GeneralText(123.456789, 5), "123.46");
    EXPECT_EQ(GeneralText(-0.0001, 5), "-0.0001");
    EXPECT_EQ(GeneralText(0.00001, 5), "1E-5");
    EXPECT_EQ(GeneralText(123456, 5), "1.2346E5");
    EXPECT_EQ(GeneralText(99999, 5), "99999");
    EXPECT_EQ(FloatText(0.1), "0.1");
    EXPECT_EQ(FloatText(1.0605), "1.0605");

    EXPECT_EQ(RangeText(100), "100.000");
    EXPECT_EQ(RangeText(250.5), "250.500");
    EXPECT_EQ(RangeText(123.456789), "123.460"); // five significant digits, padded
    EXPECT_EQ(RangeText(1.0), "1.000");
    EXPECT_EQ(SpeedText(2.5), "2.5");
    EXPECT_EQ(AngleText(-90.0000001), "-90");
    EXPECT_EQ(AngleText(180), "180");
}

TEST(ScanParaLogic, AngleIsFoldedIntoOneTurnAndCarriesTheOffset)
{
    EXPECT_EQ(FoldAngle(270), -90);
    EXPECT_EQ(FoldAngle(180), 180);
    EXPECT_EQ(FoldAngle(-180), -180);
    EXPECT_EQ(FoldAngle(45), 45);
    EXPECT_EQ(FoldAngle(-270), 90);
    EXPECT_EQ(FoldAngle(725), 5);
    EXPECT_EQ(std::fabs(FoldAngle(-540)), 180); // the same angle either way

    EXPECT_DOUBLE_EQ(ScanAngleFromDegrees(270, 90), 0.0);
    EXPECT_DOUBLE_EQ(ScanAngleFromDegrees(0, 90), std::numbers::pi / 2);
    EXPECT_DOUBLE_EQ(ScanAngleFromDegrees(180, 0), std::numbers::pi);
    EXPECT_NEAR(ScanAngleToDegrees(ScanAngleFromDegrees(30, 90), 90), 30, 1e-12);

    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "a.ini");
    EXPECT_EQ(OffsAngle(&ini), 90);
    EXPECT_EQ(OffsAngle(nullptr), 90);
    ini.WriteString("Microscope", "OffsAngle", "12,5");
    EXPECT_EQ(OffsAngle(&ini), 12.5);
}

TEST(ScanParaLogic, PixelCountsAreCutRefusedAndRescaleTheLines)
{
    TPixelEntry e = ParsePixelEntry("256");
    EXPECT_EQ(e.Result, TPixelEntry::Ok);
    EXPECT_EQ(e.Pixels, 256);
    e = ParsePixelEntry("4096");
    EXPECT_EQ(e.Result, TPixelEntry::Ok);
    EXPECT_EQ(e.Pixels, 2048);
    EXPECT_EQ(ParsePixelEntry("4").Result, TPixelEntry::Ok);
    for (const char* refused : {"3", "0", "-64"})
        EXPECT_EQ(ParsePixelEntry(refused).Result, TPixelEntry::Refused) << refused;
    for (const char* bad : {"", "12.5", "abc", "99999999999"})
        EXPECT_EQ(ParsePixelEntry(bad).Result, TPixelEntry::NoNumber) << bad;

    EXPECT_EQ(RescaleLineCounter(100, 512, 256), 200);
    EXPECT_EQ(RescaleLineCounter(100, 128, 256), 50);
    EXPECT_EQ(RescaleLineCounter(3, 64, 128), 2); // 1.5 rounds to even
    EXPECT_EQ(RescaleLineCounter(5, 64, 128), 2); // 2.5 too
    EXPECT_EQ(RescaleLineCounter(7, 64, 0), 7);
}

TEST(ScanParaLogic, StepRulesMoveZeroAndScaleWithTheFactor)
{
    using enum StepDirection;
    EXPECT_EQ(StepGain(0, 0.01, Down), -1);
    EXPECT_EQ(StepGain(0, 0.01, Up), 1);
    EXPECT_EQ(StepGain(100, 0.1, Up), 111);
    EXPECT_EQ(StepGain(100, 0.1, Down), 89);
    EXPECT_EQ(StepGain(-100, 0.01, Up), -98);
    EXPECT_DOUBLE_EQ(StepSetpoint(2, 0.01, Up), 2.02);
    EXPECT_DOUBLE_EQ(StepSetpoint(-2, 0.1, Down), -2.2);
    EXPECT_EQ(StepSetpoint(0, 0.1, Up), 0); // only the gains and the bias get a push
    EXPECT_DOUBLE_EQ(StepBias(0, 0.01, 3.2, Up), 3.2);
    EXPECT_DOUBLE_EQ(StepBias(-1, 0.1, 0.5, Down), -1.6);

    TIOScale bias;
    bias.MinRaw = -32768;
    bias.MaxRaw = 32767;
    bias.Factor = 0.0003f;
    EXPECT_NEAR(BiasStepQuantum(bias), 65535 * 0.0003 / 20000, 1e-9);

    EXPECT_EQ(StepFactorFor(true), 0.1);
    EXPECT_EQ(StepFactorFor(false), 0.01);
    EXPECT_EQ(WheelRate(1.0), 0.01);
    EXPECT_EQ(WheelRate(0.1 / 86400), 0.05);
    EXPECT_EQ(WheelRate(0.01 / 86400), 0.1);
    EXPECT_EQ(WheelRate(0.2 / 86400), 0.01);
    EXPECT_DOUBLE_EQ(WheelStep(2, 0.05, 120), 2.1);
    EXPECT_DOUBLE_EQ(WheelStep(-2, 0.05, -120), -2.1);
    EXPECT_EQ(WheelStep(2, 0.05, 0), 2);
}

TEST(FeedbackSets, LoadPerModeWithDefaultInputs)
{
    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "a.ini");
    TMicroscopeState state;
    state.FeedbackSets[FeedbackSetIndex(-1)].InputAddr = 9;
    ReadFeedbackSets(ini, state);
    const int defaults[] = {0, 0, 0, 0, -14, -6, -17};
    for (int m = 0; m <= 6; ++m) {
        const TFeedbackSet& s = state.FeedbackSets[FeedbackSetIndex(m)];
        EXPECT_EQ(s.InputAddr, defaults[m]) << m;
        EXPECT_EQ(s.Setpoint, 0);
        EXPECT_EQ(s.Bias, 0);
        EXPECT_EQ(s.Ki, 0);
        EXPECT_EQ(s.Kp, 0);
    }
    EXPECT_EQ(state.FeedbackSets[FeedbackSetIndex(-1)].InputAddr, 0);

    EXPECT_EQ(FeedbackSetKey("Edit1", 3), "Edit1_3");
    EXPECT_EQ(FeedbackSetKey("Edit2", -1), "Edit2_-1");
    EXPECT_EQ(ApproachKiKey(4), "Edit5_4Approach");
    ini.WriteString(FeedParaSection, "Edit1_4", "0,25");
    ini.WriteString(FeedParaSection, "Edit5_4", "300");
    ini.WriteString(FeedParaSection, "Edit6_4", "12");
    ini.WriteString(FeedParaSection, "Edit2_4", "-1.5");
    ini.WriteString(FeedParaSection, "FeedbackChannelAddr4", "-3");
    ReadFeedbackSets(ini, state);
    const TFeedbackSet& s4 = state.FeedbackSets[FeedbackSetIndex(4)];
    EXPECT_EQ(s4.Setpoint, 0.25f);
    EXPECT_EQ(s4.Ki, 300);
    EXPECT_EQ(s4.Kp, 12);
    EXPECT_EQ(s4.Bias, -1.5f);
    EXPECT_EQ(s4.InputAddr, -3);
    EXPECT_EQ(state.FeedbackSets[FeedbackSetIndex(3)].Ki, 0);
}

TEST(FeedbackSets, LoopPagePrefixesAndLimits)
{
    const QString micro(QChar(0x00B5));
    EXPECT_EQ(AmplPrefixTag("mV"), -3);
    EXPECT_EQ(AmplPrefixTag(micro + "V"), -6);
    EXPECT_EQ(AmplPrefixTag(" V"), 0);
    EXPECT_EQ(AmplPrefixTag(""), 0);
    EXPECT_DOUBLE_EQ(AmplSetpointFromTyped(5, -3), 0.005);
    EXPECT_DOUBLE_EQ(AmplSetpointFromTyped(5, -6), 5e-6);
    EXPECT_EQ(AmplSetpointFromTyped(5, 0), 5);
    EXPECT_EQ(AmplSetpointText(0.005, -3), "5");
    EXPECT_EQ(AmplSetpointText(0.005, -6), "5000");
    EXPECT_EQ(AmplSetpointText(0.12345, 0), "0.1235");
    EXPECT_EQ(NextAmplPrefix(micro + "V"), "");
    EXPECT_EQ(NextAmplPrefix("V"), "m");
    EXPECT_EQ(NextAmplPrefix(" V"), "m");
    EXPECT_EQ(NextAmplPrefix("mV"), micro);

    EXPECT_EQ(LimitFreqSetpoint(500), 1000);
    EXPECT_EQ(LimitFreqSetpoint(3e6), 2e6);
    EXPECT_EQ(LimitFreqSetpoint(std::nan("")), 1000);
    EXPECT_EQ(LimitFreqSetpoint(250000), 250000);
}

TEST(FeedbackSets, HintsTranslateTheSetpoint)
{
    TFeedbackHintInput in;
    in.Mode = 3;
    in.Setpoint = 0.5; // V of a deflection input
    in.Ki = 1000;
    in.InputUnit = "V";
    in.InputFactor = 0.001;
    in.ZUnit = "nm";
    in.ZFactor = 0.01;
    in.Cantilever.CantileverScaleCMAFM = 1e8; // input volts per metre of bending
    in.Cantilever.SpringConstant = 2;
    TFeedbackHints h = FeedbackHints(in);
    ASSERT_TRUE(h.SetpointChanged);
    EXPECT_EQ(h.Setpoint, "Force 10.000nN"); // 0.5 / 1e8 × 2 × 1e9
    ASSERT_TRUE(h.KiChanged);
    EXPECT_EQ(h.Ki, "bw 20Hz"); // 1e-9 × 0.01 × 1e8 / 0.001 × 1000 × 0.0203 = 20.3

    in.Cantilever.CantileverScaleCMAFM = 0; // no scale: the hints stay as they were
    h = FeedbackHints(in);
    EXPECT_FALSE(h.SetpointChanged);
    EXPECT_FALSE(h.KiChanged);

    in.Mode = 4;
    in.Setpoint = 50;
    in.NC100ProcentAmpl = 5;
    in.Cantilever.CantileverScaleNCAFM = 0.25e9;
    h = FeedbackHints(in);
    EXPECT_EQ(h.Setpoint, "Amplitude 10.000nm");
    EXPECT_TRUE(h.KiChanged);
    EXPECT_EQ(h.Ki, "");
    in.Cantilever.CantileverScaleNCAFM = -1;
    EXPECT_EQ(FeedbackHints(in).Setpoint, "Neg. Amplitude ?");

    in.Mode = 3;
    in.Cantilever.CantileverScaleCMAFM = 1;
    in.InputUnit = "V";
    in.InputFactor = 0; // a broken scale
    EXPECT_EQ(FeedbackHints(in).Ki, "Math error!");

    in.Mode = 0;
    EXPECT_FALSE(FeedbackHints(in).SetpointChanged);
}
