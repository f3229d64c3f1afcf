#include "app/CreateForms.h"
#include "app/QvtApplication.h"

#include "calib/AutoOffsetForm.h"
#include "calib/ScaleADDAForm.h"
#include "calib/ScannerForm.h"
#include "calib/SlidForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "files/ScanFiles.h"
#include "images/ChildForm.h"
#include "images/ImageTools.h"
#include "images/ImageTouch.h"
#include "images/ScaleForm.h"
#include "images/SetupForm.h"
#include "lockin/DncForm.h"
#include "lockin/DncOptions.h"
#include "lockin/LockInOptionForm.h"
#include "lockin/LockinForm.h"
#include "lockin/MultiLockInForm.h"
#include "lockin/MultiLockInOptionForm.h"
#include "lockin/Oszi2Form.h"
#include "lockin/Oszi2OptionForm.h"
#include "lockin/OsziForm.h"
#include "mainwindow/AboutQVTBox.h"
#include "mainwindow/AdminForm.h"
#include "mainwindow/HistoryBox.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/MiscForm.h"
#include "mainwindow/PowerDownForm.h"
#include "motion/CoarseForm.h"
#include "motion/CrosshairsForm.h"
#include "motion/JoystickForm.h"
#include "motion/MainFrameForm.h"
#include "motion/PowerSaver.h"
#include "navigator/SelForm.h"
#include "optics/CameraBackend.h"
#include "optics/CameraFactory.h"
#include "optics/CameraForm.h"
#include "optics/LEDForm.h"
#include "platform/HidrawBackend.h"
#include "platform/WindowThread.h"
#include "remote/DdeServer.h"
#include "scan/ApproachMenus.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastScanThread.h"
#include "scan/FastZPage.h"
#include "scan/FeedbackForm.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanStatus.h"
#include "scan/ShowThread.h"
#include "scan/SmartFeedbackForm.h"
#include "script/ScriptThread.h"
#include "script/ScriptWindowDevice.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "view3d/A3DForm.h"
#include "widgets/NumericEdit.h"
#include "widgets/OnScreen.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeWidget>

#include <memory>
#include <utility>

