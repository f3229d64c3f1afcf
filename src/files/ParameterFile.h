#pragma once
// The parameter file of a saved scan ("NoName00.txt"): a text record of the
// instrument state and a description block of every raw data file of the
// set. External viewers parse it, so labels, alignment, number formats and
// CR LF line ends stay exactly as they have always been, with "." as the
// decimal separator whatever the locale.

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

namespace qvt {

class TQVTIniFile;
class TIOScale;
struct TScanParams;
struct TMicroscopeState;
struct TLockInState;

// ---- number formats -----------------------------------------------------------------

// Fixed point with `decimals` decimals, right-aligned in at least `width` characters.
QString FormatFixed(double value, int width, int decimals);
// Integer right-aligned in at least `width` characters.
QString FormatInteger(long long value, int width);
// The long exponent form: blank or "-", one digit, ".", 14 digits, "E",
// sign, four exponent digits (" 5.00000000000000E+0000").
QString FormatExponent(double value);
// The short exponent form with one decimal (" 1.5E+0002").
QString FormatShortExponent(double value);

// ---- content ------------------------------------------------------------------------

// One raw data file of the set.
struct TFileDescription {
    QString FileName; // as written, without directory
    QString Caption;  // channel label and direction suffix
    bool HasScale = false;
    double Scale = 0.0; // physical units per digit, negative for a reversed axis
    QString PhysUnit;
    double Offset = 0.0; // physical value of raw 0
};
// The block of a buffer with this scale (none: no scale lines).
TFileDescription DescribeFile(const QString& fileName, const QString& caption, const TIOScale* scale);

struct TParameterFileValues {
    QString Date;
    QString Time;
    QString UserName;

    int FeedbackMode = 0;
    double SetPoint = 0.0;
    QString SetPointPhysUnit;
    QString ModeName;
    double Bias = 0.0;
    QString BiasPhysUnit;
    double Ki = 0.0;
    double Kp = 0.0;

    double FreqKp = 0.0;
    double FreqSetpoint = 0.0;
    double AmplSetpoint = 0.0;
    double AmplKi = 0.0;
    double AmplKp = 0.0;

    double Range = 0.0;
    QString XPhysUnit;
    QString YPhysUnit;
    double Speed = 0.0;    // lines per second as set (the file shows twice that)
    double AngleDeg = 0.0; // scan angle without the instrument's offset angle
    int Pixels = 0;
    double XCenter = 0.0;
    double YCenter = 0.0;
    QString DzDxText;
    QString DzDyText;
    double OverScan = 0.0;

    bool LockInOn = false;
    double LockInFreq = 0.0;
    QString LockInFreqUnit;
    double LockInAmpl = 0.0;
    QString LockInAmplUnit;

    int KelvinOn = 0;
    double KelvinRef = 0.0;
    double KelvinKi = 0.0;

    int FlyOn = 0;
    QString FlyHeightText;

    std::vector<TFileDescription> Files;
};

// The whole file as text, lines ending in CR LF.
QString ParameterFileText(const TParameterFileValues& values);
// As bytes: Windows-1252 (so "µ" is one byte, as viewers expect), or UTF-8
// when the text holds a character Windows-1252 cannot store.
QByteArray EncodeParameterFile(const QString& text);

// ---- where the values come from --------------------------------------------------------

// Texts of the scan parameter window the file quotes. The window installs
// them; while it does not exist the file shows the raw slopes ("dz/dx=" and
// the slope in digits) and the lift height last stored in [Window] FlyHeight.
struct TScanWindowTexts {
    std::function<QString()> DzDx;
    std::function<QString()> DzDy;
    std::function<QString()> FlyHeight;
};
extern TScanWindowTexts ScanWindowTexts;

// The instrument part of the values (everything but date, time, user and the
// file blocks) from the shared records. `mainIni` may be null (defaults).
TParameterFileValues CollectParameterValues(const TScanParams& scan, const TMicroscopeState& microscope,
                                            const TLockInState& lockIn, int flyOn, const TQVTIniFile* mainIni);

} // namespace qvt
