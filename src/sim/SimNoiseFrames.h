#pragma once
// The oscilloscope frames of the main lock-in's undriven in-phase and
// quadrature outputs, as the thermal-noise measurement records them: the
// cantilever's thermal motion seen in the frame of the reference frequency,
// on a white floor, both through the controller's decimation filter (six
// stages of 768 taps at the 10 MHz clock), sampled every d controller ticks.
//
// What a scientist would see: transformed, the frames show the thermal
// resonance (21 kHz, Q 200, about 105 Hz wide) standing some thousand times
// above the floor at its true frequency offset from the reference, and the
// floor falling towards the band's edges as the decimator rolls off (at d = 2
// the edges lie a factor of more than 500 below the centre). The frame fills
// as the controller samples, 39062.5 / d samples a second, and holds at 512.

#include "sim/SimCantilever.h"
#include "sim/SimRandom.h"

#include <array>
#include <cstdint>

namespace qvt::sim {

constexpr int NoiseFrameSamples = 512;

class SimNoiseFrames {
public:
    SimNoiseFrames(const CantileverConfig& config, uint64_t seed);

    // A new oscilloscope set-up: frames restart at `nowNs`. The measurement is
    // on when the set-up is the noise record: (-23, X, Y, -23) with the
    // resonance outputs X and Y in buffers 1 and 2.
    void Configure(int32_t periodTicks, const int32_t addresses[4], double referenceHz, double inputGain,
                   int64_t nowNs);
    bool Active() const { return active_; }
    // Buffer 1 (X) or 2 (Y): the samples taken since the set-up, at most 512.
    // False for another buffer.
    bool Buffer(int32_t channel, int64_t nowNs, int32_t* count, int32_t* samples);

    // The decimator's gain at a frequency offset (Hz): 1 at 0.
    static double DecimatorGain(double offsetHz);

private:
    void Synthesize();

    CantileverConfig config_;
    SimRandom random_;
    bool active_ = false;
    bool synthesized_ = false;
    int32_t period_ = 2;
    double referenceHz_ = 0.0;
    double gain_ = 1.0;
    int64_t startNs_ = 0;
    std::array<int32_t, NoiseFrameSamples> x_{};
    std::array<int32_t, NoiseFrameSamples> y_{};
};

} // namespace qvt::sim
