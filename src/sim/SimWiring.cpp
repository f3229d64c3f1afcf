#include "sim/SimWiring.h"

#include <cmath>

namespace qvt::sim {

namespace {
constexpr double PatternFullScale = 28800.0; // raw digits of 9 V at the DACs' 10 V per 32000 digits
constexpr double PatternHeight = 4000.0;

double PatternAt(double u, double v)
{
    // A plane rising mostly along DAC5, a bump off the diagonal.
    const double du = u - 0.35;
    const double dv = v + 0.2;
    return PatternHeight * (0.5 * u - 0.15 * v + std::exp(-(du * du + 2.0 * dv * dv) / 0.08));
}
} // namespace

double SimWiring::DacOffsetVolts(int dac)
{
    return 0.001 * static_cast<double>((dac * 7) % 5 - 2);
}

double SimWiring::DacVolts(int dac, int32_t raw)
{
    return raw * DacVoltsPerDigit + DacOffsetVolts(dac);
}

bool SimWiring::DrivesPiezo(int dac)
{
    return dac == 1 || dac == 3 || dac == 4;
}

double SimWiring::PiezoNmPerVolt(int dac)
{
    switch (dac) {
    // With the DACs and the amplifier: 0.01 nm per Z digit, 0.05 nm per X or Y digit.
    case 1:
        return 2.0;
    case 3:
    case 4:
        return 10.0;
    default:
        return 0.0;
    }
}

double SimWiring::HvaVolts(int dac, int32_t raw)
{
    return DrivesPiezo(dac) ? DacVolts(dac, raw) * HvaGain : 0.0;
}

double SimWiring::TravelNm(int dac, int32_t raw)
{
    return HvaVolts(dac, raw) * PiezoNmPerVolt(dac);
}

double SimWiring::SensorVolts(int dac, int32_t raw)
{
    return TravelNm(dac, raw) * SensorVoltsPerNm;
}

int SimWiring::SensorDac(int32_t address)
{
    switch (address) {
    case SensorAddressZ:
        return 1;
    case SensorAddressX:
        return 3;
    case SensorAddressY:
        return 4;
    default:
        return 0;
    }
}

double SimWiring::SensorDigits(int dac, int32_t raw)
{
    return SensorVolts(dac, raw) / AdcVoltsPerDigit;
}

int32_t SimWiring::AdcOffsetDigits(int32_t address)
{
    // Each sensor input its own offset of some tens of digits.
    return (address * 53) % 71 - 35;
}

double SimWiring::Pattern(int32_t a, int32_t b)
{
    return PatternAt(a / PatternFullScale, b / PatternFullScale) - PatternAt(0.0, 0.0);
}

} // namespace qvt::sim
