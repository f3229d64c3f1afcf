#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "device/OsziPoll.h"

#include <gtest/gtest.h>

namespace qvt {
namespace {

TEST(OsziPoll, ReadRequestLimitsTheListAndFollowsMonoZ)
{
    TOsziRequest shared;
    shared.HighSpeedControl = HscApplyRequest | HscDmaOn;
    shared.Count = 20;
    for (int i = 0; i < OsziMaxChannelIds; ++i)
        shared.Ids[i] = i + 1;
    TOsziRequest r = BuildOsziReadRequest(shared, false, true);
    EXPECT_EQ(r.Count, 15);
    EXPECT_EQ(r.HighSpeedControl, HscApplyRequest | HscDmaOn); // switch unknown: left alone
    EXPECT_EQ(r.Ids[14], 15);

    shared.Count = 2;
    r = BuildOsziReadRequest(shared, true, true);
    EXPECT_EQ(r.HighSpeedControl & HscMonoZ, HscMonoZ);
    EXPECT_EQ(r.Ids[1], 2);
    EXPECT_EQ(r.Ids[2], 0); // ids past the count are not sent
    shared.HighSpeedControl |= HscMonoZ;
    EXPECT_EQ(BuildOsziReadRequest(shared, true, false).HighSpeedControl & HscMonoZ, 0);
    shared.Count = -4;
    EXPECT_EQ(BuildOsziReadRequest(shared, false, false).Count, 0);
}

TEST(OsziPoll, SetupTakesTheReaderOfTheFrames)
{
    const std::array<int32_t, 4> oszi{-26, 2, 3, 4};
    const std::array<int32_t, 4> dnc{-12, -14, -15, 5};
    TOsziSetup s = BuildOsziSetup(OsziThreeTrace, 1.0e-6f, oszi, 7, dnc);
    ASSERT_TRUE(s.Send);
    EXPECT_EQ(s.Ticks, 1);
    EXPECT_FLOAT_EQ(s.SampleTime, 25.6e-6f);
    EXPECT_EQ(s.Addresses, oszi);
    EXPECT_TRUE(s.TimerOn);
    EXPECT_EQ(BuildOsziSetup(OsziThreeTrace, 1.0e-3f, oszi, 7, dnc).Ticks, 39); // 39.0625
    EXPECT_FALSE(BuildOsziSetup(OsziThreeTrace, -1.0f, oszi, 7, dnc).Send);

    s = BuildOsziSetup(OsziThreeTrace | OsziNoiseMeasurement, -1.0f, oszi, 7, dnc);
    EXPECT_TRUE(s.Send);
    EXPECT_EQ(s.Ticks, 7);
    EXPECT_EQ(s.Addresses, dnc);
    s = BuildOsziSetup(0, 0.0f, oszi, 0, dnc);
    EXPECT_FALSE(s.TimerOn);
    EXPECT_EQ(s.Ticks, 2); // the noise period's least

    const std::vector<int32_t> res = BuildUsbOsziList(true, false, 5);
    ASSERT_EQ(res.size(), 102u);
    EXPECT_EQ(res[0], 5 | (2 << 8));
    EXPECT_EQ(res[1], 236 | (2 << 8));
    EXPECT_EQ(res[2], 235 | (2 << 8));
    EXPECT_EQ(res[3], 64 | (4000 << 8));
    EXPECT_EQ(res[35], 128 | (4000 << 8));
    EXPECT_EQ(res[99], 47 | (4000 << 8));
    EXPECT_EQ(res[100], 0 | (4000 << 8));
    EXPECT_EQ(res[101], 32 | (4000 << 8));
    EXPECT_EQ(BuildUsbOsziList(true, true, 5).size(), 99u);
    EXPECT_EQ(BuildUsbOsziList(false, false, 5).size(), 99u);
}

class OsziOnSim : public test::DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedRequest_ = OsziRequest;
        savedFlags_ = OsziFlags;
        savedTime_ = OsziSampleTime;
        savedChannels_ = OsziChannels;
        savedPeriod_ = DncScopePeriod;
    }
    void TearDown() override
    {
        OsziRequest = savedRequest_;
        OsziFlags = savedFlags_;
        OsziSampleTime = savedTime_;
        OsziChannels = savedChannels_;
        DncScopePeriod = savedPeriod_;
        DriverLinkFixture::TearDown();
    }

private:
    TOsziRequest savedRequest_;
    int32_t savedFlags_ = 0;
    float savedTime_ = 0;
    std::array<int32_t, 4> savedChannels_{};
    int32_t savedPeriod_ = 0;
};

