// The scanner window on the simulated controller: its calibration reaches
// the channel table and the scan thread, and a grating scanned with a bent
// scanner comes out straight only with the calibrated linearisation.

#include "support/DriverLinkFixture.h"
#include "support/FileDialogAnswer.h"
#include "support/FullDisk.h"

#include "calib/PowerSupplyLink.h"
#include "calib/ScannerForm.h"
#include "core/IniFile.h"
#include "device/InOutForm.h"
#include "platform/SerialPort.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaForm.h"
#include "sim/SimSerialPeer.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>

using namespace qvt;
using namespace qvt::test;

namespace {

constexpr double GratingPeriod = 8000.0; // X digits
constexpr double GratingHeight = 400.0;
constexpr float ScanRange = 51200.0f; // digits at a factor of 1
constexpr int Pixels = 128;

class ScannerFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        saved_ = {ScanParams.Range.load(), ScanParams.Speed.load(), ScanParams.Pixels.load()};
    }

    void Start(sim::SimConfig config, const QByteArray& scannerFile, float range = ScanRange, int pixels = Pixels)
    {
        dir_.WriteFile("SoftLin.ini", scannerFile);
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ScanParams.Range = range;
        ScanParams.Speed = 20.0f;
        ScanParams.Pixels = static_cast<int16_t>(pixels);
        scanner_ = std::make_unique<TScannerForm>(workers_.get());
        scanner_->FormCreate();
    }

    void TearDown() override
    {
        if (scanner_)
            scanner_->FormDestroy();
        scanner_.reset();
        CloseDevice(workers_, form_);
        ScanParams.Range = std::get<0>(saved_);
        ScanParams.Speed = std::get<1>(saved_);
        ScanParams.Pixels = std::get<2>(saved_);
        ScanParams.LinesLeft = 0;
        ScanParams.CurrentLine = 1;
        DriverLinkFixture::TearDown();
    }

    // The window at start-up with the supply unit on `supply`'s line, its
    // link on `clock` when given; the status request has gone out.
    void StartWithSupply(const sim::SimSerialPeer& supply, std::function<int64_t()> clock = nullptr)
    {
        ASSERT_TRUE(supply.Ok());
        ini_->WriteInteger("ScannerWin", "PowerFkt", 1);
        ini_->WriteString("PowerFkt1", "Device", supply.SlavePath());
        sim_ = PlugSim(FastConfig());
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        scanner_ = std::make_unique<TScannerForm>(nullptr);
        scanner_->PowerClock = std::move(clock);
        scanner_->FormCreate();
        ASSERT_TRUE(scanner_->PowerPortOpen());
        ASSERT_TRUE(supply.WaitForBytes(1, 5000));
    }
    QRadioButton* PowerChoice(const QString& text) const
    {
        for (QRadioButton* b : scanner_->findChildren<QRadioButton*>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

    // One forward frame of Z; the distances (in pixels) between the
    // grating's edges along the first line.
    std::vector<double> EdgeSpacings()
    {
        TGoXYThread& scan = workers_->GoXYThread();
        const int z = ImageChannelIndex(SlotZ, PlaneFwd);
        const int pixels = ScanParams.Pixels.load();
        EXPECT_TRUE(scan.Channels[z].AllocBuffers(pixels, pixels));
        ScanParams.CurrentLine = 1;
        ScanParams.LinesLeft = 2;
        int stopped = 0;
        QObject::connect(&scan, &TGoXYThread::scanStopped, [&] { ++stopped; });
        EXPECT_TRUE(scan.StartScan());
        EXPECT_TRUE(PumpUntil([&] { return scan.Suspended() && stopped > 0; }));
        return RowSpacings(0);
    }

    // The distances (in pixels) between the grating's edges along row `row`
    // of the forward Z image.
    std::vector<double> RowSpacings(int row)
    {
        const TImageMatrixPtr m = workers_->GoXYThread().Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data();
        const int pixels = ScanParams.Pixels.load();
        std::vector<double> edges;
        double lo = 1e300, hi = -1e300;
        for (int c = 0; c < pixels; ++c) {
            lo = std::min<double>(lo, m->At(row, c));
            hi = std::max<double>(hi, m->At(row, c));
        }
        const double level = (lo + hi) / 2.0;
        for (int c = 1; c < pixels; ++c) {
            const double a = m->At(row, c - 1) - level;
            const double b = m->At(row, c) - level;
            if ((a < 0) != (b < 0))
                edges.push_back(c - 1 + a / (a - b));
        }
        std::vector<double> spacings;
        for (size_t i = 1; i < edges.size(); ++i)
            spacings.push_back(edges[i] - edges[i - 1]);
        return spacings;
    }

    static sim::SimConfig BentScanner()
    {
        sim::SimConfig config = FastConfig();
        config.LogRequests = false;
        config.Surface.GratingHeight = GratingHeight;
        config.Surface.GratingPeriod = GratingPeriod;
        config.Scanner.QuadX = 0.05; // 1600 digits ahead at the ends of the range
        return config;
    }

    // The simulator as the bundled settings describe it.
    static sim::SimConfig BundledSimConfig()
    {
        TQVTIniFile simIni(QVT_RESOURCES_DIR "/ini/sim.ini");
        sim::SimSettingsSource source;
        source.ReadInteger = [&](const QString& s, const QString& k, int d) { return simIni.ReadInteger(s, k, d); };
        source.ReadFloat = [&](const QString& s, const QString& k, double d) { return simIni.ReadFloat(s, k, d); };
        source.ReadString = [&](const QString& s, const QString& k, const QString& d) {
            return simIni.ReadString(s, k, d);
        };
        return sim::ReadSimConfig(source);
    }

    // The bundled bent scanner over the grating with the bundled calibration,
    // at 1000 nm and 2048 pixels, and a parameter window wired to the scanner
    // window as the program wires them.
    void StartBundledAt1000(TScanParaForm& para)
    {
        sim::SimConfig config = BentScanner();
        config.Scanner = BundledSimConfig().Scanner;
        QFile calibration(QVT_RESOURCES_DIR "/SoftLin.ini");
        ASSERT_TRUE(calibration.open(QIODevice::ReadOnly));
        Start(config, calibration.readAll(), 1000.0f, 2048);
        para.SetDevice(form_.get());
        para.SetWorkers(workers_.get());
        para.SetScanRange = [this](double range) { return scanner_->SetScanRange(range); };
        para.ProposeRangeFactors = [this](double range, TScanSetup& s) { scanner_->ProposeRangeFactors(range, s); };
        ScanParams.Speed = 1.0f;
    }

    static QByteArray ScannerFile(double x2f)
    {
        const QByteArray c = QByteArray::number(x2f, 'g', 6);
        return "[SoftLin]\nRange1=1000\nX1=1\nY1=1\nX2F1=" + c + "\nX2B1=" + c +
               "\nRange2=60000\nX2=1\nY2=1\nX2F2=" + c + "\nX2B2=" + c + "\n";
    }

    std::tuple<float, float, int16_t> saved_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScannerForm> scanner_;
};

// How far the last edge spacing differs from the first, as a ratio: 0 when even.
double Spread(const std::vector<double>& s)
{
    return std::fabs(std::log(s.back() / s.front()));
}

// The mean whole period (line and gap) in each third of the field from the
// half-period edge spacings; empty when too few edges were found. The bow
// shows as one end against the other, the S-bend as the ends against the
// middle.
std::vector<double> PeriodThirds(const std::vector<double>& halves)
{
    std::vector<double> periods;
    for (size_t i = 1; i < halves.size(); i += 2)
        periods.push_back(halves[i] + halves[i - 1]);
    if (periods.size() < 3)
        return {};
    std::vector<double> thirds;
    const size_t n = periods.size();
    for (size_t t = 0; t < 3; ++t) {
        double sum = 0.0;
        for (size_t i = t * n / 3; i < (t + 1) * n / 3; ++i)
            sum += periods[i];
        thirds.push_back(sum / double((t + 1) * n / 3 - t * n / 3));
    }
    return thirds;
}

} // namespace

