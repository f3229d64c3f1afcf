#include "images/SetupForm.h"

#include "device/InOutForm.h"
#include "images/ChildForm.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"
#include "support/DriverLinkFixture.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QThread>
#include <gtest/gtest.h>

#include <chrono>
#include <set>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

void DeleteReleased()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The scan and display side, recorded; the buffers are real.
class FakeAcquisition final : public IChannelAcquisition {
public:
    bool PauseScan() override
    {
        log << "pause";
        const bool was = running;
        running = stuck;
        return was;
    }
    void StartScan() override
    {
        log << "start";
        running = true;
    }
    bool HoldDisplay() override
    {
        log << "hold";
        return true;
    }
    void ReleaseDisplay() override { log << "release"; }
    TImageChannels& Channels() override { return channels; }
    IScanControl& ScanControl() override { return control; }
    void PublishSummary(const TChoiceSummary& s) override { published = s; }

    struct Control final : IScanControl {
        FakeAcquisition& a;
        explicit Control(FakeAcquisition& owner) : a(owner) {}
        bool ScanActive() const override { return a.running; }
        void PauseScan() override { a.running = a.stuck; }
    };

    TChannelTable table;
    TImageChannels channels{&table};
    Control control{*this};
    bool running = false;
    bool stuck = false; // the scan will not stop
    TChoiceSummary published;
    QStringList log;
};

constexpr int Dac1 = 0;
constexpr int Adc1 = FirstAdcSlot;
constexpr int Adc2 = FirstAdcSlot + 1;

class SetupFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMain_ = MainIni;
        savedUser_ = UserIni;
        savedPixels_ = ScanParams.Pixels.load();
        MainIni = &main_;
        UserIni = &user_;
        ScanParams.Pixels = 32;
        // Topography (fast) and two inputs, the second one not fast.
        main_.WriteBool("Scale", "DAC1CheckBox1", true);
        main_.WriteString("Scale", "DAC1Label2", "Topography");
        main_.WriteBool("Scale", "DAC1CheckBoxFast", true);
        main_.WriteBool("Scale", "ADC1CheckBox1", true);
        main_.WriteString("Scale", "ADC1Label2", "Current");
        main_.WriteBool("Scale", "ADC2CheckBox1", true);
        area_.resize(800, 600);
    }

    void TearDown() override
    {
        form_.reset();
        DeleteReleased();
        MainIni = savedMain_;
        UserIni = savedUser_;
        ScanParams.Pixels = savedPixels_;
    }

    void Create()
    {
        auto acq = std::make_unique<FakeAcquisition>();
        acq_ = acq.get();
        form_ = std::make_unique<TSetupForm>(std::move(acq), &area_);
        form_->FastSpeedButtonDown = [this] { return fast_; };
        // Refilled once the buffer exists, so its place in the log shows the allocation.
        form_->FillChannelComboBox = [this] { acq_->log << "filled"; };
        form_->FormCreate();
    }

    TChildForm* Window(int slot, int plane) const
    {
        for (TChildForm* w : form_->ImageWindows())
            if (w->BufferIndex() == ImageChannelIndex(slot, plane))
                return w;
        return nullptr;
    }

    TempDir dir_;
    TQVTIniFile main_{dir_.Path() + "qvt.ini"};
    TQVTIniFile user_{dir_.Path() + "user.ini"};
    ScriptedMessageResponder boxes_;
    QMdiArea area_;
    FakeAcquisition* acq_ = nullptr;
    std::unique_ptr<TSetupForm> form_;
    bool fast_ = false;

private:
    TQVTIniFile* savedMain_ = nullptr;
    TQVTIniFile* savedUser_ = nullptr;
    int16_t savedPixels_ = 0;
};

} // namespace

