#include "sim/SimLedBus.h"

namespace qvt::sim {

void SimLedBus::Feed(int32_t word)
{
    if (word < 0 || word > 0x3FF) {
        Reject(word);
        return;
    }
    switch (expect_) {
    case Expect::Start:
        if (word != StartWord) {
            Reject(word);
            return;
        }
        expect_ = Expect::Channel;
        return;
    case Expect::Channel:
        if (word < 1 || word > ChannelCount) {
            Reject(word);
            return;
        }
        channel_ = word;
        expect_ = Expect::Value;
        return;
    case Expect::Value:
        if ((word & StopBit) == 0 || (word & 0x100) != 0) {
            Reject(word);
            return;
        }
        brightness_[static_cast<std::size_t>(channel_ - 1)] = word - StopBit;
        ++transfers_;
        expect_ = Expect::Start;
        return;
    }
}

void SimLedBus::Reject(int32_t word)
{
    ++malformed_;
    // A start word in the middle of a transfer begins the next one.
    expect_ = word == StartWord ? Expect::Channel : Expect::Start;
}

int32_t SimLedBus::Brightness(int channel) const
{
    if (channel < 1 || channel > ChannelCount)
        return 0;
    return brightness_[static_cast<std::size_t>(channel - 1)];
}

} // namespace qvt::sim