TEST_F(OsziOnSim, SnapshotSendsTheApplyBitOnceAndHandsOnTheReply)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    auto sim = PlugSim(config);
    TInOutForm form;
    form.FormCreate();
    int snapshots = 0;
    QObject::connect(&form, &TInOutForm::osziSnapshot, [&] { ++snapshots; });
    form.OsziReply.fill(12345);

    OsziRequest = TOsziRequest{};
    OsziRequest.HighSpeedControl = HscApplyRequest | HscDmaOn;
    OsziRequest.Count = 2;
    form.OsziTimerTimer();
    form.OsziTimerTimer();
    std::vector<sim::SimRequest> sent;
    for (const sim::SimRequest& r : sim->RequestLog())
        if (r.Code == IOCTL_READ_OSZI)
            sent.push_back(r);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].In[0], HscApplyRequest | HscDmaOn);
    EXPECT_EQ(sent[0].In[1], 2);
    EXPECT_EQ(sent[1].In[0], HscDmaOn);
    EXPECT_EQ(snapshots, 2);
    EXPECT_NE(form.OsziReply[0], 12345);
    EXPECT_EQ(form.OsziReply[256], 12345); // the reply is 1024 bytes

    // On a type-29 controller the scanner window's mono-Z switch rides along.
    form.LockInHooks.ScannerMonoZ = [] { return true; };
    form.OsziTimerTimer();
    EXPECT_EQ(OsziRequest.HighSpeedControl, HscDmaOn | HscMonoZ);

    // A refused request keeps the apply bit for the next tick.
    OsziRequest.HighSpeedControl |= HscApplyRequest;
    sim::SimFaults faults;
    faults.FailCode = IOCTL_READ_OSZI;
    sim->SetFaults(faults);
    form.OsziTimerTimer();
    EXPECT_NE(OsziRequest.HighSpeedControl & HscApplyRequest, 0);

    // The 200 ms timer itself.
    sim->SetFaults(sim::SimFaults{});
    form.StartOsziTimer();
    EXPECT_TRUE(form.OsziTimerActive());
    const int before = snapshots;
    EXPECT_TRUE(test::PumpUntil([&] { return snapshots > before; }, 2000));
    form.StopOsziTimer();
    EXPECT_FALSE(form.OsziTimerActive());
    form.FormDestroy();
}

TEST_F(OsziOnSim, ThreeTraceScopeConfiguresAndPollsTheBuffers)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    int frames = 0;
    int noise = 0;
    std::vector<bool> button;
    QObject::connect(&form, &TInOutForm::threeTraceFrame, [&] { ++frames; });
    QObject::connect(&form, &TInOutForm::noiseFrame, [&] { ++noise; });
    QObject::connect(&form, &TInOutForm::threeTraceRunning, [&](bool on) { button.push_back(on); });

    OsziFlags = 0;
    OsziSampleTime = 1.0e-4f;
    OsziChannels = {-26, 2, -1, 0};
    form.StartOszi2();
    EXPECT_EQ(OsziFlags, OsziThreeTrace);
    EXPECT_TRUE(form.OszTimerActive());
    EXPECT_EQ(sim->OsziSetup().PeriodTicks, 4); // 3.90625
    EXPECT_FLOAT_EQ(OsziSampleTime, static_cast<float>(4 / 39062.5));
    EXPECT_EQ(sim->OsziSetup().Addresses[2], -1);

    form.TimerOszi2Timer();
    EXPECT_TRUE(form.LastIoOk);
    EXPECT_EQ(OsziBuffers[0].Count, 512);
    EXPECT_EQ(OsziBuffers[0].Samples[1] - OsziBuffers[0].Samples[0], 4); // time stamps
    EXPECT_EQ(OsziBuffers[3].Count, 512);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(noise, 0);

    // The noise measurement keeps the poll running when the scope stops.
    OsziFlags = OsziThreeTrace | OsziNoiseMeasurement;
    form.TimerOszi2Timer();
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(noise, 1);
    form.StopOszi2();
    EXPECT_EQ(OsziFlags, OsziThreeTrace | OsziNoiseMeasurement);
    EXPECT_TRUE(form.OszTimerActive());
    OsziFlags = OsziThreeTrace;
    form.StopOszi2();
    EXPECT_EQ(OsziFlags, 0);
    EXPECT_FALSE(form.OszTimerActive());
    EXPECT_EQ(button, (std::vector<bool>{true, false, false}));

    // A negative sample time configures nothing and leaves the poll off.
    OsziFlags = OsziThreeTrace;
    OsziSampleTime = -1.0f;
    const int setups = CountCode(*sim, IOCTL_SET_OSZI);
    form.ConfigOsziAcquisition();
    EXPECT_EQ(CountCode(*sim, IOCTL_SET_OSZI), setups);
    EXPECT_FALSE(form.OszTimerActive());
    form.FormDestroy();
}

TEST_F(OsziOnSim, UsbBoxSendsItsSamplingList)
{
    auto sim = PlugSim(FastConfig(), "SIMUSB");
    TInOutForm form;
    form.FormCreate();
    ASSERT_EQ(form.Caps.UsbBox, 1);
    OsziFlags = 0;
    DncScopePeriod = 10;
    form.BuildUsbChannelList(true, false, 7);
    EXPECT_EQ(form.UsbChannelCount, 102);
    EXPECT_EQ(sim->OsziUsbEntryCount(), 102);
    EXPECT_EQ(sim->OsziSetup().PeriodTicks, 10);
    EXPECT_FALSE(form.OszTimerActive());
    form.FormDestroy();
}

} // namespace
} // namespace qvt
