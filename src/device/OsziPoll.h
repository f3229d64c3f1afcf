#pragma once
// The oscilloscope side of the device window: the 200 ms channel snapshot,
// the 100 ms trace-buffer poll and the oscilloscope set-up request. The
// record building is here as plain functions; the timers live in the window.

#include "core/SharedState.h"
#include "protocol/ControlCodes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

constexpr int OsziSnapshotIntervalMs = 200; // OsziTimer
constexpr int OsziBufferIntervalMs = 100;   // OszTimer
constexpr int OsziBufferCount = 4;

// The snapshot request as sent: the count limited to 0..15, the ids past it
// zero; with the mono-Z switch known (type 29 and the scanner window there)
// bit 0x100 follows it.
TOsziRequest BuildOsziReadRequest(const TOsziRequest& shared, bool monoZKnown, bool monoZ);

struct TOsziSetup {
    bool Send = false;    // false: a negative sample time, nothing configured
    int32_t Ticks = 1;    // sample period in controller ticks
    float SampleTime = 0; // the three-trace sample time as applied, s
    std::array<int32_t, 4> Addresses{};
    bool TimerOn = false; // the buffer poll runs exactly while some reader is on
};
TOsziSetup BuildOsziSetup(int32_t flags, float sampleTime, const std::array<int32_t, 4>& osziChannels,
                          int32_t dncPeriod, const std::array<int32_t, 4>& dncChannels);

// Entries of the USB box's sampling list: code or (parameter shl 8).
constexpr int32_t UsbListEntry(int32_t code, int32_t parameter)
{
    return static_cast<int32_t>(static_cast<uint32_t>(code) | (static_cast<uint32_t>(parameter) << 8));
}
std::vector<int32_t> BuildUsbOsziList(bool forResonance, bool flag, int32_t code);

} // namespace qvt
