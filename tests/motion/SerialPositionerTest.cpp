// The positioner controller and the laser box on pseudo-terminal pairs,
// driven through the stepper's serial kinds on the simulated controller.

#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/CoarseForm.h"
#include "motion/SerialPositioner.h"
#include "motion/StepKinds.h"
#include "motion/Stepper.h"
#include "sim/SimSerialPeer.h"

#include <QFile>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>

using namespace qvt;
using namespace qvt::test;

namespace {

class SerialStepper : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        sim_ = PlugSim(FastConfig());
        form.FormCreate();
        ASSERT_FALSE(form.StartFailed());
        sim_->ClearLog();
    }
    void TearDown() override
    {
        form.FormDestroy();
        DriverLinkFixture::TearDown();
    }
    void Set(const char* section, const char* key, const QString& value) { ini_->WriteString(section, key, value); }
    void UsePort(const sim::SimSerialPeer& peer)
    {
        ASSERT_TRUE(peer.Ok());
        Set("Stepper", "COMDevice", peer.SlavePath());
    }

    std::shared_ptr<sim::SimController> sim_;
    TInOutForm form;
};

// Waits until the device has all the lines (the reader thread may still be
// taking them from the line); the bound only ends a wait that would hang.
bool WaitForLines(const sim::SimSerialPeer& peer, const QStringList& lines)
{
    return peer.WaitForBytes(static_cast<int>(lines.join("\r\n").size()) + 2, 5000);
}

TEST_F(SerialStepper, PositionerKindsSendTheirLinesAfterAResetOnTheFirstCommand)
{
    sim::SimPositioner positioner;
    UsePort(positioner);
    Set("Stepper", "Right", "40");
    Set("Stepper", "Left", "41");
    Set("Stepper", "Forward", "42");
    Set("Stepper", "Backward", "43");
    Set("Stepper", "Up", "44");
    Set("Stepper", "Down", "45");
    Set("Coarse", "AgilisStepsX", "7");
    Set("Coarse", "AgilisStepsZ", "300");
    Set("Coarse", "AgilisVoltage44", "33");
    TStepper stepper(form, MainIni);
    EXPECT_FALSE(stepper.PortOpen);

    const auto commanded = std::chrono::steady_clock::now();
    stepper.StepRight();
    EXPECT_TRUE(stepper.PortOpen);
    const QStringList first{"RS", "MR", "CC1", "1PR7"};
    ASSERT_TRUE(WaitForLines(positioner, first));
    const auto lines = positioner.Lines();
    ASSERT_EQ(positioner.LineTexts(), first);
    // The reset's pause: the line after it cannot arrive sooner after the
    // command. (The peer's read of "RS" itself may come late on a busy
    // machine, so the gap between the two lines proves nothing.)
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(lines[1].At - commanded).count(),
              AgilisResetSleepMs);
    EXPECT_EQ(positioner.Baud(), 921600);

    // The port stays open: no second reset.
    positioner.Clear();
    stepper.StepLeft();
    stepper.StepForward();
    stepper.StepBackward();
    stepper.StepUp();
    stepper.StepDown();
    const QStringList want{"CC1", "1PR-7", "CC1",    "2PR20", "CC1",   "2PR-20",
                           "CC2", "1SU33", "1PR300", "CC2",   "1SU50", "1PR-300"};
    ASSERT_TRUE(WaitForLines(positioner, want));
    EXPECT_EQ(positioner.LineTexts(), want);
    EXPECT_EQ(stepper.zCoarsePos, 0); // one up, one down
    EXPECT_EQ(CountCode(*sim_, IOCTL_WRITE_REG), 0);
}

TEST_F(SerialStepper, ResetKindOnAClosedPortResetsTwice)
{
    sim::SimPositioner positioner;
    UsePort(positioner);
    Set("Stepper", "RULD", "46");
    TStepper stepper(form, MainIni);
    stepper.StepRULD();
    const QStringList want{"RS", "MR", "RS", "MR"};
    ASSERT_TRUE(WaitForLines(positioner, want));
    EXPECT_EQ(positioner.LineTexts(), want);
}

