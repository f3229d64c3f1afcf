#include "script/ScriptInterpreter.h"

#include "core/NumberText.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <vector>

namespace qvt {

namespace {

bool IsDigit(QChar c)
{
    return c >= '0' && c <= '9';
}

// Line breaks end identifiers and strings wherever they come from (CR LF,
// LF-only files), and so does a TAB.
bool IsBreak(QChar c)
{
    return c == '\r' || c == '\n';
}

bool IsWhite(QChar c)
{
    return c == ' ' || c == '\t' || IsBreak(c);
}

QString UpperAscii(QString text)
{
    for (QChar& c : text)
        if (c >= 'a' && c <= 'z')
            c = QChar(c.unicode() - 'a' + 'A');
    return text;
}

} // namespace

bool IsScriptSign(QChar c)
{
    static const QString signs = QStringLiteral("!@#$%^&().,;:+-*/<>= '\"");
    return signs.contains(c);
}

TScriptInterpreter::TScriptInterpreter(IScriptHost& host) : host_(host) {}

// ---- loading ------------------------------------------------------------------------------

bool TScriptInterpreter::LoadProgram(const QString& fileName)
{
    CurrentFile = fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        code_ = QStringLiteral("\r\n\r\n");
        pos_ = 0;
        ScriptError(ErrFileMissing);
        return false;
    }
    return LoadText(file.readAll());
}

bool TScriptInterpreter::LoadText(const QByteArray& text)
{
    // Scripts are 8-bit text: one byte is one character, so every byte a
    // string carries goes out again unchanged.
    code_ = QString::fromLatin1(text) + QStringLiteral("\r\n\r\n");
    pos_ = 0;
    start_ = 0;
    token_ = TScriptToken{};
    labels_.clear();
    labelPositions_.clear();
    PrescanLabels();
    pos_ = start_;
    return !Failed();
}

void TScriptInterpreter::PrescanLabels()
{
    // The declarations: everything before LABEL or BEGIN is passed over.
    for (;;) {
        GetToken();
        if (Failed())
            return;
        if (token_.Kind == TokString)
            continue;
        if (token_.Text == "BEGIN")
            break;
        if (token_.Text != "LABEL")
            continue;
        for (;;) {
            GetToken();
            if (Failed())
                return;
            const QString name = token_.Text;
            if (!labels_.contains(name)) {
                labels_.append(name);
                labels_.sort();
            }
            GetToken();
            if (Failed())
                return;
            if (IsSign(";"))
                break;
            if (!IsSign(",")) {
                ScriptError(ErrSemicolonExpected);
                return;
            }
        }
    }
    start_ = pos_;
    labelPositions_.assign(labels_.size(), 0);

    // The definitions: a label counts only at the start of a statement.
    for (;;) {
        GetToken();
        if (Failed())
            return;
        if (token_.Kind == TokStatement && token_.Text == "END.")
            break;
        if (token_.Kind == TokLabel) {
            labelPositions_[token_.IntValue] = pos_;
            continue;
        }
        if (token_.Kind == TokComment)
            continue;
        SkipStatement();
        if (Failed())
            return;
    }
    for (int position : labelPositions_)
        if (position == 0) {
            ScriptError(ErrUndefinedLabel);
            return;
        }
}

int TScriptInterpreter::LabelIndex(const QString& upperName) const
{
    return static_cast<int>(labels_.indexOf(upperName));
}

// ---- tokens -----------------------------------------------------------------------------------

QChar TScriptInterpreter::Peek(int offset) const
{
    const int at = pos_ + offset;
    return at < code_.size() ? code_[at] : QChar();
}

bool TScriptInterpreter::SkipWhite()
{
    while (!AtEnd() && IsWhite(code_[pos_]))
        ++pos_;
    return !AtEnd();
}

bool TScriptInterpreter::IsSign(const char* sign) const
{
    return token_.Kind == TokSign && token_.Text == QLatin1String(sign);
}

void TScriptInterpreter::GetToken()
{
    token_ = TScriptToken{};
    if (!SkipWhite()) {
        token_.Kind = TokEnd;
        ScriptError(ErrEndExpected);
        return;
    }
    tokenStart_ = pos_;
    const QChar c = code_[pos_];
    if (c == '\'' || c == '"') {
        ReadString(c);
    } else if (IsDigit(c)) {
        ReadNumber();
    } else if (!IsScriptSign(c)) {
        ReadIdentifier();
    } else {
        ++pos_;
        token_.Kind = TokSign;
        token_.Text = c;
        const QChar next = Peek();
        if ((c == '<' && next == '>') || (c == ':' && next == '=')) {
            token_.Text += next;
            ++pos_;
        } else if (c == '/' && next == '/') {
            while (!AtEnd() && !IsBreak(code_[pos_]))
                ++pos_;
            token_.Kind = TokComment;
            token_.Text.clear();
        }
    }
}

