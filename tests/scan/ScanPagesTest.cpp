#include "support/DriverLinkFixture.h"
#include "support/KeyInput.h"

#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/FeedbackRecord.h"
#include "scan/FastZPage.h"
#include "scan/FeedbackForm.h"
#include "scan/GoXYThread.h"
#include "scan/LevelPage.h"
#include "scan/ScanParaForm.h"
#include "widgets/NumericEdit.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

using namespace qvt;
using namespace qvt::test;

namespace {

class ScanPagesTest : public DriverLinkFixture {
protected:
    void Start(int type)
    {
        savedSets_ = MicroscopeState.FeedbackSets;
        savedMode_ = MicroscopeState.FeedbackMode.load();
        ini_->WriteString("Scale", "DAC1Edit1", "nm");
        ini_->WriteString("Scale", "DAC1Edit2", "0.01");
        ini_->WriteString("Scale", "DAC3Edit1", "nm");
        ini_->WriteString("Scale", "DAC3Edit2", "0.01");
        ini_->WriteString("Scale", "DAC4Edit1", "nm");
        ini_->WriteString("Scale", "DAC4Edit2", "0.01");
        ini_->WriteString("Microscope", "Feedback", "3");
        sim::SimConfig config = FastConfig();
        config.ControllerType = type;
        sim_ = PlugSim(config);
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        form_ = std::make_unique<TScanParaForm>();
        form_->SetDevice(device_.get());
        form_->SetWorkers(workers_.get());
        device_->FeedbackSent = [this] { form_->FastZ()->SendFastZParams(); };
        form_->FormCreate();
    }
    void TearDown() override
    {
        if (device_)
            device_->FeedbackSent = nullptr;
        feedback_.reset();
        if (form_)
            form_->FormDestroy();
        form_.reset();
        CloseDevice(workers_, device_);
        ScanParams.LevelDxDz = 0;
        ScanParams.LevelDyDz = 0;
        MicroscopeState.LockInOn = 0;
        MicroscopeState.FeedbackSets = savedSets_;
        MicroscopeState.FeedbackMode = savedMode_;
        DriverLinkFixture::TearDown();
    }
    // The feedback mode window beside the parameter window, and a mode chosen from its list.
    void OpenFeedbackWindow()
    {
        feedback_ = std::make_unique<TfeedbackForm>(*device_, form_.get(), nullptr);
        feedback_->FormCreate();
    }
    void ChooseMode(int index)
    {
        feedback_->ComboBox1()->setCurrentIndex(index);
        emit feedback_->ComboBox1()->activated(index);
    }
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> form_;
    std::unique_ptr<TfeedbackForm> feedback_;
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    int savedMode_ = 3;
};

} // namespace

TEST_F(ScanPagesTest, FastZPageWritesTheLoopWithItsPrefixesAndRefusesABadAlpha)
{
    Start(29);
    TFastZPage& page = *form_->FastZ();
    // Ki "5" with the prefix "k" is 5000: q0 = Ki·T/2 + Kp, negated in contact mode.
    page.PrefixLabelMouseDown(page.Label39, true);
    EXPECT_EQ(page.Label39->text(), "k");
    page.Edit20->setText("5");
    page.Edit17->setText("0.5");
    page.EditFastzKeyPress(page.Edit20, true);
    EXPECT_EQ(page.Edit20->Color(), EditColor::White);
    EXPECT_EQ(sim_->Register(83), -static_cast<int32_t>(std::nearbyint((5000 * 1e-6 / 2 + 0.5) * 1073741824.0)));
    EXPECT_EQ(sim_->Register(82), 0);
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit20Text", ""), "5");

    // Back to no prefix: 5 k becomes 5000 in the edit, the same gain.
    page.PrefixLabelMouseDown(page.Label39, false);
    EXPECT_EQ(page.Edit20->text(), "5000");
    EXPECT_EQ(ini_->ReadInteger("ScanPara", "Label39Tag", 9), 0);

    // alpha 0 would divide Td by zero: red, nothing stored.
    page.Edit13->setText("2");
    page.Edit13KeyPress(true);
    page.Label35Click();
    EXPECT_EQ(page.Label35->text(), "alpha");
    page.Edit13->setText("0");
    page.Edit13KeyPress(true);
    EXPECT_EQ(page.Edit13->Color(), EditColor::Red);
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit13Text", "none"), "none");

    // Retracted: the loop pulls back whatever the mode, with every record sent.
    device_->RetractFlag = true;
    device_->UpdateFeedback();
    EXPECT_EQ(sim_->Register(65), FastZRetractedSetpoint);
    EXPECT_EQ(sim_->Register(82), FastZModeRetracted);
    device_->RetractFlag = false;
}

