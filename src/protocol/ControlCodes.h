#pragma once
// The controller's wire protocol: device-control codes with their record
// sizes, register numbers, read addresses and the records themselves.
// Every word on the wire is a little-endian int32_t; each record is a plain
// struct of them with its size checked here, so a layout slip fails the build.
//
// Header only and free of program state: both the device window and the
// simulated controller speak this protocol.

#include <array>
#include <cstddef>
#include <cstdint>

namespace qvt {

// ---- control codes ------------------------------------------------------------

// The platform's control-code composition: device type, function, buffered
// method (0), any access (0).
constexpr uint32_t QvtDeviceType = 0x22;
constexpr uint32_t MakeControlCode(uint32_t function)
{
    return (QvtDeviceType << 16) | (function << 2);
}

constexpr uint32_t IOCTL_READ_OSZI = MakeControlCode(0xF01);
constexpr uint32_t IOCTL_SET_CHANNELS = MakeControlCode(0xF02);
constexpr uint32_t IOCTL_SET_MULTI_LIA = MakeControlCode(0xF04);
constexpr uint32_t IOCTL_SET_FEEDBACK = MakeControlCode(0xF07);
constexpr uint32_t IOCTL_SET_SPEKT = MakeControlCode(0xF0A);
constexpr uint32_t IOCTL_READ_SPEKT = MakeControlCode(0xF0B);
constexpr uint32_t IOCTL_RESERVED_0C = MakeControlCode(0xF0C);
constexpr uint32_t IOCTL_READ_REG = MakeControlCode(0xF0D);
constexpr uint32_t IOCTL_DELAY = MakeControlCode(0xF0E);
constexpr uint32_t IOCTL_RESERVED_0F = MakeControlCode(0xF0F);
constexpr uint32_t IOCTL_SET_FREQUENCY = MakeControlCode(0xF10);
constexpr uint32_t IOCTL_SET_CONTROL = MakeControlCode(0xF11);
constexpr uint32_t IOCTL_SET_AMPLITUDE = MakeControlCode(0xF12);
constexpr uint32_t IOCTL_SET_OSZI = MakeControlCode(0xF13);
constexpr uint32_t IOCTL_READ_OSZI_BUFFER = MakeControlCode(0xF14);
constexpr uint32_t IOCTL_READ_CONTACT = MakeControlCode(0xF15);
constexpr uint32_t IOCTL_SET_PHASE = MakeControlCode(0xF16);
constexpr uint32_t IOCTL_GO_XY = MakeControlCode(0xF17);
constexpr uint32_t IOCTL_WRITE_REG = MakeControlCode(0xF18);
constexpr uint32_t IOCTL_SET_Z_RANGE = MakeControlCode(0xF19);
constexpr uint32_t IOCTL_SET_FILTER = MakeControlCode(0xF1A);
constexpr uint32_t IOCTL_READ_DNC_STATUS = MakeControlCode(0xF1B);
constexpr uint32_t IOCTL_LOAD_Z_RAMP = MakeControlCode(0xF1C);
constexpr uint32_t IOCTL_LOAD_BIAS_RAMP = MakeControlCode(0xF1D);
constexpr uint32_t IOCTL_SET_SLOPE = MakeControlCode(0xF1E);
constexpr uint32_t IOCTL_SET_LED = MakeControlCode(0xF1F);

static_assert(IOCTL_READ_OSZI == 0x223C04 && IOCTL_READ_REG == 0x223C34 && IOCTL_SET_LED == 0x223C7C);

// The second lock-in device ("\\.\LockIn") uses the same composition with
// 4-byte buffers throughout.
constexpr uint32_t IOCTL_LOCKIN_UNUSED = MakeControlCode(0xF01);
constexpr uint32_t IOCTL_LOCKIN_STATUS = MakeControlCode(0xF02);
constexpr uint32_t IOCTL_LOCKIN_FREQUENCY = MakeControlCode(0xF10);
constexpr uint32_t IOCTL_LOCKIN_CONTROL = MakeControlCode(0xF11);
constexpr uint32_t IOCTL_LOCKIN_AMPLITUDE = MakeControlCode(0xF12);
constexpr uint32_t IOCTL_LOCKIN_PHASE = MakeControlCode(0xF16);

constexpr int32_t LockInStatusOverload = 0x2;
constexpr int32_t LockInStatusFault = 0x4;

struct TControlCodeInfo {
    uint32_t Code;
    const char* Name;
    uint32_t InSize;
    uint32_t OutSize;
    uint32_t UsbInSize; // input size on a USB box (differs for SET_OSZI only)
    bool Sent;          // false: computed but never sent (reserved)
};

inline constexpr std::array<TControlCodeInfo, 26> ControlCodeTable = {{
    {IOCTL_READ_OSZI, "IOCTL_READ_OSZI", 68, 1024, 68, true},
    {IOCTL_SET_CHANNELS, "IOCTL_SET_CHANNELS", 1032, 0, 1032, true},
    {IOCTL_SET_MULTI_LIA, "IOCTL_SET_MULTI_LIA", 20, 0, 20, true},
    {IOCTL_SET_FEEDBACK, "IOCTL_SET_FEEDBACK", 60, 0, 60, true},
    {IOCTL_SET_SPEKT, "IOCTL_SET_SPEKT", 56, 0, 56, true},
    {IOCTL_READ_SPEKT, "IOCTL_READ_SPEKT", 4, 4096, 4, true},
    {IOCTL_RESERVED_0C, "IOCTL_RESERVED_0C", 0, 0, 0, false},
    {IOCTL_READ_REG, "IOCTL_READ_REG", 4, 4, 4, true},
    {IOCTL_DELAY, "IOCTL_DELAY", 4, 0, 4, true},
    {IOCTL_RESERVED_0F, "IOCTL_RESERVED_0F", 0, 0, 0, false},
    {IOCTL_SET_FREQUENCY, "IOCTL_SET_FREQUENCY", 4, 0, 4, true},
    {IOCTL_SET_CONTROL, "IOCTL_SET_CONTROL", 4, 0, 4, true},
    {IOCTL_SET_AMPLITUDE, "IOCTL_SET_AMPLITUDE", 4, 0, 4, true},
    {IOCTL_SET_OSZI, "IOCTL_SET_OSZI", 20, 0, 1048, true},
    {IOCTL_READ_OSZI_BUFFER, "IOCTL_READ_OSZI_BUFFER", 4, 2052, 4, true},
    {IOCTL_READ_CONTACT, "IOCTL_READ_CONTACT", 0, 4, 0, true},
    {IOCTL_SET_PHASE, "IOCTL_SET_PHASE", 4, 0, 4, true},
    {IOCTL_GO_XY, "IOCTL_GO_XY", 156, 128, 156, true},
    {IOCTL_WRITE_REG, "IOCTL_WRITE_REG", 8, 0, 8, true},
    {IOCTL_SET_Z_RANGE, "IOCTL_SET_Z_RANGE", 20, 0, 20, true},
    {IOCTL_SET_FILTER, "IOCTL_SET_FILTER", 36, 0, 36, true},
    {IOCTL_READ_DNC_STATUS, "IOCTL_READ_DNC_STATUS", 0, 24, 0, true},
    {IOCTL_LOAD_Z_RAMP, "IOCTL_LOAD_Z_RAMP", 4096, 0, 4096, true},
    {IOCTL_LOAD_BIAS_RAMP, "IOCTL_LOAD_BIAS_RAMP", 4096, 0, 4096, true},
    {IOCTL_SET_SLOPE, "IOCTL_SET_SLOPE", 8, 0, 8, true},
    {IOCTL_SET_LED, "IOCTL_SET_LED", 160, 0, 160, true},
}};

// The table entry of a code, or nullptr for a code the controller does not know.
constexpr const TControlCodeInfo* FindControlCode(uint32_t code)
{
    for (const TControlCodeInfo& info : ControlCodeTable) {
        if (info.Code == code)
            return &info;
    }
    return nullptr;
}

// ---- registers ----------------------------------------------------------------

constexpr int32_t RegRefFreq = 3;
constexpr int32_t RegLiaAmplitude = 10;
constexpr int32_t RegLia1Freq = 12;
constexpr int32_t RegLia2Freq = 13;
constexpr int32_t RegLia3Freq = 14;
constexpr int32_t RegLiaPhases = 15;
constexpr int32_t RegLiaGain = 16;
constexpr int32_t RegQControl = 17;
constexpr int32_t RegLaserConfig = 19;
constexpr int32_t RegLaserDuty = 20;
constexpr int32_t RegBoxSubVersion = 30;
constexpr int32_t RegBoxVersion = 31;
constexpr int32_t RegDacBase = 32; // DACn is written at RegDacBase + n - 1
constexpr int32_t RegZ = RegDacBase + 0;
constexpr int32_t RegBias = RegDacBase + 1;
constexpr int32_t RegX = RegDacBase + 2;
constexpr int32_t RegY = RegDacBase + 3;
constexpr int32_t RegDigitalOut = 40;
constexpr int32_t RegDac10 = 41;
constexpr int32_t RegControl2 = 45;
constexpr int32_t RegFbBase = 64;
constexpr int32_t RegFastFeedbackRef = 65;
constexpr int32_t RegFastFeedbackK0 = 67;
constexpr int32_t RegFastFeedbackK1 = 68;
constexpr int32_t RegFastFeedbackMode = 82;
constexpr int32_t RegScanBase = 128;
constexpr int32_t RegFilterBase = 192;
constexpr int32_t RegFilterX = 192;
constexpr int32_t RegFilterY = 203;
constexpr int32_t RegSlopeBase = 384;
constexpr int32_t RegFilterPage2Base = 400;

// Offsets from AuxRegisterBase (32, or 256 on a type-29 controller).
constexpr int32_t RegLedPowerOffset = 11;
constexpr int32_t RegMotorStatusOffset = 14;
constexpr int32_t AuxRegisterBaseCard = 32;
constexpr int32_t AuxRegisterBaseType29 = 256;

// Registers from here on exist only on type-29 controllers and USB boxes.
constexpr int32_t FirstExtendedRegister = 63;
constexpr int32_t DacCount = 26;
constexpr int32_t AdcCount = 33;

// ---- read addresses ----------------------------------------------------------------

constexpr int32_t ReadAddrZ = 0;
constexpr int32_t ReadAddrBias = -1;
constexpr int32_t ReadAddrX = -2;
constexpr int32_t ReadAddrY = -3;
constexpr int32_t ReadAddrDrive = -10;
constexpr int32_t ReadAddrResonanceAmplitude = -12;
constexpr int32_t ReadAddrLia1X = -14;
constexpr int32_t ReadAddrLia1Y = -15;
constexpr int32_t ReadAddrLia2X = -16;
constexpr int32_t ReadAddrLia2Y = -17;
constexpr int32_t ReadAddrLia3X = -18;
constexpr int32_t ReadAddrLia3Y = -19;
constexpr int32_t ReadAddrResonanceX = -20;
constexpr int32_t ReadAddrResonanceY = -21;
constexpr int32_t ReadAddrDefaultAdc = 2;
constexpr int32_t ReadAddrZRangeFlag = 22;
constexpr int32_t ReadAddrFastFeedbackInput = 81;
// Low 16 bits of RegBoxVersion when no controller answers.
constexpr int32_t BoxVersionAbsent = 0xFFFF;
// Ends a list of read addresses.
constexpr int32_t ReadListTerminator = 13;

// ---- controller words ------------------------------------------------------------

constexpr int32_t ControlRunning = 0x41; // ControlWord bits set for the whole run
constexpr int32_t ControlFeedbackRetract = 0x8000;
constexpr int32_t DelayChunkMax = 50; // longest single IOCTL_DELAY, in delay units
constexpr int32_t ZRangeKind = 2;     // last word of the Z-range record, always 2
constexpr int32_t ZRangeFlagZInvers = 0x1;
constexpr int32_t ZRangeFlagInput22Invers = 0x2;
constexpr double ControllerClockHz = 39062.5; // move generator and oscilloscope ticks

// ---- records ------------------------------------------------------------------------

struct TWriteRegRecord {
    int32_t Register = 0;
    int32_t Value = 0;
};
static_assert(sizeof(TWriteRegRecord) == 8);

struct TZRangeRecord {
    int32_t Reserved = 0;
    int32_t MinRaw = 0;
    int32_t MaxRaw = 0;
    int32_t Flags = 0;
    int32_t Kind = ZRangeKind;
};
static_assert(sizeof(TZRangeRecord) == 20);

struct TSetFeedbackRecord {
    int32_t ControlWord = 0;
    int32_t Setpoint = 0;
    int32_t IntegralGain = 0;
    int32_t ProportionalGain = 0;
    int32_t PllKp = 0;
    int32_t PllFrequency = 0;
    int32_t AmplitudeSetpoint = 0;
    int32_t AmplitudeSum = 0;
    int32_t AmplitudeKp = 0;
    int32_t KelvinKi = 0;
    int32_t KelvinChannel = 0;
    int32_t KelvinReference = 0;
    int32_t DemodulatorMask = 0;
    int32_t InputAddress = 0;
    int32_t Spare = 0;
};
static_assert(sizeof(TSetFeedbackRecord) == 60);

struct TSetSlopeRecord {
    int32_t DzDx = 0;
    int32_t DzDy = 0;
};
static_assert(sizeof(TSetSlopeRecord) == 8);

struct TSetLedRecord {
    int32_t Enable = 1;
    int32_t Value = 0; // 10 bits
    int32_t Unused[38] = {};
};
static_assert(sizeof(TSetLedRecord) == 160);

constexpr int GoXYReadings = 32;
struct TGoXYRequest {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t StepX = 0;
    int32_t StepY = 0;
    int32_t StepCount = 0; // 0 jumps, -1 stops the move in progress
    int32_t PixelIndex = 0;
    int32_t ListLength = 0; // terminator included; 0 samples nothing
    int32_t ReadAddresses[GoXYReadings] = {};
};
static_assert(sizeof(TGoXYRequest) == 156);

struct TGoXYReply {
    int32_t Readings[GoXYReadings] = {};
};
static_assert(sizeof(TGoXYReply) == 128);

constexpr int ChannelListWords = 256;
struct TSetChannelsRecord {
    int32_t Reserved = 0;
    int32_t Count = 0; // terminator included
    int32_t Addresses[ChannelListWords] = {};
};
static_assert(sizeof(TSetChannelsRecord) == 1032);

struct TSetSpektRecord {
    int32_t Kind = 0;
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Delay = 1;       // microseconds
    int32_t SampleTicks = 1; // controller clock ticks
    int32_t DataPoints = 0;
    int32_t Inputs[4] = {};
    int32_t Spare[4] = {};
};
static_assert(sizeof(TSetSpektRecord) == 56);

constexpr int SpektPoints = 1024;
struct TRampRecord {
    int32_t Values[SpektPoints] = {};
};
static_assert(sizeof(TRampRecord) == 4096);

struct TSetMultiLiaRecord {
    int32_t Index = 0;
    int32_t InputAddress = 0;
    int32_t Setpoint = 0;
    int32_t Ki = 0;
    int32_t AmplitudeWord = 0; // word << 15, lock-ins 2 and 3 only
};
static_assert(sizeof(TSetMultiLiaRecord) == 20);

struct TSetOsziRecord {
    int32_t PeriodTicks = 1;
    int32_t Addresses[4] = {};
};
static_assert(sizeof(TSetOsziRecord) == 20);

constexpr int UsbChannelListEntries = 256;
struct TSetOsziUsbRecord {
    TSetOsziRecord Base;
    int32_t EntryCount = 0;
    int32_t Entries[UsbChannelListEntries] = {}; // code | parameter << 8
};
static_assert(sizeof(TSetOsziUsbRecord) == 1048);

struct TReadOsziReply {
    int32_t Samples[256] = {};
};
static_assert(sizeof(TReadOsziReply) == 1024);

struct TSetFilterRecord {
    int32_t Filter = 0;
    int32_t Coefficients[8] = {};
};
static_assert(sizeof(TSetFilterRecord) == 36);

struct TDncStatusRecord {
    int32_t Words[6] = {};
};
static_assert(sizeof(TDncStatusRecord) == 24);
constexpr int32_t DncStatusOverload = 0x2;
constexpr int32_t DncStatusQClip = 0x10;

} // namespace qvt
