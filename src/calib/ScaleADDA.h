#pragma once
// The AD/DA calibration chain of one output and one input:
// DAC (volts per digit, offset) → high-voltage amplifier (gain) → piezo
// (nm per volt) → position sensor → ADC (volts per digit, offset). The
// operator's meter readings give each stage's factor; the results become the
// channels' scales. Plain arithmetic and register traffic, no widgets.

#include "device/ControllerCaps.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace qvt {

class TQVTIniFile;

// What the chain needs of the device window.
struct TScaleADDAIo {
    std::function<void(int32_t reg, int32_t value)> WriteReg;
    std::function<int32_t(int32_t reg)> ReadReg;
    std::function<double(int slot)> ReadChannelPhys;
};

// The largest digit count of a DAC whose limits cannot be read.
constexpr double UnreadableDigits = 1073741823.0; // 2^30 − 1
constexpr int RampSteps = 100;
constexpr int PhysReadsPerDisplay = 10;

class TScaleADDAChain {
public:
    explicit TScaleADDAChain(TScaleADDAIo io) : io_(std::move(io)) {}

    int TestChannel = 0;    // DAC1..DAC8 as 0..7
    int ADChannelSlot = 26; // ADC1..ADC33 as slots 26..58
    bool ADMode = false;
    bool RampMode = false;
    double TestVolt = 0.0;
    int32_t TestRaw = 0;
    double MinVolt = -10.0;
    double MaxVolt = 10.0;
    double DAScale = 9.8e-9;
    double DAOffset = 0.0;
    double HvaGain = 7.0;
    double PiezoSens = 1.0;
    double SGScale = 1.0;
    double SGOffset = 0.0;
    double SGDiff = 0.0;
    int32_t SGMin = 0;
    int32_t SGMax = 0;
    double ADScale = 1.0;
    double ADOffset = 0.0;
    int RampStep = 0;
    bool RampDown = false;

    // Z, X and Y go through the amplifier into the piezo.
    bool DrivesPiezo() const { return TestChannel == 0 || TestChannel == 2 || TestChannel == 3; }
    // A test voltage on Z, X or Y would move an approached tip across or into
    // the sample: those outputs stay as they are until the tip is retracted.
    bool OutputRefused() const;
    int DacSlot() const { return TestChannel; }

    // The stored calibration of the selected channels ([TestMic], the
    // scanner file's [Gains], the channel table).
    void LoadCalibration(const TQVTIniFile* mainIni, const TQVTIniFile* scannerIni);

    // Each returns false (nothing changed) for a value it cannot take.
    // Tag 1: the test voltage, limited to MinVolt..MaxVolt; written in static
    // mode. False, nothing changed, while the output is refused.
    bool SetTestVolt(double volts);
    // Tag 2: the meter on the DAC output. minDigits/maxDigits: the min and
    // max digit edits (readable false: unknown limits).
    bool MeasuredDacVolts(double measured, bool limitsReadable, double minDigits, double maxDigits);
    // Tag 3: the meter on the amplifier's output.
    bool MeasuredHvaVolts(double measured);
    // Tag 4: the piezo's sensitivity (nm per volt), from its data sheet.
    bool SetPiezoSens(double nmPerVolt);
    // Tag 5: the sensor's travel over the ramp as measured independently.
    bool MeasuredTravel(double travel);
    // Tag 6: what the display should show for the present input.
    bool DisplayShould(double value);

    void StartRamp();
    // One 300 ms step of the ramp: the next triangle point and the sensor's extremes.
    void RampTick();

    // The output's scale and offset as the channel table keeps them.
    double DacScaleValue(double unitPrefix) const;
    double DacOffsetValue(double unitPrefix) const;
    // The input's scale and offset: the sensor's (nm) in DA mode, the ADC's in AD mode.
    double AdcScaleValue() const { return ADMode ? ADScale : SGScale; }
    double AdcOffsetValue() const { return ADMode ? ADOffset : SGOffset; }
    double SignedVolts(double digits) const { return DAScale < 0 ? -digits * DAScale : digits * DAScale; }

private:
    void ApplyTestVolt();

    TScaleADDAIo io_;
};

// "DAC" + (slot + 1) below slot 26, else "ADC" + (slot − 25).
QString ScaleKeyPrefix(int slot);
// Register of the grid cell (column 1..4, row 1..8): base 32, or 256 on a type-29 controller.
int32_t RegisterGridAddress(const TControllerCaps& caps, int column, int row);

} // namespace qvt
