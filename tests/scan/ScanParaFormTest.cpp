// The "Parameter" window against the simulated controller: what typing and
// Enter does to the shared records, the controller and the settings file.

#include "support/DriverLinkFixture.h"
#include "support/KeyInput.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "files/ParameterFile.h"
#include "files/ScanFiles.h"
#include "images/ScaleForm.h"
#include "platform/WindowThread.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/LevelPage.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaForm.h"
#include "scan/ShowThread.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QWheelEvent>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

std::string S(const QString& s)
{
    return s.toStdString();
}

constexpr int ZFwd = ImageChannelIndex(SlotZ, PlaneFwd);

class ScanParaFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedSets_ = MicroscopeState.FeedbackSets;
        // Bias in volts with millivolt digits; X and Y at 5 pm per digit, so
        // that 100 nm at 128 pixels and one line per second fits the outputs
        // with enough digits per pixel.
        Scale("DAC2", "V", "0.001");
        Scale("DAC3", "nm", "0.005");
        Scale("DAC4", "nm", "0.005");
        ini_->WriteString("Microscope", "Feedback", "3");
    }

    void Scale(const QString& dac, const QString& unit, const QString& factor)
    {
        ini_->WriteString("Scale", dac + "Edit1", unit);
        ini_->WriteString("Scale", dac + "Edit2", factor);
    }

    // The device window on the simulator, then the window, created as at start-up.
    void Start(sim::SimConfig config = FastConfig(), bool create = true)
    {
        sim_ = PlugSim(config);
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        form_ = std::make_unique<TScanParaForm>();
        form_->SetDevice(device_.get());
        form_->SetWorkers(workers_.get());
        form_->ResizeImageWindows = [this] { ++resized_; };
        if (create)
            form_->FormCreate();
        resized_ = 0;
    }

    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        form_.reset();
        CloseDevice(workers_, device_);
        MicroscopeState.FeedbackSets = savedSets_;
        MicroscopeState.AmplSetpoint = MicroscopeState.AmplKi = MicroscopeState.AmplKp = 0;
        MicroscopeState.FreqSetpoint = MicroscopeState.FreqKp = 0;
        MicroscopeState.KelvinKi = MicroscopeState.KelvinRef = 0;
        MicroscopeState.KelvinOn = 0;
        DriverLinkFixture::TearDown();
    }

    TNumericEdit& E(const char* name) { return *form_->Edit(name); }
    // Typed into the edit as the operator types, Enter included; it must take it.
    void TypeInto(const char* edit, const QString& text)
    {
        E(edit).setFocus();
        E(edit).selectAll();
        TypeAndEnter(&E(edit), text);
        EXPECT_EQ(E(edit).Color(), EditColor::White) << edit << " " << S(text);
    }
    double Shown(const char* edit)
    {
        double v = std::nan("");
        ParseEditValue(E(edit).text(), E(edit).Rules, v);
        return v;
    }
    // "label : value" of the parameter file a save would write now.
    double InFile(const char* label)
    {
        const QString file = ParameterFileText(CollectParameterValues(ScanParams, MicroscopeState, LockInState,
                                                                      workers_->Moves().FlyOn.load(), ini_.get()));
        return QRegularExpression(QString(label) + "\\s*:\\s*(\\S+)").match(file).captured(1).toDouble();
    }
    QString Saved(const char* section, const QString& key) { return ini_->ReadString(section, key, "<none>"); }
    // A number typed into the scale window's cell and confirmed: the scales reload.
    static void TypeScaleCell(TScaleForm& scale, int row, const char* suffix, int64_t digits)
    {
        QLineEdit* cell = scale.EditCell(row, suffix);
        ASSERT_NE(cell, nullptr);
        cell->selectAll();
        TypeAndEnter(cell, QString::number(digits));
        ASSERT_EQ(TScaleForm::CellColor(cell), "white") << row << suffix;
    }

    // Values written to the bias register, in order.
    std::vector<int32_t> BiasWrites() const
    {
        std::vector<int32_t> v;
        for (const sim::SimRequest& r : sim_->RequestLog())
            if (r.Code == IOCTL_WRITE_REG && r.In[0] == RegBias)
                v.push_back(r.In[1]);
        return v;
    }

    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> form_;
    int resized_ = 0;
};

} // namespace

TEST_F(ScanParaFormTest, StartUpReplaysTheSavedValuesToTheController)
{
    ini_->WriteString("FeedPara", "Edit1_3", "400");
    ini_->WriteString("FeedPara", "Edit5_3", "50");
    ini_->WriteString("FeedPara", "Edit6_3", "7");
    ini_->WriteString("FeedPara", "Edit2_3", "0.5");
    ini_->WriteString("FeedPara", "Edit2", "1,5");
    ini_->WriteString("FeedPara", "Edit16", "3");
    ini_->WriteString("FeedPara", "Edit22", "500");
    ini_->WriteString("ScanPara", "ComboBox1", "256");
    ini_->WriteString("ScanPara", "Edit3", "200");
    ini_->WriteString("ScanPara", "Edit4", "2");
    ini_->WriteString("ScanPara", "Edit7", "10");
    ini_->WriteString("ScanPara", "Edit8", "-20");
    ini_->WriteString("ScanPara", "Edit9", "-85");
    ini_->WriteString("ScanPara", "FormPosLeft", "40");
    ini_->WriteString("ScanPara", "FormPosTop", "50");
    Start(FastConfig(), false);
    sim_->ClearLog();
    form_->FormCreate();

    // The set of the active mode, then the saved bias: each reached the controller.
    EXPECT_EQ(BiasWrites(), (std::vector<int32_t>{500, 1500}));
    EXPECT_EQ(sim_->Register(RegBias), 1500);
    const TSetFeedbackRecord fb = sim_->Feedback();
    EXPECT_EQ(fb.Setpoint, 100); // 400 input digits, a quarter in contact mode
    EXPECT_EQ(fb.ProportionalGain, 7);
    EXPECT_EQ(fb.IntegralGain, -57);
    EXPECT_GE(CountCode(*sim_, IOCTL_SET_FEEDBACK), 8);
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Bias, 1.5f);
    EXPECT_EQ(MicroscopeState.AmplKi, 3.0f);
    EXPECT_EQ(MicroscopeState.FreqSetpoint, 1000.0f);
    EXPECT_EQ(MicroscopeState.NC100ProcentAmpl, 5.0f);

    EXPECT_EQ(ScanParams.Pixels, 256);
    EXPECT_EQ(ScanParams.Range, 200.0f);
    EXPECT_EQ(ScanParams.Speed, 2.0f);
    EXPECT_EQ(ScanParams.XCenter, 10.0f);
    EXPECT_EQ(ScanParams.YCenter, -20.0f);
    EXPECT_FLOAT_EQ(ScanParams.Angle, static_cast<float>(5.0 / 180.0 * std::numbers::pi));
    EXPECT_EQ(ScanParams.CurrentLine, 1);
    // The scan thread planned the saved frame.
    EXPECT_EQ(workers_->GoXYThread().Geometry().Pixels, 256);
    EXPECT_GT(CountCode(*sim_, IOCTL_SET_CHANNELS), 0);

    for (const char* name :
         {"ComboBox1", "Edit3", "Edit4", "Edit7", "Edit8", "Edit9", "Edit1", "Edit2", "Edit5", "Edit6"})
        EXPECT_EQ(E(name).Color(), EditColor::White) << name;
    EXPECT_EQ(S(E("Edit3").text()), "200.000");
    EXPECT_EQ(S(E("Edit9").text()), "-85");
    EXPECT_EQ(S(E("Edit2").text()), "1.500");
    EXPECT_EQ(S(form_->ComboBox1()->currentText()), "256");
    EXPECT_EQ(S(form_->Label("Label23")->text()), "V");
    EXPECT_EQ(S(form_->Label("Label6")->text()), "nm");
    EXPECT_EQ(form_->pos(), QPoint(40, 50));
    EXPECT_EQ(S(form_->windowTitle()), S("Parameter " + MicroscopeState.ModeName));
    EXPECT_FALSE(MicroscopeState.ModeName.isEmpty());
    EXPECT_TRUE(form_->WenigWichtigTimer().isActive());
    EXPECT_EQ(form_->WenigWichtigTimer().interval(), 100);
    EXPECT_EQ(form_->StepFactor, 0.1);
    // Only a type 29 controller has the fast-z page; the Kelvin reference stays hidden without "KelvinOffset".
    const QTabWidget* pages = form_->PageControl();
    EXPECT_FALSE(pages->isTabVisible(pages->indexOf(pages->findChild<QWidget*>("FastZPage"))));
    EXPECT_TRUE(E("Edit11").isHidden());
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << S(boxes_.LastText());
}