TEST(ChannelSwitcher, NestedPausesShareTheOutermostAndFreeingClosesOnlyWhenFreed)
{
    const int16_t savedPixels = ScanParams.Pixels.load();
    ScanParams.Pixels = 16;
    ScriptedMessageResponder boxes;
    FakeAcquisition acq;
    TChannelSwitcher switcher(acq);
    ASSERT_TRUE(acq.channels.AllocChannelBuffer(3));

    // Idle scan: paused and held once, never started.
    {
        TChannelSwitcher::TPause outer(switcher);
        TChannelSwitcher::TPause inner(switcher);
        std::vector<int> closed;
        EXPECT_TRUE(switcher.SwitchOff(1, PlaneFwd, [&](int index) { closed.push_back(index); }));
        EXPECT_EQ(closed, std::vector<int>{3});
        EXPECT_FALSE(acq.channels[3].HasBuffer());
        // Freeing what is not there succeeds and closes whatever is left of it.
        EXPECT_TRUE(switcher.SwitchOff(1, PlaneFwd, [&](int index) { closed.push_back(index); }));
        EXPECT_EQ(closed.size(), 2u);
    }
    EXPECT_EQ(acq.log, (QStringList{"pause", "hold", "release"}));

    // A running scan that does not stop keeps its buffer and the window.
    ASSERT_TRUE(acq.channels.AllocChannelBuffer(3));
    acq.running = true;
    acq.stuck = true;
    bool closed = false;
    {
        TChannelSwitcher::TPause pause(switcher);
        EXPECT_FALSE(switcher.SwitchOff(1, PlaneFwd, [&](int) { closed = true; }));
    }
    EXPECT_FALSE(closed);
    EXPECT_TRUE(acq.channels[3].HasBuffer());
    EXPECT_EQ(boxes.LastText(), "Scan is not paused!\r Please stop scan first.");
    ScanParams.Pixels = savedPixels;
}

TEST_F(SetupFormTest, GridNamesBoxesAndReopensTheSavedWindowsWithTheirModes)
{
    main_.WriteBool("Window", "CheckBox126", true);
    user_.WriteInteger("ADC1_0", "SlopeGain", 2);
    user_.WriteInteger("ADC1_0", "SlopeSlop", 1);
    user_.WriteInteger("ADC1_0", "Left", 40);
    user_.WriteInteger("ADC1_0", "Top", 50);
    user_.WriteInteger("ADC1_0", "Width", 300);
    user_.WriteFloat("ADC1_0", "ManualRange", 3.0);
    Create();

    EXPECT_EQ(form_->windowTitle(), "Acquire");
    EXPECT_EQ(form_->BoxCount, 9);
    QStringList names;
    for (TMyCheckBox* box : form_->Boxes())
        names << box->objectName();
    EXPECT_EQ(names, (QStringList{"CheckBox100", "CheckBox200", "CheckBox300", "CheckBox126", "CheckBox226",
                                  "CheckBox326", "CheckBox127", "CheckBox227", "CheckBox327"}));
    EXPECT_EQ(form_->Box(Adc1, PlaneBwd)->toolTip(), "Revers");
    EXPECT_EQ(form_->Box(Adc1, PlaneBwd)->geometry(), QRect(167, 16, 17, 16));
    EXPECT_EQ(form_->Box(Dac1, PlaneFly)->Tag, 2);
    EXPECT_EQ(form_->Box(Adc1 + 5, PlaneFwd), nullptr); // not listed

    ASSERT_TRUE(form_->Box(Adc1, PlaneFwd)->isChecked());
    ASSERT_EQ(form_->ImageWindows().size(), 1);
    TChildForm* w = Window(Adc1, PlaneFwd);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), "Current  Fwd");
    EXPECT_EQ(w->Section, "ADC1_0");
    EXPECT_EQ(w->Renderer().GainMode, 2);
    EXPECT_EQ(w->Renderer().SlopeMode, 1);
    EXPECT_DOUBLE_EQ(w->GetManualRange(), 3.0);
    ASSERT_NE(w->SubWindow(), nullptr);
    EXPECT_EQ(w->SubWindow()->pos(), QPoint(40, 50));
    EXPECT_EQ(w->SubWindow()->width(), 300);
    EXPECT_TRUE(w->SubWindow()->isVisibleTo(&area_));
    EXPECT_EQ(w->CheckBox, form_->Box(Adc1, PlaneFwd));

    const TDaten& buffer = acq_->channels[ImageChannelIndex(Adc1, PlaneFwd)];
    EXPECT_EQ(buffer.Rows(), 32);
    EXPECT_EQ(buffer.Name, "Current");
    EXPECT_EQ(buffer.Suffix, "Fwd");
    // One pause over the whole grid; the list refilled for the buffer and at creation.
    EXPECT_EQ(acq_->log, (QStringList{"pause", "hold", "filled", "release", "filled"}));

    // A window without saved geometry lands at 3 × its buffer index, 256 wide.
    form_->Box(Adc2, PlaneBwd)->setChecked(true);
    TChildForm* second = Window(Adc2, PlaneBwd);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->SubWindow()->pos(), QPoint(3 * 82, 3 * 82));
    EXPECT_EQ(second->SubWindow()->width(), 256);
    EXPECT_EQ(second->windowTitle(), "ADC2  Bwd");
    EXPECT_TRUE(main_.ReadBool("Window", "CheckBox227", false));
    EXPECT_TRUE(form_->AnyBackwardChecked);
    EXPECT_TRUE(acq_->published.AnyBackward);
}

