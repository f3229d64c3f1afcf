// A measured force curve in the spectroscopy window: its fit and the slope
// handed on as the cantilever sensitivity, the numbered files, the Save
// button and the clipboard; and the options window's edits.

#include "support/DriverLinkFixture.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "lockin/OsziFrame.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "widgets/NumericEdit.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>

namespace qvt {
namespace {

constexpr int ModeContact = 3;

class SpektSaveTest : public test::DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        user_ = std::make_unique<TQVTIniFile>(dir_.Path() + "user.ini");
        savedUser_ = UserIni;
        UserIni = user_.get();
        savedName_ = SpektModeName;
        savedSets_ = MicroscopeState.FeedbackSets;
        savedCantilever_ = CantileverParams;
        Scale("DAC1", "Topography", "nm", "0.01", "");
        Scale("DAC2", "Bias", "V", "0.001", "");
        Scale("ADC1", "Deflection", "mV", "0.3", "1");
        ini_->WriteInteger("Microscope", "Feedback", ModeContact);
    }
    void TearDown() override
    {
        options_.reset();
        if (form_)
            form_->FormDestroy();
        form_.reset();
        if (device_)
            device_->FormDestroy();
        device_.reset();
        MicroscopeState.FeedbackSets = savedSets_;
        CantileverParams = savedCantilever_;
        SpektModeName = savedName_;
        UserIni = savedUser_;
        DriverLinkFixture::TearDown();
    }
    void Scale(const QString& ch, const QString& label, const QString& unit, const QString& factor,
               const QString& address)
    {
        ini_->WriteString("Scale", ch + "Label2", label);
        ini_->WriteString("Scale", ch + "Edit1", unit);
        ini_->WriteString("Scale", ch + "Edit2", factor);
        if (!address.isEmpty())
            ini_->WriteString("Scale", ch + "Edit0", address);
        ini_->WriteBool("Scale", ch + "CheckBox1", !address.isEmpty());
    }

    // A force curve in contact mode: out 3 nm and back, the deflection recorded.
    void MeasureForceCurve()
    {
        sim_ = PlugSim(FastConfig());
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        MicroscopeState.FeedbackMode = ModeContact;
        TFeedbackSet& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(ModeContact)];
        set.Setpoint = 400.0f;
        set.InputAddr = 0;
        device_->UpdateFeedback();
        form_ = std::make_unique<TSpektForm>(*device_);
        form_->FormCreate();
        user_->WriteInteger("X(z)", "DataPoints", 64);
        user_->WriteString("X(z)", "Leadinout", "Off");
        user_->WriteInteger("X(z)", "CountCh", 1);
        user_->WriteInteger("X(z)", "Channel0", 0);
        form_->ComboBox1->setCurrentText("X(z)");
        form_->ComboBox1Change();
        form_->Edit4->Apply("102.4");
        form_->Edit5->Apply("0");
        form_->Edit6->Apply("3");
        form_->ScanButton->click();
        ASSERT_TRUE(test::PumpUntil([this] { return !form_->Measuring(); }));
        user_->WriteInteger("X(z)", "ViewX", 1); // against dz
        form_->DisplayData();
    }

    QStringList Lines(const QString& path) const
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    }

    std::unique_ptr<TQVTIniFile> user_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TSpektForm> form_;
    std::unique_ptr<TSpektOptionForm> options_;

private:
    TQVTIniFile* savedUser_ = nullptr;
    QString savedName_;
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    TCantileverParams savedCantilever_;
};

