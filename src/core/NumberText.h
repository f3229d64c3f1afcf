#pragma once
// Number text shared by the whole program: rounding, parsing of numbers typed
// with "." or ",", the "." text written to files and the controller, and the
// display of physical values with an SI prefix.

#include <QString>

#include <stdexcept>

namespace qvt {

// Raised when a text typed by the operator is no number; edit handlers catch it.
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The program's one "round": half to even.
double Round(double value);

// Strict decimal number: optional sign, digits with at most one "." or ","
// as decimal separator, optional exponent, blanks around allowed.
// "inf", "nan", hex floats, "1.234,5" and empty text are not numbers.
bool ParseNumber(const QString& text, double& out);

// Like ParseNumber, but raises ConversionError on text that is no number.
double StrToFloatAnySep(const QString& text);

// Shortest text that reads back to the same double, always with ".".
QString FloatToText(double value);

// "12.30µV" style text: a prefix already on the unit is folded into the value,
// then the prefix that brings the value into 1..999 is chosen (giga..atto).
QString FormatWithSIPrefix(const QString& unit, double value);

// The same with the fewer digits the channel displays use.
QString FormatChannelValueWithUnit(const QString& unit, float value);

// Factor of the prefix a unit carries ("nm" 1e-9, "kHz" 1e3); a one-character
// unit carries none, so "m" stays metres.
double SIPrefixFactor(const QString& unit);

// Limits value to high, then to low; a NaN ends at low.
void ClampDouble(double& value, double high, double low);

// Fixed-point text of `value` with `precision` significant digits and
// `digits` decimals (exponent form when the integer part needs more digits).
QString FixedPointText(double value, int precision, int digits);

// General float text with `precision` significant digits: plain decimals for
// exponents -4 .. precision-1, "d.dddE<n>" beyond; "." always.
QString GeneralText(double value, int precision);

// The column separator of the text exports by its stored code: 1 TAB, 2 space,
// 3 comma, 4 point; 0 and unknown codes separate with nothing.
QString SaveDelimiter(int code);

} // namespace qvt
