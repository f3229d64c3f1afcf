#include "mainwindow/MainQVTForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "files/SavePath.h"
#include "files/ScanFiles.h"
#include "images/ChannelChoice.h"
#include "images/ChildForm.h"
#include "images/ImageTouch.h"
#include "images/PaletteMenu.h"
#include "images/SetupForm.h"
#include "mainwindow/AboutQVTBox.h"
#include "mainwindow/ErrorLog.h"
#include "mainwindow/MainGlyphs.h"
#include "motion/MoveEngine.h"
#include "motion/PowerSaver.h"
#include "optics/CameraForm.h"
#include "optics/LEDForm.h"
#include "platform/FileDialogs.h"
#include "platform/Launcher.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastScanThread.h"
#include "scan/ImageBuffers.h"
#include "scan/LevelPage.h"
#include "scan/ScanParaForm.h"
#include "scan/ShowThread.h"
#include "view3d/A3DForm.h"
#include "widgets/NumericEdit.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDockWidget>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace qvt {

namespace {

constexpr const char* NoFastChannelText =
    "No fast channel chosen!\rMark a channel \"IOFast\" in Scale and open its window in Acquire.";
constexpr const char* StopSpectroscopyFirstText = "Please stop spectroscopy first!";

// In fast mode only the forward windows of the channels marked fast stay:
// without one the fast scan has nothing to show.
bool FastChannelChosen()
{
    if (MainIni == nullptr)
        return false;
    for (const TChoiceChannel& c : ReadChoiceChannels(*MainIni))
        if (c.Fast && SavedBoxChecked(*MainIni, c.Slot, PlaneFwd))
            return true;
    return false;
}

} // namespace

TMainQVTForm* MainQVTForm = nullptr;
TQVTIniFile* UsbIni = nullptr;

namespace {

constexpr int DesignWidth = 1000;
constexpr int DesignHeight = 720;
constexpr int DefaultFormPos = 10;
constexpr int MemProgMax = 65;
constexpr int GainBoxWidth = 70;
constexpr int ChannelBoxWidth = 150;
constexpr int MemProgWidth = 100;
// How long the exit stops a scan that is still moving before it gives up on it.
constexpr int ExitPauseBoundMs = 3000;
// The operator's manual, opened by "QVT Help" with the desktop's browser.
constexpr const char* HelpFileName = "QVT_Manual.html";
constexpr const char* HelpPdfName = "5_QuorvelScan.pdf";

// The toggles whose Down state is kept in UserIni [Main] under the button's
// name. Each tool window reads its own key when it is created; the Repeat
// and Fast buttons are read here.
const char* const SavedToggles[] = {"SpectButton",     "CoarseButton", "Crosshairsbutton", "dncButton",
                                    "SelButton",       "Oszi2Button",  "SlidButton",       "LockinButton",
                                    "FastSpeedButton", "RepeatButton", "CameraButton"};

bool IsTextInput(const QObject* w)
{
    if (const auto* line = qobject_cast<const QLineEdit*>(w))
        return !line->isReadOnly();
    if (const auto* combo = qobject_cast<const QComboBox*>(w))
        return combo->isEditable();
    return qobject_cast<const QAbstractSpinBox*>(w) != nullptr || qobject_cast<const QTextEdit*>(w) != nullptr ||
           qobject_cast<const QPlainTextEdit*>(w) != nullptr;
}

bool ReadMain(const QString& key, bool def)
{
    return MainIni != nullptr ? MainIni->ReadBool("Main", key, def) : def;
}

bool ReadUser(const QString& key, bool def)
{
    return UserIni != nullptr ? UserIni->ReadBool("Main", key, def) : def;
}

} // namespace

// ---- construction ------------------------------------------------------------------------

TMainQVTForm::TMainQVTForm(QWidget* parent) : QMainWindow(parent)
{
    setObjectName("MainQVTForm");
    setWindowTitle("QVT");

    // Menu and speed panel span the whole width, above the docked tool windows.
    auto* top = new QWidget(this);
    top->setObjectName("MenuPanel");
    auto* column = new QVBoxLayout(top);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    menuBar_ = new QMenuBar(top);
    menuBar_->setObjectName("MainMenu1");
    column->addWidget(menuBar_);
    speedPanel_ = new QWidget(top);
    speedPanel_->setObjectName("SpeedPanel");
    column->addWidget(speedPanel_);
    setMenuWidget(top);

    mdiArea_ = new QMdiArea(this);
    mdiArea_->setObjectName("MdiArea");
    mdiArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdiArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(mdiArea_);
    statusBar()->setObjectName("StatusBar");

    BuildSpeedPanel();
    BuildMenus();
    resize(DesignWidth, DesignHeight);

    // The active-window change handler: which entries apply depends on the
    // image windows and on the level.
    connect(mdiArea_, &QMdiArea::subWindowActivated, this, [this] { UpdateMenuItems(); });
    connect(qApp, &QApplication::focusChanged, this, [this] { UpdateMenuItems(); });
    // Key preview, the activity clock and the Save button's mouse-up.
    qApp->installEventFilter(this);
    TChildForm::ScanRunning = [this] { return scanButton_->isChecked(); };
    TChildForm::ShowManualGainBoxes = [this](bool shown, double offset, double range) {
        ShowManualGainBoxes(shown, offset, range);
    };
    if (MainQVTForm == nullptr) {
        MainQVTForm = this;
        // Saves take the image windows of this area and show their caption here.
        SaveImageArea = mdiArea_;
        SaveCaptionWindow = this;
    }
    UpdateMenuItems();
}

TMainQVTForm::~TMainQVTForm()
{
    qApp->removeEventFilter(this);
    if (device_) {
        device_->GoXYThread().SetHost(nullptr);
        device_->FastScanThread().SetHost(nullptr);
    }
    TChildForm::ScanRunning = nullptr;
    TChildForm::ShowManualGainBoxes = nullptr;
    // Image windows show buffers of the device window: they go first.
    const QList<QMdiSubWindow*> subs = mdiArea_->subWindowList();
    for (QMdiSubWindow* sub : subs)
        delete sub;
    if (UsbIni == usbIni_.get())
        UsbIni = nullptr;
    if (MainIni == mainIni_.get())
        MainIni = nullptr;
    if (UserIni == userIni_.get())
        UserIni = nullptr;
    if (MainQVTForm == this)
        MainQVTForm = nullptr;
}

