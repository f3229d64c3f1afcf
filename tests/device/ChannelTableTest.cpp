#include "device/ChannelTable.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/InOutForm.h"
#include "support/DriverLinkFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace qvt {
namespace {

constexpr int Adc(int n)
{
    return FirstAdcSlot + n - 1;
}
constexpr int Dac(int n)
{
    return n - 1;
}

class ScaleFile {
public:
    explicit ScaleFile(const QByteArray& scaleLines)
    {
        const QString path = dir.WriteFile("main.ini", "[Main]\r\nX=1\r\n[Scale]\r\n" + scaleLines);
        ini = std::make_unique<TQVTIniFile>(path);
    }
    QByteArray Text() const { return dir.ReadFile("main.ini"); }

    test::TempDir dir;
    std::unique_ptr<TQVTIniFile> ini;
};

TEST(ChannelScales, LoadsDefaultsWithoutAScaleSection)
{
    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "missing.ini");
    TChannelTable table;
    EXPECT_TRUE(LoadChannelTable(ini, table).isEmpty());

    for (int n = 1; n <= DacCount; ++n) {
        const TIOScale& s = table[Dac(n)];
        EXPECT_EQ(s.Address, 1 - n) << n;
        EXPECT_EQ(s.Label, "unknown");
        EXPECT_EQ(s.UnitName, QString("DAC%1").arg(n).left(4));
    }
    for (int n = 1; n <= AdcCount; ++n)
        EXPECT_EQ(table[Adc(n)].Address, 2) << n;
    for (const TIOScale& s : table) {
        EXPECT_EQ(s.Factor, 1.0f);
        EXPECT_FALSE(s.FactorNegative);
        EXPECT_EQ(s.MinRaw, -32000);
        EXPECT_EQ(s.MaxRaw, 32000);
        EXPECT_EQ(s.Offset, 0);
        EXPECT_FALSE(s.Invers || s.Listed || s.Fast);
    }
    EXPECT_EQ(table[Dac(10)].UnitName, "DAC1");
    EXPECT_EQ(table[Dac(19)].UnitName, "DAC1");
    EXPECT_EQ(table[Adc(15)].UnitName, "ADC1");
    EXPECT_EQ(table[Adc(7)].UnitName, "ADC7");
    EXPECT_EQ(ChannelName(58), "ADC33");
    EXPECT_TRUE(ChannelName(59).isEmpty());
    EXPECT_TRUE(ChannelName(-1).isEmpty());
}

TEST(ChannelScales, ReadsFactorSignOffsetLimitsAndTexts)
{
    ScaleFile file("DAC3Edit2=-0.5\r\n"
                   "DAC2Edit2=0.0003\r\nDAC2Edit5=0.1\r\n"
                   "DAC4Edit2=1e-50\r\n" // 0 in single precision
                   "DAC5Edit2=1e300\r\n" // infinite in single precision
                   "DAC6Edit2=2,5\r\nDAC6Edit3=-2147483648\r\nDAC6Edit4=1000.5\r\n"
                   "DAC7Label2=Z piezo extended\r\nDAC7Edit1=nmXX\r\nDAC7CheckBox2=1\r\n"
                   "DAC7CheckBox1=1\r\nDAC7CheckBoxFast=1\r\nDAC7Edit0=-40\r\n"
                   "ADC1Edit2=0\r\n");
    TChannelTable table;
    EXPECT_TRUE(LoadChannelTable(*file.ini, table).isEmpty());

    EXPECT_EQ(table[Dac(3)].Factor, 0.5f);
    EXPECT_TRUE(table[Dac(3)].FactorNegative);
    EXPECT_EQ(table[Dac(2)].Offset, 333);
    EXPECT_EQ(table[Dac(4)].Factor, 1.0f);
    EXPECT_FALSE(table[Dac(4)].FactorNegative);
    EXPECT_EQ(table[Dac(5)].Factor, 1.0f);
    EXPECT_EQ(table[Dac(6)].Factor, 2.5f);
    EXPECT_EQ(table[Dac(6)].MinRaw, -2147483647);
    EXPECT_EQ(table[Dac(6)].MaxRaw, 1000); // half to even
    EXPECT_EQ(table[Adc(1)].Factor, 1.0f);

    const TIOScale& d7 = table[Dac(7)];
    EXPECT_EQ(d7.Label, "Z piezo exte");
    EXPECT_EQ(d7.UnitName, "nmXX");
    EXPECT_EQ(d7.Address, -40);
    EXPECT_TRUE(d7.Invers && d7.Listed && d7.Fast);

    // A reload starts each channel afresh.
    file.ini->WriteFloat("Scale", "DAC3Edit2", 0.5);
    LoadChannelTable(*file.ini, table);
    EXPECT_FALSE(table[Dac(3)].FactorNegative);

    TIOScale copy = d7;
    EXPECT_EQ(copy.Label, d7.Label);
    EXPECT_EQ(copy.Address, -40);
    EXPECT_DOUBLE_EQ(table[Dac(2)].ToPhys(-333 + 1000), 1000 * double(0.0003f));
    EXPECT_EQ(table[Dac(2)].ToRaw(0.3), Round(0.3 / double(0.0003f) - 333));
}

