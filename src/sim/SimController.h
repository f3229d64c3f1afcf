#pragma once
// The simulated controller ("SPM-Box") behind the driver interface.
//
// This file is the request side: it decodes a control code, checks the record
// sizes exactly against the protocol table (a mismatch is refused, as the
// driver refuses a wrong buffer), answers from the models and keeps an
// optional request log. The physics lives in the SimModel*, SimSurface and
// SimMoveGenerator files.
//
// Moves (IOCTL_GO_XY): the request returns at once with the readings of its
// listed addresses as they will be at the end of that move; the move runs on
// the sample clock, queued behind the moves before it, and GoXYWaitEvent is
// set when the last queued move has ended, never before the request that
// queued it has returned. In fast clock mode every move is over by the time
// its request returns. The models advance lazily: each request first brings
// position and Z up to the controller's present time.
//
// Thread-safe: one lock serialises requests as the driver does. The request
// path allocates nothing; waits (IOCTL_DELAY, request latency) are spent
// outside the lock. In real time the move event is told when the queue will
// have run dry and sets itself then (no helper thread wakes for it).

#include "platform/DeviceDriver.h"
#include "platform/Episodes.h"
#include "protocol/ControlCodes.h"
#include "sim/SimCantilever.h"
#include "sim/SimClock.h"
#include "sim/SimCoarseAxes.h"
#include "sim/SimCoarseMotor.h"
#include "sim/SimConfig.h"
#include "sim/SimFastFeedback.h"
#include "sim/SimFastScan.h"
#include "sim/SimFrameMotor.h"
#include "sim/SimLedBus.h"
#include "sim/SimModelInputs.h"
#include "sim/SimModelOutputs.h"
#include "sim/SimModelTip.h"
#include "sim/SimModelZLoop.h"
#include "sim/SimMoveGenerator.h"
#include "sim/SimMultiLockIn.h"
#include "sim/SimNoiseFrames.h"
#include "sim/SimPhotodiode.h"
#include "sim/SimRandom.h"
#include "sim/SimScanner.h"
#include "sim/SimScope.h"
#include "sim/SimSpektCurves.h"

