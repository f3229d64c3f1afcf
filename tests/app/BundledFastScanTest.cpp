// The fast scan as an operator meets it: the program started on the bundled
// settings with the simulated controller set up as a type-29 box, the Fast
// button down, frames streamed into the image windows, the scan stopped.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "calib/ScannerForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "device/LockInRequests.h"
#include "lockin/DncForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "navigator/SelForm.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastScanThread.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "scan/SmartFeedbackForm.h"
#include "script/ScriptThread.h"
#include "sim/SimController.h"
#include "sim/SimSurface.h"
#include "spectro/SpektForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace qvt;

namespace {
// The simulated controller as a type-29 box on a fast clock; `topography`
// makes the topography one of the channels the module streams.
void UseFastType29(test::TempDir& dir, bool topography)
{
    TQVTIniFile sim(dir.Path() + "ini/sim.ini");
    sim.WriteInteger("Controller", "Type", 29);
    sim.WriteString("Clock", "Mode", "Fast");
    // The bundled settings stream the topography; without it no channel is fast.
    TQVTIniFile main(dir.Path() + "ini/qvt.ini");
    main.WriteBool("Scale", "DAC1CheckBoxFast", topography);
}
} // namespace

TEST(BundledFastScan, TheFastButtonStreamsFrameAfterFrameIntoTheImageWindowsAndStops)
{
    test::TempDir dir;
    ASSERT_TRUE(test::CopyBundledSettings(dir));
    {
        TQVTIniFile sim(dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", 29);
        sim.WriteString("Clock", "Mode", "Fast");
        // The topography is one of the channels the module streams.
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
        // A type-29 box reads its slow and fast z sensors on inputs 20 and 22.
        main.WriteInteger("Scale", "ADC20Edit0", 20);
        main.WriteInteger("Scale", "ADC21Edit0", 22);
    }
    test::TempDir runtime;
    struct RestoreRuntime {
        QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        ~RestoreRuntime() { qputenv("XDG_RUNTIME_DIR", saved); }
    } restoreRuntime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.Path().chopped(1)));
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    MainQVTForm->resize(1600, 1000);
    MainQVTForm->show();
    QCoreApplication::processEvents();
    auto linkTime = std::make_shared<double>(0.0);
    InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
    StartUp();
    ASSERT_NE(SmartFeedbackForm, nullptr);
    EXPECT_TRUE(SmartFeedbackForm->ModulePresent());

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    ASSERT_TRUE(fast->isEnabled());
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    auto* spect = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    spect->click();
    ASSERT_TRUE(SpektForm->isVisible());
    ASSERT_TRUE(SpektForm->ScanButton->isEnabled());
    fast->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    // The stream holds the controller: no spectroscopy beside it, whichever way its window is reached.
    EXPECT_FALSE(spect->isEnabled());
    EXPECT_FALSE(SpektForm->isVisible());
    EXPECT_FALSE(SpektForm->ScanButton->isEnabled());
    MainQVTForm->MenuItem("SpectroscopyItem")->trigger();
    EXPECT_FALSE(SpektForm->ScanButton->isEnabled());
    SpektForm->close();
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.FramesDone() >= 3; }));
    fast->click(); // not while the scan runs
    EXPECT_TRUE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_TRUE(DeviceWorkers->GoXYThread().Suspended()); // the controller scans, not the moves
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(MainQVTForm->grab().toImage().save("temp/BundledFastScan.png"));
    SmartFeedbackForm->show();
    SmartFeedbackForm->Timer1Timer();
    EXPECT_TRUE(SmartFeedbackForm->grab().toImage().save("temp/BundledHighSpeedSettings.png"));
    SmartFeedbackForm->hide();

    // The Topography windows got the stream: the forward buffer is no longer flat.
    const TImageMatrixPtr z = DeviceWorkers->GoXYThread().Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data();
    ASSERT_TRUE(z);
    EXPECT_NE(z->At(10, 5), z->At(10, 50));

    auto* simulator = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(simulator, nullptr);
    MainQVTForm->ScanButton()->click(); // released: the stream stops
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.Suspended(); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(MainQVTForm->ScanButtonDown());
    // The module streams no more; its loop holds the tip while the Fast button is down.
    EXPECT_EQ(simulator->FastScanControl() & (HscDmaOn | HscScanOn | HscFeedbackOn), HscFeedbackOn);
    fast->click();
    EXPECT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(simulator->FastScanControl() & (HscDmaOn | HscScanOn | HscFeedbackOn), 0);
    EXPECT_TRUE(spect->isEnabled());
    EXPECT_TRUE(SpektForm->ScanButton->isEnabled());

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

