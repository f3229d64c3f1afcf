#include "script/ScriptTables.h"

#include "core/IniFile.h"

#include <QDate>

#include <cmath>
#include <numbers>

namespace qvt {

const std::array<const char*, ScriptStatementCount> ScriptStatementNames = {
    "WRITELN",    "IF",        "CLRSCR",     "GOTO",       "END",       "POINT",      "LINE",
    "IMAGE",      "FILENAME",  "SETPOINT",   "TOGGLETIME", "COLOR",     "MOVEREF",    "FREILAUF",
    "MOVESONDE",  "WAIT",      "FOR",        "EXECUTE",    "GETOFFSET", "GETCHANNEL", "MOVE",
    "SPECTSTART", "SPECTPARA", "SCANIMAGE",  "SCANPARA",   "FEEDPARA",  "VPULSE",     "BEEP",
    "GOXY",       "SCANLINE",  "SETCHANNEL", "SETLASER",   "DNCSTART",  "DNCPARA",    "GETFEEDPARA",
};

const std::array<const char*, ScriptFunctionCount> ScriptFunctionNames = {
    "ARCCOTH", "ARCTANH", "ARCSINH", "ARCCOSH", "ARCCOT", "ARCTAN", "ARCSIN", "ARCCOS",
    "ARCTAN2", "COTH",    "TANH",    "SINH",    "COSH",   "COT",    "TAN",    "SIN",
    "COS",     "SGN",     "ABS",     "LN",      "LOG",    "SQRT",   "SQR",
};

namespace {

template <size_t N> int IndexIn(const std::array<const char*, N>& table, const QString& name)
{
    for (size_t i = 0; i < N; ++i)
        if (name == QLatin1String(table[i]))
            return static_cast<int>(i);
    return -1;
}

struct TErrorText {
    int Code;
    const char* Text;
};
constexpr TErrorText ErrorTexts[] = {
    {2, "var or number expected"},
    {3, ":= expected"},
    {4, "/0"},
    {5, "' expected"},
    {6, "><= expected"},
    {7, "undefined label"},
    {8, "end. expected"},
    {9, "; expected"},
    {10, "\"(\" expected"},
    {11, "\")\" expected"},
    {12, "end expexted"},
    {13, ", expexted"},
    {14, "no integer number"},
    {15, "no float number"},
    {16, "number expected"},
    {17, "file IO error"},
    {18, "unknown variable"},
    {19, "Variable expected"},
    {20, "to expected"},
    {21, "do expected"},
    {22, "begin expected"},
    {23, "too many pending for loops"},
    {24, "too many pending executes"},
    {25, "no . expected"},
    {26, "File does not exist"},
    {28, "File already exist"},
    {29, "String in quotes expected"},
    {30, "can't create data file"},
    {31, "Value out of range"},
    {32, "First parameter invalid"},
    {33, "Parameter invalid"},
    {34, "unknown function"},
    {35, "argument must be between -1 and 1"},
    {36, "argument must be greater than or equal to 1"},
    {37, "conditions for arctan2 not fulfilled"},
    {38, "argument must be greater than 0"},
    {39, "argument must be greater than or equal to 0"},
    {40, "math error"},
    {41, "Input gain not available"},
    {42, "expression nested too deeply"},
    {100, "Mode not supported"},
};

// ARCTAN2 takes arguments within ±2^64 only.
constexpr double ArcTan2Limit = 18446744073709551616.0;

} // namespace

int ScriptStatementCode(const QString& upperName)
{
    return IndexIn(ScriptStatementNames, upperName);
}

int ScriptFunctionCode(const QString& upperName)
{
    return IndexIn(ScriptFunctionNames, upperName);
}

QString ScriptErrorText(int code)
{
    for (const TErrorText& e : ErrorTexts)
        if (e.Code == code)
            return QString::fromLatin1(e.Text);
    return {};
}

QString ScriptErrorLine(int code, int line, const QString& executedFile)
{
    QString text = QStringLiteral("Error %1 (%2) at line %3").arg(code).arg(ScriptErrorText(code)).arg(line);
    if (!executedFile.isEmpty())
        text += " in " + executedFile;
    return text + ".    Program stopped!";
}

double ScriptFunctionValue(int code, double x, double arg2, int& error)
{
    error = 0;
    double r = 0.0;
    switch (code) {
    case FnArcCoth:
        r = 0.5 * std::log((x + 1.0) / (x - 1.0));
        break;
    case FnArcTanh:
        if (x < -1.0 || x > 1.0)
            error = ErrBetweenMinusOneAndOne;
        else
            r = std::atanh(x);
        break;
    case FnArcSinh:
        r = std::asinh(x);
        break;
    case FnArcCosh:
        if (x < 1.0)
            error = ErrAtLeastOne;
        else
            r = std::acosh(x);
        break;
    case FnArcCot:
        r = x == 0.0 ? std::numbers::pi / 2.0 : std::atan(1.0 / x);
        break;
    case FnArcTan:
        r = std::atan(x);
        break;
    case FnArcSin:
    case FnArcCos:
        if (x < -1.0 || x > 1.0)
            error = ErrBetweenMinusOneAndOne;
        else
            r = code == FnArcSin ? std::asin(x) : std::acos(x);
        break;
    case FnArcTan2: {
        // The first argument is y, the second x.
        const double y = x;
        const double xx = arg2;
        if (std::fabs(y) > ArcTan2Limit || std::fabs(xx) > ArcTan2Limit || xx == 0.0)
            error = ErrArcTan2;
        else
            r = std::atan2(y, xx);
        break;
    }
    case FnCoth:
        r = 1.0 / std::tanh(x);
        break;
    case FnTanh:
        r = std::tanh(x);
        break;
    case FnSinh:
        r = std::sinh(x);
        break;
    case FnCosh:
        r = std::cosh(x);
        break;
    case FnCot:
        r = 1.0 / std::tan(x);
        break;
    case FnTan:
        r = std::tan(x);
        break;
    case FnSin:
        r = std::sin(x);
        break;
    case FnCos:
        r = std::cos(x);
        break;
    case FnSgn:
        r = x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0);
        break;
    case FnAbs:
        r = std::fabs(x);
        break;
    case FnLn:
    case FnLog:
        if (x <= 0.0)
            error = ErrNotPositive;
        else
            r = code == FnLn ? std::log(x) : std::log10(x);
        break;
    case FnSqrt:
        if (x < 0.0)
            error = ErrNegative;
        else
            r = std::sqrt(x);
        break;
    case FnSqr:
        r = x * x;
        break;
    default:
        error = ErrMath;
        break;
    }
    // Poles, overflow and arguments outside a function's reach end here.
    if (error == 0 && !std::isfinite(r))
        error = ErrMath;
    return error == 0 ? r : 0.0;
}

bool IsCalibrationName(const QString& upperName)
{
    return upperName == "HOPG" || upperName == "AU" || upperName == "AL" || upperName == "USER1" ||
           upperName == "USER2";
}

double DayNumber(const QDateTime& localTime)
{
    static const QDate dayZero(1899, 12, 30);
    const QTime t = localTime.time();
    return static_cast<double>(dayZero.daysTo(localTime.date())) + t.msecsSinceStartOfDay() / 86400000.0;
}

void WriteCalibrationValue(TQVTIniFile& ini, const QString& name, double value, const QDateTime& when)
{
    ini.WriteFloat("Calib", name, value);
    ini.WriteFloat("Calib", name + "DayTime", DayNumber(when));
}

} // namespace qvt