QToolButton* TMainQVTForm::AddSpeedButton(const QString& name, const QString& hint, bool toggle, bool groupEnd)
{
    auto* b = new QToolButton(speedPanel_);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setStatusTip(hint);
    b->setCheckable(toggle);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    const QIcon glyph = ToolGlyph(name);
    if (glyph.isNull())
        b->setText(hint.left(2));
    else
        b->setIcon(glyph);
    toolbarOrder_.push_back({name, true, 0, groupEnd, false});
    controls_[name] = b;
    return b;
}

void TMainQVTForm::BuildSpeedPanel()
{
    QToolButton* exitButton = AddSpeedButton("ExitButton", "Exit", false, true);
    connect(exitButton, &QToolButton::clicked, this, &QWidget::close);

    // The tool windows' toggles: usable once their window plugs in.
    const std::pair<const char*, const char*> tools[] = {
        {"SpectButton", "Spectroscopy"},   {"CoarseButton", "Coarse Move"}, {"Crosshairsbutton", "Crosshairs"},
        {"dncButton", "Dyn. Non-Contact"}, {"SelButton", "Select"},         {"Oszi2Button", "Oscilloscope"},
        {"SlidButton", "Slider"},          {"LockinButton", "Lockin"},
    };
    for (const auto& [name, hint] : tools) {
        QToolButton* b = AddSpeedButton(name, hint, true, QString(name) == "LockinButton");
        b->setEnabled(false);
        connect(b, &QToolButton::clicked, this, [this, n = QString(name)](bool down) {
            if (const auto it = toggles_.find(n); it != toggles_.end())
                it->second(down);
        });
    }

    fastButton_ = AddSpeedButton("FastSpeedButton", "Fast ...", true);
    fastButton_->setEnabled(false); // until the fast scan plugs in
    connect(fastButton_, &QToolButton::clicked, this, [this] { FastSpeedButtonClick(); });

    scanButton_ = AddSpeedButton("ScanButton", "Start Scan", true);
    SetScanGlyph(false);
    connect(scanButton_, &QToolButton::clicked, this, [this] { Scan(TScanSender::User); });
    scanButton_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(scanButton_, &QToolButton::customContextMenuRequested, this,
            [this](const QPoint& at) { scanPopup_->popup(scanButton_->mapToGlobal(at)); });

    repeatButton_ = AddSpeedButton("RepeatButton", "Continuous Scan", true);
    saveButton_ = AddSpeedButton("SaveButton", "Save All", true, true);
    connect(saveButton_, &QToolButton::clicked, this, [this] { SaveButtonClick(); });

    QToolButton* camera = AddSpeedButton("CameraButton", "Camera", true, true);
    camera->setEnabled(false);
    connect(camera, &QToolButton::clicked, this, [this](bool down) {
        if (const auto it = toggles_.find("CameraButton"); it != toggles_.end())
            it->second(down);
    });

    auto gainBox = [this](const QString& name, const QString& hint) {
        auto* box = new TNumericEdit(name, speedPanel_);
        box->setToolTip(hint);
        box->setStatusTip(hint);
        box->hide();
        controls_[name] = box;
        toolbarOrder_.push_back({name, false, GainBoxWidth, false, false});
        return box;
    };
    edit1_ = gainBox("Edit1", "Offset");
    edit2_ = gainBox("Edit2", "Range");
    // Enter applies to the active image window; Esc shows its value again.
    edit1_->OnValue = [this](double value) { return ApplyManualGain(false, value); };
    edit2_->OnValue = [this](double value) { return ApplyManualGain(true, value); };
    edit1_->OnRestore = [this] { ShowManualGainValues(); };
    edit2_->OnRestore = [this] { ShowManualGainValues(); };

    comboBox2_ = new QComboBox(speedPanel_);
    comboBox2_->setObjectName("ComboBox2");
    comboBox2_->hide();
    controls_["ComboBox2"] = comboBox2_;
    toolbarOrder_.push_back({"ComboBox2", false, ChannelBoxWidth, false, false});

    memProgBar_ = new QProgressBar(speedPanel_);
    memProgBar_->setObjectName("MemProgBar");
    memProgBar_->setRange(0, MemProgMax);
    memProgBar_->setValue(0);
    // With its percentage shown an empty bar reads as a progress bar, not as
    // an empty text box.
    memProgBar_->setTextVisible(true);
    memProgBar_->setFormat(QStringLiteral("%p%"));
    memProgBar_->setAlignment(Qt::AlignCenter);
    controls_["MemProgBar"] = memProgBar_;
    toolbarOrder_.push_back({"MemProgBar", true, MemProgWidth, false, true});
}

