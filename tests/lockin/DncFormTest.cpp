#include "support/LockInFixture.h"

#include "core/NumberText.h"
#include "device/InOutForm.h"
#include "lockin/DncForm.h"
#include "lockin/LockinWords.h"
#include "scan/DeviceWorkers.h"
#include "widgets/NumericEdit.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QRadioButton>
#include <QTest>

#include <QPushButton>

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <tuple>

namespace qvt {
namespace {

// The resonance tool on the simulated cantilever (21 kHz, Q 200) with the
// bundled [dnc] settings.
class DncOnSim : public test::LockInOnSim {
protected:
    void SetUp() override
    {
        LockInOnSim::SetUp();
        savedNc100_ = MicroscopeState.NC100ProcentAmpl;
        savedZState_ = MicroscopeState.ZState;
        savedMultiPresent_ = MultiLockInPresent;
        ini_->WriteFloat("dnc", "Start", 10000.0);
        ini_->WriteFloat("dnc", "Stop", 30000.0);
        ini_->WriteFloat("dnc", "Use", 21000.0);
        ini_->WriteString("dnc", "Ampl", "0.2");
        ini_->WriteInteger("dnc", "RedBandwidth", 1);
        ini_->WriteInteger("dnc", "Tau", 5);
        ini_->WriteInteger("dncopt", "datapoints", 512);
        ini_->WriteInteger("dncopt", "ShowPhase", 1);
        ini_->WriteString("Scale", "DAC14Edit2", "0.001");
    }
    void TearDown() override
    {
        dnc_.reset();
        CloseDevice(workers_, io_);
        MicroscopeState.NC100ProcentAmpl = savedNc100_;
        MicroscopeState.ZState = savedZState_;
        MultiLockInPresent = savedMultiPresent_;
        LockInOnSim::TearDown();
    }

    void Start(sim::SimConfig config = FastConfig())
    {
        config.LogCapacity = 400000; // a sweep's waits are many requests
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
        dnc_->FormCreate();
        dnc_->LoadInputGain();
    }

    // One press of the acquisition button, to its end.
    void Sweep()
    {
        dnc_->SetScanButton(true);
        ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    }

    int CountReads(int32_t address) const
    {
        int n = 0;
        for (const sim::SimRequest& r : sim_->RequestLog())
            n += r.Code == IOCTL_READ_REG && r.InWords > 0 && r.In[0] == address;
        return n;
    }

