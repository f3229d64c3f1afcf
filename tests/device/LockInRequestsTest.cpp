#include "support/LockInFixture.h"

#include "device/InOutForm.h"
#include "device/LockInRequests.h"

#include <gtest/gtest.h>

namespace qvt {
namespace {

TEST(LockInRequests, FrequencyWordsSplitOnType29AndSaturateElsewhere)
{
    TFrequencyWords w = BuildLockInFrequency(300000.0, true);
    ASSERT_TRUE(w.Send);
    EXPECT_TRUE(w.HasCoarse);
    EXPECT_EQ(static_cast<uint32_t>(w.CoarseWord), 0x80000000u);
    EXPECT_EQ(w.FineWord, 128849019u);
    EXPECT_EQ(w.KeptWord, 128849019);

    w = BuildLockInFrequency(6.0e6, true); // above 2^31: one coarse step
    EXPECT_EQ(static_cast<uint32_t>(w.CoarseWord), 0x80000001u);
    EXPECT_EQ(w.FineWord, 429496730u);

    w = BuildLockInFrequency(6.0e6, false);
    EXPECT_FALSE(w.HasCoarse);
    EXPECT_EQ(w.FineWord, 2576980378u);
    EXPECT_EQ(w.KeptWord, 2147483647);
    EXPECT_EQ(BuildLockInFrequency(2.0e7, false).FineWord, 4294967295u);

    EXPECT_FALSE(BuildLockInFrequency(0.0, true).Send);
    EXPECT_FALSE(BuildLockInFrequency(-5.0, false).Send);
}

TEST(LockInRequests, AmplitudeRangeFitsOrFallsBackToFullScale)
{
    TAmplitudeRange r = BuildAmplitudeRange(0, 0.05, 655350.0, 65535);
    EXPECT_TRUE(r.Fits);
    EXPECT_EQ(r.RangeBits, 0x30);
    EXPECT_EQ(r.Word, 32768); // 32767.5 rounds to even

    EXPECT_FALSE(BuildAmplitudeRange(0, 0.2, 655350.0, 65535).Fits);
    EXPECT_EQ(BuildAmplitudeRange(1, 0.5, 65535.0, 65535).RangeBits, 0x10);
    EXPECT_EQ(BuildAmplitudeRange(2, -3.0, 65535.0, 65535).Word, 0);

    r = BuildAmplitudeRange(7, 99.0, 6553.5, 65535);
    EXPECT_TRUE(r.Beep);
    EXPECT_EQ(r.Range, 2);
    EXPECT_EQ(r.RangeBits, 0);
    EXPECT_DOUBLE_EQ(r.Volts, 10.0);
    EXPECT_EQ(r.Word, 65535);

    // A cleared scale key must not divide by zero.
    EXPECT_EQ(BuildAmplitudeRange(3, 1.0, 0.0, 2047).Word, 2047);

    EXPECT_EQ((TControllerCaps{25, 0, 0}.AmplitudeFullWord()), 2047);
    EXPECT_EQ((TControllerCaps{25, 0, 1}.AmplitudeFullWord()), 65535);
    EXPECT_EQ((TControllerCaps{26, 0, 0}.AmplitudeFullWord()), 65535);
    EXPECT_EQ(static_cast<uint32_t>(DriveAmplitudeRegister(0x1234, 0x12345)), 0x12342345u);
}

TEST(LockInRequests, ReferencePhaseAndShifterWords)
{
    TReferenceFrequency ref = BuildReferenceFrequency(0.0);
    EXPECT_EQ(ref.Register3, 536871);
    EXPECT_EQ(ref.Prescaler, 8);
    EXPECT_EQ(BuildReferenceFrequency(10.0).Prescaler, 15);
    EXPECT_EQ(BuildReferenceFrequency(5.0e6).Prescaler, 0);
    EXPECT_EQ(LockInGainRegister(255, 8), 255 | (8 << 16));

    TLockInPhase p = BuildLockInPhase(1, -90.0);
    EXPECT_EQ(p.Word, 0x10001800u);
    EXPECT_DOUBLE_EQ(p.Degrees, 270.0);
    p = BuildLockInPhase(20, 359.99); // harmonic and code held at their tops
    EXPECT_EQ(p.Word, 0xF0001FFFu);
    EXPECT_EQ(BuildLockInPhase(0, 720.0).Word, 0x10000000u);

    TPhaseShifter s = BuildPhaseShifter(0x20000, 45.0, 100000.0, 45.0, {29, 0});
    EXPECT_EQ(s.Register, RegQControl);
    EXPECT_EQ(static_cast<uint32_t>(s.Value), 0xFFFF8000u | (1u << 10) | 200u);
    s = BuildPhaseShifter(3, 45.0, 100000.0, 45.0, {26, 1});
    EXPECT_EQ(s.Register, RegLiaGain);
    EXPECT_EQ(s.Value, (3 << 14) | 25);
    s = BuildPhaseShifter(0, -90.0, 100000.0, 0.0, {26, 2});
    EXPECT_EQ(s.Register, RegQControl);
    EXPECT_EQ(s.Value, 999);                                               // -25 and 0x3FF
    EXPECT_EQ(BuildPhaseShifter(1, 90.0, 0.0, 0.0, {29, 0}).Value, 1 << 15); // no frequency: no delay
}

TEST(LockInRequests, FilterMultiLockInAndStatusRecords)
{
    TSetFilterRecord table;
    table.Coefficients[7] = 1024;
    table.Coefficients[0] = 5;
    TSetFilterRecord out;
    EXPECT_FALSE(BuildLockInFilter(8, table, 0, out));
    ASSERT_TRUE(BuildLockInFilter(6, table, 10, out));
    EXPECT_EQ(out.Filter, 6);
    EXPECT_EQ(out.Coefficients[7], 729);
    EXPECT_EQ(out.Coefficients[0], 5);
    ASSERT_TRUE(BuildLockInFilter(5, table, 10, out));
    EXPECT_EQ(out.Coefficients[7], 1024);

    TMultiLockInChannel ch{-14, 100, 7, false, 3};
    TSetMultiLiaRecord m = BuildMultiLockIn(1, ch);
    EXPECT_EQ(m.Ki, 0);
    EXPECT_EQ(m.AmplitudeWord, 0);
    ch.On = true;
    m = BuildMultiLockIn(2, ch);
    EXPECT_EQ(m.Index, 2);
    EXPECT_EQ(m.InputAddress, -14);
    EXPECT_EQ(m.Ki, 7);
    EXPECT_EQ(m.AmplitudeWord, 3 << 15);

    TDncStatusRecord rec{{1, 2, 0x12, 4, 5, 6}};
    TDncStatus s = DecodeDncStatus(rec, true);
    EXPECT_TRUE(s.Overload);
    EXPECT_TRUE(s.QClip);
    EXPECT_EQ(s.Kept, 4);
    EXPECT_EQ(s.Results[0], 1);
    EXPECT_EQ(s.Results[2], 5);
    EXPECT_EQ(s.Results[3], 6);
    s = DecodeDncStatus(rec, false);
    EXPECT_FALSE(s.Overload);
    EXPECT_EQ(s.Kept, 0);
}

// The device window's setters against the simulated controller (LockInFixture.h).
using test::LockInOnSim;

TEST_F(LockInOnSim, SettersReachTheControllerAndKeepTheirValues)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    auto sim = PlugSim(config);
    TInOutForm form;
    form.FormCreate();
    int changes = 0;
    QObject::connect(&form, &TInOutForm::multiLockInChanged, [&] { ++changes; });

