#include "app/Program.h"
#include "app/QvtApplication.h"
#include "app/SimulatorFactory.h"
#include "core/PerfCounter.h"

using namespace qvt;

int main(int argc, char** argv)
{
    FallBackToNoScreen();
    TQvtApplication app(argc, argv);
    // First: a signal during start-up ends the program in order too.
    InstallShutdownOnSignals();
    InitPerfCounter();
    RegisterSimulator();
    return RunProgram(QCoreApplication::applicationDirPath() + "/", QCoreApplication::arguments());
}