// The module's coefficients are Q30 words: q0 = Kp and q1 = -Kp without Td,
// q0 = Ki·T/2 + Kp, so |Kp| < 2 and |Ki| < 4e6. A gain at the limit goes to
// the registers and the settings; one beyond turns red, is not stored, and
// the registers keep the set before it.
TEST_F(ScanPagesTest, FastZGainsBeyondTheModulesWordsAreRefusedAndNotStored)
{
    Start(29);
    TFastZPage& page = *form_->FastZ();
    const auto type = [](TNumericEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        TypeAndEnter(edit, text);
    };
    const auto q30 = [](double x) { return static_cast<int32_t>(std::nearbyint(x * 1073741824.0)); };

    type(page.Edit17, "1.999999999");
    EXPECT_EQ(page.Edit17->Color(), EditColor::White);
    EXPECT_EQ(sim_->Register(83), -q30(1.999999999)); // negated in contact mode
    EXPECT_EQ(sim_->Register(84), q30(1.999999999));
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit17Text", ""), "1.999999999");
    for (const char* beyond : {"2", "-2", "1e12"}) {
        SCOPED_TRACE(beyond);
        type(page.Edit17, beyond);
        EXPECT_EQ(page.Edit17->Color(), EditColor::Red);
        EXPECT_EQ(ini_->ReadString("ScanPara", "Edit17Text", ""), "1.999999999");
        EXPECT_EQ(sim_->Register(83), -q30(1.999999999));
    }
    type(page.Edit17, "0");
    EXPECT_EQ(page.Edit17->Color(), EditColor::White);

    type(page.Edit20, "3999999");
    EXPECT_EQ(page.Edit20->Color(), EditColor::White);
    EXPECT_EQ(sim_->Register(83), -q30(3999999 * 1e-6 / 2));
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit20Text", ""), "3999999");
    for (const char* beyond : {"4000000", "5e9"}) {
        SCOPED_TRACE(beyond);
        type(page.Edit20, beyond);
        EXPECT_EQ(page.Edit20->Color(), EditColor::Red);
        EXPECT_EQ(ini_->ReadString("ScanPara", "Edit20Text", ""), "3999999");
        EXPECT_EQ(sim_->Register(83), -q30(3999999 * 1e-6 / 2));
    }
    // Judged as the engaged loop runs it, also while the loop is retracted.
    device_->RetractFlag = true;
    type(page.Edit20, "4000000");
    EXPECT_EQ(page.Edit20->Color(), EditColor::Red);
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit20Text", ""), "3999999");
    device_->RetractFlag = false;
}

TEST_F(ScanPagesTest, TheWheelStepsTheFastZEditsAndTheTdLabelBeeps)
{
    Start(29);
    TFastZPage& page = *form_->FastZ();
    page.Edit13->setText("10");
    page.Edit13KeyPress(true);
    // One slow notch up on Td: 1 %, applied through the edit's own Enter.
    form_->FormMouseWheel(120, false, page.Edit13, 1000.0);
    EXPECT_EQ(page.Edit13->text(), "10.1");
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit13TextTd", ""), "10.1");
    EXPECT_EQ(page.Edit13->Color(), EditColor::White);
    page.Edit17->setText("2");
    page.EditFastzKeyPress(page.Edit17, true);
    form_->FormMouseWheel(-120, false, page.Edit17, 1001.0);
    EXPECT_EQ(page.Edit17->text(), "1.98");
    EXPECT_EQ(ini_->ReadString("ScanPara", "Edit17Text", ""), "1.98");

    // A double click on the Td label beeps (and toggles the pulse bias).
    const int beeps = boxes_.BeepCount();
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(page.Label35, &dbl);
    EXPECT_EQ(boxes_.BeepCount(), beeps + 1);
}

