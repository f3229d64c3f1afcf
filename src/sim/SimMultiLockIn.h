#pragma once
// The three digital lock-in oscillators of type-26/29 controllers. Each runs
// at the frequency word of its register (12..14) with its 11-bit reference
// phase from register 15 and demodulates its input (A: the cantilever's
// deflection; B: the second input, which carries only noise here). The
// cantilever is driven by every oscillator that outputs: LIA 1 through the
// reference output when "Ref A" (control bit 15) is set, with the amplitude
// in the high half of register 10 on the drive output's range (control bits
// 4-5, as the main lock-in's drive); LIA 2
// and 3 by the amplitude words of their multi lock-in records.
//
// What a scientist would see: sweeping an oscillator that drives the
// cantilever over its resonance gives the resonance curve on the X/Y of every
// oscillator at that frequency on input A; an oscillator at another
// frequency sees only noise. The demodulated values are steady state: the
// program waits out its filter before reading.

#include "sim/SimCantilever.h"
#include "sim/SimRandom.h"

#include <array>
#include <complex>
#include <cstdint>

namespace qvt::sim {

class SimMultiLockIn {
public:
    SimMultiLockIn(const CantileverConfig& config, uint64_t seed);

    static bool IsAddress(int32_t address) { return address <= -14 && address >= -19; }
    // LIA 2/3 amplitude words from their records (k = 2, 3).
    void SetAmplitudeWord(int k, int32_t word);
    // X (even offset) or Y of LIA 1..3 at read address −14..−19.
    int32_t Read(int32_t address, const std::array<int32_t, 3>& frequencyWords, int32_t phaseRegister,
                 int32_t amplitudeRegister, int32_t controlWord);

    static constexpr double DigitVolts = 6.3e-8;
    static constexpr double OutputVolts = 10.0; // full word of LIA 2/3

private:
    std::complex<double> Response(double hz) const;

    CantileverConfig config_;
    SimRandom random_;
    std::array<int32_t, 4> amplitudeWords_{};
};

} // namespace qvt::sim