QAction* TMainQVTForm::AddItem(QMenu* menu, const QString& name, const QString& caption,
                               void (TMainQVTForm::*handler)())
{
    QAction* item = menu->addAction(caption);
    item->setObjectName(name);
    items_[name] = item;
    if (handler != nullptr) {
        connect(item, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    } else {
        // A command whose window comes later: off until it plugs in.
        item->setEnabled(false);
        connect(item, &QAction::triggered, this, [this, name] {
            if (const auto it = commands_.find(name); it != commands_.end())
                it->second();
        });
    }
    return item;
}

void TMainQVTForm::BuildMenus()
{
    QMenu* file = menuBar_->addMenu("&File");
    file->setObjectName("File1");
    AddItem(file, "OpenLastItem", "&Open Present", &TMainQVTForm::OpenLastItemClick);
    // An empty image window has no buffer to show or save; kept hidden.
    AddItem(file, "New1", "&New")->setVisible(false);
    AddItem(file, "FileCloseItem", "&Close", &TMainQVTForm::FileCloseItemClick)->setVisible(false);
    AddItem(file, "FileSaveItem", "&Save", &TMainQVTForm::FileSaveItemClick);
    AddItem(file, "FileSaveAllItem", "Save &As", &TMainQVTForm::FileSaveAllItemClick);
    file->addSeparator();
    AddItem(file, "FileExitItem", "E&xit", &TMainQVTForm::FileExitItemClick);

    QMenu* settings = menuBar_->addMenu("&Settings");
    settings->setObjectName("Settings1");
    AddItem(settings, "MakemeAdminItem", AdminItemCaption(adminLevel_), &TMainQVTForm::MakemeAdminItemClick);
    settings->addSeparator();
    AddItem(settings, "Window2", "Ac&quire");
    AddItem(settings, "ScaleItem", "S&cale");
    AddItem(settings, "FeedbackItem", "&Feedback");
    AddItem(settings, "AutoOffsetItem", "&AutoOffsetADC0");
    AddItem(settings, "MiscItem", "&Misc");
    AddItem(settings, "JoystickItem", "&Joystick");
    AddItem(settings, "LEDItem", "&LEDs");
    AddItem(settings, "HighSpeedItem", "H&ighSpeedSettings");
    AddItem(settings, "ScannerItem", "&Scanner");
    AddItem(settings, "ScaleADDAItem", "Scal&e AD/DA");
    AddItem(settings, "EditIniItem", "Edit I&ni", &TMainQVTForm::EditIniItemClick);
    settings->addSeparator();
    palette1_ = settings->addMenu("Color &Palette");
    palette1_->setObjectName("ColorPalette1");
    // Only the colours change: the pictures keep their indexes, and the
    // acquired data is not touched.
    paletteMenu_ = new TPaletteMenu(
        palette1_,
        [this] {
            for (TChildForm* w : ImageWindows())
                w->InitColorTable();
        },
        this);
    AddItem(settings, "TouchItem", "&TouchScreen", &TMainQVTForm::TouchItemClick)->setCheckable(true);
    AddItem(settings, "MeasureAllItem", "&Measure All", &TMainQVTForm::MeasureAllItemClick)->setCheckable(true);
    QAction* dde = AddItem(settings, "DDESever1", "&DDE Sever", &TMainQVTForm::DDESever1Click);
    dde->setCheckable(true);
    dde->setVisible(false);

    QMenu* tools = menuBar_->addMenu("&Tools");
    tools->setObjectName("Tools1");
    AddItem(tools, "ParameterItem", "&Parameter", &TMainQVTForm::ParameterItemClick)->setEnabled(false);
    AddItem(tools, "SpectroscopyItem", "&Spectroscopy")->setShortcut(Qt::Key_F4);
    AddItem(tools, "CoarseItem", "Coarse &Move");
    AddItem(tools, "CrosshairsItem", "&Crosshairs");
    AddItem(tools, "DNCItem", "&DNC");
    AddItem(tools, "SelectItem", "Select");
    AddItem(tools, "Oszi2", "&Oscilloscope");
    AddItem(tools, "OsziItem", "Simple Oscilloscope");
    AddItem(tools, "SliderItem", "Slider");
    AddItem(tools, "View3DItem", "&View 3D");
    AddItem(tools, "MainFrameItem", "MainFrame")->setVisible(false);
    AddItem(tools, "MultiLockInItem", "MultiChannelLockin");

    window1_ = menuBar_->addMenu("&Window");
    window1_->setObjectName("Window1");
    AddItem(window1_, "WindowCascadeItem", "Cascade", &TMainQVTForm::CascadeClick);
    AddItem(window1_, "WindowTileItem", "&Tile", &TMainQVTForm::TileClick);
    AddItem(window1_, "WindowArrangeItem", "&Arrange Icons", &TMainQVTForm::ArrangeIcons);
    AddItem(window1_, "WindowMinimizeItem", "&Minimize All", &TMainQVTForm::MinimizeAllClick);
    window1_->addSeparator();
    connect(window1_, &QMenu::aboutToShow, this, [this] { UpdateWindowList(); });

    QMenu* help = menuBar_->addMenu("&Help");
    help->setObjectName("Help1");
    AddItem(help, "HelpAboutItem", "&About");
    AddItem(help, "HistoryItem", "History");
    AddItem(help, "HelpContentsItem", "QVT Help", &TMainQVTForm::HelpContentsClick);
    AddItem(help, "HelpPdfItem", "Help as PDF", &TMainQVTForm::HelpPdfClick)->setVisible(false);

    // Entries that depend on the feedback mode are current whenever a menu opens.
    for (QMenu* menu : {file, settings, tools, window1_})
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateMenuItems(); });

    scanPopup_ = new QMenu(this);
    scanPopup_->setObjectName("ScanPopup");
    QAction* n1d = AddItem(scanPopup_, "N1D1", "1D", &TMainQVTForm::N1D1Click);
    QAction* n2d = AddItem(scanPopup_, "N2D1", "2D", &TMainQVTForm::N2D1Click);
    n1d->setCheckable(true);
    n2d->setCheckable(true);
    n2d->setChecked(true);
    AddItem(scanPopup_, "ContOnRestart", "cont. on restart", &TMainQVTForm::ContOnRestartClick)->setCheckable(true);
}

// ---- creation, start and exit ---------------------------------------------------------

bool TMainQVTForm::FormCreate(const QString& baseName)
{
    const QString help = AppDir + HelpFileName;
    if (QFileInfo(help).isFile())
        helpFile_ = help;
    else
        ShowMessage(MsgKind::Information,
                    QString("HelpFile \"") + HelpFileName + "\" not found in" + "\r" + AppDir + "\r");
    if (!LoadIniFiles(baseName))
        return false;
    RestorePosition();
    AppErrorHandler().LogPath = AppDir + "error.log";

    items_.at("TouchItem")->setChecked(ReadUser("IsTouchScreen", false));
    ArrangeToolbar();

    items_.at("MainFrameItem")->setVisible(MainIni->ReadBool("Software", "MainFrame", false));
    items_.at("LEDItem")->setVisible(MainIni->ReadBool("Software", "LEDButton", true));
    const bool ddeOn = ReadMain("DDEServerOn", false);
    items_.at("DDESever1")->setVisible(ddeOn);
    items_.at("DDESever1")->setChecked(ddeOn);
    items_.at("ContOnRestart")->setChecked(ReadMain("ContOnRestart", false));

    ApplyAdminLevel(UserIni->ReadInteger("Admin", "CurrentMode", LevelAdmin));
    saveButton_->setChecked(MainIni->ReadBool("Save", "AutoSaveScan", false));
    paletteMenu_->SyncFromSetting();
    touchFlag_ = InitTouchApi(ReadUser("IsTouchScreen", false));
    items_.at("MeasureAllItem")->setChecked(ReadUser("MeasureAll", false));
    UpdateMenuItems();
    return true;
}