#include <QString>
#include <QStringList>

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qvt::sim {

// One request as the controller saw it.
struct SimRequest {
    static constexpr int KeptWords = 8;
    uint32_t Code = 0;
    uint32_t InSize = 0;
    uint32_t OutSize = 0;
    bool Ok = false;
    int32_t InWords = 0;                 // input words kept below (at most KeptWords)
    std::array<int32_t, KeptWords> In{}; // the first input words
    int32_t Out0 = 0;                    // first output word, when there is one
};

class SimController final : public DeviceDriver {
public:
    explicit SimController(const SimConfig& config = {});
    ~SimController() override;
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned) override;
    size_t BulkRead(void* buffer, size_t size, int timeoutMs) override;
    ManualResetEvent& GoXYWaitEvent() override { return goXYWait_; }

    const SimConfig& Config() const { return config_; }
    int64_t NowUs() const { return clock_.NowUs(); }

    // ---- fault injection --------------------------------------------------------
    void SetFaults(const SimFaults& faults);
    // Unplug (true) or plug the controller behind the driver: absent, every read gives all ones.
    void SetAbsent(bool absent);

    // ---- request log ------------------------------------------------------------------
    // Logging keeps at most Config().LogCapacity requests (further ones are
    // only counted) so the request path never allocates.
    void SetLogging(bool on);
    std::vector<SimRequest> RequestLog() const;
    int64_t DroppedLogEntries() const;
    void ClearLog();
    int64_t RequestCount() const;

    // ---- output guard --------------------------------------------------------------
    std::vector<GuardViolation> GuardViolations() const;
    int64_t GuardViolationCount() const;
    void ClearGuardViolations();
    // The hardware's raw limits of DACn (n = 1..26); the program's configured
    // limits (SimConfig::ConfiguredLimits) tighten them further.
    void SetDacLimits(int dac, int32_t min, int32_t max);

    // ---- crashes of the tip -------------------------------------------------------
    std::vector<SimCrash> Crashes() const;
    int64_t CrashCount() const;
    void ClearCrashes();

    // ---- what an operator would see of them ----------------------------------------
    // Called with a line saying what happened as a crash or guard record is
    // made, after the request that found it has left the lock (on the
    // requesting thread). Records of one kind that repeat (a loop that rings
    // crashes at every swing) are one episode: the first told as it comes,
    // then a line with their count and first and last time, at most one
    // while they go on and one once they have stopped (TEpisodes, on the
    // controller's clock). A real controller reports neither: this is how the
    // simulator shows what a real tip or output stage would suffer.
    void SetRecordListener(std::function<void(const QString& text)> listener);
    // The line of a crash or a guard record.
    static QString CrashText(const SimCrash& crash);
    static QString GuardText(const GuardViolation& violation);

    // ---- state, as an oscilloscope on the box would show it ----------------------
    int32_t Register(int32_t reg) const; // last value written (0 when never)
    int32_t Dac(int n);                  // raw output of DACn now
    bool MoveBusy() const;               // a queued move has not yet ended
    int32_t ControlWord() const;
    TZRangeRecord ZRange() const;
    TSetFeedbackRecord Feedback() const;
    TSetSlopeRecord Slope() const;
    // The read list of the last IOCTL_SET_CHANNELS (without its terminator)
    // and the number of lists received.
    std::vector<int32_t> ChannelList() const;
    int64_t ChannelListCount() const;
    // Rising edges of register 45 bit 0 (a line's run-in) and bit 1 (the
    // first line of a frame).
    int64_t RunInCount() const;
    int64_t FirstLineCount() const;
    int32_t LastLedValue() const;
    int64_t LedRequestCount() const;
    // The LED driver's state as the bus words left it.
    SimLedBus LedBus() const;
    // The coarse motor: steps of the sample beyond where the loop meets the
    // surface at its Base height, and the full phase steps made each way.
    double CoarseGapSteps() const;
    int64_t CoarseStepsUp() const;
    int64_t CoarseStepsDown() const;
    // Signed steps of the x/y translator and the levelling legs on register 40.
    int64_t CoarseAxisSteps(SimCoarseAxes::Axis axis) const;
    // What IOCTL_READ_CONTACT would report now (before the USB box's sign).
    bool InContact();
    // The oscilloscope set-up and lock-in settings last received.
    TSetOsziRecord OsziSetup() const;
    int32_t OsziUsbEntryCount() const;
    SimLockInSettings LockInSettings() const;
    // The main lock-in's drive as the cantilever gets it, and its output filter.
    double DriveFrequencyHz() const;
    double DriveVolts() const;
    double LockInTimeConstant() const;
    // The high-speed module's control word as last applied, and the lines it has streamed.
    int32_t FastScanControl() const;
    int64_t FastScanLines() const;
    // Controller time one bulk read covers when the clock runs fast.
    static constexpr int FastReadSpanMs = 5;
    // The frame motor's position (steps toward the frame) and the chunks it was sent.
    double FramePosition();
    int64_t FrameChunks() const;
    // Moves the laser spot on the photodiode (difference signals in digits).
    void SetLaserSpot(double x, double y);

private:
    static constexpr int RegisterCount = 512;
    // A requester waits while more moves than this are queued (real time).
    static constexpr int MaxQueuedMoves = 64;

    // What a request leaves to be done once the lock is released.
    struct After {
        double SpendUs = 0.0; // controller time the request itself takes
        int64_t BlockNs = 0;  // wait for room in the move queue
        bool MoveQueued = false;
        int64_t ReplyBytes = -1; // a reply shorter than the record (−1: all of it)
    };

    // Everything below runs with mutex_ held.
    bool HandleLocked(uint32_t code, const void* in, void* out, size_t outSize, After& after);
    bool ScopeLocked(uint32_t code, const void* in, void* out);
    bool GoXYLocked(const TGoXYRequest& request, TGoXYReply& reply, After& after);
    // Brings the X/Y outputs and Z up to `nowNs`.
    void AdvanceLocked(int64_t nowNs);
    // Runs `loop` tick by tick from `fromNs` through the tick under way at
    // `toNs`, the tip following the queued moves from (x, y); `feel`: the
    // tip may crash on the way (off for a look ahead).
    void EvolveLocked(SimZLoop& loop, int32_t x, int32_t y, int64_t& fromNs, int64_t toNs, bool feel);
    // The Z output follows the loop (with the surface's grain while it tracks).
    void DriveZLocked();
    // Where the tip truly is for `probe` (the scanner's non-linearity).
    SimProbeState FeltLocked(const SimProbeState& probe) const;
    SimProbeState ProbeNowLocked(int64_t nowNs) const;
    // Where a spectroscopy run starts: the loop's family, set point and inputs.
    SimSpektStart SpektStartLocked();
    void FeelSpektRunLocked(const SimSpektStart& start);
    SimMoveGenerator::Position PositionLocked() const;
    // Sets the move event when the last move has ended and no request that
    // queued one is still on its way back.
    void CompleteMovesLocked();
    int32_t ReadAddressLocked(int32_t address);
    int32_t ReadAtLocked(int32_t address, const SimProbeState& probe, int64_t nowNs);
    // The pixel index of the move under way at `timeNs` (the last one once all have ended).
    int32_t LinePositionLocked(int64_t timeNs) const;
    void WriteRegisterLocked(int32_t reg, int32_t value);
    // The coarse motor moved the sample from `offsetBefore` (Z digits) to
    // where it is now: Z meets it at its new place.
    void CoarseMovedLocked(double offsetBefore);
    // The lock-in settings changed: the cantilever's drive follows.
    void DriveChangedLocked(int64_t nowNs);
    double DriveFrequencyLocked() const;
    double DriveVoltsLocked() const;
    bool InContactLocked(int64_t nowNs);
    bool RegisterExistsLocked(int32_t reg) const;
    int32_t ReadEchoLocked();
    void LogLocked(uint32_t code, const void* in, size_t inSize, size_t outSize, const void* out, bool ok);
    // The lines due of the records made since the last call (only with a listener).
    void TakeNewRecordsLocked(QStringList& lines);
    bool HasModuleRegisters() const { return config_.Usb || config_.ControllerType >= 29; }
    // At most this many ticks of a stretch without moves are run (1.7 s):
    // any loop worth its gains has settled by then.
    static constexpr int64_t IdleCatchUpTicks = 65536;
    size_t StreamLocked(int32_t* out, size_t maxWords);
    // The module's z loop up to now; `sample`: with the input read afresh
    // (a register read), else as last sampled (a write, a switch).
    void FastFeedbackLocked(bool sample);

    const SimConfig config_;
    SimClock clock_;
    ManualResetEvent goXYWait_;

    mutable std::mutex mutex_;
    SimFaults faults_;
    bool absent_;
    SimRandom random_;
    SimOutputs outputs_;
    SimInputs inputs_;
    SimZLoop zLoop_;
    SimScanner scanner_;
    SimCoarseMotor coarse_;
    SimCoarseAxes coarseAxes_;
    // The lowest and highest Z output since the last status read (its words 0 and 1).
    int32_t zSeenMin_ = INT32_MAX;
    int32_t zSeenMax_ = INT32_MIN;
    SimTip tip_;
    std::function<void(const QString&)> recordListener_;
    int64_t crashesTold_ = 0; // records already handed to the listener
    int64_t violationsTold_ = 0;
    TEpisodes recordEpisodes_;
    int64_t loopNs_ = 0; // the loop has run up to this time
    SimMoveGenerator generator_;
    // The last moves' ends and pixel indices, for the oscilloscope's line position.
    struct LineMove {
        int64_t EndNs = 0;
        int32_t Pixel = 0;
    };
    static constexpr int LineMoveHistory = 2048;
    std::array<LineMove, LineMoveHistory> lineMoves_{};
    int lineMoveCount_ = 0;
    int lineMoveNext_ = 0;
    SimScope scope_;
    SimSpectroscopy spekt_;
    SimCantilever cantilever_;
    SimNoiseFrames noiseFrames_;                // the thermal-noise measurement's X/Y frames
    SimFastScan fastScan_;                      // the high-speed module's generator and stream
    SimFastFeedback fastFeedback_{config_.Usb}; // the module's z loop (incremental on a USB box)
    SimFrameMotor frameMotor_;
    SimPhotodiode photodiode_;
    SimMultiLockIn multiLockIn_{config_.Cantilever, config_.Seed}; // types 26 and 29
    int32_t unreleased_ = 0;                                       // GO_XY requests queued but not yet returned
    bool completionPending_ = false;                               // the move event is owed for the queued moves
    int64_t dueNs_ = -1; // when the event was told to set itself (−1: not told)
    std::array<int32_t, RegisterCount> registers_{};
    int32_t controlWord_ = 0;
    std::array<int32_t, ChannelListWords> channelList_{};
    int32_t channelCount_ = 0;
    int64_t channelListCount_ = 0;
    int64_t runIns_ = 0;
    int64_t firstLines_ = 0;
    int32_t ledValue_ = 0;
    int64_t ledCount_ = 0;
    SimLedBus ledBus_;
    // The echo register as the program reads it (it may lag the written value).
    int32_t echoShown_ = 0;
    int32_t echoLagLeft_ = 0;
    int64_t echoReads_ = 0;
    bool logging_;
    std::vector<SimRequest> log_;
    int64_t logDropped_ = 0;
    int64_t requestCount_ = 0;
};

} // namespace qvt::sim