TEST(BundledFastScan, WithoutAFastChannelTheFastButtonSaysSoAndLeavesTheWindows)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, false);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    const int windows = static_cast<int>(MainQVTForm->ImageWindows().size());
    ASSERT_GT(windows, 0); // the topography's windows of the bundled choice
    auto* simulator = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(simulator, nullptr);
    const int32_t control = simulator->FastScanControl();
    const int32_t pixelStep = InOutForm->ReadReg(129);

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    ASSERT_TRUE(fast->isEnabled());
    boxes.Clear(); // the start's own remarks on a type-29 copy of the settings
    fast->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(MainQVTForm->ImageWindows().size(), windows);
    // The module was not asked for anything: no switch, no generator set up.
    EXPECT_EQ(simulator->FastScanControl(), control);
    EXPECT_EQ(InOutForm->ReadReg(129), pixelStep);
    ASSERT_EQ(boxes.Texts().size(), 1) << boxes.Texts().join(" / ").toStdString();
    EXPECT_TRUE(boxes.Texts()[0].startsWith("No fast channel chosen!"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

TEST(BundledFastScan, ASpeedEnteredWhileTheFastButtonIsDownReachesTheGenerator)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, true);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    const int32_t pixelStep20 = InOutForm->ReadReg(129);
    EXPECT_NE(pixelStep20, 0);

    // A new speed with the scan not yet started: the generator's pixel step
    // and the line frequency follow at once.
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "40"));
    const int32_t pixelStep40 = InOutForm->ReadReg(129);
    EXPECT_NEAR(static_cast<double>(pixelStep40), 2.0 * pixelStep20, 2.0);
    // The generator's pixel clock (register 3, 16e7 / 2^32 Hz a digit) runs at the new line frequency.
    auto* simulator = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(simulator, nullptr);
    const double clockHz = static_cast<uint32_t>(simulator->Register(3)) * 16.0e7 / 4294967296.0;
    EXPECT_NEAR(clockHz, 64 * 1.05 * 2.0 * 40.0, 64 * 2.0 * 40.0 * 0.1);
    EXPECT_NEAR(thread.LineFrequency.load(), clockHz, 1.0);

    // Without the Fast button the generator is left alone.
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "10"));
    EXPECT_EQ(InOutForm->ReadReg(129), pixelStep40);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// The high-speed window keeps its line delay in the scanner's file, which the
// scanner window holds open: the exit writes it before that file is closed.
TEST(BundledFastScan, TheHighSpeedLineDelayTypedIsThereAtTheNextStart)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, false);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SmartFeedbackForm, nullptr);
    ASSERT_NE(ScannerForm, nullptr);
    auto* delay = SmartFeedbackForm->findChild<TNumericEdit*>("Edit4");
    ASSERT_NE(delay, nullptr);
    delay->selectAll();
    QTest::keyClicks(delay, "3");
    QTest::keyClick(delay, Qt::Key_Return);
    ASSERT_EQ(delay->Color(), EditColor::White);
    const QString scannerFile = ScannerForm->ScannerIni()->FileName();
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_EQ(TQVTIniFile(scannerFile).ReadString("FilterY", "delay", "none"), "3");

    ASSERT_TRUE(program.Start());
    ASSERT_NE(SmartFeedbackForm, nullptr);
    delay = SmartFeedbackForm->findChild<TNumericEdit*>("Edit4");
    ASSERT_NE(delay, nullptr);
    EXPECT_EQ(delay->text(), "3");
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// The Fast button and its menu item follow one rule through every layout
// pass: hidden where the controller has no fast scan, there where it has.
TEST(BundledFastScan, TheFastButtonIsHiddenLikeItsMenuItemWithoutAFastScan)
{
    for (const int type : {26, 29}) {
        SCOPED_TRACE(type);
        test::BundledProgram program;
        ASSERT_TRUE(program.Copied);
        if (type == 29)
            UseFastType29(program.Dir, true);
        ScriptedMessageResponder boxes;
        ASSERT_TRUE(program.Start());
        QToolButton* fast = MainQVTForm->FastSpeedButton();
        QAction* item = MainQVTForm->MenuItem("HighSpeedItem");
        ASSERT_NE(item, nullptr);
        for (const int width : {1200, 1500, 900}) {
            MainQVTForm->resize(width, 700); // the tool bar is laid out anew
            QCoreApplication::processEvents();
            EXPECT_EQ(fast->isVisible(), type == 29) << width;
            EXPECT_EQ(item->isVisible(), type == 29) << width;
            EXPECT_EQ(fast->isEnabled(), type == 29) << width;
        }
        EXPECT_TRUE(MainQVTForm->close());
        DestroyAllForms();
    }
}

