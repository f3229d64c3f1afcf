#include "app/CreateForms.h"

#include "calib/ScannerForm.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "files/ScanFiles.h"
#include "images/SetupForm.h"
#include "lockin/DncForm.h"
#include "lockin/LockinForm.h"
#include "lockin/MultiLockInForm.h"
#include "lockin/MultiLockInOptionForm.h"
#include "mainwindow/AdminForm.h"
#include "mainwindow/HistoryBox.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/MiscForm.h"
#include "mainwindow/PowerDownForm.h"
#include "motion/PowerSaver.h"
#include "navigator/SelForm.h"
#include "remote/DdeServer.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaForm.h"
#include "script/ScriptThread.h"
#include "script/ScriptWindowDevice.h"
#include "spectro/SpektForm.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPlainTextEdit>
#include <QToolButton>

namespace qvt {

namespace {
std::vector<QString> created;
// The script thread and the device its statements act through.
std::unique_ptr<TScriptWindowDevice> scriptDevice;
std::unique_ptr<TScriptThread> scriptThread;

void Created(const char* className)
{
    created.emplace_back(className);
}
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
    main->ConnectDevice(workers);

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

    // The smart feedback window (place 5) is created here as it is built.

    auto* powerDown = new TPowerDownForm(main);
    Created("TPowerDownForm");
    powerDown->ResetIdleClock = [workers] { workers->PowerSaver().ResetIdleClock(); };
    powerDown->PowerUp = [workers] { workers->PowerUp(); };
    workers->PowerSaver().View = powerDown;

    auto* scanPara = new TScanParaForm;
    Created("TScanParaForm");
    scanPara->ResizeImageWindows = [main] { main->ResizeImageWindows(); };
    scanPara->SetScanRange = [scanner](double range) { return scanner->SetScanRange(range); };
    main->DockParameterWindow(scanPara);
    scanPara->FormCreate();

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
    lockin->FormCreate(inOut);
    if (QAbstractButton* button = main->Button("LockinButton"); button && lockin->DeviceOpen() && !MultiLockInPresent) {
        QObject::connect(button, &QAbstractButton::toggled, lockin, [lockin](bool on) { lockin->setVisible(on); });
        if (button->isChecked())
            lockin->show();
    }

    auto* dnc = new TdncForm(*workers);
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
    dnc->FormCreate();
    // The device window's start-up call: the stored input gain reaches the controller.
    dnc->LoadInputGain();
    if (QAbstractButton* button = main->Button("dncButton")) {
        QObject::connect(button, &QAbstractButton::toggled, dnc, [dnc](bool on) { dnc->setVisible(on); });
        QObject::connect(dnc, &TdncForm::visibilityChanged, button, &QAbstractButton::setChecked);
        if (button->isChecked())
            dnc->show();
    }

    // Place 10 is created here as it is built.

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

    // Places 14 to 16 are created here as they are built.

    auto* misc = new TMiscForm(main);
    Created("TMiscForm");
    misc->SetSaveButton = [main](bool down) { main->SaveButton()->setChecked(down); };
    SavePathCheck = [misc] { return misc->CheckSavePath(); };
    misc->SoftLinActive = [scanner] { return scanner->SoftLinActive(); };
    misc->HardLinActive = [scanner] { return scanner->HardLinActive(); };
    main->SetMenuCommand("MiscItem", [misc] {
        misc->show();
        misc->raise();
    });
    misc->FormCreate();

    // Place 18 is created here once it is built.

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
    main->UpdateMenuItems();

    // Places 19 to 23 are created here as they are built.

    auto* multi = new TMultiLockInForm;
    Created("TMultiLockInForm");
    inOut->LockInHooks.MultiLockInChannel = [multi](int k, TMultiLockInChannel& channel) {
        return multi->Channel(k, channel);
    };
    // A new resonance frequency moves the oscillators linked to it.
    QObject::connect(inOut, &TInOutForm::multiLockInChanged, multi, &TMultiLockInForm::ApplyFrequencies);
    multi->AdminMode = [main] { return main->AdminLevel() != 0; };
    multi->FormCreate(inOut);
    if (QAbstractButton* button = main->Button("LockinButton"); button && MultiLockInPresent) {
        QObject::connect(button, &QAbstractButton::toggled, multi, [multi](bool on) { multi->setVisible(on); });
        if (button->isChecked())
            multi->show();
    }

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
    sel->ScriptRunner = scriptThread.get();
    sel->FormCreate();

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
    multiOptions->FormCreate();

    if (inOut->StartFailed()) {
        // The operator has been told; nothing was sent on the unopened link.
        exitCode = DeviceStartExitCode;
        return false;
    }
    return true;
}

void StartUp()
{
    if (MainQVTForm != nullptr)
        MainQVTForm->StartUp();
}

void DestroyAllForms()
{
    // The script thread goes first: stopped, its waits freed, joined while
    // every window it reaches is still there.
    if (SelForm != nullptr)
        SelForm->ScriptRunner = nullptr;
    scriptThread.reset();
    scriptDevice.reset();
    // What the windows keep is written while the settings and the device
    // window are still there.
    if (ScanParaForm != nullptr)
        ScanParaForm->FormDestroy();
    if (SelForm != nullptr)
        SelForm->FormDestroy();
    if (SetupForm != nullptr)
        SetupForm->FormDestroy();
    if (dncForm != nullptr)
        dncForm->FormDestroy();
    if (LockinForm != nullptr)
        LockinForm->FormDestroy();
    if (MultiLockInForm != nullptr)
        MultiLockInForm->FormDestroy();
    if (MiscForm != nullptr)
        MiscForm->FormDestroy();
    if (SpektForm != nullptr)
        SpektForm->FormDestroy();
    if (ScannerForm != nullptr)
        ScannerForm->FormDestroy();
    if (MainQVTForm != nullptr)
        MainQVTForm->FormDestroy();
    // Windows that send to the device or show its buffers go before it.
    if (ScanParaForm != nullptr)
        ScanParaForm->ShowNavigatorPosition = nullptr;
    delete SelForm; // each clears its global pointer
    delete DDEForm;
    SavePathCheck = nullptr;
    delete MiscForm;
    delete HistoryBox;
    delete SpektForm;
    if (InOutForm != nullptr)
        InOutForm->LockInHooks.MultiLockInChannel = nullptr;
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
    delete dncForm;
    delete ScanParaForm;
    if (InOutForm != nullptr)
        InOutForm->LockInHooks.ScannerMonoZ = nullptr;
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
