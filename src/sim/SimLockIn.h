#pragma once
// The simulated second lock-in device ("\\.\LockIn"): its own driver with
// 4-byte records for frequency, control, amplitude and harmonic/phase words
// and a status read. Both the device window and the lock-in window open it,
// so it takes any number of opens; its X and Y are read through the main
// controller.
//
// What a scientist would see: the reference runs at the frequency, range,
// amplitude and phase last set; with nothing on its input the status stays
// clean (no overload, no fault). With no device behind the driver every read
// gives all ones, which the window shows as a fault.

#include "platform/DeviceDriver.h"
#include "sim/SimConfig.h"

#include <cstdint>
#include <mutex>

namespace qvt::sim {

class SimLockIn final : public DeviceDriver {
public:
    explicit SimLockIn(const SimConfig& config = {});

    bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned) override;
    size_t BulkRead(void* buffer, size_t size, int timeoutMs) override;
    ManualResetEvent& GoXYWaitEvent() override { return unused_; }

    void SetAbsent(bool absent);
    void SetFailing(bool failing);

    int32_t FrequencyWord() const;
    int32_t ControlWord() const;
    int32_t AmplitudeWord() const;
    int32_t PhaseWord() const;
    int64_t RequestCount() const;

private:
    ManualResetEvent unused_; // the lock-in has no move generator

    mutable std::mutex mutex_;
    bool absent_;
    bool failing_;
    int32_t frequencyWord_ = 0;
    int32_t controlWord_ = 0;
    int32_t amplitudeWord_ = 0;
    int32_t phaseWord_ = 0;
    int64_t requests_ = 0;
};

} // namespace qvt::sim
