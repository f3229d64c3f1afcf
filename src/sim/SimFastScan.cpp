#include "sim/SimFastScan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qvt::sim {

namespace {

constexpr int32_t RegRef = 3;
constexpr int32_t RegDPixel = 129;
constexpr int32_t RegDLine = 145;
constexpr int32_t RegXSlow = 136;
constexpr int32_t RegXFast = 137;
constexpr int32_t RegYSlow = 152;
constexpr int32_t RegYFast = 153;
constexpr int32_t RegStartX = 130; // the frame's centre, in eighths of an output's digits
constexpr int32_t RegStartY = 146;
constexpr int32_t RegQuadX = 138; // the quadratic terms the start is offset by
constexpr int32_t RegQuadY = 154;
constexpr double StartUnit = 8.0;
constexpr double StartQuad = 0.03;
constexpr int32_t RegDirection = 142;
constexpr double DPixelPerSpeed = 27793.454932584;

double ReferenceHz(const int32_t* regs)
{
    return static_cast<uint32_t>(regs[RegRef]) * 16.0e7 / 4294967296.0;
}

} // namespace

int32_t SimFastScan::Unmark(int32_t sample)
{
    return (static_cast<uint32_t>(sample) & 0xFFu) == 0x0Du ? sample + 1 : sample;
}

void SimFastScan::Request(int32_t control, int32_t count, const int32_t* ids)
{
    if ((control & ControlApply) != 0) {
        const bool was = (control_ & (ControlDma | ControlScan)) == (ControlDma | ControlScan);
        control_ = control & ~ControlApply;
        const bool now = (control_ & (ControlDma | ControlScan)) == (ControlDma | ControlScan);
        if (now && !was)
            running_ = false; // a new run starts at the next read
    }
    addresses_.clear();
    for (int i = 0; i < std::clamp(count, 0, MaxIds); ++i) {
        if (ids[i] == 13)
            break;
        addresses_.push_back(ids[i] + 8);
    }
}

bool SimFastScan::Streaming(const int32_t* regs) const
{
    const bool on =
        Usb ? (control_ & ControlFeedback) != 0 : (control_ & (ControlDma | ControlScan)) == (ControlDma | ControlScan);
    return on && regs[RegDPixel] != 0 && ReferenceHz(regs) > 0 && !addresses_.empty();
}

int64_t SimFastScan::GroupsPerLine(const int32_t* regs)
{
    const double speed = std::abs(regs[RegDPixel]) / DPixelPerSpeed;
    if (speed <= 0)
        return 1;
    return std::max<int64_t>(1, std::llround(ReferenceHz(regs) / speed));
}

int64_t SimFastScan::LinesPerFrame(const int32_t* regs)
{
    const double dLine = std::abs(regs[RegDLine]);
    if (dLine <= 0)
        return 1;
    // dLine = dPixel / (P + 0.5 + 2·TurnLines) / 2
    return std::max<int64_t>(1, std::llround(std::abs(regs[RegDPixel]) / (2.0 * dLine) - 0.5) + 1);
}

size_t SimFastScan::Stream(const int32_t* regs, int64_t nowNs, int32_t* out, size_t maxWords, const Sampler& sample)
{
    if (!Streaming(regs)) {
        running_ = false;
        return 0;
    }
    if (!running_) {
        running_ = true;
        streamedNs_ = nowNs;
        groupPhase_ = 0;
        group_ = -1;
        line_ = 0;
        down_ = (regs[RegDirection] & 0x2) == 0 && regs[RegDLine] < 0;
        channel_ = 0;
        return 0;
    }
    groupPhase_ += (nowNs - streamedNs_) * 1e-9 * ReferenceHz(regs);
    streamedNs_ = nowNs;
    // The module's buffer holds about one read; what a slow reader misses is lost.
    groupPhase_ = std::min(groupPhase_, 67201.0);
    const int64_t g = GroupsPerLine(regs);
    const int64_t frameLines = LinesPerFrame(regs);
    // The slow sweep covers its step over dPixel / (2 dLine) lines.
    const double lineSpan = regs[RegDLine] != 0 ? std::abs(double(regs[RegDPixel]) / (2.0 * regs[RegDLine])) : 1.0;
    const double half = g / 2.0;
    // The frame lies where its start words put it, not where the tip stood
    // when the mode was entered.
    const double cx = StartUnit * (regs[RegStartX] + StartQuad * regs[RegQuadX]);
    const double cy = StartUnit * (regs[RegStartY] + StartQuad * regs[RegQuadY]);
    // The fast line along (137, 153), the lines advancing along (136, 152),
    // as the move-by-move scan's pixel and line steps: a turned frame turns both.
    const double fastX = regs[RegXFast], fastY = regs[RegYFast];
    const double slowX = regs[RegXSlow], slowY = regs[RegYSlow];
    const size_t channels = addresses_.size();
    size_t n = 0;
    while (n < maxWords) {
        if (group_ < 0) {
            // Start of a line: the marker; the frame turns after its last line.
            if (line_ >= frameLines) {
                line_ = 0;
                down_ = !down_;
            }
            out[n++] = 0x0D | (down_ ? 0x100 : 0);
            ++lines_;
            group_ = 0;
            channel_ = 0;
            continue;
        }
        if (channel_ == 0) {
            if (groupPhase_ < 1.0)
                break;
            groupPhase_ -= 1.0;
        }
        // Forward over the first half of the line, back over the second.
        const double u = group_ < half ? group_ / half : 2.0 - group_ / half;
        // Lines one dLine-sweep's share of the slow step apart, about the frame's middle line.
        const double v =
            0.5 + (static_cast<double>(down_ ? frameLines - 1 - line_ : line_) + 0.5 - 0.5 * frameLines) / lineSpan;
        const double x = cx + (u - 0.5) * fastX + (v - 0.5) * slowX;
        const double y = cy + (u - 0.5) * fastY + (v - 0.5) * slowY;
        out[n++] = Unmark(sample(addresses_[channel_], x, y));
        if (++channel_ >= channels) {
            channel_ = 0;
            if (++group_ >= g) {
                group_ = -1;
                ++line_;
            }
        }
    }
    return n;
}

} // namespace qvt::sim
