#include "core/PerfCounter.h"

#include <chrono>

namespace qvt {

namespace {
using Ticks = std::chrono::nanoseconds;
} // namespace

void InitPerfCounter()
{
    // The monotonic clock needs no set-up; its rate is fixed at compile time.
}

int64_t ReadTimestamp()
{
    return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t PerfFrequency()
{
    return Ticks::period::den / Ticks::period::num;
}

} // namespace qvt