TEST_F(ScannerFormTest, CalibratedRangesSetTheFactorsAndTheScanThreadsLinearisation)
{
    Start(FastConfig(), "[SoftLin]\nRange1=100\nX1=0.002\nY1=0.003\nX2F1=0.2\nRange2=50\nX2=0.001\nY2=0.001\n"
                        "X2F2=0.1\nY3B2=1.7\n");
    ASSERT_TRUE(scanner_->SoftLinActive());
    EXPECT_TRUE(scanner_->SetScanRange(75));
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.0015f);
    EXPECT_FLOAT_EQ(ChannelTable[SlotY].Factor.load(), 0.002f);
    EXPECT_DOUBLE_EQ(MaxScanRange.Range, 100);
    EXPECT_DOUBLE_EQ(MaxScanRange.YSensitivity, 0.003);
    ScanParams.Range = 75.0f;
    scanner_->InterpolateLinCoeffs();
    EXPECT_NEAR(workers_->GoXYThread().Linearisation().X2F, 0.15, 1e-9);

    // The command server's HARDLINPARA reads the coefficient lines.
    QString bx, cx;
    ASSERT_TRUE(scanner_->LinLabels(bx, cx));
    EXPECT_TRUE(bx.startsWith("ScanRange = 75.00 -> LinXFwd2: 0.150")) << bx.toStdString();
    EXPECT_TRUE(cx.contains("LinYFwd2: ")) << cx.toStdString();

    // A sensitivity of 0 is refused: no save, and the table is not used.
    scanner_->Table().SetCell(0, ColX, "0");
    EXPECT_FALSE(scanner_->SaveRangeTables());
    EXPECT_FALSE(scanner_->SetScanRange(75));
    EXPECT_EQ(boxes_.LastText(), ScannerFileDefectText);
    TQVTIniFile file(dir_.Path() + "SoftLin.ini");
    EXPECT_EQ(file.ReadString("SoftLin", "X1", ""), "0.002"); // as it was

    // HardLin off brings the table's coefficients back at once.
    scanner_->Table().SetCell(0, ColX, "0.001");
    ASSERT_TRUE(scanner_->SaveRangeTables());
    scanner_->SetScanRange(75);
    scanner_->SetHardLin(true);
    scanner_->SetHardLin(false);
    EXPECT_NEAR(workers_->GoXYThread().Linearisation().X2F, 0.15, 1e-9);

    // A scale reload keeps the scanner's factors and Z scale.
    QObject::connect(form_.get(), &TInOutForm::scalesReloaded, scanner_.get(), &TScannerForm::ScalesReloaded);
    const float z = ChannelTable[SlotZ].Factor.load();
    EXPECT_FLOAT_EQ(z, static_cast<float>(9.8e-9 * 7));
    form_->ReloadScales();
    EXPECT_FLOAT_EQ(ChannelTable[SlotZ].Factor.load(), z);
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.0015f);
}

