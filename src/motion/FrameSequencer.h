#pragma once
// The landing workflow of microscopes whose sample is landed on a frame by a
// motor the controller runs itself: the program hands the controller a move
// in chunks of at most 16383 steps (register 276, the sensor mode in 277) and
// watches the progress register 41 every 100 ms.
//
// States: 0 idle, 1 landing, 2 landed, 3 approach running, 4 approached,
// 5 scanning, 7 picking up, 8 picked up.
//
// A chunk that finishes with fewer steps than were asked for was stopped by
// the landing sensor: the extra steps follow (in chunks again when there are
// more than one chunk's worth) and the move ends.

#include <cstdint>
#include <vector>

namespace qvt {

constexpr int32_t RegFrameMotorStep = 276;
constexpr int32_t RegFrameMotorMode = 277;
constexpr int32_t RegFrameProgress = 41;
constexpr int32_t FrameChunkMax = 16383;
constexpr int32_t FrameStopMargin = 10;
constexpr int FrameStateCount = 9; // one picture per state 0..8

enum FrameStateValue : int32_t {
    FrameIdle = 0,
    FrameLanding = 1,
    FrameLanded = 2,
    FrameApproaching = 3,
    FrameApproached = 4,
    FrameScanning = 5,
    FramePickingUp = 7,
    FramePickedUp = 8,
};

// round(speed / 1.6) held to 1..65535.
uint32_t FrameSpeedWord(double speedHz);
// Start flag, direction ((Up == 88) xor landing), |chunk| - 1 and the speed word.
uint32_t FrameStepWord(bool start, bool upIs88, int32_t chunk, double speedHz);
// Bit 1, bit 0 = SWInverse xor landing, bits 8-31 the reference in 1e-5 mV
// (held to what the field can carry, so a large reference cannot wrap).
uint32_t FrameSensorWord(bool swInverse, bool landing, double referenceMv);

struct TFrameWrite {
    int32_t Reg = 0;
    uint32_t Value = 0;
    bool operator==(const TFrameWrite&) const = default;
};

// What a step of the workflow asks of the window.
struct TFrameActions {
    std::vector<TFrameWrite> Writes;
    bool StateShown = false;    // draw the picture of ShownState and log it
    bool StartApproach = false; // the approach command (FastApproach tells which)
};

class TFrameSequencer {
public:
    bool UpIs88 = false;
    bool SWInverse = false;

    // Mode 2 is sensor mode; any other steps only.
    TFrameActions StartMove(int mode, double referenceMv, int32_t extra, int32_t count, double speedHz);
    // zState: the microscope's ZState; -1 (approached) becomes 2.
    void StartApproach(bool fast, int32_t& zState);
    void StartScan() { FrameState = FrameScanning; }

    // One 100 ms tick; `readProgress` reads register 41 (only while a move runs).
    template <class ReadProgress> TFrameActions Tick(ReadProgress&& readProgress, int32_t zState)
    {
        TFrameActions a;
        if (FrameState == FrameLanding || FrameState == FramePickingUp)
            Progress(readProgress(), a);
        return Finish(zState, a);
    }

    int32_t RemainingSteps = 0;
    int32_t ShownState = -1;
    double Speed = 1.0;
    int32_t MaxNrOfSteps = 0;
    int32_t ExtraSteps = 0;
    bool FastApproach = false;
    int32_t FrameState = FrameIdle;
    // The chunk last sent (0: none).
    int32_t LastChunk = 0;

private:
    void SendMoveChunk(bool start, TFrameActions& a);
    void Progress(int32_t v, TFrameActions& a);
    TFrameActions Finish(int32_t zState, TFrameActions& a);
    bool extraPhase_ = false; // the sensor has stopped the move; the extra steps run
};

} // namespace qvt
