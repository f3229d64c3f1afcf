#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "files/ScanFiles.h"
#include "images/ChildForm.h"
#include "images/ColorPalette.h"
#include "images/ImageRender.h"
#include "images/PaletteMenu.h"
#include "images/SetupForm.h"
#include "mainwindow/MainQVTForm.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "scan/ShowThread.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDockWidget>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QSet>
#include <QThread>
#include <QToolButton>
#include <QtEndian>

#include <chrono>
#include <cmath>
#include <vector>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

void SendKey(QWidget* to, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(to, &press);
}

// A main window and a device window on the simulator, in a temporary program folder.
class MainWindowTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedParams_ = {ScanParams.Pixels.load(), ScanParams.Range.load(), ScanParams.Speed.load(),
                        ScanParams.CurrentLine.load()};
        dir_.WriteFile("QVT_Manual.html", "");
        dir_.WriteFile("user.ini", "[Main]\r\n");
    }

    // `mainKeys` go into [Main], `sections` follow it.
    void Create(const QByteArray& mainKeys = {}, const QByteArray& sections = {}, sim::SimConfig config = FastConfig())
    {
        dir_.WriteFile("qvt.ini", "[Main]\r\nDeviceDriverName=SIM\r\n" + mainKeys + sections);
        sim_ = PlugSim(config);
        form_ = std::make_unique<TMainQVTForm>();
        ASSERT_TRUE(form_->FormCreate("qvt"));
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        form_->ConnectDevice(workers_.get());
        ScanParams.Pixels = 16;
        ScanParams.Range = 3200.0f;
        ScanParams.Speed = 100.0f;
        ScanParams.CurrentLine = 1;
    }

    void TearDown() override
    {
        if (para_) {
            para_->FormDestroy();
            para_.reset();
        }
        if (form_)
            form_->FormDestroy();
        if (form_) {
            for (QMdiSubWindow* sub : form_->MdiArea()->subWindowList())
                delete sub;
        }
        if (device_) {
            if (workers_)
                workers_->FormDestroy();
            workers_.reset();
            device_->FormDestroy();
            device_.reset();
        }
        form_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->GuardViolationCount(), 0);
        }
        ScanParams.Pixels = savedParams_.Pixels;
        ScanParams.Range = savedParams_.Range;
        ScanParams.Speed = savedParams_.Speed;
        ScanParams.CurrentLine = savedParams_.CurrentLine;
        ScanParams.LinesLeft = 0;
        AbortFlag = false;
        DriverLinkFixture::TearDown();
    }

    bool Parked()
    {
        return PumpUntil([this] { return workers_->GoXYThread().Suspended() && !form_->ScanButtonDown(); });
    }

    void PressScan()
    {
        form_->ScanButton()->setChecked(true);
        form_->Scan(TScanSender::User);
    }

    // The requests since `from` that write register `reg`.
    int Writes(int32_t reg, size_t from = 0)
    {
        int n = 0;
        const std::vector<sim::SimRequest> log = sim_->RequestLog();
        for (size_t i = from; i < log.size(); ++i)
            n += log[i].Code == IOCTL_WRITE_REG && log[i].InWords > 0 && log[i].In[0] == reg;
        return n;
    }

    struct {
        int16_t Pixels;
        float Range;
        float Speed;
        int16_t CurrentLine;
    } savedParams_{};
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TMainQVTForm> form_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> para_;
};

} // namespace

