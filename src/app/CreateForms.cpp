#include "app/CreateForms.h"

#include "core/InOutForm.h"
#include "core/SharedState.h"
#include "display/MainQVTForm.h"

#include <QApplication>

namespace qvt {

namespace {
std::vector<QString> created;

void Created(const char* className) { created.emplace_back(className); }
} // namespace

const std::vector<QString>& CreatedForms() { return created; }

bool CreateAllForms(const QString& baseName, int& exitCode)
{
    created.clear();
    exitCode = 0;
    QApplication::setApplicationName("QVT");

    auto* main = new TMainQVTForm;
    Created("TMainQVTForm");
    if (!main->LoadIniFiles(baseName)) {
        exitCode = 0; // the operator was told which file is missing
        return false;
    }

    auto* inOut = new TInOutForm;
    Created("TInOutForm");
    inOut->FormCreate();

    auto* inOut2 = new TInOut2Form;
    Created("TInOut2Form");
    inOut2->FormCreate();

    // The remaining windows are created here, in their places of
    // FormCreationOrder, as they are built.

    if (inOut->StartFailed()) {
        // The operator has been told; nothing was sent on the unopened link.
        exitCode = 1;
        return false;
    }
    return true;
}

void StartUp()
{
    // The main window's remaining start-up steps join these when it is complete.
    if (InOutForm == nullptr || InOutForm->StartFailed())
        return;
    InOutForm->CalibrateDelay();
    InOutForm->TestCommunication();
}

void DestroyAllForms()
{
    delete InOut2Form; // each clears its global pointer
    if (InOutForm != nullptr) {
        InOutForm->FormDestroy();
        delete InOutForm;
    }
    delete MainQVTForm;
    created.clear();
}

} // namespace qvt