TEST_F(ScanParaFormTest, GeometryEditsStoreApplyAndSaveOrTurnRed)
{
    Start();
    const TScanGeometry before = workers_->GoXYThread().Geometry();
    EXPECT_EQ(before.Pixels, 128);

    EXPECT_TRUE(form_->EnterText("Edit3", "102,5"));
    EXPECT_EQ(ScanParams.Range, 102.5f);
    EXPECT_EQ(S(E("Edit3").text()), "102.500");
    EXPECT_EQ(S(Saved("ScanPara", "Edit3")), "102.500");
    const TScanGeometry after = workers_->GoXYThread().Geometry(); // planned anew
    EXPECT_TRUE(after.StartX != before.StartX || after.StartY != before.StartY);

    EXPECT_TRUE(form_->EnterText("Edit4", "2"));
    EXPECT_EQ(ScanParams.Speed, 2.0f);
    EXPECT_EQ(S(Saved("ScanPara", "Edit4")), "2");
    EXPECT_TRUE(form_->EnterText("Edit7", "5"));
    EXPECT_EQ(ScanParams.XCenter, 5.0f);
    EXPECT_EQ(S(Saved("ScanPara", "Edit7")), "5.000");
    EXPECT_TRUE(form_->EnterText("Edit8", "-5"));
    EXPECT_EQ(ScanParams.YCenter, -5.0f);
    EXPECT_NE(workers_->GoXYThread().Geometry().StartY, before.StartY);

    // Angles beyond half a turn are folded; the instrument's offset is added.
    EXPECT_TRUE(form_->EnterText("Edit9", "270"));
    EXPECT_NEAR(ScanParams.Angle, 0.0, 1e-6); // −90 + 90
    EXPECT_EQ(S(E("Edit9").text()), "-90");
    EXPECT_EQ(S(Saved("ScanPara", "Edit9")), "-90");
    EXPECT_TRUE(form_->EnterText("Edit9", "180"));
    EXPECT_FLOAT_EQ(ScanParams.Angle, static_cast<float>(270.0 / 180.0 * std::numbers::pi));
    EXPECT_EQ(S(E("Edit9").text()), "180");
    ini_->WriteString("Microscope", "OffsAngle", "0"); // read at each use
    EXPECT_TRUE(form_->EnterText("Edit9", "45"));
    EXPECT_FLOAT_EQ(ScanParams.Angle, static_cast<float>(std::numbers::pi / 4));

    // Bad text and refused values change nothing: not the records, not the
    // settings, not the controller.
    sim_->ClearLog();
    for (const char* name : {"Edit3", "Edit4", "Edit7", "Edit8", "Edit9", "ComboBox1"}) {
        EXPECT_FALSE(form_->EnterText(name, "12x")) << name;
        EXPECT_EQ(E(name).Color(), EditColor::Red) << name;
    }
    EXPECT_FALSE(form_->EnterText("Edit3", "0"));
    EXPECT_FALSE(form_->EnterText("Edit3", "-50"));
    EXPECT_FALSE(form_->EnterText("ComboBox1", "3"));
    EXPECT_FALSE(form_->EnterText("ComboBox1", "0"));
    EXPECT_EQ(ScanParams.Range, 102.5f);
    EXPECT_EQ(ScanParams.Pixels, 128);
    EXPECT_EQ(ScanParams.Speed, 2.0f);
    EXPECT_EQ(S(Saved("ScanPara", "Edit3")), "102.500");
    EXPECT_EQ(S(Saved("ScanPara", "ComboBox1")), "128");
    EXPECT_TRUE(sim_->RequestLog().empty());

    // Esc brings back the stored value, also after a failed Enter.
    E("Edit3").PressKey(EditKey::Escape);
    EXPECT_EQ(S(E("Edit3").text()), "102.500");
    EXPECT_EQ(E("Edit3").Color(), EditColor::White);
    E("ComboBox1").PressKey(EditKey::Escape);
    EXPECT_EQ(S(form_->ComboBox1()->currentText()), "128");
    EXPECT_EQ(E("ComboBox1").Color(), EditColor::White);
    E("Edit4").setText("7");
    E("Edit4").PressKey(EditKey::Escape);
    EXPECT_EQ(S(E("Edit4").text()), "2");

    // More pixels than the buffers hold are refused, not cut.
    EXPECT_FALSE(form_->EnterText("ComboBox1", "4096"));
    EXPECT_EQ(E("ComboBox1").Color(), EditColor::Red);
    EXPECT_EQ(ScanParams.Pixels, 128);
    EXPECT_EQ(ini_->ReadInteger("ScanPara", "ComboBox1", 0), 128);
    EXPECT_EQ(resized_, 0);
    EXPECT_TRUE(form_->EnterText("ComboBox1", "2048"));
    EXPECT_EQ(ScanParams.Pixels, 2048);
    EXPECT_EQ(resized_, 1);
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    // A choice from the list applies at once.
    form_->ComboBox1()->setCurrentIndex(1);
    form_->ComboBox1Change();
    EXPECT_EQ(ScanParams.Pixels, 64);
}

TEST_F(ScanParaFormTest, RangeTheScanCannotTakeTurnsTheRangeEditRed)
{
    Start();
    // 1000 nm is 200000 digits: beyond the outputs. The scan refuses it, so
    // it is neither stored nor saved: the edit turns red and says why, and
    // the next parameter file names the range in force.
    EXPECT_FALSE(form_->EnterText("Edit3", "1000"));
    EXPECT_EQ(ScanParams.Range, 100.0f);
    EXPECT_EQ(E("Edit3").Color(), EditColor::Red);
    EXPECT_NE(S(E("Edit3").toolTip()).find("range"), std::string::npos);
    EXPECT_EQ(S(Saved("ScanPara", "Edit3")), "100.000"); // as the start-up left it
    const QString file = ParameterFileText(
        CollectParameterValues(ScanParams, MicroscopeState, LockInState, workers_->Moves().FlyOn.load(), ini_.get()));
    EXPECT_TRUE(file.contains("XScanRange :   100.000")) << S(file);
    E("Edit3").PressKey(EditKey::Escape);
    EXPECT_EQ(S(E("Edit3").text()), "100.000");

    // The box that caused the refusal turns red, not the range: a centre
    // that pushes the frame off the outputs, a pixel count whose pixels are
    // smaller than a digit.
    EXPECT_FALSE(form_->EnterText("Edit7", "150"));
    EXPECT_EQ(ScanParams.XCenter, 100.0f);
    EXPECT_EQ(E("Edit7").Color(), EditColor::Red);
    EXPECT_EQ(E("Edit3").Color(), EditColor::White);
    EXPECT_TRUE(form_->EnterText("Edit3", "5"));         // 1000 digits
    EXPECT_FALSE(form_->EnterText("ComboBox1", "2048")); // half a digit per pixel
    EXPECT_NE(S(E("ComboBox1").toolTip()).find("digits per pixel"), std::string::npos);
    EXPECT_EQ(ScanParams.Pixels, 128);
    EXPECT_TRUE(form_->EnterText("Edit3", "105"));
    EXPECT_EQ(S(Saved("ScanPara", "Edit3")), "105.000");

    // WM_RANGE_CLAMPED, posted by the scan thread.
    PostToWindowThread([scan = &workers_->GoXYThread()] { emit scan->rangeClamped(); });
    EXPECT_TRUE(PumpUntil([&] { return E("Edit3").Color() == EditColor::Red; }));
    // WM_SET_PIXELS: the count plus Enter.
    PostToWindowThread([form = form_.get()] { form->WMSetPixels(64); });
    EXPECT_TRUE(PumpUntil([&] { return ScanParams.Pixels == 64; }));
    EXPECT_EQ(S(form_->ComboBox1()->currentText()), "64");
    EXPECT_EQ(E("ComboBox1").Color(), EditColor::White);
}

