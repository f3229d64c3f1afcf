#include "core/IniFile.h"
#include "motion/CoarseForm.h"
#include "motion/JoystickForm.h"
#include "motion/JoystickLogic.h"
#include "motion/Stepper.h"
#include "platform/FakeHidBackend.h"
#include "platform/HidDevices.h"
#include "platform/MessageBoxes.h"
#include "support/DriverLinkFixture.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>

#include <cerrno>

using namespace qvt;
using namespace qvt::test;

namespace {

// Records the controller's actions as text.
struct Recorder {
    QStringList Log;
    std::set<int> Disabled;
    TJoystickActions Actions()
    {
        TJoystickActions a;
        a.ButtonEnabled = [this](int b) { return Disabled.count(b) == 0; };
        a.Press = [this](int b) { Log << QString("press %1").arg(b); };
        a.SetRepeat = [this](int d) { Log << QString("repeat %1").arg(d); };
        a.Release = [this] { Log << "release"; };
        a.JoystickMove = [this](int x, int y, int z) { Log << QString("move %1 %2 %3").arg(x).arg(y).arg(z); };
        a.AddPosition = [this](int n) { Log << QString("point %1").arg(n); };
        a.Warn = [this](const QString& t) { Log << "warn " + t; };
        return a;
    }
    QStringList Take() { return std::exchange(Log, {}); }
};

TJoystickConfig StickConfig()
{
    TJoystickConfig c;
    c.JoyItemX = 1;
    c.JoyItemY = 2;
    c.JoyItemZ = 3;
    c.SelectPoint = 4;
    c.JoyModeBit = -1; // no mode check unless a test asks for it
    return c;
}

// Six data bytes: [0] mode, [1..3] x y z around 128, [4] select, [5] spare.
std::vector<uint8_t> Report(int x, int y, int z, int select = 0, int mode = 0)
{
    return {static_cast<uint8_t>(mode),    static_cast<uint8_t>(128 + x), static_cast<uint8_t>(128 + y),
            static_cast<uint8_t>(128 + z), static_cast<uint8_t>(select),  0};
}

} // namespace

TEST(JoystickController, CoarseButtonsFollowTheStickAndReleaseAtTheCentre)
{
    Recorder rec;
    TJoystickController c(StickConfig(), rec.Actions());
    auto send = [&](std::vector<uint8_t> r, bool feedbackOff = false, bool approached = false, double now = 0) {
        c.Handle(r.data(), static_cast<int>(r.size()), feedbackOff, approached, now);
    };

    // Exactly the tolerance counts as centred.
    send(Report(5, -5, 5));
    EXPECT_TRUE(rec.Take().isEmpty());

    // x dominant, positive: button 4; then y takes over while it stays held.
    send(Report(40, 10, 0));
    EXPECT_EQ(rec.Take(), (QStringList{"press 4", "repeat 40"}));
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisX);
    send(Report(10, -60, 0));
    EXPECT_EQ(rec.Take(), (QStringList{"repeat 60"}));
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisY);
    send(Report(0, 0, 0));
    EXPECT_EQ(rec.Take(), (QStringList{"release"}));
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisNone);
    send(Report(0, 0, 0));
    EXPECT_TRUE(rec.Take().isEmpty());

    // z wins over x and y; negative z retracts.
    send(Report(90, 90, -20));
    EXPECT_EQ(rec.Take(), (QStringList{"press 2", "repeat 20"}));
    send(Report(0, 0, 0));
    rec.Take();
    send(Report(-30, 0, 0));
    EXPECT_EQ(rec.Take(), (QStringList{"press 3", "repeat 30"}));
    send(Report(0, 0, 0));
    rec.Take();

    // A disabled button is not pressed.
    rec.Disabled = {5};
    send(Report(0, -50, 0));
    EXPECT_TRUE(rec.Take().isEmpty());
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisNone);

    // With the feedback off the tip moves (y inverted), approached or not.
    send(Report(20, 30, 0), true, true);
    EXPECT_EQ(rec.Take(), (QStringList{"move 20 -30 0"}));
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisPoint);
    send(Report(0, 0, 0), true, true);
    EXPECT_EQ(rec.Take(), (QStringList{"move 0 0 0"}));
    EXPECT_EQ(c.ActiveAxis(), TJoystickController::AxisNone);

    // Five data bytes update nothing that moves; an index beyond them reads 0.
    std::vector<uint8_t> shortReport = {0, 200, 200, 200, 0};
    c.Handle(shortReport.data(), 5, false, false, 0);
    EXPECT_TRUE(rec.Take().isEmpty());
    const TJoystickReading r = DecodeJoystickReport(StickConfig(), shortReport.data(), 3);
    EXPECT_EQ(r.X, 72);
    EXPECT_EQ(r.Z, 0);
}

