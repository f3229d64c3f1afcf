#include "core/NumberText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace qvt {

namespace {

// Positions 0..9: giga, mega, kilo, none, milli, micro, nano, pico, femto, atto.
constexpr char16_t kPrefixes[] = u"GMk m\u00B5npfa";
constexpr int kNoPrefixPos = 3;
constexpr std::array<double, 10> kPrefixFactors = {1e9, 1e6, 1e3, 1.0, 1e-3, 1e-6, 1e-9, 1e-12, 1e-15, 1e-18};

// Position of a prefix character, -1 when the character is none. The Greek mu
// some keyboards produce counts as the micro sign.
int PrefixPosition(QChar c)
{
    if (c == QChar(0x03BC))
        c = QChar(0x00B5);
    int found = -1;
    for (int i = 0; i < 10; ++i)
        if (c == QChar(kPrefixes[i]))
            found = i;
    return found;
}

// Exponent of a to_chars scientific text such as "1.230e-05".
int ExponentOf(const char* first, const char* last)
{
    const char* e = std::find(first, last, 'e');
    int exponent = 0;
    if (e != last) {
        const char* p = e + 1;
        if (p != last && *p == '+')
            ++p;
        std::from_chars(p, last, exponent);
    }
    return exponent;
}

int DecimalExponent(double magnitude, int significantDigits)
{
    char buf[64];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, significantDigits - 1);
    return ExponentOf(buf, r.ptr);
}

// "-0.000" carries no information; show zero without a sign.
QString DropNegativeZero(QString text)
{
    if (text.startsWith('-')) {
        bool allZero = true;
        for (QChar c : text)
            if (c.isDigit() && c != '0')
                allZero = false;
        if (allZero)
            text.remove(0, 1);
    }
    return text;
}

// Rounded to the coarser of `significant` digits and `decimals` decimals, then
// shown with exactly `decimals` decimals.
QString FixedText(double value, int significant, int decimals)
{
    const int exponent = DecimalExponent(std::fabs(value), significant);
    const int shown = std::clamp(significant - 1 - exponent, 0, decimals);
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, shown);
    QString text = QString::fromLatin1(buf, r.ptr - buf);
    if (decimals > shown) {
        if (shown == 0)
            text += '.';
        text += QString(decimals - shown, '0');
    }
    return DropNegativeZero(text);
}

// "1.2346E+7": mantissa with `significant` digits, exponent without padding.
QString ExponentText(double value, int significant)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, significant - 1);
    const char* e = std::find(buf, r.ptr, 'e');
    const int exponent = ExponentOf(buf, r.ptr);
    return QString::fromLatin1(buf, e - buf) + (exponent < 0 ? "E-" : "E+") + QString::number(std::abs(exponent));
}

QString NonFiniteText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
}

// Digits of a scientific mantissa [first, mantissaEnd) with its exponent as
// plain decimal text when lowExponent <= exponent < highExponent, else as
// "d.dddE<exponent>"; trailing zeros of the mantissa are dropped.
QString ScientificToText(const char* first, const char* mantissaEnd, int exponent, int lowExponent, int highExponent)
{
    QString sign;
    QString digits;
    for (const char* p = first; p != mantissaEnd; ++p) {
        if (*p == '-')
            sign = QStringLiteral("-");
        else if (*p != '.')
            digits += QLatin1Char(*p);
    }
    while (digits.size() > 1 && digits.endsWith('0'))
        digits.chop(1);
    if (exponent < lowExponent || exponent >= highExponent) {
        QString mantissa = digits.left(1);
        if (digits.size() > 1)
            mantissa += '.' + digits.mid(1);
        return sign + mantissa + 'E' + QString::number(exponent);
    }
    if (exponent < 0)
        return sign + "0." + QString(-exponent - 1, '0') + digits;
    const int intDigits = exponent + 1;
    if (digits.size() <= intDigits)
        return sign + digits + QString(intDigits - digits.size(), '0');
    return sign + digits.left(intDigits) + '.' + digits.mid(intDigits);
}

struct DigitColumn {
    int exponentForm, thousands, hundreds, tens, units; // significant digits per row
};
constexpr DigitColumn kPlainDigits = {5, 5, 5, 5, 5};
constexpr DigitColumn kChannelDigits = {3, 5, 4, 3, 2};

QString FormatPrefixed(const QString& unitText, double value, const DigitColumn& digits)
{
    QString unit = unitText;
    if (!unit.isEmpty()) {
        const int pos = PrefixPosition(unit.at(0));
        if (pos >= 0) {
            value *= kPrefixFactors[pos];
            unit.remove(0, 1);
        }
    }
    if (!std::isfinite(value))
        return NonFiniteText(value) + ' ' + unit;

    int k = 0;
    if (value != 0) {
        const int e = DecimalExponent(std::fabs(value), 4);
        k = std::clamp(e >= 0 ? e / 3 : (e - 2) / 3, -6, 3);
        // Multiply by the exact integer power for small values, so 12.3e-6 scales to 12.3 and not 12.299999.
        if (k > 0)
            value /= std::pow(1000.0, k);
        else if (k < 0)
            value *= std::pow(1000.0, -k);
    }
    unit.prepend(QChar(kPrefixes[kNoPrefixPos - k]));

    // The row of the digit table follows the value as it will be shown: 99.9999
    // rounds to "100.00" in the tens row, so it belongs to the hundreds row.
    static constexpr double Thresholds[] = {10, 100, 1000, 100000};
    const auto rowText = [&](int row) {
        switch (row) {
        case 0:
            return FixedText(value, digits.units, 3);
        case 1:
            return FixedText(value, digits.tens, 2);
        case 2:
            return FixedText(value, digits.hundreds, 1);
        case 3:
            return FixedText(value, digits.thousands, 0);
        default:
            return ExponentText(value, digits.exponentForm);
        }
    };
    const double magnitude = std::fabs(value);
    int row = 0;
    while (row < 4 && magnitude >= Thresholds[row])
        ++row;
    QString text = rowText(row);
    while (row < 4 && std::fabs(text.toDouble()) >= Thresholds[row])
        text = rowText(++row);
    return text + unit;
}