TEST_F(SpektSaveTest, FitSlopeBecomesTheContactSensitivityButAFlatColumnNever)
{
    MeasureForceCurve();
    form_->FitButtonClick();
    ASSERT_TRUE(form_->Fit().Valid);
    EXPECT_TRUE(form_->Label21->text().endsWith("[mV / nm]")) << form_->Label21->text().toStdString();
    const double slope = form_->Fit().Slope;
    EXPECT_GT(std::abs(slope), 1.0); // the cantilever bends with the sample
    form_->Label21Click();
    // mV per nm: 1e-3 / 1e-9.
    EXPECT_NEAR(CantileverParams.CantileverScaleCMAFM, slope * 1.0e6, std::abs(slope) * 1e-3);
    EXPECT_NEAR(ini_->ReadFloat("Microscope", "CantileverScaleCMAFM", 0), slope * 1.0e6, std::abs(slope) * 1e-3);

    // Every dz alike: no slope, and nothing reaches the settings.
    for (int i = 0; i < 64; ++i)
        form_->SpektData.Col[TSpektData::Dz][i] = 1.5;
    form_->DisplayData();
    boxes_.Clear();
    form_->FitButtonClick();
    EXPECT_FALSE(form_->Fit().Valid);
    EXPECT_EQ(form_->Label21->text(), "???");
    const double kept = CantileverParams.CantileverScaleCMAFM;
    form_->Label21Click();
    EXPECT_EQ(boxes_.LastText(), "Invalid Value!");
    EXPECT_EQ(CantileverParams.CantileverScaleCMAFM, kept);
}

TEST_F(SpektSaveTest, TheSlopeShowsInFullWithoutWideningTheWindowOrMovingItsButtons)
{
    MeasureForceCurve();
    form_->show();
    QApplication::processEvents();
    const QSize size = form_->size();
    const QRect options = form_->SpeedButton4->geometry();
    const QRect save = form_->SaveButton->geometry();
    form_->FitButtonClick();
    ASSERT_TRUE(form_->Fit().Valid);
    QApplication::processEvents();
    EXPECT_EQ(form_->size(), size);
    EXPECT_EQ(form_->SpeedButton4->geometry(), options);
    EXPECT_EQ(form_->SaveButton->geometry(), save);
    EXPECT_EQ(form_->SpeedButton4->y(), form_->SaveButton->y()); // Options stays on its row
    EXPECT_GE(form_->Label21->width(), form_->Label21->sizeHint().width()) << form_->Label21->text().toStdString();
}

TEST_F(SpektSaveTest, NumberedFilesSaveButtonAndClipboard)
{
    MeasureForceCurve();
    const QString folder = dir_.Path();
    user_->WriteBool("SpektOpt", "SaveNumbered", true);
    user_->WriteInteger("SpektOpt", "NextNumber", 17);
    user_->WriteBool("SpektOpt", "SaveHeader", true);
    form_->AskSaveName = [folder](const QString&, const QString&) { return folder + "run.dat"; };
    form_->SaveAsButtonClick();
    EXPECT_EQ(user_->ReadString("SpektOpt", "SaveExt", ""), "dat");
    EXPECT_EQ(user_->ReadString("SpektOpt", "SaveName", ""), folder + "run");
    const QStringList first = Lines(folder + "run0001.dat");
    ASSERT_EQ(first.size(), 65); // header and 64 rows
    EXPECT_EQ(first[0], "Deflection");
    EXPECT_EQ(first[1].size(), 15);
    EXPECT_EQ(user_->ReadInteger("SpektOpt", "NextNumber", 0), 2);
    EXPECT_EQ(user_->ReadString("SpektOpt", "LastSaveName", ""), folder + "run0001.dat");

    // A click saves now and leaves auto save off; Shift-click only switches it.
    form_->SaveButtonMouseUp(false);
    EXPECT_TRUE(QFile::exists(folder + "run0002.dat"));
    EXPECT_FALSE(form_->SaveButton->isChecked());
    form_->SaveButtonMouseUp(true);
    EXPECT_FALSE(QFile::exists(folder + "run0003.dat"));
    EXPECT_TRUE(user_->ReadBool("SpektOpt", "AutoSave", false));
    EXPECT_TRUE(form_->SaveButton->isChecked());
    form_->SaveButton->setChecked(false);
    form_->SaveButtonClick();
    EXPECT_TRUE(form_->SaveButton->isChecked());

    // A missing folder and an existing file send the operator to Save as.
    boxes_.Clear();
    form_->AskSaveName = [](const QString&, const QString&) { return QString(); };
    EXPECT_FALSE(form_->SaveSpektFile(folder + "missing/run"));
    EXPECT_EQ(boxes_.Texts(), QStringList({"Directory does not exist!", "File not saved!"}));
    user_->WriteBool("SpektOpt", "SaveNumbered", false);
    ASSERT_TRUE(form_->SaveSpektFile(folder + "plain"));
    boxes_.Clear();
    EXPECT_FALSE(form_->SaveSpektFile(folder + "plain"));
    EXPECT_EQ(boxes_.Texts().value(0), "File already exists!");

    form_->ButtonCopyClick();
    const QStringList clip = QApplication::clipboard()->text().split("\r\n");
    ASSERT_EQ(clip.size(), 64);
    EXPECT_EQ(clip[0].split('\t').size(), 4); // time, dz, bias, one channel
}

