#include "sim/SimCoarseAxes.h"

#include <span>

namespace qvt::sim {

namespace {

constexpr std::array<int32_t, 4> PhaseCycle = {3, 11, 15, 7};
constexpr std::array<int32_t, 5> LegCycle = {3, 6, 12, 24, 17};

int IndexIn(std::span<const int32_t> cycle, int32_t pattern)
{
    for (size_t i = 0; i < cycle.size(); ++i)
        if (cycle[i] == pattern)
            return static_cast<int>(i);
    return -1;
}

// +1 one place forward in the cycle, -1 one place back, else 0.
int StepBetween(std::span<const int32_t> cycle, int32_t from, int32_t to)
{
    const int a = IndexIn(cycle, from);
    const int b = IndexIn(cycle, to);
    if (a < 0 || b < 0 || a == b)
        return 0;
    const int n = static_cast<int>(cycle.size());
    if (b == (a + 1) % n)
        return 1;
    if (b == (a + n - 1) % n)
        return -1;
    return 0;
}

} // namespace

void SimCoarseAxes::DigitalOut(int32_t word)
{
    const auto w = static_cast<uint32_t>(word);
    std::array<int32_t, AxisCount> now{};
    now[X] = static_cast<int32_t>((w >> 8) & 0xFu);
    now[Y] = static_cast<int32_t>((w >> 4) & 0xFu);
    now[LegA] = static_cast<int32_t>((w >> 16) & 0x1Fu);
    now[LegB] = static_cast<int32_t>((w >> 21) & 0x1Fu);
    now[LegC] = static_cast<int32_t>((w >> 26) & 0x1Fu);
    for (int a = 0; a < AxisCount; ++a) {
        const std::span<const int32_t> cycle =
            a <= Y ? std::span<const int32_t>(PhaseCycle) : std::span<const int32_t>(LegCycle);
        // The step routines set a phase's enables (bits 0-1) before they
        // turn it, so a phase switched off continues where it stood.
        const int32_t from = a <= Y ? (last_[a] | 3) : last_[a];
        steps_[a] += StepBetween(cycle, from, now[a]);
        last_[a] = now[a];
    }
}

} // namespace qvt::sim
