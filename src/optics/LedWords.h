#pragma once
// The illumination LEDs' bus transfer: three 10-bit words per LED, a start
// word with the driver's address, the channel, and the brightness with the
// stop bit.

#include <array>
#include <cstdint>

namespace qvt {

constexpr int32_t LedStartWord = 0x172; // bit 8: first word; $72: the driver's bus address
constexpr int32_t LedStopBit = 0x200;   // bit 9: last word
constexpr int32_t LedChannelGreen = 1;
constexpr int32_t LedChannelWhite = 2;

inline std::array<int32_t, 3> LedTransfer(int32_t channel, int32_t brightness)
{
    return {LedStartWord, channel, LedStopBit + brightness};
}

// A bar's brightness: the thumb's distance from the bottom.
inline int BarBrightness(int max, int position)
{
    return max - position;
}

} // namespace qvt
