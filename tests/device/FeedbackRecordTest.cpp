#include "device/FeedbackRecord.h"

#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "support/DriverLinkFixture.h"

#include <gtest/gtest.h>

namespace qvt {
namespace {

TIOScale InputScale(float factor, int32_t offset = 0, bool invers = false)
{
    TIOScale s("in", "nA");
    s.Address = 7;
    s.Factor = factor;
    s.Offset = offset;
    s.MinRaw = -32000;
    s.MaxRaw = 32000;
    s.Invers = invers;
    return s;
}

TFeedbackWordsInput WordsInput(int mode, const TIOScale& input, float setpoint, float ki = 0, float kp = 0)
{
    TFeedbackWordsInput in;
    in.Mode = mode;
    in.Set.Setpoint = setpoint;
    in.Set.Ki = ki;
    in.Set.Kp = kp;
    in.Input = &input;
    return in;
}

TEST(FeedbackRecord, ModeWordsFollowInversionBiasAndSetpoint)
{
    EXPECT_EQ(FeedbackModeWord(0, false, -1.0f, 0), 0x1200);
    EXPECT_EQ(FeedbackModeWord(0, false, 1.0f, 0), 0x1000);
    EXPECT_EQ(FeedbackModeWord(0, true, -1.0f, 0), 0x1000);
    EXPECT_EQ(FeedbackModeWord(1, false, 0.0f, 0), 0x1300);
    EXPECT_EQ(FeedbackModeWord(1, true, 0.0f, 0), 0x1100);
    EXPECT_EQ(FeedbackModeWord(2, false, -1.0f, 100000), 0x1406); // trunc(ln 100000) - 5 = 6
    EXPECT_EQ(FeedbackModeWord(2, false, 1.0f, -100000), 0x1606);
    EXPECT_EQ(FeedbackModeWord(2, false, -1.0f, 1023), 0x1400);
    EXPECT_EQ(FeedbackModeWord(2, false, -1.0f, INT32_MIN), 0x140A); // at most 10
    EXPECT_EQ(FeedbackModeWord(3, false, 0.0f, 0), 0x2000);
    EXPECT_EQ(FeedbackModeWord(3, true, 0.0f, 0), 0x2200);
    EXPECT_EQ(FeedbackModeWord(4, true, 0.0f, 0), 0x4000);
    EXPECT_EQ(FeedbackModeWord(5, false, 0.0f, 0), 0x4100);
    EXPECT_EQ(FeedbackModeWord(6, false, 0.0f, 0), 0x4080);
    EXPECT_EQ(FeedbackModeWord(-1, false, 0.0f, 0), 0);
    EXPECT_EQ(FeedbackModeWord(9, false, 0.0f, 0), 0x1000);

    EXPECT_STREQ(FeedbackModeName(-1), "none");
    EXPECT_STREQ(FeedbackModeName(6), "ncAFM+PLL");
    EXPECT_STREQ(FeedbackModeName(42), "default");
    EXPECT_EQ(FeedbackModeUnit(4, "nA"), "%");
    EXPECT_EQ(FeedbackModeUnit(0, "nA"), "nA");
    EXPECT_TRUE(FeedbackModeUnit(-1, "nA").isEmpty());
}

TEST(FeedbackRecord, SetpointWordsAndGainsPerMode)
{
    const TIOScale in = InputScale(0.001f, 0);
    // Tunnelling: raw div 4 toward zero, setpoint snapped to the raw grid.
    TFeedbackWordsResult r = BuildFeedbackWords(WordsInput(0, in, 0.0074f), {});
    EXPECT_EQ(r.Words.Setpoint, 1); // raw 7
    EXPECT_EQ(r.Words.InputAddress, 7);
    EXPECT_FLOAT_EQ(r.Setpoint, 7 * 0.001f);
    r = BuildFeedbackWords(WordsInput(1, in, -0.007f), {});
    EXPECT_EQ(r.Words.Setpoint, -1); // raw -7
    // Limited to the input's raw range.
    r = BuildFeedbackWords(WordsInput(0, in, 1000.0f), {});
    EXPECT_EQ(r.Words.Setpoint, 8000);
    EXPECT_FLOAT_EQ(r.Setpoint, 32.0f);

    // Ki' = Ki * 1e7 / |r|; r = 0 counts as 1.
    r = BuildFeedbackWords(WordsInput(5, in, 0.1f, 2.0f, 3.0f), {});
    EXPECT_EQ(r.Words.Setpoint, 100);
    EXPECT_EQ(r.Words.ProportionalGain, 3);
    EXPECT_EQ(r.Words.IntegralGain, -3 - 200000);
    r = BuildFeedbackWords(WordsInput(5, in, 0.0f, 5.0f), {});
    EXPECT_EQ(r.Words.Setpoint, 0);
    EXPECT_EQ(r.Words.IntegralGain, -50000000);
    // Contact mode takes Ki as it is; both gains are limited to 1e9.
    r = BuildFeedbackWords(WordsInput(3, in, 0.1f, 5e9f, -2e9f), {});
    EXPECT_EQ(r.Words.Setpoint, 25);
    EXPECT_EQ(r.Words.ProportionalGain, -1000000000);
    EXPECT_EQ(r.Words.IntegralGain, 1000000000 - 1000000000);
    r = BuildFeedbackWords(WordsInput(3, in, 0.1f, 5e9f, 0), {});
    EXPECT_EQ(r.Words.IntegralGain, -1000000000);

    // Mode 4: percent of the free amplitude, sent undivided.
    TFeedbackWordsInput a = WordsInput(4, in, 50.0f);
    a.NC100ProcentAmpl = 2.0f;
    EXPECT_EQ(BuildFeedbackWords(a, {}).Words.Setpoint, 1000);

    // Mode 6: DDS words, loop gains rounded and limited in place.
    const TIOScale ampl = InputScale(0.01f);
    TFeedbackWordsInput p = WordsInput(6, in, -100.0f, 0, 0);
    p.FreqSetpoint = 300000.0f;
    p.AmplSetpoint = 0.5f;
    p.AmplitudeInput = &ampl;
    p.AmplKi = 2.6f;
    p.AmplKp = 1.5f;
    p.FreqKp = 25000.4f;
    TFeedbackRecord previous;
    previous.DemodulatorMask = 5;
    previous.ControlWord = 0x1234;
    r = BuildFeedbackWords(p, previous);
    EXPECT_EQ(r.Words.Setpoint, 128806069); // round(299900 / 1e7 * 2^32)
    EXPECT_EQ(r.Words.PllFrequency, 128849019);
    EXPECT_EQ(r.Words.AmplitudeSetpoint, 50);
    EXPECT_EQ(r.AmplKi, 3.0f);
    EXPECT_EQ(r.AmplKp, 2.0f); // half to even
    EXPECT_EQ(r.Words.AmplitudeSum, 5);
    EXPECT_EQ(r.Words.AmplitudeKp, -2);
    EXPECT_EQ(r.FreqKp, 10000.0f);
    EXPECT_EQ(r.Words.PllKp, 10000);
    EXPECT_EQ(r.Words.DemodulatorMask, 5);
    EXPECT_EQ(r.Words.ControlWord, 0x1234);
}

TEST(FeedbackRecord, KelvinWordsAndFastFeedbackMirror)
{
    const TIOScale in = InputScale(0.001f);
    const TIOScale dnc = InputScale(0.5f);
    TFeedbackWordsInput k = WordsInput(3, in, 0.1f, 10.0f, 2.0f);
    k.KelvinOn = 1;
    k.KelvinKi = 123.5f;
    k.KelvinRef = 0.01f;
    k.DncInputScale = &dnc;
    k.KelvinChannel = 3;
    k.ComputeMirror = true;
    TFeedbackWordsResult r = BuildFeedbackWords(k, {});
    EXPECT_EQ(r.Words.KelvinKi, 124);
    EXPECT_EQ(r.Words.KelvinReference, 317460); // 0.01 / 0.5 / 6.3e-8
    EXPECT_EQ(r.Words.KelvinChannel, 3);
    ASSERT_TRUE(r.HasMirror);
    EXPECT_EQ(r.Mirror.K0, 12500 * 2 + 500 * 10);
    EXPECT_EQ(r.Mirror.K1, -25000);
    EXPECT_EQ(r.Mirror.Reference, 25);
    EXPECT_EQ(r.Mirror.Mode, 3);

    k.KelvinOn = 0;
    k.Set.Kp = 1e9f;
    r = BuildFeedbackWords(k, {});
    EXPECT_EQ(r.Words.KelvinKi, 0);
    EXPECT_EQ(r.Mirror.K0, 2147483647); // limited in 64-bit arithmetic
    EXPECT_EQ(r.Mirror.K1, -2147483647);
    k.ComputeMirror = false;
    EXPECT_FALSE(BuildFeedbackWords(k, {}).HasMirror);
}

TEST(FeedbackRecord, OverridesApplyInOrder)
{
    TFeedbackRecord words;
    words.Setpoint = 500;
    words.IntegralGain = -77;
    words.ProportionalGain = 7;
    words.InputAddress = 12;
    TFeedbackSendInput in;
    in.Mode = 4;
    in.PreviousModeWord = 0x4000;

    TFeedbackSendResult r = BuildFeedbackSend(words, in);
    EXPECT_EQ(r.Record.ControlWord, 0x4000);
    EXPECT_EQ(r.Record.Setpoint, 500);

    in.KelvinOn = 1;
    EXPECT_EQ(BuildFeedbackSend(words, in).Record.ControlWord, 0x14000);

    in.Retract = true;
    r = BuildFeedbackSend(words, in);
    EXPECT_EQ(r.Record.ControlWord, 0x8000);
    EXPECT_EQ(r.Record.Setpoint, -1000000000);
    EXPECT_EQ(r.Record.IntegralGain, 30);
    EXPECT_EQ(r.Record.ProportionalGain, 0);
    EXPECT_EQ(r.ModeWord, 0x4000);

    in.FastModule = true; // retracting: the module leaves the retract alone
    EXPECT_EQ(BuildFeedbackSend(words, in).Record.ControlWord, 0x8000);
    in.LiftPass = true;
    EXPECT_EQ(BuildFeedbackSend(words, in).Record.ControlWord, 0);

    in.Retract = false;
    in.LiftPass = true;
    r = BuildFeedbackSend(words, in); // the module wins over the lift pass
    EXPECT_EQ(r.Record.ControlWord, 0x2200);
    EXPECT_EQ(r.Record.Setpoint, 0);
    EXPECT_EQ(r.Record.InputAddress, 81);
    EXPECT_EQ(r.Record.IntegralGain, -77);
    in.ScannerFastSwitch = true;
    r = BuildFeedbackSend(words, in);
    EXPECT_EQ(r.Record.ControlWord, 0);
    EXPECT_EQ(r.Record.InputAddress, 12);
}

TEST(FeedbackRecord, DriveFollowsTheModeWordsNotTheOverrides)
{
    TFeedbackSendInput in;
    in.Mode = 4;
    in.PreviousModeWord = 0x1000;
    TFeedbackSendResult r = BuildFeedbackSend({}, in);
    EXPECT_EQ(r.Drive, TDriveChange::Apply);
    EXPECT_EQ(r.LockInOn, 1u);

    // Lift-pass lines in mode 4: the sent word drops to 0 and back, the mode stays.
    in.PreviousModeWord = r.ModeWord;
    in.LockInOn = 1;
    in.LiftPass = true;
    r = BuildFeedbackSend({}, in);
    EXPECT_EQ(r.Record.ControlWord, 0);
    EXPECT_EQ(r.Drive, TDriveChange::None);
    in.LiftPass = false;
    in.PreviousModeWord = r.ModeWord;
    EXPECT_EQ(BuildFeedbackSend({}, in).Drive, TDriveChange::None);

    // Leaving mode 4 for mode 0 switches the drive off unless the operator enabled the lock-in.
    in.Mode = 0;
    r = BuildFeedbackSend({}, in);
    EXPECT_EQ(r.Drive, TDriveChange::SwitchOff);
    EXPECT_EQ(r.LockInOn, 0u);
    in.LockInOn = 3;
    r = BuildFeedbackSend({}, in);
    EXPECT_EQ(r.Drive, TDriveChange::None);
    EXPECT_EQ(r.LockInOn, 3u);
    in.LockInOn = 1;
    in.Mode = -1; // holding the loop is no leaving
    EXPECT_EQ(BuildFeedbackSend({}, in).Drive, TDriveChange::None);
}

TEST(FeedbackRecord, UsbMirrorSignsScalingAndRetract)
{
    TFeedbackRecord words;
    TFeedbackSendInput in;
    in.Mode = 0;
    in.Bias = -1.0f; // 0x1200: inverted
    in.UsbBox = true;
    in.Mirror = {1000, -500, 40, 0};
    auto writes = [](const TFeedbackSendResult& r) {
        std::vector<std::pair<int, int>> w;
        for (int i = 0; i < r.MirrorWriteCount; ++i)
            w.emplace_back(r.MirrorWrites[i].Register, r.MirrorWrites[i].Value);
        return w;
    };
    using W = std::vector<std::pair<int, int>>;
    // Mode below 4 negates the gains, the inverted word negates all three again.
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, 1000}, {68, -500}, {65, -40}, {82, 0}}));
    in.Bias = 1.0f;
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, -1000}, {68, 500}, {65, 40}, {82, 0}}));

    in.Mode = 4;
    in.Mirror = {1000, -500, 40, 4};
    in.LockInGain = 3;
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, 1000}, {68, -500}, {65, 56}, {82, 3}}));
    in.Retract = true;
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, -1000}, {68, -500}, {65, 56}, {82, 3}}));
    in.Type29 = true;
    in.Mode = 5;
    in.Mirror.Mode = 5;
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, -100000}, {68, 0}, {65, -140000000}, {82, 3}}));
    in.Retract = false;
    in.LockInGain = 0;
    EXPECT_EQ(writes(BuildFeedbackSend(words, in)), (W{{67, 1000}, {68, -500}, {65, 40}, {82, 1}}));

    in.UsbBox = false;
    EXPECT_EQ(BuildFeedbackSend(words, in).MirrorWriteCount, 0);
}

