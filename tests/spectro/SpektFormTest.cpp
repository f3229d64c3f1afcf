// The spectroscopy window on the simulated controller: curves of each kind
// measured as an operator would, with the controller's guard on.

#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "device/SpektRequests.h"
#include "spectro/SpektForm.h"
#include "support/KeyInput.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

using namespace qvt;
using namespace qvt::test;

namespace {

constexpr double ZFactor = 0.01; // nm per digit
constexpr int ModeStm = 0;
constexpr int ModeContact = 3;

class SpektFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        user_ = std::make_unique<TQVTIniFile>(dir_.Path() + "user.ini");
        savedUser_ = UserIni;
        UserIni = user_.get();
        savedName_ = SpektModeName;
        savedSets_ = MicroscopeState.FeedbackSets;
        savedAverage_ = AverageCount.load();
        Scale("DAC1", "Topography", "nm", "0.01", "", false);
        Scale("DAC2", "Bias", "V", "0.001", "", false);
        Scale("DAC3", "X", "nm", "0.05", "", false);
        Scale("DAC4", "Y", "nm", "0.05", "", false);
        Scale("ADC1", "Signal", "nA", "0.001", "1", true);
        Scale("ADC3", "Z sensor", "nm", "0.01", "3", true);
        ini_->WriteInteger("Microscope", "Feedback", ModeContact);
    }

    void Scale(const QString& ch, const QString& label, const QString& unit, const QString& factor,
               const QString& address, bool listed)
    {
        ini_->WriteString("Scale", ch + "Label2", label);
        ini_->WriteString("Scale", ch + "Edit1", unit);
        ini_->WriteString("Scale", ch + "Edit2", factor);
        if (!address.isEmpty())
            ini_->WriteString("Scale", ch + "Edit0", address);
        ini_->WriteBool("Scale", ch + "CheckBox1", listed);
    }

    // The device window engaged in `mode` at the set point, then the window.
    void Start(int mode, float setpoint, float bias, sim::SimConfig config = FastConfig())
    {
        sim_ = PlugSim(config);
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        MicroscopeState.FeedbackMode = mode;
        TFeedbackSet& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(mode)];
        set.Setpoint = setpoint;
        set.Bias = bias;
        set.InputAddr = 0; // ADC1
        device_->SetBias(bias);
        device_->UpdateFeedback();
        form_ = std::make_unique<TSpektForm>(*device_);
        form_->FormCreate();
    }

    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        form_.reset();
        if (device_)
            device_->FormDestroy();
        device_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->GuardViolationCount(), 0);
        }
        MicroscopeState.FeedbackSets = savedSets_;
        AverageCount = savedAverage_;
        SpektModeName = savedName_;
        UserIni = savedUser_;
        DriverLinkFixture::TearDown();
    }

    // The kind's section as the options window would leave it.
    void Kind(const QString& name, int points, double cycle, bool lead, int channels = 2, int average = 1)
    {
        user_->WriteInteger(name, "DataPoints", points);
        user_->WriteFloat(name, "Cycle", cycle);
        user_->WriteString(name, "Leadinout", lead ? "On" : "Off");
        user_->WriteInteger(name, "CountCh", channels);
        user_->WriteInteger(name, "Channel0", 0); // ADC1, the feedback input
        user_->WriteInteger(name, "Channel1", 1); // ADC3, the Z sensor
        user_->WriteInteger(name, "CountAverage", average);
        user_->WriteString(name, "Edit4", "102.4"); // 4 ticks a point
        form_->ComboBox1->setCurrentText(name);
        form_->ComboBox1Change();
        ASSERT_EQ(SpektModeName, name);
    }

    bool Run(bool repeat = false)
    {
        form_->RepeatButton->setChecked(repeat);
        form_->ScanButton->click();
        return PumpUntil([this] { return !form_->Measuring(); });
    }

    std::vector<double> Col(int column) const
    {
        const int n = form_->Points();
        return std::vector<double>(form_->SpektData.Col[column].begin(), form_->SpektData.Col[column].begin() + n);
    }

    std::unique_ptr<TQVTIniFile> user_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TSpektForm> form_;

