// The resonance tool's fit, auto tune, thermal-noise spectrum and export on
// the simulated cantilever (21 kHz, Q 200).

#include "support/LockInFixture.h"

#include "support/FullDisk.h"

#include "core/NumberText.h"
#include "device/InOutForm.h"
#include "lockin/DncForm.h"
#include "lockin/LockInOptionForm.h"
#include "lockin/LockInOptions.h"
#include "scan/DeviceWorkers.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace qvt {
namespace {

constexpr double SimF0 = 21000.0;
constexpr double SimQ = 200.0;

class ResonanceOnSim : public test::LockInOnSim {
protected:
    void SetUp() override
    {
        LockInOnSim::SetUp();
        savedNc100_ = MicroscopeState.NC100ProcentAmpl;
        savedZState_ = MicroscopeState.ZState;
        savedMode_ = MicroscopeState.FeedbackMode;
        ini_->WriteFloat("dnc", "Start", 10000.0);
        ini_->WriteFloat("dnc", "Stop", 30000.0);
        ini_->WriteFloat("dnc", "Use", SimF0);
        ini_->WriteString("dnc", "Ampl", "0.2");
        ini_->WriteInteger("dnc", "RedBandwidth", 1);
        ini_->WriteInteger("dnc", "Tau", 5);
        ini_->WriteInteger("dncopt", "datapoints", 512);
        ini_->WriteInteger("dncopt", "fitSHOalways", 1);
        ini_->WriteString("Scale", "DAC14Edit2", "0.001");
    }
    void TearDown() override
    {
        options_.reset();
        dnc_.reset();
        CloseDevice(workers_, io_);
        MicroscopeState.NC100ProcentAmpl = savedNc100_;
        MicroscopeState.ZState = savedZState_;
        MicroscopeState.FeedbackMode = savedMode_;
        OsziFlags = 0;
        LockInOnSim::TearDown();
    }

    void Start()
    {
        sim::SimConfig config = FastConfig();
        config.LogCapacity = 400000;
        sim_ = PlugSim(config);
        io_ = std::make_unique<TInOutForm>();
        io_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*io_);
        workers_->FormCreate();
        dnc_ = std::make_unique<TdncForm>(*workers_, dncOptions_);
        io_->LockInHooks.ResonanceTimeConstant = [this] { return dnc_->GetTimeConstant(); };
        dnc_->EnterInScanPara = [this](const QString& edit, const QString& text) {
            entered_.emplace_back(edit, text);
            return true;
        };
        dnc_->AskSaveName = [this](const QString&, const QString&, const QString&) {
            ++dialogs_;
            return dialogAnswer_;
        };
        dnc_->FormCreate();
        dnc_->LoadInputGain();
        options_ = std::make_unique<TLockInOptionForm>(*dnc_, dncOptions_, *io_);
        options_->FormCreate();
    }

    // Acquisitions to the end of the button press; each noise frame is
    // brought in by the simulator's clock and one buffer poll.
    void Acquire()
    {
        dnc_->SetScanButton(true);
        const bool ended = test::PumpUntil(
            [&] {
                if ((OsziFlags & OsziNoiseMeasurement) != 0) {
                    io_->DelayUs(100000);
                    io_->TimerOszi2Timer();
                }
                return !dnc_->Acquiring() && !dnc_->ScanButtonDown();
            },
            120000);
        EXPECT_TRUE(ended);
    }

    // Each acquisition sets the reference oscillator first.
    int CountAcquisitions() const
    {
        int n = 0;
        for (const sim::SimRequest& r : sim_->RequestLog())
            n += r.Code == IOCTL_WRITE_REG && r.InWords > 0 && r.In[0] == RegRefFreq;
        return n;
    }