void TScriptInterpreter::ReadString(QChar)
{
    // Either quote closes a string, whichever opened it.
    ++pos_;
    const int begin = pos_;
    while (!AtEnd() && code_[pos_] != '\'' && code_[pos_] != '"') {
        if (IsBreak(code_[pos_])) {
            ScriptError(ErrQuoteExpected);
            return;
        }
        ++pos_;
    }
    if (AtEnd()) {
        ScriptError(ErrEndExpected);
        return;
    }
    token_.Kind = TokString;
    token_.Text = code_.mid(begin, pos_ - begin);
    ++pos_;
}

void TScriptInterpreter::ReadIdentifier()
{
    const int begin = pos_;
    while (!AtEnd() && !IsScriptSign(code_[pos_]) && !IsWhite(code_[pos_]))
        ++pos_;
    token_.Text = UpperAscii(code_.mid(begin, pos_ - begin));

    if (const int statement = ScriptStatementCode(token_.Text); statement >= 0) {
        token_.Kind = TokStatement;
        token_.IntValue = statement;
        if (statement == StEnd && Peek() == '.') {
            token_.Text = "END.";
            ++pos_;
        }
        return;
    }
    if (const int label = LabelIndex(token_.Text); label >= 0) {
        token_.Kind = TokIdentifier;
        int at = pos_;
        while (at < code_.size() && (code_[at] == ' ' || code_[at] == '\t'))
            ++at;
        if (at < code_.size() && code_[at] == ':' && (at + 1 >= code_.size() || code_[at + 1] != '=')) {
            token_.Kind = TokLabel;
            token_.IntValue = label;
            pos_ = at + 1;
        }
        return;
    }
    if (const int function = ScriptFunctionCode(token_.Text); function >= 0) {
        token_.Kind = TokFunction;
        token_.IntValue = function;
        return;
    }
    token_.Kind = TokIdentifier;
}

void TScriptInterpreter::ReadNumber()
{
    const int begin = pos_;
    while (!AtEnd() && (IsDigit(code_[pos_]) || code_[pos_] == '.'))
        ++pos_;
    if (!AtEnd() && (code_[pos_] == 'E' || code_[pos_] == 'e')) {
        // The exponent's sign or first digit, whatever it is, then its digits.
        pos_ = std::min<int>(pos_ + 2, code_.size());
        while (!AtEnd() && IsDigit(code_[pos_]))
            ++pos_;
    }
    token_.Text = code_.mid(begin, pos_ - begin);
    if (!ParseNumber(token_.Text, token_.FloatValue)) {
        ScriptError(ErrNoFloat);
        return;
    }
    token_.Kind = TokFloat;
    if (token_.Text.contains('.') || token_.Text.contains('E') || token_.Text.contains('e'))
        return;
    bool ok = false;
    token_.IntValue = token_.Text.toInt(&ok);
    if (!ok) {
        ScriptError(ErrNoInteger);
        return;
    }
    token_.Kind = TokInteger;
}

void TScriptInterpreter::SkipStatement(int endError)
{
    for (;;) {
        SkipWhite();
        if (AtEnd()) {
            ScriptError(endError);
            return;
        }
        GetToken();
        if (Failed() || IsSign(";"))
            return;
    }
}

// ---- expressions -------------------------------------------------------------------------------

double TScriptInterpreter::ReadExpression()
{
    const bool starts = token_.Kind == TokIdentifier || token_.Kind == TokInteger || token_.Kind == TokFloat ||
                        token_.Kind == TokFunction || IsSign("(") || IsSign("-");
    if (!starts) {
        ScriptError(ErrVarOrNumber);
        return 0.0;
    }
    const double value = Sum();
    if (Failed())
        return 0.0;
    // The token that ended the expression goes back to the text.
    pos_ = tokenStart_;
    token_.Kind = TokNone;
    return value;
}

// Overflow in any operator is a math error, like a fault inside a function.
double TScriptInterpreter::Checked(double value)
{
    if (!Failed() && !std::isfinite(value)) {
        ScriptError(ErrMath);
        return 0.0;
    }
    return value;
}