bool TMainQVTForm::LoadIniFiles(const QString& baseName)
{
    const QString path = ResolveSettingsFile(AppDir, baseName);
    if (path.isEmpty()) {
        ShowMessage(MsgKind::Information, "File " + AppDir + "ini/" + baseName + ".ini" + " not found!" + "\r" +
                                              "Please check start parameter and *.ini file!");
        return false;
    }
    mainIni_ = std::make_unique<TQVTIniFile>(path);
    MainIni = mainIni_.get();
    setWindowTitle("QVT " + baseName);
    iniFileName_ = baseName + ".ini";

    const QString userPath = AppDir + MainIni->ReadString("Main", "UserIni", "user") + ".ini";
    // A pipe or a device there is no missing file: reading it tells what it is.
    if (!QFileInfo::exists(userPath))
        ShowMessage(MsgKind::Information, "File " + userPath + " not found!" + "\r" + "Please check *.ini file!");
    // Created all the same: it is written on first use.
    userIni_ = std::make_unique<TQVTIniFile>(userPath);
    UserIni = userIni_.get();
    LoadSharedStateSettings(*MainIni);
    repeatButton_->setChecked(UserIni->ReadBool("Main", "RepeatButton", false));
    return true;
}

bool TMainQVTForm::PositionsSettable() const
{
    // A Wayland client cannot place its own top-level window.
    return !QGuiApplication::platformName().startsWith("wayland");
}

void TMainQVTForm::RestorePosition()
{
    const int left = MainIni->ReadFormPosLeft("Main", DefaultFormPos);
    const int top = MainIni->ReadInteger("Main", "FormPosTop", DefaultFormPos);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int desktopWidth = screen != nullptr ? screen->availableGeometry().width() : 0;
    const int stored = MainIni->ReadInteger("Main", "FormWidth", DesignWidth);
    const int w = RestoredFormWidth(left, stored, desktopWidth);
    // A width cut by a smaller screen is not written over the operator's
    // (noted again once the layout has set the width it is shown with).
    widthCutFrom_ = w < stored ? stored : 0;
    if (w < stored)
        TQVTIniFile::NoteScreenMadeSize(true, stored, w);
    const int h = std::max(100, MainIni->ReadInteger("Main", "FormHeight", DesignHeight));
    resize(w, h);
    if (PositionsSettable())
        move(left, top);
}

void TMainQVTForm::ConnectDevice(TDeviceWorkers* device)
{
    device_ = device;
    if (device == nullptr)
        return;
    TGoXYThread& scan = device->GoXYThread();
    scan.SetHost(this);
    connect(&scan, &TGoXYThread::scanStopped, this, &TMainQVTForm::WMScanStopped, Qt::UniqueConnection);
    device->FastScanThread().SetHost(this);
    device->FastScanThread().ShowMemoryProgress = [this](int value) {
        memProgBar_->setValue(std::min(value, memProgBar_->maximum()));
    };
}

void TMainQVTForm::DockParameterWindow(QWidget* form)
{
    if (form == nullptr)
        return;
    if (parameterDock_ == nullptr) {
        parameterDock_ = new QDockWidget(this);
        parameterDock_->setObjectName("ScanParaDock");
        parameterDock_->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable |
                                    QDockWidget::DockWidgetClosable);
        addDockWidget(Qt::LeftDockWidgetArea, parameterDock_);
    }
    parameterDock_->setWidget(form); // a plain child from here on, whatever flags it had
    parameterDock_->setWindowTitle(form->windowTitle());
    connect(form, &QWidget::windowTitleChanged, parameterDock_, &QWidget::setWindowTitle);
    items_.at("ParameterItem")->setEnabled(true);
}

void TMainQVTForm::StartUp()
{
    TDeviceWorkers* device = device_;
    const bool linked = device != nullptr && !device->Link().StartFailed();
    if (linked) {
        device->Link().CalibrateDelay();
        device->Link().TestCommunication();
    }
    // The about box stays open only when driver and program do not belong together.
    if (AboutQVTBox != nullptr) {
        AboutQVTBox->Refresh();
        AboutQVTBox->setVisible(AboutQVTBox->PanelRed());
    }
    if (parameterDock_ != nullptr)
        parameterDock_->show();
    ResizeImageWindows();

    if (linked && device->Link().InstanceNumber >= 0) {
        usbIni_ = std::make_unique<TQVTIniFile>(AppDir + "ini/usb.ini");
        UsbIni = usbIni_.get();
        scanButton_->setChecked(true);
        Scan(TScanSender::Application);
    }

    if (ReadUser("FastSpeedButton", false) && !fastButton_->isHidden() && fastButton_->isEnabled()) {
        ScanParams.CurrentLine = static_cast<int16_t>((ScanParams.Pixels.load() + 1) / 2);
        fastButton_->setChecked(true);
        FastSpeedButtonClick();
    } else {
        fastButton_->setChecked(false);
    }
}

bool TMainQVTForm::FormCloseQuery()
{
    TDeviceWorkers* device = device_;
    if (device == nullptr)
        return true;
    device->PauseScan();
    // No status timer completes the pause from here on: a scan still moving
    // (a long move takes minutes at a slow speed) has its move stopped now,
    // as the timer stops it after the operator's stop.
    if (!device->GoXYThread().Suspended())
        device->GoXYThread().FinishPause(ExitPauseBoundMs);
    // A motion still under way (the close came between two of its passes
    // or steps) ends first, as the operator's stop ends it.
    StopMotions();
    device->WaitForMotion();
    if (ReadMain("RetractOnExitQVT", false) && MicroscopeState.ZState.load() == ZApproached) {
        if (CoarseRetract)
            CoarseRetract();
        else
            device->CoarseRetract();
        // Away from the sample before the scanner is ramped home.
        device->WaitForMotion();
    }
    // Asked before X/Y are ramped home: the ramp must not race a scan that
    // is still moving the tip.
    if (!device->GoXYThread().Suspended()) {
        ShowMessage(MsgKind::Information, "Please stop scan first!");
        return false;
    }
    device->ResetGoXY();
    return true;
}

void TMainQVTForm::StopMotions()
{
    // The parameter window's commands also end their own coarse moves.
    if (ScanParaForm != nullptr)
        ScanParaForm->StopMotions();
    else if (device_ != nullptr)
        device_->StopMotion();
}

void TMainQVTForm::FormClose()
{
    if (A3DForm != nullptr && A3DForm->isVisible() && UserIni != nullptr)
        UserIni->WriteBool("Main", "A3D", true);
    ShowStopScanMessage(false);
    if (touchFlag_)
        ReleaseTouchApi();
    touchFlag_ = false;
}

void TMainQVTForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (widthCutFrom_ > 0)
        TQVTIniFile::NoteScreenMadeSize(true, widthCutFrom_, width());
    widthCutFrom_ = 0;
}

void TMainQVTForm::closeEvent(QCloseEvent* event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    if (Closed)
        Closed();
}

