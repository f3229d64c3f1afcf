#pragma once
// Register arithmetic of the multi lock-in oscillators: phase words and
// register 15, the LIA 1 amplitude and its output range, the LIA 2/3
// amplitude words, the laser registers, the settle time of each filter
// choice and the number channels.

#include <cstdint>

namespace qvt {

struct TPhaseWord {
    bool Ok = false;
    int32_t Word = 0;     // 11 bits
    double Degrees = 0.0; // what the word represents
};
// w = round(φ / 360 × 2047), +2048 when negative, and 2047.
TPhaseWord MultiLockInPhaseWord(double degrees);
// (w1 shr 1) | w2 shl 10 | w3 shl 21.
int32_t MultiLockInPhaseRegister(int32_t w1, int32_t w2, int32_t w3);

struct TLia1Amplitude {
    double Volts = 0.0; // as applied (clamped or clipped)
    int32_t Word = 0;   // 0..65535
    int32_t RangeBits = 0x300;
};
// The smallest range that holds the amplitude: AmplScale3 (0x300), then
// AmplScale2 (0x100), then AmplScale0 (0).
TLia1Amplitude MultiLockInLia1Amplitude(double volts, double scale3, double scale2, double scale0);
// Register 10: LIA 1 word in the high half, the drive amplitude word low.
int32_t MultiLockInAmplitudeRegister(int32_t lia1Word, int32_t driveWord);

struct TLiaWord {
    double Volts = 0.0;
    int32_t Word = 0;
};
// LIA 2/3: round(scale × a), clipped to 0..65535.
TLiaWord MultiLockInLiaWord(double volts, double scale);

// Register 19 (laser channels and mid points) and 20 (duties); out-of-range
// values are clamped rather than ending the update.
int32_t LaserConfigRegister(int laser1Ch, int laser2Ch, int laser1Mid, int laser2Mid);
int32_t LaserDutyRegister(int laser1Duty, int laser2Duty);

// The filter list "0.1 ms" .. "5 s" (15 items) and the settle time of each;
// an index out of the list gives 0.001 s and `supported` false.
constexpr int MultiLockInFilterItems = 15;
double MultiLockInSettleTime(int index, bool* supported = nullptr);
const char* MultiLockInFilterText(int index);

// Input bits 25..27 of the control word from the three input tags.
constexpr int32_t MultiLockInInputMask = 0x0F000000;
int32_t MultiLockInInputBits(int tag1, int tag2, int tag3);

// The numbers panel reads address −14 − n with slot 14 + n, n = 0..7.
int ClampNumbersChannel(int n);

} // namespace qvt
