#pragma once
// The illumination LED driver on the controller's two-wire bus, as the
// SET_LED words reach it one by one: a start word ($172: start bit and the
// driver's address), the channel (1 green, 2 white), then $200 + brightness
// (stop bit). A scientist would see the green and white lamps over the sample
// take the brightness of each complete transfer; a broken transfer changes
// nothing and is counted, as a real driver would ignore it.

#include <array>
#include <cstddef>
#include <cstdint>

namespace qvt::sim {

class SimLedBus {
public:
    static constexpr int32_t StartWord = 0x172;
    static constexpr int32_t StopBit = 0x200;
    static constexpr int ChannelCount = 2; // 1 green, 2 white

    void Feed(int32_t word);
    // Brightness of channel 1 or 2 after the last complete transfer (0 before any).
    int32_t Brightness(int channel) const;
    int64_t Transfers() const { return transfers_; }
    int64_t Malformed() const { return malformed_; }

private:
    enum class Expect { Start, Channel, Value };
    void Reject(int32_t word);

    Expect expect_ = Expect::Start;
    int channel_ = 0;
    std::array<int32_t, ChannelCount> brightness_{};
    int64_t transfers_ = 0;
    int64_t malformed_ = 0;
};

} // namespace qvt::sim