TEST_F(MainWindowTest, ControlsCarryTheirOriginalNamesAndTheSettingsShapeTheToolbar)
{
    Create({}, "[Software]\r\nCameraButton=0\r\n");
    const char* buttons[] = {"ExitButton", "SpectButton",  "CoarseButton", "Crosshairsbutton", "dncButton",
                             "SelButton",  "Oszi2Button",  "SlidButton",   "LockinButton",     "FastSpeedButton",
                             "ScanButton", "RepeatButton", "SaveButton",   "CameraButton"};
    for (const char* name : buttons) {
        QAbstractButton* b = form_->Button(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->objectName(), name);
    }
    for (const char* name : {"Edit1", "Edit2", "ComboBox2", "MemProgBar"})
        EXPECT_EQ(form_->findChild<QWidget*>(name), form_->Control(name)) << name;
    EXPECT_EQ(form_->ScanButton()->toolTip(), "Start Scan");
    EXPECT_EQ(form_->ScanPopup()->actions().value(2)->text(), "cont. on restart");
    EXPECT_EQ(form_->MenuItem("DDESever1")->text(), "&DDE Sever");

    form_->resize(900, 600);
    form_->ArrangeToolbar();
    // Hidden by [Software], by default (the offset and range boxes) or with no
    // multi lock-in: none takes room.
    EXPECT_TRUE(form_->Control("CameraButton")->isHidden());
    EXPECT_TRUE(form_->Control("Edit1")->isHidden());
    EXPECT_EQ(form_->Control("LockinButton")->isHidden(), !MultiLockInPresent.load());
    const QRect exitPlace = form_->Control("ExitButton")->geometry();
    EXPECT_EQ(exitPlace, QRect(2, 2, 25, 25));
    EXPECT_EQ(form_->Control("SpectButton")->x(), 2 + 27 + 10);
    const int afterSave = form_->Control("SaveButton")->x() + 27 + 10;
    // The camera is hidden: the progress bar follows the Save group, set apart once more.
    EXPECT_EQ(form_->Control("MemProgBar")->x(), afterSave);
    EXPECT_EQ(form_->SpeedPanel()->height(), 29);

    // The touch layout: larger buttons, written to the user's settings.
    form_->MenuItem("TouchItem")->trigger();
    EXPECT_TRUE(UserIni->ReadBool("Main", "IsTouchScreen", false));
    EXPECT_EQ(form_->Control("ExitButton")->geometry(), QRect(4, 4, 35, 35));
    // Rows wrap in a narrow window.
    form_->resize(300, 600);
    form_->ArrangeToolbar();
    EXPECT_GT(form_->SpeedPanel()->height(), 2 * 4 + 35);
    EXPECT_GT(form_->Control("SaveButton")->y(), 4);
}