TEST_F(ScannerFormTest, TheHardLinStatusFollowsTheFitWhileItScans)
{
    // The bent scanner with its position sensors on ADC6 and ADC7; the
    // calibration file starts the fit with its bow coefficient at the limit.
    sim::SimConfig config = FastConfig();
    config.LogRequests = false;
    config.Scanner.QuadX = 0.02;
    config.Scanner.CubicX = 0.01;
    config.Scanner.SensorXAddress = 6;
    config.Scanner.SensorYAddress = 7;
    ini_->WriteInteger("HardLin", "InX", 5);
    ini_->WriteInteger("HardLin", "InY", 6);
    ini_->WriteFloat("HardLin", "KiPoly", 100000);
    ini_->WriteBool("HardLin", "FitPoly", true);
    Start(config, "[SoftLin]\nRange1=1000\nX1=1\nY1=1\nX2F1=1\nRange2=60000\nX2=1\nY2=1\nX2F2=1\n", 56000.0f, 64);
    ChannelTable[FirstAdcSlot + 5].Address = 6;
    ChannelTable[FirstAdcSlot + 6].Address = 7;
    QLabel* status = scanner_->statusBar()->findChild<QLabel*>();
    ASSERT_NE(status, nullptr);
    QCheckBox* useHardLin = nullptr;
    for (QCheckBox* box : scanner_->findChildren<QCheckBox*>())
        if (box->text() == "use HardLin")
            useHardLin = box;
    ASSERT_NE(useHardLin, nullptr);
    useHardLin->click();
    ASSERT_TRUE(scanner_->HardLinActive());
    ASSERT_DOUBLE_EQ(workers_->GoXYThread().Linearisation().X2F, 1.0);
    EXPECT_FALSE(status->text().contains("HardLin active")) << status->text().toStdString();

    // The fit takes the bow off the limit during the first lines: the
    // status says so while the scan runs, the window never redrawn.
    TGoXYThread& scan = workers_->GoXYThread();
    const int z = ImageChannelIndex(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan.Channels[z].AllocBuffers(64, 64));
    ScanParams.CurrentLine = 1;
    ScanParams.LinesLeft = 0;
    ASSERT_TRUE(scan.StartScan());
    EXPECT_TRUE(PumpUntil([&] { return status->text().contains("HardLin active"); })) << status->text().toStdString();
    EXPECT_LT(scan.Linearisation().X2F, 1.0);
    scan.PauseScan();
    EXPECT_TRUE(PumpUntil([&] { return scan.Suspended(); }));
}

TEST_F(ScannerFormTest, HardLinControlsAreOffWhileHardLinIsOffAndTheCoefficientsOnlyForOfflineCorrection)
{
    ini_->WriteInteger("HardLin", "InX", 5);
    ini_->WriteInteger("HardLin", "InY", 6);
    ini_->WriteBool("HardLin", "FitPoly", true);
    Start(FastConfig(), "[SoftLin]\nRange1=1000\nX1=1\nY1=1\n");
    auto box = [this](const QString& text) {
        for (QCheckBox* b : scanner_->findChildren<QCheckBox*>())
            if (b->text() == text)
                return b;
        return static_cast<QCheckBox*>(nullptr);
    };
    QCheckBox* useHardLin = box("use HardLin");
    QCheckBox* offline = box("Offline Correction");
    auto* ki = scanner_->findChild<TNumericEdit*>("KiEdit");
    QList<TNumericEdit*> coefficients;
    for (const char* name : {"LinXFwd2Edit", "LinYFwd2Edit", "LinXFwd3Edit", "LinYFwd3Edit", "LinXBwd2Edit",
                             "LinYBwd2Edit", "LinXBwd3Edit", "LinYBwd3Edit"})
        coefficients.append(scanner_->findChild<TNumericEdit*>(name));
    ASSERT_TRUE(useHardLin != nullptr && offline != nullptr && ki != nullptr);
    ASSERT_FALSE(coefficients.contains(nullptr));
    auto expectState = [&](bool offlineOn, bool kiOn, bool coefficientsOn, const char* when) {
        EXPECT_EQ(offline->isEnabled(), offlineOn) << when;
        EXPECT_EQ(ki->isEnabled(), kiOn) << when;
        for (TNumericEdit* e : coefficients)
            EXPECT_EQ(e->isEnabled(), coefficientsOn) << when << " " << e->objectName().toStdString();
    };
    if (useHardLin->isChecked())
        useHardLin->click();
    expectState(false, false, false, "HardLin off");
    useHardLin->click();
    expectState(true, true, false, "the scan fits");
    offline->click();
    expectState(true, false, true, "offline correction");
    // A coefficient runs from -1 to 1: the limit is taken, one beyond it comes back to the limit.
    const auto typed = [this](TNumericEdit* e, const char* text) {
        e->selectAll();
        QTest::keyClicks(e, text);
        QTest::keyClick(e, Qt::Key_Return);
        return workers_->GoXYThread().Linearisation();
    };
    EXPECT_DOUBLE_EQ(typed(coefficients[0], "1").X2F, 1.0);
    EXPECT_DOUBLE_EQ(typed(coefficients[0], "1.001").X2F, 1.0);
    EXPECT_DOUBLE_EQ(typed(coefficients[7], "-1").Y3B, -1.0);
    EXPECT_DOUBLE_EQ(typed(coefficients[7], "-1.001").Y3B, -1.0);
    useHardLin->click();
    expectState(false, false, false, "HardLin off again");
}