TEST_F(ScanPagesTest, TheKiLabelsOfTheZAndFastZPagesBothSwitchToTheApproachKi)
{
    ini_->WriteString("FeedPara", "Edit5_3", "40");
    ini_->WriteString("FeedPara", "Edit5_3Approach", "25");
    Start(29);
    QLabel* zKi = form_->Label("Label19");
    QLabel* fastKi = form_->FastZ()->Label29;
    ASSERT_NE(fastKi, nullptr);
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki, 40.0f);
    // The FastZ page's "Ki" label: the approach Ki, marked on the z page's label.
    QTest::mouseClick(fastKi, Qt::LeftButton);
    EXPECT_TRUE(form_->ApproachKiActive());
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki, 25.0f);
    EXPECT_EQ(zKi->palette().color(zKi->backgroundRole()), QColor(Qt::blue));
    // Either label switches back.
    QTest::mouseClick(zKi, Qt::LeftButton);
    EXPECT_FALSE(form_->ApproachKiActive());
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki, 40.0f);
    QTest::mouseClick(zKi, Qt::LeftButton);
    QTest::mouseClick(fastKi, Qt::LeftButton);
    EXPECT_FALSE(form_->ApproachKiActive());
    EXPECT_EQ(sim_->Feedback().IntegralGain, -40);
}

// A double click on a slope opens its edit under the labels; Enter closes it.
// The page's controls stay where they were all the while.
TEST_F(ScanPagesTest, TheLevelPagesSlopeEditMovesNothingOnThePage)
{
    Start(26);
    TLevelPage& level = *form_->Level();
    QWidget* page = form_->PageControl()->findChild<QWidget*>("LevelPage");
    ASSERT_NE(page, nullptr);
    form_->show();
    form_->PageControl()->setCurrentWidget(page);
    QTest::mouseClick(level.Modes[static_cast<size_t>(LevelFixed)], Qt::LeftButton);
    const auto places = [&] {
        QCoreApplication::processEvents();
        std::vector<QRect> rects;
        for (QWidget* w : {static_cast<QWidget*>(level.Label18), static_cast<QWidget*>(level.Label22), level.Image3,
                           static_cast<QWidget*>(level.Modes[0]), static_cast<QWidget*>(level.Modes[2])})
            rects.push_back(QRect(w->mapTo(page, QPoint(0, 0)), w->size()));
        return rects;
    };
    const std::vector<QRect> before = places();
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(level.Label18, &dbl);
    ASSERT_TRUE(level.Edit12->isVisible());
    EXPECT_EQ(places(), before);
    QTest::keyClick(level.Edit12, Qt::Key_Return);
    EXPECT_FALSE(level.Edit12->isVisible());
    EXPECT_EQ(places(), before);
}

TEST_F(ScanPagesTest, LevelPageSendsKeepsAndLimitsTheSlopes)
{
    Start(26);
    TLevelPage& level = *form_->Level();
    ASSERT_TRUE(level.InDegrees());
    level.LevelRadioGroup1Click(LevelFixed);
    level.LabelDblClick(18);
    level.Edit12->setText(QString::fromUtf8("45°"));
    level.Edit12KeyPress(true);
    EXPECT_EQ(level.Label18->text(), QString::fromUtf8("dz/dx=10.000°"));
    const double limit = LevelLimitSlope / level.AngleX();
    EXPECT_NEAR(ini_->ReadFloat("ScanPara", "dxdz", 0), limit, 1e-6 * limit);
    EXPECT_EQ(sim_->Slope().DzDx, static_cast<int32_t>(std::nearbyint(std::min(limit, 1e9))));

    // A slope dragged 20 pixels right of the middle doubles.
    level.Label22Click();
    level.LabelDblClick(22);
    level.Edit12->setText("1");
    level.Edit12KeyPress(true);
    const double dy = ScanParams.LevelDyDz.load();
    level.Image3MouseDown(92);
    level.Image3MouseUp(92);
    EXPECT_NEAR(ScanParams.LevelDyDz.load(), 2 * dy, 1e-9 * std::abs(dy));

    // Both slopes are stored as set.
    const double dx = ScanParams.LevelDxDz.load();
    const double dyDoubled = ScanParams.LevelDyDz.load();
    ASSERT_NE(dyDoubled, 0.0);
    EXPECT_NEAR(ini_->ReadFloat("ScanPara", "dxdz", 0), dx, 1e-6 * std::abs(dx));
    EXPECT_NEAR(ini_->ReadFloat("ScanPara", "dydz", 0), dyDoubled, 1e-6 * std::abs(dyDoubled));
    const int32_t sentX = sim_->Slope().DzDx;
    const int32_t sentY = sim_->Slope().DzDy;
    ASSERT_NE(sentY, 0);

    // Off sends zero slopes and leaves the stored ones alone; Fixed brings
    // both back.
    const QString storedX = ini_->ReadString("ScanPara", "dxdz", "");
    const QString storedY = ini_->ReadString("ScanPara", "dydz", "");
    level.LevelRadioGroup1Click(LevelOff);
    EXPECT_EQ(sim_->Slope().DzDx, 0);
    EXPECT_EQ(sim_->Slope().DzDy, 0);
    EXPECT_EQ(ini_->ReadString("ScanPara", "dxdz", ""), storedX);
    EXPECT_EQ(ini_->ReadString("ScanPara", "dydz", ""), storedY);
    level.LevelRadioGroup1Click(LevelFixed);
    EXPECT_EQ(sim_->Slope().DzDx, sentX);
    EXPECT_EQ(sim_->Slope().DzDy, sentY);
    EXPECT_NEAR(ScanParams.LevelDyDz.load(), dyDoubled, 1e-6 * std::abs(dyDoubled));
    level.LevelRadioGroup1Click(LevelOff);

    // The lift height snaps to the Z digits.
    level.Edit14->setText("1.234");
    level.Edit14KeyPress(true);
    EXPECT_EQ(level.Edit14->text(), "1.230");
    EXPECT_EQ(ini_->ReadString("Window", "FlyHeight", ""), "1.230");
}

