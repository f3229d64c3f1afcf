#include "calib/ScaleADDA.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {
const QString TestMic = "TestMic";

bool Usable(double v)
{
    return std::isfinite(v);
}

int32_t ToDigits(double v)
{
    return static_cast<int32_t>(std::clamp(Round(v), -2147483647.0, 2147483647.0));
}

const char* GainKey(int testChannel)
{
    switch (testChannel) {
    case 0:
        return "ZGain";
    case 2:
        return "XGain";
    case 3:
        return "YGain";
    default:
        return nullptr;
    }
}
} // namespace

QString ScaleKeyPrefix(int slot)
{
    return slot < DacCount ? "DAC" + QString::number(slot + 1) : "ADC" + QString::number(slot - 25);
}

int32_t RegisterGridAddress(const TControllerCaps& caps, int column, int row)
{
    return caps.AuxRegisterBase() + 8 * (column - 1) + (row - 1);
}

void TScaleADDAChain::LoadCalibration(const TQVTIniFile* mainIni, const TQVTIniFile* scannerIni)
{
    const QString n = QString::number(TestChannel);
    HvaGain = mainIni ? mainIni->ReadFloat(TestMic, "Gain" + n, 7.0) : 7.0;
    const char* gainKey = GainKey(TestChannel);
    PiezoSens = gainKey && scannerIni ? scannerIni->ReadFloat("Gains", gainKey, 1.0) : 1.0;
    DAScale = mainIni ? mainIni->ReadFloat(TestMic, "DAScale" + n, 9.8e-9) : 9.8e-9;
    const TIOScale& dac = ChannelTable[DacSlot()];
    DAOffset = dac.Offset.load() * DAScale;
    MinVolt = SignedVolts(dac.MinRaw.load());
    MaxVolt = SignedVolts(dac.MaxRaw.load());
    if (MinVolt > MaxVolt)
        std::swap(MinVolt, MaxVolt);
    const TIOScale& adc = ChannelTable[std::clamp(ADChannelSlot, FirstAdcSlot, ChannelSlotCount - 1)];
    const double factor = adc.FactorNegative.load() ? -adc.Factor.load() : adc.Factor.load();
    SGScale = factor;
    SGOffset = adc.Offset.load() * SGScale;
    ADScale = factor;
    ADOffset = adc.Offset.load() * ADScale;
}

bool TScaleADDAChain::OutputRefused() const
{
    return DrivesPiezo() && MicroscopeState.ZState == ZApproached;
}

void TScaleADDAChain::ApplyTestVolt()
{
    if (RampMode || DAScale == 0.0 || OutputRefused())
        return;
    TestRaw = ToDigits((TestVolt - DAOffset) / DAScale);
    if (io_.WriteReg)
        io_.WriteReg(32 + TestChannel, TestRaw);
}

bool TScaleADDAChain::SetTestVolt(double volts)
{
    if (!Usable(volts) || OutputRefused())
        return false;
    TestVolt = std::clamp(volts, std::min(MinVolt, MaxVolt), std::max(MinVolt, MaxVolt));
    ApplyTestVolt();
    return true;
}

bool TScaleADDAChain::MeasuredDacVolts(double measured, bool limitsReadable, double minDigits, double maxDigits)
{
    if (!Usable(measured))
        return false;
    if (TestVolt != 0.0) {
        if (TestRaw == 0)
            return false;
        DAScale = measured / TestRaw;
        const double lo = limitsReadable ? minDigits : -UnreadableDigits;
        const double hi = limitsReadable ? maxDigits : UnreadableDigits;
        MinVolt = SignedVolts(lo);
        MaxVolt = SignedVolts(hi);
        if (MinVolt > MaxVolt)
            std::swap(MinVolt, MaxVolt);
    } else {
        DAOffset = DAScale >= 0 ? DAOffset + measured : DAOffset - measured;
    }
    ApplyTestVolt();
    return true;
}

bool TScaleADDAChain::MeasuredHvaVolts(double measured)
{
    if (!Usable(measured) || TestVolt == 0.0)
        return false;
    HvaGain = measured / TestVolt;
    return true;
}

bool TScaleADDAChain::SetPiezoSens(double nmPerVolt)
{
    if (!Usable(nmPerVolt))
        return false;
    PiezoSens = nmPerVolt;
    return true;
}

bool TScaleADDAChain::MeasuredTravel(double travel)
{
    if (!Usable(travel))
        return false;
    if (TestVolt != 0.0) {
        if (SGDiff == 0.0)
            return false;
        const double scale = travel * SGScale / SGDiff;
        // The sensor's offset is a number of digits: it keeps them under the new scale.
        if (SGScale != 0.0)
            SGOffset = SGOffset * scale / SGScale;
        SGScale = scale;
    } else {
        SGOffset = travel;
    }
    return true;
}

bool TScaleADDAChain::DisplayShould(double value)
{
    if (!Usable(value) || !io_.ReadChannelPhys)
        return false;
    double sum = 0.0;
    for (int i = 0; i < PhysReadsPerDisplay; ++i)
        sum += io_.ReadChannelPhys(ADChannelSlot);
    const double average = sum / PhysReadsPerDisplay;
    if (value != 0.0) {
        if (average == 0.0)
            return false;
        const double scale = value * ADScale / average;
        // As with the sensor: the offset keeps its digits.
        if (ADScale != 0.0)
            ADOffset = ADOffset * scale / ADScale;
        ADScale = scale;
    } else {
        const double offset = value + ADOffset - average;
        ADOffset = ADScale < 0 ? -offset : offset;
    }
    return true;
}

void TScaleADDAChain::StartRamp()
{
    RampStep = 0;
    RampDown = false;
    const int32_t address = ChannelTable[ADChannelSlot].Address.load();
    SGMin = SGMax = io_.ReadReg ? io_.ReadReg(address) : 0;
    SGDiff = 0.0;
}

void TScaleADDAChain::RampTick()
{
    if (DAScale != 0.0 && io_.WriteReg && !OutputRefused())
        io_.WriteReg(32 + TestChannel, ToDigits((2.0 * RampStep * TestVolt / RampSteps - TestVolt) / DAScale));
    const int32_t reading = io_.ReadReg ? io_.ReadReg(ChannelTable[ADChannelSlot].Address.load()) : 0;
    SGDiff = (static_cast<double>(SGMax) - SGMin) * SGScale;
    SGMin = std::min(SGMin, reading);
    SGMax = std::max(SGMax, reading);
    if (RampStep >= RampSteps)
        RampDown = true;
    else if (RampStep <= 0)
        RampDown = false;
    RampStep += RampDown ? -1 : 1;
}

double TScaleADDAChain::DacScaleValue(double unitPrefix) const
{
    if (DrivesPiezo())
        return DAScale * HvaGain * PiezoSens;
    return DAScale / (unitPrefix == 0.0 ? 1.0 : unitPrefix);
}

double TScaleADDAChain::DacOffsetValue(double unitPrefix) const
{
    if (DrivesPiezo())
        return DAOffset * HvaGain * PiezoSens;
    return DAOffset / (unitPrefix == 0.0 ? 1.0 : unitPrefix);
}

} // namespace qvt
