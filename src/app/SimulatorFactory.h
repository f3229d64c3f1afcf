#pragma once
// The simulated instruments behind the "SIM" driver names, configured by
// ini/sim.ini beside the program and handed to the driver opening as its
// simulator factory.

#include "sim/SimConfig.h"

#include <QString>

namespace qvt {

// AppDir + "ini/sim.ini".
QString SimConfigPath();
// The simulator's settings from that file; a missing file gives the defaults.
sim::SimConfig LoadSimConfig(const QString& path);
// Registers the factory; every open reads the configuration anew.
void RegisterSimulator();
// What the simulated controller records of a crash or an output beyond its
// limits reaches the operator as a real tip's damage would: a line in the
// error log and the main window's status line (window thread; any thread may
// call, the report is posted).
void ReportSimulatorRecord(const QString& text);

} // namespace qvt