TEST_F(ScanParaFormTest, PixelChangeDuringAScanPausesRescalesReallocatesAndRestarts)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    // 200 nm at half a line per second: 152 ticks per pixel at 256 pixels.
    ini_->WriteString("ScanPara", "ComboBox1", "256");
    ini_->WriteString("ScanPara", "Edit3", "200");
    ini_->WriteString("ScanPara", "Edit4", "0.5");
    ini_->WriteString("ScanPara", "Edit7", "0");
    ini_->WriteString("ScanPara", "Edit8", "0");
    Start(config);
    ASSERT_EQ(E("Edit3").Color(), EditColor::White);
    TGoXYThread& scan = workers_->GoXYThread();
    ASSERT_TRUE(scan.Channels[ZFwd].AllocBuffers(256, 256));
    ScanParams.CurrentLine = 100;
    workers_->ShowThread().FirstLine = 50;
    ASSERT_TRUE(workers_->StartScan());
    ASSERT_TRUE(PumpUntil([&] { return !scan.Suspended(); }));
    QThread::msleep(50);

    sim_->ClearLog();
    EXPECT_TRUE(form_->EnterText("ComboBox1", "512"));
    EXPECT_FALSE(scan.StopMessageShown()); // the restart ended the pause
    EXPECT_EQ(ScanParams.Pixels, 512);
    EXPECT_EQ(ScanParams.CurrentLine, 200); // the line under way, at the new scale
    EXPECT_EQ(workers_->ShowThread().FirstLine, 100);
    EXPECT_EQ(scan.Channels[ZFwd].Rows(), 512);
    EXPECT_EQ(scan.Channels[ZFwd].Cols(), 512);
    EXPECT_FALSE(scan.Channels[ImageChannelIndex(SlotZ, PlaneBwd)].HasBuffer()); // closed ones stay closed
    EXPECT_EQ(scan.Geometry().Pixels, 512);
    EXPECT_EQ(resized_, 1);
    EXPECT_TRUE(scan.Running); // restarted
    EXPECT_FALSE(scan.Suspended());
    EXPECT_EQ(ini_->ReadInteger("ScanPara", "ComboBox1", 0), 512);

    // The same count again leaves the scan alone.
    EXPECT_TRUE(form_->EnterText("ComboBox1", "512"));
    EXPECT_TRUE(scan.Running);
    EXPECT_EQ(resized_, 1);

    // The status timer runs on: no stop request ever reaches the running scan.
    ASSERT_TRUE(form_->WenigWichtigTimer().isActive());
    PumpUntil([] { return false; }, 500);
    int stops = 0;
    for (const sim::SimRequest& r : sim_->RequestLog())
        stops += r.Code == IOCTL_GO_XY && r.In[4] == GoXYStop;
    EXPECT_EQ(stops, 0);
    EXPECT_TRUE(scan.Running);
    EXPECT_FALSE(scan.Suspended());

    EXPECT_TRUE(workers_->PauseScan());
}

TEST_F(ScanParaFormTest, APixelChangeMidFrameSavesNoUnmeasuredRowAsData)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    config.LogRequests = false;
    config.Surface.Base = 3000.0; // no place of the sample reads 0
    config.Surface.TiltX = 0.1;
    // 100 nm at 64 pixels and 20 lines a second.
    ini_->WriteString("ScanPara", "ComboBox1", "64");
    ini_->WriteString("ScanPara", "Edit3", "100");
    ini_->WriteString("ScanPara", "Edit4", "20");
    ini_->WriteString("ScanPara", "Edit7", "0");
    ini_->WriteString("ScanPara", "Edit8", "0");
    const QString saveDir = dir_.Path() + "scans";
    QDir().mkpath(saveDir);
    ini_->WriteString("Save", "Path", saveDir);
    Start(config);
    TGoXYThread& scan = workers_->GoXYThread();
    ASSERT_TRUE(scan.Channels[ZFwd].AllocBuffers(64, 64));
    scan.Channels[ZFwd].Name = "Topography";
    TAutoSaveHost host(scan, ScanParams);
    host.SaveButton = [] { return true; };
    ConnectAutoSave(scan, host);
    int frames = 0;
    QObject::connect(&scan, &TGoXYThread::frameDone, [&frames] { ++frames; });

    ScanParams.CurrentLine = 1;
    ASSERT_TRUE(workers_->StartScan());
    ASSERT_TRUE(PumpUntil([] { return ScanParams.CurrentLine.load() > 20; }, 60000));
    ASSERT_EQ(frames, 0);
    // Half-way: 32 pixels. The frame runs on to its end at the new count.
    EXPECT_TRUE(form_->EnterText("ComboBox1", "32"));
    ASSERT_TRUE(PumpUntil([&] { return frames == 1 && scan.Suspended(); }, 60000));
    EXPECT_EQ(host.SaveCount, 0); // its first rows were never measured at 32 pixels
    // The next frame is measured whole, and saved.
    ASSERT_TRUE(workers_->StartScan());
    ASSERT_TRUE(PumpUntil([&] { return frames == 2 && scan.Suspended(); }, 60000));
    EXPECT_EQ(host.SaveCount, 1);

    // Every saved raw image: each row holds the sample, none is zeros.
    const QStringList saved = QDir(saveDir).entryList({"*.int"}, QDir::Files);
    ASSERT_EQ(saved.size(), 1);
    for (const QString& name : saved) {
        QFile file(saveDir + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ASSERT_EQ(bytes.size(), 4 * 32 * 32) << name.toStdString();
        for (int r = 0; r < 32; ++r) {
            int zeros = 0;
            for (int c = 0; c < 32; ++c)
                zeros += qFromLittleEndian<int32_t>(bytes.constData() + 4 * (32 * r + c)) == 0;
            EXPECT_LT(zeros, 32) << name.toStdString() << " row " << r;
        }
    }
}

TEST_F(ScanParaFormTest, AValueIsJudgedByTheFrameItMakesWithTheSensitivitiesOfItsRange)
{
    Start();
    ASSERT_TRUE(form_->EnterText("Edit3", "100"));
    // A frame already off the scanner (X and Y at 5 pm a digit reach ±160 nm)
    // is no licence for another value that leaves it off.
    ScanParams.XCenter = 1000.0f;
    EXPECT_FALSE(form_->EnterText("Edit8", "5"));
    EXPECT_EQ(E("Edit8").Color(), EditColor::Red);
    EXPECT_FALSE(form_->EnterText("Edit4", "3"));
    EXPECT_TRUE(form_->EnterText("Edit7", "0")); // the value that brings it back
    EXPECT_TRUE(form_->EnterText("Edit8", "5"));

    // Above 120 nm the calibration gives 1 pm a digit: 150 nm would be 150000
    // digits, beyond the outputs, although at the present 5 pm it would fit.
    const auto factor = [](double range) { return range > 120.0 ? 0.001f : 0.005f; };
    std::vector<std::pair<double, float>> loaded; // the range taken, and the range stored by then
    form_->SetScanRange = [&](double range) {
        loaded.push_back({range, ScanParams.Range.load()});
        ChannelTable[SlotX].Factor = factor(range);
        ChannelTable[SlotY].Factor = factor(range);
        return true;
    };
    form_->ProposeRangeFactors = [&](double range, TScanSetup& s) { s.FactorX = s.FactorY = factor(range); };
    EXPECT_FALSE(form_->EnterText("Edit3", "150"));
    EXPECT_EQ(E("Edit3").Color(), EditColor::Red);
    EXPECT_EQ(ScanParams.Range, 100.0f);
    EXPECT_TRUE(loaded.empty()); // judged with its own factors, nothing taken
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.005f);
    // Taken: stored first, then the factors follow it.
    EXPECT_TRUE(form_->EnterText("Edit3", "110"));
    EXPECT_EQ(ScanParams.Range, 110.0f);
    EXPECT_EQ(loaded, (std::vector<std::pair<double, float>>{{110.0, 110.0f}}));
    form_->SetScanRange = nullptr;
    form_->ProposeRangeFactors = nullptr;
}