namespace {
// One level of expression nesting for as long as it is in scope.
class TNestingLevel {
public:
    explicit TNestingLevel(int& depth) : depth_(++depth) {}
    ~TNestingLevel() { --depth_; }
    TNestingLevel(const TNestingLevel&) = delete;
    TNestingLevel& operator=(const TNestingLevel&) = delete;

private:
    int& depth_;
};
} // namespace

double TScriptInterpreter::Sum()
{
    const TNestingLevel level(nesting_);
    if (nesting_ > MaxNesting) {
        ScriptError(ErrNestedTooDeep);
        return 0.0;
    }
    double value = Product();
    while (!Failed() && (IsSign("+") || IsSign("-"))) {
        const bool minus = IsSign("-");
        GetToken();
        const double right = Product();
        if (Failed())
            return 0.0;
        value = Checked(minus ? value - right : value + right);
    }
    return Failed() ? 0.0 : value;
}

double TScriptInterpreter::Product()
{
    double value = Power();
    while (!Failed() && (IsSign("*") || IsSign("/"))) {
        const bool divide = IsSign("/");
        GetToken();
        const double right = Power();
        if (Failed())
            return 0.0;
        if (divide && right == 0.0) {
            ScriptError(ErrDivByZero);
            return 0.0;
        }
        value = Checked(divide ? value / right : value * right);
    }
    return Failed() ? 0.0 : value;
}

double TScriptInterpreter::Power()
{
    const double first = Signed();
    if (Failed() || !IsSign("^"))
        return Failed() ? 0.0 : first;
    // The operands of one chain side by side: a long chain is no nesting and
    // takes no stack for its length.
    std::vector<double> operands{first};
    while (IsSign("^")) {
        GetToken();
        operands.push_back(Signed());
        if (Failed())
            return 0.0;
    }
    // Right-associative: 2^3^2 = 2^9.
    double value = operands.back();
    for (auto it = operands.rbegin() + 1; it != operands.rend(); ++it) {
        const double base = *it;
        // A negative base has no real power for a fractional exponent.
        if (base < 0.0 && value != std::trunc(value)) {
            ScriptError(ErrMath);
            return 0.0;
        }
        value = Checked(std::pow(base, value));
        if (Failed())
            return 0.0;
    }
    return value;
}

double TScriptInterpreter::Signed()
{
    // The sign binds tighter than "^": -2^2 = 4.
    if (IsSign("+") || IsSign("-")) {
        const bool minus = IsSign("-");
        GetToken();
        const double value = Factor();
        return minus ? -value : value;
    }
    return Factor();
}

double TScriptInterpreter::Factor()
{
    double value = 0.0;
    if (Failed())
        return 0.0;
    if (IsSign("(")) {
        GetToken();
        value = Sum();
        if (Failed())
            return 0.0;
        if (!IsSign(")")) {
            ScriptError(ErrCloseParen);
            return 0.0;
        }
    } else if (token_.Kind == TokFunction) {
        const int function = token_.IntValue;
        GetToken();
        if (!IsSign("(")) {
            ScriptError(ErrOpenParen);
            return 0.0;
        }
        GetToken();
        const double x = Sum();
        double second = 0.0;
        if (Failed())
            return 0.0;
        if (function == FnArcTan2) {
            if (!IsSign(",")) {
                ScriptError(ErrCloseParen);
                return 0.0;
            }
            GetToken();
            second = Sum();
            if (Failed())
                return 0.0;
        }
        if (!IsSign(")")) {
            ScriptError(ErrCloseParen);
            return 0.0;
        }
        int error = 0;
        value = ScriptFunctionValue(function, x, second, error);
        if (error != 0) {
            ScriptError(error);
            return 0.0;
        }
    } else if (token_.Kind == TokIdentifier) {
        value = GetVariable(token_.Text);
    } else if (token_.Kind == TokInteger) {
        value = token_.IntValue;
    } else if (token_.Kind == TokFloat) {
        value = token_.FloatValue;
    } else {
        ScriptError(ErrVarOrNumber);
        return 0.0;
    }
    if (Failed())
        return 0.0;
    GetToken();
    return value;
}

// ---- variables ----------------------------------------------------------------------------------