    // What the operator does in an edit: everything selected, typed over, Enter.
    static void Type(QLineEdit* edit, const QString& text)
    {
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    void ExpectCleanInstrument() const { EXPECT_EQ(sim_->GuardViolationCount(), 0); }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> io_;
    std::unique_ptr<TDeviceWorkers> workers_;
    TDncOptions dncOptions_;
    std::unique_ptr<TdncForm> dnc_;
    std::vector<std::pair<QString, QString>> entered_;

private:
    float savedNc100_ = 0.0f;
    int32_t savedZState_ = 0;
    bool savedMultiPresent_ = false;
};

TEST_F(DncOnSim, DefaultSweepShowsTheResonanceWithThePhaseThroughNinetyDegrees)
{
    Start();
    sim_->ClearLog();
    Sweep();
    const TDncCurves& c = dnc_->Curves;
    ASSERT_EQ(c.DataPoints(), 512);
    EXPECT_DOUBLE_EQ(dnc_->SweepStep, 20000.0 / 512);
    // 513 points, 10 reads each of amplitude, X and Y.
    EXPECT_EQ(CountReads(ReadAddrResonanceAmplitude), 513 * 10);
    EXPECT_EQ(CountReads(ReadAddrResonanceX), 513 * 10);
    // The last point was measured at Stop.
    const int32_t stopWord = static_cast<int32_t>(std::lround(30000.0 * 4294967296.0 / 1.0e7));
    bool stopSent = false;
    for (const sim::SimRequest& r : sim_->RequestLog())
        stopSent = stopSent || (r.Code == IOCTL_SET_FREQUENCY && r.In[0] == stopWord);
    EXPECT_TRUE(stopSent);

    const TDncPeak peak = FindPeakIndex(c.Newest(), 512);
    const double f = peak.Index * dnc_->SweepStep + dnc_->SweepStart;
    EXPECT_NEAR(f, 21000.0, dnc_->SweepStep);
    EXPECT_NEAR(c.Phase[static_cast<size_t>(peak.Index)], 90000.0, 15000.0);
    EXPECT_NEAR(c.Phase[20], 0.0, 5000.0);
    EXPECT_GT(std::abs(c.Phase[500]), 165000.0);
    // Volts at the input: 0.2 V drive, Q 200 → 2 nm → 0.2 V.
    EXPECT_NEAR(c.Newest()[static_cast<size_t>(peak.Index)], 0.2, 0.04);
    // The operating frequency went back to the controller after the sweep.
    EXPECT_NEAR(sim_->DriveFrequencyHz(), 21000.0, 0.01);
    // The picture and the Q estimate: 39 Hz steps put under three points
    // across the 105 Hz peak, so the Q is only an estimate and said to be one.
    ASSERT_TRUE(dnc_->DisplayScale);
    const QString status = dnc_->StatusText(0);
    EXPECT_TRUE(status.startsWith("Q: ~")) << status.toStdString();
    EXPECT_TRUE(status.endsWith(" | sweep does not resolve the peak")) << status.toStdString();
    const double q = status.mid(4).section(' ', 0, 0).toDouble();
    EXPECT_GT(q, 50.0);
    EXPECT_LT(q, 400.0);
    ExpectCleanInstrument();

    // Over 18..24 kHz nine points lie across the peak: a measured Q.
    Type(dnc_->FrequencyEdit(1), "18000");
    Type(dnc_->FrequencyEdit(2), "24000");
    Sweep();
    const QString resolved = dnc_->StatusText(0);
    EXPECT_FALSE(resolved.contains("~") || resolved.contains("resolve")) << resolved.toStdString();
    EXPECT_NEAR(resolved.mid(3).toDouble(), 200.0, 40.0) << resolved.toStdString();
}

TEST_F(DncOnSim, ARefusedSweepChangesNothingAndTheSavedCurveKeepsItsFrequencies)
{
    ini_->WriteFloat("dnc", "Start", 20000.0);
    ini_->WriteFloat("dnc", "Stop", 22000.0);
    ini_->WriteString("dncopt", "SaveName", dir_.Path() + "curve");
    ini_->WriteInteger("dncopt", "DelimiterSave", 1); // TAB
    Start();
    dnc_->show();
    Sweep();
    const QString status = dnc_->StatusText(0);
    const std::vector<double> curve = dnc_->Curves.Newest();
    const double step = dnc_->SweepStep;
    ASSERT_FALSE(status.isEmpty());

    Type(dnc_->FrequencyEdit(1), "30000");
    Type(dnc_->FrequencyEdit(2), "10000");
    boxes_.Clear();
    dnc_->SetScanButton(true);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Start frequency bigger than stop frequency!"});
    EXPECT_FALSE(dnc_->ScanButtonDown());
    EXPECT_FALSE(dnc_->Acquiring());
    EXPECT_EQ(dnc_->SweepStart, 20000.0);
    EXPECT_EQ(dnc_->SweepStop, 22000.0);
    EXPECT_EQ(dnc_->SweepStep, step);
    EXPECT_EQ(dnc_->StatusText(0), status);
    EXPECT_EQ(dnc_->Curves.Newest(), curve);

    // Frequencies the oscillator cannot run at are refused where they are
    // typed, red, the range and the settings keeping the last good edge (the
    // words would be limited to another frequency); the highest word's
    // frequency is taken.
    Type(dnc_->FrequencyEdit(1), "20000");
    Type(dnc_->FrequencyEdit(2), "22000");
    boxes_.Clear();
    for (const auto& [edit, typed] : {std::pair{1, "-100"}, std::pair{1, "0"}, std::pair{2, "20000000"},
                                      std::pair{2, "9999999.9977"}, std::pair{1, "9999999.9977"}}) {
        Type(dnc_->FrequencyEdit(edit), typed);
        EXPECT_EQ(dnc_->FrequencyEdit(edit)->Color(), EditColor::Red) << typed;
        EXPECT_EQ(dnc_->RangeStart, 20000.0) << typed;
        EXPECT_EQ(dnc_->RangeStop, 22000.0) << typed;
        EXPECT_EQ(ini_->ReadFloat("dnc", "Start", 0), 20000.0) << typed;
        EXPECT_EQ(ini_->ReadFloat("dnc", "Stop", 0), 22000.0) << typed;
        EXPECT_FALSE(dnc_->Acquiring());
        EXPECT_EQ(dnc_->StatusText(0), status);
        EXPECT_EQ(dnc_->Curves.Newest(), curve);
    }
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
    Type(dnc_->FrequencyEdit(2), "9999999.9976");
    EXPECT_EQ(dnc_->FrequencyEdit(2)->Color(), EditColor::White);
    EXPECT_EQ(dnc_->RangeStop, 9999999.9976);
    EXPECT_DOUBLE_EQ(ini_->ReadFloat("dnc", "Stop", 0), 9999999.9976);
    Type(dnc_->FrequencyEdit(1), "0.001");
    EXPECT_EQ(dnc_->FrequencyEdit(1)->Color(), EditColor::White);
    EXPECT_EQ(dnc_->RangeStart, 0.001);
    // A range that reaches the window some other way (a recent range of the
    // menu) is still refused at Scan, before anything moves.
    dnc_->RangeStop = 20000000.0;
    boxes_.Clear();
    dnc_->SetScanButton(true);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Sweep frequencies must lie above 0 Hz and below 10 MHz!"});
    EXPECT_FALSE(dnc_->Acquiring());
    EXPECT_EQ(dnc_->FrequencyEdit(2)->Color(), EditColor::Red);
    EXPECT_EQ(dnc_->SweepStop, 22000.0);
    EXPECT_EQ(dnc_->StatusText(0), status);
    EXPECT_EQ(dnc_->Curves.Newest(), curve);
    // So is an operating frequency: it is not replaced by the nearest one the words hold.
    const double driving = LockInState.DriveFrequency;
    Type(dnc_->FrequencyEdit(3), "12000000");
    EXPECT_EQ(dnc_->FrequencyEdit(3)->Color(), EditColor::Red);
    EXPECT_EQ(LockInState.DriveFrequency, driving);

    dnc_->SaveButtonClick(false);
    QFile file(dir_.Path() + "curve.txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 512);
    // Rows are points 1..512 of the 20..22 kHz sweep.
    EXPECT_NEAR(lines.first().split('\t')[0].toDouble(), 20000.0 + step, 0.01);
    EXPECT_NEAR(lines.last().split('\t')[0].toDouble(), 22000.0, 0.01);
    EXPECT_NEAR(lines[99].split('\t').value(1).toDouble(), curve[100], 1e-6);
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, TheFirstPointIsReadOnceTheFilterHasSettledAfterAStartAndAfterEsc)
{
    ini_->WriteFloat("dnc", "Start", 20000.0);
    ini_->WriteFloat("dnc", "Stop", 20000.0);
    Start();
    dnc_->show();
    // The filter records the program's lock-in window gives, and the filter
    // chosen in its box: the lock-in runs at the time constant the window
    // waits for.
    static const TLockinFilterTables tables;
    io_->LockInHooks.FilterTable = [](int tc, int slope, TSetFilterRecord& r) { return tables.Record(tc, slope, r); };
    dnc_->TimeConstantBox()->setFocus();
    QTest::keyClick(dnc_->TimeConstantBox(), Qt::Key_Down);
    QTest::keyClick(dnc_->TimeConstantBox(), Qt::Key_Up);
    ASSERT_GT(dnc_->GetTimeConstant(), 0.001);
    ASSERT_NEAR(sim_->LockInTimeConstant(), dnc_->GetTimeConstant(), 0.3 * dnc_->GetTimeConstant());
    // The settled reading at 20 kHz: the tail of a sweep that stays there.
    Sweep();
    // Within the noise: five standard deviations of the settled readings.
    double sum = 0.0, sum2 = 0.0, phase = 0.0, phase2 = 0.0;
    constexpr double n = 257.0;
    for (int i = 256; i <= 512; ++i) {
        const double a = dnc_->Curves.Newest()[static_cast<size_t>(i)];
        const double p = dnc_->Curves.Phase[static_cast<size_t>(i)];
        sum += a;
        sum2 += a * a;
        phase += p;
        phase2 += p * p;
    }
    const double settled = sum / n;
    const double settledPhase = phase / n;
    const double tolerance = std::max(0.02 * settled, 5.0 * std::sqrt(std::max(0.0, sum2 / n - settled * settled)));
    const double phaseTolerance =
        std::max(1000.0, 5.0 * std::sqrt(std::max(0.0, phase2 / n - settledPhase * settledPhase)));
    const auto expectSettledStart = [&] {
        EXPECT_NEAR(dnc_->Curves.Newest()[0], settled, tolerance);
        EXPECT_NEAR(dnc_->Curves.Phase[0], settledPhase, phaseTolerance);
    };

    // Held at the resonance, many times the amplitude at 20 kHz, for a whole
    // sweep: the jump to 20 kHz leaves the filter far from its reading there,
    // and the first point waits until it has come to it.
    Type(dnc_->FrequencyEdit(2), "21000");
    Type(dnc_->FrequencyEdit(1), "21000");
    Sweep();
    ASSERT_GT(dnc_->Curves.Newest()[512], 5.0 * settled);
    Type(dnc_->FrequencyEdit(1), "20000");
    Type(dnc_->FrequencyEdit(2), "20000");
    Sweep();
    expectSettledStart();

    Type(dnc_->FrequencyEdit(2), "22000");
    Sweep(); // from 20 kHz held by the operating frequency of 21 kHz
    expectSettledStart();
    // Stopped with Esc near the peak, the next sweep starts from there.
    dnc_->SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return dnc_->CurrentFrequency > 21100.0; }, 60000));
    QTest::keyClick(dnc_.get(), Qt::Key_Escape);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring() && !dnc_->ScanButtonDown(); }, 60000));
    Sweep();
    expectSettledStart();
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, ModeSixSweepsInModeFourRetractedAndComesBackAfterAbortOrError)
{
    Start();
    MicroscopeState.FeedbackMode = 6;
    MicroscopeState.ZState = ZApproached;
    MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(6))].Ki = 5.0f;
    dnc_->SetScanButton(true);
    ASSERT_TRUE(dnc_->Acquiring());
    EXPECT_EQ(MicroscopeState.FeedbackMode, 4);
    const int recordsBefore = CountCode(*sim_, IOCTL_SET_FEEDBACK);
    EXPECT_NE(MicroscopeState.ZState, ZApproached);
    QCoreApplication::processEvents();
    // Esc ends the sweep; mode and tip come back.
    dnc_->EscButtonClick();
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring(); }));
    EXPECT_FALSE(dnc_->ScanButtonDown());
    EXPECT_EQ(MicroscopeState.FeedbackMode, 6);
    EXPECT_GT(CountCode(*sim_, IOCTL_SET_FEEDBACK), recordsBefore); // mode 6 sent again
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);

    // An error inside a sweep: the guard restores on the way out.
    try {
        TSweepModeGuard guard(*workers_, {});
        EXPECT_EQ(MicroscopeState.FeedbackMode, 4);
        throw std::runtime_error("link lost");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(MicroscopeState.FeedbackMode, 6);
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, ClickSetsTheOperatingPointAndDragSweepsANarrowerRange)
{
    Start();
    // Before any sweep a release is refused.
    dnc_->Image1MouseDown(100, 100, Qt::LeftButton, false);
    dnc_->Image1MouseUp(100, 100, Qt::LeftButton);
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_EQ(boxes_.LastText(), "Spectra is invalid!\rPlease acquire new!");

    Sweep();
    MicroscopeState.FeedbackMode = 4;
    const TDncPeak peak = FindPeakIndex(dnc_->Curves.Newest(), 512);
    const int column = DncColumn(peak.Index, dnc_->PointShift);
    dnc_->Image1MouseDown(column, 10, Qt::LeftButton, false);
    dnc_->Image1MouseUp(column + 1, 10, Qt::LeftButton); // within 4 pixels: a click
    EXPECT_NEAR(dnc_->OperatingFrequency, 21000.0, 4 * dnc_->SweepStep);
    EXPECT_NEAR(sim_->DriveFrequencyHz(), dnc_->OperatingFrequency, 0.01);
    ASSERT_EQ(entered_.size(), 1u);
    EXPECT_EQ(entered_[0].first, "Edit1"); // mode 4: the setpoint in percent of the peak
    // 100 % is the curve at the clicked point; the row gives the setpoint.
    const double a0 = dnc_->Curves.Newest()[static_cast<size_t>((column + 1) << dnc_->PointShift)];
    EXPECT_FLOAT_EQ(MicroscopeState.NC100ProcentAmpl, static_cast<float>(a0));
    EXPECT_EQ(entered_[0].second, GeneralText(DncValueAtRow(10, *dnc_->DisplayScale) / a0 * 100.0, 5));

    // Mode 3 does not use the amplitude.
    MicroscopeState.FeedbackMode = 3;
    dnc_->Image1MouseDown(column, 10, Qt::LeftButton, false);
    dnc_->Image1MouseUp(column, 10, Qt::LeftButton);
    EXPECT_EQ(boxes_.LastText(), QString::fromUtf8("Feedback doesn\u00B4t use amplitude."));

    // A drag from right to left narrows the range and sweeps it.
    dnc_->Image1MouseDown(column + 20, 100, Qt::LeftButton, false);
    dnc_->Image1MouseMove(column - 20, 100, true);
    dnc_->Image1MouseUp(column - 20, 100, Qt::LeftButton);
    ASSERT_TRUE(dnc_->Acquiring());
    // While it runs, a second drag and the range menu are ignored.
    const double start = dnc_->RangeStart;
    dnc_->Image1MouseDown(10, 100, Qt::LeftButton, false);
    dnc_->Image1MouseUp(200, 100, Qt::LeftButton);
    dnc_->MyPopupHandler(0);
    EXPECT_EQ(dnc_->RangeStart, start);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring(); }));
    EXPECT_LT(dnc_->SweepStop - dnc_->SweepStart, 20000.0 * 41.0 / 256.0);
    EXPECT_NEAR(dnc_->SweepStart, 21000.0 - 20 * 2 * 20000.0 / 512, 80.0);
    EXPECT_EQ(TDncRecentRanges::Plain(dnc_->RangeMenuItem(3)), DncRangeText(dnc_->RangeStart, dnc_->RangeStop));
    const TDncPeak narrow = FindPeakIndex(dnc_->Curves.Newest(), 512);
    EXPECT_NEAR(narrow.Index * dnc_->SweepStep + dnc_->SweepStart, 21000.0, 3 * dnc_->SweepStep);
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, RunningMeanOverSweepsShrinksTheNoiseAndHistoryKeepsStill)
{
    ini_->WriteString("dnc", "Ampl", "0"); // drive off: the thermal and electronic noise alone
    ini_->WriteInteger("dncopt", "history", 2);
    Start();
    auto spread = [&] {
        // Point to point, well below the resonance (the thermal floor rises towards it).
        const std::vector<double>& c = dnc_->Curves.Newest();
        double sum = 0.0;
        for (size_t i = 10; i < 200; ++i)
            sum += (c[i + 1] - c[i]) * (c[i + 1] - c[i]);
        return std::sqrt(sum / 190.0 / 2.0);
    };
    ini_->WriteInteger("dncopt", "ContAverage", 1);
    Sweep();
    const double one = spread();

    for (int l = 2; l <= 16; ++l) {
        ini_->WriteInteger("dncopt", "ContAverage", l);
        Sweep();
    }
    const double sixteen = spread();

    EXPECT_GT(one / sixteen, 2.5);
    EXPECT_LT(one / sixteen, 6.0);
    // No rotation while the running mean is on: the older curves stayed empty.
    EXPECT_EQ(dnc_->Curves.Curve(1)[100], 0.0);
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, WobbelReadsPairsAndSizeChangesWaitForTheSweepsEnd)
{
    ini_->WriteInteger("dncopt", "Wobbel", 1);
    ini_->WriteInteger("dncopt", "datapoints", 256);
    Start();
    sim_->ClearLog();
    dnc_->SetScanButton(true);
    dnc_->SetSweepSize(1024, 5); // an option change in the middle of a sweep
    EXPECT_EQ(dnc_->DataPoints, 256);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring(); }));
    // 257 points of 2 × ((9 div 2) + 1) reads.
    EXPECT_EQ(CountReads(ReadAddrResonanceAmplitude), 257 * 10);
    // The sweep just measured stays what the window shows and saves ...
    EXPECT_EQ(dnc_->DataPoints, 256);
    EXPECT_TRUE(dnc_->RecordComplete());
    EXPECT_TRUE(dnc_->SaveAsButton()->isEnabled());
    // ... and the next one takes the new size.
    dnc_->SetScanButton(true);
    EXPECT_EQ(dnc_->DataPoints, 1024);
    EXPECT_EQ(dnc_->HistoryDepth, 5);
    EXPECT_EQ(dnc_->Curves.Newest().size(), 1025u);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc_->Acquiring(); }, 60000));
    EXPECT_TRUE(dnc_->RecordComplete());
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, FrontPanelProgramsGainDriveRangeAndTimeConstant)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    ini_->WriteBool("dnc", "InputRadio100", true);
    Start(config);
    // Type 29: a stored gain 100 comes back as gain 10, and 100 is not offered.
    EXPECT_FALSE(ini_->ReadBool("dnc", "InputRadio100", true));
    EXPECT_TRUE(ini_->ReadBool("dnc", "InputRadio10", false));
    EXPECT_TRUE(dnc_->InputRadio(100)->isHidden());
    EXPECT_EQ(sim_->ControlWord() & InputGainMask, 8);
    EXPECT_FLOAT_EQ(dnc_->DncInputScale()->Factor, 0.1f);
    EXPECT_FLOAT_EQ(ChannelTable[20].Factor, static_cast<float>(0.1 * 6.3e-8));

    // Drive 1 V → 2 V doubles the free amplitude; the controller gets 2 V.
    dnc_->DriveEdit()->setText("1");
    dnc_->Edit4KeyPress(EditKey::Enter);
    MicroscopeState.NC100ProcentAmpl = 3.0f;
    dnc_->DriveEdit()->setText("2");
    dnc_->Edit4KeyPress(EditKey::Enter);
    EXPECT_FLOAT_EQ(MicroscopeState.NC100ProcentAmpl, 6.0f);
    EXPECT_NEAR(sim_->DriveVolts(), 2.0, 1e-3);
    EXPECT_EQ(dnc_->DriveEdit()->text(), "2.0000");
    dnc_->DriveEdit()->setText("x");
    dnc_->Edit4KeyPress(EditKey::Enter);
    EXPECT_EQ(dnc_->DriveEdit()->Color(), EditColor::Red);

    // An unknown time constant: the message and 1 ms.
    dnc_->TimeConstantBox()->setCurrentIndex(-1);
    dnc_->FilterBoxChange();
    EXPECT_EQ(boxes_.LastText(), "Tau not supported!");
    EXPECT_DOUBLE_EQ(dnc_->GetTimeConstant(), 0.001);
    dnc_->TimeConstantBox()->setCurrentIndex(8);
    dnc_->FilterBoxChange();
    EXPECT_DOUBLE_EQ(dnc_->GetTimeConstant(), 0.1);
    EXPECT_EQ(ini_->ReadInteger("dnc", "Tau", -1), 8);
    int tc = -1;
    int roll = -1;
    ASSERT_TRUE(dnc_->FilterChoice(tc, roll));
    EXPECT_EQ(tc, 8);

    // The overload reaches the input group.
    dnc_->SetInputGain(10);
    dnc_->DriveEdit()->setText("9");
    dnc_->Edit4KeyPress(EditKey::Enter);
    io_->SetLockInFrequency(21000.0);
    io_->DelayUs(50000);
    EXPECT_TRUE(io_->ReadDncStatus().Overload);
    EXPECT_EQ(dnc_->InputGroup()->palette().color(QPalette::Window), QColor(Qt::red));
    ExpectCleanInstrument();
}