TEST_F(ScanParaFormTest, FeedbackEditsWorkOnTheSetOfTheActiveMode)
{
    ini_->WriteString("FeedPara", "Edit1_0", "1");
    ini_->WriteString("FeedPara", "Edit1_3", "2.5");
    ini_->WriteString("FeedPara", "Edit5_3", "40");
    Start();
    EXPECT_EQ(S(E("Edit1").text()), "2.5");
    EXPECT_EQ(S(E("Edit21").text()), "2.5"); // the FastZ page's mirror

    EXPECT_TRUE(form_->EnterText("Edit1", "3"));
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint, 3.0f);
    EXPECT_EQ(S(Saved("FeedPara", "Edit1_3")), "3");
    EXPECT_TRUE(form_->EnterText("Edit6", "9"));
    EXPECT_EQ(sim_->Feedback().ProportionalGain, 9);
    EXPECT_EQ(S(Saved("FeedPara", "Edit6_3")), "9");

    // What the feedback mode window does on a switch.
    const auto switchTo = [&](int mode) {
        MicroscopeState.FeedbackMode = mode;
        device_->UpdateFeedback();
        form_->ShowFeedbackParams();
    };
    switchTo(0);
    EXPECT_EQ(S(E("Edit1").text()), "1");
    EXPECT_EQ(S(E("Edit6").text()), "0");
    EXPECT_TRUE(form_->EnterText("Edit1", "1,4")); // a whole input digit in tunnelling modes
    EXPECT_EQ(S(Saved("FeedPara", "Edit1_0")), "1");
    EXPECT_TRUE(form_->EnterText("Edit1", "6"));
    EXPECT_EQ(S(Saved("FeedPara", "Edit1_0")), "6");
    switchTo(3);
    EXPECT_EQ(S(E("Edit1").text()), "3");
    EXPECT_EQ(S(E("Edit6").text()), "9");
    EXPECT_EQ(sim_->Feedback().ProportionalGain, 9);
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(0)].Setpoint, 6.0f);

    // Typing into the mirror reaches Edit1; its Enter runs Edit1's.
    E("Edit21").setText("4");
    E("Edit21").PressKey(EditKey::Enter);
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint, 4.0f);
    EXPECT_EQ(E("Edit21").Color(), EditColor::White);
    EXPECT_FALSE(form_->EnterText("Edit1", "four"));
    EXPECT_EQ(E("Edit21").Color(), EditColor::Red);
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint, 4.0f);
    E("Edit1").PressKey(EditKey::Escape);
    EXPECT_EQ(S(E("Edit1").text()), "4");
    EXPECT_EQ(E("Edit21").Color(), EditColor::White);

    // The approach Ki: its own key, the normal one kept aside.
    form_->Label19Click();
    EXPECT_TRUE(form_->ApproachKiActive());
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki, 20.0f);
    EXPECT_TRUE(form_->EnterText("Edit5", "30"));
    EXPECT_EQ(S(Saved("FeedPara", "Edit5_3Approach")), "30");
    EXPECT_EQ(S(Saved("FeedPara", "Edit5_3")), "40");
    form_->Label19Click();
    EXPECT_FALSE(form_->ApproachKiActive());
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki, 40.0f);
    EXPECT_EQ(sim_->Feedback().IntegralGain, -9 - 40);

    // The pulse bias, only from a white edit.
    ini_->WriteString("FeedPara", "Edit2Pulse", "-2");
    EXPECT_TRUE(form_->EnterText("Edit2", "0.25"));
    form_->Label11Click();
    EXPECT_TRUE(form_->PulseBiasActive());
    EXPECT_EQ(sim_->Register(RegBias), -2000);
    EXPECT_EQ(S(Saved("FeedPara", "Edit2_3")), "0.250");
    form_->Label11DblClick(); // beeps and toggles
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_FALSE(form_->PulseBiasActive());
    EXPECT_EQ(sim_->Register(RegBias), 250);
    E("Edit2").setText("x");
    E("Edit2").PressKey(EditKey::Enter);
    form_->Label11Click(); // red: no switch
    EXPECT_FALSE(form_->PulseBiasActive());
}

// Gains typed beyond what the controller runs (1e9 a word) are kept as the
// limit it got: the edit, the settings, the record and the parameter file
// all state that one value. Ki is scaled by the setpoint outside contact mode,
// so its limit moves with the setpoint.
TEST_F(ScanParaFormTest, GainsBeyondTheControllersLimitAreKeptAsTheLimitItRuns)
{
    Start();
    const auto type = [&](const char* edit, const QString& text) { TypeInto(edit, text); };
    const auto agree = [&](const char* edit, const QString& key, double expected, const char* fileLabel) {
        EXPECT_DOUBLE_EQ(Shown(edit), expected) << edit;
        EXPECT_DOUBLE_EQ(Saved("FeedPara", key).toDouble(), expected) << S(key);
        EXPECT_DOUBLE_EQ(InFile(fileLabel), expected) << fileLabel;
    };

    // Contact mode: Ki and Kp are the words themselves.
    struct TCase {
        const char* Typed;
        double Kept;
    };
    const TCase cases[] = {
        {"1e9", 1e9}, {"999936000", 999936000.0}, {"1.00001e9", 1e9}, {"1e12", 1e9}, {"-1e12", -1e9}, {"-1e9", -1e9}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Typed);
        type("Edit6", c.Typed);
        EXPECT_EQ(sim_->Feedback().ProportionalGain, static_cast<int32_t>(c.Kept));
        agree("Edit6", "Edit6_3", c.Kept, "Kp");
    }
    type("Edit6", "0");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Typed);
        type("Edit5", c.Typed);
        EXPECT_EQ(sim_->Feedback().IntegralGain, -static_cast<int32_t>(c.Kept));
        agree("Edit5", "Edit5_3", c.Kept, "Ki");
    }

    // A tunnelling mode: Ki' = Ki x 1e7 / setpoint digits, so at 1000 digits
    // Ki 100000 is the limit.
    MicroscopeState.FeedbackMode = FeedbackSTM;
    device_->UpdateFeedback();
    form_->ShowFeedbackParams();
    type("Edit6", "0");
    type("Edit1", "1000");
    ASSERT_EQ(sim_->Feedback().Setpoint, 250); // the word is the digits div 4
    for (const TCase& c :
         {TCase{"100000", 100000.0}, TCase{"99999", 99999.0}, TCase{"100001", 100000.0}, TCase{"5e9", 100000.0}}) {
        SCOPED_TRACE(c.Typed);
        type("Edit5", c.Typed);
        EXPECT_EQ(sim_->Feedback().IntegralGain, -static_cast<int32_t>(std::round(c.Kept * 1e7 / 1000.0)));
        agree("Edit5", "Edit5_0", c.Kept, "Ki");
    }
    // Half the setpoint halves the limit: Ki follows, and is stored so.
    type("Edit1", "500");
    EXPECT_EQ(sim_->Feedback().IntegralGain, -1000000000);
    agree("Edit5", "Edit5_0", 50000.0, "Ki");
}

