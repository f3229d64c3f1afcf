#pragma once
// The controller's own scan generator and its bulk stream. While the module
// runs DMA and scan (control bits 0x1 and 0x4) and a pixel step is set
// (register 129), it sweeps the tip line after line and streams, per line, a
// marker word (low byte 13, bit 8 while the lines count down) and then one
// group of samples per position in the order of the oscilloscope ids. On
// screen: the surface appears frame after frame, the fast axis from the
// "Scan" page's step, the frame turning up and down.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qvt::sim {

class SimFastScan {
public:
    static constexpr int32_t ControlDma = 0x1;
    static constexpr int32_t ControlFeedback = 0x2;
    static constexpr int32_t ControlScan = 0x4;
    static constexpr int32_t ControlApply = 0x80;
    static constexpr int MaxIds = 15;
    static constexpr int32_t TopographyAddress = 8;

    // The READ_OSZI request: its control word is taken when the apply bit is
    // set; the ids (count terminator included) each time.
    void Request(int32_t control, int32_t count, const int32_t* ids);
    int32_t Control() const { return control_; }
    const std::vector<int32_t>& Addresses() const { return addresses_; }

    // Samples of one position: read address, X and Y in output digits.
    using Sampler = std::function<int32_t(int32_t address, double x, double y)>;

    // The stream from `lastNs` to `nowNs` for the registers `regs` (512
    // entries), at most `maxWords`. Returns the words written; time not yet
    // streamed is kept for the next read.
    size_t Stream(const int32_t* regs, int64_t nowNs, int32_t* out, size_t maxWords, const Sampler& sample);
    bool Streaming(const int32_t* regs) const;
    // A USB box streams while its fast feedback runs and a pixel step is set
    // (its start request carries no scan bit).
    bool Usb = false;
    // Groups per line and lines per frame direction as the registers give them.
    static int64_t GroupsPerLine(const int32_t* regs);
    static int64_t LinesPerFrame(const int32_t* regs);
    int64_t Lines() const { return lines_; }

    // A sample may never look like a marker: one digit off it.
    static int32_t Unmark(int32_t sample);

private:
    int32_t control_ = 0;
    std::vector<int32_t> addresses_;
    bool running_ = false;
    int64_t streamedNs_ = 0; // time up to which groups were made
    double groupPhase_ = 0;  // groups owed and not yet made
    int64_t group_ = -1;     // group within the line; -1: the marker is next
    int64_t line_ = 0;       // line within the frame direction
    bool down_ = false;
    int64_t lines_ = 0;
    size_t channel_ = 0;
};

} // namespace qvt::sim