// Both slopes tilt at most 10°: an angle inside is sent as typed, one beyond
// is kept at the slope of about 10° in the label, the settings and the record.
TEST_F(ScanPagesTest, BothLevelSlopesAreKeptWithinTenDegrees)
{
    Start(26);
    TLevelPage& level = *form_->Level();
    ASSERT_TRUE(level.InDegrees());
    level.LevelRadioGroup1Click(LevelFixed);
    struct TAxis {
        int Tag;
        const char* Key;
        double Factor;
    };
    for (const TAxis& axis : {TAxis{18, "dxdz", level.AngleX()}, TAxis{22, "dydz", level.AngleY()}}) {
        for (const auto& [typed, degrees, limited] :
             {std::tuple{"9.9", 9.9, false}, std::tuple{"10.001", 10.0, true}, std::tuple{"-9.9", -9.9, false},
              std::tuple{"-10.001", -10.0, true}, std::tuple{"89", 10.0, true}}) {
            SCOPED_TRACE(std::string(axis.Key) + " " + typed);
            level.LabelDblClick(axis.Tag);
            level.Edit12->setText(typed);
            level.Edit12KeyPress(true);
            const double slope = limited ? std::copysign(LevelLimitSlope, degrees) / axis.Factor
                                         : std::tan(degrees * std::numbers::pi / 180.0) / axis.Factor;
            QLabel* label = axis.Tag == 18 ? level.Label18 : level.Label22;
            EXPECT_TRUE(label->text().endsWith(QString::number(degrees, 'f', 3) + QString::fromUtf8("°")))
                << label->text().toStdString();
            EXPECT_NEAR(ini_->ReadFloat("ScanPara", axis.Key, 0), slope, 1e-6 * std::abs(slope));
            const int32_t sent = axis.Tag == 18 ? sim_->Slope().DzDx : sim_->Slope().DzDy;
            EXPECT_EQ(sent, static_cast<int32_t>(std::nearbyint(std::clamp(slope, -1e9, 1e9))));
        }
    }
}