private:
    TQVTIniFile* savedUser_ = nullptr;
    QString savedName_;
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    int32_t savedAverage_ = 1;
};

TEST_F(SpektFormTest, IzCurveGivesBackTheSimulatorsDecayConstant)
{
    sim::SimConfig config = FastConfig();
    config.Spekt.VibrationDigits = 0.0;
    Start(ModeStm, 2.0f, 0.5f, config);
    Kind("X(z)", 200, 0.5, false, 1);
    form_->Edit5->Apply("0");
    form_->Edit6->Apply("6"); // drawn back 6 nm
    ASSERT_TRUE(Run());

    const std::vector<double> z = Col(1);
    const std::vector<double> current = Col(3);
    EXPECT_NEAR(z.front(), 0.0, 1e-9);
    EXPECT_NEAR(z.back(), 6.0, 0.05);
    ASSERT_GT(current.front(), 0.0);
    // Least squares of ln I against z.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (size_t i = 0; i < z.size(); ++i) {
        if (current[i] <= 0.0)
            continue;
        const double y = std::log(current[i]);
        sx += z[i];
        sy += y;
        sxx += z[i] * z[i];
        sxy += z[i] * y;
        ++n;
    }
    ASSERT_GT(n, 100);
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double twoKappa = 1.0 / (config.Probe.CurrentDecay * ZFactor);
    EXPECT_NEAR(-slope, twoKappa, 0.05 * twoKappa);
    EXPECT_EQ(form_->StatusBar->text(), "1 / 1");
    EXPECT_EQ(form_->ScanButton->isChecked(), false);
    EXPECT_EQ(form_->windowTitle(), "Spectroscopy here");
}

TEST_F(SpektFormTest, IvCurveAtAFixedGapIsOhmicThroughZero)
{
    sim::SimConfig config = FastConfig();
    config.Spekt.VibrationDigits = 0.0;
    Start(ModeStm, 2.0f, 0.5f, config);
    Kind("X(U)", 101, 0.5, false, 1);
    form_->Edit8->Apply("-1"); // U1
    form_->Edit7->Apply("1");  // U2
    form_->Edit5->Apply("0");  // dz
    ASSERT_TRUE(Run());
    const std::vector<double> bias = Col(2);
    const std::vector<double> current = Col(3);
    EXPECT_NEAR(bias.front(), -1.0, 1e-6);
    EXPECT_NEAR(bias.back(), 1.0, 1e-6);
    const double atSetpoint = current[75]; // +0.5 V, where the loop held the tip
    ASSERT_GT(atSetpoint, 0.0);
    EXPECT_NEAR(current[50], 0.0, 0.01 * atSetpoint);
    EXPECT_NEAR(current[25], -atSetpoint, 0.01 * atSetpoint);
    EXPECT_NEAR(current[100], 2.0 * atSetpoint, 0.01 * atSetpoint);
    // The plot buttons of the channels in use come alive.
    EXPECT_TRUE(form_->PlotButtons[0]->isEnabled());
    EXPECT_FALSE(form_->PlotButtons[1]->isVisible());
}

TEST_F(SpektFormTest, ForceCurveShowsSnapInAndAdhesion)
{
    sim::SimConfig config = FastConfig();
    config.Spekt.VibrationDigits = 0.0;
    Start(ModeContact, 0.1f, 0.0f, config);
    Kind("X(z)", 400, 1.0, false, 1);
    form_->Edit5->Apply("0");
    form_->Edit6->Apply("4"); // out 4 nm and back
    ASSERT_TRUE(Run());
    const std::vector<double> z = Col(1);
    const std::vector<double> d = Col(3);
    const auto out = std::min_element(d.begin(), d.begin() + 200);
    const auto in = std::min_element(d.begin() + 200, d.end());
    // Pulled off: the deflection went far below zero, then jumped back to the free level.
    EXPECT_LT(*out, 2.0 * *in);
    EXPECT_NEAR(*(out + 1), 0.0, 1e-9);
    // On the way in it jumps onto the surface: free just before, attracted right after.
    EXPECT_NEAR(*(in - 1), 0.0, 1e-9);
    EXPECT_LT(*in, 0.0);
    EXPECT_GT(z[std::distance(d.begin(), out)], z[std::distance(d.begin(), in)]);
    EXPECT_NEAR(d.back(), d.front(), 1e-9);
}