TEST(FeedbackRecord, SettingsValuesAreValidatedBeforeUse)
{
    EXPECT_EQ(ValidFeedbackInput(4, 40), -14);
    EXPECT_EQ(ValidFeedbackInput(5, -27), -6);
    EXPECT_EQ(ValidFeedbackInput(6, 33), -17);
    EXPECT_EQ(ValidFeedbackInput(3, 1000000), 0);
    EXPECT_EQ(ValidFeedbackInput(3, 32), 32);
    EXPECT_EQ(ValidFeedbackInput(0, -26), -26);
    EXPECT_EQ(ValidFeedbackMode(7), 3);
    EXPECT_EQ(ValidFeedbackMode(-2), 3);
    EXPECT_EQ(ValidFeedbackMode(-1), -1);
}

TEST(FeedbackRecord, SlopeIsLimitedAndWrittenBack)
{
    double dx = 3e9, dy = -12.5;
    TSlopeRecord s = BuildSlopeRecord(true, dx, dy);
    EXPECT_EQ(s.DzDx, 1000000000);
    EXPECT_EQ(s.DzDy, -12);
    EXPECT_EQ(dx, 1e9);
    dx = 5.0;
    s = BuildSlopeRecord(false, dx, dy);
    EXPECT_EQ(s.DzDx, 0);
    EXPECT_EQ(s.DzDy, 0);
    EXPECT_EQ(dx, 5.0);
}

