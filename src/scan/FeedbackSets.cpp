#include "scan/FeedbackSets.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/FeedbackRecord.h"
#include "scan/ScanParaLogic.h"

#include <cmath>

namespace qvt {

namespace {

constexpr QChar MicroSign(0x00B5);
constexpr QChar GreekMu(0x03BC);
constexpr double CmafmBandwidthFactor = 0.0203; // loop bandwidth per unit of the scaled Ki

QString HintNumber(double value, int precision, int decimals)
{
    return std::isfinite(value) ? FixedPointText(value, precision, decimals) : QString();
}

} // namespace

QString FeedbackSetKey(const QString& edit, int mode)
{
    return edit + '_' + QString::number(mode);
}

QString ApproachKiKey(int mode)
{
    return FeedbackSetKey("Edit5", mode) + "Approach";
}

QString InputAddrKey(int mode)
{
    return "FeedbackChannelAddr" + QString::number(mode);
}

void ReadFeedbackSets(const TQVTIniFile& ini, TMicroscopeState& state)
{
    state.FeedbackSets[FeedbackSetIndex(FeedbackNone)].InputAddr = 0;
    for (int m = FeedbackSTM; m <= FeedbackModeMax; ++m) {
        TFeedbackSet& set = state.FeedbackSets[FeedbackSetIndex(m)];
        set.Setpoint = static_cast<float>(ini.ReadFloat(FeedParaSection, FeedbackSetKey("Edit1", m), 0.0));
        set.Ki = static_cast<float>(ini.ReadFloat(FeedParaSection, FeedbackSetKey("Edit5", m), 0.0));
        set.Kp = static_cast<float>(ini.ReadFloat(FeedParaSection, FeedbackSetKey("Edit6", m), 0.0));
        set.Bias = static_cast<float>(ini.ReadFloat(FeedParaSection, FeedbackSetKey("Edit2", m), 0.0));
        set.InputAddr = ini.ReadInteger(FeedParaSection, InputAddrKey(m), DefaultFeedbackInput(m));
    }
}

// ---- amplitude page ---------------------------------------------------------------------

int AmplPrefixTag(const QString& label)
{
    if (label.isEmpty())
        return 0;
    const QChar first = label.front();
    if (first == 'm')
        return -3;
    if (first == MicroSign || first == GreekMu)
        return -6;
    return 0;
}

QString AmplSetpointText(double value, int tag)
{
    switch (tag) {
    case -3:
        return GeneralText(value * 1e3, 6);
    case -6:
        return GeneralText(value * 1e6, 6);
    default:
        return GeneralText(value, 4);
    }
}

double AmplSetpointFromTyped(double typed, int tag)
{
    switch (tag) {
    case -3:
        return typed * 1e-3;
    case -6:
        return typed * 1e-6;
    default:
        return typed;
    }
}

QString NextAmplPrefix(const QString& label)
{
    switch (AmplPrefixTag(label)) {
    case -6:
        return QString();
    case -3:
        return QString(MicroSign);
    default:
        return QStringLiteral("m");
    }
}

// ---- frequency page ----------------------------------------------------------------------

double LimitFreqSetpoint(double hz)
{
    if (hz > FreqSetpointMax)
        return FreqSetpointMax;
    if (!(hz >= FreqSetpointMin))
        return FreqSetpointMin;
    return hz;
}

// ---- hints ---------------------------------------------------------------------------------

TFeedbackHints FeedbackHints(const TFeedbackHintInput& in)
{
    TFeedbackHints hints;
    const TCantileverParams& c = in.Cantilever;
    if (in.Mode == FeedbackCmAFM && c.CantileverScaleCMAFM > 0) {
        const double inputPrefix = SIPrefixFactor(in.InputUnit);
        const double force = in.Setpoint / inputPrefix / c.CantileverScaleCMAFM * c.SpringConstant * 1e9;
        const QString f = HintNumber(force, 4, 3);
        hints.SetpointChanged = true;
        hints.Setpoint = f.isEmpty() ? QString(MathErrorHint) : "Force " + f + "nN";

        const double bw = std::fabs(SIPrefixFactor(in.ZUnit) * in.ZFactor * c.CantileverScaleCMAFM / in.InputFactor /
                                    inputPrefix * in.Ki * CmafmBandwidthFactor);
        const QString b = HintNumber(bw, 15, 0);
        hints.KiChanged = true;
        hints.Ki = b.isEmpty() ? QString(MathErrorHint) : "bw " + b + "Hz";
    } else if (in.Mode == FeedbackNcAFMR) {
        hints.SetpointChanged = true;
        if (c.CantileverScaleNCAFM > 0) {
            const double a = in.Setpoint * in.NC100ProcentAmpl / 100.0 / c.CantileverScaleNCAFM * 1e9;
            const QString t = HintNumber(a, 4, 3);
            hints.Setpoint = t.isEmpty() ? QString(MathErrorHint) : "Amplitude " + t + "nm";
        } else {
            hints.Setpoint = "Neg. Amplitude ?";
        }
        hints.KiChanged = true;
        hints.Ki.clear();
    }
    return hints;
}

} // namespace qvt
