#include "sim/SimLockIn.h"

#include "protocol/ControlCodes.h"

#include <cstring>

namespace qvt::sim {

SimLockIn::SimLockIn(const SimConfig& config) : absent_(false), failing_(config.Faults.FailAllRequests) {}

bool SimLockIn::Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned)
{
    if (returned)
        *returned = 0;
    std::lock_guard lock(mutex_);
    ++requests_;
    if (failing_)
        return false;

    if (code == IOCTL_LOCKIN_STATUS) {
        if ((inSize != 0 && inSize != 4) || outSize != 4 || out == nullptr)
            return false;
        const int32_t status = absent_ ? -1 : 0;
        std::memcpy(out, &status, 4);
        if (returned)
            *returned = 4;
        return true;
    }

    int32_t* target = nullptr;
    switch (code) {
    case IOCTL_LOCKIN_FREQUENCY:
        target = &frequencyWord_;
        break;
    case IOCTL_LOCKIN_CONTROL:
        target = &controlWord_;
        break;
    case IOCTL_LOCKIN_AMPLITUDE:
        target = &amplitudeWord_;
        break;
    case IOCTL_LOCKIN_PHASE:
        target = &phaseWord_;
        break;
    default:
        return false; // unknown, or built but never sent
    }
    if (inSize != 4 || in == nullptr || (outSize != 0 && outSize != 4))
        return false;
    int32_t word = 0;
    std::memcpy(&word, in, 4);
    if (code == IOCTL_LOCKIN_AMPLITUDE && (word < 0 || word > 2047))
        return false; // an 11-bit output word
    *target = word;
    return true;
}

size_t SimLockIn::BulkRead(void*, size_t, int)
{
    return 0;
}

void SimLockIn::SetAbsent(bool absent)
{
    std::lock_guard lock(mutex_);
    absent_ = absent;
}

void SimLockIn::SetFailing(bool failing)
{
    std::lock_guard lock(mutex_);
    failing_ = failing;
}

int32_t SimLockIn::FrequencyWord() const
{
    std::lock_guard lock(mutex_);
    return frequencyWord_;
}

int32_t SimLockIn::ControlWord() const
{
    std::lock_guard lock(mutex_);
    return controlWord_;
}

int32_t SimLockIn::AmplitudeWord() const
{
    std::lock_guard lock(mutex_);
    return amplitudeWord_;
}

int32_t SimLockIn::PhaseWord() const
{
    std::lock_guard lock(mutex_);
    return phaseWord_;
}

int64_t SimLockIn::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

} // namespace qvt::sim
