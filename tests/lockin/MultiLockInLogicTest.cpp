#include "core/IniFile.h"
#include "lockin/LinkFormula.h"
#include "lockin/MultiLockInWords.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>
#include <vector>

namespace qvt {
namespace {

TEST(LinkFormula, OperatorsVariablesAndLiteralsFollowTheWordScale)
{
    TLinkVariables v;
    v.F0 = 100000.0L * MultiLockInWordScale;
    v.F1 = 1000.0L * MultiLockInWordScale;
    auto eval = [&v](const QString& t) { return EvalLinkFormula(t, v); };

    EXPECT_EQ(eval("F1+F1").Word, std::llround(2000.0 * MultiLockInWordScale));
    // A literal is a frequency, also as a factor: F1*2 multiplies by 858.99.
    TLinkVariables one;
    one.F1 = 10;
    EXPECT_EQ(EvalLinkFormula("F1*2", one).Word, 8590);
    EXPECT_EQ(eval("F1*2/2").Word, std::llround(1000.0 * MultiLockInWordScale));
    EXPECT_EQ(eval("fr-1000").Word, std::llround(99000.0 * MultiLockInWordScale));
    EXPECT_EQ(eval("F0-1000").Word, eval("fr-1000").Word);
    EXPECT_EQ(eval("F0 - 1000").Error, "Unknown Variable: F0 "); // the blank belongs to the name
    EXPECT_EQ(eval("F0- 1000").Word, eval("F0-1000").Word);      // after an operator it is skipped
    EXPECT_EQ(eval("-(-F1)").Word, eval("F1").Word);
    EXPECT_EQ(eval("upper sideband:F0+F1").Word, std::llround(101000.0 * MultiLockInWordScale));
    EXPECT_EQ(eval("1e3").Word, std::llround(1000.0 * MultiLockInWordScale));
    EXPECT_EQ(eval("1E+3").Word, eval("1e3").Word);
    EXPECT_FALSE(eval("1e").Ok);
    EXPECT_EQ(eval("2^3").Error, "Out of Range");     // 858.99^1288.49
    EXPECT_EQ(eval("F1)junk").Word, eval("F1").Word); // text after the sum is ignored

    EXPECT_EQ(eval("F1+").Error, "Operand missing!");
    EXPECT_EQ(eval("F1/").Error, "Operand missing!");
    EXPECT_EQ(eval("F1/(F1-F1)").Error, "Division through 0!");
    EXPECT_EQ(eval("(F1").Error, ") expected");
    EXPECT_EQ(eval("G1").Error, "Unknown Variable: G1");
    EXPECT_EQ(eval("1.2.3").Error, "Unknown Variable: 1.2.3");
    EXPECT_EQ(eval("F0-200000").Error, "Out of Range"); // negative word
    TLinkVariables top;
    top.F0 = 4294967296.0L; // 2^32 itself is one beyond the last word
    EXPECT_EQ(EvalLinkFormula("F0", top).Error, "Out of Range");
    top.F0 = 4294967295.0L;
    EXPECT_EQ(EvalLinkFormula("F0", top).Word, 4294967295LL);
}

TEST(LinkFormula, DeepNestingAndHugeValuesAreRefusedNotOverflowed)
{
    const TLinkVariables v;
    EXPECT_TRUE(EvalLinkFormula(QString(50, '(') + "1" + QString(50, ')'), v).Ok);
    EXPECT_FALSE(EvalLinkFormula(QString(10000, '('), v).Ok);
    QString powers;
    for (int i = 0; i < 5000; ++i)
        powers += "1^";
    EXPECT_FALSE(EvalLinkFormula(powers + "1", v).Ok);
    EXPECT_EQ(EvalLinkFormula("1e300*1e300", v).Error, "Out of Range");
    EXPECT_FALSE(EvalLinkFormula("1e4000", v).Ok);
}

TEST(LinkFormula, NoLinkTakesTheTypedFrequencyBelowTenMegahertz)
{
    const TLinkVariables v;
    EXPECT_EQ(EvalLinkFrequency("no link", 1.0, v).Word, 429);
    EXPECT_EQ(EvalLinkFrequency("no link", 0.0, v).Word, 0);
    EXPECT_EQ(EvalLinkFrequency("no link", 1.0e7, v).Error, "Out of Range");
    EXPECT_EQ(EvalLinkFrequency("no link", -1.0, v).Error, "Out of Range");
    EXPECT_FALSE(EvalLinkFrequency("no link", std::nan(""), v).Ok);
    EXPECT_TRUE(EvalLinkFrequency("", 5.0, v).Ok);
    EXPECT_EQ(EvalLinkFrequency("", 5.0, v).Word, 0);
}

TEST(LinkFormula, PassesSettleChainsAndAFailureKeepsTheLaterWords)
{
    const double typed[3] = {50000.0, 0.0, 0.0};
    const int32_t previous[3] = {1, 2, 3};
    std::vector<std::pair<int, int32_t>> sent;
    auto write = [&sent](int k, int32_t w) { sent.emplace_back(k, w); };

    // F2 = F1 + 1000 Hz and F3 = F2 + 1000 Hz, evaluated in order.
    const QString chain[3] = {"no link", "F1+1000", "F2+1000"};
    TFrequencyPasses r = RunFrequencyPasses(chain, typed, 0, previous, write);
    EXPECT_EQ(r.Passes, 3);
    EXPECT_EQ(r.Words[1], std::llround(51000.0 * MultiLockInWordScale));
    EXPECT_EQ(r.Words[2], std::llround(52000.0 * MultiLockInWordScale));
    EXPECT_EQ(sent.size(), 9u);

    // A reference to a later oscillator settles in the second pass.
    sent.clear();
    const QString forward[3] = {"F3+2000", "no link", "no link"};
    const double typed2[3] = {0.0, 0.0, 60000.0};
    r = RunFrequencyPasses(forward, typed2, 0, previous, write);
    EXPECT_EQ(r.Words[0], std::llround(62000.0 * MultiLockInWordScale));

    // A failing LIA 2 ends the pass: LIA 3 is never written, keeps its word.
    sent.clear();
    const QString failing[3] = {"no link", "F1/0", "F1"};
    r = RunFrequencyPasses(failing, typed, 0, previous, write);
    EXPECT_EQ(r.Passes, 1);
    EXPECT_TRUE(r.Failed[1]);
    EXPECT_EQ(r.Words[2], 3);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 0);
}

TEST(LinkFormula, PresetsStoreAndDeleteWithoutTouchingKeyZero)
{
    QTemporaryDir dir;
    TQVTIniFile ini(dir.filePath("m.ini"));
    ini.WriteInteger("MultiLockIn", "ComboBox10", 0); // LIA 1's selection
    int sel = -1;
    QStringList items = LoadLinkPresets(ini, "ComboBox1", sel);
    ASSERT_EQ(items, QStringList{"no link"});
    for (int i = 1; i < LinkPresetMaxItems; ++i)
        ASSERT_TRUE(StoreLinkPreset(ini, "ComboBox1", items, QString("F0+%1").arg(i), sel));
    EXPECT_FALSE(StoreLinkPreset(ini, "ComboBox1", items, "F1", sel)); // eight items is full
    EXPECT_EQ(sel, 7);

    ASSERT_TRUE(DeleteLinkPreset(ini, "ComboBox1", items, 2, sel));
    EXPECT_EQ(ini.ReadInteger("MultiLockIn", "ComboBox10", -1), 0);
    EXPECT_EQ(ini.ReadInteger("MultiLockIn", "ComboBox1Count", 0), 7);
    EXPECT_FALSE(ini.ValueExists("MultiLockIn", "ComboBox17"));
    EXPECT_EQ(sel, 1);
    int again = -1;
    const QStringList reloaded = LoadLinkPresets(ini, "ComboBox1", again);
    EXPECT_EQ(reloaded, items);
    EXPECT_EQ(reloaded[2], "F0+3");
    EXPECT_EQ(again, 1);
    EXPECT_FALSE(DeleteLinkPreset(ini, "ComboBox1", items, 0, sel)); // "no link" stays
}

TEST(MultiLockInWords, PhaseAmplitudeLaserAndFilterArithmetic)
{
    EXPECT_EQ(MultiLockInPhaseWord(360.0).Word, 2047);
    EXPECT_NEAR(MultiLockInPhaseWord(360.0).Degrees, 360.0, 1e-9);
    EXPECT_EQ(MultiLockInPhaseWord(-90.0).Word, 1536);
    EXPECT_NEAR(MultiLockInPhaseWord(-90.0).Degrees, 270.13, 0.005);
    EXPECT_FALSE(MultiLockInPhaseWord(1e300).Ok);
    EXPECT_EQ(MultiLockInPhaseRegister(2047, 1536, 1), static_cast<int32_t>(1023u | (1536u << 10) | (1u << 21)));
    EXPECT_EQ(MultiLockInPhaseRegister(0, 0, 2047), static_cast<int32_t>(0xFFE00000u));

    // 150 V is treated as 100 V; the finest range that holds the word wins.
    TLia1Amplitude a = MultiLockInLia1Amplitude(150.0, 1000.0, 100.0, 10.0);
    EXPECT_EQ(a.Volts, 100.0);
    EXPECT_EQ(a.RangeBits, 0x100);
    EXPECT_EQ(a.Word, 10000);
    a = MultiLockInLia1Amplitude(1.0, 1000.0, 100.0, 10.0);
    EXPECT_EQ(a.RangeBits, 0x300);
    EXPECT_EQ(a.Word, 1000);
    a = MultiLockInLia1Amplitude(50.0, 1.0e5, 1.0e4, 2000.0); // all too small
    EXPECT_EQ(a.RangeBits, 0);
    EXPECT_EQ(a.Word, 65535);
    EXPECT_NEAR(a.Volts, 65535.0 / 2000.0, 1e-12);
    EXPECT_EQ(MultiLockInLia1Amplitude(-3.0, 1, 1, 1).Word, 0);
    EXPECT_EQ(MultiLockInAmplitudeRegister(0x1234, 0x15678), 0x12345678);
    EXPECT_EQ(MultiLockInLiaWord(100.0, 1000.0).Word, 65535);
    EXPECT_NEAR(MultiLockInLiaWord(100.0, 1000.0).Volts, 65.535, 1e-12);
    EXPECT_EQ(MultiLockInLiaWord(-1.0, 1000.0).Word, 0);

    EXPECT_EQ(LaserConfigRegister(5, 2, 200, 3), (3 << 17) | (127 << 9) | (2 << 2) | 1);
    // A negative duty is clamped, the other half still lands.
    EXPECT_EQ(LaserDutyRegister(-5, 50), 50 << 16);
    EXPECT_EQ(LaserDutyRegister(70000, 0), 65535);

    bool supported = false;
    EXPECT_EQ(MultiLockInSettleTime(14, &supported), 5.0); // "5 s"
    EXPECT_TRUE(supported);
    EXPECT_STREQ(MultiLockInFilterText(14), "5 s");
    EXPECT_EQ(MultiLockInSettleTime(10), 0.2);
    EXPECT_STREQ(MultiLockInFilterText(10), "200 ms");
    EXPECT_EQ(MultiLockInSettleTime(15, &supported), 0.001);
    EXPECT_FALSE(supported);

    EXPECT_EQ(MultiLockInInputBits(1, 0, 1), 0x0A000000);
    EXPECT_EQ(ClampNumbersChannel(99), 7);
    EXPECT_EQ(ClampNumbersChannel(-3), 0);
}

} // namespace
} // namespace qvt