namespace {

// The bundled settings as a type-29 box on a fast clock, nothing else
// changed: whatever the fast scan needs must already be in them. `edit`
// changes the simulator's copy further.
class BundledType29 : public ::testing::Test {
protected:
    void Start(const std::function<void(TQVTIniFile&)>& edit = nullptr)
    {
        ASSERT_TRUE(program_.Copied);
        saveDir_ = program_.Dir.Path() + "scans";
        ASSERT_TRUE(QDir().mkpath(saveDir_));
        {
            TQVTIniFile sim(program_.Dir.Path() + "ini/sim.ini");
            sim.WriteInteger("Controller", "Type", 29);
            sim.WriteString("Clock", "Mode", "Fast");
            if (edit)
                edit(sim);
            TQVTIniFile main(program_.Dir.Path() + "ini/qvt.ini");
            main.WriteString("Save", "Path", saveDir_);
        }
        ASSERT_TRUE(program_.Create());
        MainQVTForm->show();
        StartUp();
        QCoreApplication::processEvents();
        sim_ = dynamic_cast<sim::SimController*>(InOutForm->Driver());
        ASSERT_NE(sim_, nullptr);
    }
    void TearDown() override
    {
        if (MainQVTForm != nullptr) {
            EXPECT_TRUE(MainQVTForm->close());
            DestroyAllForms();
        }
        MicroscopeState.ZState = ZCoarseRetracted;
    }
    void Approach()
    {
        ScanParaForm->DownButton()->click();
        // The bound only proves that the approach ends.
        ASSERT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
        ASSERT_EQ(MicroscopeState.ZState.load(), ZApproached);
        ASSERT_EQ(sim_->CrashCount(), 0);
    }
    // The instrument's time passes by the driver's own wait.
    void Wait(int ms)
    {
        for (int i = 0; i < ms / 10; ++i) {
            InOutForm->DelayUs(10000);
            QCoreApplication::processEvents();
        }
    }
    QString Crashes() const
    {
        QStringList texts;
        for (const sim::SimCrash& c : sim_->Crashes())
            texts << sim::SimController::CrashText(c);
        return texts.join(" / ");
    }

    test::BundledProgram program_;
    ScriptedMessageResponder boxes_;
    sim::SimController* sim_ = nullptr;
    QString saveDir_;
};

// The raw topography of a saved set, rows of `pixels` words.
std::vector<double> Topography(const QString& file, int pixels)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    if (bytes.size() != 4 * pixels * pixels)
        return {};
    std::vector<double> v(static_cast<size_t>(pixels * pixels));
    for (int i = 0; i < pixels * pixels; ++i)
        v[static_cast<size_t>(i)] = qFromLittleEndian<int32_t>(bytes.constData() + 4 * i);
    return v;
}

// How a measured frame stands against the sample it was measured on.
struct FrameFit {
    int RowShift = 99;      // rows the sample must move to meet the frame best
    int ColumnShift = 99;   // columns likewise
    double Misfit = 1e9;    // share of pixels off by more than half a step there
    double SlopeRows = 0.0; // fitted slope along the rows, measured / sample
    double SlopeColumns = 0.0;
};