TEST_F(SpektFormTest, ZStepTimeSeriesFollowsTheStep)
{
    sim::SimConfig config = FastConfig();
    config.Spekt.VibrationDigits = 0.0;
    Start(ModeStm, 2.0f, 0.5f, config);
    Kind("X(t) z-Step", 64, 1.0, false, 2);
    form_->Edit5->Apply("1"); // 1 nm back
    ASSERT_TRUE(Run());
    const std::vector<double> z = Col(1);
    const std::vector<double> current = Col(3);
    const std::vector<double> sensor = Col(4);
    // Played as differences: the Z slot integrates them back to the table.
    EXPECT_NEAR(z[0], 0.0, 1e-6);
    EXPECT_NEAR(z[10], 1.0, 1e-6);
    EXPECT_NEAR(z[40], 0.0, 1e-6);
    EXPECT_NEAR(current[10] / current[0], std::exp(-1.0 / (config.Probe.CurrentDecay * ZFactor)), 0.01);
    EXPECT_NEAR(sensor[0] - sensor[10], 1.0, 0.011);
    const std::vector<double> t = Col(0);
    EXPECT_NEAR(t[1], 102.4e-6, 1e-12);
}

TEST_F(SpektFormTest, ZNoiseSpectrumPeaksAtTheVibration)
{
    sim::SimConfig config = FastConfig();
    config.Spekt.VibrationDigits = 30.0;
    config.Spekt.VibrationHz = 40.0 / (256 * 102.4e-6); // on bin 40
    Start(ModeStm, 2.0f, 0.5f, config);
    Kind(SpektZNoiseName, 256, 0.5, false, 1);
    form_->Edit5->Apply("0.05");
    EXPECT_EQ(user_->ReadString(SpektZNoiseName, "Leadinout", ""), "Off");
    ASSERT_TRUE(Run());
    const std::vector<double> spectrum = Col(3);
    const std::vector<double> frequency = Col(7);
    const auto peak = std::max_element(spectrum.begin() + 4, spectrum.end());
    const double at = frequency[std::distance(spectrum.begin(), peak)];
    EXPECT_NEAR(at, config.Spekt.VibrationHz, 40.0);

    // Shown over frequency, the plot is scaled on the spectrum: the vibration
    // line reaches the top third, the 0 Hz bin (the mean) is left above it.
    user_->WriteInteger(SpektZNoiseName, "ViewX", 7);
    user_->WriteInteger(SpektZNoiseName, "ViewY0", 3);
    form_->DisplayData();
    EXPECT_GE(form_->Image1->YAxis.Max, *peak);
    EXPECT_GT(*peak, form_->Image1->YAxis.Min + 2.0 / 3.0 * (form_->Image1->YAxis.Max - form_->Image1->YAxis.Min));
    EXPECT_EQ(form_->Image1->XAxis.Min, 0.0);
}