// An edit that keeps a limited value shows it, also while the operator's
// focus is still in it: a coefficient beyond -1..1 shows the limit it runs
// with, and a Z gain that would leave Z without a factor is refused red.
TEST_F(ScannerFormTest, CoefficientAndZGainEditsShowWhatTheyKeep)
{
    ini_->WriteInteger("HardLin", "InX", 5);
    ini_->WriteInteger("HardLin", "InY", 6);
    Start(FastConfig(), "[SoftLin]\nRange1=1000\nX1=1\nY1=1\n");
    for (QCheckBox* b : scanner_->findChildren<QCheckBox*>())
        if ((b->text() == "use HardLin" || b->text() == "Offline Correction") && !b->isChecked())
            b->click();
    scanner_->show();
    scanner_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(scanner_.get()));
    const auto type = [](TNumericEdit* e, const char* text) {
        e->setFocus();
        e->selectAll();
        QTest::keyClicks(e, text);
        QTest::keyClick(e, Qt::Key_Return);
    };

    TNumericEdit* x2f = scanner_->findChild<TNumericEdit*>("LinXFwd2Edit");
    TNumericEdit* y3b = scanner_->findChild<TNumericEdit*>("LinYBwd3Edit");
    ASSERT_TRUE(x2f != nullptr && y3b != nullptr && x2f->isEnabled());
    struct TCoefficient {
        TNumericEdit* Edit;
        const char* Typed;
        double Kept;
    };
    for (const TCoefficient& c :
         {TCoefficient{x2f, "1", 1.0}, TCoefficient{x2f, "1.001", 1.0}, TCoefficient{x2f, "0.999", 0.999},
          TCoefficient{y3b, "-1", -1.0}, TCoefficient{y3b, "-1.001", -1.0}, TCoefficient{y3b, "-25", -1.0}}) {
        SCOPED_TRACE(c.Typed);
        type(c.Edit, c.Typed);
        ASSERT_TRUE(c.Edit->hasFocus());
        const TLinCoefficients k = workers_->GoXYThread().Linearisation();
        EXPECT_DOUBLE_EQ(c.Edit == x2f ? k.X2F : k.Y3B, c.Kept);
        EXPECT_EQ(c.Edit->text().toDouble(), c.Kept);
        EXPECT_EQ(c.Edit->Color(), EditColor::White);
    }

    // Z factor = DAScale0 x Gain0 x ZGain (9.8e-9 V a digit, 7, the gain).
    TNumericEdit* zGain = scanner_->findChild<TNumericEdit*>("ZGainEdit");
    ASSERT_NE(zGain, nullptr);
    TQVTIniFile scannerFile(dir_.Path() + "SoftLin.ini");
    type(zGain, "2");
    const float factor = ChannelTable[SlotZ].Factor.load();
    EXPECT_FLOAT_EQ(factor, static_cast<float>(9.8e-9 * 7.0 * 2.0));
    EXPECT_EQ(zGain->Color(), EditColor::White);
    for (const char* refused : {"0", "-5", "1e-300"}) {
        SCOPED_TRACE(refused);
        type(zGain, refused);
        EXPECT_EQ(zGain->Color(), EditColor::Red);
        EXPECT_EQ(ChannelTable[SlotZ].Factor.load(), factor);
        EXPECT_EQ(scannerFile.ReadFloat("Gains", "ZGain", 0.0), 2.0);
    }
    type(zGain, "1e-6"); // a small gain that still gives Z a factor
    EXPECT_EQ(zGain->Color(), EditColor::White);
    EXPECT_FLOAT_EQ(ChannelTable[SlotZ].Factor.load(), static_cast<float>(9.8e-9 * 7.0 * 1e-6));
}

