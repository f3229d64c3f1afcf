#pragma once
// The analogue chain behind the outputs, as a voltmeter on the bench sees it.
//
// What a scientist would see: every DAC gives DacVoltsPerDigit volts per digit
// plus a small offset of its own (a few millivolts); Z, X and Y go on through
// the high-voltage amplifier (gain HvaGain) into the piezo, which moves
// PiezoNmPerVolt nm per volt at the amplifier's output; a strain-gauge sensor
// on each of the three gives SensorVoltsPerNm volts per nm into its own input
// (read addresses 23, 24 and 25), whose ADC reads AdcVoltsPerDigit volts per
// digit on top of its own offset and noise. A full calibration with a meter
// recovers every one of these numbers.
//
// The test pattern: the second lock-in's X output (read address -16) shows a
// picture of DAC5 and DAC6, a tilted plane with an off-centre bump, so that a
// raster drawn with its axes swapped or mirrored looks plainly different.

#include <cstdint>

namespace qvt::sim {

class SimWiring {
public:
    static constexpr double DacVoltsPerDigit = 3.125e-4; // 32000 digits: 10 V
    static constexpr double HvaGain = 16.0;
    static constexpr double SensorVoltsPerNm = 0.02;
    static constexpr double AdcVoltsPerDigit = 3.0e-4;
    static constexpr int32_t SensorAddressZ = 23;
    static constexpr int32_t SensorAddressX = 24;
    static constexpr int32_t SensorAddressY = 25;
    static constexpr int32_t PatternAddress = -16;

    // Volts at the output of DACn (n = 1..26) for its raw value.
    static double DacVolts(int dac, int32_t raw);
    static double DacOffsetVolts(int dac);
    // True for the outputs that drive the piezo (DAC1 Z, DAC3 X, DAC4 Y).
    static bool DrivesPiezo(int dac);
    static double PiezoNmPerVolt(int dac);
    // The amplifier's output and the piezo's travel (0 for other outputs).
    static double HvaVolts(int dac, int32_t raw);
    static double TravelNm(int dac, int32_t raw);
    static double SensorVolts(int dac, int32_t raw);
    // The DAC whose sensor the input at `address` reads; 0: none.
    static int SensorDac(int32_t address);
    // The raw reading of that sensor's input without noise.
    static double SensorDigits(int dac, int32_t raw);
    static int32_t AdcOffsetDigits(int32_t address);
    // The test picture for DAC5 and DAC6 at raw (a, b), 0 with both at 0.
    static double Pattern(int32_t a, int32_t b);
};

} // namespace qvt::sim