TEST_F(SpektFormTest, AveragingWeighsEachCurveAndRepeatRestartsAfterCPlusOne)
{
    Start(ModeStm, 2.0f, 0.5f);
    Kind(SpektZNoiseName, 64, 0.5, false, 1, 3);
    form_->Edit5->Apply("0.5");
    // The z-noise table is new for every curve: the Z slot's spectra differ.
    std::vector<std::vector<double>> spectra;
    std::vector<int> counts;
    QObject::connect(form_.get(), &TSpektForm::curveDone, [&](int count) {
        counts.push_back(count);
        std::vector<double> s(64);
        SpektAmplitudeSpectrum(device_->SpektSlots[0].data(), 64, s.data());
        spectra.push_back(s);
    });
    ASSERT_TRUE(Run());
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(form_->StatusBar->text(), "3 / 3");
    ASSERT_EQ(spectra.size(), 3u);
    EXPECT_NE(spectra[0][6], spectra[1][6]);
    for (int i = 0; i < 64; ++i) {
        const double mean = (spectra[0][i] + spectra[1][i] + spectra[2][i]) / 3.0 * ZFactor;
        EXPECT_NEAR(form_->SpektData.Col[1][i], mean, 1e-6 * (1.0 + mean)) << i;
    }

    // Continue down: 1, 2, 3, 4 (folded in with n = 4), then a new average at 1.
    counts.clear();
    QObject::connect(form_.get(), &TSpektForm::curveDone, [&](int) {
        if (counts.size() == 6)
            form_->ScanButton->click(); // the operator lets go
    });
    ASSERT_TRUE(Run(true));
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3, 4, 1, 2}));
}

TEST_F(SpektFormTest, ReleasingMidCurveStopsTheControllerAndKeepsTheData)
{
    Start(ModeStm, 2.0f, 0.5f);
    Kind("X(z)", 64, 1.0, true, 1);
    form_->Edit6->Apply("1");
    ASSERT_TRUE(Run());
    const std::vector<double> before = Col(3);

    form_->ScanButton->click(); // a curve is under way
    ASSERT_TRUE(form_->Measuring());
    ASSERT_TRUE(device_->Timer3Active());
    form_->ScanButton->click(); // and released before its results are in
    EXPECT_FALSE(form_->Measuring());
    EXPECT_FALSE(device_->Timer3Active());
    EXPECT_EQ(device_->SpektRecord.Kind, 2);
    EXPECT_EQ(Col(3), before);
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), ModeStm);
    // The next run measures again.
    ASSERT_TRUE(Run());
    EXPECT_EQ(form_->StatusBar->text(), "1 / 1");
}

TEST_F(SpektFormTest, ANavigatorPointIsWhereTheCurveIsTaken)
{
    Start(ModeStm, 2.0f, 0.5f);
    Kind("X(z)", 16, 1.0, false, 1);
    form_->LinkNavigatorPoint(true, 10.0, -5.0);
    ASSERT_TRUE(Run());
    EXPECT_EQ(form_->windowTitle(), "Spectroscopy on [10,-5]");
    EXPECT_EQ(device_->SpektRecord.X, 200); // 0.05 nm per digit
    EXPECT_EQ(device_->SpektRecord.Y, -100);
    form_->LinkNavigatorPoint(false, 0.0, 0.0);
    EXPECT_EQ(form_->Edit1->text(), "Current Pos.");
    ASSERT_TRUE(Run());
    EXPECT_EQ(form_->windowTitle(), "Spectroscopy here");
}

TEST_F(SpektFormTest, MassSpecHoldsTheLoopAndGivesItsGainBack)
{
    ini_->WriteBool("Spekt", "MassSpec", true);
    Start(ModeStm, 2.0f, 0.5f);
    MicroscopeState.FeedbackSets[FeedbackSetIndex(ModeStm)].Ki = 7.0f;
    Kind("MassSpec", 16, 1.0, false, 1);
    boxes_.Clear();
    ASSERT_TRUE(Run());
    EXPECT_EQ(boxes_.LastText(), "System is waiting.\rPress OK to release.");
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(ModeStm)].Ki, 7.0f);

    // Released mid-curve: the gain comes back as well.
    form_->ScanButton->click();
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(ModeStm)].Ki, 0.0f);
    form_->ScanButton->click();
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(ModeStm)].Ki, 7.0f);
}

