// A measured force curve in the spectroscopy window: its fit and the slope
// handed on as the cantilever sensitivity, the numbered files, the Save
// button and the clipboard; and the options window's edits.

#include "support/DriverLinkFixture.h"
#include "support/FullDisk.h"
#include "support/MessageLog.h"

#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "device/SpektRequests.h"
#include "lockin/OsziFrame.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
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

    // What the operator does in an edit: everything selected, typed over, Enter.
    static void Type(QLineEdit* edit, const QString& text)
    {
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
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

TEST_F(SpektSaveTest, AFullDiskLeavesNoPartialSpectrumAndIsToldOnce)
{
    MeasureForceCurve();
    const QString folder = dir_.Path();
    user_->WriteBool("SpektOpt", "SaveNumbered", false);
    boxes_.Clear();
    {
        const test::FullDisk full([folder](const QString& path) { return path.startsWith(folder + "full"); });
        form_->AskSaveName = [](const QString&, const QString&) { return QString(); };
        EXPECT_FALSE(form_->SaveSpektFile(folder + "full"));
    }
    EXPECT_EQ(boxes_.Texts(), QStringList({"File access error!"}));
    EXPECT_TRUE(QDir(folder).entryList({"full*"}, QDir::Files).isEmpty()) << "a partial spectrum is left";
    EXPECT_TRUE(test::HiddenFiles(folder).isEmpty()) << "a temporary file was left";
    // Room again: the same name is free and the spectrum lands whole.
    ASSERT_TRUE(form_->SaveSpektFile(folder + "full"));
    EXPECT_EQ(QDir(folder).entryList({"full*"}, QDir::Files).size(), 1);
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

// Every channel count the options window offers is kept as clicked, the
// largest too, and a reopened window shows it.
TEST_F(SpektSaveTest, EveryChannelCountUpToFourIsKeptAndShown)
{
    MeasureForceCurve();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    options_->show();
    options_->Tabs->setCurrentWidget(options_->ChannelButtons[0]->parentWidget());
    for (int count : {4, 1, 3, 2, 4}) {
        SCOPED_TRACE(count);
        QTest::mouseClick(options_->ChannelButtons[static_cast<size_t>(count - 1)], Qt::LeftButton);
        EXPECT_EQ(user_->ReadInteger("X(z)", "CountCh", -1), count);
        for (int c = 1; c < 4; ++c)
            EXPECT_EQ(form_->ChannelBoxes[static_cast<size_t>(c)]->isVisibleTo(form_.get()), c < count) << c;
    }
    options_.reset();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    options_->show();
    EXPECT_TRUE(options_->ChannelButtons[3]->isChecked());
    // Four is the most there is: one more, stored by hand, is taken back to one.
    user_->WriteInteger("X(z)", "CountCh", 5);
    form_->ComboBox1->setCurrentText("X(U)");
    form_->ComboBox1Change();
    form_->ComboBox1->setCurrentText("X(z)");
    form_->ComboBox1Change();
    EXPECT_EQ(user_->ReadInteger("X(z)", "CountCh", -1), 1);
    EXPECT_FALSE(form_->ChannelBoxes[1]->isVisibleTo(form_.get()));
}

TEST_F(SpektSaveTest, TheCycleCountIsTypedOnlyForNAndALoadedRampHasNoLeadInOut)
{
    MeasureForceCurve();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    options_->show();
    auto enter = [this](const QString& text) {
        options_->Edit1->setText(text);
        QTest::keyClick(options_->Edit1, Qt::Key_Return);
        return user_->ReadFloat("X(z)", "Cycle", -1);
    };
    for (QRadioButton* fixed : {options_->RadioButton11, options_->RadioButton12}) {
        fixed->click();
        EXPECT_FALSE(options_->Edit1->isEnabled()) << fixed->text().toStdString();
        EXPECT_TRUE(options_->CheckBox1->isEnabled());
    }
    options_->RadioButton13->click();
    ASSERT_TRUE(options_->Edit1->isEnabled());
    // N runs from 1 to 15 cycles: the limits are taken, one beyond comes back to them.
    EXPECT_EQ(enter("15"), 15.0);
    EXPECT_EQ(enter("16"), 15.0);
    EXPECT_EQ(options_->Edit1->text(), "15");
    EXPECT_EQ(enter("1"), 1.0);
    EXPECT_EQ(enter("0"), 1.0);
    EXPECT_EQ(options_->Edit1->text(), "1");

    // A ramp from a file brings its own lead: the box and the count are off until another cycle is chosen.
    user_->WriteString("X(z)", "BiasCycleName", dir_.Path() + "none.dat");
    options_->RadioButton14->click();
    EXPECT_FALSE(options_->CheckBox1->isEnabled());
    EXPECT_FALSE(options_->Edit1->isEnabled());
    options_->RadioButton12->click();
    EXPECT_TRUE(options_->CheckBox1->isEnabled());
    EXPECT_FALSE(options_->Edit1->isEnabled());
}

TEST_F(SpektSaveTest, SaveAndCopyWriteTheLastMeasurementWhateverWasPreviewedOrStopped)
{
    MeasureForceCurve();
    form_->show();
    const QString folder = dir_.Path();
    user_->WriteString("SpektOpt", "SaveName", folder + "curve");
    user_->WriteBool("SpektOpt", "SaveNumbered", true);
    user_->WriteInteger("SpektOpt", "NextNumber", 1);
    user_->WriteBool("SpektOpt", "SaveHeader", true);
    user_->WriteBool("SpektOpt", "xAxis", true);
    int saved = 0;
    const auto save = [&] {
        QTest::mouseClick(form_->SaveButton, Qt::LeftButton);
        return Lines(folder + QString("curve%1.txt").arg(++saved, 4, 10, QChar('0')));
    };
    const QStringList measured = save();
    ASSERT_EQ(measured.size(), 65);
    EXPECT_EQ(measured[0], "time\tdz\tBias\tDeflection");
    // The dz column runs out to the 3 nm the curve was taken with.
    double farthest = 0.0;
    for (int i = 1; i <= 64; ++i)
        farthest = std::max(farthest, measured[i].split('\t').value(1).toDouble());
    EXPECT_NEAR(farthest, 3.0, 0.05);

    // A preview of another excursion draws elsewhere.
    Type(form_->Edit6, "1");
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    EXPECT_EQ(save(), measured);
    // So does a kind with other channels, points and columns.
    user_->WriteInteger("X(U)", "DataPoints", 16);
    user_->WriteInteger("X(U)", "CountCh", 2);
    Type(form_->ComboBox1->lineEdit(), "X(U)");
    ASSERT_EQ(SpektModeName, "X(U)");
    EXPECT_EQ(save(), measured);
    form_->ButtonCopyClick();
    const QStringList clip = QApplication::clipboard()->text().split("\r\n");
    ASSERT_EQ(clip.size(), 64);
    EXPECT_EQ(clip[0].split('\t').size(), 4);

    // A run stopped before its first curve came back leaves the last one.
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    ASSERT_TRUE(form_->Measuring());
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    ASSERT_FALSE(form_->Measuring());
    EXPECT_EQ(save(), measured);

    // A finished run is the new measurement, written with its own settings.
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil([this] { return !form_->Measuring(); }));
    const QStringList next = save();
    ASSERT_EQ(next.size(), 17);
    EXPECT_EQ(next[0].split('\t').size(), 5);
}

TEST_F(SpektSaveTest, TypedPointCountsAreTakenAsTypedAndAnUnreachableExcursionIsRefused)
{
    MeasureForceCurve();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    options_->show();
    QLineEdit* points = options_->ComboBoxDataPoints->lineEdit();
    const auto red = [this] { return options_->ComboBoxDataPoints->styleSheet().contains("red"); };
    for (const auto& [typed, stored, refused] :
         {std::tuple{"5", 5, false}, std::tuple{"1", 5, true}, std::tuple{"15", 15, false},
          std::tuple{"1024", 15, true}, std::tuple{"1023", 1023, false}, std::tuple{"4", 1023, true}}) {
        Type(points, typed);
        EXPECT_EQ(user_->ReadInteger("X(z)", "DataPoints", 0), stored) << typed;
        EXPECT_EQ(red(), refused) << typed;
        EXPECT_EQ(points->text(), typed);
    }
    EXPECT_EQ(options_->ComboBoxDataPoints->count(), 7) << "nothing typed joins the list";
    user_->WriteInteger("X(z)", "DataPoints", 64);

    // A kind name is not completed either: a part of one stays red.
    form_->show();
    Type(form_->ComboBox1->lineEdit(), "X(");
    EXPECT_EQ(SpektModeName, "X(z)");

    // Z cannot go a metre: refused in red before the controller is asked.
    Type(form_->Edit5, "-1e9");
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    EXPECT_FALSE(form_->Measuring());
    EXPECT_FALSE(form_->ScanButton->isChecked());
    EXPECT_FALSE(device_->Timer3Active());
    EXPECT_EQ(form_->Edit5->Color(), EditColor::Red);
    // Within reach the curve runs.
    Type(form_->Edit5, "-1");
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    EXPECT_TRUE(form_->Measuring());
    ASSERT_TRUE(test::PumpUntil([this] { return !form_->Measuring(); }));
}

TEST_F(SpektSaveTest, ARampBeyondWhatTheOutputsCanDoFromHereIsRefusedAndTold)
{
    MeasureForceCurve();
    form_->show();
    // Z's output runs −32000..32000 digits of 0.01 nm: 640 nm in all. A
    // retraction that fits those 640 nm but not what lies between Z now and
    // the Z minimum would drive Z onto its rail.
    const int32_t zNow = device_->ReadReg(ReadAddrZ);
    const double retractLeft = (zNow + 32000) * 0.01;
    const double tooFar = retractLeft + 5.0;
    ASSERT_LT(tooFar, 630.0) << "the excursion must fit the whole span";
    const auto refused = [this](QLineEdit* edit, const QString& text) {
        boxes_.Clear();
        sim_->ClearLog();
        Type(edit, text);
        QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
        const bool ran = form_->Measuring();
        if (ran)
            EXPECT_TRUE(test::PumpUntil([this] { return !form_->Measuring(); }));
        else
            EXPECT_EQ(CountCode(*sim_, IOCTL_SET_SPEKT) + CountCode(*sim_, IOCTL_LOAD_Z_RAMP), 0) << "nothing moves";
        EXPECT_FALSE(form_->ScanButton->isChecked());
        return !ran;
    };
    EXPECT_TRUE(refused(form_->Edit6, QString::number(tooFar)));
    EXPECT_EQ(form_->Edit6->Color(), EditColor::Red);
    EXPECT_NE(form_->Edit5->Color(), EditColor::Red);
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_TRUE(boxes_.LastText().startsWith("The excursion leaves Z's output range"))
        << boxes_.LastText().toStdString();
    EXPECT_TRUE(boxes_.LastText().contains(QString::number(retractLeft, 'g', 5) + " nm"))
        << boxes_.LastText().toStdString();
    // The same way towards the sample.
    Type(form_->Edit6, "3");
    EXPECT_TRUE(refused(form_->Edit5, QString::number((zNow - 32000) * 0.01 - 1.0)));
    EXPECT_EQ(form_->Edit5->Color(), EditColor::Red);
    // Within reach from here the curve runs, untold.
    EXPECT_FALSE(refused(form_->Edit5, QString::number(std::max(-1.0, (zNow - 32000) * 0.01 / 2))));
    EXPECT_FALSE(refused(form_->Edit6, QString::number(std::min(3.0, retractLeft / 2))));
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    // A bias ramp beyond the bias output (±32 V at 1 mV a digit) is refused the same way.
    user_->WriteInteger("X(U)", "DataPoints", 16);
    Type(form_->ComboBox1->lineEdit(), "X(U)");
    ASSERT_EQ(SpektModeName, "X(U)");
    Type(form_->Edit5, "0");
    Type(form_->Edit7, "1");
    EXPECT_TRUE(refused(form_->Edit8, "40"));
    EXPECT_EQ(form_->Edit8->text(), "40") << "kept as typed, not put on the rail";
    EXPECT_EQ(form_->Edit8->Color(), EditColor::Red);
    EXPECT_NE(form_->Edit7->Color(), EditColor::Red);
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(boxes_.LastText(), "The bias leaves its output's range: it can go from -32 to 32 V.");
    EXPECT_FALSE(refused(form_->Edit8, "-2"));
}

TEST_F(SpektSaveTest, AFitIsMadeOnTheCurveShownAndRefusedOnAPreview)
{
    MeasureForceCurve();
    form_->show();
    const double kept = CantileverParams.CantileverScaleCMAFM;
    const auto fitRefused = [&] {
        EXPECT_TRUE(form_->ShowsPreview());
        EXPECT_TRUE(form_->Image1->Title.Text.startsWith("Preview")) << form_->Image1->Title.Text.toStdString();
        boxes_.Clear();
        QTest::mouseClick(form_->FitButton, Qt::LeftButton);
        EXPECT_EQ(boxes_.LastText(), SpektFitPreviewMessage);
        EXPECT_FALSE(form_->Fit().Valid);
        EXPECT_TRUE(form_->Label21->text().isEmpty()) << form_->Label21->text().toStdString();
        QTest::mouseClick(form_->Label21, Qt::LeftButton);
        EXPECT_EQ(boxes_.LastText(), "Invalid Value!");
        EXPECT_EQ(CantileverParams.CantileverScaleCMAFM, kept);
    };
    // Pre draws the excitation, which was never measured.
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    fitRefused();

    // Back on the measured curve the fit is made on it, in its units.
    QTest::mouseClick(form_->PlotButtons[0], Qt::LeftButton);
    EXPECT_FALSE(form_->ShowsPreview());
    EXPECT_EQ(form_->Image1->Title.Text, "Measured X(z)");
    QTest::mouseClick(form_->FitButton, Qt::LeftButton);
    ASSERT_TRUE(form_->Fit().Valid);
    EXPECT_TRUE(form_->Label21->text().endsWith("[mV / nm]")) << form_->Label21->text().toStdString();
    // A preview drawn over it takes the fit away with the line: the slope
    // can no longer be taken on.
    QTest::mouseClick(form_->Button1, Qt::LeftButton);
    EXPECT_FALSE(form_->Fit().Valid);
    boxes_.Clear();
    QTest::mouseClick(form_->Label21, Qt::LeftButton);
    EXPECT_EQ(boxes_.LastText(), "Invalid Value!");
    EXPECT_EQ(CantileverParams.CantileverScaleCMAFM, kept);

    // Another kind shows its preview: the same.
    user_->WriteInteger("X(U)", "DataPoints", 16);
    Type(form_->ComboBox1->lineEdit(), "X(U)");
    ASSERT_EQ(SpektModeName, "X(U)");
    fitRefused();
}

// Changing what shapes the data while "continue acquire" runs ends the run:
// what was saved and copied is the last curve measured before the change,
// under the labels and with the points of the settings it was measured with,
// its readings those the simulated controller gave; the controller never
// starts a curve with the changed settings.
TEST_F(SpektSaveTest, ASettingChangedDuringARunEndsItAndTheRecordStaysWhatWasMeasured)
{
    Scale("ADC2", "Error", "V", "0.0003", "2");
    Scale("ADC3", "Z sensor", "nm", "0.01", "3");
    MeasureForceCurve();
    form_->show();
    options_ = std::make_unique<TSpektOptionForm>(*form_);
    options_->FormCreate();
    options_->show();
    const QString folder = dir_.Path();
    user_->WriteString("SpektOpt", "SaveName", folder + "mid");
    user_->WriteBool("SpektOpt", "SaveNumbered", true);
    user_->WriteInteger("SpektOpt", "NextNumber", 1);
    user_->WriteBool("SpektOpt", "SaveHeader", true);
    user_->WriteBool("SpektOpt", "xAxis", true);
    // Three channels: Deflection, Z sensor, Error; every curve replaces the last.
    user_->WriteInteger("X(z)", "CountAverage", 0);
    user_->WriteInteger("X(z)", "Channel1", 2);
    user_->WriteInteger("X(z)", "Channel2", 1);
    options_->ChannelButtons[2]->click();
    ASSERT_EQ(form_->ChannelBoxes[2]->currentText(), "Error");
    user_->WriteInteger("X(U)", "DataPoints", 16);
    user_->WriteInteger("X(U)", "CountCh", 1);
    user_->WriteInteger("X(U)", "Channel0", 2);
    user_->WriteInteger("X(U)", "CountAverage", 0);
    QTest::mouseClick(form_->RepeatButton, Qt::LeftButton);
    ASSERT_TRUE(form_->RepeatButton->isChecked());

    const QMap<QString, std::pair<int32_t, double>> channels = {
        {"Deflection", {1, 0.3}}, {"Error", {2, 0.0003}}, {"Z sensor", {3, 0.01}}};
    int curves = 0;
    QObject::connect(form_.get(), &TSpektForm::curveDone, [&curves](int) { ++curves; });
    int saved = 0;
    const auto midRun = [&](const QString& what, const std::function<void()>& change) {
        SCOPED_TRACE(what.toStdString());
        // What the run is started with.
        QStringList labels;
        for (QComboBox* box : form_->ChannelBoxes)
            if (box->isVisible())
                labels << box->currentText();
        const int points = form_->Points();
        curves = 0;
        QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
        ASSERT_TRUE(test::PumpUntil([&] { return curves >= 2; }));
        ASSERT_TRUE(form_->Measuring());
        const size_t before = sim_->RequestLog().size();
        change();
        EXPECT_FALSE(form_->Measuring());
        EXPECT_FALSE(form_->ScanButton->isChecked());
        EXPECT_EQ(form_->StatusBar->text(), "Run ended: " + what + " changed; the curves measured so far are kept");
        QTest::qWait(50); // a run that went on would start its next curve here
        EXPECT_FALSE(form_->Measuring());
        // The controller's own record: the last curve's start and readings.
        const std::vector<sim::SimRequest> log = sim_->RequestLog();
        std::array<int32_t, 6> first{};
        std::array<int32_t, sim::SimRequest::KeptWords> start{};
        for (size_t i = 0; i < before; ++i) {
            if (log[i].Code == IOCTL_READ_SPEKT)
                first[static_cast<size_t>(log[i].In[0] - 1)] = log[i].Out0;
            if (log[i].Code == IOCTL_SET_SPEKT && log[i].In[0] != SpektKindStop)
                start = log[i].In;
        }
        for (size_t i = before; i < log.size(); ++i)
            EXPECT_FALSE(log[i].Code == IOCTL_SET_SPEKT && log[i].In[0] != SpektKindStop) << "a curve started";
        EXPECT_EQ(start[5], points);
        for (int c = 0; c < std::min(2, int(labels.size())); ++c)
            EXPECT_EQ(start[static_cast<size_t>(6 + c)], channels[labels[c]].first) << labels[c].toStdString();

        QTest::mouseClick(form_->SaveButton, Qt::LeftButton);
        const QStringList file = Lines(folder + QString("mid%1.txt").arg(++saved, 4, 10, QChar('0')));
        ASSERT_EQ(file.size(), points + 1);
        EXPECT_EQ(file[0], "time\tdz\tBias\t" + labels.join('\t'));
        const QStringList row = file[1].split('\t');
        ASSERT_EQ(row.size(), 3 + labels.size());
        const auto near = [](double value, double expected) {
            return std::abs(value - expected) <= 1e-6 * std::abs(expected) + 1e-12;
        };
        EXPECT_TRUE(near(row[1].trimmed().toDouble(), first[0] * 0.01)) << row[1].toStdString();
        EXPECT_TRUE(near(row[2].trimmed().toDouble(), first[1] * 0.001)) << row[2].toStdString();
        for (int c = 0; c < labels.size(); ++c)
            EXPECT_TRUE(
                near(row[3 + c].trimmed().toDouble(), first[static_cast<size_t>(2 + c)] * channels[labels[c]].second))
                << labels[c].toStdString() << " " << row[3 + c].toStdString() << " raw "
                << first[static_cast<size_t>(2 + c)];
        // Rows a sample time apart, as the controller was told.
        const double tick = 1.0 / 39062.5;
        EXPECT_NEAR(file[2].split('\t')[0].toDouble() - row[0].toDouble(), start[4] * tick, 1e-9);

        QTest::mouseClick(form_->ButtonCopy, Qt::LeftButton);
        const QStringList clip = QApplication::clipboard()->text().split("\r\n");
        ASSERT_EQ(clip.size(), points);
        const QStringList copied = clip[0].split('\t');
        ASSERT_EQ(copied.size(), 3 + labels.size());
        for (int c = 0; c < labels.size(); ++c)
            EXPECT_NEAR(copied[3 + c].toDouble(), row[3 + c].toDouble(),
                        1e-6 * (1.0 + std::abs(row[3 + c].toDouble())));
    };
    const auto pick = [](QComboBox* box, const QString& text) {
        while (box->currentIndex() < box->findText(text))
            QTest::keyClick(box, Qt::Key_Down);
        while (box->currentIndex() > box->findText(text))
            QTest::keyClick(box, Qt::Key_Up);
    };

    // Error on channel 3 becomes the Z sensor: the Error column stays Error's.
    midRun("channel 3", [&] { pick(form_->ChannelBoxes[2], "Z sensor"); });
    midRun("channel 1", [&] { pick(form_->ChannelBoxes[0], "Error"); });
    midRun("DataPoints", [&] { Type(options_->ComboBoxDataPoints->lineEdit(), "32"); });
    midRun("delay2", [&] { Type(form_->Edit4, "204.8"); });
    midRun("delay1", [&] { Type(form_->Edit3, "500"); });
    midRun("dz1", [&] { Type(form_->Edit5, "-0.5"); });
    midRun("dz2", [&] { Type(form_->Edit6, "2"); });
    midRun("the cycle", [&] { options_->RadioButton11->click(); });
    midRun("Lead in/out", [&] { options_->CheckBox1->click(); });
    midRun("the channels", [&] { options_->ChannelButtons[1]->click(); });
    midRun("kind", [&] { Type(form_->ComboBox1->lineEdit(), "X(U)"); });
    ASSERT_EQ(SpektModeName, "X(U)");
    midRun("U1", [&] { Type(form_->Edit8, "0.2"); });
    midRun("U2", [&] { Type(form_->Edit7, "-0.2"); });
    // The navigator hands in another point to take the curves at.
    midRun("the point", [&] { form_->LinkNavigatorPoint(true, 5.0, -5.0); });

    // A channel renamed and rescaled in the channel table afterwards does not
    // relabel or rescale what was measured.
    const QString last = folder + QString("mid%1.txt").arg(saved, 4, 10, QChar('0'));
    Scale("ADC3", "Height", "um", "0.02", "3");
    ASSERT_TRUE(device_->ReloadScales());
    ASSERT_EQ(ChannelTable[FirstAdcSlot + 2].Label, "Height");
    QTest::mouseClick(form_->SaveButton, Qt::LeftButton);
    EXPECT_EQ(Lines(folder + QString("mid%1.txt").arg(++saved, 4, 10, QChar('0'))), Lines(last));

    // The number of curves averaged is the run's own: a new one applies from
    // the next run, the status keeps counting against the old one.
    curves = 0;
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil([&] { return curves >= 1; }));
    Type(options_->EditAverage, "5");
    ASSERT_TRUE(test::PumpUntil([&] { return curves >= 3; }));
    EXPECT_TRUE(form_->Measuring());
    EXPECT_TRUE(form_->StatusBar->text().endsWith("/ inf.")) << form_->StatusBar->text().toStdString();
    QTest::mouseClick(form_->ScanButton, Qt::LeftButton);
    EXPECT_FALSE(form_->Measuring());
}