TEST_F(MainWindowTest, MenusFollowTheAdministratorLevelAndTheFeedbackMode)
{
    dir_.WriteFile("user.ini", "[Admin]\r\nCurrentMode=2\r\n");
    Create();
    EXPECT_EQ(form_->AdminLevel(), 2);
    EXPECT_EQ(form_->MenuItem("MakemeAdminItem")->text(), "Make me Admin");
    EXPECT_TRUE(form_->MenuItem("EditIniItem")->isVisible());
    EXPECT_TRUE(form_->MenuItem("ScaleADDAItem")->isVisible());
    // No image window: the commands on image windows and the Save button are off.
    EXPECT_FALSE(form_->MenuItem("FileSaveItem")->isEnabled());
    EXPECT_FALSE(form_->MenuItem("WindowTileItem")->isEnabled());
    EXPECT_FALSE(form_->SaveButton()->isEnabled());

    form_->MakemeAdminItemClick(); // 2 → 1
    EXPECT_EQ(form_->AdminLevel(), 1);
    EXPECT_EQ(form_->MenuItem("MakemeAdminItem")->text(), "Make me User");
    EXPECT_EQ(UserIni->ReadInteger("Admin", "CurrentMode", -1), 1);
    EXPECT_FALSE(form_->MenuItem("EditIniItem")->isVisible());
    EXPECT_TRUE(form_->MenuItem("ScaleItem")->isVisible());

    form_->MakemeAdminItemClick(); // 1 → 0
    EXPECT_EQ(UserIni->ReadInteger("Admin", "CurrentMode", -1), 0);
    EXPECT_FALSE(form_->MenuItem("ScaleItem")->isVisible());
    EXPECT_FALSE(form_->MenuItem("FeedbackItem")->isVisible());
    EXPECT_FALSE(form_->MenuItem("JoystickItem")->isVisible());
    MicroscopeState.FeedbackMode = 1;
    form_->UpdateMenuItems();
    EXPECT_TRUE(form_->MenuItem("AutoOffsetItem")->isVisible());
    MicroscopeState.FeedbackMode = 4;
    form_->UpdateMenuItems();
    EXPECT_FALSE(form_->MenuItem("AutoOffsetItem")->isVisible());

    // At level 0 the password window decides; it grants through SetAdminLevel.
    int asked = 0;
    form_->ShowAdminForm = [&] {
        ++asked;
        form_->SetAdminLevel(2);
    };
    form_->MakemeAdminItemClick();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(form_->AdminLevel(), 2);
    EXPECT_EQ(UserIni->ReadInteger("Admin", "CurrentMode", -1), 2);

    // An image window switches the image commands on.
    TDaten& z = workers_->GoXYThread().Channels[0];
    ASSERT_TRUE(z.AllocBuffers(16, 16));
    auto* image = new TChildForm(z, 0, &workers_->ShowThread());
    image->AddToMdiArea(form_->MdiArea())->show();
    form_->UpdateMenuItems();
    EXPECT_TRUE(form_->MenuItem("FileSaveItem")->isEnabled());
    EXPECT_TRUE(form_->SaveButton()->isEnabled());
    form_->FillChannelComboBox();
    EXPECT_EQ(z.ListIndex.load(), 0);
}

TEST_F(MainWindowTest, CommandsStayOffWhileNothingIsThereForThem)
{
    dir_.WriteFile("user.ini", "[Admin]\r\nCurrentMode=0\r\n");
    Create();
    form_->show();
    // No tool window plugged in yet: their buttons, Fast and Parameter have nothing behind them.
    for (const char* name : {"SpectButton", "CoarseButton", "Crosshairsbutton", "dncButton", "SelButton", "Oszi2Button",
                             "SlidButton", "CameraButton"})
        EXPECT_FALSE(form_->Control(name)->isEnabled()) << name;
    EXPECT_FALSE(form_->FastSpeedButton()->isEnabled());
    EXPECT_FALSE(form_->MenuItem("ParameterItem")->isEnabled());
    // A user cannot make himself admin without the password window, nor reach a DDE server that is not there.
    EXPECT_EQ(form_->AdminLevel(), 0);
    EXPECT_FALSE(form_->MenuItem("MakemeAdminItem")->isEnabled());
    EXPECT_FALSE(form_->MenuItem("DDESever1")->isEnabled());
    form_->SetToolToggle("CoarseButton", [](bool) {});
    EXPECT_TRUE(form_->Control("CoarseButton")->isEnabled());
    EXPECT_FALSE(form_->Control("SpectButton")->isEnabled());

    // The image commands follow the image windows: on with one, off again when the last one closes.
    TDaten& z = workers_->GoXYThread().Channels[0];
    ASSERT_TRUE(z.AllocBuffers(16, 16));
    QMdiSubWindow* sub = (new TChildForm(z, 0, &workers_->ShowThread()))->AddToMdiArea(form_->MdiArea());
    sub->show();
    form_->MdiArea()->setActiveSubWindow(sub);
    QCoreApplication::processEvents();
    ASSERT_TRUE(form_->SaveButton()->isEnabled());
    sub->close();
    QCoreApplication::processEvents();
    for (const char* name : {"FileCloseItem", "FileSaveItem", "FileSaveAllItem", "WindowCascadeItem", "WindowTileItem",
                             "WindowArrangeItem", "WindowMinimizeItem"})
        EXPECT_FALSE(form_->MenuItem(name)->isEnabled()) << name;
    EXPECT_FALSE(form_->SaveButton()->isEnabled());
}