TEST_F(SetupFormTest, CheckingPausesHoldsAllocatesAndResumesAndARefusalLeavesTheBoxOff)
{
    Create();
    acq_->running = true;
    acq_->log.clear();

    TMyCheckBox* box = form_->Box(Adc1, PlaneFwd);
    box->setChecked(true);
    EXPECT_EQ(acq_->log, (QStringList{"pause", "hold", "filled", "release", "start"}));
    ASSERT_NE(Window(Adc1, PlaneFwd), nullptr);
    EXPECT_TRUE(main_.ReadBool("Window", "CheckBox126", false));

    // Unchecking writes the window's settings and frees it mid-scan.
    Window(Adc1, PlaneFwd)->SetGainMode(3);
    acq_->log.clear();
    box->setChecked(false);
    DeleteReleased();
    EXPECT_EQ(acq_->log, (QStringList{"pause", "hold", "release", "start"}));
    EXPECT_TRUE(form_->ImageWindows().isEmpty());
    EXPECT_TRUE(area_.subWindowList().isEmpty());
    EXPECT_FALSE(acq_->channels[ImageChannelIndex(Adc1, PlaneFwd)].HasBuffer());
    EXPECT_EQ(user_.ReadInteger("ADC1_0", "SlopeGain", -1), 3);
    EXPECT_FALSE(main_.ReadBool("Window", "CheckBox126", true));

    // Out of memory: told once, the box back off without a second pass,
    // [Window] false, and the scan running again.
    acq_->log.clear();
    TDaten::SetAllocationFailureHook([](std::size_t) { return true; });
    box->setChecked(true);
    TDaten::SetAllocationFailureHook({});
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(boxes_.Texts(), QStringList{"Not enough memory!"});
    EXPECT_EQ(acq_->log, (QStringList{"pause", "hold", "release", "start"}));
    EXPECT_TRUE(acq_->running);
    EXPECT_FALSE(main_.ReadBool("Window", "CheckBox126", true));
    EXPECT_TRUE(form_->ImageWindows().isEmpty());
}

TEST_F(SetupFormTest, FastModeClosesBackwardLiftAndSlowChannelsAndKeepsTheirChoice)
{
    Create();
    form_->Box(Dac1, PlaneFwd)->setChecked(true);
    form_->Box(Dac1, PlaneBwd)->setChecked(true);
    form_->Box(Adc1, PlaneFwd)->setChecked(true);
    form_->Box(Adc1, PlaneFly)->setChecked(true);
    ASSERT_EQ(form_->ImageWindows().size(), 4);
    EXPECT_TRUE(form_->AnyFlyChecked);

    fast_ = true;
    form_->BuildGrid();
    DeleteReleased();
    ASSERT_EQ(form_->ImageWindows().size(), 1);
    EXPECT_NE(Window(Dac1, PlaneFwd), nullptr);
    EXPECT_EQ(area_.subWindowList().size(), 1);
    EXPECT_TRUE(form_->Box(Dac1, PlaneFwd)->isEnabled());
    for (auto [slot, plane] : {std::pair{Dac1, PlaneBwd}, {Adc1, PlaneFwd}, {Adc1, PlaneFly}, {Adc2, PlaneFwd}}) {
        EXPECT_FALSE(form_->Box(slot, plane)->isChecked()) << slot << "/" << plane;
        EXPECT_FALSE(form_->Box(slot, plane)->isEnabled()) << slot << "/" << plane;
        EXPECT_FALSE(acq_->channels[ImageChannelIndex(slot, plane)].HasBuffer());
    }
    EXPECT_FALSE(form_->AnyBackwardChecked);
    EXPECT_FALSE(form_->AnyFlyChecked);
    EXPECT_TRUE(main_.ReadBool("Window", "CheckBox200", false)); // waits for the normal scan

    fast_ = false;
    form_->BuildGrid();
    DeleteReleased();
    EXPECT_EQ(form_->ImageWindows().size(), 4);
    EXPECT_TRUE(form_->Box(Adc1, PlaneFly)->isChecked());
    EXPECT_TRUE(form_->AnyBackwardChecked);
}

