#pragma once
// The vocabulary of the script language: token kinds, the statement and
// function tables, the error codes with their texts, and the functions'
// arithmetic with their domain errors.

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>

namespace qvt {

class TQVTIniFile;

enum TokenKind : uint8_t {
    TokIdentifier = 0,
    TokStatement = 1,
    TokInteger = 2,
    TokString = 3,
    TokSign = 4,
    TokNone = 5, // no token pending (given back to the text)
    TokEnd = 7,  // the end of the text was read
    TokFunction = 8,
    TokLabel = 9, // a label definition; also set after a true IF (no ";" follows)
    TokFloat = 10,
    TokComment = 11, // also: the statement set the position itself (no ";" follows)
};

// Statement codes: index into ScriptStatementNames.
enum ScriptStatement : int {
    StWriteln = 0,
    StIf = 1,
    StClrScr = 2,
    StGoto = 3,
    StEnd = 4,
    StPoint = 5,
    StLine = 6,
    StImage = 7,
    StFileName = 8,
    StSetPoint = 9,
    StToggleTime = 10,
    StColor = 11,
    StMoveRef = 12,
    StFreiLauf = 13,
    StMoveSonde = 14,
    StWait = 15,
    StFor = 16,
    StExecute = 17,
    StGetOffset = 18,
    StGetChannel = 19,
    StMove = 20,
    StSpectStart = 21,
    StSpectPara = 22,
    StScanImage = 23,
    StScanPara = 24,
    StFeedPara = 25,
    StVPulse = 26,
    StBeep = 27,
    StGoXY = 28,
    StScanLine = 29,
    StSetChannel = 30,
    StSetLaser = 31,
    StDncStart = 32,
    StDncPara = 33,
    StGetFeedPara = 34,
};
constexpr int ScriptStatementCount = 35;
extern const std::array<const char*, ScriptStatementCount> ScriptStatementNames;

// Function codes: index into ScriptFunctionNames.
enum ScriptFunction : int {
    FnArcCoth = 0,
    FnArcTanh,
    FnArcSinh,
    FnArcCosh,
    FnArcCot,
    FnArcTan,
    FnArcSin,
    FnArcCos,
    FnArcTan2,
    FnCoth,
    FnTanh,
    FnSinh,
    FnCosh,
    FnCot,
    FnTan,
    FnSin,
    FnCos,
    FnSgn,
    FnAbs,
    FnLn,
    FnLog,
    FnSqrt,
    FnSqr,
};
constexpr int ScriptFunctionCount = 23;
extern const std::array<const char*, ScriptFunctionCount> ScriptFunctionNames;

// Index of an upper-case name in a table, -1 when absent.
int ScriptStatementCode(const QString& upperName);
int ScriptFunctionCode(const QString& upperName);

// Error codes raised by the interpreter.
enum ScriptErrorCode : int {
    ErrVarOrNumber = 2,
    ErrAssignExpected = 3,
    ErrDivByZero = 4,
    ErrQuoteExpected = 5,
    ErrCompareExpected = 6,
    ErrUndefinedLabel = 7,
    ErrEndExpected = 8,
    ErrSemicolonExpected = 9,
    ErrOpenParen = 10,
    ErrCloseParen = 11,
    ErrEndOfTextInIf = 12,
    ErrCommaExpected = 13,
    ErrNoInteger = 14,
    ErrNoFloat = 15,
    ErrNumberExpected = 16,
    ErrFileIo = 17,
    ErrUnknownVariable = 18,
    ErrVariableExpected = 19,
    ErrToExpected = 20,
    ErrDoExpected = 21,
    ErrBeginExpected = 22,
    ErrTooManyLoops = 23,
    ErrTooManyExecutes = 24,
    ErrNoPointExpected = 25,
    ErrFileMissing = 26,
    ErrStringExpected = 29,
    ErrDataFile = 30,
    ErrOutOfRange = 31,
    ErrFirstParameter = 32,
    ErrParameter = 33,
    ErrUnknownFunction = 34,
    ErrBetweenMinusOneAndOne = 35,
    ErrAtLeastOne = 36,
    ErrArcTan2 = 37,
    ErrNotPositive = 38,
    ErrNegative = 39,
    ErrMath = 40,
    ErrInputGain = 41,
    ErrNestedTooDeep = 42,
    ErrModeNotSupported = 100,
};

// The text of an error code; empty for a code without one.
QString ScriptErrorText(int code);

// "Error 2 (var or number expected) at line 3[ in <file>].    Program stopped!"
QString ScriptErrorLine(int code, int line, const QString& executedFile);

// Value of a one-argument function (x) or of ARCTAN2 (y = first, x = second
// argument). `error` gets the domain error (35..40) and the result is 0 then.
double ScriptFunctionValue(int code, double arg, double arg2, int& error);

// The names that may be assigned but not read: they go to [Calib].
bool IsCalibrationName(const QString& upperName);
// The local date and time as a day number with fraction (days since 30 December 1899).
double DayNumber(const QDateTime& localTime);
// [Calib] name := value and name + "DayTime" := the day number of `when`.
void WriteCalibrationValue(TQVTIniFile& ini, const QString& name, double value, const QDateTime& when);

} // namespace qvt
