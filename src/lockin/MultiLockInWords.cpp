#include "lockin/MultiLockInWords.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>

namespace qvt {

TPhaseWord MultiLockInPhaseWord(double degrees)
{
    TPhaseWord r;
    if (!std::isfinite(degrees) || std::fabs(degrees) > 1.0e9)
        return r;
    auto w = static_cast<int64_t>(Round(degrees / 360.0 * 2047.0));
    if (w < 0)
        w += 2048;
    r.Word = static_cast<int32_t>(w & 2047);
    r.Degrees = r.Word / 2047.0 * 360.0;
    r.Ok = true;
    return r;
}

int32_t MultiLockInPhaseRegister(int32_t w1, int32_t w2, int32_t w3)
{
    const uint32_t v = (static_cast<uint32_t>(w1 & 2047) >> 1) | (static_cast<uint32_t>(w2 & 2047) << 10) |
                       (static_cast<uint32_t>(w3 & 2047) << 21);
    return static_cast<int32_t>(v);
}

TLia1Amplitude MultiLockInLia1Amplitude(double volts, double scale3, double scale2, double scale0)
{
    TLia1Amplitude r;
    double a = volts;
    if (!(a >= 0.0))
        a = 0.0;
    a = std::min(a, 100.0);
    r.Volts = a;
    auto word = [a](double scale) {
        const double w = scale * a;
        return std::isfinite(w) ? std::clamp(Round(w), -1.0, 1.0e12) : 1.0e12;
    };
    double w = word(scale3);
    r.RangeBits = 0x300;
    if (w >= 65536.0) {
        w = word(scale2);
        r.RangeBits = 0x100;
        if (w > 65535.0) {
            w = word(scale0);
            r.RangeBits = 0;
            if (w >= 65536.0) {
                r.Volts = scale0 != 0.0 ? 65535.0 / scale0 : 0.0;
                w = 65535.0;
            }
        }
    }
    r.Word = static_cast<int32_t>(std::clamp(w, 0.0, 65535.0));
    return r;
}

int32_t MultiLockInAmplitudeRegister(int32_t lia1Word, int32_t driveWord)
{
    return static_cast<int32_t>((static_cast<uint32_t>(lia1Word) << 16) | (static_cast<uint32_t>(driveWord) & 0xFFFF));
}

TLiaWord MultiLockInLiaWord(double volts, double scale)
{
    TLiaWord r;
    r.Volts = std::isfinite(volts) ? volts : 0.0;
    const double w = scale * r.Volts;
    if (!(w > 0.0)) {
        r.Volts = w == 0.0 ? r.Volts : 0.0;
        return r;
    }
    if (w > 65535.0) {
        r.Word = 65535;
        r.Volts = 65535.0 / scale;
        return r;
    }
    r.Word = static_cast<int32_t>(Round(w));
    return r;
}

int32_t LaserConfigRegister(int laser1Ch, int laser2Ch, int laser1Mid, int laser2Mid)
{
    const uint32_t mid1 = static_cast<uint32_t>(std::clamp(laser1Mid, 0, 127));
    const uint32_t mid2 = static_cast<uint32_t>(std::clamp(laser2Mid, 0, 127));
    return static_cast<int32_t>((mid2 << 17) | (mid1 << 9) | ((static_cast<uint32_t>(laser2Ch) & 3) << 2) |
                                (static_cast<uint32_t>(laser1Ch) & 3));
}

int32_t LaserDutyRegister(int laser1Duty, int laser2Duty)
{
    const uint32_t d1 = static_cast<uint32_t>(std::clamp(laser1Duty, 0, 65535));
    const uint32_t d2 = static_cast<uint32_t>(std::clamp(laser2Duty, 0, 65535));
    return static_cast<int32_t>(d1 | (d2 << 16));
}

namespace {
constexpr const char* FilterTexts[MultiLockInFilterItems] = {"0.1 ms", "0.2 ms", "0.5 ms", "1 ms",  "2 ms",
                                                             "5 ms",   "10 ms",  "20 ms",  "50 ms", "100ms",
                                                             "200 ms", "500 ms", "1 s",    "2 s",   "5 s"};
constexpr double SettleTimes[MultiLockInFilterItems] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                                        0.05,   0.1,    0.2,    0.5,   1.0,   2.0,   5.0};
} // namespace

double MultiLockInSettleTime(int index, bool* supported)
{
    const bool ok = index >= 0 && index < MultiLockInFilterItems;
    if (supported)
        *supported = ok;
    return ok ? SettleTimes[index] : 0.001;
}

const char* MultiLockInFilterText(int index)
{
    return index >= 0 && index < MultiLockInFilterItems ? FilterTexts[index] : "";
}

int32_t MultiLockInInputBits(int tag1, int tag2, int tag3)
{
    return (tag1 == 1 ? 0x02000000 : 0) | (tag2 == 1 ? 0x04000000 : 0) | (tag3 == 1 ? 0x08000000 : 0);
}

int ClampNumbersChannel(int n)
{
    return std::clamp(n, 0, 7);
}

} // namespace qvt
