#pragma once
// The output stage of the box: 26 DACs, Z among them.
//
// What a scientist would see: every output sits at the raw value last written
// and Z never leaves the range the program set, however it is written; any
// write beyond a limit (the tighter of the hardware's and the program's
// configured one) is noted by the guard so a test can fail on it.

#include "protocol/ControlCodes.h"
#include "sim/SimConfig.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace qvt::sim {

enum class GuardLimit { Dac, ZRange };

// One output request that left the limits the program configured.
struct GuardViolation {
    int32_t Register = 0;
    int32_t Value = 0; // as requested
    int32_t Min = 0;
    int32_t Max = 0;
    GuardLimit Limit = GuardLimit::Dac;
};

class SimOutputs {
public:
    explicit SimOutputs(const SimConfig& config);

    // True for the registers that drive a DAC (DAC1..DAC8, DAC10); the
    // registers of the higher DACs are shared with motors, LED and control words.
    static bool IsDacRegister(int32_t reg);
    // Sets the DAC of register `reg` (IsDacRegister), checking the guard.
    void Write(int32_t reg, int32_t value);
    // IOCTL_SET_Z_RANGE: the new range applies at once, Z is brought inside.
    // False (nothing changed) for a range whose minimum exceeds its maximum.
    bool SetZRange(const TZRangeRecord& range);
    // The move generator and the Z loop drive their outputs themselves (Z
    // kept in its range); the guard looks at what the program asked for.
    void Drive(int dac, int32_t value);
    // A position the program asked DACn (n = 1..26) to reach through register
    // `reg`, beyond its limits: noted by the guard.
    void CheckRequest(int dac, int32_t reg, int64_t value);
    void SetDacLimits(int dac, int32_t min, int32_t max);

    // Raw output of DACn, n = 1..26 (0 for any other n).
    int32_t Dac(int n) const;
    int32_t Z() const { return dacs_[0]; }
    int32_t ZMin() const { return zMin_; }
    int32_t ZMax() const { return zMax_; }
    int32_t ZFlags() const { return zFlags_; }
    bool ZRangeSet() const { return zRangeSet_; }

    const std::vector<GuardViolation>& Violations() const { return violations_; }
    // All violations, including those beyond the stored ones.
    int64_t ViolationCount() const { return violationCount_; }
    // The latest violation, also when it is beyond the stored ones.
    const GuardViolation& LastViolation() const { return last_; }
    void ClearViolations();

private:
    // The limits DACn is held to now: the hardware's, tightened by the program's.
    void Limits(int dac, int32_t& min, int32_t& max) const;
    void Record(int32_t reg, int32_t value, int32_t min, int32_t max, GuardLimit limit);

    static constexpr size_t MaxStoredViolations = 1024;
    std::array<int32_t, DacCount> dacs_{};
    std::array<int32_t, DacCount> dacMin_{};
    std::array<int32_t, DacCount> dacMax_{};
    std::function<bool(int, int32_t&, int32_t&)> configured_;
    int32_t zMin_;
    int32_t zMax_;
    int32_t zFlags_ = 0;
    bool zRangeSet_ = false;
    std::vector<GuardViolation> violations_;
    int64_t violationCount_ = 0;
    GuardViolation last_;
};

} // namespace qvt::sim