bool IsAsciiDigit(QChar c)
{
    return c >= '0' && c <= '9';
}

// Decimal text to double whatever LC_NUMERIC the process runs with.
double CLocaleStrtod(const std::string& text, bool& finite)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const double value = strtod_l(text.c_str(), nullptr, cLocale);
    finite = std::isfinite(value); // an overflow comes back as HUGE_VAL
    return value;
}

} // namespace

double Round(double value)
{
    return std::nearbyint(value);
}

bool ParseNumber(const QString& text, double& out)
{
    const QString t = text.trimmed();
    std::string ascii;
    ascii.reserve(t.size());
    qsizetype i = 0;
    const qsizetype n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-'))
        ascii += char(t[i++].unicode());
    int mantissaDigits = 0;
    bool separatorSeen = false;
    for (; i < n; ++i) {
        const QChar c = t[i];
        if (IsAsciiDigit(c)) {
            ascii += char(c.unicode());
            ++mantissaDigits;
        } else if ((c == '.' || c == ',') && !separatorSeen) {
            ascii += '.';
            separatorSeen = true;
        } else {
            break;
        }
    }
    if (mantissaDigits == 0)
        return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ascii += 'e';
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-'))
            ascii += char(t[i++].unicode());
        int exponentDigits = 0;
        for (; i < n && IsAsciiDigit(t[i]); ++i, ++exponentDigits)
            ascii += char(t[i].unicode());
        if (exponentDigits == 0)
            return false;
    }
    if (i != n)
        return false;
    bool finite = false;
    const double value = CLocaleStrtod(ascii, finite);
    if (!finite)
        return false;
    out = value;
    return true;
}

double StrToFloatAnySep(const QString& text)
{
    double value = 0;
    if (!ParseNumber(text, value))
        throw ConversionError("'" + text.toStdString() + "' is not a valid floating point value");
    return value;
}

QString FloatToText(double value)
{
    if (!std::isfinite(value))
        return NonFiniteText(value);
    if (value == 0)
        return QStringLiteral("0");
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* e = std::find(buf, r.ptr, 'e');
    const int exponent = ExponentOf(buf, r.ptr);
    // Fixed notation over the range settings values live in, E notation beyond.
    return ScientificToText(buf, e, exponent, -5, 15);
}

QString GeneralText(double value, int precision)
{
    if (!std::isfinite(value))
        return NonFiniteText(value);
    if (value == 0.0)
        return QStringLiteral("0");
    precision = std::clamp(precision, 1, 17);
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision - 1);
    const char* e = std::find(buf, r.ptr, 'e');
    return ScientificToText(buf, e, ExponentOf(buf, r.ptr), -4, precision);
}

QString FormatWithSIPrefix(const QString& unit, double value)
{
    return FormatPrefixed(unit, value, kPlainDigits);
}

QString FormatChannelValueWithUnit(const QString& unit, float value)
{
    return FormatPrefixed(unit, static_cast<double>(value), kChannelDigits);
}

double SIPrefixFactor(const QString& unit)
{
    if (unit.size() < 2)
        return 1.0;
    const int pos = PrefixPosition(unit.at(0));
    return pos >= 0 ? kPrefixFactors[pos] : 1.0;
}

void ClampDouble(double& value, double high, double low)
{
    if (value > high)
        value = high;
    if (!(value >= low))
        value = low;
}

QString FixedPointText(double value, int precision, int digits)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value > 0 ? "INF" : "-INF";
    precision = std::clamp(precision, 1, 18);
    digits = std::clamp(digits, 0, 18);

    // Rounded to `precision` significant digits, the exponent tells whether
    // the integer part still fits.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision - 1);
    const char* e = std::find(buf, r.ptr, 'e');
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), r.ptr, exponent);
    if (value != 0.0 && exponent >= precision) {
        const QString e10 = QString::number(std::abs(exponent)).rightJustified(std::min(digits, 4), '0');
        return QString::fromLatin1(buf, static_cast<int>(e - buf)) + (exponent < 0 ? "E-" : "E+") + e10;
    }

    const int shown = value == 0.0 ? digits : std::clamp(precision - 1 - exponent, 0, digits);
    r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, shown);
    QString text = QString::fromLatin1(buf, static_cast<int>(r.ptr - buf));
    if (digits > shown)
        text += (shown == 0 ? "." : "") + QString(digits - shown, '0');
    // "-0.000" tells nothing a plain zero does not.
    if (text.startsWith('-') && std::all_of(text.begin() + 1, text.end(), [](QChar c) { return c == '0' || c == '.'; }))
        text.remove(0, 1);
    return text;
}

QString SaveDelimiter(int code)
{
    switch (code) {
    case 1:
        return "\t";
    case 2:
        return " ";
    case 3:
        return ",";
    case 4:
        return ".";
    default:
        return QString();
    }
}

} // namespace qvt
