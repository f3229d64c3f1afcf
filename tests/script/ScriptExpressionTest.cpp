// Expressions and functions of the script language: precedence, signs,
// variables and the domain errors, each through a whole (tiny) script.

#include "script/ScriptTestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;
using namespace qvt::test;

namespace {

struct TEval {
    double Value = 0.0;
    int Error = 0;
    QStringList Memo;
};

TEval Eval(const QByteArray& expression)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    TEval r;
    r.Error = RunScript(script, "BEGIN\r\nV := " + expression + ";\r\nEND.");
    r.Value = script.Variables['V' - 'A'];
    r.Memo = host.Memo;
    return r;
}

double Value(const QByteArray& expression)
{
    const TEval r = Eval(expression);
    EXPECT_EQ(r.Error, 0) << expression.constData() << " " << r.Memo.join("|").toStdString();
    return r.Value;
}

int Error(const QByteArray& expression)
{
    return Eval(expression).Error;
}

} // namespace

TEST(ScriptExpression, PowerIsRightAssociativeAndTheSignBindsTighter)
{
    EXPECT_EQ(Value("2^3^2"), 512.0);
    EXPECT_EQ(Value("-2^2"), 4.0);
    EXPECT_EQ(Value("2*-3"), -6.0);
    EXPECT_EQ(Value("2*+3"), 6.0);
    EXPECT_EQ(Value("2^-1"), 0.5);
    EXPECT_EQ(Value("1+2*3"), 7.0);
    EXPECT_EQ(Value("(1+2)*3"), 9.0);
    EXPECT_EQ(Value("10-4-3"), 3.0);
    EXPECT_EQ(Value("64/4/2"), 8.0);
    EXPECT_EQ(Value("(+3)"), 3.0); // only the whole expression may not start with "+"
    EXPECT_EQ(Value("1E5"), 100000.0);
    EXPECT_EQ(Value("2.5e-1"), 0.25);
}

TEST(ScriptExpression, StartsOnlyWithAValueAFunctionAParenthesisOrMinus)
{
    EXPECT_EQ(Error("+3"), ErrVarOrNumber);
    EXPECT_EQ(Error("*3"), ErrVarOrNumber);
    EXPECT_EQ(Error("'text'"), ErrVarOrNumber);
    EXPECT_EQ(Error(""), ErrVarOrNumber);
    EXPECT_EQ(Error("2*"), ErrVarOrNumber);
}

TEST(ScriptExpression, ParenthesesAndDivisionErrors)
{
    EXPECT_EQ(Error("(1+2"), ErrCloseParen);
    EXPECT_EQ(Error("SIN 1"), ErrOpenParen);
    EXPECT_EQ(Error("SIN(1"), ErrCloseParen);
    EXPECT_EQ(Error("ARCTAN2(1)"), ErrCloseParen);
    EXPECT_EQ(Error("1/0"), ErrDivByZero);
    EXPECT_EQ(Error("1/(2-2)"), ErrDivByZero);
    EXPECT_EQ(Error("1/0.0"), ErrDivByZero);
    EXPECT_NEAR(Value("1/1E-300"), 1e300, 1e285);
}

TEST(ScriptExpression, OverflowAndFractionalPowersOfNegativesAreMathErrors)
{
    EXPECT_EQ(Error("(-8)^(1/3)"), ErrMath);
    EXPECT_EQ(Value("(-2)^3"), -8.0);
    EXPECT_EQ(Error("10^400"), ErrMath);
    EXPECT_EQ(Error("1E300*1E300"), ErrMath);
    EXPECT_EQ(Error("1E308+1E308"), ErrMath);
    EXPECT_EQ(Error("-1E308-1E308"), ErrMath);
    EXPECT_EQ(Error("1E300/1E-300"), ErrMath);
    EXPECT_EQ(Error("0^-1"), ErrMath);
}

