#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"

#include <QRegularExpression>

#include <thread>

using namespace qvt;
using namespace qvt::test;

using DriverLink = DriverLinkFixture;

namespace {

// Times the link's calibration and echo test by the simulator's clock, so a
// busy machine cannot change what they measure.
void TimeBySim(TInOutForm& form, const std::shared_ptr<sim::SimController>& sim)
{
    form.LinkClock = [sim] { return double(sim->NowUs()) * 1e-6; };
}

// A fast simulator whose requests each cost `latencyUs` of its time.
sim::SimConfig Timed(sim::SimConfig config, double latencyUs)
{
    config.Clock = sim::ClockMode::Fast;
    config.RequestLatencyUs = latencyUs;
    return config;
}

} // namespace

TEST_F(DriverLink, DriverNameDecidesBoxAndInstance)
{
    struct Case {
        const char* name;
        int32_t usb;
        int32_t instance;
    };
    for (const Case& c : {Case{"QVTUSB2", 1, 2}, Case{"qvtusb3", 1, 3}, Case{"QVTUSB", 1, -1}, Case{"QVTUSB7", 1, -1},
                          Case{"QVT", 0, -2}, Case{"SIMUSB0", 1, 0}}) {
        const TDriverNameInfo info = ClassifyDriverName(c.name);
        EXPECT_EQ(info.UsbBox, c.usb) << c.name;
        EXPECT_EQ(info.InstanceNumber, c.instance) << c.name;
    }

    // "SIM..." names open the simulator (configured from AppDir, defaults here).
    for (const Case& c : {Case{"SIMUSB2", 1, 2}, Case{"SIMUSB", 1, -1}, Case{"SIM", 0, -2}, Case{"sim", 0, -2}}) {
        DeviceDriverName = c.name;
        TInOutForm form;
        EXPECT_TRUE(form.OpenDriver()) << c.name;
        EXPECT_EQ(form.Caps.UsbBox, c.usb) << c.name;
        EXPECT_EQ(form.InstanceNumber, c.instance) << c.name;
        auto* sim = dynamic_cast<sim::SimController*>(form.Driver());
        ASSERT_NE(sim, nullptr) << c.name;
        EXPECT_EQ(sim->Config().Usb, c.usb == 1) << c.name;
    }
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_EQ(boxes_.BeepCount(), 0);

    // Any other name fails as a missing driver does, and the link refuses requests.
    DeviceDriverName = "QVT";
    TInOutForm form;
    EXPECT_FALSE(form.OpenDriver());
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Device-driver not running!\rCannot connect to QVT-Card!"});
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Information});
    EXPECT_EQ(form.InstanceNumber, -2);
    int32_t reg = RegBoxVersion;
    int32_t value = 0;
    size_t returned = 7;
    EXPECT_FALSE(form.Ioctl(IOCTL_READ_REG, &reg, 4, &value, 4, &returned));
    EXPECT_EQ(returned, 0u);
}

TEST_F(DriverLink, RefusesHighRegistersOnOldCards)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());

    form.Caps.BoxVersion = 26;
    form.WriteReg(100, 5);
    EXPECT_EQ(boxes_.Texts(), QStringList{"100 is outside address range!"});
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Confirmation});
    EXPECT_EQ(CountCode(*sim, IOCTL_WRITE_REG), 0);
    form.WriteReg(62, 5); // below the extended space
    EXPECT_EQ(CountCode(*sim, IOCTL_WRITE_REG), 1);

    boxes_.Clear();
    form.Caps.BoxVersion = 29;
    form.WriteReg(100, 6);
    form.Caps.BoxVersion = 26;
    form.Caps.UsbBox = 1;
    form.WriteReg(100, 7);
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    const auto t = Traffic(*sim);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(sim->RequestLog()[1].In[1], 6);
    EXPECT_EQ(sim->RequestLog()[2].In[1], 7);

    // Asked from a worker thread, the refusal still reaches the operator.
    boxes_.Clear();
    form.Caps.UsbBox = 0;
    std::thread worker([&] { form.WriteReg(63, 1); });
    worker.join();
    EXPECT_EQ(boxes_.Texts(), QStringList{"63 is outside address range!"});
}

TEST_F(DriverLink, HoldsDacWritesInsideTheChannelLimits)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    form.Caps.BoxVersion = 26;

    form.WriteReg(RegX, 40000);
    form.WriteReg(RegX, -40000);
    form.WriteReg(RegDigitalOut, 40000); // the stepper word is not a DAC
    ChannelTable[5].MaxRaw = 100;        // DAC6
    form.WriteReg(RegDacBase + 5, 101);

    const auto log = sim->RequestLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].In[1], 32000);
    EXPECT_EQ(log[1].In[1], -32000);
    EXPECT_EQ(log[2].In[1], 40000);
    EXPECT_EQ(log[3].In[1], 100);
    EXPECT_EQ(sim->Dac(3), -32000);
    EXPECT_EQ(sim->GuardViolationCount(), 0);

    // A read through the map returns what the output holds.
    EXPECT_EQ(form.ReadReg(ReadAddrX), -32000);
    EXPECT_TRUE(form.LastIoOk);
}