// The PLL mode's amplitude loop: its setpoint is limited to the amplitude
// input's range (DAC13 here: one unit a digit, 32000 digits at most), its
// gains to 1e9 a word, and the page and the parameter file show the limits.
// The lift height rides on the recorded Z: one beyond Z's whole span never
// runs, so the edit keeps it at the span, and a stored one is taken at start
// the same way (the edit, the lift the moves add, the settings and the
// parameter file agree).
TEST_F(ScanParaFormTest, TheLiftHeightIsKeptWithinTheReachOfZ)
{
    ini_->WriteString("Window", "FlyHeight", "1e9");
    Start();
    TLevelPage& level = *form_->Level();
    level.FlyModes[1]->click(); // "Line wise": the lift pass runs, and the parameter file tells its height
    ASSERT_EQ(workers_->Moves().FlyOn.load(), 1);
    const double span = double(ChannelTable[SlotZ].MaxRaw.load()) - ChannelTable[SlotZ].MinRaw.load();
    const double factor = ChannelTable[SlotZ].Factor.load();
    ASSERT_GT(span, 0.0);
    const auto agree = [&](double raw) {
        const QString text = FixedPointText(raw * factor, 5, 3);
        EXPECT_EQ(workers_->Moves().FlyHeightRaw.load(), static_cast<int32_t>(raw));
        EXPECT_EQ(level.Edit14->text(), text);
        EXPECT_EQ(level.Edit14->Color(), EditColor::White);
        EXPECT_EQ(Saved("Window", "FlyHeight"), text);
        EXPECT_DOUBLE_EQ(InFile("FlyHeight"), raw * factor);
    };
    {
        SCOPED_TRACE("stored");
        agree(span);
    }
    for (const auto& [typed, kept] : {std::pair{span, span}, std::pair{span - 1, span - 1}, std::pair{span + 1, span},
                                      std::pair{1e12, span}, std::pair{-span - 1, -span}, std::pair{-span, -span}}) {
        SCOPED_TRACE(typed);
        level.Edit14->selectAll();
        TypeAndEnter(level.Edit14, QString::number(typed * factor, 'g', 12));
        agree(kept);
    }
}

// The scale table edited in its window narrows a channel: what that
// channel's range limits is limited again, as at Enter. The lift height
// keeps within Z's new span (one at the span stays, one beyond is kept at
// it), the setpoint within its input's range; the edit, the settings, the
// moves or the controller, and the parameter file agree.
TEST_F(ScanParaFormTest, AScaleReloadLimitsTheLiftHeightAndTheSetpointAgain)
{
    Start();
    TScaleForm scale(*device_);
    scale.FormCreate();
    scale.show();
    const auto typeCell = [&](int row, const char* suffix, int64_t digits) {
        TypeScaleCell(scale, row, suffix, digits);
    };

    TLevelPage& level = *form_->Level();
    level.FlyModes[1]->click(); // "Line wise": the parameter file tells the height
    const int64_t zMin = ChannelTable[SlotZ].MinRaw.load();
    const double factor = ChannelTable[SlotZ].Factor.load();
    const int64_t narrow = (int64_t(ChannelTable[SlotZ].MaxRaw.load()) - zMin) / 2;
    ASSERT_GT(narrow, 10);
    const auto lift = [&](int64_t raw) {
        SCOPED_TRACE(raw);
        const QString text = FixedPointText(double(raw) * factor, 5, 3);
        EXPECT_EQ(workers_->Moves().FlyHeightRaw.load(), raw);
        EXPECT_EQ(level.Edit14->text(), text);
        EXPECT_EQ(level.Edit14->Color(), EditColor::White);
        EXPECT_EQ(Saved("Window", "FlyHeight"), text);
        EXPECT_DOUBLE_EQ(InFile("FlyHeight"), double(raw) * factor);
    };
    level.Edit14->selectAll();
    TypeAndEnter(level.Edit14, QString::number(double(narrow) * factor, 'g', 12));
    lift(narrow);
    typeCell(SlotZ, "Edit4", zMin + narrow); // Z's span is now the height: it stays
    lift(narrow);
    typeCell(SlotZ, "Edit4", zMin + narrow - 1);
    lift(narrow - 1);
    level.Edit14->selectAll();
    TypeAndEnter(level.Edit14, QString::number(-double(narrow - 1) * factor, 'g', 12));
    typeCell(SlotZ, "Edit4", zMin + 2 * narrow); // widened: nothing to limit
    lift(-(narrow - 1));

    // The contact setpoint (digits div 4 in its word) within its input's range.
    const int slot = SlotOfChannelIndex(MicroscopeState.FeedbackChannel.load());
    const double inFactor = ChannelTable[slot].Factor.load();
    const double inOffset = ChannelTable[slot].Offset.load();
    const int64_t inMax = ChannelTable[slot].MaxRaw.load();
    ASSERT_GT(inMax, 4000);
    TypeInto("Edit1", QString::number((4000 + inOffset) * inFactor, 'g', 12));
    ASSERT_EQ(sim_->Feedback().Setpoint, 1000);
    typeCell(slot, "Edit4", 2000);
    const double kept = MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint;
    EXPECT_FLOAT_EQ(float(kept), float((2000 + inOffset) * inFactor));
    EXPECT_EQ(sim_->Feedback().Setpoint, 500);
    EXPECT_DOUBLE_EQ(Shown("Edit1"), Shown("Edit21"));
    EXPECT_NEAR(Shown("Edit1"), kept, 1e-4 * std::abs(kept));
    EXPECT_EQ(Saved("FeedPara", "Edit1_3"), E("Edit1").text());
    typeCell(slot, "Edit4", inMax);
    EXPECT_EQ(sim_->Feedback().Setpoint, 500); // widened: the kept setpoint stays
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << S(boxes_.Texts().join(" / "));
}

// The PLL mode's amplitude setpoint keeps within its input's range after a
// reload narrows it, as at Enter.
TEST_F(ScanParaFormTest, AScaleReloadLimitsTheAmplitudeSetpointAgain)
{
    ini_->WriteString("Microscope", "Feedback", "6");
    Start();
    TScaleForm scale(*device_);
    scale.FormCreate();
    scale.show();
    TypeInto("Edit18", "32000");
    ASSERT_EQ(sim_->Feedback().AmplitudeSetpoint, 32000);
    TypeScaleCell(scale, 12, "Edit4", 20000); // the amplitude input, DAC13
    EXPECT_EQ(sim_->Feedback().AmplitudeSetpoint, 20000);
    EXPECT_DOUBLE_EQ(Shown("Edit18"), 20000.0);
    EXPECT_DOUBLE_EQ(InFile("RefAmpl"), 20000.0);
    TypeScaleCell(scale, 12, "Edit4", 20001);
    EXPECT_EQ(sim_->Feedback().AmplitudeSetpoint, 20000); // widened: the kept setpoint stays
}

// The Kelvin reference word is the reference in input digits over 6.3e-8: a
// reference whose word would not fit 32 bits on a fine input scale is kept as
// the largest the word holds, in the edit, the settings and the record.
TEST_F(ScanParaFormTest, TheKelvinReferenceIsKeptToWhatItsWordHolds)
{
    TIOScale input("Input", "V");
    input.Factor = 1e-5f; // the resonance tool's input on a fine scale
    struct Restore {
        ~Restore() { LockInState.DncInputScale = nullptr; }
    } restore;
    Start();
    LockInState.DncInputScale = &input;
    form_->CheckBox1()->click(); // the Kelvin loop on
    ASSERT_EQ(MicroscopeState.KelvinOn, 1);
    const double f = input.Factor.load();
    const double limit = static_cast<float>(2147483647.0 * 6.3e-8 * f);
    for (const auto& [typed, kept] :
         {std::pair{"0.00135", 0.00135}, std::pair{"-0.00135", -0.00135}, std::pair{"0.00136", limit},
          std::pair{"0.01", limit}, std::pair{"-0.01", -limit}}) {
        SCOPED_TRACE(typed);
        TypeInto("Edit11", typed);
        const int64_t word = std::llround(double(static_cast<float>(kept)) / f / 6.3e-8);
        EXPECT_EQ(sim_->Feedback().KelvinReference, std::clamp<int64_t>(word, -2147483647, 2147483647));
        EXPECT_NEAR(Shown("Edit11"), kept, 1e-5 * limit);
        EXPECT_NEAR(Saved("FeedPara", "Edit11").toDouble(), kept, 1e-5 * limit);
        EXPECT_NEAR(MicroscopeState.KelvinRef, kept, 1e-5 * limit);
        EXPECT_NEAR(InFile("RefKelvin"), kept, 0.0005); // the file shows millivolts
    }
}

