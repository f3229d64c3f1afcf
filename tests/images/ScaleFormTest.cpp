// The channel scale editor on the simulated controller: every confirmed cell
// goes to [Scale] and the scales reload from the file; a cell the reload
// refuses is not kept, and a file that holds one keeps the window open.

#include "support/DriverLinkFixture.h"
#include "support/KeyInput.h"

#include "images/ScaleForm.h"
#include "images/ScaleTable.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLineEdit>

using namespace qvt;
using namespace qvt::test;

namespace {

class ScaleFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        sim_ = PlugSim(FastConfig());
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        window_ = std::make_unique<TScaleForm>(*form_);
        window_->FormCreate();
        sim_->ClearLog();
    }

    void TearDown() override
    {
        window_.reset();
        std::unique_ptr<TDeviceWorkers> none;
        CloseDevice(none, form_);
        DriverLinkFixture::TearDown();
    }

    void Type(QLineEdit* cell, const QString& text)
    {
        cell->setText(text);
        emit cell->textEdited(text); // as typing does: the cell turns silver
        window_->EnterCell(cell);
    }

    int Reloads() const { return CountCode(*sim_, IOCTL_SET_Z_RANGE); }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TScaleForm> window_;
};

} // namespace

TEST(ScaleTable, RowsAndCellsAreNamedByTheirKeys)
{
    EXPECT_EQ(ScaleRowY(0), 7);
    EXPECT_EQ(ScaleRowY(25), 7 + 23 * 25);
    EXPECT_EQ(ScaleRowY(26), 7 + 23 * 26 + 13);
    EXPECT_EQ(ScaleRowCaption(3), "OUT3");
    EXPECT_EQ(ScaleRowCaption(26), "IN0");
    EXPECT_EQ(ScaleCellKey(0, "Edit2"), "DAC1Edit2");
    EXPECT_EQ(ScaleCellKey(58, "CheckBoxFast"), "ADC33CheckBoxFast");
    QString stored;
    EXPECT_TRUE(ScaleNumberToStore("1,5", stored));
    EXPECT_EQ(stored, "1.5");
    EXPECT_FALSE(ScaleNumberToStore("1e40", stored)); // beyond single precision
    EXPECT_FALSE(ScaleNumberToStore("abc", stored));
}

TEST_F(ScaleFormTest, NumberCellsAreWrittenWithAPointAndReloadTheScales)
{
    ASSERT_NE(window_->EditCell(27, "Edit0"), nullptr); // an input's read address
    EXPECT_EQ(window_->EditCell(0, "Edit0"), nullptr);  // outputs have none
    QLineEdit* factor = window_->EditCell(27, "Edit2"); // ADC2
    Type(factor, "1,5");
    EXPECT_EQ(ini_->ReadString("Scale", "ADC2Edit2", ""), "1.5");
    EXPECT_FLOAT_EQ(ChannelTable[27].Factor, 1.5f);
    EXPECT_EQ(TScaleForm::CellColor(factor), "white");
    EXPECT_EQ(Reloads(), 1);

    // A negative factor: the table keeps its size and the sign apart; the cell shows it negative again.
    Type(factor, "-0.25");
    EXPECT_EQ(ini_->ReadString("Scale", "ADC2Edit2", ""), "-0.25");
    EXPECT_FLOAT_EQ(ChannelTable[27].Factor, 0.25f);
    EXPECT_TRUE(ChannelTable[27].FactorNegative);
    window_->RefreshCells();
    EXPECT_EQ(factor->text(), "-0.25");

    Type(factor, "x");
    EXPECT_EQ(TScaleForm::CellColor(factor), "red");
    EXPECT_EQ(ini_->ReadString("Scale", "ADC2Edit2", ""), "-0.25");

    // Listing a channel alone does not reload; the label does not either.
    const int before = Reloads();
    QCheckBox* listed = window_->CheckCell(27, "CheckBox1");
    listed->setChecked(true);
    window_->ClickCheck(listed);
    EXPECT_TRUE(ini_->ReadBool("Scale", "ADC2CheckBox1", false));
    Type(window_->EditCell(27, "Label2"), "Signal");
    EXPECT_EQ(ini_->ReadString("Scale", "ADC2Label2", ""), "Signal");
    EXPECT_EQ(Reloads(), before);
    QCheckBox* invers = window_->CheckCell(27, "CheckBox2");
    invers->setChecked(true);
    window_->ClickCheck(invers);
    EXPECT_TRUE(ChannelTable[27].Invers);
    EXPECT_EQ(Reloads(), before + 1);
}