// Fitted plane (a + b·column + c·row) of a frame: returns b, c.
std::pair<double, double> PlaneSlopes(const std::vector<double>& v, int p)
{
    double sc = 0, sr = 0, sv = 0, scc = 0, srr = 0, scv = 0, srv = 0;
    const double n = double(p) * p;
    for (int r = 0; r < p; ++r)
        for (int c = 0; c < p; ++c) {
            const double z = v[static_cast<size_t>(r * p + c)];
            sc += c, sr += r, sv += z, scc += double(c) * c, srr += double(r) * r, scv += c * z, srv += r * z;
        }
    // Columns and rows of a full grid are uncorrelated.
    const double b = (scv - sc * sv / n) / (scc - sc * sc / n);
    const double cc = (srv - sr * sv / n) / (srr - sr * sr / n);
    return {b, cc};
}

// The sample's heights under a frame of `p` pixels centred at (xCenter,
// yCenter) nm: pixel (row r, column c) lies as the move-by-move scan lays it,
// the columns along the scan's angle, the rows across it.
class SampleUnderFrame {
public:
    SampleUnderFrame(const sim::SimConfig& config, int p, double xCenter, double yCenter)
        : surface_(config.Surface), p_(p), range_(ScanParams.Range.load()), angle_(ScanParams.Angle.load()),
          nmPerX_(ChannelTable[2].Factor.load()), nmPerY_(ChannelTable[3].Factor.load()), cx_(xCenter / nmPerX_),
          cy_(yCenter / nmPerY_)
    {
    }
    double operator()(int r, int c) const
    {
        const double u = ((c + 0.5) / p_ - 0.5) * range_; // nm along the line
        const double v = ((r + 0.5) / p_ - 0.5) * range_; // nm across the lines
        const double x = cx_ + (std::cos(angle_) * u + std::sin(angle_) * v) / nmPerX_;
        const double y = cy_ + (std::sin(angle_) * u - std::cos(angle_) * v) / nmPerY_;
        return surface_.Height(x, y);
    }

private:
    sim::SimSurface surface_;
    int p_;
    double range_, angle_, nmPerX_, nmPerY_, cx_, cy_;
};

// The frame against the simulated sample under the scan's present area.
FrameFit FitToSample(const std::vector<double>& frame, int p, const sim::SimConfig& config)
{
    const SampleUnderFrame expected(config, p, ScanParams.XCenter.load(), ScanParams.YCenter.load());
    FrameFit best;
    const double step = std::abs(config.Surface.StepHeight);
    // Straight edges match as well shifted along themselves: of the shifts
    // that fit (nearly) best, the smallest is taken.
    std::vector<std::pair<int, int>> shifts;
    for (int dr = -6; dr <= 6; ++dr)
        for (int dc = -6; dc <= 6; ++dc)
            shifts.emplace_back(dr, dc);
    std::stable_sort(shifts.begin(), shifts.end(), [](auto a, auto b) {
        return std::abs(a.first) + std::abs(a.second) < std::abs(b.first) + std::abs(b.second);
    });
    for (const auto [dr, dc] : shifts) {
        std::vector<double> diff;
        for (int r = 8; r < p - 8; ++r)
            for (int c = 8; c < p - 8; ++c)
                diff.push_back(frame[static_cast<size_t>(r * p + c)] - expected(r + dr, c + dc));
        std::vector<double> sorted = diff;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double median = sorted[sorted.size() / 2];
        int off = 0;
        for (const double d : diff)
            off += std::abs(d - median) > 0.5 * step;
        const double misfit = double(off) / double(diff.size());
        if (misfit < best.Misfit - 0.005) {
            best.Misfit = misfit;
            best.RowShift = dr;
            best.ColumnShift = dc;
        }
    }
    std::vector<double> sample(frame.size());
    for (int r = 0; r < p; ++r)
        for (int c = 0; c < p; ++c)
            sample[static_cast<size_t>(r * p + c)] = expected(r, c);
    const auto [mb, mc] = PlaneSlopes(frame, p);
    const auto [sb, sc] = PlaneSlopes(sample, p);
    best.SlopeColumns = mb / sb;
    best.SlopeRows = mc / sc;
    return best;
}

} // namespace

