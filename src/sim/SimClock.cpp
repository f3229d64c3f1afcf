#include "sim/SimClock.h"

#include <cmath>

namespace qvt::sim {

SimClock::SimClock(ClockMode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

int64_t SimClock::NowUs() const
{
    return NowNs() / 1000;
}

int64_t SimClock::NowNs() const
{
    if (mode_ == ClockMode::Fast)
        return fastNs_.load(std::memory_order_relaxed);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
}

void SimClock::AdvanceFast(int64_t ns)
{
    if (mode_ == ClockMode::Fast && ns > 0)
        fastNs_.fetch_add(ns, std::memory_order_relaxed);
}

void SimClock::Spend(double us)
{
    if (!(us > 0.0))
        return;
    const auto ns = static_cast<int64_t>(std::llround(us * 1000.0));
    if (mode_ == ClockMode::Fast) {
        fastNs_.fetch_add(ns, std::memory_order_relaxed);
        return;
    }
    // A spin, not a sleep: sleeping rounds tens of microseconds up to the
    // scheduler's tick, and the driver's delay is a busy wait too.
    const auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
    while (std::chrono::steady_clock::now() < end) {
    }
}

} // namespace qvt::sim