void TMainQVTForm::FormDestroy()
{
    if (destroyed_)
        return;
    destroyed_ = true;
    disconnect(qApp, nullptr, this, nullptr);
    if (MainIni != nullptr) {
        const bool normal = !(isMaximized() || isMinimized() || isFullScreen());
        const QRect g = normal ? QRect(pos(), size()) : normalGeometry();
        if (PositionsSettable()) {
            MainIni->WriteInteger("Main", "FormPosLeft", g.x());
            MainIni->WriteInteger("Main", "FormPosTop", g.y());
        }
        MainIni->WriteInteger("Main", "FormWidth", g.width());
        MainIni->WriteInteger("Main", "FormHeight", g.height());
    }
    if (UserIni != nullptr) {
        for (const char* name : SavedToggles)
            UserIni->WriteBool("Main", name, Button(name)->isChecked());
    }
}

// ---- scanning ---------------------------------------------------------------------------

TGoXYThread* TMainQVTForm::ScanThread() const
{
    return device_ ? &device_->GoXYThread() : nullptr;
}

void TMainQVTForm::Scan(TScanSender sender)
{
    scanButton_->setToolTip(QString());
    scanButton_->setStatusTip(QString());
    TDeviceWorkers* device = device_;
    if (!scanButton_->isChecked()) {
        if (device != nullptr)
            device->PauseScan();
        return;
    }
    if (SetupForm != nullptr)
        SetupForm->hide();
    if (CameraOffDuringScan && CameraForm != nullptr)
        CameraForm->hide();
    if (device == nullptr) {
        scanButton_->setChecked(false);
        return;
    }
    TGoXYThread& scan = device->GoXYThread();
    if (!scan.Suspended()) {
        // The button stays down; the running scan releases it when it ends.
        ShowMessage(MsgKind::Information, "Scan was not paused!? ");
        return;
    }
    const TScanStart start = PlanScanStart(ScanParams.CurrentLine.load(), ScanParams.Pixels.load(),
                                           scan.Direction.load(), ContOnRestart(), ScanParams.LinesLeft.load(), sender);
    ScanParams.LinesLeft = start.LinesLeft;
    ScanParams.CurrentLine = static_cast<int16_t>(start.CurrentLine);
    scan.Direction = start.Direction;
    // A USB box scans in fast mode only.
    if (device->Link().Caps.Usb() && !fastButton_->isChecked() && fastButton_->isEnabled())
        fastButton_->click();
    device->ShowThread().FirstLine = ScanParams.CurrentLine.load();
    device->StartScan();
}

void TMainQVTForm::FastSpeedButtonClick()
{
    const bool down = fastButton_->isChecked();
    if (scanButton_->isChecked()) {
        fastButton_->setChecked(!down); // not while a scan runs
        return;
    }
    QAbstractButton* spect = Button("SpectButton");
    if (down && SpectroscopyRunning && SpectroscopyRunning()) {
        // The fast mode closes the spectroscopy window: the curve under way would be lost.
        fastButton_->setChecked(false);
        ShowMessage(MsgKind::Information, QString::fromLatin1(StopSpectroscopyFirstText));
        return;
    }
    if (down && !FastChannelChosen()) {
        // The fast mode would close every window that is not fast and stream
        // nothing: say why and leave everything as it is.
        fastButton_->setChecked(false);
        ShowMessage(MsgKind::Information, QString::fromLatin1(NoFastChannelText));
        return;
    }
    if (down) {
        spect->setEnabled(false);
        if (enterFastMode_)
            enterFastMode_();
    } else {
        if (leaveFastMode_)
            leaveFastMode_();
        spect->setEnabled(toggles_.count("SpectButton") > 0);
    }
    if (SetupForm != nullptr)
        SetupForm->BuildGrid();
}

void TMainQVTForm::SaveButtonClick()
{
    saveButton_->setChecked(MainIni != nullptr && MainIni->ReadBool("Save", "AutoSaveScan", false));
}

void TMainQVTForm::SaveButtonMouseUp(bool shift)
{
    if (MainIni == nullptr)
        return;
    bool autoSave = MainIni->ReadBool("Save", "AutoSaveScan", false);
    if (shift) {
        autoSave = !autoSave;
    } else {
        FileSaveItemClick();
        autoSave = false;
    }
    MainIni->WriteBool("Save", "AutoSaveScan", autoSave);
    saveButton_->setChecked(autoSave);
    if (ShowAutoSave)
        ShowAutoSave(autoSave);
}

void TMainQVTForm::FileSaveItemClick()
{
    if (device_)
        SaveScanFrame(device_->GoXYThread(), mdiArea_);
    else
        ShowMessage(MsgKind::Information, QString::fromLatin1(NoFrameText));
}

void TMainQVTForm::FileSaveAllItemClick()
{
    if (MainIni == nullptr)
        return;
    // No name is asked for a frame that cannot be saved.
    if (!device_) {
        ShowMessage(MsgKind::Information, QString::fromLatin1(NoFrameText));
        return;
    }
    if (!FrameToSave(device_->GoXYThread()))
        return;
    const QString chosen = GetSaveFileName(this, "Save As", SaveDirectory(*MainIni), QString());
    if (chosen.isEmpty())
        return;
    SaveScanFrameAs(chosen, device_->GoXYThread(), mdiArea_);
}

void TMainQVTForm::SetScanGlyph(bool lineScan)
{
    scanButton_->setIcon(ToolGlyph(lineScan ? "Scan1D" : "Scan2D"));
}

void TMainQVTForm::N1D1Click()
{
    ChooseScanKind(true);
}

void TMainQVTForm::N2D1Click()
{
    ChooseScanKind(false);
}

void TMainQVTForm::ChooseScanKind(bool lineScan)
{
    items_.at("N1D1")->setChecked(lineScan);
    items_.at("N2D1")->setChecked(!lineScan);
    SetScanGlyph(lineScan);
    const QString hint = lineScan ? "Scan line" : "Scan 2D";
    scanButton_->setToolTip(hint);
    scanButton_->setStatusTip(hint);
    ScanParams.LineScan = lineScan;
    if (device_)
        device_->PrepareScan();
}

void TMainQVTForm::ContOnRestartClick()
{
    if (MainIni != nullptr)
        MainIni->WriteBool("Main", "ContOnRestart", items_.at("ContOnRestart")->isChecked());
}

// ---- keys ------------------------------------------------------------------------------------