// The device window against the simulated controller; the shared feedback
// state it changes is put back afterwards.
class FeedbackOnSim : public test::DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedSets_ = MicroscopeState.FeedbackSets;
        savedOszi_ = OsziRequest.HighSpeedControl;
    }
    void TearDown() override
    {
        MicroscopeState.FeedbackSets = savedSets_;
        MicroscopeState.LiftPass = false;
        MicroscopeState.LockInOn = 0;
        OsziRequest.HighSpeedControl = savedOszi_;
        DriverLinkFixture::TearDown();
    }
    static TFeedbackSet& Set(int mode) { return MicroscopeState.FeedbackSets[FeedbackSetIndex(mode)]; }

private:
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    int32_t savedOszi_ = 0;
};

TEST_F(FeedbackOnSim, BadSettingsValuesFallBackBeforeIndexing)
{
    ini_->WriteInteger("Microscope", "Feedback", 9);
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    EXPECT_EQ(MicroscopeState.FeedbackMode, 3);

    Set(3).InputAddr = 5000;
    MicroscopeState.FeedbackMode = -7; // as a stray script or file might leave it
    form.UpdateFeedback();
    EXPECT_EQ(sim->Feedback().ControlWord, 0x2000);
    EXPECT_EQ(MicroscopeState.FeedbackChannel, 0);
    EXPECT_EQ(sim->Feedback().InputAddress, 2); // ADC1
    EXPECT_EQ(MicroscopeState.ModeName, "cmAFM");

    MicroscopeState.FeedbackMode = 4;
    Set(4).InputAddr = -27;
    form.UpdateFeedback();
    EXPECT_EQ(MicroscopeState.FeedbackChannel, -14);
    EXPECT_EQ(sim->Feedback().InputAddress, -12); // DAC13: the resonance amplitude
    EXPECT_EQ(MicroscopeState.ModeUnit, "%");
    form.FormDestroy();
}