TEST_F(ScanParaFormTest, TheAmplitudeLoopIsKeptAsTheControllerRunsIt)
{
    ini_->WriteString("Microscope", "Feedback", "6");
    Start();
    const auto type = [&](const char* edit, const QString& text) { TypeInto(edit, text); };
    const auto inFile = [&](const char* label) { return InFile(label); };
    const auto shown = [&](const char* edit) { return Shown(edit); };
    for (const auto& [typed, kept] :
         {std::pair{"32000", 32000.0}, std::pair{"31990", 31990.0}, std::pair{"32001", 32000.0},
          std::pair{"1e12", 32000.0}, std::pair{"-32001", -32000.0}}) {
        SCOPED_TRACE(typed);
        type("Edit18", typed);
        EXPECT_EQ(sim_->Feedback().AmplitudeSetpoint, static_cast<int32_t>(kept));
        EXPECT_DOUBLE_EQ(shown("Edit18"), kept);
        EXPECT_DOUBLE_EQ(inFile("RefAmpl"), kept);
    }
    for (const auto& [typed, kept] : {std::pair{"1e9", 1e9}, std::pair{"999000000", 999000000.0},
                                      std::pair{"1.00001e9", 1e9}, std::pair{"-5e9", -1e9}}) {
        SCOPED_TRACE(typed);
        type("Edit15", "0");
        type("Edit16", typed);
        EXPECT_EQ(sim_->Feedback().AmplitudeSum, static_cast<int32_t>(kept));
        EXPECT_DOUBLE_EQ(shown("Edit16"), kept);
        EXPECT_DOUBLE_EQ(inFile("KiAmpl"), kept);
        type("Edit16", "0");
        type("Edit15", typed);
        EXPECT_EQ(sim_->Feedback().AmplitudeKp, -static_cast<int32_t>(kept));
        EXPECT_DOUBLE_EQ(shown("Edit15"), kept);
        EXPECT_DOUBLE_EQ(inFile("KpAmpl"), kept);
    }
    // The z page's setpoint is a shift of the centre frequency: the DDS adds
    // it down to 0 Hz and no further.
    type("Edit22", "20000");
    for (const auto& [typed, kept] : {std::pair{"-20000", -20000.0}, std::pair{"-19999", -19999.0},
                                      std::pair{"-20001", -20000.0}, std::pair{"-1e12", -20000.0}}) {
        SCOPED_TRACE(typed);
        type("Edit1", typed);
        EXPECT_EQ(sim_->Feedback().Setpoint, static_cast<int32_t>(std::round((kept + 20000.0) * 429.4967296)));
        EXPECT_DOUBLE_EQ(shown("Edit1"), kept);
        EXPECT_DOUBLE_EQ(Saved("FeedPara", "Edit1_6").toDouble(), kept);
        EXPECT_DOUBLE_EQ(inFile("SetPoint"), kept);
    }
}

// The PLL's Kp runs up to ±10000: the limit is taken, one beyond is kept as
// the limit in the record, the edit, the parameter file and the settings.
TEST_F(ScanParaFormTest, ThePllGainIsKeptAtTheLimitTheControllerRuns)
{
    ini_->WriteString("Microscope", "Feedback", "6");
    Start();
    for (const auto& [typed, kept] :
         {std::pair{"10000", 10000.0}, std::pair{"10001", 10000.0}, std::pair{"9999", 9999.0},
          std::pair{"-10000", -10000.0}, std::pair{"-10001", -10000.0}, std::pair{"1e12", 10000.0}}) {
        SCOPED_TRACE(typed);
        TypeInto("Edit19", typed);
        EXPECT_EQ(sim_->Feedback().PllKp, static_cast<int32_t>(kept));
        EXPECT_DOUBLE_EQ(Shown("Edit19"), kept);
        EXPECT_DOUBLE_EQ(InFile("KpPLL"), kept);
    }
    // The page's edits are written at exit: the limit, as it ran.
    TypeInto("Edit19", "-10001");
    form_->FormDestroy();
    EXPECT_DOUBLE_EQ(Saved("FeedPara", "Edit19").toDouble(), -10000.0);
    form_.reset();
}

TEST_F(ScanParaFormTest, BiasEditSetsTheRegisterWithTheInversSignAndTheFeedbackRecord)
{
    ini_->WriteString("Microscope", "Feedback", "0");
    Start();
    ChannelTable[SlotBias].Invers = true;
    sim_->ClearLog();
    EXPECT_TRUE(form_->EnterText("Edit2", "-1"));
    EXPECT_EQ(sim_->Register(RegBias), 1000);
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(0)].Bias, -1.0f);
    // The register first, then the record that follows the bias polarity.
    const auto traffic = Traffic(*sim_);
    ASSERT_GE(traffic.size(), 2u);
    EXPECT_EQ(traffic[0], std::make_pair(IOCTL_WRITE_REG, RegBias));
    EXPECT_EQ(traffic.back().first, IOCTL_SET_FEEDBACK);
    EXPECT_EQ(sim_->Feedback().ControlWord & 0xF000, 0x1000); // tunnelling
    EXPECT_NE(sim_->Feedback().ControlWord & 0x200, 0);       // negative bias: loop reversed

    EXPECT_TRUE(form_->EnterText("Edit2", "2.0004"));
    EXPECT_EQ(sim_->Register(RegBias), -2000);
    EXPECT_EQ(sim_->Feedback().ControlWord & 0x200, 0);
    EXPECT_EQ(S(E("Edit2").text()), "2.000"); // as quantised by the output
    EXPECT_FALSE(form_->EnterText("Edit2", "1..2"));
    EXPECT_EQ(sim_->Register(RegBias), -2000);
}

TEST_F(ScanParaFormTest, TheCentreEditsLookFlatOnlyWhileTheyHaveTheFocus)
{
    Start();
    form_->show();
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    TNumericEdit& x = E("Edit7");
    TNumericEdit& y = E("Edit8");
    EXPECT_TRUE(x.hasFrame());
    EXPECT_TRUE(y.hasFrame());

    QTest::mouseClick(&x, Qt::LeftButton);
    ASSERT_TRUE(x.hasFocus());
    EXPECT_FALSE(x.hasFrame());
    EXPECT_TRUE(y.hasFrame());
    // Tab goes on to the y centre: the frame moves with the focus.
    QTest::keyClick(&x, Qt::Key_Tab);
    ASSERT_TRUE(y.hasFocus());
    EXPECT_TRUE(x.hasFrame());
    EXPECT_FALSE(y.hasFrame());
    // Other edits of the window keep their look whether focused or not.
    QTest::mouseClick(&E("Edit3"), Qt::LeftButton);
    ASSERT_TRUE(E("Edit3").hasFocus());
    EXPECT_TRUE(E("Edit3").hasFrame());
    EXPECT_TRUE(x.hasFrame());
    EXPECT_TRUE(y.hasFrame());
}