    // Frequency of the newest curve's largest point.
    double PeakFrequency() const
    {
        const TDncPeak p = FindPeakIndex(dnc_->Curves.Newest(), dnc_->DataPoints);
        return p.Index * dnc_->SweepStep + dnc_->SweepStart;
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> io_;
    std::unique_ptr<TDeviceWorkers> workers_;
    TDncOptions dncOptions_;
    std::unique_ptr<TdncForm> dnc_;
    std::unique_ptr<TLockInOptionForm> options_;
    std::vector<std::pair<QString, QString>> entered_;
    QString dialogAnswer_;
    int dialogs_ = 0;

private:
    float savedNc100_ = 0.0f;
    int32_t savedZState_ = 0;
    int32_t savedMode_ = 0;
};

TEST_F(ResonanceOnSim, FitOfAWideSweepFindsTheCantileverAndItsQ)
{
    ini_->WriteInteger("dncopt", "datapoints", 2048);
    Start();
    dnc_->SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    const TShoFit& fit = dnc_->Fit;
    EXPECT_FALSE(fit.MathError);
    EXPECT_FALSE(fit.NoiseError);
    EXPECT_NEAR(fit.FitPeakFrequency, SimF0, dnc_->SweepStep);
    EXPECT_NEAR(fit.FitQ, SimQ, 0.2 * SimQ);
    EXPECT_TRUE(dnc_->StatusText(0).startsWith("Q: ")) << dnc_->StatusText(0).toStdString();
    EXPECT_TRUE(dnc_->StatusText(0).contains(" | fPeak: ")) << dnc_->StatusText(0).toStdString();
    EXPECT_FALSE(dnc_->MathErrLabel()->isVisibleTo(dnc_.get()));
    // A redraw does not fit again.
    dnc_->Fit.InnerSteps = -1;
    dnc_->DrawSpectrum();
    EXPECT_EQ(dnc_->Fit.InnerSteps, -1);

    // A curve the fit cannot take (its peak at the first point) is a math
    // error, and auto tune does not move the operating frequency on it.
    ini_->WriteInteger("dncopt", "AutoTuneOn", 1);
    std::vector<double>& newest = dnc_->Curves.Newest();
    for (size_t i = 0; i < newest.size(); ++i)
        newest[i] = 1.0 - 1.0e-5 * static_cast<double>(i);
    dnc_->FitDone = false;
    dnc_->AutoTunePending = true;
    const double before = dnc_->OperatingFrequency;
    dnc_->DrawSpectrum();
    EXPECT_TRUE(dnc_->Fit.MathError);
    EXPECT_EQ(dnc_->OperatingFrequency, before);
    EXPECT_NEAR(sim_->DriveFrequencyHz(), before, 0.5);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, AutoTuneNarrowsToTheResonanceAndSetsTheOperatingPointBelowIt)
{
    ini_->WriteInteger("dncopt", "AutoTuneOn", 1);
    ini_->WriteInteger("dncopt", "AutoPhase", 1);
    ini_->WriteInteger("dncopt", "ContAverage", 0);
    Start();
    MicroscopeState.FeedbackMode = 4;
    // The option window locks the fit on while auto tune is on.
    EXPECT_TRUE(options_->Check("fitSHOalwaysCheck")->isChecked());
    EXPECT_FALSE(options_->Check("fitSHOalwaysCheck")->isEnabled());
    EXPECT_FALSE(dnc_->RepeatButton()->isEnabled());
    EXPECT_EQ(dnc_->findChild<QToolButton*>("ScanButton")->property("Glyph").toString(), "AUTOTUNEICON");

    sim_->ClearLog();
    Acquire();
    EXPECT_GE(CountAcquisitions(), 2);
    EXPECT_LE(CountAcquisitions(), 6);
    EXPECT_LE(dnc_->Fit.QRounds, FitQRounds);
    const TShoFit& fit = dnc_->Fit;
    ASSERT_FALSE(fit.MathError);
    ASSERT_FALSE(fit.NoiseError);
    // Never wider than the auto-tune range, and narrow at the end.
    EXPECT_GE(dnc_->RangeStart, 10000.0);
    EXPECT_LE(dnc_->RangeStop, 30000.0);
    EXPECT_LT(dnc_->RangeStop - dnc_->RangeStart, 5.0 * fit.FitPeakFrequency / fit.FitQ);
    EXPECT_NEAR(fit.FitPeakFrequency, SimF0, 20000.0 / 512);
    const double expected = fit.FitPeakFrequency - 0.35 * fit.FitPeakFrequency / fit.FitQ;
    EXPECT_NEAR(dnc_->OperatingFrequency, expected, dnc_->SweepStep);
    EXPECT_NEAR(sim_->DriveFrequencyHz(), dnc_->OperatingFrequency, 0.5);
    // The set-point went over to the parameter window, the running mean came back.
    ASSERT_FALSE(entered_.empty());
    EXPECT_EQ(entered_.back().first, "Edit1");
    EXPECT_EQ(ini_->ReadInteger("dncopt", "ContAverage", -1), 0);
    // Auto phase nulled the phase at the operating frequency.
    io_->DelayUs(100000);
    double sum = 0.0;
    for (int i = 0; i < 20; ++i)
        sum += io_->ReadReg(ReadAddrResonancePhase);
    EXPECT_LT(std::abs(sum / 20.0 / 1000.0), 1.0);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, ThermalNoiseSpectrumShowsTheUndrivenResonance)
{
    ini_->WriteFloat("dnc", "Start", 20000.0);
    ini_->WriteFloat("dnc", "Stop", 22000.0);
    ini_->WriteInteger("dncopt", "ContAverage", 0);
    Start();
    dnc_->NoiseButton()->click();
    EXPECT_FALSE(dnc_->DriveEdit()->isEnabled());
    EXPECT_NEAR(sim_->DriveVolts(), 0.0, 1e-9);

    // The frame fills at 39062.5 / d samples a second: d = round(39062.5 / 2000) = 20.
    const int ranges = 20;
    dnc_->RepeatButton()->setChecked(true);
    dnc_->SetScanButton(true);
    ASSERT_TRUE((OsziFlags & OsziNoiseMeasurement) != 0);
    EXPECT_EQ(DncScopePeriod, 20);
    EXPECT_EQ(DncScopeChannels[1], -20);
    EXPECT_EQ(DncScopeChannels[2], -21);
    io_->DelayUs(10000);
    io_->TimerOszi2Timer();
    EXPECT_EQ(OsziBuffers[1].Count, 19); // 10 ms × 39062.5 / 20
    ASSERT_TRUE(test::PumpUntil(
        [&] {
            if ((OsziFlags & OsziNoiseMeasurement) != 0) {
                io_->DelayUs(100000);
                io_->TimerOszi2Timer();
            }
            if (dnc_->ContAverageCount >= ranges - 1)
                dnc_->RepeatButton()->setChecked(false);
            return !dnc_->Acquiring() && !dnc_->ScanButtonDown();
        },
        120000));
    EXPECT_EQ(dnc_->ContAverageCount, ranges);
    EXPECT_TRUE(dnc_->NoiseDone);
    EXPECT_EQ(OsziFlags & OsziNoiseMeasurement, 0);
    const TShoFit& fit = dnc_->Fit;
    EXPECT_FALSE(fit.NoiseError);
    EXPECT_FALSE(fit.MathError);
    EXPECT_NEAR(fit.FitPeakFrequency, SimF0, dnc_->SweepStep);
    EXPECT_NEAR(fit.FitQ, SimQ, 0.3 * SimQ);
    // In noise mode the quadrature is zero.
    EXPECT_EQ(dnc_->Curves.Y[100], 0.0);

    // Releasing the noise button gives the drive back.
    dnc_->NoiseButton()->click();
    EXPECT_TRUE(dnc_->DriveEdit()->isEnabled());
    EXPECT_NEAR(sim_->DriveVolts(), 0.2, 0.01);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, NoiseWaitEndsOnAbortAndPutsTheOscilloscopeBack)
{
    Start();
    dnc_->NoiseButton()->click();
    dnc_->SetScanButton(true);
    ASSERT_TRUE(dnc_->Acquiring());
    ASSERT_TRUE((OsziFlags & OsziNoiseMeasurement) != 0);
    dnc_->EscButtonClick();
    // No samples arrive (the simulated time stands still); the next poll ends the wait.
    io_->TimerOszi2Timer();
    EXPECT_FALSE(dnc_->Acquiring());
    EXPECT_FALSE(dnc_->NoiseDone);
    EXPECT_EQ(OsziFlags & OsziNoiseMeasurement, 0);
    EXPECT_EQ(OsziBuffers[1].Count, 1);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, SaveAndCopyWriteTheCurvesAndNeverOverwrite)
{
    const QString base = dir_.Path() + "curve";
    ini_->WriteString("dncopt", "SaveName", base);
    ini_->WriteInteger("dncopt", "SaveNumbered", 1);
    ini_->WriteInteger("dncopt", "DelimiterSave", 1);
    Start();
    EXPECT_FALSE(dnc_->SaveAsButton()->isEnabled()); // nothing measured yet
    dnc_->SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    EXPECT_TRUE(dnc_->SaveAsButton()->isEnabled());

    // Shift toggles auto save; a plain click saves and turns it off.
    dnc_->SaveButtonClick(true);
    EXPECT_TRUE(ini_->ReadBool("dncopt", "AutoSave", false));
    EXPECT_TRUE(dnc_->SaveButton()->isChecked());
    dnc_->SaveButtonClick(false);
    EXPECT_FALSE(ini_->ReadBool("dncopt", "AutoSave", true));
    QFile first(base + "0000.txt");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = first.readAll().split('\n');
    EXPECT_EQ(lines.size(), 513); // 512 lines and the empty rest
    EXPECT_TRUE(lines[0].endsWith("\r"));
    EXPECT_EQ(lines[0].split('\t').size(), 2);
    EXPECT_EQ(ini_->ReadInteger("dncopt", "NextNumber", 0), 1);
    EXPECT_EQ(ini_->ReadString("dncOpt", "LastSaveName", ""), base + "0000.txt");

    // At 9999 the number stays and the existing file is refused; the dialog
    // is cancelled, nothing is overwritten.
    ini_->WriteInteger("dncopt", "NextNumber", 9999);
    dnc_->SaveButtonClick(false);
    QFile last(base + "9999.txt");
    ASSERT_TRUE(last.exists());
    const qint64 size = last.size();
    dnc_->SaveButtonClick(false);
    EXPECT_EQ(last.size(), size);
    EXPECT_TRUE(boxes_.Texts().contains("File already exists!"));
    EXPECT_TRUE(boxes_.Texts().contains("File not saved!"));
    EXPECT_EQ(dialogs_, 1);

    // "Save as" takes name and extension from the dialog and numbers from 1.
    dialogAnswer_ = dir_.Path() + "other.dat";
    dnc_->ItemSaveClick();
    EXPECT_TRUE(QFile::exists(dir_.Path() + "other0001.dat"));
    EXPECT_EQ(ini_->ReadString("dncopt", "SaveExt", ""), "dat");

    // A missing directory is told, then the dialog comes (cancelled here).
    dialogAnswer_.clear();
    ini_->WriteString("dncopt", "SaveName", dir_.Path() + "missing/curve");
    dnc_->SaveButtonClick(false);
    EXPECT_TRUE(boxes_.Texts().contains("Directory does not exist!"));

    dnc_->CopytoClipboard1Click();
    const QStringList clip = QGuiApplication::clipboard()->text().split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(clip.size(), 512);
    EXPECT_EQ(clip[0].split('\t').size(), 2);
    EXPECT_EQ(clip[0].split('\t')[1].split('.')[1].size(), 9);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, OptionWindowWritesItsKeysAndTheResonanceWindowFollows)
{
    Start();
    TNumericEdit* average = options_->Edit("EditAverage");
    average->setText("5");
    options_->EditAverageKeyPress(EditKey::Enter);
    EXPECT_EQ(average->text(), "9");
    EXPECT_EQ(ini_->ReadInteger("dncopt", "average", 0), 9);
    average->setText("5000");
    options_->EditAverageKeyPress(EditKey::Enter);
    EXPECT_EQ(ini_->ReadInteger("dncopt", "average", 0), 3000);
    EXPECT_EQ(dnc_->AverageReads, 3000);
    average->setText("9");
    options_->EditAverageKeyPress(EditKey::Enter);
    TNumericEdit* history = options_->Edit("EditHistory");
    history->setText("150");
    options_->EditHistoryChange(EditKey::Enter);
    EXPECT_EQ(ini_->ReadInteger("dncopt", "history", 0), 100);
    EXPECT_EQ(dnc_->Curves.HistoryDepth(), 100);
    history->setText("-3");
    options_->EditHistoryChange(EditKey::Enter);
    EXPECT_EQ(dnc_->HistoryDepth, 0);
    EXPECT_EQ(ini_->ReadInteger("dncopt", "ScaleY", 1), 0);

    // A point-count change drops the curves and disables saving until the next sweep.
    dnc_->SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    ASSERT_TRUE(dnc_->SaveAsButton()->isEnabled());
    QComboBox* points = options_->Combo("ComboBoxDataPoints");
    points->setCurrentText("1024");
    options_->ComboBoxDataPointsChange();
    EXPECT_EQ(dnc_->DataPoints, 1024);
    EXPECT_EQ(dnc_->Curves.Newest()[300], 0.0);
    EXPECT_FALSE(dnc_->SaveAsButton()->isEnabled());

    // Input AC is control bit 0x80.
    options_->Check("CheckBoxACDC")->click();
    EXPECT_NE(sim_->ControlWord() & 0x80, 0);
    options_->Check("CheckBoxACDC")->click();
    EXPECT_EQ(sim_->ControlWord() & 0x80, 0);

    // Q control: gain word from the track bar, delay from the circle.
    options_->Check("CheckBox3")->click();
    options_->TrackBar()->setValue(900);
    EXPECT_EQ(LockInState.QControlGain, 131071);
    options_->QDelayMouse(70, 20, false); // above the centre of the 140 × 140 circle
    EXPECT_EQ(LockInState.QControlDelay, 90.0);
    EXPECT_EQ(ini_->ReadInteger("dncopt", "QDelay", 0), 90);

    // "Spectrum at Change": a change that cannot start an acquisition leaves
    // nothing pending, so the next change still reaches the controller.
    options_->Check("CheckBox4")->click();
    dnc_->show();
    dnc_->RangeStart = 30000.0;
    dnc_->RangeStop = 10000.0;
    options_->TrackBar()->setValue(300);
    EXPECT_TRUE(boxes_.Texts().contains("Start frequency bigger than stop frequency!"));
    options_->TrackBar()->setValue(600);
    EXPECT_EQ(LockInState.QControlGain, QControlGainWord(600));
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

// ---- each acquisition is one record ------------------------------------------------------------------

// A saved or copied curve: frequency and the newest value of each row.
struct SavedCurve {
    std::vector<double> Hz;
    std::vector<double> Value;
};

SavedCurve ParseCurve(const QString& text)
{
    SavedCurve c;
    for (const QString& line : text.split("\r\n", Qt::SkipEmptyParts)) {
        const QStringList f = line.split('\t');
        c.Hz.push_back(f.value(0).trimmed().toDouble());
        c.Value.push_back(f.value(1).trimmed().toDouble());
    }
    return c;
}

TEST_F(ResonanceOnSim, OptionControlsThatFollowABoxAreOffWhileItIsOff)
{
    Start();
    options_->show();
    auto* autoQDelay = options_->findChild<QPushButton*>("AutoQDelayBtn");
    ASSERT_NE(autoQDelay, nullptr);
    // Each box clicked twice, so both of its states are seen.
    for (int i = 0; i < 2; ++i) {
        options_->Check("CheckBox1")->click(); // "Auto 0°": the phase is taken, not typed
        EXPECT_EQ(options_->Edit("EditPhase")->isEnabled(), !options_->Check("CheckBox1")->isChecked());

        options_->Check("CheckBox3")->click(); // "Change Q"
        const bool q = options_->Check("CheckBox3")->isChecked();
        EXPECT_EQ(options_->TrackBar()->isEnabled(), q);
        EXPECT_EQ(options_->Check("CheckBox4")->isEnabled(), q);
        EXPECT_FALSE(autoQDelay->isEnabled());

        options_->Check("xAxisCheck")->click(); // the frequency range only for a fixed x axis
        const bool fixed = options_->Check("xAxisCheck")->isChecked();
        EXPECT_EQ(options_->Edit("EditFRange")->isEnabled(), fixed);
        EXPECT_EQ(options_->Edit("EditFRange")->isReadOnly(), !fixed);
    }
}

class RecordOnSim : public ResonanceOnSim {
protected:
    void SetUp() override
    {
        ResonanceOnSim::SetUp();
        ini_->WriteInteger("dncopt", "DelimiterSave", 1);
        ini_->WriteInteger("dncopt", "history", 0);
        ini_->WriteInteger("dncopt", "ShowPhase", 0);
        ini_->WriteInteger("dncopt", "SaveNumbered", 0);
        // Long enough a sweep that it is caught in its middle on any machine.
        ini_->WriteInteger("dncopt", "average", 300);
    }

    // Shown, so its buttons take clicks where the operator makes them.
    void Start()
    {
        ResonanceOnSim::Start();
        dnc_->show();
    }
    QToolButton* ScanButton() const { return dnc_->findChild<QToolButton*>("ScanButton"); }

    void TypeRange(const QString& start, const QString& stop)
    {
        for (int edit : {1, 2}) {
            TNumericEdit* e = dnc_->FrequencyEdit(edit);
            e->setText(edit == 1 ? start : stop);
            QTest::keyClick(e, Qt::Key_Return);
        }
    }
    // The acquisition button, and the simulated sweep run up to `hz` (0: to its end).
    void SweepTo(double hz)
    {
        QTest::mouseClick(ScanButton(), Qt::LeftButton);
        ASSERT_TRUE(dnc_->Acquiring()) << boxes_.Texts().join("|").toStdString() << " down " << dnc_->ScanButtonDown();
        if (hz > 0.0) {
            ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() || dnc_->CurrentFrequency >= hz; }, 60000));
            ASSERT_TRUE(dnc_->Acquiring()) << "the sweep ended before " << hz << " Hz";
        } else {
            WaitForEnd();
        }
    }
    void WaitForEnd()
    {
        ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    }
    SavedCurve SaveAs(const QString& name)
    {
        dialogAnswer_ = dir_.Path() + name;
        QTest::mouseClick(dnc_->SaveAsButton(), Qt::LeftButton);
        QFile file(dialogAnswer_);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        return ParseCurve(QString::fromLatin1(file.readAll()));
    }
    SavedCurve Copy()
    {
        QTest::mouseClick(dnc_->CopyButton(), Qt::LeftButton);
        return ParseCurve(QGuiApplication::clipboard()->text());
    }
    // Each row labelled with its own point of the sweep that ran from `start` in `step`s.
    static void ExpectLabels(const SavedCurve& c, double start, double step)
    {
        for (size_t i = 0; i < c.Hz.size(); ++i)
            ASSERT_NEAR(c.Hz[i], start + static_cast<double>(i + 1) * step, 0.006) << "row " << i;
    }
    static double Max(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); }
};