TEST_F(FeedbackOnSim, LiftPassAndRetractDoNotReapplyTheDrive)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    MicroscopeState.FeedbackMode = 4;
    Set(4).Setpoint = 50.0f;
    form.UpdateFeedback();
    EXPECT_EQ(sim->Feedback().ControlWord, 0x4000);
    EXPECT_EQ(MicroscopeState.LockInOn, 1u); // entering a dynamic mode applies the drive

    // Whatever switched the drive off in between, lift-pass lines must not bring it back.
    MicroscopeState.LockInOn = 0;
    for (int line = 0; line < 3; ++line) {
        MicroscopeState.LiftPass = true;
        form.SendFeedbackRecord();
        EXPECT_EQ(sim->Feedback().ControlWord, 0);
        MicroscopeState.LiftPass = false;
        form.SendFeedbackRecord();
        EXPECT_EQ(sim->Feedback().ControlWord, 0x4000);
    }
    EXPECT_EQ(MicroscopeState.LockInOn, 0u);

    form.RetractFlag = true;
    form.SendFeedbackRecord();
    EXPECT_EQ(sim->Feedback().ControlWord, 0x8000);
    EXPECT_EQ(sim->Feedback().Setpoint, -1000000000);
    form.RetractFlag = false;
    form.SendFeedbackRecord(); // the set's words come back without a rebuild
    EXPECT_EQ(sim->Feedback().ControlWord, 0x4000);
    EXPECT_EQ(sim->Feedback().Setpoint, form.FeedbackState.Words.Setpoint);

    MicroscopeState.LockInOn = 1;
    MicroscopeState.FeedbackMode = 0;
    form.UpdateFeedback();
    EXPECT_EQ(MicroscopeState.LockInOn, 0u); // leaving switches it off
    EXPECT_EQ(sim->GuardViolationCount(), 0);
    form.FormDestroy();
}