    form.SetLockInFrequency(300000.0);
    EXPECT_EQ(sim->LockInSettings().FrequencyWord, 128849019);
    EXPECT_EQ(static_cast<uint32_t>(sim->LockInSettings().FrequencyCoarse), 0x80000000u);
    EXPECT_EQ(MultiLockInParams.ResonanceWord, 128849019);
    EXPECT_EQ(changes, 1);

    EXPECT_DOUBLE_EQ(form.SetLockInPhase(1, -90.0), 270.0);
    EXPECT_EQ(static_cast<uint32_t>(sim->LockInSettings().PhaseWord), 0x10001800u);
    EXPECT_DOUBLE_EQ(LockInState.LockInPhase, 270.0);

    form.SetReferenceFrequency(0.0);
    EXPECT_EQ(sim->Register(RegRefFreq), 536871);
    EXPECT_EQ(form.LockInPrescaler, 8);
    form.SetLockInGain(300);
    EXPECT_EQ(LockInState.LockInGain, 255);
    EXPECT_EQ(sim->Register(RegLiaGain), 255 | (8 << 16));

    // Filters and multi lock-in channels need their windows: nothing without them.
    form.SetLockInFilter(6, 3, 0);
    form.SendMultiLockInChannel(2);
    EXPECT_EQ(CountCode(*sim, IOCTL_SET_FILTER), 0);
    EXPECT_EQ(CountCode(*sim, IOCTL_SET_MULTI_LIA), 0);