TEST_F(SetupFormTest, LiftBoxTurnsOnTheFirstForwardBox)
{
    Create();
    ASSERT_FALSE(form_->Box(Dac1, PlaneFwd)->isChecked());
    form_->Box(Adc2, PlaneFly)->setChecked(true);
    EXPECT_TRUE(form_->Box(Dac1, PlaneFwd)->isChecked());
    EXPECT_NE(Window(Dac1, PlaneFwd), nullptr);
    EXPECT_NE(Window(Adc2, PlaneFly), nullptr);
    EXPECT_TRUE(main_.ReadBool("Window", "CheckBox100", false));
    EXPECT_TRUE(form_->AnyFlyChecked);
    EXPECT_TRUE(acq_->published.AnyFly);
    EXPECT_FALSE(acq_->published.TurnOnFirstForward);
}

TEST_F(SetupFormTest, ClosingAnImageWindowUnchecksItsBoxAndAnInvisibleChannelHasNone)
{
    main_.WriteBool("WindowInvisible", "ADC2", true);
    Create();
    form_->Box(Adc1, PlaneFwd)->setChecked(true);
    TChildForm* w = Window(Adc1, PlaneFwd);
    ASSERT_NE(w, nullptr);
    area_.show();
    w->SubWindow()->close();                              // the frame's close button
    EXPECT_TRUE(form_->Box(Adc1, PlaneFwd)->isChecked()); // the close itself was refused
    ASSERT_TRUE(PumpUntil([&] { return !form_->Box(Adc1, PlaneFwd)->isChecked(); }, 2000));
    DeleteReleased();
    EXPECT_TRUE(form_->ImageWindows().isEmpty());
    EXPECT_FALSE(acq_->channels[ImageChannelIndex(Adc1, PlaneFwd)].HasBuffer());

    // Acquired without a window to see, and not to be switched off from the grid.
    form_->Box(Adc2, PlaneFwd)->setChecked(true);
    EXPECT_TRUE(acq_->channels[ImageChannelIndex(Adc2, PlaneFwd)].HasBuffer());
    ASSERT_NE(Window(Adc2, PlaneFwd), nullptr);
    EXPECT_FALSE(Window(Adc2, PlaneFwd)->isVisible());
    EXPECT_FALSE(form_->Box(Adc2, PlaneFwd)->isEnabled());
}

// ---- on the simulated controller ------------------------------------------------------

namespace {

// The main window's part of a frame's end: every image window redraws the
// finished frame; the scan goes on ("Continuous Scan").
class ContinuousHost final : public IScanHost {
public:
    bool RepeatButtonDown() const override { return true; }
    void FinishFrame() override
    {
        ++frames;
        if (SetupForm != nullptr)
            for (TChildForm* w : SetupForm->ImageWindows())
                w->RecalcPictureRange();
    }
    int frames = 0;
};

bool Filled(const TDaten& d, int row)
{
    const TImageMatrixPtr m = d.Data();
    if (!m)
        return false;
    for (int c = 0; c < m->Cols(); ++c)
        if (m->At(row, c) == 0)
            return false;
    return true;
}

} // namespace

using SetupFormOnSimulator = DriverLinkFixture;