TEST_F(FeedbackOnSim, UsbBoxMirrorsTheGainsAndSlopesAreSent)
{
    auto sim = PlugSim(FastConfig(), "SIMUSB");
    TInOutForm form;
    form.FormCreate();
    ASSERT_EQ(form.Caps.UsbBox, 1);
    MicroscopeState.FeedbackMode = 3;
    Set(3).Setpoint = 0.0f;
    Set(3).Ki = 10.0f;
    Set(3).Kp = 2.0f;
    form.UpdateFeedback();
    EXPECT_EQ(sim->Register(RegFastFeedbackK0), -(12500 * 2 + 500 * 10));
    EXPECT_EQ(sim->Register(RegFastFeedbackK1), 25000);
    EXPECT_EQ(sim->Register(RegFastFeedbackMode), 0);

    ScanParams.LevelDxDz = 5e9;
    ScanParams.LevelDyDz = -3.5;
    form.SetSlopeCompensation(true);
    EXPECT_EQ(sim->Slope().DzDx, 1000000000);
    EXPECT_EQ(sim->Slope().DzDy, -4);
    EXPECT_EQ(ScanParams.LevelDxDz, 1e9);
    form.SetSlopeCompensation(false);
    EXPECT_EQ(sim->Slope().DzDx, 0);
    ScanParams.LevelDxDz = 0;
    ScanParams.LevelDyDz = 0;
    form.FormDestroy();
}

} // namespace
} // namespace qvt