TEST(ScriptExpression, EveryFunctionAndItsDomainError)
{
    const double pi = std::numbers::pi;
    EXPECT_NEAR(Value("ARCCOTH(2)"), std::atanh(0.5), 1e-12);
    EXPECT_EQ(Error("ARCCOTH(1)"), ErrMath);
    EXPECT_NEAR(Value("ARCTANH(0.5)"), std::atanh(0.5), 1e-12);
    EXPECT_EQ(Error("ARCTANH(1.5)"), ErrBetweenMinusOneAndOne);
    EXPECT_EQ(Error("ARCTANH(1)"), ErrMath);
    EXPECT_NEAR(Value("ARCSINH(1)"), std::asinh(1.0), 1e-12);
    EXPECT_NEAR(Value("ARCCOSH(2)"), std::acosh(2.0), 1e-12);
    EXPECT_EQ(Error("ARCCOSH(0.5)"), ErrAtLeastOne);
    EXPECT_NEAR(Value("ARCCOT(2)"), std::atan(0.5), 1e-12);
    EXPECT_NEAR(Value("ARCTAN(1)"), pi / 4, 1e-12);
    EXPECT_NEAR(Value("ARCSIN(1)"), pi / 2, 1e-12);
    EXPECT_NEAR(Value("ARCCOS(-1)"), pi, 1e-12);
    EXPECT_EQ(Error("ARCSIN(-1.1)"), ErrBetweenMinusOneAndOne);
    EXPECT_EQ(Error("ARCCOS(2)"), ErrBetweenMinusOneAndOne);
    EXPECT_NEAR(Value("ARCTAN2(1, -1)"), 3 * pi / 4, 1e-12);
    EXPECT_EQ(Error("ARCTAN2(1, 0)"), ErrArcTan2);
    EXPECT_EQ(Error("ARCTAN2(1E20, 1)"), ErrArcTan2);
    EXPECT_NEAR(Value("COTH(1)"), 1 / std::tanh(1.0), 1e-12);
    EXPECT_EQ(Error("COTH(0)"), ErrMath);
    EXPECT_NEAR(Value("TANH(1)"), std::tanh(1.0), 1e-12);
    EXPECT_NEAR(Value("SINH(1)"), std::sinh(1.0), 1e-12);
    EXPECT_EQ(Error("SINH(1000)"), ErrMath);
    EXPECT_NEAR(Value("COSH(1)"), std::cosh(1.0), 1e-12);
    EXPECT_EQ(Error("COSH(-1000)"), ErrMath);
    EXPECT_NEAR(Value("COT(1)"), 1 / std::tan(1.0), 1e-12);
    EXPECT_EQ(Error("COT(0)"), ErrMath);
    EXPECT_NEAR(Value("TAN(1)"), std::tan(1.0), 1e-12);
    EXPECT_NEAR(Value("SIN(1)"), std::sin(1.0), 1e-12);
    EXPECT_NEAR(Value("COS(1)"), std::cos(1.0), 1e-12);
    EXPECT_EQ(Value("SGN(-7)"), -1.0);
    EXPECT_EQ(Value("SGN(0)"), 0.0);
    EXPECT_EQ(Value("ABS(-7)"), 7.0);
    EXPECT_NEAR(Value("LN(2)"), std::log(2.0), 1e-12);
    EXPECT_EQ(Value("LOG(1000)"), 3.0);
    EXPECT_EQ(Error("LOG(0)"), ErrNotPositive);
    EXPECT_EQ(Error("LN(-1)"), ErrNotPositive);
    EXPECT_EQ(Value("SQRT(16)"), 4.0);
    EXPECT_EQ(Error("SQRT(-1)"), ErrNegative);
    EXPECT_EQ(Value("SQR(-3)"), 9.0);
    EXPECT_EQ(Error("SQR(1E200)"), ErrMath);
    EXPECT_EQ(Value("sqrt(sqr(3)+sqr(4))"), 5.0); // case does not matter
}

TEST(ScriptExpression, VariablesAreOneLetterWhateverTheCase)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    EXPECT_EQ(RunScript(script, "BEGIN x := 2; X := X + 1; y := x * 10; END."), 0);
    EXPECT_EQ(script.Variables['X' - 'A'], 3.0);
    EXPECT_EQ(script.Variables['Y' - 'A'], 30.0);
    // They keep their values into the next run.
    EXPECT_EQ(RunScript(script, "BEGIN X := X + 1; END."), 0);
    EXPECT_EQ(script.Variables['X' - 'A'], 4.0);

    EXPECT_EQ(Error("AB + 1"), ErrUnknownFunction);
    EXPECT_EQ(Error("HOPG"), ErrUnknownFunction); // assigned, never read
    EXPECT_EQ(Error("_ + 1"), ErrUnknownVariable);
    TRecordingScriptHost host2;
    TScriptInterpreter other(host2);
    EXPECT_EQ(RunScript(other, "BEGIN AB := 1; END."), ErrUnknownVariable);
}

TEST(ScriptExpression, CalibrationNamesGoToTheHost)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    EXPECT_EQ(RunScript(script, "BEGIN hopg := 0.246; Au := 2*0.144; USER2 := -1; END."), 0);
    ASSERT_EQ(host.Calibration.size(), 3u);
    EXPECT_EQ(host.Calibration[0].first, "HOPG");
    EXPECT_DOUBLE_EQ(host.Calibration[0].second, 0.246);
    EXPECT_EQ(host.Calibration[1].first, "AU");
    EXPECT_DOUBLE_EQ(host.Calibration[1].second, 0.288);
    EXPECT_EQ(host.Calibration[2].first, "USER2");
}