TEST_F(ScanParaFormTest, StepButtonsRepeatAndTheWheelRates)
{
    Start();
    form_->show();
    const TFeedbackSet& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(3)];
    form_->StepFactor = 0.01;
    form_->LBitBtn5Click();
    EXPECT_EQ(set.Ki, -1.0f);
    EXPECT_EQ(S(E("Edit5").text()), "-1");
    EXPECT_EQ(S(Saved("FeedPara", "Edit5_3")), "-1");
    form_->RBitBtn5Click();
    form_->RBitBtn5Click();
    EXPECT_EQ(set.Ki, 1.0f);
    form_->RBitBtn6Click();
    EXPECT_EQ(set.Kp, 1.0f);
    EXPECT_EQ(sim_->Feedback().ProportionalGain, 1);
    form_->EnterText("Edit1", "200");
    form_->RBitBtn1Click();
    EXPECT_EQ(set.Setpoint, 202.0f);
    form_->LBitBtn1Click();
    EXPECT_FLOAT_EQ(set.Setpoint, 199.98f);
    // The bias moves by a 20000th of its span at least: 64000 digits of 1 mV.
    form_->EnterText("Edit2", "0");
    form_->RBitBtn2Click();
    EXPECT_FLOAT_EQ(set.Bias, 0.003f);
    EXPECT_EQ(sim_->Register(RegBias), 3);
    form_->LBitBtn2Click();
    form_->LBitBtn2Click();
    EXPECT_FLOAT_EQ(set.Bias, -0.003f);

    // Held down: Shift makes a tenth; the repeat re-fires the button each second.
    QAbstractButton* up = form_->Button("BitBtn8");
    ASSERT_NE(up, nullptr);
    form_->EnterText("Edit5", "100");
    form_->BitBtnMouseDown(up, true);
    EXPECT_EQ(form_->StepFactor, 0.1);
    EXPECT_TRUE(form_->Timer1().isActive());
    EXPECT_EQ(form_->Timer1().interval(), 1000);
    form_->Timer1Timer();
    EXPECT_EQ(set.Ki, 111.0f);
    form_->Timer1Timer();
    EXPECT_EQ(set.Ki, 123.0f); // round(111 + 11.1 + 1)
    form_->BitBtnMouseUp();
    EXPECT_FALSE(form_->Timer1().isActive());
    // A real press and release: one step from the click, a hundredth without Shift.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), up->mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), up->mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(up, &press);
    EXPECT_TRUE(form_->Timer1().isActive());
    QApplication::sendEvent(up, &release);
    EXPECT_FALSE(form_->Timer1().isActive());
    EXPECT_EQ(set.Ki, 125.0f); // round(123 + 1.23 + 1)

    // The wheel on the speed: faster turning, larger steps.
    form_->EnterText("Edit4", "1");
    const double t0 = 10.0;
    form_->FormMouseWheel(120, false, &E("Edit4"), t0);
    EXPECT_FLOAT_EQ(ScanParams.Speed, 1.01f);
    form_->FormMouseWheel(120, false, &E("Edit4"), t0 + 0.1 / 86400);
    EXPECT_FLOAT_EQ(ScanParams.Speed, 1.01f * 1.05f);
    form_->FormMouseWheel(-120, false, &E("Edit4"), t0 + 0.11 / 86400);
    EXPECT_FLOAT_EQ(ScanParams.Speed, 1.01f * 1.05f * 0.9f);
    EXPECT_EQ(E("Edit4").Color(), EditColor::White);
    // On a z-page edit it runs that edit's step, a tenth with Shift.
    form_->FormMouseWheel(120, true, &E("Edit1"), t0 + 1);
    EXPECT_FLOAT_EQ(set.Setpoint, 199.98f * 1.1f);
    // Over the pixel box the wheel is the window's: the count stays.
    const int pixels = ScanParams.Pixels;
    QWheelEvent wheel(QPointF(5, 5), form_->ComboBox1()->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form_->ComboBox1(), &wheel);
    EXPECT_TRUE(wheel.isAccepted());
    EXPECT_EQ(ScanParams.Pixels, pixels);
    EXPECT_EQ(S(form_->ComboBox1()->currentText()), QString::number(pixels).toStdString());
}

TEST_F(ScanParaFormTest, LoopPagesAndWhatIsWrittenBackToTheSettings)
{
    const QString micro(QChar(0x00B5));
    ini_->WriteString("FeedPara", "Label28Pre", "\"m\"");
    ini_->WriteString("FeedPara", "KelvinOffset", "1");
    Start();
    EXPECT_TRUE(form_->Label("Label28")->text().startsWith("m"));
    EXPECT_TRUE(form_->EnterText("Edit18", "5"));
    EXPECT_FLOAT_EQ(MicroscopeState.AmplSetpoint, 0.005f);
    form_->Label28Click(); // m → µ: the same setpoint shown in µ
    EXPECT_EQ(S(Saved("FeedPara", "Label28Pre")), S(micro));
    EXPECT_TRUE(ini_->ReadString("FeedPara", "Label28Pre", "").size() == 1);
    EXPECT_FLOAT_EQ(MicroscopeState.AmplSetpoint, 0.005f);
    EXPECT_EQ(S(E("Edit18").text()), "5000");
    form_->Label28Click(); // µ → none
    EXPECT_EQ(S(E("Edit18").text()), "0.005");

    EXPECT_TRUE(form_->EnterText("Edit22", "500"));
    EXPECT_EQ(MicroscopeState.FreqSetpoint, 1000.0f);
    EXPECT_EQ(S(E("Edit22").text()), "1000.00");
    EXPECT_TRUE(form_->EnterText("Edit22", "3e6"));
    EXPECT_EQ(MicroscopeState.FreqSetpoint, 2e6f);
    EXPECT_TRUE(form_->EnterText("Edit11", "0.5"));
    EXPECT_FLOAT_EQ(MicroscopeState.KelvinRef, 0.01f);
    EXPECT_EQ(S(Saved("FeedPara", "Edit11")), "0.01");
    EXPECT_TRUE(form_->EnterText("Edit10", "-3e9"));
    EXPECT_EQ(MicroscopeState.KelvinKi, -2e9f);
    EXPECT_EQ(sim_->Feedback().KelvinKi, 0); // the Kelvin loop is off
    EXPECT_EQ(S(Saved("FeedPara", "Edit10")), "-2E9");

    form_->CheckBox1()->setChecked(true);
    EXPECT_EQ(MicroscopeState.KelvinOn, 1);
    EXPECT_FALSE(E("Edit2").isEnabled());
    EXPECT_EQ(sim_->Feedback().KelvinKi, -2000000000);
    form_->CheckBox1()->setChecked(false);
    EXPECT_EQ(MicroscopeState.KelvinOn, 0);
    EXPECT_EQ(MicroscopeState.KelvinKi, 0.0f);
    EXPECT_EQ(sim_->Feedback().KelvinKi, 0);
    EXPECT_TRUE(E("Edit2").isEnabled());

    // At exit the white page edits are saved, the red ones are not.
    EXPECT_TRUE(form_->EnterText("Edit16", "12"));
    EXPECT_TRUE(form_->EnterText("Edit15", "4"));
    EXPECT_TRUE(form_->EnterText("Edit19", "0,5"));
    EXPECT_TRUE(form_->EnterText("Edit2", "0.75"));
    EXPECT_FALSE(form_->EnterText("Edit18", "five"));
    EXPECT_EQ(S(Saved("FeedPara", "Edit16")), "<none>"); // nothing before the exit
    form_->move(70, 80);
    form_->FormDestroy();
    EXPECT_EQ(S(Saved("FeedPara", "Edit16")), "12");
    EXPECT_EQ(S(Saved("FeedPara", "Edit15")), "4");
    EXPECT_EQ(S(Saved("FeedPara", "Edit19")), "0.5");
    EXPECT_EQ(S(Saved("FeedPara", "Edit22")), "2000000.00");
    EXPECT_EQ(S(Saved("FeedPara", "Edit2")), "0.750");
    EXPECT_EQ(S(Saved("FeedPara", "Edit18")), "<none>");
    EXPECT_EQ(S(Saved("FeedPara", "Edit18Tag")), "<none>");
    EXPECT_EQ(ini_->ReadInteger("ScanPara", "FormPosLeft", 0), 70);
    EXPECT_EQ(ini_->ReadInteger("ScanPara", "FormPosTop", 0), 80);
    form_.reset();
}

TEST_F(ScanParaFormTest, AmplitudeSetpointRedrawsTheResonanceSpectrumInModeSix)
{
    Start();
    int redraws = 0;
    form_->DrawResonance = [&] { ++redraws; };
    const int32_t mode = MicroscopeState.FeedbackMode.load();
    // Typed and entered as the operator does, in each mode that has the page.
    auto type = [&](const char* text) {
        TNumericEdit& edit = E("Edit18");
        edit.selectAll();
        for (const QChar c : QString(text)) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(&edit, &key);
        }
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(&edit, &enter);
    };
    MicroscopeState.FeedbackMode = 6;
    type("0.25");
    EXPECT_FLOAT_EQ(MicroscopeState.AmplSetpoint, 0.25f);
    EXPECT_EQ(redraws, 1);
    type("zero"); // refused: nothing new to draw
    EXPECT_EQ(redraws, 1);
    MicroscopeState.FeedbackMode = 5;
    type("0.5");
    EXPECT_EQ(redraws, 1);
    MicroscopeState.FeedbackMode = mode;
}