TEST_F(SpektFormTest, KindsShowTheirEditsAndWriteTheirSettings)
{
    Start(ModeContact, 0.1f, 0.0f);
    // At start-up the first kind's Kind is already written.
    EXPECT_EQ(user_->ReadInteger("X(z)", "Kind", -1), 5);
    form_->ComboBox1->setCurrentText("X(U) CL");
    form_->ComboBox1Change();
    EXPECT_FALSE(form_->Edit5->isVisibleTo(form_.get()));
    EXPECT_TRUE(form_->Edit8->isVisibleTo(form_.get()));
    EXPECT_EQ(user_->ReadInteger("X(U) CL", "Kind", -1), 11);

    // A name not in the list turns the selector red and keeps the kind.
    form_->ComboBox1->setCurrentText("X(q)");
    form_->ComboBox1Change();
    EXPECT_EQ(SpektModeName, "X(U) CL");

    // U1 is quantised to the bias digits and written back as shown.
    form_->Edit8->Apply("0.12345");
    EXPECT_EQ(form_->Edit8->text(), "0.123");
    EXPECT_EQ(user_->ReadString("X(U) CL", "Edit8", ""), "0.123");
    // delay2 in whole controller ticks.
    form_->Edit4->Apply("100");
    EXPECT_EQ(form_->Edit4->text(), "102.4");

    form_->ComboBox1->setCurrentText("X(z)");
    form_->ComboBox1Change();
    form_->Edit5->Apply("-0.5");
    EXPECT_EQ(form_->Edit5->text(), "-0.5");
    EXPECT_NEAR(form_->Dz1, -0.5, 1e-6);
    user_->WriteInteger("X(z)", "CountCh", 7);
    form_->SetupChannels();
    EXPECT_EQ(user_->ReadInteger("X(z)", "CountCh", -1), 1);

    form_->ComboBox1->setCurrentText("cmAFM X(U)");
    form_->ComboBox1Change();
    EXPECT_EQ(form_->Edit5Label->text(), "Ref");
    form_->Edit5->Apply("0.25");
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Setpoint, 0.25f);
}

