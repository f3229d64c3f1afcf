#pragma once
// The lock-in on a simulated controller: the drive ranges' scales in the
// settings, and the shared lock-in and feedback records put back afterwards.

#include "support/DriverLinkFixture.h"

#include "core/SharedState.h"

#include <array>

namespace qvt::test {

class LockInOnSim : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedLockIn_ = LockInState;
        savedMulti_ = MultiLockInParams;
        savedSets_ = MicroscopeState.FeedbackSets;
        // ±0.1 V, ±1 V and ±10 V at full word 65535.
        ini_->WriteFloat("dnc", "Scale3", 655350.0);
        ini_->WriteFloat("dnc", "Scale2", 65535.0);
        ini_->WriteFloat("dnc", "Scale0", 6553.5);
    }
    void TearDown() override
    {
        LockInState = savedLockIn_;
        MultiLockInParams = savedMulti_;
        MicroscopeState.FeedbackSets = savedSets_;
        MicroscopeState.LockInOn = 0;
        DriverLinkFixture::TearDown();
    }

private:
    TLockInState savedLockIn_;
    TMultiLockInParams savedMulti_;
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
};

} // namespace qvt::test