TEST_F(ScannerFormTest, MissingScannerFileIsCreatedWithTheCurrentFactors)
{
    sim_ = PlugSim(FastConfig());
    form_ = std::make_unique<TInOutForm>();
    form_->FormCreate();
    ChannelTable[SlotX].Factor = 0.25f;
    scanner_ = std::make_unique<TScannerForm>(nullptr);
    scanner_->FormCreate();
    EXPECT_TRUE(boxes_.Texts().contains("Please select a Scanner File for your System!"));
    TQVTIniFile file(dir_.Path() + "SoftLin.ini");
    EXPECT_EQ(file.ReadString("SoftLin", "Range1", ""), "50");
    EXPECT_EQ(file.ReadFloat("SoftLin", "X1", 0), 0.25);
    EXPECT_EQ(scanner_->Table().RangeCount(), 1);
    EXPECT_FALSE(scanner_->SoftLinActive());
}

TEST_F(ScannerFormTest, SaveAsOntoAFullDiskLeavesTheFileThereAsItWasAndIsToldOnce)
{
    Start(FastConfig(), ScannerFile(0.01));
    QAction* saveAs = nullptr;
    for (QAction* action : scanner_->findChildren<QAction*>())
        if (action->text() == "Save &As")
            saveAs = action;
    ASSERT_NE(saveAs, nullptr);
    const QByteArray other = "[SoftLin]\r\nRange1=77\r\nX1=2\r\nY1=2\r\n";
    const QString path = dir_.WriteFile("other.ini", other);
    const QString ownFile = scanner_->ScannerIni()->FileName();
    const QString named = MainIni->ReadString("Scanner", "Name", "");
    {
        const FullDisk full([path](const QString& written) { return written == path; });
        const FileDialogAnswer answer(path);
        saveAs->trigger();
        EXPECT_EQ(answer.Count(), 1);
    }
    EXPECT_EQ(dir_.ReadFile("other.ini"), other);
    EXPECT_EQ(boxes_.Texts(), QStringList{"File not saved!"});
    EXPECT_TRUE(HiddenFiles(dir_.Path()).isEmpty()) << "a temporary file was left";
    // The window and the main settings stay with the file they had.
    EXPECT_EQ(scanner_->ScannerIni()->FileName(), ownFile);
    EXPECT_EQ(MainIni->ReadString("Scanner", "Name", ""), named);

    // Room again: the copy holds the window's ranges and becomes its file.
    {
        const FileDialogAnswer answer(path);
        saveAs->trigger();
    }
    const TQVTIniFile copy(path);
    EXPECT_EQ(copy.ReadString("SoftLin", "Range1", ""), "1000");
    EXPECT_EQ(copy.ReadString("SoftLin", "Range2", ""), "60000");
    EXPECT_EQ(scanner_->ScannerIni()->FileName(), path);
    EXPECT_EQ(MainIni->ReadString("Scanner", "Name", ""), path);
    EXPECT_EQ(boxes_.Texts().size(), 1);
}

std::atomic<int> supplyWaits{0};

TEST_F(ScannerFormTest, ASupplyThatStopsTakingCommandsIsClosedToldAndOpenedByTheNextChoice)
{
    sim::SimSerialPeer supply;
    ASSERT_NO_FATAL_FAILURE(StartWithSupply(supply));
    QRadioButton* active = PowerChoice("Active");
    QRadioButton* off = PowerChoice("Off");
    ASSERT_TRUE(active && off);

    // The supply stops taking bytes; its line never drains, so the waits for
    // room are counted instead of slept.
    ASSERT_TRUE(supply.HoldLine(true));
    {
        supplyWaits = 0;
        struct Stalled {
            SerialRoomWaiter before = SetSerialRoomWaiter([](int, int) {
                ++supplyWaits;
                return false;
            });
            ~Stalled() { SetSerialRoomWaiter(before); }
        } stalled;
        off->click();
        for (int i = 0; i < 5; ++i)
            scanner_->TimerTick(); // the ticks do not try the line again at once
    }
    EXPECT_EQ(supplyWaits.load(), 1);
    EXPECT_FALSE(scanner_->PowerPortOpen());
    EXPECT_EQ(scanner_->PowerMessage(), CommPortStallText(4));

    // It takes bytes again: the operator's next choice opens the line and goes out.
    ASSERT_TRUE(supply.HoldLine(false));
    supply.Clear();
    active->click();
    EXPECT_TRUE(scanner_->PowerPortOpen());
    ASSERT_TRUE(supply.WaitForBytes(2, 5000));
    EXPECT_EQ(supply.Received(), "sL");
}

