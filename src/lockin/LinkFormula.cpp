#include "lockin/LinkFormula.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/LockInRequests.h"

#include <cmath>

namespace qvt {

namespace {

constexpr QChar EndMark(u'\0');

bool IsOperator(QChar c)
{
    return c == '(' || c == ')' || c == '+' || c == '-' || c == '*' || c == '/' || c == '^';
}

struct FormulaError {
    QString Message;
};

// Recursive descent over the formula; each rule leaves the token after its
// phrase current.
class Parser {
public:
    Parser(const QString& text, const TLinkVariables& vars) : text_(text), vars_(vars) { Next(); }

    long double Sum()
    {
        Enter();
        long double v = Product();
        while (token_ == "+" || token_ == "-") {
            const bool minus = token_ == "-";
            Next();
            if (AtEnd())
                throw FormulaError{"Operand missing!"};
            const long double r = Product();
            v = minus ? v - r : v + r;
        }
        --depth_;
        return v;
    }

private:
    long double Product()
    {
        long double v = Power();
        while (token_ == "*" || token_ == "/") {
            const bool divide = token_ == "/";
            Next();
            if (AtEnd())
                throw FormulaError{"Operand missing!"};
            const long double r = Power();
            if (divide && r == 0)
                throw FormulaError{"Division through 0!"};
            v = divide ? v / r : v * r;
        }
        return v;
    }

    long double Power()
    {
        Enter();
        const long double base = Signed();
        long double v = base;
        if (token_ == "^") {
            Next();
            v = std::pow(base, Power());
        }
        --depth_;
        return v;
    }

    long double Signed()
    {
        if (token_ == "-") {
            Next();
            return -Factor();
        }
        if (token_ == "+")
            Next();
        return Factor();
    }

    long double Factor()
    {
        if (token_ == "(") {
            Next();
            const long double v = Sum();
            if (token_ != ")")
                throw FormulaError{") expected"};
            Next();
            return v;
        }
        return Operand();
    }

    long double Operand()
    {
        if (AtEnd())
            throw FormulaError{"Operand missing!"};
        const QString name = token_;
        long double v = 0;
        if (name[0].isDigit()) {
            double number = 0;
            if (!ParseNumber(name, number))
                throw FormulaError{"Unknown Variable: " + name};
            v = static_cast<long double>(number) * MultiLockInWordScale;
        } else if (name == "F0" || name == "FR") {
            v = vars_.F0;
        } else if (name == "F1") {
            v = vars_.F1;
        } else if (name == "F2" || name == "FM1") {
            v = vars_.F2;
        } else if (name == "F3" || name == "FM2") {
            v = vars_.F3;
        } else {
            throw FormulaError{"Unknown Variable: " + name};
        }
        Next();
        return v;
    }

    void Enter()
    {
        if (++depth_ > LinkFormulaMaxDepth)
            throw FormulaError{"Out of Range"};
    }

    bool AtEnd() const { return token_.size() == 1 && token_[0] == EndMark; }

    void Next()
    {
        const qsizetype n = text_.size();
        while (pos_ < n && text_[pos_] == ' ')
            ++pos_;
        if (pos_ >= n) {
            token_ = QString(EndMark);
            return;
        }
        const QChar c = text_[pos_];
        if (IsOperator(c)) {
            token_ = QString(c);
            ++pos_;
            return;
        }
        const qsizetype start = pos_;
        if (c.isDigit()) {
            while (pos_ < n && (text_[pos_].isDigit() || text_[pos_] == '.'))
                ++pos_;
            if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
                pos_ += 2; // the letter and its sign or first digit
                while (pos_ < n && text_[pos_].isDigit())
                    ++pos_;
                pos_ = std::min(pos_, n);
            }
        } else {
            while (pos_ < n && !IsOperator(text_[pos_]))
                ++pos_;
        }
        token_ = text_.mid(start, pos_ - start).toUpper();
    }

    const QString& text_;
    const TLinkVariables& vars_;
    qsizetype pos_ = 0;
    QString token_;
    int depth_ = 0;
};

// Range-checked before rounding, so a huge or undefined value never reaches
// the integer conversion.
TLinkResult ToWord(long double value)
{
    TLinkResult r;
    if (!std::isfinite(value) || value < -0.5L || value >= 4294967295.5L) {
        r.Error = "Out of Range";
        return r;
    }
    r.Word = static_cast<int64_t>(Round(static_cast<double>(value)));
    r.Ok = true;
    return r;
}

} // namespace

TLinkResult EvalLinkFormula(const QString& text, const TLinkVariables& vars)
{
    const qsizetype colon = text.indexOf(':');
    const QString formula = colon >= 0 ? text.mid(colon + 1) : text;
    try {
        Parser parser(formula, vars);
        return ToWord(parser.Sum());
    } catch (const FormulaError& e) {
        TLinkResult r;
        r.Error = e.Message;
        return r;
    }
}

bool MultiLockInFrequencyFits(double hz)
{
    return hz == 0.0 || LockInFrequencyFits(hz, false);
}

TLinkResult EvalLinkFrequency(const QString& boxText, double typedHz, const TLinkVariables& vars)
{
    if (boxText.isEmpty()) {
        TLinkResult r;
        r.Ok = true;
        return r;
    }
    if (boxText == "no link") {
        if (!MultiLockInFrequencyFits(typedHz)) {
            TLinkResult r;
            r.Error = "Out of Range";
            return r;
        }
        return ToWord(static_cast<long double>(typedHz) * MultiLockInWordScale);
    }
    return EvalLinkFormula(boxText, vars);
}

// ---- presets ------------------------------------------------------------------------

namespace {
const QString PresetSection = "MultiLockIn";
}

QStringList LoadLinkPresets(const TQVTIniFile& ini, const QString& box, int& selected)
{
    QStringList items{"no link"};
    const int count = std::clamp(ini.ReadInteger(PresetSection, box + "Count", 1), 1, LinkPresetMaxItems);
    for (int i = 1; i < count; ++i)
        items << ini.ReadString(PresetSection, box + QString::number(i), "no link");
    selected = ini.ReadInteger(PresetSection, box, 0);
    if (selected < 0 || selected >= items.size())
        selected = 0;
    return items;
}

bool StoreLinkPreset(TQVTIniFile& ini, const QString& box, QStringList& items, const QString& text, int& selected)
{
    if (text.isEmpty() || items.size() >= LinkPresetMaxItems)
        return false;
    items << text;
    selected = static_cast<int>(items.size()) - 1;
    ini.WriteInteger(PresetSection, box, selected);
    ini.WriteString(PresetSection, box + QString::number(selected), text);
    ini.WriteInteger(PresetSection, box + "Count", static_cast<int>(items.size()));
    return true;
}

bool DeleteLinkPreset(TQVTIniFile& ini, const QString& box, QStringList& items, int index, int& selected)
{
    if (index <= 0 || index >= items.size())
        return false;
    items.removeAt(index);
    const int n = static_cast<int>(items.size());
    for (int i = 1; i < n; ++i)
        ini.WriteString(PresetSection, box + QString::number(i), items[i]);
    ini.DeleteKey(PresetSection, box + QString::number(n));
    selected = index - 1;
    ini.WriteInteger(PresetSection, box, selected);
    ini.WriteInteger(PresetSection, box + "Count", n);
    return true;
}

} // namespace qvt