TEST_F(DriverLink, TheGuardJudgesOutputsByTheLimitsTheProgramIsConfiguredWith)
{
    // The hardware takes ±32000; the program's X is configured to ±1000.
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    ChannelTable[SlotX].MinRaw = -1000;
    ChannelTable[SlotX].MaxRaw = 1000;

    // The program keeps its own writes inside ...
    form.WriteReg(RegX, 20000);
    EXPECT_EQ(sim->Dac(3), 1000);
    EXPECT_EQ(sim->GuardViolationCount(), 0);

    // ... but a raw write that bypasses its limits is noted, against the tighter of both.
    const TWriteRegRecord raw{RegX, 20000};
    form.Ioctl(IOCTL_WRITE_REG, &raw, sizeof raw, nullptr, 0);
    const std::vector<sim::GuardViolation> noted = TakeGuardViolations(*sim);
    ASSERT_EQ(noted.size(), 1u);
    EXPECT_EQ(noted[0].Register, RegX);
    EXPECT_EQ(noted[0].Value, 20000);
    EXPECT_EQ(noted[0].Min, -1000);
    EXPECT_EQ(noted[0].Max, 1000);

    // Wider configured limits than the hardware's leave the hardware's.
    ChannelTable[SlotX].MaxRaw = 50000;
    const TWriteRegRecord beyond{RegX, 40000};
    form.Ioctl(IOCTL_WRITE_REG, &beyond, sizeof beyond, nullptr, 0);
    const std::vector<sim::GuardViolation> hardware = TakeGuardViolations(*sim);
    ASSERT_EQ(hardware.size(), 1u);
    EXPECT_EQ(hardware[0].Max, 32000);
}

TEST_F(DriverLink, ReadRegReportsFailureAndKeepsTheLastReply)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    EXPECT_EQ(form.ReadReg(RegBoxVersion), 26);
    EXPECT_TRUE(form.LastIoOk);
    sim::SimFaults faults;
    faults.FailAllRequests = true;
    sim->SetFaults(faults);
    EXPECT_EQ(form.ReadReg(RegBoxSubVersion), 26); // the stale reply
    EXPECT_FALSE(form.LastIoOk);
    bool ok = true;
    form.ReadReg(RegBoxSubVersion, ok);
    EXPECT_FALSE(ok);
}

TEST_F(DriverLink, DelayUsSpendsShortWaitsOnlyWhenTheyOutweighARequest)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    auto delays = [&] {
        std::vector<int32_t> chunks;
        for (const sim::SimRequest& r : sim->RequestLog())
            if (r.Code == IOCTL_DELAY)
                chunks.push_back(r.In[0]);
        sim->ClearLog();
        return chunks;
    };

    form.DelayOverhead = 8;
    form.DelayUs(5);
    EXPECT_TRUE(delays().empty());
    EXPECT_EQ(form.DelayDebt, 5);
    form.DelayUs(60);
    EXPECT_EQ(delays(), std::vector<int32_t>{50});
    EXPECT_EQ(form.DelayDebt, 7);

    form.DelayOverhead = 0;
    form.DelayDebt = 0;
    form.DelayUs(120);
    EXPECT_EQ(delays(), (std::vector<int32_t>{50, 50, 20}));
    EXPECT_EQ(form.DelayDebt, 0);

    // A negative overhead used to keep the loop going for ever.
    form.DelayOverhead = -10;
    form.DelayUs(10);
    EXPECT_EQ(delays(), std::vector<int32_t>{10});
    EXPECT_EQ(form.DelayDebt, 0);

    // A negative wait (a setting such as an on-time below zero) waits nothing
    // and leaves no credit behind that would swallow the next wait.
    form.DelayOverhead = 0;
    form.DelayDebt = 0;
    form.DelayUs(-100000);
    EXPECT_TRUE(delays().empty());
    EXPECT_EQ(form.DelayDebt, 0);
    form.DelayUs(1000);
    EXPECT_EQ(delays(), std::vector<int32_t>(20, 50));

    // Without a link the debt still runs down and nothing is sent.
    TInOutForm closed;
    closed.DelayUs(500);
    EXPECT_LE(closed.DelayDebt, 0);
}