TEST_F(ScanPagesTest, FeedbackWindowSwitchesModesAndForcesTheLockInWhereNeeded)
{
    Start(26);
    ini_->WriteBool("Microscope", "enableLockin", false);
    feedback_ = std::make_unique<TfeedbackForm>(*device_, form_.get(), nullptr);
    int resonanceShown = -1;
    feedback_->ShowResonanceWindow = [&resonanceShown](bool on) { resonanceShown = on; };
    feedback_->FormCreate();
    EXPECT_EQ(feedback_->ComboBox1()->currentIndex(), 4);
    EXPECT_TRUE(feedback_->Memo1()->toPlainText().startsWith("delta_new:=IN0-setpoint\ntemp:=IN0\n"));

    const int records = CountCode(*sim_, IOCTL_SET_FEEDBACK);
    // A setpoint typed but not applied is forgotten with the mode change.
    TNumericEdit* setpoint = form_->Edit("Edit1");
    setpoint->setText("7");
    setpoint->SetColor(EditColor::Silver);
    feedback_->ComboBox1()->setCurrentIndex(5); // "AFM amplitude R"
    feedback_->ComboBox1Change();
    EXPECT_EQ(setpoint->Color(), EditColor::White);
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), 4);
    EXPECT_EQ(ini_->ReadInteger("Microscope", "Feedback", 0), 4);
    EXPECT_GT(CountCode(*sim_, IOCTL_SET_FEEDBACK), records);
    EXPECT_TRUE(feedback_->CheckBox(2)->isChecked());
    EXPECT_FALSE(feedback_->CheckBox(2)->isEnabled());

    feedback_->ComboBox1()->setCurrentIndex(1); // "STM general"
    feedback_->ComboBox1Change();
    EXPECT_FALSE(feedback_->CheckBox(2)->isChecked());
    EXPECT_TRUE(feedback_->CheckBox(2)->isEnabled());
    feedback_->CheckBox(2)->setChecked(true);
    feedback_->CheckBox2Click();
    EXPECT_EQ(MicroscopeState.LockInOn.load(), 3u);
    EXPECT_EQ(resonanceShown, 1);
    EXPECT_TRUE(ini_->ReadBool("Microscope", "enableLockin", false));

    // No lock-in button: the Kelvin box clears itself.
    feedback_->LockInButtonVisible = [] { return false; };
    feedback_->CheckBox(1)->setChecked(true);
    feedback_->CheckBox1Click();
    EXPECT_FALSE(feedback_->CheckBox(1)->isChecked());

    feedback_->Edit1()->setText("4,5");
    feedback_->Edit1KeyPress();
    EXPECT_DOUBLE_EQ(CantileverParams.SpringConstant, 4.5);
    feedback_->Edit1()->setText("x");
    feedback_->Edit1KeyPress();
    EXPECT_EQ(feedback_->Edit1()->Color(), EditColor::Red);
    CantileverParams.SpringConstant = 1.0;
}

TEST_F(ScanPagesTest, AModeSwitchPutsTheModesBiasOnTheOutputAndThePolarityFollowsIt)
{
    // Bias in volts at 0.3 mV a digit, as bundled; STM general keeps −1 V,
    // contact mode 0.5 V.
    ini_->WriteString("Scale", "DAC2Edit1", "V");
    ini_->WriteString("Scale", "DAC2Edit2", "0.0003");
    ini_->WriteString("FeedPara", "Edit2_0", "-1");
    ini_->WriteString("FeedPara", "Edit2_3", "0.5");
    ini_->WriteString("FeedPara", "Edit2", "0.5"); // the active mode's, replayed at start-up
    Start(26);
    OpenFeedbackWindow();
    const auto choose = [&](int index) { ChooseMode(index); };
    const auto shown = [&] { return form_->Edit("Edit2")->text().toStdString(); };

    choose(1); // "STM general"
    EXPECT_EQ(shown(), "-1.000");
    EXPECT_EQ(sim_->Register(RegBias), -3333);
    EXPECT_EQ(sim_->Feedback().ControlWord, FbWordStm | FbBitInvert); // the loop of a negative bias

    choose(4); // contact mode: its own bias on the output
    EXPECT_EQ(shown(), "0.500");
    EXPECT_EQ(sim_->Register(RegBias), 1667);
    EXPECT_EQ(sim_->Feedback().ControlWord, FbWordContact);

    // A bias typed in contact mode stays with contact mode; back in STM the
    // output and the polarity are STM's again.
    EXPECT_TRUE(form_->EnterText("Edit2", "0.25"));
    EXPECT_EQ(sim_->Register(RegBias), 833);
    choose(1);
    EXPECT_EQ(shown(), "-1.000");
    EXPECT_EQ(sim_->Register(RegBias), -3333);
    EXPECT_EQ(sim_->Feedback().ControlWord, FbWordStm | FbBitInvert);
    EXPECT_TRUE(form_->EnterText("Edit2", "2"));
    EXPECT_EQ(sim_->Register(RegBias), 6667);
    EXPECT_EQ(sim_->Feedback().ControlWord, FbWordStm);
    choose(4);
    EXPECT_EQ(shown(), "0.250");
    EXPECT_EQ(sim_->Register(RegBias), 833);
    choose(1);
    EXPECT_EQ(shown(), "2.000");
    EXPECT_EQ(sim_->Register(RegBias), 6667);
    EXPECT_EQ(sim_->Feedback().ControlWord, FbWordStm);
}