// The supply's lamp and read-outs say what the unit says now: a line that
// stalls or a unit that stops answering takes them away, the line's return
// on its own brings the unit's fresh readings.
TEST_F(ScannerFormTest, TheSupplysLampAndVoltagesFollowItsLinkDownAndBack)
{
    sim::SimSerialPeer supply;
    int64_t now = 0;
    ASSERT_NO_FATAL_FAILURE(StartWithSupply(supply, [&now] { return now; }));
    QRadioButton* active = PowerChoice("Active");
    ASSERT_NE(active, nullptr);
    const auto reply = [&supply](int16_t w1, int16_t w2, int16_t w3) {
        QByteArray r("A\x30", 2); // head plugged, high voltage on
        for (const int16_t w : {w1, w2, w3})
            r.append(static_cast<char>(w & 0xff)).append(static_cast<char>((w >> 8) & 0xff));
        return supply.Send(r);
    };
    const auto green = [active] { return active->styleSheet().contains("lime"); };
    QLabel* volts = scanner_->PowerVoltage(0);

    ASSERT_TRUE(reply(0, 1747, -253));
    ASSERT_TRUE(PumpUntil([&] {
        scanner_->TimerTick();
        return !volts->text().isEmpty();
    }));
    EXPECT_EQ(volts->text(), "2.439 V\n19.281 V\n0.000 V");
    EXPECT_TRUE(green());

    // The line stalls: the request after the next reply does not go out.
    ASSERT_TRUE(supply.HoldLine(true));
    {
        struct Stalled {
            SerialRoomWaiter before = SetSerialRoomWaiter([](int, int) { return false; });
            ~Stalled() { SetSerialRoomWaiter(before); }
        } stalled;
        ASSERT_TRUE(reply(0, 0, 0));
        ASSERT_TRUE(PumpUntil([&] {
            scanner_->TimerTick();
            return !scanner_->PowerPortOpen();
        }));
    }
    EXPECT_EQ(scanner_->PowerMessage(), CommPortStallText(4));
    EXPECT_FALSE(green());
    EXPECT_TRUE(volts->text().isEmpty());

    // Ten seconds on, the line is tried again by itself and the unit answers anew.
    ASSERT_TRUE(supply.HoldLine(false));
    supply.Clear();
    now += 9999;
    scanner_->TimerTick();
    EXPECT_FALSE(scanner_->PowerPortOpen());
    now += 1;
    scanner_->TimerTick();
    ASSERT_TRUE(scanner_->PowerPortOpen());
    EXPECT_FALSE(green());
    EXPECT_TRUE(volts->text().isEmpty());
    ASSERT_TRUE(supply.WaitForBytes(1, 5000));
    ASSERT_TRUE(reply(100, 200, 300));
    ASSERT_TRUE(PumpUntil([&] {
        scanner_->TimerTick();
        return !volts->text().isEmpty();
    }));
    EXPECT_EQ(volts->text(), PowerVoltageText(100) + "\n" + PowerVoltageText(200) + "\n" + PowerVoltageText(300));
    EXPECT_TRUE(green());

    // The unit stops answering: three requests later its readings go.
    now += PowerSilentMs - 1;
    scanner_->TimerTick();
    EXPECT_TRUE(green());
    EXPECT_FALSE(volts->text().isEmpty());
    now += 1;
    scanner_->TimerTick();
    EXPECT_FALSE(green());
    EXPECT_TRUE(volts->text().isEmpty());
    EXPECT_TRUE(scanner_->PowerPortOpen());
}

TEST_F(ScannerFormTest, BentScannerScansAStraightGratingOnlyWhenLinearised)
{
    Start(BentScanner(), ScannerFile(0.0));
    const std::vector<double> bent = EdgeSpacings();
    ASSERT_GE(bent.size(), 8u);
    // Crowded at one end, spread at the other.
    EXPECT_GT(Spread(bent), 0.1) << bent.front() << " .. " << bent.back();

    // The calibration's quadratic coefficient undoes the bow.
    scanner_->FormDestroy();
    scanner_.reset();
    dir_.WriteFile("SoftLin.ini", ScannerFile(0.05 * 51200 / 32768));
    scanner_ = std::make_unique<TScannerForm>(workers_.get());
    scanner_->FormCreate();
    const std::vector<double> straight = EdgeSpacings();
    ASSERT_GE(straight.size(), 8u);
    EXPECT_LT(Spread(straight), 0.04) << straight.front() << " .. " << straight.back();
    for (double s : straight)
        EXPECT_NEAR(s, GratingPeriod / 2 / (ScanRange / Pixels), 0.6);
}

TEST_F(ScannerFormTest, TheBundledCalibrationScansTheBundledScannersGratingEvenly)
{
    // The bundled simulated scanner (bow and S-bend) under a grating, and the
    // bundled calibration file.
    const sim::SimConfig bundled = BundledSimConfig();
    ASSERT_NE(bundled.Scanner.CubicX, 0.0);
    sim::SimConfig config = BentScanner();
    config.Scanner = bundled.Scanner;
    QFile calibration(QVT_RESOURCES_DIR "/SoftLin.ini");
    ASSERT_TRUE(calibration.open(QIODevice::ReadOnly));
    // The largest range the program scans, in nm, and one between two rows.
    Start(config, calibration.readAll(), 2800.0f, 2048);
    ScanParams.Speed = 1.0f;
    for (const float range : {2800.0f, 1750.0f}) {
        SCOPED_TRACE(range);
        ScanParams.Range = range;
        scanner_->SetScanRange(range);
        EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.05f);
        const std::vector<double> thirds = PeriodThirds(EdgeSpacings());
        ASSERT_EQ(thirds.size(), 3u);
        const auto [lo, hi] = std::minmax_element(thirds.begin(), thirds.end());
        EXPECT_LT(*hi / *lo - 1.0, 0.005) << thirds[0] << " " << thirds[1] << " " << thirds[2];
    }
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
}