double TScriptInterpreter::GetVariable(const QString& name)
{
    const QString upper = UpperAscii(name);
    if (upper.size() == 1 && upper[0] >= 'A' && upper[0] <= 'Z')
        return Variables[upper[0].unicode() - 'A'];
    ScriptError(upper.size() > 1 ? ErrUnknownFunction : ErrUnknownVariable);
    return 0.0;
}

void TScriptInterpreter::SetVariable(const QString& name, double value)
{
    const QString upper = UpperAscii(name);
    if (upper.size() == 1 && upper[0] >= 'A' && upper[0] <= 'Z') {
        Variables[upper[0].unicode() - 'A'] = value;
        return;
    }
    if (IsCalibrationName(upper)) {
        host_.StoreCalibration(upper, value);
        return;
    }
    ScriptError(ErrUnknownVariable);
}

// ---- positions and errors ------------------------------------------------------------------------

int TScriptInterpreter::LineAt(int position) const
{
    int line = 1;
    const int end = std::min<int>(position, code_.size());
    for (int i = 0; i < end; ++i) {
        if (code_[i] == '\r')
            ++line;
        else if (code_[i] == '\n' && (i == 0 || code_[i - 1] != '\r'))
            ++line;
    }
    return line;
}

void TScriptInterpreter::ScriptError(int code)
{
    Running = false;
    if (ErrorCode != 0)
        return;
    host_.WriteMemoLine(ScriptErrorLine(code, LineAt(pos_), ExecDepth > 0 ? CurrentFile : QString()));
    // Nothing further is found behind the error.
    pos_ = std::max<int>(0, code_.size() - 2);
    ErrorCode = code;
}

// ---- the run ---------------------------------------------------------------------------------------

void TScriptInterpreter::BeginRun()
{
    ErrorCode = 0;
    ExecDepth = 0;
    loops_.clear();
    execStack_.clear();
}

void TScriptInterpreter::Run()
{
    while (Running)
        Step();
}

void TScriptInterpreter::Step()
{
    GetToken();
    if (token_.Kind == TokIdentifier)
        Assignment();
    else if (token_.Kind == TokStatement) {
        switch (token_.IntValue) {
        case StWriteln:
            Writeln();
            break;
        case StIf:
            If();
            break;
        case StGoto:
            Goto();
            break;
        case StFor:
            For();
            break;
        case StEnd:
            End();
            break;
        case StExecute:
            Execute();
            break;
        default:
            host_.RunStatement(token_.IntValue, *this);
            break;
        }
    }
    if (token_.Kind != TokLabel && token_.Kind != TokComment && Running) {
        GetToken();
        if (!IsSign(";"))
            ScriptError(ErrSemicolonExpected);
    }
    if (ErrorCode > 0)
        Running = false;
}

bool TScriptInterpreter::ExpectWord(const char* word, int error)
{
    GetToken();
    if (Failed())
        return false;
    if (token_.Text != QLatin1String(word) || token_.Kind == TokString) {
        ScriptError(error);
        return false;
    }
    return true;
}

void TScriptInterpreter::Assignment()
{
    const QString name = token_.Text;
    GetToken();
    if (Failed())
        return;
    if (!IsSign(":=")) {
        ScriptError(ErrAssignExpected);
        return;
    }
    GetToken();
    const double value = ReadExpression();
    if (!Failed())
        SetVariable(name, value);
}

void TScriptInterpreter::Writeln()
{
    GetToken();
    if (!IsSign("(")) {
        ScriptError(ErrOpenParen);
        return;
    }
    QString line;
    for (;;) {
        GetToken();
        if (Failed())
            return;
        if (IsSign(")"))
            break;
        if (IsSign(";")) {
            ScriptError(ErrCloseParen);
            return;
        }
        if (token_.Kind == TokString) {
            line += token_.Text;
        } else if (token_.Kind == TokIdentifier && token_.Text == "RES") {
            line += host_.TakeResultText();
        } else if (token_.Kind == TokIdentifier || token_.Kind == TokInteger || token_.Kind == TokFloat ||
                   token_.Kind == TokFunction || IsSign("-") || IsSign("(")) {
            const double value = ReadExpression();
            if (Failed())
                return;
            line += GeneralText(value, 7);
        }
    }
    host_.WriteMemoLine(line);
    host_.WriteDataLine(line);
}