TEST_F(MainWindowTest, ScanButtonStartsAScanAndTheScanThreadReleasesIt)
{
    Create();
    ScanParams.LinesLeft = 7;
    PressScan();
    EXPECT_EQ(ScanParams.LinesLeft.load(), 0); // the operator scans without a line budget
    EXPECT_TRUE(form_->ScanButtonDown());
    // One frame (Continuous Scan is up), then the thread releases the button.
    ASSERT_TRUE(Parked());
    EXPECT_TRUE(device_->PictureReadyEvent.IsSet());

    // Continuing beyond the last line: the next frame runs downward from it.
    form_->MenuItem("ContOnRestart")->trigger();
    EXPECT_TRUE(MainIni->ReadBool("Main", "ContOnRestart", false));
    ScanParams.CurrentLine = 17;
    form_->RepeatButton()->setChecked(true);
    PressScan();
    EXPECT_EQ(workers_->GoXYThread().Direction.load(), -1);
    EXPECT_EQ(workers_->ShowThread().FirstLine.load(), 16);
    ASSERT_TRUE(PumpUntil([this] { return !workers_->GoXYThread().Suspended(); }));

    // Pressing Scan while the thread runs is refused; the button stays down.
    PressScan();
    EXPECT_EQ(boxes_.LastText(), "Scan was not paused!? ");
    EXPECT_TRUE(form_->ScanButtonDown());

    // Releasing the button stops the scan.
    form_->ScanButton()->setChecked(false);
    form_->Scan(TScanSender::User);
    ASSERT_TRUE(Parked());

    // A script keeps its line budget.
    ScanParams.LinesLeft = 3;
    form_->ScanButton()->setChecked(true);
    form_->Scan(TScanSender::Script);
    ASSERT_TRUE(Parked());
    EXPECT_EQ(ScanParams.LinesLeft.load(), 0); // spent by the scan
    EXPECT_EQ(boxes_.Texts().size(), 1);
}

TEST_F(MainWindowTest, EscStopsAWaitAndLettersStepTheParameterRows)
{
    Create();
    para_ = std::make_unique<TScanParaForm>();
    form_->DockParameterWindow(para_.get());
    para_->FormCreate();
    form_->show();
    ASSERT_TRUE(PumpUntil([this] { return form_->isVisible(); }));
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && focus->window() == form_.get())
        focus->clearFocus();

    AbortFlag = false;
    const bool down = form_->ScanButtonDown();
    SendKey(form_.get(), Qt::Key_Escape);
    EXPECT_TRUE(AbortFlag.load());
    EXPECT_EQ(form_->ScanButtonDown(), down);

    auto& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(ValidFeedbackMode(MicroscopeState.FeedbackMode))];
    const float bias = set.Bias;
    SendKey(form_.get(), Qt::Key_U, Qt::ShiftModifier);
    const float raised = set.Bias;
    EXPECT_NE(raised, bias);
    SendKey(form_.get(), Qt::Key_U);
    EXPECT_LT(set.Bias, raised);

    // A letter typed into a text box is the box's.
    auto* edit3 = para_->Edit("Edit3");
    ASSERT_NE(edit3, nullptr);
    QApplication::setActiveWindow(form_.get());
    edit3->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == edit3; }, 2000));
    const float before = set.Bias;
    SendKey(edit3, Qt::Key_U);
    EXPECT_EQ(set.Bias, before);
}

TEST_F(MainWindowTest, SaveButtonSavesOnMouseUpAndShiftSwitchesTheAutomaticSave)
{
    Create({}, "[Save]\r\nAutoSaveScan=1\r\n");
    EXPECT_TRUE(form_->SaveButtonDown());
    form_->SaveButtonMouseUp(true);
    EXPECT_FALSE(MainIni->ReadBool("Save", "AutoSaveScan", true));
    EXPECT_FALSE(form_->SaveButtonDown());
    form_->SaveButtonMouseUp(true);
    EXPECT_TRUE(MainIni->ReadBool("Save", "AutoSaveScan", false));
    // A click alone shows the setting.
    form_->SaveButton()->setChecked(false);
    form_->SaveButtonClick();
    EXPECT_TRUE(form_->SaveButtonDown());
}

