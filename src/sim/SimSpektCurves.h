#pragma once
// The controller's spectroscopy run: it takes the two ramp tables and the
// start record and samples, point after point, the tunnelling current and the
// force on the cantilever at each ramp's bias and Z. The run starts at a
// nominal gap (the feedback held its set point there); a positive Z step
// moves the tip away. Readings become available as the run proceeds, so a
// poll before its end gets fewer readings than points.
//
// Result slots: 1 the tunnelling current, 2 the force, 3 the Z ramp as run
// (absolute), 4 the bias ramp, 5 and 6 idle.

#include "protocol/ControlCodes.h"

#include <cstdint>

namespace qvt::sim {

class SimSpectroscopy {
public:
    static constexpr double BiasVoltsPerDigit = 10.0 / 32768.0;
    static constexpr double GapNmPerDigit = 0.001;
    static constexpr double StartGapNm = 0.5;

    // Current in ADC digits at a bias (V) and gap (nm): odd and rising in the bias,
    // falling with the gap.
    static double TunnelCurrent(double biasVolts, double gapNm);
    // Force in ADC digits at a gap (nm): repulsive close in, attractive further out.
    static double Force(double gapNm);

    void LoadBiasRamp(const TRampRecord& ramp) { bias_ = ramp; }
    void LoadZRamp(const TRampRecord& ramp) { z_ = ramp; }
    // Kind 2 or no points stops the run.
    void Start(const TSetSpektRecord& record, int64_t nowUs);
    // Fills `out` with the readings of result slot 1..6 done by `nowUs`;
    // returns their number (−1 for a slot out of range).
    int Read(int slot, int64_t nowUs, int32_t* out) const;

private:
    int DoneAt(int64_t nowUs) const;

    TRampRecord bias_;
    TRampRecord z_;
    TSetSpektRecord record_;
    int32_t points_ = 0;
    int64_t startUs_ = 0;
};

} // namespace qvt::sim