namespace qvt {

namespace {
std::vector<QString> created;
// The script thread and the device its statements act through.
std::unique_ptr<TScriptWindowDevice> scriptDevice;
std::unique_ptr<TScriptThread> scriptThread;
// The resonance tool's options, held by it and by its options window.
std::unique_ptr<TDncOptions> dncOptions;

void Created(const char* className)
{
    created.emplace_back(className);
}
} // namespace

namespace {
void CreateCrosshairsForm(TInOutForm& inOut, TDeviceWorkers& workers, TMainQVTForm& main);
void CreateMainFrameForm(TInOutForm& inOut, TMainQVTForm& main);
} // namespace

const std::vector<QString>& CreatedForms()
{
    return created;
}

bool CreateAllForms(const QString& baseName, int& exitCode)
{
    created.clear();
    exitCode = 0;
    QApplication::setApplicationName("QVT");
    // Every window opens on the screen, wherever its settings place it.
    if (qApp->findChild<TKeepOnScreen*>(QString(), Qt::FindDirectChildrenOnly) == nullptr)
        qApp->installEventFilter(new TKeepOnScreen(qApp));

    auto* main = new TMainQVTForm;
    Created("TMainQVTForm");
    if (!main->FormCreate(baseName)) {
        // The operator was told which file is missing; nothing else was made.
        exitCode = MissingSettingsExitCode;
        return false;
    }

    auto* inOut = new TInOutForm;
    Created("TInOutForm");
    inOut->FormCreate();
    // The device window's workers: moves, threads, stepper, approach.
    auto* workers = new TDeviceWorkers(*inOut);
    workers->FormCreate();
    workers->RunMotionsOnEventLoop();
    main->ConnectDevice(workers);
    // The image windows read their channel's scale when they draw: a reload
    // shows its factors and units in their hints and cross-sections at once.
    QObject::connect(inOut, &TInOutForm::scalesReloaded, main, [main] {
        for (TChildForm* child : main->ImageWindows())
            child->RefreshDisplay();
    });
    // The Fast button and the controller's own scan (type 29 or a USB box).
    workers->FastModeOn = [main] { return main->FastSpeedButtonDown(); };
    main->SpectroscopyRunning = [] { return SpektForm != nullptr && SpektForm->Measuring(); };
    if (workers->FastScanThread().Available()) {
        TFastScanThread& fast = workers->FastScanThread();
        main->SetFastMode(
            [&fast] {
                if (SpektForm != nullptr)
                    SpektForm->SetFastMode(true);
                fast.EnterFastMode();
            },
            [&fast] {
                fast.LeaveFastMode();
                if (SpektForm != nullptr)
                    SpektForm->SetFastMode(false);
            });
    }

    auto* inOut2 = new TInOut2Form;
    Created("TInOut2Form");
    inOut2->FormCreate();

    auto* scanner = new TScannerForm(workers);
    Created("TScannerForm");
    main->SetMenuCommand("ScannerItem", [scanner] {
        scanner->show();
        scanner->raise();
    });
    // A scale reload puts the plain channel factors back; the scanner's
    // Z gains and X/Y sensitivities go on top again.
    QObject::connect(inOut, &TInOutForm::scalesReloaded, scanner, &TScannerForm::ScalesReloaded);
    inOut->LockInHooks.ScannerMonoZ = [scanner] { return scanner->MonoFastz(); };
    scanner->FormCreate();

    auto* smart = new TSmartFeedbackForm(*inOut, &workers->FastScanThread(), main);
    Created("TSmartFeedbackForm");
    smart->HideFastControls = [main] { main->HideFastControls(); };
    smart->ShowMemoryProgress = [main](int value) { main->ShowMemoryProgress(value); };
    smart->ScannerIni = [scanner] { return scanner->ScannerIni(); };
    main->SetMenuCommand("HighSpeedItem", [smart] {
        smart->show();
        smart->raise();
    });
    smart->FormCreate();

    auto* powerDown = new TPowerDownForm(main);
    Created("TPowerDownForm");
    powerDown->ResetIdleClock = [workers] { workers->PowerSaver().ResetIdleClock(); };
    powerDown->PowerUp = [workers] { workers->PowerUp(); };
    workers->PowerSaver().View = powerDown;

    auto* scanPara = new TScanParaForm;
    Created("TScanParaForm");
    scanPara->ResizeImageWindows = [main] { main->ResizeImageWindows(); };
    scanPara->SetScanRange = [scanner](double range) { return scanner->SetScanRange(range); };
    scanPara->ProposeRangeFactors = [scanner](double range, TScanSetup& setup) {
        scanner->ProposeRangeFactors(range, setup);
    };
    scanner->ReenterRange = [para = QPointer<TScanParaForm>(scanPara)] {
        if (para)
            para->ReenterRange();
    };
    scanPara->ShowHardLinCoeff = [scanner] { scanner->ShowHardLinCoeff(); };
    main->DockParameterWindow(scanPara);
    scanPara->ShowMainHint = [main](const QString& hint) { main->statusBar()->showMessage(hint); };
    scanPara->SetScanButtonHint = [main](const QString& hint) { main->ScanButton()->setToolTip(hint); };
    scanPara->RefreshImageWindowCursors = [] { TImageTools::RefreshAllCursors(); };
    // A pinch on a picture reads and switches the parameter window's mouse tool.
    TImageTouch::UsedTool = [scanPara] { return static_cast<MouseTool>(scanPara->UsedTool()); };
    TImageTouch::SelectTool = [scanPara](MouseTool tool) {
        if (scanPara->ToolButtons() != nullptr)
            scanPara->ToolButtons()->SetUsedTool(static_cast<int>(tool));
    };
    scanPara->DualZ = [inOut, scanner] { return inOut->Caps.Type29() && !scanner->MonoFastz(); };
    // The fast z loop follows every feedback record, in the window thread.
    inOut->FeedbackSent = [form = QPointer<TScanParaForm>(scanPara)] {
        auto send = [form] {
            if (form && form->FastZ())
                form->FastZ()->SendFastZParams();
        };
        if (IsWindowThread())
            send();
        else
            PostToWindowThread(send);
    };
    scanPara->FormCreate();
    // Posted from the fast-scan thread: the window may be gone when it arrives.
    workers->FastScanThread().SetPixels = [form = QPointer<TScanParaForm>(scanPara)](int pixels) {
        if (form)
            form->WMSetPixels(pixels);
    };

    auto* lockin = new TLockinForm;
    Created("TLockinForm");
    // Every lock-in filter of the system is loaded from this window's tables.
    inOut->LockInHooks.FilterTable = [lockin](int timeConstant, int slope, TSetFilterRecord& record) {
        return lockin->FilterRecord(timeConstant, slope, record);
    };
    lockin->InputScaleChanged = [scanPara] {
        if (TNumericEdit* edit = scanPara->Edit("Edit1"))
            edit->PressKey(EditKey::Enter);
    };
    QAbstractButton* lockinButton = main->Button("LockinButton");
    if (lockinButton != nullptr && !MultiLockInPresent)
        lockin->SetMainButton = [lockinButton](bool down) { lockinButton->setChecked(down); };
    lockin->FormCreate(inOut);
    main->LockInDeviceOpen = [lockin] { return lockin->DeviceOpen(); };
    main->ArrangeToolbar();
    if (lockinButton != nullptr && lockin->DeviceOpen() && !MultiLockInPresent)
        main->SetToolToggle("LockinButton", [lockin](bool on) { lockin->setVisible(on); });

    dncOptions = std::make_unique<TDncOptions>();
    auto* dnc = new TdncForm(*workers, *dncOptions);
    Created("TdncForm");
    dnc->EnterInScanPara = [scanPara](const QString& name, const QString& text) {
        TNumericEdit* edit = scanPara->Edit(name);
        if (edit == nullptr)
            return false;
        edit->Apply(text);
        return true;
    };
    dnc->ReapplyScanParaSetpoint = [scanPara] {
        if (TNumericEdit* edit = scanPara->Edit("Edit1"))
            edit->PressKey(EditKey::Enter);
    };
    inOut->LockInHooks.ResonanceFilterChoice = [dnc](int& timeConstant, int& slope) {
        return dnc->FilterChoice(timeConstant, slope);
    };
    inOut->LockInHooks.ResonanceTimeConstant = [dnc] { return dnc->GetTimeConstant(); };
    scanPara->DrawResonance = [dnc] { dnc->DrawSpectrum(); };
    // A scale reload puts the file's factors back on the lock-in channels;
    // the input gain's go on top again.
    QObject::connect(inOut, &TInOutForm::scalesReloaded, dnc, &TdncForm::UpdateChannelScales);
    dnc->FormCreate();
    // The device window's start-up call: the stored input gain reaches the controller.
    dnc->LoadInputGain();
    if (QAbstractButton* button = main->Button("dncButton")) {
        main->SetToolToggle("dncButton", [dnc](bool on) { dnc->setVisible(on); });
        QObject::connect(dnc, &TdncForm::visibilityChanged, button, &QAbstractButton::setChecked);
        // Open at start as the operator left it.
        if (UserIni != nullptr && UserIni->ReadBool("Main", "dncButton", false))
            dnc->show();
    }

    auto* lockInOptions = new TLockInOptionForm(*dnc, *dncOptions, *inOut);
    Created("TLockInOptionForm");
    QObject::connect(dnc, &TdncForm::optionsAsked, lockInOptions, &TLockInOptionForm::ShowOptions);
    QObject::connect(dnc, &TdncForm::qGainScaleChanged, lockInOptions, &TLockInOptionForm::ShowQGain);
    lockInOptions->FormCreate();

    auto* history = new THistoryBox(main);
    Created("THistoryBox");
    main->SetMenuCommand("HistoryItem", [history] { history->show(); });

    auto* setup = new TSetupForm(*workers, main->MdiArea(), main);
    Created("TSetupForm");
    setup->FastSpeedButtonDown = [main] { return main->FastSpeedButtonDown(); };
    setup->FillChannelComboBox = [main] { main->FillChannelComboBox(); };
    setup->SaveUnderWay = [] { return ScanSaveUnderWay(); };
    main->SetMenuCommand("Window2", [setup] {
        setup->show();
        setup->raise();
    });
    setup->FormCreate();

    auto* spekt = new TSpektForm(*inOut, main);
    Created("TSpektForm");
    spekt->SetMainButton = [main](bool down) {
        if (auto* b = qobject_cast<QAbstractButton*>(main->Control("SpectButton")))
            b->setChecked(down);
    };
    main->SetToolToggle("SpectButton", [spekt](bool down) {
        if (down) {
            spekt->show();
            spekt->raise();
        } else {
            spekt->close();
        }
    });
    main->SetMenuCommand("SpectroscopyItem", [spekt] {
        spekt->show();
        spekt->raise();
    });
    spekt->FormCreate();
    TImageTools::SetSpectroscopyPoint = [spekt](double x, double y) { spekt->SetPoint(x, y); };

    spekt->RefreshScanPara = [scanPara] { scanPara->ShowFeedbackParams(); };
    // Under HardLin the scan's z sensor is as good an x axis as the Z output.
    spekt->ZSensorSlot = [scanner] { return scanner->ZSensorSlot(); };
    // The resonance tool's options show a slope taken over as sensitivity (4 digits).
    spekt->ResonanceSlope = [lockInOptions](double slope) {
        if (TNumericEdit* e = lockInOptions->Edit("Edit1"))
            e->setText(QString::number(slope, 'g', 4));
    };
    auto* spektOpt = new TSpektOptionForm(*spekt, main);
    Created("TSpektOptionForm");
    spekt->ShowOptions = [spektOpt] {
        spektOpt->show();
        spektOpt->raise();
    };
    spektOpt->FormCreate();
    spekt->ApplySaveOptions();

    auto* feedback = new TfeedbackForm(*inOut, scanPara, &workers->FastScanThread(), main);
    Created("TfeedbackForm");
    feedback->LockInButtonVisible = [main] {
        QAbstractButton* b = main->Button("dncButton");
        return b != nullptr && !b->isHidden();
    };
    feedback->ShowResonanceWindow = [dnc](bool on) { dnc->setVisible(on); };
    main->SetMenuCommand("FeedbackItem", [feedback] {
        feedback->show();
        feedback->raise();
    });
    feedback->FormCreate();

    auto* oszi2 = new TOszi2Form(*inOut, main);
    Created("TOszi2Form");
    oszi2->SetMainButton = [main](bool down) {
        if (QAbstractButton* b = main->Button("Oszi2Button"))
            b->setChecked(down);
    };
    oszi2->ScanRunning = [workers] { return workers->GoXYThread().ScanActive(); };
    main->SetToolToggle("Oszi2Button", [oszi2](bool down) {
        if (down) {
            oszi2->show();
            oszi2->raise();
        } else {
            oszi2->close();
        }
    });
    main->SetMenuCommand("Oszi2", [oszi2] {
        oszi2->show();
        oszi2->raise();
    });
    // Reopened on a scale reload, so its channel lists show the new labels and units.
    QObject::connect(inOut, &TInOutForm::scalesReloaded, oszi2, [oszi2] {
        if (!oszi2->isVisible())
            return;
        oszi2->close();
        oszi2->show();
    });
    oszi2->FormCreate();
    if (UserIni != nullptr && UserIni->ReadBool("Main", "Oszi2Button", false))
        oszi2->show();

    auto* misc = new TMiscForm(main);
    Created("TMiscForm");
    misc->SetSaveButton = [main](bool down) { main->SaveButton()->setChecked(down); };
    main->ShowAutoSave = [misc](bool on) { misc->ShowAutoSave(on); };
    SavePathCheck = [misc] { return misc->CheckSavePath(); };
    misc->SoftLinActive = [scanner] { return scanner->SoftLinActive(); };
    misc->HardLinActive = [scanner] { return scanner->HardLinHolds(); };
    main->SetMenuCommand("MiscItem", [misc] {
        misc->show();
        misc->raise();
    });
    misc->FormCreate();

    auto* oszi2Opt = new TOszi2OptionForm(*oszi2, main);
    Created("TOszi2OptionForm");
    oszi2->ShowOptions = [oszi2Opt] {
        oszi2Opt->show();
        oszi2Opt->raise();
    };
    oszi2Opt->FormCreate();

    auto* dde = new TDDEForm;
    Created("TDDEForm");
    // A tool window of the main window: it goes and comes with it.
    dde->setParent(main, Qt::Tool);
    dde->ScannerLinLabels = [scanner](QString& bx, QString& cx) { return scanner->LinLabels(bx, cx); };
    dde->SetScanButton = [main](bool down) {
        main->ScanButton()->setChecked(down);
        main->Scan(TScanSender::User);
        return main->ScanButtonDown() == down;
    };
    dde->ServerStateChanged = [main](bool on) { main->ShowDdeServerState(on); };
    main->DdeServerSwitch = [dde](bool on) {
        if (dde->SetServerOn(on) && on)
            dde->show();
    };
    dde->FormCreate();
    // The password window is made when asked for and goes when closed.
    main->ShowAdminForm = [main] {
        auto* admin = new TAdminForm(main);
        admin->GrantLevel = [main](int level) { main->SetAdminLevel(level); };
        admin->show();
    };
    main->ShowScannerTeachButton = [scanner](bool visible) { scanner->ShowTeachButton(visible); };
    main->UpdateMenuItems();

    auto* multi = new TMultiLockInForm;
    Created("TMultiLockInForm");
    inOut->LockInHooks.MultiLockInChannel = [multi](int k, TMultiLockInChannel& channel) {
        return multi->Channel(k, channel);
    };
    // A new resonance frequency moves the oscillators linked to it.
    QObject::connect(inOut, &TInOutForm::multiLockInChanged, multi, &TMultiLockInForm::ApplyFrequencies);
    multi->AdminMode = [main] { return main->AdminLevel() != 0; };
    multi->ForwardKey = [main](int key, Qt::KeyboardModifiers modifiers) { return main->FormKeyDown(key, modifiers); };
    multi->FormCreate(inOut);
    dnc->SetMultiLockInFrequency1 = [multi](double f) { multi->SetFrequency(0, f); };
    if (QAbstractButton* button = main->Button("LockinButton"); button && MultiLockInPresent) {
        main->SetToolToggle("LockinButton", [multi](bool on) { multi->setVisible(on); });
        multi->SetMainButton = [button](bool down) { button->setChecked(down); };
        if (!button->isHidden() && UserIni != nullptr && UserIni->ReadBool("Main", "LockinButton", false))
            multi->show();
    }

    auto* coarse = new TCoarseForm(main);
    Created("TCoarseForm");
    coarse->SetCoarseButton = [main](bool down) {
        if (QAbstractButton* b = main->Button("CoarseButton"))
            b->setChecked(down);
    };
    main->SetToolToggle("CoarseButton", [coarse](bool down) {
        if (down == coarse->isVisible())
            return;
        if (down) {
            coarse->show();
            coarse->raise();
        } else {
            coarse->close();
        }
    });
    main->SetMenuCommand("CoarseItem", [coarse] {
        coarse->show();
        coarse->raise();
    });
    scanPara->RefreshCoarseWindow = [coarse] { coarse->FormActivate(); };
    TImageTools::StartScan = [main] {
        main->ScanButton()->setChecked(true);
        main->Scan(TScanSender::User);
    };
    coarse->FormCreate();

    CreateCrosshairsForm(*inOut, *workers, *main);

    // The machine's hidraw nodes (watched only when the joystick is in use).
    auto* joystick = new TJoystickForm(std::make_shared<THidrawBackend>(), main);
    Created("TJoystickForm");
    joystick->Coarse = coarse;
    main->SetMenuCommand("JoystickItem", [joystick] {
        joystick->show();
        joystick->raise();
    });
    joystick->FormCreate();

    auto* slid = new TSlidForm(*inOut, main);
    Created("TSlidForm");
    slid->SetSlidButton = [main](bool down) {
        if (QAbstractButton* b = main->Button("SlidButton"))
            b->setChecked(down);
    };
    main->SetToolToggle("SlidButton", [slid](bool down) {
        if (down) {
            slid->show();
            slid->raise();
        } else {
            slid->hide();
        }
    });
    main->SetMenuCommand("SliderItem", [slid] {
        slid->show();
        slid->raise();
    });
    slid->FormCreate();

    auto* sel = new TSelForm;
    Created("TSelForm");
    // A tool window of the main window: it goes and comes with it.
    sel->setParent(main, Qt::Tool);
    sel->EnterScanText = [](const QString& edit, const QString& text) {
        return ScanParaForm != nullptr && ScanParaForm->EnterText(edit, text);
    };
    sel->LinkSpectroscopyHook = [spekt](bool linked, double x, double y) { spekt->LinkNavigatorPoint(linked, x, y); };
    sel->ForwardKey = [main](int key, Qt::KeyboardModifiers modifiers) { return main->FormKeyDown(key, modifiers); };
    sel->SetSelButton = [main](bool down) {
        if (QAbstractButton* b = main->Button("SelButton"))
            b->setChecked(down);
    };
    sel->RepeatButtonDown = [main] { return main->RepeatButtonDown(); };
    sel->SetRepeatButton = [main](bool down) { main->RepeatButton()->setChecked(down); };
    main->SetToolToggle("SelButton", [sel](bool down) {
        sel->setVisible(down);
        if (down)
            sel->raise();
    });
    scanPara->ShowNavigatorPosition = [sel] {
        if (sel->isVisible())
            sel->ShowCurrentPosition();
    };
    // The script thread, parked until the navigator starts a run.
    scriptDevice = std::make_unique<TScriptWindowDevice>(*inOut, *workers);
    scriptDevice->ClearMemoHook = [sel] { sel->Memo1()->clear(); };
    scriptDevice->FractionToPositionHook = [sel](double fx, double fy, double& x, double& y) {
        const TPosition p = sel->FractionToPosition(fx, fy);
        x = p.X;
        y = p.Y;
    };
    scriptThread = std::make_unique<TScriptThread>(*scriptDevice, AppDir);
    scriptDevice->SetStopFlags(&scriptThread->StopRequested(), &scriptThread->Running(), &scriptThread->Terminating());
    scriptThread->OutputLine = [sel](const QString& line) { sel->AppendMemoLine(line); };
    scriptThread->Finished = [sel] { sel->ScriptFinished(); };
    // The fast scan's statistics wait for a script's WRITELN(RES) (both in the window thread).
    auto statistics = std::make_shared<QString>();
    workers->FastScanThread().StatisticsReady = [statistics](const QString& text) { *statistics = text; };
    scriptThread->TakeResult = [statistics] { return std::exchange(*statistics, QString()); };
    sel->ScriptRunner = scriptThread.get();
    // The scanner window measures a frequency response with a script of the Select window.
    scriptThread->ResponseWanted = [scanner](TQVTIniFile*& ini, bool& axisX) {
        return scanner->ResponseWanted(ini, axisX);
    };
    scriptThread->ResponseWritten = [scanner](const QString& name) { scanner->ResponseWritten(name); };
    scanner->Script.FastModeOn = [main] { return main->FastSpeedButtonDown(); };
    scanner->Script.Run = [sel](const QString& folder, const QString& fileName) {
        if (sel->TreeView1()->currentItem() == nullptr)
            sel->TreeView1()->setCurrentItem(sel->RootNode());
        sel->ScriptChosen(folder + fileName);
        if (!sel->RunStopButton()->isChecked())
            sel->RunStopButton()->click();
        return sel->RunStopButton()->isChecked();
    };
    scanner->Script.Running = [sel] { return sel->RunStopButton()->isChecked(); };
    scanner->Script.Stop = [sel] {
        if (sel->RunStopButton()->isChecked())
            sel->RunStopButton()->click();
    };
    sel->FormCreate();
    joystick->JoystickMove = [sel](int dx, int dy, int dz) { sel->JoystickMove(dx, dy, dz); };
    joystick->AddCurrentPosition = [sel](int n) { sel->AddCurrentPosition(n); };

    auto* led = new TLEDForm(*inOut, main);
    Created("TLEDForm");
    main->SetMenuCommand("LEDItem", [led] {
        led->show();
        led->raise();
    });
    led->FormCreate();

    // Without a video input the camera looks at a test card.
    auto* camera = new TCameraForm(MakeCameraBackend(), led, main);
    Created("TCameraForm");
    camera->SetCameraButton = [main](bool down) {
        if (QAbstractButton* b = main->Button("CameraButton"))
            b->setChecked(down);
    };
    camera->ShowLEDForm = [led] {
        led->show();
        led->raise();
    };
    if (QAbstractButton* b = main->Button("CameraButton"))
        b->setEnabled(true);
    main->SetToolToggle("CameraButton", [camera](bool down) {
        if (down == camera->isVisible())
            return;
        if (down)
            camera->show();
        else
            camera->close();
    });
    camera->FormCreate();

    // The remaining windows are created here, in their places of
    // FormCreationOrder, as they are built.

    auto* multiOptions = new TMultiLockInOptionForm;
    Created("TMultiLockInOptionForm");
    multiOptions->OptionsChanged = [multi] { multi->LoadOptions(); };
    multi->ShowOptions = [multiOptions] {
        multiOptions->show();
        multiOptions->raise();
    };
    multi->NextNumberChanged = [multiOptions](int n) { multiOptions->ShowNextNumber(n); };
    multi->AutoSaveChanged = [multiOptions](bool on) { multiOptions->ShowAutoSave(on); };
    multi->SaveNameChanged = [multiOptions](const QString& name, const QString& ext) {
        multiOptions->ShowSaveName(name, ext);
    };
    multiOptions->FormCreate();

    auto* scaleADDA = new TScaleADDAForm(*inOut, main);
    Created("TScaleADDAForm");
    scaleADDA->ScannerIni = [scanner] { return scanner->ScannerIni(); };
    scaleADDA->HardLinActive = [scanner] { return scanner->HardLinActive(); };
    main->SetMenuCommand("ScaleADDAItem", [scaleADDA] {
        scaleADDA->show();
        scaleADDA->raise();
    });
    scaleADDA->FormCreate();

    auto* a3d = new TA3DForm(main);
    Created("TA3DForm");
    a3d->ImageWindows = [main] { return main->ImageWindows(); };
    a3d->SetMenuChecked = [main](bool on) {
        if (QAction* item = main->MenuItem("View3DItem")) {
            item->setCheckable(true);
            item->setChecked(on);
        }
    };
    main->SetMenuCommand("View3DItem", [a3d] { a3d->ShowView(); });
    setup->ChannelsChanged = [a3d] {
        if (a3d->isVisible() || a3d->Source() != nullptr)
            a3d->FillChannelList();
    };
    QObject::connect(&workers->ShowThread(), &TShowThread::updateDisplay, a3d, &TA3DForm::WMUpdateDisplay);
    // A picture changed while no scan runs (pixel count, display mode, a
    // moved frame) is shown by the 3D view at once.
    TChildForm::PictureChanged = [a3d](TChildForm& window) {
        if (&window == a3d->Source())
            a3d->WMUpdateDisplay(false);
    };
    a3d->FormCreate();

    TAboutQVTBox::TSource about;
    // The device window keeps word 3 of the driver's status: the driver's
    // version. The simulated controller is no driver (it answers word 3 with
    // its lock-in frequency word): the box says "Demo Mode" for it.
    const bool simulated = DeviceDriverName.startsWith("SIM", Qt::CaseInsensitive);
    about.DriverVersion = [inOut, simulated]() -> uint32_t {
        inOut->ProgramVersion = ProgramVersion;
        if (!inOut->IsOpen() || simulated)
            return 0;
        inOut->ReadDncStatus();
        return static_cast<uint32_t>(inOut->DncStatusWord);
    };
    about.Caps = inOut->Caps;
    about.InstanceNumber = inOut->InstanceNumber;
    auto* aboutBox = new TAboutQVTBox(about, main);
    Created("TAboutQVTBox");
    main->SetMenuCommand("HelpAboutItem", [aboutBox] {
        aboutBox->Refresh();
        aboutBox->show();
        aboutBox->raise();
    });

    CreateMainFrameForm(*inOut, *main);

    // The Tools menu opens the tool windows that have a speed button through
    // that button, so both always tell the same.
    auto openFromMenu = [main](const char* item, const char* buttonName, QWidget* window) {
        if (window == nullptr)
            return;
        main->SetMenuCommand(item, [main, buttonName, window] {
            QAbstractButton* b = main->Button(buttonName);
            if (b != nullptr && b->isCheckable())
                b->setChecked(true);
            window->show();
            window->raise();
        });
    };
    openFromMenu("DNCItem", "dncButton", dncForm);
    openFromMenu("SelectItem", "SelButton", SelForm);
    openFromMenu("CrosshairsItem", "Crosshairsbutton", CrosshairsForm);
    if (MultiLockInPresent)
        openFromMenu("MultiLockInItem", "LockinButton", MultiLockInForm);

    // Made when first asked for, kept until the end.
    main->SetMenuCommand("AutoOffsetItem", [inOut, main] {
        if (AutoOffsetForm == nullptr)
            (new TAutoOffsetForm(*inOut, main))->FormCreate();
        AutoOffsetForm->show();
        AutoOffsetForm->raise();
    });
    main->SetMenuCommand("OsziItem", [inOut, main] {
        if (OsziForm == nullptr)
            (new TOsziForm(*inOut, main))->FormCreate();
        OsziForm->show();
        OsziForm->raise();
    });
    main->SetMenuCommand("ScaleItem", [inOut, main] {
        if (ScaleForm == nullptr)
            (new TScaleForm(*inOut, main))->FormCreate();
        ScaleForm->show();
        ScaleForm->raise();
    });

    if (inOut->StartFailed()) {
        // The operator has been told; nothing was sent on the unopened link.
        exitCode = DeviceStartExitCode;
        return false;
    }
    return true;
}

namespace {

void CreateCrosshairsForm(TInOutForm& inOut, TDeviceWorkers& workers, TMainQVTForm& main)
{
    auto* crosshairs = new TCrosshairsForm(inOut);
    Created("TCrosshairsForm");
    crosshairs->SetLaser = [&workers](bool on) { workers.SetLaser(on); };
    crosshairs->LaserOn = [&workers] { return workers.LaserOn(); };
    crosshairs->ContactSetpoint = [] { return MicroscopeState.FeedbackSets[FeedbackSetIndex(FeedbackCmAFM)].Setpoint; };
    QAbstractButton* button = main.Button("Crosshairsbutton");
    crosshairs->SetMainButton = [button](bool down) {
        if (button != nullptr)
            button->setChecked(down);
    };
    main.SetToolToggle("Crosshairsbutton", [crosshairs](bool down) {
        if (down) {
            crosshairs->show();
            crosshairs->raise();
        } else {
            crosshairs->close();
        }
    });
    QObject::connect(&inOut, &TInOutForm::scalesReloaded, crosshairs, &TCrosshairsForm::UpdateChannelLabels);
    crosshairs->FormCreate();
}

void CreateMainFrameForm(TInOutForm& inOut, TMainQVTForm& main)
{
    // Only machines whose sample lands on a frame have the panel.
    if (MainIni == nullptr || !MainIni->ReadBool("Software", "MainFrame", false))
        return;
    auto* frame = new TMainFrameForm(inOut);
    Created("TMainFrameForm");
    // The parameter window's "Fast Approach" or "Auto Approach" command.
    frame->RunApproach = [](bool fast) {
        if (ScanParaForm != nullptr)
            ScanParaForm->ApproachCommands().AutoApproach1Click(fast);
    };
    frame->ScanButtonDown = [&main] { return main.ScanButtonDown(); };
    frame->ClickScanButton = [&main] { main.ScanButton()->click(); };
    frame->FormCreate();
    if (QAction* item = main.MenuItem("MainFrameItem")) {
        item->setVisible(true);
        main.SetMenuCommand("MainFrameItem", [frame] {
            frame->show();
            frame->raise();
        });
    }
}

} // namespace

void StartUp()
{
    if (MainQVTForm != nullptr)
        MainQVTForm->StartUp();
}

void DestroyAllForms()
{
    // No held control's release may reach a window that is being freed.
    EndPointerHolds();
    // The script thread goes first: stopped, its waits freed, joined while
    // every window it reaches is still there.
    if (SelForm != nullptr)
        SelForm->ScriptRunner = nullptr;
    // The scanner window's measurement goes through the Select window.
    if (ScannerForm != nullptr)
        ScannerForm->Script = {};
    // The main window outlives the scanner window.
    if (MainQVTForm != nullptr)
        MainQVTForm->ShowScannerTeachButton = nullptr;
    scriptThread.reset();
    scriptDevice.reset();
    // What the windows keep is written while the settings and the device
    // window are still there.
    if (ScanParaForm != nullptr)
        ScanParaForm->FormDestroy();
    if (JoystickForm != nullptr)
        JoystickForm->FormDestroy();
    if (CoarseForm != nullptr)
        CoarseForm->FormDestroy();
    if (SelForm != nullptr)
        SelForm->FormDestroy();
    if (A3DForm != nullptr)
        A3DForm->FormDestroy();
    if (SetupForm != nullptr)
        SetupForm->FormDestroy();
    if (LockInOptionForm != nullptr)
        LockInOptionForm->FormDestroy();
    if (dncForm != nullptr)
        dncForm->FormDestroy();
    if (LockinForm != nullptr)
        LockinForm->FormDestroy();
    if (MultiLockInForm != nullptr)
        MultiLockInForm->FormDestroy();
    if (MultiLockInOptionForm != nullptr)
        MultiLockInOptionForm->FormDestroy();
    if (MiscForm != nullptr)
        MiscForm->FormDestroy();
    if (Oszi2OptionForm != nullptr)
        Oszi2OptionForm->FormDestroy();
    if (Oszi2Form != nullptr)
        Oszi2Form->FormDestroy();
    if (SpektOptionForm != nullptr)
        SpektOptionForm->FormDestroy();
    if (SpektForm != nullptr)
        SpektForm->FormDestroy();
    // The high-speed window writes its line delay into the scanner's file,
    // which the scanner window closes: it goes first.
    if (SmartFeedbackForm != nullptr)
        SmartFeedbackForm->FormDestroy();
    if (ScannerForm != nullptr)
        ScannerForm->FormDestroy();
    if (SlidForm != nullptr)
        SlidForm->FormDestroy();
    if (ScaleADDAForm != nullptr)
        ScaleADDAForm->FormDestroy();
    if (ScaleForm != nullptr)
        ScaleForm->FormDestroy();
    if (AutoOffsetForm != nullptr)
        AutoOffsetForm->FormDestroy();
    if (OsziForm != nullptr)
        OsziForm->FormDestroy();
    if (feedbackForm != nullptr)
        feedbackForm->FormDestroy();
    if (MainFrameForm != nullptr)
        MainFrameForm->FormDestroy();
    if (CrosshairsForm != nullptr)
        CrosshairsForm->FormDestroy();
    if (CameraForm != nullptr)
        CameraForm->FormDestroy();
    if (LEDForm != nullptr)
        LEDForm->FormDestroy();
    if (MainQVTForm != nullptr)
        MainQVTForm->FormDestroy();
    // Windows that send to the device or show its buffers go before it.
    if (ScanParaForm != nullptr)
        ScanParaForm->ShowNavigatorPosition = nullptr;
    if (SetupForm != nullptr)
        SetupForm->ChannelsChanged = nullptr;
    TChildForm::PictureChanged = nullptr;
    // The main window goes last; what it still does as its children go (a
    // box's focus handed back updates its menu) must not reach a window
    // already freed.
    if (MainQVTForm != nullptr) {
        MainQVTForm->LockInDeviceOpen = nullptr;
        MainQVTForm->ShowAutoSave = nullptr;
        MainQVTForm->DdeServerSwitch = nullptr;
        MainQVTForm->ShowScannerTeachButton = nullptr;
    }
    delete A3DForm;
    delete MainFrameForm;
    delete CrosshairsForm;
    // The camera switches the LEDs, the LEDs write to the device window, the
    // joystick (its read threads joined) moves through the navigator.
    delete CameraForm;
    delete LEDForm;
    delete JoystickForm;
    delete SelForm; // each clears its global pointer
    delete AboutQVTBox;
    delete ScaleForm;
    delete AutoOffsetForm;
    delete OsziForm;
    delete ScaleADDAForm;
    delete SlidForm; // its raster worker is joined first
    TImageTools::StartScan = nullptr;
    TImageTouch::UsedTool = nullptr;
    TImageTouch::SelectTool = nullptr;
    if (ScanParaForm != nullptr)
        ScanParaForm->RefreshCoarseWindow = nullptr;
    delete CoarseForm;
    delete DDEForm;
    SavePathCheck = nullptr;
    delete MiscForm;
    delete HistoryBox;
    delete Oszi2OptionForm;
    delete Oszi2Form;
    delete SpektOptionForm;
    TImageTools::SetSpectroscopyPoint = nullptr;
    delete feedbackForm;
    delete SpektForm;
    if (InOutForm != nullptr)
        InOutForm->LockInHooks.MultiLockInChannel = nullptr;
    if (dncForm != nullptr)
        dncForm->SetMultiLockInFrequency1 = nullptr;
    delete MultiLockInOptionForm;
    delete MultiLockInForm;
    delete SetupForm;
    if (InOutForm != nullptr)
        InOutForm->LockInHooks.FilterTable = nullptr;
    delete LockinForm;
    // The hooks into the resonance tool go with it.
    if (InOutForm != nullptr) {
        InOutForm->LockInHooks.ResonanceFilterChoice = nullptr;
        InOutForm->LockInHooks.ResonanceTimeConstant = nullptr;
    }
    if (ScanParaForm != nullptr)
        ScanParaForm->DrawResonance = nullptr;
    delete LockInOptionForm;
    delete dncForm;
    dncOptions.reset();
    if (InOutForm != nullptr)
        InOutForm->FeedbackSent = nullptr;
    delete ScanParaForm;
    if (InOutForm != nullptr)
        InOutForm->LockInHooks.ScannerMonoZ = nullptr;
    delete SmartFeedbackForm;
    delete ScannerForm;
    delete InOut2Form;
    if (DeviceWorkers != nullptr)
        DeviceWorkers->PowerSaver().View = nullptr;
    delete PowerDownForm;
    if (DeviceWorkers != nullptr) {
        // Motors and laser off, the stepper freed, every worker joined.
        DeviceWorkers->FormDestroy();
        delete DeviceWorkers;
    }
    if (InOutForm != nullptr) {
        // Then the link closes.
        InOutForm->FormDestroy();
        delete InOutForm;
    }
    // Last: the settings objects go with the main window.
    delete MainQVTForm;
    created.clear();
}

} // namespace qvt