// Gains stored beyond the controller's 1e9 for a mode other than the one the
// program starts in reach the controller as the limit when that mode is
// chosen, and the edit and the settings say so too, as for typed gains.
TEST_F(ScanPagesTest, AModesStoredGainsBeyondTheLimitAreKeptAsTheLimitWhenItIsChosen)
{
    ini_->WriteString("FeedPara", "Edit6_0", "5e9");  // STM general: Kp
    ini_->WriteString("FeedPara", "Edit6_1", "-1e9"); // STM const. height: at the limit
    ini_->WriteString("FeedPara", "Edit5_1", "0");
    ini_->WriteString("FeedPara", "Edit1_0", "1");
    ini_->WriteString("FeedPara", "Edit1_1", "1");
    Start(26);
    OpenFeedbackWindow();
    const auto choose = [&](int index) { ChooseMode(index); };
    struct TCase {
        int Item;
        const char* Key;
        double Kept;
    };
    for (const TCase& c : {TCase{1, "Edit6_0", 1e9}, TCase{2, "Edit6_1", -1e9}}) {
        SCOPED_TRACE(c.Key);
        choose(c.Item);
        EXPECT_EQ(sim_->Feedback().ProportionalGain, static_cast<int32_t>(c.Kept));
        double shown = 0.0;
        ASSERT_TRUE(ParseNumber(form_->Edit("Edit6")->text(), shown));
        EXPECT_DOUBLE_EQ(shown, c.Kept);
        EXPECT_DOUBLE_EQ(ini_->ReadFloat("FeedPara", c.Key, 0.0), c.Kept);
    }
}

TEST_F(ScanPagesTest, ASetpointBeyondTheInputIsKeptShownAndSavedAsTheControllerGotIt)
{
    ini_->WriteString("Scale", "ADC1Edit1", "V");
    ini_->WriteString("Scale", "ADC1Edit2", "0.0003");
    Start(26);
    // Contact mode on the error input: 100 V is far beyond its ±9.8 V.
    ASSERT_EQ(MicroscopeState.FeedbackMode.load(), 3);
    const TIOScale& input = ChannelTable[SlotOfChannelIndex(static_cast<int>(MicroscopeState.FeedbackChannel))];
    const double limit = (input.MaxRaw.load() + input.Offset.load()) * double(input.Factor.load());
    ASSERT_LT(limit, 100.0);
    form_->EnterText("Edit1", "100");
    const float kept = MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint;
    EXPECT_NEAR(kept, limit, 1e-3);
    double shown = 0.0;
    ASSERT_TRUE(ParseNumber(form_->Edit("Edit1")->text(), shown));
    EXPECT_NEAR(shown, limit, 1e-3);
    EXPECT_EQ(ini_->ReadString("FeedPara", "Edit1_3", ""), form_->Edit("Edit1")->text());
    EXPECT_EQ(sim_->Feedback().Setpoint, input.MaxRaw.load() / 4);

    // Inside the range the setpoint stays as typed.
    form_->EnterText("Edit1", "0.1");
    EXPECT_EQ(form_->Edit("Edit1")->text(), "0.1");
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint, 0.1f);
}

TEST_F(ScanPagesTest, AModeThatForcesTheLockInSwitchesTheExcitationAsTheBoxShows)
{
    Start(26);
    ini_->WriteBool("Microscope", "enableLockin", false);
    ini_->WriteFloat("dnc", "Ampl", 0.5);
    ini_->WriteFloat("dnc", "Scale0", 6553.5); // drive words per volt of the ±10 V range
    ini_->WriteFloat("dnc", "Scale2", 65535);
    ini_->WriteFloat("dnc", "Scale3", 655350);
    feedback_ = std::make_unique<TfeedbackForm>(*device_, form_.get(), nullptr);
    feedback_->FormCreate();
    feedback_->show();
    ASSERT_EQ(feedback_->ComboBox1()->currentIndex(), 4);
    EXPECT_EQ(sim_->LockInSettings().AmplitudeWord, 0);

    // "AFM amplitude R" ticks the box: the drive reaches the controller.
    PressKey(feedback_->ComboBox1(), Qt::Key_Down);
    ASSERT_EQ(MicroscopeState.FeedbackMode.load(), 4);
    EXPECT_TRUE(feedback_->CheckBox(2)->isChecked());
    EXPECT_NE(sim_->LockInSettings().AmplitudeWord, 0);
    EXPECT_NEAR(sim_->DriveVolts(), 0.5, 0.01);
    EXPECT_EQ(MicroscopeState.LockInOn.load() & 1u, 1u);

    // Back to the mode whose saved choice is off: the box and the drive go off together.
    PressKey(feedback_->ComboBox1(), Qt::Key_Up);
    EXPECT_FALSE(feedback_->CheckBox(2)->isChecked());
    EXPECT_EQ(sim_->LockInSettings().AmplitudeWord, 0);
    EXPECT_EQ(MicroscopeState.LockInOn.load(), 0u);
}