bool TMainQVTForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers)
{
    if (key == Qt::Key_Escape) {
        // A script and a scan watch the shared flag; a motion has its own stop.
        AbortFlag = true;
        StopMotions();
        return true;
    }
    TScanParaForm* para = ScanParaForm;
    if (para == nullptr)
        return false;
    const bool up = modifiers.testFlag(Qt::ShiftModifier);
    switch (key) {
    case Qt::Key_S:
        up ? para->RBitBtn1Click() : para->LBitBtn1Click();
        return true;
    case Qt::Key_I:
        up ? para->RBitBtn5Click() : para->LBitBtn5Click();
        return true;
    case Qt::Key_P:
        up ? para->RBitBtn6Click() : para->LBitBtn6Click();
        return true;
    case Qt::Key_U:
        up ? para->RBitBtn2Click() : para->LBitBtn2Click();
        return true;
    default:
        return false;
    }
}

bool TMainQVTForm::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseMove:
        NoteUserActivity();
        break;
    case QEvent::KeyPress: {
        NoteUserActivity();
        if (!watched->isWidgetType())
            break;
        auto* w = static_cast<QWidget*>(watched);
        if (w->window() != this)
            break;
        // A key travels up from the focus widget; it is previewed once, where it arrives.
        QWidget* focus = QApplication::focusWidget();
        if (w != (focus != nullptr && focus->window() == this ? focus : this))
            break;
        auto* key = static_cast<QKeyEvent*>(event);
        if (w == edit1_ || w == edit2_) {
            // The box itself applies or restores; Esc stops a wait as well.
            if (key->key() == Qt::Key_Escape)
                FormKeyDown(key->key(), key->modifiers());
            break;
        }
        // Letters typed into a text box are the box's.
        if (key->key() == Qt::Key_Escape || !IsTextInput(w))
            FormKeyDown(key->key(), key->modifiers());
        break;
    }
    case QEvent::MouseButtonRelease:
        if (watched == saveButton_ && saveButton_->isEnabled()) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton && saveButton_->rect().contains(mouse->position().toPoint()))
                SaveButtonMouseUp(mouse->modifiers().testFlag(Qt::ShiftModifier));
        }
        break;
    case QEvent::Wheel:
        if (watched == edit1_ || watched == edit2_) {
            auto* wheel = static_cast<QWheelEvent*>(event);
            FormMouseWheel(wheel->angleDelta().y(), wheel->modifiers().testFlag(Qt::ShiftModifier));
            return true;
        }
        break;
    default:
        break;
    }
    return false;
}

void TMainQVTForm::NoteUserActivity()
{
    // The power saver counts idle time from the last key or mouse move.
    if (TDeviceWorkers* device = device_)
        device->PowerSaver().ResetIdleClock();
}

// ---- window messages ------------------------------------------------------------------

void TMainQVTForm::WMRestore()
{
    if (isMinimized() || !isVisible())
        showNormal();
    raise();
    activateWindow();
}

void TMainQVTForm::WMScanStopped()
{
    scanButton_->setChecked(false);
}

// ---- menus and levels -----------------------------------------------------------------

void TMainQVTForm::UpdateMenuItems()
{
    const TMenuVisibility v =
        MenuVisibility(adminLevel_, MicroscopeState.FeedbackMode.load(), !ImageWindows().isEmpty());
    for (const char* name : {"FileCloseItem", "FileSaveItem", "FileSaveAllItem", "WindowCascadeItem", "WindowTileItem",
                             "WindowArrangeItem", "WindowMinimizeItem"})
        items_.at(name)->setEnabled(v.ImageCommands);
    saveButton_->setEnabled(v.ImageCommands);
    items_.at("ScaleItem")->setVisible(v.Scale);
    items_.at("FeedbackItem")->setVisible(v.Feedback);
    items_.at("AutoOffsetItem")->setVisible(v.AutoOffset);
    items_.at("MiscItem")->setVisible(v.Misc);
    items_.at("JoystickItem")->setVisible(v.Joystick);
    items_.at("ScaleADDAItem")->setVisible(v.ScaleADDA);
    items_.at("EditIniItem")->setVisible(v.EditIni);
    if (ShowScannerTeachButton)
        ShowScannerTeachButton(v.TeachButton);
    items_.at("MakemeAdminItem")->setEnabled(adminLevel_ != LevelUser || bool(ShowAdminForm));
    items_.at("DDESever1")->setEnabled(bool(DdeServerSwitch));
    items_.at("HelpContentsItem")->setEnabled(!helpFile_.isEmpty());
}

void TMainQVTForm::ApplyAdminLevel(int level)
{
    adminLevel_ = level;
    QAction* item = items_.at("MakemeAdminItem");
    item->setData(level);
    item->setText(AdminItemCaption(level));
}

void TMainQVTForm::SetAdminLevel(int level)
{
    ApplyAdminLevel(level);
    if (UserIni != nullptr)
        UserIni->WriteInteger("Admin", "CurrentMode", level);
    UpdateMenuItems();
}

void TMainQVTForm::MakemeAdminItemClick()
{
    const int next = LevelAfterAdminItemClick(adminLevel_);
    if (next < 0) {
        if (ShowAdminForm)
            ShowAdminForm(); // it grants the level through SetAdminLevel
        return;
    }
    SetAdminLevel(next);
}

void TMainQVTForm::TouchItemClick()
{
    if (UserIni != nullptr)
        UserIni->WriteBool("Main", "IsTouchScreen", items_.at("TouchItem")->isChecked());
    ArrangeToolbar();
}

void TMainQVTForm::MeasureAllItemClick()
{
    if (UserIni != nullptr)
        UserIni->WriteBool("Main", "MeasureAll", items_.at("MeasureAllItem")->isChecked());
}

void TMainQVTForm::DDESever1Click()
{
    const bool on = items_.at("DDESever1")->isChecked();
    if (MainIni != nullptr)
        MainIni->WriteBool("Main", "DDEServerOn", on);
    if (DdeServerSwitch)
        DdeServerSwitch(on);
}

void TMainQVTForm::ShowDdeServerState(bool on)
{
    items_.at("DDESever1")->setChecked(on);
}

void TMainQVTForm::OpenLastItemClick()
{
    if (MainIni == nullptr)
        return;
    const TLaunchCommand c = PresentCommand(MainIni->ReadString("Tools", "Present", "."), SaveDirectory(*MainIni),
                                            MainIni->ReadString("Save", "LastFile", ""));
    if (!StartProgram(c.Program, c.Arguments, c.WorkingDirectory, c.IdlePriority))
        ShowMessage(MsgKind::Information, "Can`t start present!");
}