// The settle delay (1..2000000 µs), the point time (1..2000000 controller
// ticks) and the press toward the sample ([Spekt] ZPressMax) are kept at their
// limits: the limit typed is taken as it is, one step beyond is kept as the
// limit, and the edit, the kind's settings, the record the controller gets and
// the next start all hold that one value.
TEST_F(SpektFormTest, DelaysAndThePressAreKeptAtTheLimitsTheControllerRuns)
{
    ini_->WriteFloat("Spekt", "ZPressMax", 2.0);
    Scale("DAC1", "Topography", "nm", "0.05", "", false); // a grid whose values take six digits
    Start(ModeContact, 0.1f, 0.0f);
    Kind("X(z)", 20, 0.5, false, 1);
    const auto type = [](TNumericEdit* edit, const QString& text) {
        edit->selectAll();
        TypeAndEnter(edit, text);
        EXPECT_EQ(edit->Color(), EditColor::White);
    };

    for (const auto& [typed, kept] : {std::pair{"2000000", 2000000}, std::pair{"2000001", 2000000}, std::pair{"1", 1},
                                      std::pair{"0", 1}, std::pair{"123457", 123457}}) {
        SCOPED_TRACE(typed);
        type(form_->Edit3, typed);
        EXPECT_EQ(device_->SpektRecord.Delay, kept);
        EXPECT_EQ(form_->Edit3->text().toDouble(), kept);
        EXPECT_EQ(user_->ReadString("Spekt", "Edit3", "").toDouble(), kept);
        EXPECT_DOUBLE_EQ(form_->Delay1, kept * 1e-6);
    }
    // 25.6 µs a tick.
    for (const auto& [typed, ticks] : {std::pair{"51200000", 2000000}, std::pair{"51200026", 2000000},
                                       std::pair{"25.6", 1}, std::pair{"0", 1}, std::pair{"25600025.6", 1000001}}) {
        SCOPED_TRACE(typed);
        type(form_->Edit4, typed);
        EXPECT_EQ(device_->SpektRecord.SampleTicks, ticks);
        EXPECT_NEAR(form_->Edit4->text().toDouble(), ticks * 25.6, 1e-6);
        EXPECT_NEAR(user_->ReadString("X(z)", "Edit4", "").toDouble(), ticks * 25.6, 1e-6);
        EXPECT_NEAR(form_->Delay2, ticks * 25.6e-6, 1e-12);
    }
    for (TNumericEdit* edit : {form_->Edit5, form_->Edit6}) {
        double& dz = edit == form_->Edit5 ? form_->Dz1 : form_->Dz2;
        const QString key = edit->objectName();
        for (const auto& [typed, kept] :
             {std::pair{"-2", -2.0}, std::pair{"-2.01", -2.0}, std::pair{"-1.95", -1.95}, std::pair{"-1e9", -2.0},
              std::pair{"1234.55", 1234.55}, std::pair{"1234.56", 1234.55}}) {
            SCOPED_TRACE(QString("%1 %2").arg(key, typed).toStdString());
            type(edit, typed);
            // On the Z digits' grid of 0.05 nm, in single precision.
            const double near = 1e-7 * std::max(1.0, std::abs(kept));
            EXPECT_NEAR(dz, kept, near);
            EXPECT_NEAR(edit->text().toDouble(), kept, near);
            EXPECT_NEAR(user_->ReadString("X(z)", key, "").toDouble(), kept, near);
        }
    }

    // The next start reads back what ran, and sends it.
    type(form_->Edit5, "0");
    type(form_->Edit6, "0.5");
    type(form_->Edit4, "25.6");
    type(form_->Edit3, "123457");
    form_->FormDestroy();
    form_ = std::make_unique<TSpektForm>(*device_);
    form_->FormCreate();
    form_->ComboBox1->setCurrentText("X(z)");
    form_->ComboBox1Change();
    EXPECT_EQ(form_->Edit3->text().toDouble(), 123457.0);
    EXPECT_NEAR(form_->Edit4->text().toDouble(), 25.6, 1e-9);
    EXPECT_NEAR(form_->Dz2, 0.5, 1e-6);
    sim_->ClearLog();
    ASSERT_TRUE(Run());
    bool sent = false;
    for (const sim::SimRequest& r : sim_->RequestLog()) {
        if (r.Code != IOCTL_SET_SPEKT)
            continue;
        sent = true;
        EXPECT_EQ(r.In[3], 123457); // Delay
        EXPECT_EQ(r.In[4], 1);      // SampleTicks
    }
    EXPECT_TRUE(sent);
}

} // namespace

TEST_F(SpektFormTest, PlotSaveAndCopyStayOffUntilACurveHasTheirData)
{
    Start(ModeStm, 2.0f, 0.5f);
    Kind("X(U)", 101, 0.5, false, 2);
    form_->show();
    // Nothing measured yet: no column to plot, no curve to write.
    for (int c = 0; c < 4; ++c)
        EXPECT_FALSE(form_->PlotButtons[c]->isEnabled()) << c;
    const QList<QWidget*> writers = {form_->SaveButton, form_->SaveAsButton, form_->ButtonCopy};
    for (QWidget* w : writers)
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    QTest::mouseClick(form_->SaveButton, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_FALSE(form_->SaveButton->isChecked()) << "a click on the Save that is off did something";

    Kind("X(U)", 101, 0.5, false, 1);
    ASSERT_TRUE(Run());
    EXPECT_TRUE(form_->PlotButtons[0]->isEnabled());
    for (QWidget* w : writers)
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    // A second channel chosen after the run shows its button, but that curve has no such column.
    Kind("X(U)", 101, 0.5, false, 2);
    ASSERT_FALSE(form_->PlotButtons[1]->isHidden());
    EXPECT_FALSE(form_->PlotButtons[1]->isEnabled());
    EXPECT_TRUE(form_->PlotButtons[0]->isEnabled());
}
