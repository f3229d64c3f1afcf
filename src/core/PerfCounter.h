#pragma once
// High-resolution time stamps for line timing. Callers divide differences of
// ReadTimestamp() by PerfFrequency() to get seconds.

#include <cstdint>

namespace qvt {

// Called once at program start; the counter also works without it.
void InitPerfCounter();
// Ticks of a monotonic clock.
int64_t ReadTimestamp();
// Ticks per second of ReadTimestamp().
int64_t PerfFrequency();

} // namespace qvt