TEST_F(BundledType29, PressingFastAfterAnApproachLeavesTheTipOnTheSurface)
{
    Start();
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
    Approach();
    boxes_.Clear();

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    ASSERT_TRUE(fast->isEnabled());
    fast->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown()) << boxes_.Texts().join(" / ").toStdString();
    Wait(3000);
    EXPECT_EQ(sim_->CrashCount(), 0) << Crashes().toStdString();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    // The tip still feels the sample: the loop holds it there.
    EXPECT_TRUE(sim_->InContact());

    // And back: the move-by-move loop takes over where the module was.
    fast->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    Wait(1000);
    EXPECT_EQ(sim_->CrashCount(), 0) << Crashes().toStdString();
    EXPECT_TRUE(sim_->InContact());
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
}

TEST_F(BundledType29, AFastFrameAfterANormalFrameIsTheSample)
{
    // A linear scanner: the frames are compared with the sample where the
    // outputs put the tip.
    Start([](TQVTIniFile& sim) {
        for (const char* key : {"QuadX", "CubicX", "QuadY", "CubicY"})
            sim.WriteString("Scanner", key, "0");
    });
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit3", "1000"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    Approach();
    MainQVTForm->SaveButtonMouseUp(true); // shift: the automatic save
    ASSERT_TRUE(MainQVTForm->SaveButtonDown());
    int frames = 0;
    QObject::connect(&DeviceWorkers->GoXYThread(), &TGoXYThread::frameDone, [&frames] { ++frames; });
    QObject::connect(&DeviceWorkers->FastScanThread(), &TFastScanThread::frameDone, [&frames] { ++frames; });

    // One normal frame, then the fast scan for a few frames.
    MainQVTForm->RepeatButton()->setChecked(false);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil(
        [] { return DeviceWorkers->GoXYThread().Suspended() && !MainQVTForm->ScanButtonDown(); }, 120000));
    const QStringList normal = QDir(saveDir_).entryList({"*TopographyFwd.int"}, QDir::Files, QDir::Name);
    ASSERT_EQ(normal.size(), 1);
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    MainQVTForm->RepeatButton()->setChecked(true);
    const int before = frames;
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&] { return frames >= before + 4; }, 120000));
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return DeviceWorkers->FastScanThread().Suspended(); }, 120000));
    QCoreApplication::processEvents();
    MainQVTForm->SaveButtonMouseUp(true);
    MainQVTForm->FastSpeedButton()->click();
    EXPECT_EQ(sim_->CrashCount(), 0) << Crashes().toStdString();

    const QStringList all = QDir(saveDir_).entryList({"*TopographyFwd.int"}, QDir::Files, QDir::Name);
    ASSERT_GE(all.size(), 3) << all.join(' ').toStdString();
    for (const QString& name : all) {
        if (normal.contains(name))
            continue; // the move-by-move frame lags by the loop's time
        SCOPED_TRACE(name.toStdString());
        const std::vector<double> frame = Topography(saveDir_ + "/" + name, 64);
        ASSERT_FALSE(frame.empty());
        const FrameFit fit = FitToSample(frame, 64, sim_->Config());
        // Terrace edges where the sample has them, within a pixel; the plane's
        // slope within a pixel's share of the frame along either axis.
        EXPECT_LE(std::abs(fit.RowShift), 1);
        EXPECT_LE(std::abs(fit.ColumnShift), 1);
        EXPECT_LT(fit.Misfit, 0.1);
        EXPECT_NEAR(fit.SlopeRows, 1.0, 1.0 / 64);
        EXPECT_NEAR(fit.SlopeColumns, 1.0, 1.0 / 64);
    }
}

