#pragma once
// The cantilever behind the main lock-in: a damped driven oscillator with two
// flexural modes, thermally excited, whose deflection the box demodulates at
// the drive frequency and smooths with the lock-in's output filter.
//
// What a scientist would see: sweeping the drive from 10 to 30 kHz shows one
// sharp resonance at 21 kHz (Q 200, about 105 Hz wide) standing some 150 times
// above the off-resonance response, the phase rising from 0 through 90° at the
// peak towards 180°, and a second, much weaker mode near 132 kHz; with the drive
// off the amplitude shows the thermal motion, strongest around the resonance;
// a sweep faster than the filter and the cantilever's ring-down (2Q/ω, 3 ms)
// drags the peak towards the sweep direction; a too large signal overloads the
// input above 10 V.
//
// Times are the controller's clock in nanoseconds; all state belongs to the
// owner's lock.

#include "sim/SimRandom.h"

#include <array>
#include <complex>
#include <cstdint>

namespace qvt::sim {

struct CantileverConfig {
    double ResonanceHz = 21000.0;
    double Q = 200.0;
    double SecondModeRatio = 6.27; // second flexural mode, times the first
    double SecondModeQ = 400.0;
    double SpringConstant = 1.5;        // N/m
    double Temperature = 300.0;         // K
    double DriveNmPerVolt = 0.05;       // static deflection per drive volt
    double DetectorVoltsPerNm = 0.1;    // lock-in input volts per nm of deflection
    double WhiteNoiseDigits = 120.0;    // electronic noise on X and Y (standard deviation)
    double PowerUpTimeConstant = 0.001; // s, the output filter before the program sets it
};

class SimCantilever {
public:
    explicit SimCantilever(const CantileverConfig& config, uint64_t seed);

    // Drive and reference. Each change keeps the oscillator's motion continuous.
    void SetFrequency(double hz, int64_t nowNs);
    void SetDriveVolts(double volts, int64_t nowNs);
    void SetReferencePhase(double degrees) { phaseDeg_ = degrees; }
    // Input gain 1, 10 or 100 (amplifies before the demodulator).
    void SetInputGain(double gain) { gain_ = gain; }
    void SetTimeConstant(double seconds, int64_t nowNs);
    double TimeConstant() const { return tau_; }

    // The demodulator outputs in digits (6.3e-8 V per digit at gain 1): X, Y
    // and the amplitude as the CORDIC gives it (×1.6467602581); the phase in
    // millidegrees.
    struct Reading {
        int32_t X = 0;
        int32_t Y = 0;
        int32_t Amplitude = 0;
        int32_t PhaseMilliDeg = 0;
    };
    Reading Read(int64_t nowNs);
    // The input is beyond 10 V.
    bool Overload(int64_t nowNs);

    static constexpr double DigitVolts = 6.3e-8;
    static constexpr double CordicGain = 1.6467602581;
    static constexpr double InputLimitVolts = 10.0;

    // The filter time constant a SET_FILTER record stands for (0 when it
    // tells none): the coefficients of its last section against the table's
    // 0.2 ms and 5 s rows of its roll-off.
    static double DecodeTimeConstant(const int32_t coefficients[8]);

private:
    static constexpr int Modes = 2;
    struct Mode {
        double Omega = 0.0; // rad/s
        double Gamma = 0.0; // 1/s, amplitude decay
        double Weight = 1.0;
        double ThermalNm = 0.0;
        std::complex<double> Particular;
        std::complex<double> Homogeneous; // at the last update
        std::complex<double> Thermal;     // envelope in the drive's frame
        std::complex<double> ThermalOut;  // the same through the output filter
    };

    void Advance(int64_t nowNs);
    void AdvanceThermal(Mode& m, std::complex<double> lambda, double s, double decay);
    void Rebase(); // new particular solutions after a drive change, motion kept
    std::complex<double> Response(const Mode& m) const;
    std::complex<double> InputNm() const; // the phasor of the deflection now
    double Gaussian() { return random_.Gaussian(); }

    CantileverConfig config_;
    SimRandom random_;
    std::array<Mode, Modes> modes_{};
    double omega_ = 0.0;
    double volts_ = 0.0;
    double phaseDeg_ = 0.0;
    double gain_ = 1.0;
    double tau_;
    int64_t lastNs_ = 0;
    std::complex<double> filtered_; // deterministic part, nm
};

} // namespace qvt::sim