TEST_F(SerialStepper, MissingPortIsReportedOnceAndRetriedByEveryCommand)
{
    sim::SimPositioner positioner;
    ASSERT_TRUE(positioner.Ok());
    const QString link = dir_.Path() + "ttyS0";
    Set("Stepper", "COMx", "-2"); // taken as COM1
    Set("Stepper", "COMDevice", link);
    Set("Stepper", "Right", "40");
    TStepper stepper(form, MainIni);
    stepper.StepRight();
    stepper.StepRight();
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 could not open!"});
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_FALSE(stepper.PortOpen);

    // The adapter is plugged in: the next step opens it, without another message.
    ASSERT_TRUE(QFile::link(positioner.SlavePath(), link));
    stepper.StepRight();
    const QStringList want{"RS", "MR", "CC1", "1PR20"};
    ASSERT_TRUE(WaitForLines(positioner, want));
    EXPECT_EQ(positioner.LineTexts(), want);
    EXPECT_EQ(boxes_.Texts().size(), 1);
}

TEST_F(SerialStepper, UnpluggedPortIsClosedSoTheNextCommandOpensItAgain)
{
    auto positioner = std::make_unique<sim::SimPositioner>();
    UsePort(*positioner);
    Set("Stepper", "Right", "40");
    TStepper stepper(form, MainIni);
    const QStringList want{"RS", "MR", "CC1", "1PR20"};
    stepper.StepRight();
    ASSERT_TRUE(WaitForLines(*positioner, want));
    positioner.reset(); // unplugged: writes fail from now on

    stepper.StepRight(); // "CC1" fails and closes, told at once; the rest of the command is dropped
    EXPECT_FALSE(stepper.PortOpen);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 is gone: the command was dropped and the port closed."});
    stepper.StepRight(); // the next command tries to reopen
    EXPECT_EQ(boxes_.Texts(),
              (QStringList{"Com1 is gone: the command was dropped and the port closed.", "Com1 could not open!"}));

    sim::SimPositioner again;
    UsePort(again);
    stepper.StepRight();
    EXPECT_TRUE(stepper.PortOpen);
    ASSERT_TRUE(WaitForLines(again, want));
    EXPECT_EQ(again.LineTexts(), want);
}

// The z motor on the positioner, its button held in the coarse window: the
// adapter pulled out in the middle is told by the very next step, and the
// held run ends there; nothing more is tried until the operator asks again.
TEST_F(SerialStepper, AnAdapterUnpluggedDuringAHeldCoarseMoveIsToldAtOnceAndEndsTheMove)
{
    auto positioner = std::make_unique<sim::SimPositioner>();
    UsePort(*positioner);
    Set("Stepper", "Down", "44");
    Set("Coarse", "SlowZ", "1");
    TStepper stepper(form, MainIni);
    TCoarseForm coarse;
    coarse.SetStepper(&stepper);
    coarse.FormCreate();
    coarse.show();
    QPushButton* down = coarse.BitBtn(1);
    QTest::mousePress(down, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return stepper.zCoarsePos <= -3; })) << "the held button repeats";
    ASSERT_TRUE(boxes_.Texts().isEmpty());

    positioner.reset(); // unplugged
    ASSERT_TRUE(PumpUntil([&] { return !boxes_.Texts().isEmpty(); }));
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 is gone: the command was dropped and the port closed."});
    EXPECT_FALSE(coarse.Repeating());
    EXPECT_FALSE(stepper.PortOpen);
    const int32_t at = stepper.zCoarsePos;
    // Long enough for many more bursts, had the run gone on; the release adds none.
    PumpUntil([] { return false; }, 100);
    QTest::mouseRelease(down, Qt::LeftButton);
    EXPECT_EQ(boxes_.Texts().size(), 1) << boxes_.Texts().join("|").toStdString();
    EXPECT_EQ(stepper.zCoarsePos, at);
    coarse.FormDestroy();
}