void TScriptInterpreter::If()
{
    GetToken();
    const double left = ReadExpression();
    if (Failed())
        return;
    GetToken();
    if (Failed())
        return;
    const QString op = token_.Kind == TokSign ? token_.Text : QString();
    if (op != "<" && op != ">" && op != "=" && op != "<>") {
        ScriptError(ErrCompareExpected);
        return;
    }
    GetToken();
    const double right = ReadExpression();
    if (Failed())
        return;
    const bool holds = (op == "<" && left < right) || (op == ">" && left > right) || (op == "=" && left == right) ||
                       (op == "<>" && left != right);
    if (holds) {
        if (!ExpectWord("THEN", ErrEndExpected))
            return;
        // The statement behind THEN runs as the next one.
        token_.Kind = TokLabel;
    } else {
        SkipStatement(ErrEndOfTextInIf);
        token_.Kind = TokComment;
    }
}

void TScriptInterpreter::Goto()
{
    GetToken();
    if (Failed())
        return;
    const int label = LabelIndex(token_.Text);
    if (label < 0 || token_.Kind == TokString) {
        ScriptError(ErrUndefinedLabel);
        return;
    }
    pos_ = labelPositions_[label];
    token_.Kind = TokComment;
}

void TScriptInterpreter::For()
{
    GetToken();
    if (Failed())
        return;
    if (token_.Kind != TokIdentifier) {
        ScriptError(ErrVariableExpected);
        return;
    }
    const QString name = token_.Text;
    GetToken();
    if (!Failed() && !IsSign(":="))
        ScriptError(ErrAssignExpected);
    if (Failed())
        return;
    GetToken();
    const double first = ReadExpression();
    if (Failed())
        return;
    SetVariable(name, first);
    if (Failed() || !ExpectWord("TO", ErrToExpected))
        return;
    GetToken();
    const double last = ReadExpression();
    if (Failed() || !ExpectWord("DO", ErrDoExpected) || !ExpectWord("BEGIN", ErrBeginExpected))
        return;
    if (OpenLoops() >= MaxOpenLoops) {
        ScriptError(ErrTooManyLoops);
        return;
    }
    loops_.push_back({pos_, name, last + 0.5});
    token_.Kind = TokComment;
}

void TScriptInterpreter::End()
{
    if (!loops_.empty()) {
        if (token_.Text == "END.") {
            ScriptError(ErrNoPointExpected);
            return;
        }
        TForLoop& loop = loops_.back();
        const double next = GetVariable(loop.Variable) + 1.0;
        if (Failed())
            return;
        SetVariable(loop.Variable, next);
        if (Failed())
            return;
        if (next > loop.Limit) {
            loops_.pop_back(); // a ";" follows
        } else {
            pos_ = loop.Position;
            token_.Kind = TokComment;
        }
        return;
    }
    if (token_.Text != "END.") {
        ScriptError(ErrEndExpected);
        return;
    }
    if (ExecDepth == 0) {
        Running = false;
        return;
    }
    // Back to the caller: its text, its labels, its loops, behind its EXECUTE.
    TExecStack caller = std::move(execStack_.back());
    execStack_.pop_back();
    --ExecDepth;
    if (!LoadProgram(caller.File))
        return;
    pos_ = caller.ReturnPosition;
    loops_ = std::move(caller.Loops);
    token_.Kind = TokComment;
}

void TScriptInterpreter::Execute()
{
    GetToken();
    if (Failed())
        return;
    if (!IsSign("(")) {
        ScriptError(ErrOpenParen);
        return;
    }
    GetToken();
    if (Failed())
        return;
    if (token_.Kind != TokString) {
        ScriptError(ErrQuoteExpected);
        return;
    }
    QString name = token_.Text;
    GetToken();
    if (!Failed() && !IsSign(")"))
        ScriptError(ErrCloseParen);
    if (Failed())
        return;
    GetToken();
    if (!Failed() && !IsSign(";"))
        ScriptError(ErrSemicolonExpected);
    if (Failed())
        return;
    if (ExecDepth >= MaxExecDepth) {
        ScriptError(ErrTooManyExecutes);
        return;
    }
    if (!name.contains('.'))
        name += ".scr";
    // The file is looked for before anything is left: a missing one is
    // reported at the caller's EXECUTE, in the caller's name.
    if (!QFileInfo(ScriptFolder + name).isFile()) {
        ScriptError(ErrFileMissing);
        return;
    }
    execStack_.push_back({pos_, CurrentFile, std::move(loops_)});
    loops_.clear();
    ++ExecDepth;
    if (!LoadProgram(ScriptFolder + name))
        return;
    token_.Kind = TokComment;
}

} // namespace qvt