TEST_F(ScannerFormTest, ARangeTypedInTheParameterWindowScansWithItsOwnRowFromTheFirstEnter)
{
    // The bundled scanner and calibration; the parameter window starts at
    // 1000 nm and the operator types 2800 (the table's last row) once.
    TScanParaForm para;
    ASSERT_NO_FATAL_FAILURE(StartBundledAt1000(para));

    TNumericEdit* range = para.Edit("Edit3");
    range->setText("2800");
    range->PressKey(EditKey::Enter);
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 2800.0f);
    EXPECT_NEAR(workers_->GoXYThread().Linearisation().X2F, 0.0335455, 1e-6);
    EXPECT_TRUE(scanner_->StatusLine(1).startsWith("ScanRange = 2800.00 -> LinXFwd2: 0.034"))
        << scanner_->StatusLine(1).toStdString();
    const std::vector<double> thirds = PeriodThirds(EdgeSpacings());
    ASSERT_EQ(thirds.size(), 3u);
    const auto [lo, hi] = std::minmax_element(thirds.begin(), thirds.end());
    EXPECT_LT(*hi / *lo - 1.0, 0.005) << thirds[0] << " " << thirds[1] << " " << thirds[2];

    // A range the scanner cannot reach is refused and changes nothing.
    range->setText("1e9");
    range->PressKey(EditKey::Enter);
    EXPECT_EQ(range->Color(), EditColor::Red);
    EXPECT_FLOAT_EQ(ScanParams.Range.load(), 2800.0f);
    EXPECT_NEAR(workers_->GoXYThread().Linearisation().X2F, 0.0335455, 1e-6);
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.05f);
    EXPECT_TRUE(scanner_->StatusLine(0).startsWith("ScanRange = 2800.00 -> X: 0.05"))
        << scanner_->StatusLine(0).toStdString();
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
}

TEST_F(ScannerFormTest, ARangeEnteredDuringAScanIsScannedWithItsOwnCoefficientsFromTheNextLine)
{
    TScanParaForm para;
    ASSERT_NO_FATAL_FAILURE(StartBundledAt1000(para));
    TGoXYThread& scan = workers_->GoXYThread();
    ASSERT_TRUE(scan.Channels[ImageChannelIndex(SlotZ, PlaneFwd)].AllocBuffers(2048, 2048));
    ScanParams.CurrentLine = 1;
    ScanParams.LinesLeft = 2000;
    int stopped = 0;
    QObject::connect(&scan, &TGoXYThread::scanStopped, [&] { ++stopped; });
    ASSERT_TRUE(scan.StartScan());
    ASSERT_TRUE(PumpUntil([] { return ScanParams.CurrentLine.load() >= 3; }));

    // The frame goes on: the lines after the one under way take the new
    // range and its row together.
    TNumericEdit* range = para.Edit("Edit3");
    range->setText("2800");
    range->PressKey(EditKey::Enter);
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 2800.0f);
    ScanParams.LinesLeft = 3;
    ASSERT_TRUE(PumpUntil([&] { return scan.Suspended() && stopped > 0; }));
    const std::vector<double> thirds = PeriodThirds(RowSpacings(ScanParams.CurrentLine.load() - 2));
    ASSERT_EQ(thirds.size(), 3u);
    const auto [lo, hi] = std::minmax_element(thirds.begin(), thirds.end());
    EXPECT_LT(*hi / *lo - 1.0, 0.005) << thirds[0] << " " << thirds[1] << " " << thirds[2];
}