TEST_F(SerialStepper, LaserBoxTakesLettersAndTheLaserOnceItIsOpen)
{
    sim::SimLaserBox box;
    UsePort(box);
    Set("Stepper", "Up", "77");
    Set("Stepper", "Down", "78");
    Set("Stepper", "Off", "79");
    Set("Stepper", "On", "75");
    Set("Stepper", "Right", "40");
    TStepper stepper(form, MainIni);
    // Not open yet: the laser goes through the output bit.
    stepper.SetLaser(true);
    EXPECT_EQ(sim_->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
    EXPECT_TRUE(box.Received().isEmpty());

    stepper.StepUp();
    EXPECT_TRUE(stepper.SerialBoxPresent);
    EXPECT_EQ(box.Baud(), 57600);
    stepper.StepDown();
    stepper.PowerOff();
    stepper.PowerOn();
    sim_->ClearLog();
    stepper.SetLaser(true);
    ASSERT_TRUE(box.WaitForBytes(5, 5000));
    EXPECT_TRUE(box.LaserOn());
    stepper.SetLaser(false);
    ASSERT_TRUE(box.WaitForBytes(6, 5000));
    EXPECT_FALSE(box.LaserOn());
    EXPECT_EQ(CountCode(*sim_, IOCTL_WRITE_REG), 0);

    // A positioner step on the box's port keeps its speed and skips the reset.
    stepper.StepRight();
    const QByteArray all = "MmOlLlCC1\r\n1PR20\r\n";
    ASSERT_TRUE(box.WaitForBytes(static_cast<int>(all.size()), 5000));
    EXPECT_EQ(box.Received(), all);
    EXPECT_EQ(box.Baud(), 57600);
}

TEST_F(SerialStepper, BoxStartCommandAtConstructionLeavesTheLaserOnTheOutputBit)
{
    sim::SimLaserBox box;
    UsePort(box);
    Set("Stepper", "Up", "89");
    TStepper stepper(form, MainIni);
    ASSERT_TRUE(box.WaitForBytes(4, 5000));
    EXPECT_EQ(box.Received(), SerialBoxStartText);
    EXPECT_FALSE(stepper.PortOpen);
    EXPECT_FALSE(stepper.SerialBoxPresent);
    stepper.SetLaser(true);
    EXPECT_EQ(sim_->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
}

TEST_F(SerialStepper, APortThatRunsAtAnotherSpeedIsRefusedAndItsStepsAreNotCounted)
{
    sim::SimPositioner positioner;
    UsePort(positioner);
    Set("Stepper", "Up", "44");
    Set("Stepper", "Down", "45");
    TStepper stepper(form, MainIni);
    const int32_t start = stepper.zCoarsePos;
    {
        // A UART that cannot do 921600 baud takes the setting and runs at 115200.
        struct Slow {
            SerialSpeedReader before = SetSerialSpeedReader([](int) { return 115200; });
            ~Slow() { SetSerialSpeedReader(before); }
        } slow;
        stepper.StepUp();
        stepper.StepDown();
        stepper.StepUp();
    }
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 runs at 115200 baud, not at 921600!"});
    EXPECT_FALSE(stepper.PortOpen);
    EXPECT_EQ(stepper.zCoarsePos, start) << "steps that never went out were counted";
    EXPECT_TRUE(positioner.Received().isEmpty());

    // A line at the speed asked: the step goes out and counts.
    stepper.StepUp();
    EXPECT_TRUE(stepper.PortOpen);
    EXPECT_EQ(stepper.zCoarsePos, CountZStep(start, +1));
    ASSERT_TRUE(WaitForLines(positioner, {"RS", "MR", "CC2", "1SU50", "1PR20"}));
    EXPECT_EQ(positioner.Baud(), 921600);

    // A port that is not there counts nothing either.
    Set("Stepper", "COMDevice", dir_.Path() + "ttyS9");
    TStepper unplugged(form, MainIni);
    const int32_t before = unplugged.zCoarsePos;
    unplugged.StepDown();
    EXPECT_EQ(unplugged.zCoarsePos, before);
    EXPECT_EQ(boxes_.LastText(), "Com1 could not open!");
}

std::atomic<int> roomWaits{0};

TEST_F(SerialStepper, ADeviceThatStopsTakingBytesCostsOneWaitAndOneMessageAndTheNextCommandReopens)
{
    sim::SimPositioner positioner;
    UsePort(positioner);
    Set("Stepper", "Right", "40");
    TStepper stepper(form, MainIni);
    const QStringList want{"RS", "MR", "CC1", "1PR20"};
    stepper.StepRight();
    ASSERT_TRUE(WaitForLines(positioner, want));
    positioner.Clear();

    // The device stops taking bytes. Its line never drains, so every wait for
    // room would run out: the waits are counted here instead of slept.
    ASSERT_TRUE(positioner.HoldLine(true));
    {
        roomWaits = 0;
        struct Stalled {
            SerialRoomWaiter before = SetSerialRoomWaiter([](int, int ms) {
                ++roomWaits;
                return ms <= 0; // only a wait of no time may find room
            });
            ~Stalled() { SetSerialRoomWaiter(before); }
        } stalled;
        stepper.StepRight();
    }
    EXPECT_EQ(roomWaits.load(), 1) << "the rest of the command must not wait again";
    EXPECT_FALSE(stepper.PortOpen);
    EXPECT_EQ(boxes_.Texts(), QStringList{CommPortStallText(1)});

    // It takes bytes again: the next command opens the port afresh (with the
    // reset) and nothing of the dropped one comes after.
    ASSERT_TRUE(positioner.HoldLine(false));
    stepper.StepRight();
    EXPECT_TRUE(stepper.PortOpen);
    ASSERT_TRUE(WaitForLines(positioner, want));
    EXPECT_EQ(positioner.LineTexts(), want);
    EXPECT_EQ(boxes_.Texts().size(), 1);

    // On the real wait a stalled line gives up too: one wait, bounded far
    // above the time it is given.
    positioner.Clear();
    ASSERT_TRUE(positioner.HoldLine(true));
    const auto started = std::chrono::steady_clock::now();
    stepper.StepRight();
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(took, 10 * SerialWriteDrainMs);
    EXPECT_FALSE(stepper.PortOpen);
    EXPECT_EQ(boxes_.Texts(), (QStringList{CommPortStallText(1), CommPortStallText(1)}));
    ASSERT_TRUE(positioner.HoldLine(false));
    EXPECT_FALSE(positioner.WaitForBytes(1, 50)) << "the dropped command stays dropped";
}

TEST(SerialSettingsText, FramingIsTakenFromTheText)
{
    TSerialSettings s;
    s.Device = "/dev/ttyUSB0";
    ASSERT_TRUE(ParseSerialSettingsText(AgilisPortSettingsText, s));
    EXPECT_EQ(s.Baud, 921600);
    EXPECT_EQ(s.Parity, 'N');
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.StopBits, 1);
    EXPECT_EQ(s.Device, "/dev/ttyUSB0");
    EXPECT_FALSE(ParseSerialSettingsText("baud=fast parity=E", s));
    EXPECT_EQ(s.Baud, 921600);
    EXPECT_EQ(s.Parity, 'N');

    // A speed the line cannot run at is refused rather than run at another;
    // a closed port can be opened again, a held one not a second time.
    sim::SimSerialPeer peer;
    ASSERT_TRUE(peer.Ok());
    s.Device = peer.SlavePath();
    s.Baud = 12345;
    TSerialPort port;
    EXPECT_FALSE(port.Open(s));
    s.Baud = 921600;
    ASSERT_TRUE(port.Open(s));
    EXPECT_EQ(peer.Baud(), 921600);
    TSerialPort second;
    EXPECT_FALSE(second.Open(s));
    port.Close();
    EXPECT_TRUE(second.Open(s));
}

} // namespace