TEST_F(SpektSaveTest, OptionsWindowKeepsWhatTheKindCanRun)
{
    MeasureForceCurve();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    EXPECT_EQ(options_->EditFileName->text(), DefaultSaveName());
    // The extension the window shows is the one a save uses, and a click on a
    // save option stores it, not an empty one ("name." files).
    EXPECT_EQ(options_->EditExtension->text(), "txt");
    options_->CheckBoxSaveHeader->click();
    EXPECT_EQ(user_->ReadString("SpektOpt", "SaveExt", ""), "txt");
    options_->CheckBoxSaveHeader->click();

    options_->RadioButton13->setChecked(true);
    options_->Edit1->setText("40");
    options_->CycleClick();
    EXPECT_EQ(options_->Edit1->text(), "15");
    EXPECT_EQ(user_->ReadFloat("X(z)", "Cycle", 0), 15.0);
    options_->Edit1->setText("-3");
    options_->Edit1Enter();
    EXPECT_EQ(user_->ReadFloat("X(z)", "Cycle", 0), 1.0);

    options_->ComboBoxDataPoints->setCurrentText("1024");
    options_->DataPointsEnter();
    EXPECT_TRUE(options_->ComboBoxDataPoints->styleSheet().contains("red"));
    EXPECT_EQ(user_->ReadInteger("X(z)", "DataPoints", 0), 64);

    options_->EditAverage->setText("0");
    options_->EditAverageEnter();
    EXPECT_EQ(user_->ReadInteger("X(z)", "CountAverage", -1), 1);

    // A ramp file that is not there: the button asks for one, the cycle stays.
    user_->WriteString("X(z)", "BiasCycleName", dir_.Path() + "none.dat");
    options_->RadioButton14->setChecked(true);
    options_->CycleClick();
    EXPECT_EQ(options_->RadioButton14->text(), "Please Load Ramp!");
    EXPECT_EQ(user_->ReadFloat("X(z)", "Cycle", 0), 1.0);

    // The z-noise kind has no cycle and offers the frequency axis.
    form_->ComboBox1->setCurrentText("X(t) z-noise");
    form_->ComboBox1Change();
    EXPECT_FALSE(options_->Tabs->isTabVisible(1));
    EXPECT_EQ(options_->ComboBox1->count(), 8);
    EXPECT_EQ(options_->ComboBox1->itemText(7), "Frequency");

    options_->ColourClick(40, 0x123456);
    EXPECT_EQ(user_->ReadInteger("X(t) z-noise", "Color1", 0), 0x123456);
    options_->ColourClick(80, 0x654321);
    EXPECT_EQ(user_->ReadInteger("X(t) z-noise", "Color3", 0), 0xFF0000);
}

} // namespace
} // namespace qvt
