#pragma once
// Settings of the simulated controller ("SPM-Box"): which controller it plays,
// how its clock runs, the output limits it guards, its noise and the faults it
// injects for tests. The program reads them from ini/sim.ini beside the
// executable; tests build one directly.

#include "sim/SimCantilever.h"
#include "sim/SimFrameMotor.h"
#include "sim/SimPhotodiode.h"
#include "sim/SimTestSine.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

namespace qvt::sim {

enum class ClockMode {
    RealTime, // waits take as long as on the instrument (a person watching)
    Fast,     // waits only advance the simulated time (tests, benchmarks)
};

// Faults a test can switch on to see how the program copes.
struct SimFaults {
    bool FailAllRequests = false;
    uint32_t FailCode = 0;       // every request of this code fails (0: none)
    int32_t EchoStrayEvery = 0;  // every n-th read of the echo register gives a stray value
    int32_t EchoLagReads = 0;    // the echo register shows a write only after n further reads
    int32_t SpektShortWords = 0; // spectroscopy results come back this many readings short
};

// The sample under the tip, in raw digits: heights in Z digits over X/Y in
// X/Y digits. Every part is off (0) by default, leaving a flat sample.
struct SurfaceConfig {
    double Base = 0.0;             // Z at which the loop meets the surface under X = Y = 0
    double TiltX = 0.0;            // Z digits per X digit
    double TiltY = 0.0;            // Z digits per Y digit
    double StepHeight = 0.0;       // Z digits per atomic step
    double TerraceWidth = 5000.0;  // X/Y digits between step edges
    double StepAngle = 0.0;        // direction in which the terraces climb, radians from X
    double GratingHeight = 0.0;    // Z digits of the grating's lines
    double GratingPeriod = 8000.0; // X digits per line and gap
    double Noise = 0.0;            // Z digits (standard deviation) on the tracked Z
};

// How the tip meets the surface and how hard the sample is.
struct ProbeConfig {
    double RetractSlew = 20.0;        // Z digits per controller tick while retracting
    double CurrentDecay = 400.0;      // STM: Z digits per e-fold of the tunnelling current
    double SaturationCurrent = 30000; // STM: current (input digits) with the tip touching the sample
    double Stiffness = 1.0;           // contact AFM: input digits of deflection per Z digit of push
    double FreeAmplitude = 10000.0;   // dynamic AFM: amplitude (input digits) of the free cantilever
    double AmplitudeGap = 1000.0;     // dynamic AFM: gap (Z digits) below which the amplitude shrinks
    // The input the tip's signal (current, deflection, amplitude) is wired to;
    // 0: whichever input the feedback record names.
    int32_t SignalAddress = 0;
    // The sample's hardness: pushed further than this (Z digits beyond
    // touching), the tip crashes.
    double CrashDepth = 8000.0;
    int32_t TopographyAddress = 3; // input reading the scanner's Z extension (0: none)
    double TopographyGain = 1.0;   // its digits per Z digit
};

// The tube scanner between the X/Y outputs and where the tip really is, and
// its position sensors. All 0 by default: a perfectly linear scanner.
struct ScannerConfig {
    // Bow and S-bend of each axis: at either end of HalfRange the tip lies
    // Quad (Cubic) × HalfRange digits away from where the output puts it.
    double QuadX = 0.0;
    double CubicX = 0.0;
    double QuadY = 0.0;
    double CubicY = 0.0;
    double HalfRange = 32768.0; // X/Y digits from the centre to the end of the scanner's range
    // Input addresses of the X and Y position sensors (0: no sensor) and
    // their digits per X/Y digit; their noise is the inputs' AdcNoise.
    int32_t SensorXAddress = 0;
    int32_t SensorYAddress = 0;
    double SensorGain = 1.0;
};

// How the tip answers a spectroscopy run (SimSpektCurves), in Z digits: the
// cantilever snaps onto the surface this close to it and is held by adhesion
// until pulled this far off; the loop's time constant; a mechanical vibration
// of the gap that a z-noise spectrum shows as one line.
struct SpektConfig {
    double SnapIn = 30.0;
    double Adhesion = 120.0;
    double LoopTimeUs = 500.0;
    double VibrationHz = 200.0;
    double VibrationDigits = 1.0;
};

// The coarse z motor under the sample stage (SimCoarseMotor).
struct CoarseConfig {
    double StepSize = 3000.0;     // Z digits the sample moves per full step
    double Gap = 0.0;             // steps the sample starts beyond where the loop meets the surface at Base
    double CountsPerStep = 100.0; // motor-command counts of one leg per step
    int32_t EncoderRegister = 0;  // register reading the stage position in counts (0: none)
};

struct SimConfig {
    // Controller type 22..29 (register 31) and sub-version (register 30).
    int32_t ControllerType = 26;
    int32_t SubVersion = 2;
    // Attached by USB (set from the driver name; changes the SET_OSZI size).
    bool Usb = false;
    // No controller behind the driver: every read gives all ones.
    bool Absent = false;

    ClockMode Clock = ClockMode::RealTime;
    // Cost of one request on top of its own work, in microseconds.
    double RequestLatencyUs = 0.0;

    // Raw limits the outputs DAC1..DAC26 must keep; the guard records any
    // write outside them. Z is further kept inside the range the program sets.
    std::array<int32_t, 26> DacMin = Filled(-32000);
    std::array<int32_t, 26> DacMax = Filled(32000);
    // The limits the program is configured with for DACn (n = 1..26), asked
    // at every output request, so the guard holds each output to the tighter
    // of these and the hardware's. The program hands them over when it opens
    // the simulator; false: nothing configured for that output.
    std::function<bool(int dac, int32_t& min, int32_t& max)> ConfiguredLimits;

    // Input noise in digits (standard deviation) and the seed of the noise.
    double AdcNoise = 3.0;
    uint32_t Seed = 12345;

    SurfaceConfig Surface;
    ProbeConfig Probe;
    ScannerConfig Scanner;
    CoarseConfig Coarse;
    CantileverConfig Cantilever;
    SpektConfig Spekt;
    TestSineConfig TestSine;
    FrameMotorConfig FrameMotor;
    PhotodiodeConfig Photodiode;

    SimFaults Faults;

    // The second lock-in device ("\\.\LockIn") is not attached: opening it fails.
    bool LockInAbsent = false;

    // Request log: off in the program, on in tests that compare traffic.
    bool LogRequests = false;
    int32_t LogCapacity = 4096;

private:
    static std::array<int32_t, 26> Filled(int32_t v)
    {
        std::array<int32_t, 26> a{};
        a.fill(v);
        return a;
    }
};

// Where the settings come from: the program hands in its ini reader, so the
// simulator knows its keys but not the settings engine.
struct SimSettingsSource {
    std::function<int(const QString& section, const QString& key, int def)> ReadInteger;
    std::function<double(const QString& section, const QString& key, double def)> ReadFloat;
    std::function<QString(const QString& section, const QString& key, const QString& def)> ReadString;
};

// Reads [Controller], [Clock], [Limits], [Noise], [Surface], [Probe],
// [Scanner], [Coarse], [Cantilever], [Spekt], [Faults], [LockIn] and [Log];
// missing keys keep the defaults above, out-of-range values are brought back in.
SimConfig ReadSimConfig(const SimSettingsSource& source);

} // namespace qvt::sim