TEST(ChannelScales, MigratesShowInvIntoANegativeFactorOnce)
{
    ScaleFile file("ADC4Edit2=2\r\nADC4ShowInv=1\r\nADC5ShowInv=1\r\n");
    TChannelTable table;
    EXPECT_TRUE(LoadChannelTable(*file.ini, table).isEmpty());
    EXPECT_EQ(table[Adc(4)].Factor, 2.0f);
    EXPECT_TRUE(table[Adc(4)].FactorNegative);
    EXPECT_EQ(file.ini->ReadFloat("Scale", "ADC4Edit2", 0), -2.0);
    EXPECT_FALSE(file.ini->ValueExists("Scale", "ADC4ShowInv"));
    // No factor in the file: the factor taken is 1, so -1 is written.
    EXPECT_EQ(file.ini->ReadFloat("Scale", "ADC5Edit2", 0), -1.0);
    EXPECT_FALSE(file.ini->ValueExists("Scale", "ADC5ShowInv"));

    const QByteArray migrated = file.Text();
    TChannelTable again;
    EXPECT_TRUE(LoadChannelTable(*file.ini, again).isEmpty());
    EXPECT_EQ(again[Adc(4)].Factor, 2.0f);
    EXPECT_TRUE(again[Adc(4)].FactorNegative);
    EXPECT_TRUE(again[Adc(5)].FactorNegative);
    EXPECT_EQ(file.Text(), migrated);
}

TEST(ChannelScales, NamesEveryBadChannelAndLoadsTheRest)
{
    ScaleFile file("DAC5Edit4=3e9\r\n" // limit beyond 32 bits
                   "DAC6Edit5=3e9\r\n" // offset beyond 32 bits
                   "ADC7Label2=Seven\r\nADC7Edit2=4\r\nADC7Edit3=abc\r\nADC7Edit1=pA\r\n"
                   "ADC8Label2=Eight\r\nADC33Edit1=nA\r\nADC33Edit2=0.25\r\n");
    TChannelTable table;
    EXPECT_EQ(LoadChannelTable(*file.ini, table), QStringList({"DAC5", "DAC6", "ADC7"}));
    // The failed channel keeps what was read before the failure.
    EXPECT_EQ(table[Adc(7)].Label, "Seven");
    EXPECT_EQ(table[Adc(7)].Factor, 4.0f);
    EXPECT_NE(table[Adc(7)].UnitName, "pA");
    EXPECT_EQ(table[Adc(8)].Label, "Eight");
    EXPECT_EQ(table[Adc(33)].UnitName, "nA");
    EXPECT_EQ(table[Adc(33)].Factor, 0.25f);
    EXPECT_EQ(ScaleErrorMessage("ADC7"), "Error in ADC7-Scaling!\rUse Setup/Scale to correct the problem!");
}

TEST(ChannelScales, BuildsTheZRangeRecordAndDemodulatorMask)
{
    TChannelTable table;
    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "none.ini");
    LoadChannelTable(ini, table);
    table[Dac(1)].MinRaw = -1000;
    table[Dac(1)].MaxRaw = 20000;
    table[Dac(1)].Invers = true;

    auto bytes = [](const TZRangeRecord& r) { return QByteArray(reinterpret_cast<const char*>(&r), sizeof r); };
    EXPECT_EQ(bytes(BuildZRangeRecord(table)), QByteArray::fromHex("00000000"
                                                                   "18fcffff"
                                                                   "204e0000"
                                                                   "01000000"
                                                                   "02000000"));
    table[Adc(9)].Invers = true; // inverted, but not the Z-range input
    EXPECT_EQ(BuildZRangeRecord(table).Flags, 1);
    table[Adc(9)].Address = 22;
    table[Dac(1)].Invers = false;
    EXPECT_EQ(BuildZRangeRecord(table).Flags, 2);

    EXPECT_EQ(BuildDemodulatorMask(table), 1);
    table[Dac(16)].Listed = true;
    table[Dac(19)].Listed = true;
    EXPECT_EQ(BuildDemodulatorMask(table), 0b1011);
}