// The high-speed window's switches show the bits the module was last sent,
// however they were sent: at the start, by the Fast button, by their own
// clicks, while the window was hidden.
TEST_F(BundledType29, TheHighSpeedSwitchesShowTheBitsTheModuleWasSent)
{
    // The topography streams, so the Fast button goes down.
    TQVTIniFile(program_.Dir.Path() + "ini/qvt.ini").WriteBool("Scale", "DAC1CheckBoxFast", true);
    Start();
    QAction* item = MainQVTForm->MenuItem("HighSpeedItem");
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(item->isVisible());
    item->trigger();
    ASSERT_TRUE(SmartFeedbackForm->isVisible());
    const int32_t bits[] = {HscDmaOn, HscFeedbackOn, HscScanOn, HscMonoZ};
    // What each box shows: ticked, and painted green over much of its face.
    const auto shown = [&] {
        int32_t word = 0;
        for (int i = 0; i < 4; ++i) {
            QCheckBox* box = SmartFeedbackForm->CheckBox(i);
            const QImage face = box->grab().toImage();
            int green = 0;
            for (int y = 0; y < face.height(); ++y)
                for (int x = 0; x < face.width(); ++x)
                    green += face.pixelColor(x, y) == QColor(0, 200, 0);
            const bool painted = green > face.width() * face.height() / 4;
            EXPECT_EQ(box->isChecked(), painted) << box->text().toStdString();
            if (box->isChecked())
                word |= bits[i];
        }
        return word;
    };
    const auto sent = [this] { return sim_->FastScanControl() & (HscDmaOn | HscFeedbackOn | HscScanOn | HscMonoZ); };

    // At the start everything is off but the scanner's single fast z.
    EXPECT_EQ(sent(), HscMonoZ);
    EXPECT_EQ(shown(), HscMonoZ);

    // The Fast button hands the loop to the module.
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(sent(), HscFeedbackOn | HscMonoZ);
    EXPECT_EQ(shown(), HscFeedbackOn | HscMonoZ);

    // The operator's own clicks: DMA on goes out; Mono z, which the scanner
    // window decides, stays sent and so stays ticked.
    QCheckBox* dma = SmartFeedbackForm->CheckBox(0);
    QTest::mouseClick(dma, Qt::LeftButton, Qt::NoModifier, QPoint(8, dma->height() / 2));
    EXPECT_EQ(sent(), HscDmaOn | HscFeedbackOn | HscMonoZ);
    EXPECT_EQ(shown(), HscDmaOn | HscFeedbackOn | HscMonoZ);
    QCheckBox* mono = SmartFeedbackForm->CheckBox(3);
    QTest::mouseClick(mono, Qt::LeftButton, Qt::NoModifier, QPoint(8, mono->height() / 2));
    EXPECT_EQ(sent(), HscDmaOn | HscFeedbackOn | HscMonoZ);
    EXPECT_EQ(shown(), HscDmaOn | HscFeedbackOn | HscMonoZ);
    SmartFeedbackForm->Pages()->setCurrentIndex(0);
    QDir().mkpath("temp");
    EXPECT_TRUE(SmartFeedbackForm->grab().toImage().save("temp/BundledHighSpeedSwitches.png"));

    // Hidden while the Fast button comes up: shown again, it says so at once.
    SmartFeedbackForm->hide();
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    item->trigger();
    EXPECT_EQ(sent(), HscMonoZ);
    EXPECT_EQ(shown(), HscMonoZ);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
}

namespace {

// The frame's place as its parameter file gives it: the file names the fast
// axis's centre "yCenter".
bool SavedCenter(const QString& file, double& xCenter, double& yCenter)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    int found = 0;
    for (const QString& line : QString::fromLatin1(f.readAll()).split('\n')) {
        const QString value = line.section(':', 1).trimmed();
        if (line.startsWith("yCenter"))
            xCenter = value.toDouble(), found |= 1;
        else if (line.startsWith("xCenter"))
            yCenter = value.toDouble(), found |= 2;
    }
    return found == 3;
}

} // namespace

