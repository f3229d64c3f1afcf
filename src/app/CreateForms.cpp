#include "app/CreateForms.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "images/SetupForm.h"
#include "mainwindow/MainQVTForm.h"
#include "remote/DdeServer.h"
#include "scan/DeviceWorkers.h"
#include "navigator/SelForm.h"
#include "scan/ScanParaForm.h"

#include <QApplication>
#include <QToolButton>

namespace qvt {

namespace {
std::vector<QString> created;

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

    // The scanner, smart feedback and power-down windows (places 4 to 6)
    // are created here as they are built.

    auto* scanPara = new TScanParaForm;
    Created("TScanParaForm");
    scanPara->ResizeImageWindows = [main] { main->ResizeImageWindows(); };
    main->DockParameterWindow(scanPara);
    scanPara->FormCreate();

    // Places 8 to 11 are created here as they are built.

    auto* setup = new TSetupForm(*workers, main->MdiArea(), main);
    Created("TSetupForm");
    setup->FastSpeedButtonDown = [main] { return main->FastSpeedButtonDown(); };
    setup->FillChannelComboBox = [main] { main->FillChannelComboBox(); };
    main->SetMenuCommand("Window2", [setup] {
        setup->show();
        setup->raise();
    });
    setup->FormCreate();

    // Places 13 to 18 are created here as they are built.

    auto* dde = new TDDEForm;
    Created("TDDEForm");
    // A tool window of the main window: it goes and comes with it.
    dde->setParent(main, Qt::Tool);
    dde->SetScanButton = [main](bool down) {
        main->ScanButton()->setChecked(down);
        main->Scan(TScanSender::User);
        return main->ScanButtonDown() == down;
    };
    main->DdeServerSwitch = [dde](bool on) {
        dde->SetServerOn(on);
        if (on)
            dde->show();
    };
    dde->FormCreate();
    main->UpdateMenuItems();

    // Places 19 to 23 are created here as they are built.

    auto* sel = new TSelForm;
    Created("TSelForm");
    // A tool window of the main window: it goes and comes with it.
    sel->setParent(main, Qt::Tool);
    sel->EnterScanText = [](const QString& edit, const QString& text) {
        return ScanParaForm != nullptr && ScanParaForm->EnterText(edit, text);
    };
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
    sel->FormCreate();

    // The remaining windows are created here, in their places of
    // FormCreationOrder, as they are built.

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
    // What the windows keep is written while the settings and the device
    // window are still there.
    if (ScanParaForm != nullptr)
        ScanParaForm->FormDestroy();
    if (SelForm != nullptr)
        SelForm->FormDestroy();
    if (SetupForm != nullptr)
        SetupForm->FormDestroy();
    if (MainQVTForm != nullptr)
        MainQVTForm->FormDestroy();
    // Windows that send to the device or show its buffers go before it.
    if (ScanParaForm != nullptr)
        ScanParaForm->ShowNavigatorPosition = nullptr;
    delete SelForm; // each clears its global pointer
    delete DDEForm;
    delete SetupForm;
    delete ScanParaForm;
    delete InOut2Form;
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