TEST_F(SetupFormOnSimulator, TopographyBothWaysFillsLiveAndOneWindowGoesMidScan)
{
    sim::SimConfig config = FastConfig();
    config.LogRequests = false;
    // Terraces and a grating on a gentle slope, a few of each in the frame.
    config.Surface.Base = 3000.0;
    config.Surface.TiltX = 0.02;
    config.Surface.TiltY = -0.01;
    config.Surface.StepHeight = 150.0;
    config.Surface.TerraceWidth = 1500.0;
    config.Surface.StepAngle = 0.5;
    config.Surface.GratingHeight = 100.0;
    config.Surface.GratingPeriod = 2000.0;
    config.Surface.Noise = 2.0;
    auto sim = PlugSim(config);
    TempDir userDir;
    TQVTIniFile user(userDir.Path() + "user.ini");
    TQVTIniFile* savedUser = UserIni;
    UserIni = &user;
    const int16_t savedPixels = ScanParams.Pixels.load();
    const float savedRange = ScanParams.Range.load();
    const float savedSpeed = ScanParams.Speed.load();
    ini_->WriteBool("Scale", "DAC1CheckBox1", true);
    ini_->WriteString("Scale", "DAC1Label2", "Topography");
    ini_->WriteString("Scale", "DAC1Edit1", "nm");
    ini_->WriteFloat("Scale", "DAC1Edit2", 0.01);
    ini_->WriteInteger("Scale", "DAC1Edit3", -32000);
    ini_->WriteInteger("Scale", "DAC1Edit4", 32000);
    ini_->WriteBool("Scale", "ADC1CheckBox1", true);
    user.WriteInteger("DAC1_1", "Left", 270);
    user.WriteInteger("DAC1_1", "Top", 0);

    {
        TInOutForm device;
        device.FormCreate();
        ASSERT_FALSE(device.StartFailed());
        TDeviceWorkers workers(device);
        workers.FormCreate();
        ContinuousHost host;
        workers.GoXYThread().SetHost(&host);
        ScanParams.Pixels = 64;
        ScanParams.Range = 6400.0f;
        ScanParams.Speed = 100.0f;
        ScanParams.CurrentLine = 1;

        QMainWindow main;
        auto* area = new QMdiArea(&main);
        main.setCentralWidget(area);
        main.resize(560, 320);
        main.show();
        {
            TSetupForm setup(workers, area);
            setup.FormCreate();
            setup.Box(Dac1, PlaneFwd)->setChecked(true);
            setup.Box(Dac1, PlaneBwd)->setChecked(true);
            ASSERT_EQ(setup.ImageWindows().size(), 2);
            EXPECT_TRUE(workers.GoXYThread().AnyBackwardChecked);
            TDaten& fwd = workers.GoXYThread().Channels[ImageChannelIndex(Dac1, PlaneFwd)];
            TDaten& bwd = workers.GoXYThread().Channels[ImageChannelIndex(Dac1, PlaneBwd)];

            ASSERT_TRUE(workers.StartScan());
            ASSERT_TRUE(PumpUntil([&] { return host.frames >= 1; }));
            EXPECT_TRUE(Filled(fwd, 0) && Filled(fwd, 63));
            EXPECT_TRUE(Filled(bwd, 0) && Filled(bwd, 63));
            DeleteReleased();
            // Both pictures drawn from the finished frame, not the mid-grey of a fresh window.
            for (TChildForm* w : setup.ImageWindows()) {
                const TIndexedBitmap& b = w->Renderer().Bitmap();
                std::set<int> shades;
                for (int y = 0; y < b.Height(); ++y)
                    shades.insert(b.Row(y), b.Row(y) + b.Width());
                EXPECT_GT(shades.size(), 20u) << w->windowTitle().toStdString();
            }
            const QImage grab = main.grab().toImage();
            EXPECT_FALSE(grab.isNull());
            const QByteArray grabDir = qgetenv("QVT_GRAB_DIR");
            if (!grabDir.isEmpty())
                grab.save(QDir(QString::fromLocal8Bit(grabDir)).filePath("acquire_topography.png"));

            // Backward off in the middle of a running scan.
            ASSERT_TRUE(PumpUntil([&] {
                const int line = ScanParams.CurrentLine.load();
                return line > 10 && line < 50;
            }));
            ASSERT_FALSE(workers.GoXYThread().Suspended());
            setup.Box(Dac1, PlaneBwd)->setChecked(false);
            DeleteReleased();
            EXPECT_FALSE(bwd.HasBuffer());
            EXPECT_EQ(setup.ImageWindows().size(), 1);
            EXPECT_FALSE(workers.GoXYThread().AnyBackwardChecked);
            EXPECT_TRUE(workers.GoXYThread().Running); // resumed

            // The scan goes on with the forward pass alone.
            const int framesBefore = host.frames;
            fwd.Data()->Store(5, 5, 0);
            ASSERT_TRUE(PumpUntil([&] { return host.frames >= framesBefore + 2; }));
            EXPECT_NE(fwd.Data()->At(5, 5), 0);
            EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();

            workers.PauseScan();
            setup.FormDestroy();
        }
        DeleteReleased();
        workers.FormDestroy();
        device.FormDestroy();
    }
    EXPECT_EQ(sim->GuardViolationCount(), 0);
    UserIni = savedUser;
    ScanParams.Pixels = savedPixels;
    ScanParams.Range = savedRange;
    ScanParams.Speed = savedSpeed;
    ScanParams.CurrentLine = 1;
}