TEST_F(RecordOnSim, AnAbortedSweepSavesOnlyWhatItMeasuredAndDropsTheOldFit)
{
    Start();
    TypeRange("18000", "24000");
    SweepTo(0.0);
    ASSERT_TRUE(dnc_->StatusText(0).startsWith("Q: ")) << dnc_->StatusText(0).toStdString();
    const SavedCurve first = SaveAs("first.txt");
    ASSERT_EQ(first.Hz.size(), 512u);

    // The second sweep, narrower, stopped with Esc short of the resonance.
    TypeRange("20000", "22000");
    SweepTo(20300.0);
    const double next = dnc_->CurrentFrequency; // the point it would have measured next
    QTest::keyClick(dnc_.get(), Qt::Key_Escape);
    WaitForEnd();
    const double step = 2000.0 / 512;
    ASSERT_TRUE(dnc_->SaveAsButton()->isEnabled());
    const SavedCurve second = SaveAs("second.txt");
    const int rows = static_cast<int>(second.Hz.size());
    EXPECT_GT(rows, 50);
    EXPECT_LT(rows, 512);
    EXPECT_TRUE(dnc_->Fit.FitCurve.empty());
    EXPECT_EQ(dnc_->StatusText(0), QString("Sweep aborted: %1 of 512 points measured").arg(rows));
    ExpectLabels(second, 20000.0, step);
    EXPECT_NEAR(second.Hz.back(), next - step, 0.01);
    // Below the resonance, nowhere near the first sweep's peak ...
    if (second.Hz.back() < 20850.0) {
        EXPECT_LT(Max(second.Value), 0.7 * Max(first.Value));
    }
    // ... and where both sweeps measured, the same cantilever.
    for (size_t i = 0; i < second.Hz.size(); i += 16) {
        const auto j = static_cast<size_t>(std::lround((second.Hz[i] - 18000.0) / (6000.0 / 512))) - 1;
        EXPECT_NEAR(second.Value[i], first.Value[j], 0.25 * first.Value[j]) << second.Hz[i] << " Hz";
    }
    const SavedCurve copied = Copy();
    EXPECT_EQ(copied.Hz, second.Hz);
    for (size_t i = 0; i < copied.Value.size(); ++i)
        ASSERT_NEAR(copied.Value[i], second.Value[i], 1e-9 + 1e-6 * std::abs(second.Value[i]));

    // The picture ends where the sweep ended: no curve right of it.
    const int lastColumn = (rows + 1) >> dnc_->PointShift;
    const QImage& bitmap = dnc_->SpectrumBitmap();
    int drawn = 0;
    for (int x = lastColumn + 2; x < bitmap.width(); ++x)
        for (int y = 0; y < bitmap.height(); ++y)
            drawn += bitmap.pixel(x, y) != qRgb(255, 255, 255);
    EXPECT_EQ(drawn, 0);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(RecordOnSim, AFullDiskPutsNoCurveFileUnderItsNameAndIsToldOnce)
{
    ini_->WriteInteger("dncopt", "average", 9);
    Start();
    SweepTo(0);
    ASSERT_TRUE(dnc_->SaveAsButton()->isEnabled());
    const QString path = dir_.Path() + "full.txt";
    dialogAnswer_ = path;
    boxes_.Clear();
    {
        const test::FullDisk full([path](const QString& written) { return written == path; });
        QTest::mouseClick(dnc_->SaveAsButton(), Qt::LeftButton);
    }
    EXPECT_FALSE(QFileInfo::exists(path)) << "a curve that never reached the disk stands under its name";
    EXPECT_EQ(boxes_.Texts(), QStringList{"File access error!"});
    EXPECT_TRUE(test::HiddenFiles(dir_.Path()).isEmpty()) << "a temporary file was left";
    EXPECT_NE(ini_->ReadString("dncopt", "LastSaveName", ""), path);
    // Room again: the same click saves the curve.
    const SavedCurve saved = SaveAs("full.txt");
    EXPECT_EQ(saved.Hz.size(), 512u);
    EXPECT_EQ(ini_->ReadString("dncopt", "LastSaveName", ""), path);
    EXPECT_EQ(boxes_.Texts().size(), 1);
}

TEST_F(RecordOnSim, ASettingChangedDuringASweepEndsItOrWaitsForTheNextSweep)
{
    Start();
    TypeRange("20000", "22000");
    const double step = 2000.0 / 512;

    // Range and point count wait for the next sweep; the one running keeps its own.
    SweepTo(20500.0);
    TypeRange("19000", "23000");
    QComboBox* points = options_->Combo("ComboBoxDataPoints");
    points->setFocus();
    QTest::keyClick(points, Qt::Key_Down);
    ASSERT_EQ(ini_->ReadInteger("dncopt", "datapoints", 0), 1024);
    EXPECT_EQ(dnc_->StatusText(1), "point count: from the next sweep");
    WaitForEnd();
    EXPECT_EQ(dnc_->DataPoints, 512);
    EXPECT_TRUE(dnc_->StatusText(0).startsWith("Q: ")) << dnc_->StatusText(0).toStdString();
    SavedCurve c = Copy();
    ASSERT_EQ(c.Hz.size(), 512u);
    ExpectLabels(c, 20000.0, step);
    EXPECT_NEAR(c.Hz[FindPeakIndex(dnc_->Curves.Newest(), 512).Index - 1], SimF0, 3 * step);

    // Not running, a new point count drops the curve and its fit.
    QTest::keyClick(points, Qt::Key_Up);
    EXPECT_EQ(dnc_->DataPoints, 512);
    QTest::keyClick(points, Qt::Key_Up);
    EXPECT_EQ(dnc_->DataPoints, 256);
    EXPECT_EQ(dnc_->StatusText(0), "");
    EXPECT_TRUE(dnc_->Fit.FitCurve.empty());
    EXPECT_FALSE(dnc_->SaveAsButton()->isEnabled());
    EXPECT_FALSE(dnc_->CopyButton()->isEnabled());
    QTest::keyClick(points, Qt::Key_Down);
    ASSERT_EQ(dnc_->DataPoints, 512);
    TypeRange("20000", "22000");

    // The operating frequency typed during a sweep reaches the oscillator when it ends.
    SweepTo(20300.0);
    TNumericEdit* use = dnc_->FrequencyEdit(3);
    use->setText("21500");
    QTest::keyClick(use, Qt::Key_Return);
    EXPECT_NEAR(sim_->DriveFrequencyHz(), dnc_->CurrentFrequency, 2 * step);
    EXPECT_EQ(dnc_->StatusText(1), "use frequency: when the sweep ends");
    WaitForEnd();
    EXPECT_EQ(Copy().Hz.size(), 512u);
    EXPECT_NEAR(sim_->DriveFrequencyHz(), 21500.0, 0.5);

    // What reaches the lock-in at once ends the sweep; its points stay its own record.
    struct Change {
        const char* Setting;
        std::function<void()> Make;
    };
    const std::vector<Change> changes = {
        {"drive",
         [&] {
             dnc_->DriveEdit()->setText("0.1");
             QTest::keyClick(dnc_->DriveEdit(), Qt::Key_Return);
         }},
        {"input gain", [&] { dnc_->InputRadio(10)->click(); }},
        {"time constant",
         [&] {
             dnc_->TimeConstantBox()->setFocus();
             QTest::keyClick(dnc_->TimeConstantBox(), Qt::Key_Down);
         }},
        {"input coupling", [&] { options_->Check("CheckBoxACDC")->click(); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.Setting);
        SweepTo(20600.0);
        const double next = dnc_->CurrentFrequency;
        change.Make();
        WaitForEnd();
        c = Copy();
        const int rows = static_cast<int>(c.Hz.size());
        EXPECT_GT(rows, 100);
        EXPECT_LT(rows, 512);
        EXPECT_EQ(dnc_->StatusText(0),
                  QString("Sweep ended by the %1 change: %2 of 512 points measured").arg(change.Setting).arg(rows));
        EXPECT_TRUE(dnc_->Fit.FitCurve.empty());
        ExpectLabels(c, 20000.0, step);
        EXPECT_NEAR(c.Hz.back(), next - step, 0.01);
        const SavedCurve saved = SaveAs(QString(change.Setting).replace(' ', '_') + ".txt");
        EXPECT_EQ(saved.Hz, c.Hz);
    }
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(RecordOnSim, AThermalSpectrumEndedByASettingLeavesNothingToSave)
{
    ini_->WriteFloat("dnc", "Start", 20000.0);
    ini_->WriteFloat("dnc", "Stop", 22000.0);
    Start();
    QTest::mouseClick(dnc_->NoiseButton(), Qt::LeftButton);
    QTest::mouseClick(ScanButton(), Qt::LeftButton);
    ASSERT_TRUE(dnc_->Acquiring());
    dnc_->InputRadio(10)->click();
    io_->TimerOszi2Timer();
    EXPECT_FALSE(dnc_->Acquiring());
    EXPECT_FALSE(dnc_->NoiseDone);
    EXPECT_EQ(dnc_->StatusText(0), "Noise spectrum ended by the input gain change");
    EXPECT_FALSE(dnc_->SaveAsButton()->isEnabled());
    EXPECT_FALSE(dnc_->CopyButton()->isEnabled());

    // Run to its end it is a whole record of the resonance.
    QTest::mouseClick(ScanButton(), Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil(
        [&] {
            if ((OsziFlags & OsziNoiseMeasurement) != 0) {
                io_->DelayUs(100000);
                io_->TimerOszi2Timer();
            }
            return !dnc_->Acquiring() && !dnc_->ScanButtonDown();
        },
        120000));
    const SavedCurve c = Copy();
    ASSERT_EQ(c.Hz.size(), 512u);
    ExpectLabels(c, 20000.0, 2000.0 / 512);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

// ---- the options record both windows hold ----------------------------------------------------------

// Notices of `key` in a spy on the record, and whether all came from `by`.
int Notices(const QSignalSpy& spy, TDncOptions::Key key, const QObject* by = nullptr)
{
    int n = 0;
    for (const QList<QVariant>& notice : spy)
        n += notice.at(0).value<TDncOptions::Key>() == key && (by == nullptr || notice.at(1).value<QObject*>() == by);
    return n;
}

// The resonance window writes the harmonic back each time it applies the section.
constexpr TDncOptions::Key Applied = TDncOptions::Harmonic;

TEST_F(ResonanceOnSim, TheOptionsWindowsCreationHasTheStoredSectionAppliedOnce)
{
    ini_->WriteInteger("dncopt", "ac", 1);
    ini_->WriteInteger("dncopt", "AutoTuneOn", 1);
    ini_->WriteInteger("dncopt", "fitSHOalways", 0);
    QSignalSpy notices(&dncOptions_, &TDncOptions::changed);
    Start();
    EXPECT_EQ(Notices(notices, TDncOptions::All, options_.get()), 1);
    EXPECT_EQ(Notices(notices, Applied, dnc_.get()), 1);
    // The keys written while the window set itself up went in that one notice.
    EXPECT_EQ(Notices(notices, TDncOptions::ScaleY), 0);
    EXPECT_EQ(Notices(notices, TDncOptions::FitShoAlways), 0);
    EXPECT_TRUE(ini_->ReadBool("dncopt", "fitSHOalways", false));
    EXPECT_NE(sim_->ControlWord() & 0x80, 0); // input AC reached the controller
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, EachOptionChangeReachesTheResonanceWindowOnce)
{
    Start();
    QSignalSpy notices(&dncOptions_, &TDncOptions::changed);
    options_->Check("CheckBoxACDC")->click();
    EXPECT_EQ(Notices(notices, TDncOptions::Ac, options_.get()), 1);
    EXPECT_EQ(Notices(notices, Applied), 1);
    EXPECT_NE(sim_->ControlWord() & 0x80, 0);

    // "Change Q" writes its key before the gain goes out and again at the
    // end; the resonance window hears of it once and shows the range group.
    notices.clear();
    options_->Check("CheckBox3")->click();
    EXPECT_EQ(Notices(notices, TDncOptions::QEnabled), 1);
    EXPECT_TRUE(dnc_->RangeGroup()->isVisibleTo(dnc_.get()));
    EXPECT_EQ(Notices(notices, Applied), 0); // Q control only writes
    notices.clear();
    options_->Check("CheckBox3")->click();
    EXPECT_EQ(Notices(notices, TDncOptions::QEnabled), 1);
    EXPECT_FALSE(dnc_->RangeGroup()->isVisibleTo(dnc_.get()));

    // Controls that only write leave the resonance window alone.
    notices.clear();
    options_->Check("CheckBoxWobbel")->click();
    EXPECT_EQ(notices.size(), 1);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(ResonanceOnSim, WhatTheResonanceWindowWritesShowsInTheOptionsWindowAndStaysThere)
{
    ini_->WriteString("dncopt", "SaveName", dir_.Path() + "curve");
    ini_->WriteInteger("dncopt", "AutoPhase", 1);
    Start();
    options_->Check("CheckBoxNumbered")->click();
    dnc_->SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));

    // Save as: the options window shows the chosen name, extension and next number.
    QSignalSpy notices(&dncOptions_, &TDncOptions::changed);
    dialogAnswer_ = dir_.Path() + "other.dat";
    dnc_->SaveAsButton()->click();
    ASSERT_TRUE(QFile::exists(dir_.Path() + "other0001.dat"));
    EXPECT_EQ(options_->findChild<QLineEdit*>("EditFileName")->text(), dir_.Path() + "other");
    EXPECT_EQ(options_->findChild<QLineEdit*>("EditExtension")->text(), "dat");
    EXPECT_EQ(options_->Label("Label4")->text(),
              "next nr.:" + QString::number(ini_->ReadInteger("dncopt", "NextNumber", 0)));
    EXPECT_EQ(ini_->ReadInteger("dncopt", "NextNumber", 0), 2);
    // Showing them wrote nothing back.
    EXPECT_EQ(Notices(notices, TDncOptions::SaveName), 1);
    EXPECT_EQ(Notices(notices, TDncOptions::SaveExt), 1);
    EXPECT_EQ(Notices(notices, TDncOptions::SaveName, options_.get()), 0);

    // A new operating frequency with "Auto 0°": the phase taken shows in the
    // options window, and the resonance window does not apply it once more.
    notices.clear();
    TNumericEdit* use = dnc_->FrequencyEdit(3);
    use->setText("21000");
    QTest::keyClick(use, Qt::Key_Return);
    EXPECT_EQ(Notices(notices, TDncOptions::Phase, dnc_.get()), 1);
    EXPECT_EQ(options_->Edit("EditPhase")->text(), ini_->ReadString("dncopt", "phase", ""));
    EXPECT_NE(options_->Edit("EditPhase")->text(), "0");
    EXPECT_EQ(Notices(notices, Applied), 0);

    // Typing in the options window is not undone by its own writes: each key
    // lands where the cursor is.
    QLineEdit* name = options_->findChild<QLineEdit*>("EditFileName");
    name->setFocus();
    name->setCursorPosition(0);
    QTest::keyClicks(name, "xy");
    EXPECT_EQ(name->text(), "xy" + dir_.Path() + "other");
    EXPECT_EQ(ini_->ReadString("dncopt", "SaveName", ""), "xy" + dir_.Path() + "other");
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

} // namespace
} // namespace qvt
