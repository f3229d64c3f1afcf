#include "files/ParameterFile.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"

#include <charconv>
#include <cmath>
#include <numbers>

namespace qvt {

TScanWindowTexts ScanWindowTexts;

namespace {

QString NotANumberText(double value, int width)
{
    const char* text = std::isnan(value) ? "NAN" : (value < 0 ? "-INF" : "INF");
    return QString::fromLatin1(text).rightJustified(width);
}

// The C library's exponent ("e+05", "e-123") becomes "E", a sign and four
// digits; a non-negative mantissa gets a leading blank. std::to_chars ignores
// the C locale, which the application may have set to a decimal comma.
QString ExponentForm(double value, int decimals)
{
    if (!std::isfinite(value))
        return NotANumberText(value, 0).prepend(value < 0 ? "" : " ");
    if (value == 0.0)
        value = 0.0; // no "-0"
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, decimals).ptr;
    const QString text = QString::fromLatin1(buffer, end - buffer);
    const qsizetype e = text.indexOf('e');
    const QString mantissa = text.left(e);
    const QChar sign = text.at(e + 1);
    const int exponent = text.mid(e + 2).toInt();
    return (mantissa.startsWith('-') ? QString() : QStringLiteral(" ")) + mantissa + 'E' + sign +
           QString::number(exponent).rightJustified(4, '0');
}

constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool EncodeCp1252(const QString& text, QByteArray& bytes)
{
    bytes.resize(text.size());
    char* out = bytes.data();
    for (QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            *out++ = static_cast<char>(u);
            continue;
        }
        int i = 0;
        while (i < 32 && kCp1252High[i] != u)
            ++i;
        if (i == 32)
            return false;
        *out++ = static_cast<char>(0x80 + i);
    }
    return true;
}

QString UnitOfSlot(int slot)
{
    return IsValidSlot(slot) ? ChannelTable[slot].UnitName : QString();
}

} // namespace

QString FormatFixed(double value, int width, int decimals)
{
    if (!std::isfinite(value))
        return NotANumberText(value, width);
    char buffer[400];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals).ptr;
    return QString::fromLatin1(buffer, end - buffer).rightJustified(width);
}

QString FormatInteger(long long value, int width)
{
    return QString::number(value).rightJustified(width);
}

QString FormatExponent(double value)
{
    return ExponentForm(value, 14);
}

QString FormatShortExponent(double value)
{
    return ExponentForm(value, 1);
}

TFileDescription DescribeFile(const QString& fileName, const QString& caption, const TIOScale* scale)
{
    TFileDescription d;
    d.FileName = fileName;
    d.Caption = caption;
    if (scale != nullptr) {
        const double factor = scale->Factor.load();
        d.HasScale = true;
        d.Scale = scale->FactorNegative.load() ? -factor : factor;
        d.PhysUnit = scale->UnitName;
        d.Offset = scale->Offset.load() * factor;
    }
    return d;
}

QString ParameterFileText(const TParameterFileValues& v)
{
    QString t;
    const auto line = [&t](const QString& text) { t += text + QStringLiteral("\r\n"); };

    line(QString());
    line(QStringLiteral(";QUORVEL Parameterfile"));
    line(QString());
    line(QStringLiteral("Version : 1.12"));
    line("Date : " + v.Date);
    line("Time : " + v.Time);
    line("UserName : " + v.UserName);
    line(QString());
    line("SetPoint         : " + FormatFixed(v.SetPoint, 9, 3));
    line("SetPointPhysUnit : " + v.SetPointPhysUnit);
    line("FeedBackModus    : " + v.ModeName);
    line("Bias             : " + FormatFixed(v.Bias, 9, 3));
    line("BiasPhysUnit     : " + v.BiasPhysUnit);
    line("Ki               : " + FormatFixed(v.Ki, 6, 0));
    line("Kp               : " + FormatFixed(v.Kp, 6, 0));
    line(QString());
    if (v.FeedbackMode == FeedbackNcAFMPLL) {
        line("KpPLL            : " + FormatFixed(v.FreqKp, 9, 3));
        line("RefDeltaFreq     : " + FormatFixed(v.FreqSetpoint, 6, 3));
        line("RefAmpl          : " + FormatFixed(v.AmplSetpoint, 6, 3));
        line("KiAmpl           : " + FormatFixed(v.AmplKi, 6, 0));
        line("KpAmpl           : " + FormatFixed(v.AmplKp, 6, 0));
        line(QString());
    }
    line("XScanRange : " + FormatFixed(v.Range, 9, 3));
    line("YScanRange : " + FormatFixed(v.Range, 9, 3));
    line("XPhysUnit  : " + v.XPhysUnit);
    line("YPhysUnit  : " + v.YPhysUnit);
    line("Speed      : " + FormatFixed(2.0 * v.Speed, 6, 3) + " ; lines/sec");
    line("Angle      : " + FormatFixed(v.AngleDeg, 4, 1));
    line("xPixel     : " + FormatInteger(v.Pixels, 6));
    line("yPixel     : " + FormatInteger(v.Pixels, 6));
    // The fast axis is DAC Y at the usual 90° offset angle, hence the swap.
    line("yCenter    : " + FormatFixed(v.XCenter, 9, 3));
    line("xCenter    : " + FormatFixed(v.YCenter, 9, 3));
    line("dzdx       : " + v.DzDxText);
    line("dzdy       : " + v.DzDyText);
    line("overscan[%]: " + FormatExponent(v.OverScan));
    line(QString());
    if (v.LockInOn) {
        line("LockInFreq         : " + FormatFixed(v.LockInFreq, 9, 2));
        line("LockInFreqPhysUnit : " + v.LockInFreqUnit);
        line("LockInAmpl         : " + FormatFixed(v.LockInAmpl, 9, 3));
        line("LockInAmplPhysUnit : " + v.LockInAmplUnit);
        line(QString());
    }
    if (v.KelvinOn >= 1) {
        line("RefKelvin          : " + FormatFixed(v.KelvinRef, 6, 3));
        line("KiKelvin           : " + FormatShortExponent(v.KelvinKi));
        line(QString());
    }
    if (v.FlyOn >= 1) {
        line("FlyOn              : " + QString::number(v.FlyOn));
        line("FlyHeight          : " + v.FlyHeightText);
        line(QString());
    }
    for (const TFileDescription& f : v.Files) {
        line(QStringLiteral("FileDescBegin"));
        line("FileName : " + f.FileName);
        line("Caption  : " + f.Caption);
        if (f.HasScale) {
            line("Scale    : " + FormatExponent(f.Scale));
            line("PhysUnit : " + f.PhysUnit);
            line("Offset   : " + FormatExponent(f.Offset));
        }
        line(QStringLiteral("FileDescEnd"));
        line(QString());
    }
    return t;
}