TEST_F(ScannerFormTest, FiltersReachTheHighSpeedModuleWholeOrNotAtAll)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    OsziRequest.HighSpeedControl = HscScanOn;
    Start(config, ScannerFile(0.0) + "[FilterX]\na0=0.5\na1=0.25\nb1=-0.5\n[FilterY2]\nb0=0.2\n");
    ASSERT_EQ(form_->Caps.BoxVersion, 29);
    // Revision 1: registers 193..213, decoded back to the file's coefficients.
    std::array<int32_t, FilterSlotCount> words{};
    for (int i = 1; i <= FilterSlotCount; ++i)
        words[i - 1] = sim_->Register(192 + i);
    const TScanFilterTable decoded = DecodeFilterImage(words);
    EXPECT_NEAR(decoded[0][0], 0.5, 1e-6);
    EXPECT_NEAR(decoded[0][1], 0.25, 1e-6);
    EXPECT_NEAR(decoded[0][4], -0.5, 1e-6);
    EXPECT_NEAR(decoded[1][5], 1.0, 1e-6);
    EXPECT_NEAR(decoded[1][8], 0.2, 1e-6);
    // The module, as its requests left it, scanned at none of the filter
    // writes and scans again after them.
    const std::vector<int32_t> atWrites = ModuleControlAtWrites(*sim_, 0, 193, 192 + FilterSlotCount);
    EXPECT_EQ(atWrites.size(), static_cast<size_t>(FilterSlotCount));
    for (const int32_t control : atWrites)
        EXPECT_EQ(control & HscScanOn, 0);
    EXPECT_EQ(sim_->FastScanControl() & HscScanOn, HscScanOn);
    EXPECT_FALSE(scanner_->FilterError());
    // X filter 1 and Y filter 2 are both off unity gain; the last one is named.
    EXPECT_EQ(scanner_->FilterGroupCaption(), "Filter y2 has dcGain<>1 !");

    // Y filter 2 a0 out of range: nothing written, the module keeps its filter.
    scanner_->FilterTable()[1][5] = 1.0000001;
    scanner_->FilterTable()[0][0] = 0.75;
    scanner_->ApplyScanFilter();
    EXPECT_TRUE(scanner_->FilterError());
    EXPECT_EQ(boxes_.LastText(), ScanFilterWrongText);
    EXPECT_EQ(sim_->Register(193), words[0]);

    // A response taken over while the module scans: held off for the writes, on again after.
    dir_.WriteFile("resp.txt", "1\t0\t0\t0\t0\t1\t0\t0\t0\t0\n100\t1\t0\t0\n");
    TQVTIniFile(dir_.Path() + "SoftLin.ini").WriteString("FreqResp", "YPath", "\"" + dir_.Path() + "resp.txt\"");
    ASSERT_EQ(sim_->FastScanControl() & HscScanOn, HscScanOn);
    sim_->ClearLog();
    ASSERT_TRUE(scanner_->ReadFreqResponse(1, true));
    const std::vector<int32_t> whileScanning = ModuleControlAtWrites(*sim_, HscScanOn, 193, 192 + FilterSlotCount);
    EXPECT_EQ(whileScanning.size(), static_cast<size_t>(FilterSlotCount));
    for (const int32_t control : whileScanning)
        EXPECT_EQ(control & HscScanOn, 0);
    EXPECT_EQ(sim_->FastScanControl() & HscScanOn, HscScanOn);
    OsziRequest.HighSpeedControl = 0;
}

TEST_F(ScannerFormTest, FitProgramResultIsReadAfterItEnds)
{
    Start(FastConfig(), ScannerFile(0.0));
    const QString folder = dir_.Path() + "Filter/";
    scanner_->SetFilterFolder(folder);
    dir_.WriteFile("Filter/resp.txt", "1\t0\t0\t0\t0\t1\t0\t0\t0\t0\n100\t1\t0\t0\n");
    TQVTIniFile(dir_.Path() + "SoftLin.ini").WriteString("FreqResp", "YPath", "\"" + folder + "resp.txt\"");
    ASSERT_TRUE(scanner_->ReadFreqResponse(1, false));
    EXPECT_EQ(scanner_->ResponseLabel(1), "resp.txt");

    // Not installed: said so, nothing waits.
    MainIni->WriteString("Tools", "SciLab", "\"/nonexistent/numerics\"");
    EXPECT_FALSE(scanner_->Recalculate(1));
    EXPECT_TRUE(boxes_.LastText().startsWith("Could not execute SciLab.")) << boxes_.LastText().toStdString();
    EXPECT_FALSE(scanner_->WaitingForFit());

    // A fitter that writes five numbers, slowly: filter 1 is taken, filter 2 passes.
    const QString fitter = dir_.WriteFile("fit.sh", "#!/bin/sh\n[ \"$1\" = -f ] || exit 2\ncd \"$3\" || exit 3\n"
                                                    "[ -f \"$4\" ] || exit 4\nprintf '0.5\\n' > a_out.txt\nsleep 0.3\n"
                                                    "printf '0.5\\n0.25\\n0.125\\n0.1\\n0.2\\n' > a_out.txt\n");
    QFile::setPermissions(fitter, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    MainIni->WriteString("Tools", "SciLab", "\"" + fitter + "\"");
    boxes_.Clear();
    boxes_.QueueAnswer(MsgResult::Yes);
    ASSERT_TRUE(scanner_->Recalculate(1));
    ASSERT_TRUE(PumpUntil([&] {
        scanner_->TimerTick();
        return !scanner_->WaitingForFit();
    }));
    EXPECT_TRUE(boxes_.Texts().contains("Take over Filter Coefficients?"));
    EXPECT_EQ(boxes_.LastText(), "Please verify new filter coefficients.");
    const TAxisFilter y = scanner_->FilterTable()[1];
    EXPECT_DOUBLE_EQ(y[1], 0.25);
    EXPECT_DOUBLE_EQ(y[4], 0.2);
    EXPECT_DOUBLE_EQ(y[5], 1.0);
    EXPECT_EQ(TQVTIniFile(dir_.Path() + "SoftLin.ini").ReadFloat("FilterY", "b1", 0), 0.2);

    // A fitter that ends without a result ends the wait and says so.
    dir_.WriteFile("fit.sh", "#!/bin/sh\nexit 1\n");
    boxes_.Clear();
    ASSERT_TRUE(scanner_->Recalculate(1));
    ASSERT_TRUE(PumpUntil([&] {
        scanner_->TimerTick();
        return !scanner_->WaitingForFit();
    }));
    EXPECT_TRUE(boxes_.LastText().contains("a_out.txt")) << boxes_.LastText().toStdString();
}
