#pragma once
// The controller's oscilloscope and lock-in settings: what the box keeps from
// the set-up requests (sample period and read addresses, frequency, amplitude,
// phase, filters, multi lock-in channels) and how it samples.
//
// What a scientist would see: the simple oscilloscope shows 256 successive
// samples of the feedback input, 25.6 µs apart; the three-trace oscilloscope
// shows buffer 0 as a ramp of time stamps (one sample period per point) and
// buffers 1 to 3 as the chosen inputs sampled at that period; asked for the
// position within the scan line instead, buffer 0 holds the pixel index of
// the move under way at each sample of the last 512 periods, and buffers 1 to
// 3 the inputs at those same moments, so the Line view draws the scan line. The lock-in
// status reports a clean input (no overload, no Q-control clipping).

#include "protocol/ControlCodes.h"

#include <array>
#include <cstdint>

namespace qvt::sim {

constexpr int ScopeSnapshotSamples = 256;
constexpr int ScopeBufferSamples = 512;
constexpr int ScopeBufferCount = 4;
constexpr int LockInFilters = 8;
constexpr int MultiLockIns = 4;
// The three-trace oscilloscope's buffer 0 reads the position within the scan
// line when its address is this one (time stamps otherwise).
constexpr int32_t ScopeLinePositionAddress = -25;

// The reply of IOCTL_READ_OSZI_BUFFER: a count and 512 samples.
struct SimOsziBufferReply {
    int32_t Count = 0;
    int32_t Samples[ScopeBufferSamples] = {};
};
static_assert(sizeof(SimOsziBufferReply) == 2052);

struct SimLockInSettings {
    int32_t FrequencyWord = 0;   // the last fine word
    int32_t FrequencyCoarse = 0; // the last coarse word (bit 31 set), type 29
    int32_t AmplitudeWord = 0;
    int32_t PhaseWord = 0; // code or (harmonic shl 28)
    std::array<TSetFilterRecord, LockInFilters> Filters{};
    std::array<TSetMultiLiaRecord, MultiLockIns> MultiLia{};
};

class SimScope {
public:
    void SetOszi(const TSetOsziRecord& record, int32_t entryCount);
    const TSetOsziRecord& Oszi() const { return oszi_; }
    int32_t UsbEntryCount() const { return usbEntries_; }

    // Samples `read(address, timeNs)` 256 times at the controller clock.
    template <class Read> void Snapshot(int32_t address, int64_t nowNs, Read read, TReadOsziReply& out) const
    {
        for (int i = 0; i < ScopeSnapshotSamples; ++i)
            out.Samples[i] = read(address, nowNs + TickNs(i));
    }

    // Buffer 0: time stamps in controller ticks, or `linePosition(timeNs)`
    // when the set-up asks for the line position; 1..3: the set-up's inputs.
    // False for a channel out of 0..3.
    template <class Read, class LinePosition>
    bool Buffer(int32_t channel, int64_t nowNs, Read read, LinePosition linePosition, int32_t* count,
                int32_t* samples) const
    {
        if (channel < 0 || channel >= ScopeBufferCount)
            return false;
        *count = ScopeBufferSamples;
        const int64_t period = oszi_.PeriodTicks > 0 ? oszi_.PeriodTicks : 1;
        // The line position is known only for what has happened: that frame
        // ends now, a time frame begins now.
        const bool line = oszi_.Addresses[0] == ScopeLinePositionAddress;
        const int64_t startNs = line ? nowNs - TickNs((ScopeBufferSamples - 1) * period) : nowNs;
        const int64_t startTick = static_cast<int64_t>(startNs / (1.0e9 / ControllerClockHz));
        for (int i = 0; i < ScopeBufferSamples; ++i) {
            const int64_t t = startNs + TickNs(i * period);
            if (channel != 0)
                samples[i] = read(oszi_.Addresses[channel], t);
            else if (line)
                samples[i] = linePosition(t);
            else
                samples[i] = static_cast<int32_t>((startTick + i * period) & 0x7FFFFFFF);
        }
        return true;
    }

    // The lock-in requests; false for a record the controller refuses.
    // On a type-29 controller a word with bit 31 set is the coarse part.
    void SetFrequency(int32_t word, bool type29);
    void SetAmplitude(int32_t word) { lockIn_.AmplitudeWord = word; }
    void SetPhase(int32_t word) { lockIn_.PhaseWord = word; }
    bool SetFilter(const TSetFilterRecord& record);
    bool SetMultiLia(const TSetMultiLiaRecord& record);
    const SimLockInSettings& LockIn() const { return lockIn_; }

    // Six words: [0] amplitude reading, [1] phase reading, [2] flags (clean),
    // [3] frequency word, [4] amplitude word, [5] phase word.
    TDncStatusRecord Status(int32_t amplitudeReading, int32_t phaseReading) const;

private:
    static int64_t TickNs(int64_t ticks) { return static_cast<int64_t>(ticks * (1.0e9 / ControllerClockHz)); }

    TSetOsziRecord oszi_{};
    int32_t usbEntries_ = 0;
    SimLockInSettings lockIn_;
};

} // namespace qvt::sim