TEST_F(MainWindowTest, CloseIsRefusedWhileTheScanStillRunsAndNothingIsRampedThen)
{
    Create("RetractOnExitQVT=1\r\n");
    MicroscopeState.ZState = ZApproached;
    form_->RepeatButton()->setChecked(true);
    PressScan();
    ASSERT_TRUE(PumpUntil([this] { return !workers_->GoXYThread().Suspended(); }));

    // A scan that keeps running after the pause request: the retract starts it again.
    int retracts = 0;
    form_->CoarseRetract = [&] {
        ++retracts;
        workers_->StartScan();
    };
    const size_t mark = sim_->RequestLog().size();
    EXPECT_FALSE(form_->close());
    EXPECT_EQ(retracts, 1);
    EXPECT_EQ(boxes_.LastText(), "Please stop scan first!");
    EXPECT_EQ(Writes(RegX, mark), 0) << "X/Y must not be ramped while the scan moves the tip";

    form_->CoarseRetract = [&] { ++retracts; };
    form_->ScanButton()->setChecked(false);
    form_->Scan(TScanSender::User);
    ASSERT_TRUE(Parked());
    const size_t mark2 = sim_->RequestLog().size();
    EXPECT_TRUE(form_->FormCloseQuery());
    EXPECT_EQ(retracts, 2);
    EXPECT_GT(Writes(RegX, mark2), 0); // now ramped home
    MicroscopeState.ZState = ZCoarseRetracted;
}

TEST_F(MainWindowTest, GeometryAndToggleStatesAreKeptForTheNextStart)
{
    dir_.WriteFile("user.ini", "[Main]\r\nRepeatButton=1\r\n");
    Create("FormPosLeft=40\r\nFormPosTop=30\r\nFormWidth=5000\r\nFormHeight=500\r\n");
    EXPECT_TRUE(form_->RepeatButtonDown());
    // Cut at the right edge of the desktop.
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(form_->width(), screen->availableGeometry().width() - 40);
    EXPECT_EQ(form_->height(), 500);
    form_->resize(520, 510);
    form_->RepeatButton()->setChecked(false);
    form_->FormDestroy();
    EXPECT_EQ(MainIni->ReadInteger("Main", "FormWidth", 0), 520);
    EXPECT_EQ(MainIni->ReadInteger("Main", "FormHeight", 0), 510);
    EXPECT_EQ(MainIni->ReadInteger("Main", "FormPosLeft", 0), 40);
    EXPECT_FALSE(UserIni->ReadBool("Main", "RepeatButton", true));
    EXPECT_TRUE(UserIni->ValueExists("Main", "CameraButton"));
}

TEST_F(MainWindowTest, TheMainWindowDrawsItsMenusToolbarAndParameterWindow)
{
    Create();
    para_ = std::make_unique<TScanParaForm>();
    form_->DockParameterWindow(para_.get());
    para_->FormCreate();
    TDaten& z = workers_->GoXYThread().Channels[0];
    ASSERT_TRUE(z.AllocBuffers(16, 16));
    auto* image = new TChildForm(z, 0, &workers_->ShowThread());
    image->AddToMdiArea(form_->MdiArea())->show();
    PressScan();
    ASSERT_TRUE(Parked());
    form_->resize(1000, 700);
    form_->show();
    ASSERT_TRUE(PumpUntil([this] { return form_->isVisible(); }));
    QCoreApplication::processEvents();

    const QImage shot = form_->grab().toImage();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), form_->size() * shot.devicePixelRatio());
    QSet<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 3)
        for (int x = 0; x < shot.width(); x += 3)
            colours.insert(shot.pixel(x, y));
    EXPECT_GT(colours.size(), 20) << "the window came out blank";
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/MainWindow.png"));
    EXPECT_TRUE(form_->ParameterDock()->isVisible());
    EXPECT_TRUE(form_->MainMenu()->isVisible());
}