QByteArray EncodeParameterFile(const QString& text)
{
    QByteArray bytes;
    if (!EncodeCp1252(text, bytes))
        bytes = text.toUtf8();
    return bytes;
}

TParameterFileValues CollectParameterValues(const TScanParams& scan, const TMicroscopeState& microscope,
                                            const TLockInState& lockIn, int flyOn, const TQVTIniFile* mainIni)
{
    TParameterFileValues v;
    v.FeedbackMode = microscope.FeedbackMode.load();
    const TFeedbackSet& set = microscope.FeedbackSets[FeedbackSetIndex(ValidFeedbackMode(v.FeedbackMode))];
    v.SetPoint = set.Setpoint;
    // The feedback channel is a program channel index; anything outside the
    // table has no unit rather than reading past it.
    v.SetPointPhysUnit = UnitOfSlot(SlotOfChannelIndex(microscope.FeedbackChannel.load()));
    v.ModeName = microscope.ModeName;
    v.Bias = set.Bias;
    v.BiasPhysUnit = UnitOfSlot(SlotBias);
    v.Ki = set.Ki;
    v.Kp = set.Kp;

    v.FreqKp = microscope.FreqKp;
    v.FreqSetpoint = microscope.FreqSetpoint;
    v.AmplSetpoint = microscope.AmplSetpoint;
    v.AmplKi = microscope.AmplKi;
    v.AmplKp = microscope.AmplKp;

    v.Range = scan.Range.load();
    v.XPhysUnit = UnitOfSlot(SlotX);
    v.YPhysUnit = UnitOfSlot(SlotY);
    v.Speed = scan.Speed.load();
    const double offsAngle = mainIni ? mainIni->ReadFloat("Microscope", "OffsAngle", 90.0) : 90.0;
    v.AngleDeg = static_cast<double>(scan.Angle.load()) * 180.0 / std::numbers::pi - offsAngle;
    v.Pixels = scan.Pixels.load();
    v.XCenter = scan.XCenter.load();
    v.YCenter = scan.YCenter.load();
    v.DzDxText = ScanWindowTexts.DzDx ? ScanWindowTexts.DzDx() : "dz/dx=" + FormatFixed(scan.LevelDxDz.load(), 6, 0);
    v.DzDyText = ScanWindowTexts.DzDy ? ScanWindowTexts.DzDy() : "dz/dy=" + FormatFixed(scan.LevelDyDz.load(), 6, 0);
    v.OverScan = scan.OverScan.load();

    v.LockInOn = microscope.LockInOn.load() != 0;
    v.LockInFreq = lockIn.DriveFrequency;
    v.LockInFreqUnit = lockIn.FrequencyUnit;
    v.LockInAmpl = lockIn.DriveAmplitude;
    v.LockInAmplUnit = lockIn.AmplitudeUnit;

    v.KelvinOn = microscope.KelvinOn;
    v.KelvinRef = microscope.KelvinRef;
    v.KelvinKi = microscope.KelvinKi;

    v.FlyOn = flyOn;
    v.FlyHeightText = ScanWindowTexts.FlyHeight ? ScanWindowTexts.FlyHeight()
                      : mainIni                 ? mainIni->ReadString("Window", "FlyHeight", "0")
                                                : QStringLiteral("0");
    return v;
}

} // namespace qvt
