#include "motion/FrameSequencer.h"

#include "core/NumberText.h"
#include "core/SharedState.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qvt {

uint32_t FrameSpeedWord(double speedHz)
{
    const double w = Round(speedHz / 1.6);
    if (!(w >= 1.0))
        return 1;
    return static_cast<uint32_t>(std::min(w, 65535.0));
}

uint32_t FrameStepWord(bool start, bool upIs88, int32_t chunk, double speedHz)
{
    uint32_t w = FrameSpeedWord(speedHz);
    if (start)
        w |= 0x80000000u;
    if (upIs88 != (chunk < 0))
        w |= 0x40000000u;
    const int32_t steps = std::min(std::abs(chunk), FrameChunkMax);
    w |= static_cast<uint32_t>(std::max(steps - 1, 0)) << 16;
    return w;
}

uint32_t FrameSensorWord(bool swInverse, bool landing, double referenceMv)
{
    // Bits 8-31 carry the reference; beyond them it would wrap into nonsense.
    const double units = std::clamp(Round(referenceMv * 1e5), 0.0, static_cast<double>(0xFFFFFF00u));
    uint32_t w = static_cast<uint32_t>(std::isfinite(units) ? units : 0.0) & 0xFFFFFF00u;
    w |= 2u;
    if (swInverse != landing)
        w |= 1u;
    return w;
}

void TFrameSequencer::SendMoveChunk(bool start, TFrameActions& a)
{
    const int32_t chunk = std::clamp(RemainingSteps, -FrameChunkMax, FrameChunkMax);
    RemainingSteps -= chunk;
    LastChunk = chunk;
    // A zero chunk would be read by the motor as one step.
    if (chunk == 0)
        return;
    a.Writes.push_back({RegFrameMotorStep, FrameStepWord(start, UpIs88, chunk, Speed)});
}

TFrameActions TFrameSequencer::StartMove(int mode, double referenceMv, int32_t extra, int32_t count, double speedHz)
{
    TFrameActions a;
    MaxNrOfSteps = std::abs(count);
    ExtraSteps = extra;
    extraPhase_ = false;
    a.Writes.push_back({RegFrameMotorMode, mode == 2 ? FrameSensorWord(SWInverse, count < 0, referenceMv) : 0u});
    Speed = speedHz;
    RemainingSteps = count;
    SendMoveChunk(true, a);
    if (count < 0)
        FrameState = FrameLanding;
    else if (count > 0)
        FrameState = FramePickingUp;
    return a;
}

void TFrameSequencer::StartApproach(bool fast, int32_t& zState)
{
    if (zState == ZApproached)
        zState = ZCoarseRetracted;
    FastApproach = fast;
    FrameState = FrameApproaching;
}

void TFrameSequencer::Progress(int32_t v, TFrameActions& a)
{
    if ((static_cast<uint32_t>(v) & 1u) == 0)
        return;
    const int32_t n = std::abs(v / 256);
    // Compared with the chunk just sent, not the whole move: a long move is
    // sent in several chunks, and each of them ends short of the total.
    if (!extraPhase_ && n < std::abs(LastChunk) - FrameStopMargin) {
        a.Writes.push_back({RegFrameMotorMode, 0u});
        RemainingSteps = ExtraSteps;
        SendMoveChunk(false, a);
        if (RemainingSteps == 0) {
            ++FrameState;
            return;
        }
        // More extra steps than one chunk carries: they follow chunk by chunk.
        extraPhase_ = true;
        return;
    }
    if (RemainingSteps != 0) {
        SendMoveChunk(false, a);
        return;
    }
    extraPhase_ = false;
    ++FrameState;
}

TFrameActions TFrameSequencer::Finish(int32_t zState, TFrameActions& a)
{
    if (FrameState == FrameApproaching && zState == ZApproached)
        FrameState = FrameApproached;
    if (FrameState != ShownState) {
        // A stored state without a picture (an edited file) is shown as idle.
        if (FrameState < 0 || FrameState >= FrameStateCount)
            FrameState = FrameIdle;
        // Taken before the approach starts: a tick that comes during it does not start it again.
        ShownState = FrameState;
        a.StateShown = true;
        a.StartApproach = FrameState == FrameApproaching;
    }
    return std::move(a);
}

} // namespace qvt