TEST_F(DriverLink, CalibratesTheDelayOverheadInMicroseconds)
{
    // A simulator that does not wait gives no overhead, never a negative one.
    auto fast = PlugSim(FastConfig());
    fast->SetLogging(false);
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    TimeBySim(form, fast);
    form.CalibrateDelay();
    EXPECT_EQ(form.DelayOverhead, 0);

    // Requests costing 5 µs each: the overhead is 5 microseconds (in 0.1 µs
    // units it would read 140).
    auto slow = PlugSim(Timed(FastConfig(), 5));
    slow->SetLogging(false);
    TInOutForm timed;
    ASSERT_TRUE(timed.OpenDriver());
    TimeBySim(timed, slow);
    timed.CalibrateDelay();
    EXPECT_EQ(timed.DelayOverhead, 5);
    EXPECT_EQ(timed.DelayDebt, 0);
}

TEST_F(DriverLink, EchoTestPassesASoundLinkAndClearsItsBits)
{
    sim::SimConfig config = FastConfig();
    config.Faults.EchoLagReads = 3; // a slow echo is no error
    auto sim = PlugSim(Timed(config, 20));
    sim->SetLogging(false);
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    TimeBySim(form, sim);
    form.ControlWord2 = 0x7;

    EXPECT_FALSE(form.TestCommunication());
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_GE(ini_->ReadInteger("Main", "DeviceDriverIOCTLFreq", 0), 1000);
    EXPECT_EQ(form.ControlWord2, 0x4);
    EXPECT_EQ(sim->Register(RegControl2), 0x4);
}

TEST_F(DriverLink, EchoTestWarnsWhenNothingAnswers)
{
    sim::SimConfig config = FastConfig();
    config.Absent = true;
    auto sim = PlugSim(Timed(config, 20));
    sim->SetLogging(false);
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    TimeBySim(form, sim);
    EXPECT_TRUE(form.TestCommunication());
    EXPECT_EQ(boxes_.Texts(),
              QStringList{"No Communication with SPM-Box!\rCheck Cable, switch power on (again) and restart program."});
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Error});
    EXPECT_EQ(ini_->ReadInteger("Main", "DeviceDriverIOCTLFreq", -1), 0);
}

TEST_F(DriverLink, EchoTestCountsStrayEchoesAsErrors)
{
    sim::SimConfig config = FastConfig();
    config.Faults.EchoStrayEvery = 50;
    auto sim = PlugSim(Timed(config, 20));
    sim->SetLogging(false);
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    TimeBySim(form, sim);
    EXPECT_TRUE(form.TestCommunication());
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Information});
    const QRegularExpression text(
        R"(^Communication with SPM-Box unstable! \((\d+) / (\d+)\) \r             Please check Cable!$)");
    const QRegularExpressionMatch m = text.match(boxes_.LastText());
    ASSERT_TRUE(m.hasMatch()) << boxes_.LastText().toStdString();
    EXPECT_GT(m.captured(1).toInt(), 0);
    EXPECT_GE(m.captured(2).toInt(), 1000);
}

TEST_F(DriverLink, EchoTestTakesAUsbBoxAsFastEnough)
{
    // 400 µs per request: 250 round trips in the test time.
    const sim::SimConfig slow = Timed(sim::SimConfig{}, 400);
    auto usbSim = PlugSim(slow, "SIMUSB1");
    TInOutForm usb;
    ASSERT_TRUE(usb.OpenDriver());
    TimeBySim(usb, usbSim);
    EXPECT_FALSE(usb.TestCommunication());
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    const int measured = ini_->ReadInteger("Main", "DeviceDriverIOCTLFreq", -1);
    EXPECT_GE(measured, 249);
    EXPECT_LE(measured, 251);

    // The same link on a card is reported.
    auto cardSim = PlugSim(slow, "SIM");
    TInOutForm card;
    ASSERT_TRUE(card.OpenDriver());
    TimeBySim(card, cardSim);
    EXPECT_TRUE(card.TestCommunication());
    EXPECT_TRUE(boxes_.LastText().startsWith("Communication with SPM-Box unstable! (0 / "))
        << boxes_.LastText().toStdString();
}

TEST_F(DriverLink, ControlWordsAndLedsReachTheController)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    ASSERT_TRUE(form.OpenDriver());
    form.SetControlBits(0, ControlRunning);
    form.SetControlBits(0x1, 0x30);
    EXPECT_EQ(form.ControlWord, 0x70);
    EXPECT_EQ(sim->ControlWord(), 0x70);
    form.SetControlBits2(0, 0x5);
    form.SetControlBits2(0x1, 0x2);
    EXPECT_EQ(sim->Register(RegControl2), 0x6);

    const int32_t leds[] = {370, 512 + 100};
    form.WriteLedValues(2, leds);
    EXPECT_EQ(sim->LedRequestCount(), 2);
    EXPECT_EQ(sim->LastLedValue(), 612);
    const auto log = sim->RequestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().Code, IOCTL_SET_LED);
    EXPECT_EQ(log.back().In[0], 1);
    EXPECT_EQ(log.back().In[2], 0);
}