TEST_F(SpektSaveTest, SaveAsWithNoScreenIsCancelledAtOnceAndLogged)
{
    MeasureForceCurve();
    form_->show();
    form_->AskSaveName = nullptr; // the window's own dialog
    test::MessageLogScope log;
    // A dialog left open would wait for ever: after ten times what the click
    // should take it is closed, and the test fails instead of hanging.
    constexpr int BoundMs = 5000;
    bool closedByTest = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&closedByTest] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            closedByTest = true;
            dialog->reject();
        }
    });
    watchdog.start(BoundMs);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(form_->SaveAsButton, Qt::LeftButton);
    const qint64 tookMs = clock.elapsed();
    watchdog.stop();
    EXPECT_FALSE(closedByTest) << "the file dialog waited for an answer nobody could give";
    EXPECT_LT(tookMs, BoundMs);
    EXPECT_EQ(log.Lines.filter("File dialog"),
              QStringList{"Warning: File dialog \"Save As\" not shown (no screen): taken as cancelled"});
    EXPECT_EQ(boxes_.LastText(), "File not saved!");
    EXPECT_TRUE(QDir(dir_.Path()).entryList({"*.txt"}, QDir::Files).isEmpty());
}

} // namespace
} // namespace qvt

namespace qvt {
namespace {

// Each end of the fitted range, dragged on the chart, is kept under its own
// key and used by the next fit: the end first, then the start.
TEST_F(SpektSaveTest, BothEndsOfTheFitRangeDraggedOnTheChartAreKept)
{
    MeasureForceCurve();
    form_->show();
    QCoreApplication::processEvents();
    form_->FitButtonClick();
    ASSERT_TRUE(form_->Fit().Valid);
    QWidget* chart = form_->Image1;
    const TPlotRect plot = form_->Image1->PlotRect();
    const int y = (plot.Top + plot.Bottom) / 2;
    const auto at = [&](double fraction) { return QPoint(plot.Left + int(fraction * (plot.Right - plot.Left)), y); };
    const auto drag = [&](QPoint from, QPoint to) {
        QTest::mousePress(chart, Qt::LeftButton, {}, from);
        QTest::mouseMove(chart, to);
        QTest::mouseRelease(chart, Qt::LeftButton, {}, to);
    };

    drag(at(1.0), at(0.6));
    const double start = user_->ReadFloat("Spekt", "StartFit", -1.0);
    const double stop = user_->ReadFloat("Spekt", "StopFit", -1.0);
    EXPECT_NEAR(stop, form_->Fit().End.x() / double(SpektPlotWidth), 1e-6);
    EXPECT_GT(stop, 0.45);
    EXPECT_LT(stop, 0.75);
    EXPECT_LT(start, 0.1);
    EXPECT_NEAR(start, form_->Fit().Start.x() / double(SpektPlotWidth), 1e-6);

    drag(at(0.0), at(0.2));
    const double moved = user_->ReadFloat("Spekt", "StartFit", -1.0);
    EXPECT_GT(moved, 0.1);
    EXPECT_LT(moved, 0.35);
    EXPECT_EQ(user_->ReadFloat("Spekt", "StopFit", -1.0), stop);

    // The next fit takes the kept range: its line ends where the markers were left.
    form_->FitButtonClick();
    ASSERT_TRUE(form_->Fit().Valid);
    EXPECT_NEAR(form_->Fit().A / SpektPlotWidth, moved, 1e-6);
    EXPECT_NEAR(form_->Fit().B / SpektPlotWidth, stop, 1e-6);
}

} // namespace
} // namespace qvt