void TMainQVTForm::EditIniItemClick()
{
    // The settings file in use, wherever the start found it.
    const QString path = MainIni != nullptr ? MainIni->FileName() : AppDir + iniFileName_;
    if (!QFileInfo(path).isFile()) {
        ShowMessage(MsgKind::Information, "ini " + path + "does not exist!");
        return;
    }
    const TLaunchCommand c =
        EditorCommand(MainIni->ReadString("Tools", "Editor", "notepad.exe"), path, qEnvironmentVariable("EDITOR"));
    if (!StartProgram(c.Program, c.Arguments, c.WorkingDirectory, c.IdlePriority))
        ShowMessage(MsgKind::Information, "Can't start Editor!");
}

void TMainQVTForm::FileCloseItemClick()
{
    if (QMdiSubWindow* sub = mdiArea_->currentSubWindow())
        sub->close();
}

void TMainQVTForm::FileExitItemClick()
{
    close();
}

void TMainQVTForm::ParameterItemClick()
{
    if (parameterDock_ == nullptr)
        return;
    parameterDock_->show();
    parameterDock_->raise();
}

void TMainQVTForm::CascadeClick()
{
    mdiArea_->cascadeSubWindows();
}

void TMainQVTForm::TileClick()
{
    mdiArea_->tileSubWindows();
}

void TMainQVTForm::MinimizeAllClick()
{
    for (QMdiSubWindow* sub : mdiArea_->subWindowList())
        sub->showMinimized();
}

void TMainQVTForm::ArrangeIcons()
{
    // Minimised windows in a row along the bottom of the area.
    int x = 0;
    const int bottom = mdiArea_->viewport()->height();
    for (QMdiSubWindow* sub : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        if (!sub->isMinimized())
            continue;
        sub->move(x, bottom - sub->height());
        x += sub->width();
    }
}

void TMainQVTForm::UpdateWindowList()
{
    for (QAction* a : windowListActions_) {
        window1_->removeAction(a);
        delete a;
    }
    windowListActions_.clear();
    const QList<QMdiSubWindow*> subs = mdiArea_->subWindowList(QMdiArea::CreationOrder);
    for (int i = 0; i < subs.size(); ++i) {
        QMdiSubWindow* sub = subs[i];
        QAction* a = window1_->addAction(QString("&%1 %2").arg(i + 1).arg(sub->windowTitle()));
        a->setCheckable(true);
        a->setChecked(sub == mdiArea_->currentSubWindow());
        connect(a, &QAction::triggered, this, [this, sub] { mdiArea_->setActiveSubWindow(sub); });
        windowListActions_.push_back(a);
    }
}

void TMainQVTForm::HelpContentsClick()
{
    if (!helpFile_.isEmpty())
        OpenWithDesktop(helpFile_);
}

void TMainQVTForm::HelpPdfClick()
{
    QUrl url = QUrl::fromLocalFile(AppDir + HelpPdfName);
    url.setFragment("table-of-contents");
    QDesktopServices::openUrl(url);
}

// ---- tool bar --------------------------------------------------------------------------------

void TMainQVTForm::ArrangeToolbar()
{
    const bool touch = ReadUser("IsTouchScreen", false);
    std::vector<TToolbarControl> order = toolbarOrder_;
    for (TToolbarControl& c : order) {
        bool shown = MainIni == nullptr || MainIni->ReadBool("Software", c.Name, true);
        if (c.Name == "LockinButton")
            shown = shown && (MultiLockInPresent.load() || (LockInDeviceOpen && LockInDeviceOpen()));
        else if (c.Name == "Edit1" || c.Name == "Edit2")
            shown = shown && manualGainShown_;
        else if (c.Name == "ComboBox2")
            shown = false; // the channel list is kept filled but not shown
        else if (c.Name == "FastSpeedButton")
            shown = shown && fastScanPresent_;
        c.Visible = shown;
    }
    const int panelWidth = width();
    const TToolbarLayout layout = qvt::ArrangeToolbar(order, panelWidth, touch);
    const int glyph = ToolbarMetrics(touch).Size - 6;
    for (size_t i = 0; i < order.size(); ++i) {
        QWidget* w = controls_.at(order[i].Name);
        if (order[i].Visible) {
            w->setGeometry(layout.Places[i]);
            if (auto* b = qobject_cast<QToolButton*>(w))
                b->setIconSize(QSize(glyph, glyph));
        }
        w->setVisible(order[i].Visible);
    }
    speedPanel_->setFixedHeight(layout.Height);
    arrangedWidth_ = panelWidth;
}

void TMainQVTForm::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (width() != arrangedWidth_)
        ArrangeToolbar();
}

void TMainQVTForm::ShowManualGainBoxes(bool shown, double offset, double range)
{
    manualGainShown_ = shown;
    if (shown)
        ShowManualGainValues(offset, range);
    ArrangeToolbar();
}

void TMainQVTForm::ShowManualGainValues(double offset, double range)
{
    edit1_->setText(QString::number(offset, 'f', 3));
    edit1_->MarkAccepted();
    edit2_->setText(QString::number(range, 'f', 3));
    edit2_->MarkAccepted();
}

void TMainQVTForm::ShowManualGainValues()
{
    if (TChildForm* w = ActiveImageWindow())
        ShowManualGainValues(w->GetManualOffset(), w->GetManualRange());
}

void TMainQVTForm::FillChannelComboBox()
{
    comboBox2_->clear();
    TGoXYThread* scan = ScanThread();
    if (scan == nullptr)
        return;
    for (int i = 0; i < ImageChannelCount; ++i) {
        TDaten& d = scan->Channels[i];
        if (!d.HasBuffer()) {
            d.ListIndex = -1;
            continue;
        }
        d.ListIndex = comboBox2_->count();
        comboBox2_->addItem(d.Name + "  " + d.Suffix);
    }
}

bool TMainQVTForm::ApplyManualGain(bool isRange, double value)
{
    // A range of 0 or below would turn the contrast upside down.
    if (isRange && !AcceptableManualRange(value))
        return false;
    if (TChildForm* w = ActiveImageWindow())
        w->ApplyManualGain(isRange, value);
    return true;
}

void TMainQVTForm::Edit1Enter()
{
    edit1_->PressKey(EditKey::Enter);
}

void TMainQVTForm::Edit2Enter()
{
    edit2_->PressKey(EditKey::Enter);
}