TEST_F(ScanParaFormTest, StatusTimerWakesTheDisplayWhileScanningAndCompletesAPause)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    config.LogRequests = false;
    ini_->WriteString("ScanPara", "ComboBox1", "64");
    ini_->WriteString("ScanPara", "Edit3", "200");
    ini_->WriteString("ScanPara", "Edit4", "2");
    ini_->WriteString("ScanPara", "Edit7", "0");
    ini_->WriteString("ScanPara", "Edit8", "0");
    Start(config);
    TShowThread& show = workers_->ShowThread();
    TGoXYThread& scan = workers_->GoXYThread();
    int passes = 0;
    QObject::connect(&show, &TShowThread::refreshAll, [&] { ++passes; });
    ASSERT_TRUE(scan.Channels[ZFwd].AllocBuffers(64, 64));

    show.RedrawAll = true;
    form_->WenigWichtigTimerTimer(); // idle: the display sleeps
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(passes, 0);

    ASSERT_TRUE(workers_->StartScan());
    EXPECT_TRUE(PumpUntil([&] { return passes >= 1; }, 2000));

    EXPECT_TRUE(workers_->PauseScan());
    EXPECT_TRUE(PumpUntil([&] { return !scan.StopMessageShown(); }, 2000));
    EXPECT_TRUE(scan.Suspended());
}

TEST_F(ScanParaFormTest, StatusTimerLetsAScanStuckInASlowMoveStopAtTheNextTick)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    // 16 pixels at 0.0005 lines per second: each pixel move takes a minute.
    ini_->WriteString("ScanPara", "ComboBox1", "16");
    ini_->WriteString("ScanPara", "Edit3", "200");
    ini_->WriteString("ScanPara", "Edit4", "0.0005");
    ini_->WriteString("ScanPara", "Edit7", "0");
    ini_->WriteString("ScanPara", "Edit8", "0");
    Start(config);
    TGoXYThread& scan = workers_->GoXYThread();
    ASSERT_TRUE(scan.Channels[ZFwd].AllocBuffers(16, 16));
    constexpr int32_t MinuteTicks = 2000000;
    auto pixelMoveSent = [&] {
        for (const sim::SimRequest& r : sim_->RequestLog())
            if (r.Code == IOCTL_GO_XY && r.In[4] >= MinuteTicks)
                return true;
        return false;
    };
    ASSERT_TRUE(workers_->StartScan());
    ASSERT_TRUE(PumpUntil(pixelMoveSent, 20000));
    // From sending the first pixel to waiting for its end the thread needs
    // microseconds; the move lasts a minute.
    PumpUntil([] { return false; }, 1000);

    // The pause's own wait ends long before the move: the thread still waits for it.
    form_->WenigWichtigTimer().stop();

    EXPECT_TRUE(workers_->PauseScan());
    EXPECT_TRUE(scan.StopMessageShown());
    EXPECT_FALSE(scan.Suspended());

    // The next tick stops the move and lets the thread go on to its check.
    sim_->ClearLog();
    form_->WenigWichtigTimer().start();
    EXPECT_TRUE(PumpUntil([&] { return scan.Suspended(); }, 20000)); // a third of the move
    int stops = 0;
    for (const sim::SimRequest& r : sim_->RequestLog())
        stops += r.Code == IOCTL_GO_XY && r.In[4] == GoXYStop;
    EXPECT_GE(stops, 1);
    EXPECT_FALSE(scan.Running);
}

namespace {

// The bundled settings on a simulated plane: Z digits per X and per Y digit.
class BundledScanTest : public ScanParaFormTest {
protected:
    static constexpr double TiltX = 0.02;
    static constexpr double TiltY = -0.01;

    void StartBundled()
    {
        const QString bundled = QString(QVT_RESOURCES_DIR "/ini/qvt.ini");
        ASSERT_TRUE(QFile::exists(bundled)) << S(bundled);
        ini_.reset();
        QFile::remove(dir_.Path() + "qvt.ini");
        ASSERT_TRUE(QFile::copy(bundled, dir_.Path() + "qvt.ini"));
        ini_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        MainIni = ini_.get();
        sim::SimConfig config = FastConfig();
        config.LogRequests = false;
        config.AdcNoise = 0.0;
        config.Surface = {};
        config.Surface.TiltX = TiltX;
        config.Surface.TiltY = TiltY;
        Start(config);
    }

    // One frame of the Z forward channel; the controller's time per line, seconds.
    double ScanFrame()
    {
        TGoXYThread& scan = workers_->GoXYThread();
        const int p = ScanParams.Pixels.load();
        EXPECT_TRUE(scan.Channels[ZFwd].AllocBuffers(p, p));
        const int64_t t0 = sim_->NowUs();
        EXPECT_TRUE(workers_->StartScan());
        EXPECT_TRUE(PumpUntil([&] { return scan.Suspended() && !scan.Running; }, 120000));
        return (sim_->NowUs() - t0) * 1e-6 / p;
    }

    // The plane through the image against the plane of the surface under the
    // frame as typed: range, pixels and angle give the true pixel and line
    // vectors in digits.
    void ExpectSurfaceSlopes(double angleDegrees)
    {
        TDaten& z = workers_->GoXYThread().Channels[ZFwd];
        z.ComputeSlopes();
        const double a = (angleDegrees + 90.0) / 180.0 * std::numbers::pi; // OffsAngle 90
        const double pixel = ScanParams.Range.load() / 0.05 / ScanParams.Pixels.load();
        const double perColumn = pixel * (TiltX * std::cos(a) + TiltY * std::sin(a));
        const double perRow = pixel * (TiltX * std::sin(a) - TiltY * std::cos(a));
        EXPECT_NEAR(z.SlopeX.load(), perColumn, 0.05 * std::fabs(perColumn) + 1e-3);
        EXPECT_NEAR(z.SlopeY.load(), perRow, 0.05 * std::fabs(perRow) + 1e-3);
    }
};

} // namespace

TEST_F(BundledScanTest, TheBundledFrameScansTheSurfaceAtTheSpeedAsked)
{
    StartBundled();
    EXPECT_EQ(ScanParams.Pixels, 128);
    EXPECT_EQ(ScanParams.Range, 1000.0f);
    EXPECT_EQ(E("Edit3").Color(), EditColor::White);
    const double speed = ScanParams.Speed.load();
    EXPECT_LT(ScanParams.Pixels / speed, 60.0); // a frame in well under a minute
    // The bias fits the bias DAC.
    const TIOScale& bias = ChannelTable[SlotBias];
    const double biasRaw = MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Bias / double(bias.Factor.load());
    EXPECT_LT(std::fabs(biasRaw), bias.MaxRaw.load());
    // The topography windows open with the first scan.
    EXPECT_TRUE(ini_->ReadBool("Window", "CheckBox100", false));
    EXPECT_TRUE(ini_->ReadBool("Window", "CheckBox200", false));

    const double lineTime = ScanFrame();
    EXPECT_NEAR(lineTime, 1.0 / speed, 0.1 / speed);
    ExpectSurfaceSlopes(0.0);
}

TEST_F(BundledScanTest, ARotatedFrameAtOneDigitPerTickScansTheSurface)
{
    StartBundled();
    // 900 nm at one line per second: 140.6 digits a pixel in 153 ticks, a
    // step of at most one digit; the fast axis at 30 degrees needs less than
    // a digit per tick on both axes.
    EXPECT_TRUE(form_->EnterText("Edit4", "1"));
    EXPECT_TRUE(form_->EnterText("Edit3", "900"));
    EXPECT_TRUE(form_->EnterText("Edit9", "30"));
    EXPECT_EQ(workers_->GoXYThread().Geometry().MaxStep, 1);
    ScanFrame();
    ExpectSurfaceSlopes(30.0);
}