// ---- image windows, palettes and saving --------------------------------------------

namespace {

std::vector<int32_t> Readings(const TDaten& d)
{
    std::vector<int32_t> values;
    if (const TImageMatrixPtr m = d.Data())
        for (int r = 0; r < m->Rows(); ++r)
            for (int c = 0; c < m->Cols(); ++c)
                values.push_back(m->At(r, c));
    return values;
}

std::vector<int32_t> SavedReadings(const QString& path)
{
    QFile file(path);
    std::vector<int32_t> values;
    if (!file.open(QIODevice::ReadOnly))
        return values;
    const QByteArray bytes = file.readAll();
    for (qsizetype i = 0; i + 4 <= bytes.size(); i += 4)
        values.push_back(qFromLittleEndian<int32_t>(bytes.constData() + i));
    return values;
}

std::vector<uint8_t> Pixels(const TChildForm* w)
{
    const TIndexedBitmap& b = w->Renderer().Bitmap();
    return std::vector<uint8_t>(b.Bits(), b.Bits() + std::size_t(b.Stride()) * b.Height());
}

// Topography, "Current" (ADC1) and "Error" (ADC2) listed; saves go to scans/.
const QByteArray ThreeChannels = "[Scale]\r\nDAC1CheckBox1=1\r\nDAC1Label2=Topography\r\nADC1CheckBox1=1\r\n"
                                 "ADC1Label2=Current\r\nADC2CheckBox1=1\r\nADC2Label2=Error\r\n";
constexpr int Topo = 0;
constexpr int Current = FirstAdcSlot;
constexpr int Error = FirstAdcSlot + 1;

class ImageWindowsTest : public MainWindowTest {
protected:
    void CreateWithChoice()
    {
        saveDir_ = dir_.Path() + "scans";
        QDir().mkpath(saveDir_);
        // A tilted plane the loop follows, so the readings are no zeros.
        sim::SimConfig config = FastConfig();
        config.Surface.Base = 5000.0;
        config.Surface.TiltX = 0.5;
        config.Surface.TiltY = 0.25;
        Create({}, ThreeChannels + "[Save]\r\nPath=" + saveDir_.toUtf8() + "\r\n", config);
        setup_ = std::make_unique<TSetupForm>(*workers_, form_->MdiArea());
        setup_->FillChannelComboBox = [this] { form_->FillChannelComboBox(); };
        setup_->SaveUnderWay = [] { return ScanSaveUnderWay(); };
        setup_->FormCreate();
    }
    void TearDown() override
    {
        SaveEnvironment = {};
        setup_.reset();
        MainWindowTest::TearDown();
    }
    TChildForm* Window(int slot, int plane) const
    {
        for (TChildForm* w : form_->ImageWindows())
            if (w->BufferIndex() == ImageChannelIndex(slot, plane))
                return w;
        return nullptr;
    }
    TDaten& Buffer(int slot, int plane) { return workers_->GoXYThread().Channels[ImageChannelIndex(slot, plane)]; }
    void Released()
    {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QString saveDir_;
    std::unique_ptr<TSetupForm> setup_;
};

} // namespace

TEST_F(ImageWindowsTest, PaletteChangesRecolourTheWindowsInPlaceAndTheSaveHoldsTheFrame)
{
    CreateWithChoice();
    setup_->Box(Topo, PlaneFwd)->setChecked(true);
    const QPointer<TChildForm> window = Window(Topo, PlaneFwd);
    ASSERT_NE(window, nullptr);
    PressScan();
    ASSERT_TRUE(Parked());
    const TImageMatrixPtr frame = Buffer(Topo, PlaneFwd).Data();
    const std::vector<int32_t> scanned = Readings(Buffer(Topo, PlaneFwd));
    ASSERT_EQ(scanned.size(), 16u * 16u);
    ASSERT_NE(scanned, std::vector<int32_t>(scanned.size(), 0));
    const std::vector<uint8_t> picture = Pixels(window);

    // Standard, a user palette (blue to red), Standard again.
    QByteArray ramp = "JASC-PAL\r\n0100\r\n256\r\n";
    for (int k = 0; k < 256; ++k)
        ramp += QByteArray::number(k) + " 0 " + QByteArray::number(255 - k) + "\r\n";
    const QString userPalette = dir_.WriteFile("ramp.pal", ramp);
    auto* palette = form_->findChild<TPaletteMenu*>();
    ASSERT_NE(palette, nullptr);
    palette->StandardPaletteClick();
    palette->UseUserFile(userPalette);
    Released();
    ASSERT_EQ(window, Window(Topo, PlaneFwd)); // the same window, recoloured
    EXPECT_EQ(window->ColorTable()[0], (TPaletteEntry{255, 0, 0, 0}));
    EXPECT_EQ(window->Image().colorTable().value(0), qRgb(0, 0, 255));
    palette->StandardPaletteClick();
    Released();
    ASSERT_EQ(window, Window(Topo, PlaneFwd));
    EXPECT_EQ(window->ColorTable()[0], FormulaPalette()[0]);
    EXPECT_EQ(Pixels(window), picture);
    EXPECT_EQ(Buffer(Topo, PlaneFwd).Data(), frame);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();

    form_->FileSaveItemClick();
    EXPECT_EQ(SavedReadings(saveDir_ + "/NoName00TopographyFwd.int"), scanned);
    EXPECT_EQ(form_->windowTitle(), "QVT   " + saveDir_ + "/NoName00");
}

TEST_F(ImageWindowsTest, ManualGainBoxesShowTheActiveWindowsContrastAndApplyOnEnter)
{
    CreateWithChoice();
    form_->show();
    setup_->Box(Topo, PlaneFwd)->setChecked(true);
    setup_->Box(Current, PlaneFwd)->setChecked(true);
    PressScan();
    ASSERT_TRUE(Parked());
    TChildForm* topo = Window(Topo, PlaneFwd);
    TChildForm* current = Window(Current, PlaneFwd);
    auto* offset = qobject_cast<TNumericEdit*>(form_->Control("Edit1"));
    auto* range = qobject_cast<TNumericEdit*>(form_->Control("Edit2"));
    ASSERT_TRUE(offset != nullptr && range != nullptr);
    const auto activate = [this](TChildForm* w) {
        form_->MdiArea()->setActiveSubWindow(w->SubWindow());
        ASSERT_EQ(form_->ActiveImageWindow(), w);
    };

    activate(topo);
    EXPECT_TRUE(offset->isHidden());
    topo->SetGainMode(GainManual); // "Manual" in the window's menu
    ASSERT_FALSE(offset->isHidden());
    ASSERT_FALSE(range->isHidden());
    EXPECT_EQ(offset->text(), QString::number(topo->GetManualOffset(), 'f', 3));
    EXPECT_EQ(range->text(), QString::number(topo->GetManualRange(), 'f', 3));

    // A narrower range, typed and entered, redraws the picture with it.
    const std::vector<uint8_t> before = Pixels(topo);
    const double narrower = topo->GetManualRange() / 4.0;
    range->setText(QString::number(narrower, 'f', 3));
    SendKey(range, Qt::Key_Return);
    EXPECT_EQ(range->Color(), EditColor::White);
    EXPECT_NEAR(topo->GetManualRange(), narrower, std::fabs(ChannelTable[Topo].Factor.load()) + 1e-3);
    EXPECT_NE(Pixels(topo), before);
    const double offsetValue = topo->GetManualOffset() + narrower;
    offset->setText(QString::number(offsetValue, 'f', 3).replace('.', ','));
    SendKey(offset, Qt::Key_Enter);
    EXPECT_EQ(offset->Color(), EditColor::White);
    EXPECT_NEAR(topo->GetManualOffset(), offsetValue, std::fabs(ChannelTable[Topo].Factor.load()) + 1e-3);

    // No number, or no range at all, is refused; Esc shows the window's value again.
    const double kept = topo->GetManualRange();
    for (const char* bad : {"wide", "0", "-1"}) {
        range->setText(bad);
        SendKey(range, Qt::Key_Return);
        EXPECT_EQ(range->Color(), EditColor::Red) << bad;
        EXPECT_EQ(topo->GetManualRange(), kept) << bad;
    }
    SendKey(range, Qt::Key_Escape);
    EXPECT_EQ(range->text(), QString::number(kept, 'f', 3));
    EXPECT_EQ(range->Color(), EditColor::White);

    // Another window in another gain mode hides them; back, they show its values.
    activate(current);
    EXPECT_TRUE(offset->isHidden());
    activate(topo);
    EXPECT_FALSE(offset->isHidden());
    EXPECT_EQ(range->text(), QString::number(kept, 'f', 3));
}

TEST_F(ImageWindowsTest, AChannelSwitchedDuringAFrameEndSaveWaitsForItAndBothComeOutRight)
{
    CreateWithChoice();
    setup_->Box(Topo, PlaneFwd)->setChecked(true);
    setup_->Box(Current, PlaneFwd)->setChecked(true);
    form_->SaveButton()->setChecked(true);
    // While the frame is being saved, Current goes off and Error comes on.
    std::vector<int32_t> topoFrame;
    std::vector<int32_t> currentFrame;
    bool switched = false;
    SaveEnvironment.UserName = [&] {
        if (!switched) {
            switched = true;
            topoFrame = Readings(Buffer(Topo, PlaneFwd));
            currentFrame = Readings(Buffer(Current, PlaneFwd));
            setup_->Box(Current, PlaneFwd)->setChecked(false);
            setup_->Box(Error, PlaneFwd)->setChecked(true);
        }
        return QStringLiteral("tester");
    };

    PressScan();
    ASSERT_TRUE(Parked());
    ASSERT_TRUE(switched);
    ASSERT_TRUE(PumpUntil([&] { return Window(Error, PlaneFwd) != nullptr && Window(Current, PlaneFwd) == nullptr; }));
    Released();

    // The save wrote the frame as it ended, both channels and both pictures.
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    ASSERT_EQ(topoFrame.size(), 16u * 16u);
    EXPECT_NE(currentFrame, std::vector<int32_t>(currentFrame.size(), 0));
    EXPECT_EQ(SavedReadings(saveDir_ + "/NoName00TopographyFwd.int"), topoFrame);
    EXPECT_EQ(SavedReadings(saveDir_ + "/NoName00CurrentFwd.int"), currentFrame);
    EXPECT_TRUE(QFile::exists(saveDir_ + "/NoName00Topography  Fwd.bmp"));
    EXPECT_TRUE(QFile::exists(saveDir_ + "/NoName00Current  Fwd.bmp"));
    EXPECT_FALSE(QFile::exists(saveDir_ + "/NoName00ErrorFwd.int"));
    // And the switch happened after it.
    EXPECT_FALSE(Buffer(Current, PlaneFwd).HasBuffer());
    EXPECT_TRUE(Buffer(Error, PlaneFwd).HasBuffer());
    EXPECT_FALSE(setup_->Box(Current, PlaneFwd)->isChecked());
    EXPECT_TRUE(setup_->Box(Error, PlaneFwd)->isChecked());
    EXPECT_EQ(form_->ImageWindows().size(), 2);
}