void TMainQVTForm::FormMouseWheel(int delta, bool shift)
{
    QWidget* focus = QApplication::focusWidget();
    TNumericEdit* box = focus == edit1_ ? edit1_ : focus == edit2_ ? edit2_ : nullptr;
    TChildForm* w = ActiveImageWindow();
    if (box == nullptr || w == nullptr)
        return;
    const bool isRange = box == edit2_;
    const double range = w->GetManualRange();
    const TWheelResult r = WheelValue(isRange ? range : w->GetManualOffset(), delta, range, shift, isRange);
    if (!r.Apply)
        return;
    w->ApplyManualGain(isRange, r.Value);
    box->setText(QString::number(r.Value, 'f', 3));
    box->MarkAccepted();
}

// ---- image windows -----------------------------------------------------------------------

QList<TChildForm*> TMainQVTForm::ImageWindows() const
{
    QList<TChildForm*> windows;
    for (QMdiSubWindow* sub : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        if (auto* form = qobject_cast<TChildForm*>(sub->widget()))
            windows.push_back(form);
    }
    return windows;
}

TChildForm* TMainQVTForm::ActiveImageWindow() const
{
    QMdiSubWindow* sub = mdiArea_->currentSubWindow();
    return sub != nullptr ? qobject_cast<TChildForm*>(sub->widget()) : nullptr;
}

void TMainQVTForm::ResizeImageWindows()
{
    for (TChildForm* w : ImageWindows())
        w->ResizeImage();
}

// ---- the error handler ----------------------------------------------------------------

void TMainQVTForm::AppException(const QString& message, QObject* sender)
{
    QStringList names;
    if (sender != nullptr && !sender->objectName().isEmpty())
        names << sender->objectName();
    AppErrorHandler().Handle(message, names);
}

// ---- controls by name ---------------------------------------------------------------------

QAbstractButton* TMainQVTForm::Button(const QString& name) const
{
    const auto it = controls_.find(name);
    return it != controls_.end() ? qobject_cast<QAbstractButton*>(it->second) : nullptr;
}

QAction* TMainQVTForm::MenuItem(const QString& name) const
{
    const auto it = items_.find(name);
    return it != items_.end() ? it->second : nullptr;
}

QWidget* TMainQVTForm::Control(const QString& name) const
{
    const auto it = controls_.find(name);
    return it != controls_.end() ? it->second : nullptr;
}

void TMainQVTForm::SetMenuCommand(const QString& itemName, std::function<void()> command)
{
    QAction* item = MenuItem(itemName);
    if (item == nullptr)
        return;
    commands_[itemName] = std::move(command);
    item->setEnabled(true);
}

void TMainQVTForm::SetToolToggle(const QString& buttonName, std::function<void(bool)> showWindow)
{
    QAbstractButton* b = Button(buttonName);
    if (b == nullptr)
        return;
    toggles_[buttonName] = std::move(showWindow);
    b->setEnabled(buttonName != "SpectButton" || !fastButton_->isChecked());
}

void TMainQVTForm::HideFastControls()
{
    fastScanPresent_ = false;
    if (QAction* item = MenuItem("HighSpeedItem"))
        item->setVisible(false);
    ArrangeToolbar();
}

void TMainQVTForm::SetFastMode(std::function<void()> enter, std::function<void()> leave)
{
    enterFastMode_ = std::move(enter);
    leaveFastMode_ = std::move(leave);
    fastButton_->setEnabled(enterFastMode_ && leaveFastMode_);
}

// ---- IScanHost ------------------------------------------------------------------------------

void TMainQVTForm::PressScanButton()
{
    scanButton_->setChecked(true);
}

bool TMainQVTForm::ScanButtonDown() const
{
    return scanButton_->isChecked();
}

void TMainQVTForm::ReleaseScanButton()
{
    scanButton_->setChecked(false);
    Scan(TScanSender::Application);
}

bool TMainQVTForm::FastSpeedButtonDown() const
{
    return fastButton_->isChecked();
}

bool TMainQVTForm::AutoLevelOn() const
{
    return ScanParaForm != nullptr && ScanParaForm->Level() != nullptr && ScanParaForm->Level()->Mode() == LevelAuto;
}

void TMainQVTForm::SendPlaneCorrection()
{
    if (ScanParaForm != nullptr && ScanParaForm->Level() != nullptr)
        ScanParaForm->Level()->UpdateLevel();
}

bool TMainQVTForm::RepeatButtonDown() const
{
    return repeatButton_->isChecked();
}

bool TMainQVTForm::SaveButtonDown() const
{
    return saveButton_->isChecked();
}

bool TMainQVTForm::ContOnRestart() const
{
    return items_.at("ContOnRestart")->isChecked();
}

void TMainQVTForm::ClearStatusText()
{
    statusBar()->clearMessage();
}

void TMainQVTForm::ShowStatusText(const QString& text)
{
    statusBar()->showMessage(text);
}

void TMainQVTForm::ShowMemoryProgress(int value)
{
    memProgBar_->setValue(value);
}

void TMainQVTForm::ShowSimulatorRecord(const QString& text)
{
    // A field of its own on the status line: the hints that pass through
    // the line's message part would wipe the report within a tenth of a second.
    if (simRecordField_ == nullptr) {
        simRecordField_ = new QLabel(statusBar());
        simRecordField_->setObjectName("SimRecordField");
        simRecordField_->setStyleSheet("QLabel { color: red; }");
        statusBar()->addPermanentWidget(simRecordField_);
    }
    simRecordField_->setText(text);
}

void TMainQVTForm::FinishFrame()
{
    for (TChildForm* w : ImageWindows())
        w->RecalcPictureRange();
    if (A3DForm != nullptr)
        A3DForm->WMUpdateDisplay(false);
}

void TMainQVTForm::SaveFrame()
{
    FileSaveItemClick();
}

void TMainQVTForm::ShowStopScanMessage(bool visible)
{
    if (!visible) {
        if (stopScanMessage_ != nullptr)
            stopScanMessage_->hide();
        return;
    }
    if (stopScanMessage_ == nullptr) {
        stopScanMessage_ = new QMessageBox(QMessageBox::Information, "QVT", "Try to Stop Scan. Please wait!",
                                           QMessageBox::NoButton, this);
        stopScanMessage_->setObjectName("StopScanMessage");
        stopScanMessage_->setModal(false);
        // A notice: the keys (Esc) stay with the window the operator works in.
        stopScanMessage_->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    stopScanMessage_->show();
}

} // namespace qvt