TEST(SetDacPhys, LimitsThenInvertsAndRefusesOtherChannels)
{
    TIOScale s;
    s.Factor = 0.5f;
    s.Offset = 10;
    s.MinRaw = -100;
    s.MaxRaw = 200;
    s.Invers = true;

    TDacWrite w = BuildDacWrite(s, 1, 20.0); // raw 40 - 10 = 30
    EXPECT_TRUE(w.Write && w.InRange);
    EXPECT_EQ(w.Register, 33);
    EXPECT_EQ(w.Value, -30);

    // Above the limit an inverted channel gets the limit inverted too.
    w = BuildDacWrite(s, 2, 1000.0);
    EXPECT_TRUE(w.Write);
    EXPECT_FALSE(w.InRange);
    EXPECT_EQ(w.Register, 34);
    EXPECT_EQ(w.Value, -200);
    w = BuildDacWrite(s, 0, -1000.0);
    EXPECT_EQ(w.Value, 100);
    EXPECT_FALSE(w.InRange);

    s.Invers = false;
    EXPECT_EQ(BuildDacWrite(s, 15, 1000.0).Value, 200);
    EXPECT_EQ(BuildDacWrite(s, 15, 1000.0).Register, 47);
    EXPECT_EQ(BuildDacWrite(s, 3, 1e300).Value, 200);

    EXPECT_FALSE(BuildDacWrite(s, 16, 1.0).Write);
    EXPECT_FALSE(BuildDacWrite(s, -1, 1.0).Write);
    EXPECT_FALSE(BuildDacWrite(s, 1, std::nan("")).Write);
}

TEST(ChannelScales, FormatsWithTheSlotUnitAndToleratesBadSlots)
{
    const QString unit = ChannelTable[Adc(1)].UnitName;
    EXPECT_EQ(FormatChannelValue(Adc(1), 1.5f), FormatChannelValueWithUnit(unit, 1.5f));
    EXPECT_EQ(FormatChannelValue(-1, 1.5f), FormatChannelValueWithUnit(QString(), 1.5f));
    EXPECT_EQ(FormatChannelValue(ChannelSlotCount, 1.5f), FormatChannelValueWithUnit(QString(), 1.5f));
    EXPECT_EQ(TimeScale.UnitName, "s");
    EXPECT_EQ(FrequencyScale.Label, "Frequency");
    EXPECT_EQ(FrequencyScale.Factor, 1.0f);
}

using ScalesOnSim = test::DriverLinkFixture;

TEST_F(ScalesOnSim, ReadScalesWarnsPerBadChannelAndSendsRangeAndMask)
{
    ini_->WriteString("Scale", "DAC1Edit3", "-1000");
    ini_->WriteString("Scale", "DAC1Edit4", "20000");
    ini_->WriteString("Scale", "DAC1CheckBox2", "1");
    ini_->WriteString("Scale", "DAC3Edit2", "0.25");
    ini_->WriteString("Scale", "DAC15CheckBox1", "1");
    ini_->WriteString("Scale", "ADC7Edit3", "abc");
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    EXPECT_EQ(boxes_.Texts(), QStringList{"Error in ADC7-Scaling!\rUse Setup/Scale to correct the problem!"});
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Warning});

    const TZRangeRecord z = sim->ZRange();
    EXPECT_EQ(z.MinRaw, -1000);
    EXPECT_EQ(z.MaxRaw, 20000);
    EXPECT_EQ(z.Flags, 1);
    EXPECT_EQ(z.Kind, 2);
    EXPECT_EQ(sim->Feedback().DemodulatorMask, 0b11);
    EXPECT_EQ(XSensitivity, 0.25);

    EXPECT_FALSE(form.ReloadScales());
    ini_->WriteString("Scale", "ADC7Edit3", "-5");
    ini_->WriteString("Scale", "DAC15CheckBox1", "0");
    boxes_.Clear();
    EXPECT_TRUE(form.ReloadScales());
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_EQ(sim->Feedback().DemodulatorMask, 1);
    form.FormDestroy();
}

TEST_F(ScalesOnSim, SetDacPhysKeepsAnInvertedOutputOnTheRequestedSide)
{
    ini_->WriteString("Scale", "DAC2Edit2", "0.001");
    ini_->WriteString("Scale", "DAC2Edit3", "-10000");
    ini_->WriteString("Scale", "DAC2Edit4", "10000");
    ini_->WriteString("Scale", "DAC2CheckBox2", "1");
    auto sim = PlugSim(FastConfig());
    sim->SetDacLimits(2, -10000, 10000);
    TInOutForm form;
    form.FormCreate();

    EXPECT_TRUE(form.SetDacPhys(1, 2.0));
    EXPECT_EQ(sim->Dac(2), -2000);
    EXPECT_FLOAT_EQ(form.ReadChannelPhys(SlotBias), -2.0f); // reads the output side of DAC2
    EXPECT_FALSE(form.SetDacPhys(1, 50.0));
    EXPECT_EQ(sim->Dac(2), -10000);
    EXPECT_FALSE(form.SetDacPhys(1, -50.0));
    EXPECT_EQ(sim->Dac(2), 10000);

    sim->ClearLog();
    EXPECT_FALSE(form.SetDacPhys(16, 1.0));
    EXPECT_EQ(form.ReadChannelPhys(-1), 0.0f);
    EXPECT_EQ(form.ReadChannelPhys(ChannelSlotCount), 0.0f);
    EXPECT_TRUE(sim->RequestLog().empty());
    EXPECT_EQ(sim->GuardViolationCount(), 0);
    form.FormDestroy();
}

} // namespace
} // namespace qvt
