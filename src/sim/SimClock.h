#pragma once
// The simulated controller's time base. In real time a wait spins for as long
// as the instrument would take; in fast mode it only advances the simulated
// time, so tests and benchmarks run as fast as the machine allows while the
// models still see time pass.

#include "sim/SimConfig.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qvt::sim {

class SimClock {
public:
    explicit SimClock(ClockMode mode);

    ClockMode Mode() const { return mode_; }
    // Simulated time since the controller was switched on, in microseconds
    // and in nanoseconds.
    int64_t NowUs() const;
    int64_t NowNs() const;
    // Spends `us` microseconds of controller time: a busy wait in real time
    // (as the driver's delay is), an advance of the simulated time when fast.
    // Thread-safe; takes no lock.
    void Spend(double us);
    // Real time: the moment of the machine's steady clock at which the
    // controller's clock reads `ns`.
    std::chrono::steady_clock::time_point SteadyAt(int64_t ns) const { return start_ + std::chrono::nanoseconds(ns); }
    // Fast mode only: moves the simulated time on without any wait (the move
    // generator finishes its moves at once). Does nothing in real time.
    void AdvanceFast(int64_t ns);

private:
    const ClockMode mode_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<int64_t> fastNs_{0};
};

} // namespace qvt::sim