// The first frame begins part-way (the frame line stands at 20) and the one
// under way when the operator moves the area holds rows of the old place:
// both are shown, neither is saved. Every row of a saved frame is the sample
// where its own file says it was measured, so a row left from an earlier
// frame, at the other place, shows.
TEST(BundledFastScan, TheSaveButtonKeepsOnlyFramesMeasuredFromTheirFirstRow)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    const QString saveDir = program.Dir.Path() + "scans";
    ASSERT_TRUE(QDir().mkpath(saveDir));
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", 29);
        sim.WriteString("Clock", "Mode", "Fast");
        // A linear scanner: the rows are compared with the sample where the outputs put the tip.
        for (const char* key : {"QuadX", "CubicX", "QuadY", "CubicY"})
            sim.WriteString("Scanner", key, "0");
        TQVTIniFile main(program.Dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
        main.WriteString("Save", "Path", saveDir);
        main.WriteBool("Save", "AutoSaveScan", true);
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    auto* simulator = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(simulator, nullptr);
    ASSERT_TRUE(MainQVTForm->SaveButtonDown());
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit3", "1000"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    ScanParams.CurrentLine = 20;
    const double firstX = ScanParams.XCenter.load();
    const double movedX = firstX + 400.0;
    boxes.Clear();

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    MainQVTForm->RepeatButton()->setChecked(true);
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    int frames = 0; // handed to the window thread
    QObject::connect(&thread, &TFastScanThread::frameDone, [&frames] { ++frames; });
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&frames] { return frames >= 3; }));
    // The operator moves the area while the frames stream.
    TNumericEdit* xCenter = ScanParaForm->Edit("Edit7");
    ASSERT_NE(xCenter, nullptr);
    xCenter->selectAll();
    QTest::keyClicks(xCenter, QString::number(movedX));
    QTest::keyClick(xCenter, Qt::Key_Return);
    ASSERT_EQ(ScanParams.XCenter.load(), static_cast<float>(movedX));
    const int moved = frames;
    ASSERT_TRUE(test::PumpUntil([&frames, moved] { return frames >= moved + 4; }));
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.Suspended(); }));
    QCoreApplication::processEvents();
    MainQVTForm->FastSpeedButton()->click();

    // The part-way first frame is never saved; the one the move cut is not,
    // unless the move fell between two frames.
    const QStringList sets = QDir(saveDir).entryList({"*.txt"}, QDir::Files, QDir::Name);
    EXPECT_GE(sets.size(), frames - 2) << sets.join(' ').toStdString();
    EXPECT_LE(sets.size(), frames - 1) << sets.join(' ').toStdString();
    const QStringList images = QDir(saveDir).entryList({"*Fwd.int"}, QDir::Files, QDir::Name);
    ASSERT_EQ(images.size(), sets.size());
    const double step = std::abs(simulator->Config().Surface.StepHeight);
    ASSERT_GT(step, 0.0);
    int atFirst = 0, atMoved = 0;
    for (int i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(images[i].toStdString());
        double x = 0.0, y = 0.0;
        ASSERT_TRUE(SavedCenter(saveDir + "/" + sets[i], x, y));
        atFirst += std::abs(x - firstX) < 1e-3;
        atMoved += std::abs(x - movedX) < 1e-3;
        const std::vector<double> frame = Topography(saveDir + "/" + images[i], 64);
        ASSERT_FALSE(frame.empty());
        const SampleUnderFrame sample(simulator->Config(), 64, x, y);
        std::vector<double> diff(frame.size());
        for (int r = 0; r < 64; ++r)
            for (int c = 0; c < 64; ++c)
                diff[static_cast<size_t>(r * 64 + c)] = frame[static_cast<size_t>(r * 64 + c)] - sample(r, c);
        std::vector<double> sorted = diff;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double offset = sorted[sorted.size() / 2]; // where the loop met the sample
        for (int r = 0; r < 64; ++r) {
            int off = 0;
            for (int c = 0; c < 64; ++c)
                off += std::abs(diff[static_cast<size_t>(r * 64 + c)] - offset) > 0.5 * step;
            // A terrace edge may fall a pixel aside.
            EXPECT_LE(off, 64 / 8) << "row " << r;
        }
    }
    EXPECT_GE(atFirst, 1);
    EXPECT_GE(atMoved, 2);
    EXPECT_EQ(atFirst + atMoved, images.size());

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

