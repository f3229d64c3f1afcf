#pragma once
// The program as its operator starts it: the bundled settings in a folder of
// their own, the command server's socket in a runtime folder of the test's
// own, the windows created in their order. Boxes go to the test's responder.

#include "app/CreateForms.h"
#include "core/Startup.h"
#include "mainwindow/MainQVTForm.h"
#include "support/TestSupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

namespace qvt::test {

class BundledProgram {
public:
    BundledProgram() : saved_(qgetenv("XDG_RUNTIME_DIR"))
    {
        Copied = CopyBundledSettings(Dir);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.Path().chopped(1)));
    }
    ~BundledProgram() { qputenv("XDG_RUNTIME_DIR", saved_); }
    BundledProgram(const BundledProgram&) = delete;
    BundledProgram& operator=(const BundledProgram&) = delete;

    // Creates every window on the settings in Dir (edit them before).
    bool Create()
    {
        LoadDriverName(Dir.Path(), {"qvt"});
        int exitCode = -1;
        return CreateAllForms("qvt", exitCode);
    }
    // Creates every window, shows the main window and runs the start-up step.
    bool Start()
    {
        if (!Create())
            return false;
        MainQVTForm->show();
        QCoreApplication::processEvents();
        StartUp();
        return true;
    }

    TempDir Dir;
    bool Copied = false;

private:
    TempDir runtime_;
    QByteArray saved_;
};

} // namespace qvt::test
