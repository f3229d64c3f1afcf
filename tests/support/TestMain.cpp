// Every test executable runs inside a QApplication on the offscreen platform,
// so the window thread exists for posted and sent messages and widgets can be made.

#include "app/SimulatorFactory.h"
#include "view3d/A3DForm.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // A runtime folder of this process's own: the command-server sockets and
    // instance locks of tests running side by side (or of a qvt the
    // developer runs) never meet.
    QTemporaryDir runtime;
    if (runtime.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QApplication app(argc, argv);
    // The "SIM" names open the simulator, as in the program.
    qvt::RegisterSimulator();
    // The offscreen platform has no OpenGL; the 3D view is taken to have it
    // (it is never shown there), so a start asks nothing. The tests of the
    // view itself choose for themselves.
    qvt::TA3DForm::OpenGLAvailable = [] { return true; };
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