// The oscillator's frequency and drive at their limits, just inside and just
// beyond: the controller's word, the edit and the settings agree.
TEST_F(DncOnSim, OperatingFrequencyAndDriveReachTheControllerAsShownAndStored)
{
    Start();
    const auto lastFrequencyWord = [&] {
        int32_t word = 0;
        for (const sim::SimRequest& r : sim_->RequestLog())
            if (r.Code == IOCTL_SET_FREQUENCY && r.InWords > 0)
                word = r.In[0];
        return static_cast<uint32_t>(word);
    };
    TNumericEdit* use = dnc_->FrequencyEdit(3);
    Type(use, "9999999.9976"); // the highest word
    EXPECT_EQ(use->Color(), EditColor::White);
    EXPECT_EQ(lastFrequencyWord(), 0xFFFFFFFFu);
    EXPECT_EQ(ini_->ReadFloat("dnc", "Use", 0), 9999999.9976);
    for (const char* beyond : {"9999999.9989", "0"}) {
        Type(use, beyond);
        EXPECT_EQ(use->Color(), EditColor::Red) << beyond;
        EXPECT_EQ(lastFrequencyWord(), 0xFFFFFFFFu) << beyond;
        EXPECT_EQ(ini_->ReadFloat("dnc", "Use", 0), 9999999.9976) << beyond;
    }

    // Drive: 10 V is the full word of the ±10 V range; more goes out as 10 V,
    // and the edit and the settings say so.
    Type(dnc_->DriveEdit(), "10");
    EXPECT_NEAR(sim_->DriveVolts(), 10.0, 1e-3);
    EXPECT_EQ(ini_->ReadFloat("dnc", "Ampl", 0), 10.0);
    for (const char* beyond : {"10.001", "1000"}) {
        Type(dnc_->DriveEdit(), beyond);
        EXPECT_NEAR(sim_->DriveVolts(), 10.0, 1e-3) << beyond;
        EXPECT_EQ(dnc_->DriveEdit()->text().toDouble(), 10.0) << beyond;
        EXPECT_EQ(ini_->ReadFloat("dnc", "Ampl", 0), 10.0) << beyond;
    }
    Type(dnc_->DriveEdit(), "9.999");
    EXPECT_NEAR(sim_->DriveVolts(), 9.999, 1e-3);
    EXPECT_EQ(ini_->ReadFloat("dnc", "Ampl", 0), 9.999);
    ExpectCleanInstrument();
}

TEST_F(DncOnSim, AutoPhaseNullsThePhaseAtTheOperatingFrequency)
{
    Start();
    io_->SetLockInFrequency(21100.0); // on the flank: the phase is well away from 0
    io_->DelayUs(100000);
    io_->DncAutoPhase();
    const double phase = ini_->ReadFloat("dncopt", "phase", 0.0);
    EXPECT_GT(std::abs(phase), 10.0);
    io_->DelayUs(100000);
    double sum = 0.0;
    for (int i = 0; i < 20; ++i)
        sum += io_->ReadReg(ReadAddrResonancePhase);
    EXPECT_NEAR(sum / 20.0 / 1000.0, 0.0, 3.0);
    ExpectCleanInstrument();
}

} // namespace
} // namespace qvt
