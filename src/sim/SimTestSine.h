#pragma once
// A signal generator wired to one input of the box, for checking the
// oscilloscopes: a clean sine of a fixed frequency and amplitude on top of the
// input's own offset and noise.
//
// What a scientist would see: on that input the three-trace oscilloscope draws
// a steady sine (1 kHz, 2000 digits by default), and its frequency view shows
// a single line at that frequency.

#include <cstdint>

namespace qvt::sim {

struct TestSineConfig {
    int32_t Address = 4; // input register the generator feeds; 0: none
    double Hz = 1000.0;
    double Digits = 2000.0; // amplitude
};

// The generator's contribution to `address` at `nowNs`; 0 on other inputs.
double TestSineSignal(const TestSineConfig& config, int32_t address, int64_t nowNs);

} // namespace qvt::sim
