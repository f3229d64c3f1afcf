#pragma once
// The simulated controller ("SPM-Box") behind the driver interface.
//
// This file is the request side: it decodes a control code, checks the record
// sizes exactly against the protocol table (a mismatch is refused, as the
// driver refuses a wrong buffer), answers from the models and keeps an
// optional request log. The physics lives in the SimModel* files.
//
// Thread-safe: one lock serialises requests as the driver does. The request
// path allocates nothing; waits (IOCTL_DELAY, request latency) are spent
// outside the lock.

#include "core/ControlCodes.h"
#include "platform/DeviceDriver.h"
#include "sim/SimClock.h"
#include "sim/SimConfig.h"
#include "sim/SimModelInputs.h"
#include "sim/SimModelOutputs.h"
#include "sim/SimModelZLoop.h"
#include "sim/SimRandom.h"

#include <array>
#include <cstdint>
#include <mutex>
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
    // The raw limits the program configured for DACn (n = 1..26).
    void SetDacLimits(int dac, int32_t min, int32_t max);

    // ---- state, as an oscilloscope on the box would show it ----------------------
    int32_t Register(int32_t reg) const; // last value written (0 when never)
    int32_t Dac(int n) const;            // raw output of DACn
    int32_t ControlWord() const;
    TZRangeRecord ZRange() const;
    TSetFeedbackRecord Feedback() const;
    TSetSlopeRecord Slope() const;
    int32_t LastLedValue() const;
    int64_t LedRequestCount() const;

private:
    static constexpr int RegisterCount = 512;

    // Everything below runs with mutex_ held; `spendUs` collects time to be
    // spent once the lock is released.
    bool HandleLocked(uint32_t code, const void* in, void* out, size_t outSize, double& spendUs);
    int32_t ReadAddressLocked(int32_t address);
    void WriteRegisterLocked(int32_t reg, int32_t value);
    bool RegisterExistsLocked(int32_t reg) const;
    int32_t ReadEchoLocked();
    void LogLocked(uint32_t code, const void* in, size_t inSize, size_t outSize, const void* out, bool ok);

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
    std::array<int32_t, RegisterCount> registers_{};
    int32_t controlWord_ = 0;
    int32_t ledValue_ = 0;
    int64_t ledCount_ = 0;
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