TEST(JoystickController, WarningsAreThrottledAndThePointIsTakenOnThePress)
{
    Recorder rec;
    TJoystickConfig cfg = StickConfig();
    TJoystickController c(cfg, rec.Actions());
    auto send = [&](std::vector<uint8_t> r, double now) {
        c.Handle(r.data(), static_cast<int>(r.size()), false, true, now);
    };
    const QString approached = "warn " + TJoystickController::ApproachedText;
    send(Report(50, 0, 0), 1.0);
    EXPECT_EQ(rec.Take(), (QStringList{approached}));
    send(Report(50, 0, 0), 1.0 + 6.8e-4);
    EXPECT_TRUE(rec.Take().isEmpty()) << "within a minute";
    send(Report(50, 0, 0), 1.0 + 7.0e-4);
    EXPECT_EQ(rec.Take(), (QStringList{approached}));
    EXPECT_DOUBLE_EQ(c.LastWarning(), 1.0 + 7.0e-4);

    send(Report(0, 0, 0, 3), 2.0);
    send(Report(0, 0, 0, 3), 2.0);
    send(Report(0, 0, 0, 0), 2.0);
    send(Report(0, 0, 0, 4), 2.0);
    EXPECT_EQ(rec.Take(), (QStringList{"point 3", "point 4"}));

    // The default mode keys: an odd first byte is the wrong mode, read only
    // when the report holds it.
    cfg.JoyModeBit = 0;
    TJoystickController m(cfg, rec.Actions());
    std::vector<uint8_t> odd = Report(0, 0, 0, 0, 1);
    m.Handle(odd.data(), 6, false, false, 5.0);
    EXPECT_EQ(rec.Take(), (QStringList{"warn " + TJoystickController::WrongModeText}));
    m.Handle(odd.data(), 0, false, false, 9.0);
    EXPECT_TRUE(rec.Take().isEmpty());
    EXPECT_EQ(cfg.ByteNames().first(), "Mode");
    EXPECT_EQ(cfg.ByteNames().at(4), "Select Point");
}

namespace {

class JoystickOnSim : public DriverLinkFixture {
protected:
    void Start(const QString& joyName)
    {
        ini_->WriteBool("Joystick", "Use", true);
        ini_->WriteString("Joystick", "JoyName", joyName);
        ini_->WriteInteger("Joystick", "JoyItemX", 1);
        ini_->WriteInteger("Joystick", "JoyItemY", 2);
        ini_->WriteInteger("Joystick", "JoyItemZ", 3);
        ini_->WriteInteger("Joystick", "JoyModeBit", 9);
        sim = PlugSim(FastConfig());
        link.FormCreate();
        stepper = std::make_unique<TStepper>(link, ini_.get());
        coarse = std::make_unique<TCoarseForm>();
        coarse->SetStepper(stepper.get());
        coarse->NowMs = [] { return int64_t{0}; };
        coarse->FormCreate();
        backend = std::make_shared<FakeHidBackend>();
        backend->Plug({"/dev/hidraw0", "mouse", "Optical Mouse", 5});
        backend->Plug({"/dev/hidraw1", "stick", "Precision Joystick Pro", 9});
        joystick = std::make_unique<TJoystickForm>(backend);
        joystick->Coarse = coarse.get();
        joystick->FormCreate();
        QCoreApplication::processEvents();
    }
    void TearDown() override
    {
        joystick.reset();
        coarse.reset();
        stepper.reset();
        link.FormDestroy();
        MicroscopeState.ZState = savedZ_;
        DriverLinkFixture::TearDown();
    }
    void Push(std::vector<uint8_t> data)
    {
        data.insert(data.begin(), 0);
        backend->QueueReport("stick", std::move(data));
    }

    int32_t savedZ_ = MicroscopeState.ZState.load();
    std::shared_ptr<sim::SimController> sim;
    TInOutForm link;
    std::unique_ptr<TStepper> stepper;
    std::unique_ptr<TCoarseForm> coarse;
    std::shared_ptr<FakeHidBackend> backend;
    std::unique_ptr<TJoystickForm> joystick;
};

} // namespace

TEST_F(JoystickOnSim, TheNamedStickDrivesTheCoarseButtonsAndErrorsAreTold)
{
    ScriptedMessageResponder boxes;
    MicroscopeState.FeedbackMode = 3;
    MicroscopeState.ZState = ZCoarseRetracted;
    Start("Joystick");
    ASSERT_EQ(joystick->DevListBox()->count(), 2);
    ASSERT_NE(joystick->Selected(), nullptr);
    EXPECT_EQ(joystick->Selected()->PnPInfo().DeviceID, "stick");
    EXPECT_EQ(joystick->Selected()->InputBufferCount(), 128);
    EXPECT_EQ(ini_->ReadString("Joystick", "JoyName", ""), "Precision Joystick Pro");

    Push(Report(0, 0, -127));
    ASSERT_TRUE(PumpUntil([&] { return coarse->HeldButton() != 0; }, 10000));
    EXPECT_EQ(coarse->HeldButton(), 2);
    EXPECT_EQ(coarse->RepeatInterval(), coarse->RepeatFast);
    Push(Report(0, 0, 0));
    ASSERT_TRUE(PumpUntil([&] { return !coarse->Repeating(); }, 10000));
    EXPECT_EQ(joystick->Controller()->ActiveAxis(), 0);
    ExpectNothingHarmed(*sim);

    backend->QueueError("stick", EIO);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Texts().isEmpty(); }, 10000));
    EXPECT_EQ(boxes.LastText(), "HID (Joystick) READ ERROR: " + HidErrorText(EIO) + " (5)");

    // The list is rebuilt when a device comes: the selection goes with it and
    // is found again by its name.
    backend->Plug({"/dev/hidraw2", "kbd", "Keyboard", 8});
    ASSERT_TRUE(PumpUntil([&] { return joystick->DevListBox()->count() == 3; }, 10000));
    ASSERT_NE(joystick->Selected(), nullptr);
    EXPECT_EQ(joystick->Selected()->PnPInfo().DeviceID, "stick");
    backend->Unplug("stick");
    ASSERT_TRUE(PumpUntil([&] { return joystick->DevListBox()->count() == 2; }, 10000));
    EXPECT_EQ(joystick->Selected(), nullptr);
}

TEST_F(JoystickOnSim, AnEmptyNameSelectsNothing)
{
    Start("");
    EXPECT_EQ(joystick->DevListBox()->count(), 2);
    EXPECT_EQ(joystick->Selected(), nullptr);
    EXPECT_EQ(backend->OpenReads(), 0);
}
