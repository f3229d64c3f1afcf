#include "app/CreateForms.h"

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
    main->setAttribute(Qt::WA_DeleteOnClose, false);
    Created("TMainQVTForm");
    if (!main->LoadIniFiles(baseName)) {
        exitCode = 0; // the operator was told which file is missing
        return false;
    }
    return true;
}

void DestroyAllForms()
{
    delete MainQVTForm;
    created.clear();
}

} // namespace qvt