// The high-speed window's "f" shows the reference the module runs at: the
// line frequency while the Fast button is down, the leave reference after,
// and the resonance sweep's own reference after a sweep.
TEST_F(BundledType29, TheHighSpeedFrequencyShowsTheReferenceSentThroughTheFastMode)
{
    TQVTIniFile(program_.Dir.Path() + "ini/qvt.ini").WriteBool("Scale", "DAC1CheckBoxFast", true);
    Start();
    auto* f = SmartFeedbackForm->findChild<TNumericEdit*>("Edit6");
    ASSERT_NE(f, nullptr);
    const auto sentWord = [this] { return sim_->Register(RegRefFreq); };
    const auto wordOf = [](const QString& text) { return BuildReferenceFrequency(text.toDouble()).Register3; };

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    const double line = DeviceWorkers->FastScanThread().LineFrequency.load();
    EXPECT_EQ(f->text(), QString::number(static_cast<qint64>(std::trunc(line))));
    EXPECT_EQ(sentWord(), BuildReferenceFrequency(line).Register3);

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(f->text(), "20000");
    EXPECT_EQ(sentWord(), wordOf(f->text()));

    // A typed frequency stays as typed; a resonance sweep sets its own.
    f->selectAll();
    QTest::keyClicks(f, "12345");
    QTest::keyClick(f, Qt::Key_Return);
    EXPECT_EQ(f->text(), "12345");
    EXPECT_EQ(sentWord(), wordOf("12345"));
    dncForm->show();
    dncForm->SetScanButton(true);
    // The bound only proves that the sweep ends.
    ASSERT_TRUE(test::PumpUntil([] { return !dncForm->Acquiring() && !dncForm->ScanButtonDown(); }, 120000));
    EXPECT_NE(f->text(), "12345");
    EXPECT_EQ(sentWord(), wordOf(f->text()));
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
}

// A spectroscopy curve holds the controller until it is in: the Fast button
// is refused while it runs (the operator is told), and the curve completes.
TEST_F(BundledType29, TheFastButtonIsRefusedWhileASpectroscopyCurveRuns)
{
    TQVTIniFile(program_.Dir.Path() + "ini/qvt.ini").WriteBool("Scale", "DAC1CheckBoxFast", true);
    Start();
    auto* spect = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(spect, nullptr);
    spect->click();
    ASSERT_TRUE(SpektForm->isVisible());
    SpektForm->ScanButton->click();
    ASSERT_TRUE(SpektForm->Measuring());

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    fast->click();
    EXPECT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(boxes_.LastText(), "Please stop spectroscopy first!");
    EXPECT_TRUE(SpektForm->isVisible());
    EXPECT_TRUE(SpektForm->Measuring());
    EXPECT_TRUE(spect->isEnabled());
    EXPECT_TRUE(SpektForm->ScanButton->isEnabled());
    // The bound only proves that the curve ends.
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }, 120000));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");

    // With the curve in, the Fast button goes down as ever.
    boxes_.Clear();
    fast->click();
    EXPECT_TRUE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_FALSE(SpektForm->isVisible());
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
}

// A script's curve is refused in fast mode as the window's Start is: error
// 31, no curve started, and once the Fast button is up the same script runs.
TEST_F(BundledType29, AScriptCurveIsRefusedWhileTheFastButtonIsDown)
{
    TQVTIniFile(program_.Dir.Path() + "ini/qvt.ini").WriteBool("Scale", "DAC1CheckBoxFast", true);
    Start();
    ASSERT_TRUE(QDir(program_.Dir.Path()).mkpath("scripts"));
    ASSERT_TRUE(QDir(program_.Dir.Path()).mkpath("data")); // where a script's data file goes
    const QString script = program_.Dir.Path() + "scripts/curve.scr";
    {
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("BEGIN\r\n  SPECTSTART;\r\n  WRITELN('curve done');\r\nEND.\r\n");
    }
    const auto run = [&] {
        SelForm->ScriptChosen(script);
        SelForm->RunStopButton()->click();
        // The bound only proves that the script ends.
        EXPECT_TRUE(test::PumpUntil([] { return !ScriptThread->Active(); }, 120000));
        return SelForm->Memo1()->toPlainText().split('\n');
    };
    bool measured = false;
    QObject::connect(SpektForm, &TSpektForm::runEnded, [&measured] { measured = true; });

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(run(), QStringList{"Error 31 (Value out of range) at line 2.    Program stopped!"});
    EXPECT_FALSE(measured);
    EXPECT_FALSE(SpektForm->ScanButton->isChecked());
    EXPECT_TRUE(MainQVTForm->FastSpeedButtonDown());

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(run(), QStringList{"curve done"});
    EXPECT_TRUE(measured);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
}