// A number the table cannot use is refused red where it is typed and never
// stored: the file and the table keep the last good value, so nothing holds
// the window. A file that holds such a value (written outside the window)
// keeps the window open until the cell is put right.
TEST_F(ScaleFormTest, AScaleTheReloadRefusesKeepsTheWindowOpen)
{
    window_->show();
    QLineEdit* max = window_->EditCell(1, "Edit4"); // DAC2's maximum
    const auto typeKeys = [](QLineEdit* cell, const QString& text) {
        cell->selectAll();
        TypeAndEnter(cell, text);
    };
    typeKeys(max, "30000");
    ASSERT_EQ(TScaleForm::CellColor(max), "white");
    ASSERT_EQ(ChannelTable[1].MaxRaw.load(), 30000);
    const QString good = ini_->ReadString("Scale", "DAC2Edit4", "");
    // Seven digits are kept: 2.147484E9 is no 32-bit digit count, 2.147483E9 is.
    for (const QString& bad : {QString("1e20"), QString("2147484000")}) {
        boxes_.Clear();
        typeKeys(max, bad);
        EXPECT_EQ(TScaleForm::CellColor(max), "red") << bad.toStdString();
        EXPECT_TRUE(boxes_.LastText().startsWith("Error in DAC2-Scaling!")) << boxes_.LastText().toStdString();
        EXPECT_EQ(ini_->ReadString("Scale", "DAC2Edit4", ""), good) << bad.toStdString();
        EXPECT_EQ(ChannelTable[1].MaxRaw.load(), 30000) << bad.toStdString();
    }
    boxes_.Clear();
    typeKeys(max, "2147483000");
    EXPECT_EQ(TScaleForm::CellColor(max), "white");
    EXPECT_EQ(ini_->ReadString("Scale", "DAC2Edit4", ""), max->text());
    EXPECT_EQ(ChannelTable[1].MaxRaw.load(), 2147483000);
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_TRUE(window_->close());

    window_->show();
    ini_->WriteString("Scale", "DAC2Edit4", "1e20");
    EXPECT_FALSE(window_->close());
    EXPECT_TRUE(window_->isVisible());
    typeKeys(max, "32000");
    EXPECT_EQ(TScaleForm::CellColor(max), "white");
    EXPECT_TRUE(window_->close());
}

TEST_F(ScaleFormTest, AnAddressOrFactorTheTableCannotUseIsRefusedRedAndNeverReplaced)
{
    window_->show();
    auto typeKeys = [](QLineEdit* cell, const QString& text) {
        cell->selectAll();
        TypeAndEnter(cell, text);
    };
    QLineEdit* io = window_->EditCell(36, "Edit0"); // ADC11's read address
    ASSERT_NE(io, nullptr);
    typeKeys(io, "7");
    EXPECT_EQ(ChannelTable[36].Address.load(), 7);
    EXPECT_EQ(TScaleForm::CellColor(io), "white");

    for (const QString& bad : {QString("abc"), QString("99999999999")}) {
        boxes_.Clear();
        typeKeys(io, bad);
        EXPECT_EQ(TScaleForm::CellColor(io), "red") << bad.toStdString();
        EXPECT_TRUE(boxes_.LastText().startsWith("Error in ADC11-Scaling!")) << boxes_.LastText().toStdString();
        EXPECT_EQ(ChannelTable[36].Address.load(), 7) << "the channel keeps the address it had";
        EXPECT_EQ(ini_->ReadString("Scale", "ADC11Edit0", ""), "7") << "a refused address is not stored";
    }
    // Nor is one typed into a cell that had none: the key goes again.
    QLineEdit* unset = window_->EditCell(40, "Edit0"); // ADC15
    typeKeys(unset, "abc");
    EXPECT_EQ(TScaleForm::CellColor(unset), "red");
    EXPECT_FALSE(ini_->ValueExists("Scale", "ADC15Edit0"));
    EXPECT_TRUE(window_->close()) << "nothing refused is left in the file to hold the window";
    window_->show();
    boxes_.Clear();
    typeKeys(io, "11");
    EXPECT_EQ(TScaleForm::CellColor(io), "white");
    EXPECT_EQ(ChannelTable[36].Address.load(), 11);
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    // A factor of 0 would be read as 1: refused where it is typed.
    QLineEdit* factor = window_->EditCell(36, "Edit2");
    typeKeys(factor, "0.5");
    typeKeys(factor, "0");
    EXPECT_EQ(TScaleForm::CellColor(factor), "red");
    EXPECT_EQ(ini_->ReadString("Scale", "ADC11Edit2", ""), "0.5");
    EXPECT_FLOAT_EQ(ChannelTable[36].Factor.load(), 0.5f);

    // Every number cell shows the longest value it can hold in full.
    const QString longest = "-3.12500E-38";
    for (const char* suffix : {"Edit2", "Edit3", "Edit4", "Edit5"}) {
        QLineEdit* cell = window_->EditCell(36, suffix);
        EXPECT_LE(cell->fontMetrics().horizontalAdvance(longest) + 4, cell->width()) << suffix;
        EXPECT_LE(cell->fontMetrics().horizontalAdvance(ScaleWidestNumberText()) + 4, cell->width()) << suffix;
    }
    typeKeys(factor, "3.125E-4");
    window_->RefreshCells();
    EXPECT_LE(factor->fontMetrics().horizontalAdvance(factor->text()) + 4, factor->width())
        << factor->text().toStdString();
    // The columns keep their order without overlapping.
    EXPECT_LT(window_->EditCell(36, "Edit4")->geometry().right(), window_->EditCell(36, "Edit5")->x());
    EXPECT_LT(window_->EditCell(36, "Edit5")->geometry().right(), window_->CheckCell(36, "CheckBox2")->x());
}