    int askedTimeConstant = -1;
    form.LockInHooks.FilterTable = [&](int tc, int, TSetFilterRecord& record) {
        askedTimeConstant = tc;
        record.Coefficients[7] = 1024;
        return true;
    };
    form.LockInHooks.MultiLockInChannel = [](int, TMultiLockInChannel& ch) {
        ch = {-16, 50, 9, true, 4};
        return true;
    };
    form.SetLockInFilter(6, 40, 0);
    EXPECT_EQ(askedTimeConstant, 13);
    EXPECT_EQ(sim->LockInSettings().Filters[6].Coefficients[7], 729); // gain 255: sync filter on
    form.SetLockInFilter(6, 40, 0); // the table is scaled on a copy: the same record again
    EXPECT_EQ(sim->LockInSettings().Filters[6].Coefficients[7], 729);
    form.SendMultiLockInChannel(2);
    EXPECT_EQ(sim->LockInSettings().MultiLia[2].AmplitudeWord, 4 << 15);
    EXPECT_EQ(sim->LockInSettings().MultiLia[2].Ki, 9);

    const TDncStatus status = form.ReadDncStatus();
    EXPECT_FALSE(status.Overload);
    EXPECT_EQ(form.DncStatusWord, 128849019); // word 3: the frequency word
    EXPECT_EQ(boxes_.BeepCount(), 0);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
    form.FormDestroy();
}

TEST_F(LockInOnSim, DriveAmplitudeTakesTheSmallestRangeThatHoldsIt)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();

    EXPECT_DOUBLE_EQ(form.SetDriveAmplitude(0.05), 0.05);
    EXPECT_EQ(LockInState.AmplitudeRange, 0);
    EXPECT_EQ(sim->ControlWord() & 0x30, 0x30);
    EXPECT_EQ(sim->LockInSettings().AmplitudeWord, 32768);
    EXPECT_EQ(sim->Register(RegLiaAmplitude) & 0xFFFF, 32768);
    const float monitor = static_cast<float>(1.0 / 655350.0 / 65536.0 * 32.0);
    EXPECT_FLOAT_EQ(ChannelTable[10].Factor, monitor);
    EXPECT_EQ(ini_->ReadString("Scale", "DAC11Edit1", ""), "V");
    EXPECT_FLOAT_EQ(static_cast<float>(ini_->ReadFloat("Scale", "DAC11Edit2", 0.0)), monitor);

    form.SetDriveAmplitude(0.5);
    EXPECT_EQ(LockInState.AmplitudeRange, 1);
    EXPECT_EQ(sim->ControlWord() & 0x30, 0x10);

    // Too large for every range: full scale of ±10 V, with a beep.
    EXPECT_DOUBLE_EQ(form.SetDriveAmplitude(50.0), 10.0);
    EXPECT_EQ(LockInState.AmplitudeRange, 2);
    EXPECT_EQ(sim->ControlWord() & 0x30, 0);
    EXPECT_EQ(sim->LockInSettings().AmplitudeWord, 65535);
    EXPECT_EQ(boxes_.BeepCount(), 1);

    // Reference A: both oscillators share the range.
    MultiLockInParams.ReferenceMode = 1;
    MultiLockInParams.Amplitude[0] = 0.06;
    form.SetDriveAmplitude(0.05);
    EXPECT_EQ(LockInState.AmplitudeRange, 1);
    EXPECT_EQ(MultiLockInParams.AmplitudeWord[0], 3932);
    EXPECT_EQ(sim->Register(RegLiaAmplitude), (3932 << 16) | 3277);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
    form.FormDestroy();
}

TEST_F(LockInOnSim, DynamicModesSwitchTheDriveUnlessTheOperatorKeepsIt)
{
    ini_->WriteFloat("dnc", "Ampl", 0.5);
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    MicroscopeState.FeedbackMode = 4;
    form.UpdateFeedback();
    EXPECT_DOUBLE_EQ(LockInState.DriveAmplitude, 0.5);
    EXPECT_EQ(sim->LockInSettings().AmplitudeWord, 32768);

    MicroscopeState.FeedbackMode = 0;
    form.UpdateFeedback();
    EXPECT_DOUBLE_EQ(LockInState.DriveAmplitude, 0.0);
    EXPECT_EQ(sim->LockInSettings().AmplitudeWord, 0);

    MicroscopeState.LockInOn = 2; // the operator enabled the lock-in
    MicroscopeState.FeedbackMode = 4;
    form.UpdateFeedback();
    EXPECT_DOUBLE_EQ(LockInState.DriveAmplitude, 0.5);
    MicroscopeState.FeedbackMode = 3;
    form.UpdateFeedback();
    EXPECT_DOUBLE_EQ(LockInState.DriveAmplitude, 0.5);
    EXPECT_EQ(sim->LockInSettings().AmplitudeWord, 32768);
    form.FormDestroy();
}

} // namespace
} // namespace qvt
