#include "app/CreateForms.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "images/SetupForm.h"
#include "files/ScanFiles.h"
#include "mainwindow/AdminForm.h"
#include "mainwindow/HistoryBox.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/MiscForm.h"
#include "mainwindow/PowerDownForm.h"
#include "motion/PowerSaver.h"
#include "remote/DdeServer.h"
#include "scan/DeviceWorkers.h"
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

    // The scanner and smart feedback windows (places 4 and 5) are created
    // here as they are built.

    auto* powerDown = new TPowerDownForm(main);
    Created("TPowerDownForm");
    powerDown->ResetIdleClock = [workers] { workers->PowerSaver().ResetIdleClock(); };
    powerDown->PowerUp = [workers] { workers->PowerUp(); };
    workers->PowerSaver().View = powerDown;

    auto* scanPara = new TScanParaForm;
    Created("TScanParaForm");
    scanPara->ResizeImageWindows = [main] { main->ResizeImageWindows(); };
    main->DockParameterWindow(scanPara);
    scanPara->FormCreate();

    // Places 8 to 10 are created here as they are built.

    auto* history = new THistoryBox(main);
    Created("THistoryBox");
    main->SetMenuCommand("HistoryItem", [history] { history->show(); });

    auto* setup = new TSetupForm(*workers, main->MdiArea(), main);
    Created("TSetupForm");
    setup->FastSpeedButtonDown = [main] { return main->FastSpeedButtonDown(); };
    setup->FillChannelComboBox = [main] { main->FillChannelComboBox(); };
    main->SetMenuCommand("Window2", [setup] {
        setup->show();
        setup->raise();
    });
    setup->FormCreate();

    // Places 13 to 16 are created here as they are built.

    auto* misc = new TMiscForm(main);
    Created("TMiscForm");
    misc->SetSaveButton = [main](bool down) { main->SaveButton()->setChecked(down); };
    SavePathCheck = [misc] { return misc->CheckSavePath(); };
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
    // The password window is made when asked for and goes when closed.
    main->ShowAdminForm = [main] {
        auto* admin = new TAdminForm(main);
        admin->GrantLevel = [main](int level) { main->SetAdminLevel(level); };
        admin->show();
    };
    main->UpdateMenuItems();

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
    if (SetupForm != nullptr)
        SetupForm->FormDestroy();
    if (MiscForm != nullptr)
        MiscForm->FormDestroy();
    if (MainQVTForm != nullptr)
        MainQVTForm->FormDestroy();
    // Windows that send to the device or show its buffers go before it.
    delete DDEForm; // each clears its global pointer
    SavePathCheck = nullptr;
    delete MiscForm;
    delete HistoryBox;
    delete SetupForm;
    delete ScanParaForm;
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
