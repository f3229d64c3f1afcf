// Every test executable runs inside a QApplication on the offscreen platform,
// so the window thread exists for posted and sent messages and widgets can be made.

#include "app/SimulatorFactory.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    // The "SIM" names open the simulator, as in the program.
    qvt::RegisterSimulator();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
