#include "EditInput.h"
#include "support/ControlWalk.h"
#include "support/FileDialogAnswer.h"
#include "support/LockInFixture.h"

#include "core/NumberText.h"
#include "device/InOutForm.h"
#include "lockin/LinkFormula.h"
#include "lockin/MultiLockInForm.h"
#include "lockin/MultiLockInOptionForm.h"
#include "lockin/MultiLockInSpectrum.h"
#include "lockin/MultiLockInWords.h"
#include "platform/MessageBoxes.h"
#include "widgets/SimpleChart.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <array>
#include <cmath>
#include <functional>
#include <tuple>
#include <utility>
#include <vector>

namespace qvt {
namespace {

TEST(MultiLockInSpectrum, StepsClampsWaitsNamesAndMeans)
{
    EXPECT_NEAR(SpectrumStep(100000.0, 200000.0, 512), 100000.0 / 511.0, 1e-9);
    EXPECT_DOUBLE_EQ(100000.0 + 511 * SpectrumStep(100000.0, 200000.0, 512), 200000.0);
    EXPECT_EQ(ClampSpectrumPoints(10), 32);
    EXPECT_EQ(ClampSpectrumPoints(10000), 4096);
    EXPECT_EQ(SpectrumReadingWait(0.2), 20000);
    EXPECT_EQ(SpectrumReadingWait(0.0002), 26);
    EXPECT_EQ(SpectrumReadingWait(std::nan("")), 26);
    EXPECT_EQ(SpectrumFileName("/d/sweep", true, 12, "txt"), "/d/sweep0012.txt");
    EXPECT_EQ(SpectrumFileName("/d/sweep", true, 123456, "txt"), "/d/sweep9999.txt");
    EXPECT_EQ(SpectrumFileName("/d/sweep", false, 12, "dat"), "/d/sweep.dat");

    double a = 0, b = 0;
    EXPECT_TRUE(ParseSpectrumRange("2&0000-400000", a, b));
    EXPECT_EQ(a, 20000.0);
    EXPECT_EQ(b, 400000.0);
    EXPECT_FALSE(ParseSpectrumRange("20000", a, b));
    EXPECT_EQ(SpectrumRangeText(20000.0, 123456.0), "2E4-1.235E5");
    QStringList h{"1-2", "3-4", "5-6"};
    AddSpectrumRangeHistory(h, "3-4"); // present: moves to the newest place
    EXPECT_EQ(h, (QStringList{"1-2", "5-6", "3-4"}));
    AddSpectrumRangeHistory(h, "7-8"); // new: the oldest is dropped
    EXPECT_EQ(h, (QStringList{"5-6", "3-4", "7-8"}));

    // ContAverage 1: the mean of both sweeps; 0: the first shown directly and
    // the mean starting with the second.
    TSpectrumMeans m;
    m.Resize(4);
    EXPECT_EQ(m.Add(0, 2, 10.0, 1), 10.0);
    EXPECT_EQ(m.Add(0, 2, 20.0, 2), 15.0);
    TSpectrumMeans z;
    z.Resize(4);
    EXPECT_EQ(z.Add(0, 2, 10.0, 0), 10.0);
    EXPECT_EQ(z.Stored(0, 2), 0.0);
    EXPECT_EQ(z.Add(0, 2, 20.0, 1), 20.0);
    EXPECT_EQ(z.Add(0, 9, 5.0, 1), 5.0); // beyond the arrays: shown, not stored
}

// The window on a simulated type-26 controller with its three oscillators
// behind the cantilever (21 kHz, Q 200).
class MultiLockInOnSim : public test::LockInOnSim {
protected:
    void SetUp() override
    {
        LockInOnSim::SetUp();
        savedPresent_ = MultiLockInPresent;
        ini_->WriteFloat("MultiLockin", "AmplScale3", 655350.0); // 0.1 V at full word
        ini_->WriteFloat("MultiLockin", "Amplitude1", 0.05);
        ini_->WriteFloat("MultiLockin", "Freq1", 21000.0);
        ini_->WriteInteger("MultiLockin", "SpectSource", 1);
        ini_->WriteBool("MultiLockin", "NumbersRadio", false);
        ini_->WriteInteger("MultiLockinOpt", "datapoints", 32);
        ini_->WriteInteger("MultiLockIn", "RefLIa1Out", 1);
    }
    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        form_.reset();
        CloseDevice(workers_, io_);
        MultiLockInPresent = savedPresent_;
        LockInOnSim::TearDown();
    }
    void Start()
    {
        sim_ = PlugSim(FastConfig());
        io_ = std::make_unique<TInOutForm>();
        io_->FormCreate();
        ASSERT_TRUE(MultiLockInPresent);
        form_ = std::make_unique<TMultiLockInForm>();
        io_->LockInHooks.MultiLockInChannel = [this](int k, TMultiLockInChannel& c) { return form_->Channel(k, c); };
        form_->AskSaveName = [this](const QString&, const QString&, const QString&) { return saveAnswer_; };
        form_->FormCreate(io_.get());
    }
    // The spectrum's Scan button and its start and stop edits.
    std::tuple<QPushButton*, QLineEdit*, QLineEdit*> SpectrumControls() const
    {
        return {form_->findChild<QPushButton*>("ScanButton"), form_->findChild<QLineEdit*>("StartEdit"),
                form_->findChild<QLineEdit*>("StopEdit")};
    }
    static int PeakIndex(const TChartSeries& a, const TChartSeries& b)
    {
        int best = 0;
        for (int i = 1; i < a.Count(); ++i)
            if (std::hypot(a.Points(i).y, b.Points(i).y) > std::hypot(a.Points(best).y, b.Points(best).y))
                best = i;
        return best;
    }

    ScriptedMessageResponder boxes_;
    QString saveAnswer_; // the save dialog's answer; empty cancels
    bool savedPresent_ = false;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> io_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TMultiLockInForm> form_;
};

TEST_F(MultiLockInOnSim, FrequenciesPhasesAndAmplitudesReachTheRegisters)
{
    Start();
    const int32_t w1 = static_cast<int32_t>(std::lround(21000.0 * MultiLockInWordScale));
    EXPECT_EQ(sim_->Register(RegLia1Freq), w1);
    EXPECT_EQ(sim_->Register(RegLiaAmplitude) >> 16 & 0xFFFF, 32768);
    EXPECT_EQ(sim_->ControlWord() & 0x8300, 0x8300); // Ref A, range 3

    form_->SetLinkText(1, "F1+1000");
    EXPECT_EQ(sim_->Register(RegLia2Freq), w1 + std::lround(1000.0 * MultiLockInWordScale));
    form_->SetLinkText(2, "F2/(F1-F1)"); // fails: LIA 3 keeps its word
    const int32_t kept = sim_->Register(RegLia3Freq);
    EXPECT_TRUE(form_->FrequencyRefused(2));
    EXPECT_EQ(sim_->Register(RegLia3Freq), kept);

    EXPECT_TRUE(form_->EnterText(2, 1, "-90"));
    EXPECT_EQ((sim_->Register(RegLiaPhases) >> 10) & 0x7FF, 1536);
    EXPECT_NEAR(MultiLockInParams.Phase[1], 270.13, 0.005);
    EXPECT_FALSE(form_->EnterText(0, 0, "x1"));

    form_->SetInput(2, 1);
    EXPECT_EQ(sim_->ControlWord() & MultiLockInInputMask, 0x08000000);

    // The numbers show LIA 2 X/Y (the defaults) in volts, then in the next unit.
    form_->Timer1Timer();
    EXPECT_TRUE(form_->NumbersText(0).endsWith(" V"));
    form_->NumbersUnitClick(0);
    EXPECT_TRUE(form_->NumbersText(0).endsWith(" nV"));
    EXPECT_EQ(ini_->ReadInteger("MultiLockin", "Label28Tag", 0), 1);
    form_->FilterChange(14, 1);
    EXPECT_EQ(form_->SettleTime(), 5.0);
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_EQ(CountCode(*sim_, IOCTL_SET_FILTER), 0); // no filter tables in this test

    // The auto phase turns LIA 1's signal onto X.
    form_->FilterChange(0, 0);
    form_->AutoPhase(0);
    const double x = io_->ReadReg(ReadAddrLia1X);
    const double y = io_->ReadReg(ReadAddrLia1Y);
    EXPECT_GT(x, 50.0 * std::fabs(y));
}

TEST_F(MultiLockInOnSim, ASpectrumOverTheResonanceShowsThePeakOnEveryOscillatorThatSeesIt)
{
    Start();
    form_->SetLinkText(1, "F1"); // LIA 2 follows the swept LIA 1
    form_->SetRange(15000.0, 27000.0);
    ini_->WriteInteger("MultiLockinOpt", "ContAverage", 0);
    const int32_t spectroscopyCount = AverageCount;
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    EXPECT_EQ(AverageCount, spectroscopyCount); // the spectrum counts its own sweeps
    ASSERT_EQ(form_->Series(0).Count(), 32);
    const double step = form_->Step();
    EXPECT_NEAR(step, 12000.0 / 31.0, 1e-9);
    const int p1 = PeakIndex(form_->Series(0), form_->Series(1));
    const int p2 = PeakIndex(form_->Series(2), form_->Series(3));
    EXPECT_NEAR(form_->Series(0).Points(p1).x, 21000.0, step);
    EXPECT_EQ(p1, p2);
    EXPECT_NEAR(form_->Series(4).Points(p1).y, std::hypot(form_->Series(0).Points(p1).y, form_->Series(1).Points(p1).y),
                1e-6);
    // Back at its own frequency afterwards.
    EXPECT_EQ(sim_->Register(RegLia1Freq), std::lround(21000.0 * MultiLockInWordScale));

    // A sweep stopped early keeps and saves only the points it measured.
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return form_->Series(0).Count() >= 5; }, 60000));
    form_->StopSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    const int measured = form_->Series(0).Count();
    EXPECT_LT(measured, 32);
    for (int i = 0; i < measured; ++i)
        EXPECT_LE(form_->Series(0).Points(i).x, 27000.0);
    ini_->WriteBool("MultiLockinOpt", "SaveNumbered", true);
    ini_->WriteInteger("MultiLockinOpt", "NextNumber", 12);
    ini_->WriteInteger("MultiLockinOpt", "DelimiterSave", 1);
    const QString name = dir_.Path() + "sweep";
    ASSERT_TRUE(form_->SaveSpectrum(name));
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "NextNumber", 0), 13);
    QFile f(name + "0012.txt");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), measured);
    EXPECT_FALSE(form_->SaveSpectrum(dir_.Path() + "missing/sweep"));
    EXPECT_TRUE(boxes_.Texts().contains("Directory does not exist!"));
}

// Rows of a saved or copied spectrum: frequency and the first channel.
std::vector<std::pair<double, double>> SpectrumRows(const QString& text)
{
    std::vector<std::pair<double, double>> rows;
    for (const QString& line : text.split(QRegularExpression("[\r\n]+"), Qt::SkipEmptyParts)) {
        const QStringList f = line.split('\t');
        rows.emplace_back(f.value(0).toDouble(), f.value(1).toDouble());
    }
    return rows;
}

// The words written to a register, oldest first.
std::vector<int32_t> RegisterWrites(const sim::SimController& sim, int32_t reg)
{
    std::vector<int32_t> words;
    for (const sim::SimRequest& r : sim.RequestLog())
        if (r.Code == IOCTL_WRITE_REG && r.InWords >= 2 && r.In[0] == reg)
            words.push_back(r.In[1]);
    return words;
}

// Each oscillator value at its limit, just inside and just beyond it: the
// controller's word, the edit and the settings agree, and what no word holds
// is refused red and kept nowhere.
TEST_F(MultiLockInOnSim, OscillatorValuesAreSentAsShownAndStoredOrRefusedAtTheirEdits)
{
    ini_->WriteFloat("MultiLockin", "AmplScale2", 65535.0); // 1 V at full word
    ini_->WriteFloat("MultiLockin", "AmplScale0", 6553.5);  // 10 V at full word in range 0
    Start();
    auto* f1 = form_->findChild<QLineEdit*>("FreqEdit1");
    auto* f3 = form_->findChild<QLineEdit*>("FreqEdit3");
    auto* link3 = form_->findChild<QComboBox*>("ComboBox4");
    auto* ampl1 = form_->findChild<QLineEdit*>("AmplEdit1");
    ASSERT_TRUE(f1 && f3 && link3 && ampl1);
    const auto word = [](double hz) {
        return static_cast<int32_t>(static_cast<uint32_t>(std::llround(hz * MultiLockInWordScale)));
    };

    // Frequency: the highest word's frequency is run, a hair above it refused.
    test::TypeEnter(f1, "9999999.9976");
    EXPECT_FALSE(test::IsRed(f1));
    EXPECT_EQ(sim_->Register(RegLia1Freq), word(9999999.9976));
    EXPECT_EQ(static_cast<uint32_t>(sim_->Register(RegLia1Freq)), 0xFFFFFFFFu);
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Freq1", 0), 9999999.9976);
    for (const char* beyond : {"9999999.9989", "1e12", "-1"}) {
        test::TypeEnter(f1, beyond);
        EXPECT_TRUE(test::IsRed(f1)) << beyond;
        EXPECT_EQ(static_cast<uint32_t>(sim_->Register(RegLia1Freq)), 0xFFFFFFFFu) << beyond;
        EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Freq1", 0), 9999999.9976) << beyond;
    }
    // The refused value blocks no later oscillator: LIA 3 still follows LIA 1.
    test::TypeEnter(f1, "0");
    EXPECT_EQ(sim_->Register(RegLia1Freq), 0);
    test::TypeEnter(f1, "21000");
    form_->SetLinkText(2, "F1+1000");
    EXPECT_EQ(sim_->Register(RegLia3Freq), word(21000.0) + word(1000.0));
    EXPECT_FALSE(f3->isEnabled()) << "a linked oscillator's frequency is the formula's";

    // A cleared link box is "no link" on Enter, chosen and stored, never 0 Hz.
    form_->SetLinkText(2, "no link");
    test::TypeEnter(f3, "30000");
    EXPECT_EQ(sim_->Register(RegLia3Freq), word(30000.0));
    ini_->WriteInteger("MultiLockIn", "ComboBox4", 5);
    link3->lineEdit()->selectAll();
    QTest::keyClick(link3->lineEdit(), Qt::Key_Backspace);
    form_->ApplyFrequencies(); // as a resonance change does while the box is empty
    EXPECT_EQ(sim_->Register(RegLia3Freq), word(30000.0));
    EXPECT_TRUE(link3->styleSheet().contains("silver"));
    QTest::keyClick(link3->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(sim_->Register(RegLia3Freq), word(30000.0));
    EXPECT_EQ(link3->currentText(), "no link");
    EXPECT_EQ(ini_->ReadInteger("MultiLockIn", "ComboBox4", -1), 0);
    EXPECT_FALSE(link3->styleSheet().contains("silver"));
    EXPECT_TRUE(f3->isEnabled());

    // LIA 1 amplitude: 10 V is the full word of range 0; more is limited to it,
    // and the edit and the settings say 10 V.
    test::TypeEnter(ampl1, "10");
    EXPECT_EQ(sim_->Register(RegLiaAmplitude) >> 16 & 0xFFFF, 65535);
    EXPECT_EQ(sim_->ControlWord() & 0x300, 0);
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Amplitude1", 0), 10.0);
    for (const char* beyond : {"10.001", "1000"}) {
        test::TypeEnter(ampl1, beyond);
        EXPECT_EQ(sim_->Register(RegLiaAmplitude) >> 16 & 0xFFFF, 65535) << beyond;
        EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Amplitude1", 0), 10.0) << beyond;
        EXPECT_EQ(ampl1->text().trimmed(), "10.000") << beyond;
    }
    test::TypeEnter(ampl1, "9.999");
    EXPECT_EQ(sim_->Register(RegLiaAmplitude) >> 16 & 0xFFFF, std::lround(9.999 * 6553.5));
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Amplitude1", 0), 9.999);

    // A phase is kept as its word sends it.
    test::TypeEnter(form_->findChild<QLineEdit*>("PhaseEdit1"), "400");
    const int32_t w1 = (sim_->Register(RegLiaPhases) & 0x3FF) << 1;
    EXPECT_NEAR(ini_->ReadFloat("MultiLockin", "Phase1", 0), 40.0, 0.3);
    EXPECT_NEAR(ini_->ReadFloat("MultiLockin", "Phase1", 0), w1 / 2047.0 * 360.0, 1e-9);

    // Settings from elsewhere that no oscillator runs start at 0 Hz and say so;
    // an amplitude beyond its range starts limited.
    form_->FormDestroy();
    form_.reset();
    CloseDevice(workers_, io_);
    ini_->WriteFloat("MultiLockin", "Freq1", 1.0e12);
    ini_->WriteFloat("MultiLockin", "Amplitude1", 500.0);
    Start();
    EXPECT_EQ(sim_->Register(RegLia1Freq), 0);
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Freq1", -1), 0.0);
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Amplitude1", 0), 10.0);
    EXPECT_EQ(sim_->Register(RegLiaAmplitude) >> 16 & 0xFFFF, 65535);
    EXPECT_EQ(form_->findChild<QLineEdit*>("AmplEdit1")->text().trimmed(), "10.000");
}

// A sweep beyond what the oscillator holds is refused before it starts; one
// up to the highest word reads every point at the frequency its row names.
TEST_F(MultiLockInOnSim, ASweepRunsOnlyWhatTheOscillatorHoldsAndItsRowsNameTheWordsSent)
{
    ini_->WriteInteger("MultiLockinOpt", "DelimiterSave", 1);
    Start();
    auto [scan, start, stop] = SpectrumControls();
    ASSERT_TRUE(scan && start && stop);
    // Refused where it is typed, red, as the resonance sweep's edges are.
    for (const auto& [from, to, red] :
         {std::tuple{"15000", "1e12", 2}, std::tuple{"15000", "9999999.9989", 2},
          std::tuple{"15000", "9999999.9977", 2}, std::tuple{"0", "27000", 1}, std::tuple{"-1", "27000", 1}}) {
        boxes_.Clear();
        test::TypeEnter(start, from);
        test::TypeEnter(stop, to);
        EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
        EXPECT_FALSE(form_->Sweeping());
        EXPECT_TRUE(test::IsRed(red == 1 ? start : stop)) << from << " " << to;
        EXPECT_FALSE(test::IsRed(red == 1 ? stop : start)) << from << " " << to;
        EXPECT_EQ(form_->Step(), 0.0); // nothing measured, nothing to save
        EXPECT_EQ(sim_->Register(RegLia1Freq), std::lround(21000.0 * MultiLockInWordScale));
    }
    // A range that comes some other way is still refused at Scan.
    test::TypeEnter(start, "15000");
    test::TypeEnter(stop, "27000");
    form_->SetRange(15000.0, 1e12);
    boxes_.Clear();
    scan->click();
    EXPECT_EQ(boxes_.Texts(), QStringList{"Sweep frequencies must lie above 0 Hz and below 10 MHz!"});
    EXPECT_FALSE(form_->Sweeping());
    EXPECT_FALSE(scan->isChecked());
    EXPECT_TRUE(test::IsRed(stop));
    EXPECT_FALSE(test::IsRed(start));
    EXPECT_EQ(form_->Step(), 0.0);

    // Nor is a source on a link formula swept: it would run the formula's frequency.
    test::TypeEnter(start, "15000");
    test::TypeEnter(stop, "27000");
    form_->SetLinkText(0, "F0+1000");
    boxes_.Clear();
    scan->click();
    EXPECT_EQ(boxes_.Texts(), QStringList{"LIA1 follows a link formula: choose \"no link\" to sweep it!"});
    EXPECT_FALSE(form_->Sweeping());
    EXPECT_EQ(form_->Step(), 0.0);
    form_->SetLinkText(0, "no link");
    boxes_.Clear();

    test::TypeEnter(stop, "9999999.9976");
    sim_->ClearLog();
    scan->click();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
    EXPECT_EQ(ini_->ReadFloat("MultiLockin", "Stop", 0), 9999999.9976);
    saveAnswer_ = dir_.Path() + "edge.txt";
    QTest::mouseClick(form_->findChild<QPushButton*>("SaveAsButton"), Qt::LeftButton);
    QFile file(saveAnswer_);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::vector<std::pair<double, double>> rows = SpectrumRows(QString::fromUtf8(file.readAll()));
    ASSERT_EQ(rows.size(), 32u);
    EXPECT_NEAR(rows.back().first, 9999999.9976, 1e-6);
    // Every row's frequency is a word the oscillator was given, in the order of the rows.
    const std::vector<int32_t> sent = RegisterWrites(*sim_, RegLia1Freq);
    size_t at = 0;
    for (const auto& row : rows) {
        const auto w = static_cast<int32_t>(static_cast<uint32_t>(std::llround(row.first * MultiLockInWordScale)));
        while (at < sent.size() && sent[at] != w)
            ++at;
        ASSERT_LT(at, sent.size()) << "no word sent for the row at " << row.first << " Hz";
    }
    EXPECT_EQ(static_cast<uint32_t>(sent[at]), 0xFFFFFFFFu);
}

// A click on the chart left of 0 Hz tunes nothing: the source keeps its
// frequency, and the oscillators after it still follow their links.
TEST_F(MultiLockInOnSim, AClickLeftOfZeroHertzLeavesTheSourceRunning)
{
    Start();
    form_->SetRange(1.0, 27000.0);
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    form_->show();
    ASSERT_FALSE(form_->grab().isNull()); // lays the chart out
    TSimpleChart* chart = form_->Chart();
    const QPoint left(1, chart->height() / 2);
    ASSERT_LT(chart->PixelToX(left.x()), 0.0);
    const int32_t word = sim_->Register(RegLia1Freq);
    QTest::mouseClick(chart, Qt::LeftButton, Qt::NoModifier, left);
    EXPECT_EQ(sim_->Register(RegLia1Freq), word);
    EXPECT_FALSE(test::IsRed(form_->findChild<QLineEdit*>("FreqEdit1")));
    form_->SetLinkText(1, "F1+1000");
    EXPECT_EQ(sim_->Register(RegLia2Freq), word + std::lround(1000.0 * MultiLockInWordScale));
}

TEST_F(MultiLockInOnSim, ASettingChangedDuringASweepEndsItOrWaitsForTheNextSweep)
{
    ini_->WriteInteger("MultiLockinOpt", "DelimiterSave", 1);
    ini_->WriteInteger("MultiLockIn", "ComboBox1Count", 2);
    ini_->WriteString("MultiLockIn", "ComboBox11", "F1");
    Start();
    auto [scan, start, stop] = SpectrumControls();
    ASSERT_TRUE(scan && start && stop);
    for (auto [edit, text] : {std::pair{start, "15000"}, std::pair{stop, "27000"}}) {
        edit->setText(text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    const double step = 12000.0 / 31.0;
    const auto measuredAt = [&](int points) {
        scan->click();
        EXPECT_TRUE(test::PumpUntil([&] { return !form_->Sweeping() || form_->Series(0).Count() >= points; }, 60000));
        EXPECT_TRUE(form_->Sweeping());
    };
    // Every row labelled with its own point of the sweep from 15 kHz.
    const auto expectRows = [&](const std::vector<std::pair<double, double>>& rows, int count) {
        ASSERT_EQ(static_cast<int>(rows.size()), count);
        for (int i = 0; i < count; ++i) {
            ASSERT_NEAR(rows[static_cast<size_t>(i)].first, 15000.0 + i * step, 0.01) << "row " << i;
            const double y = form_->Series(0).Points(i).y;
            ASSERT_NEAR(rows[static_cast<size_t>(i)].second, y, 1e-12 + 1e-9 * std::abs(y)) << "row " << i;
        }
    };
    const auto copied = [&] {
        QTest::mouseClick(form_->findChild<QPushButton*>("CopyButton"), Qt::LeftButton);
        return SpectrumRows(QGuiApplication::clipboard()->text());
    };

    // The range and the point count wait for the next sweep.
    measuredAt(5);
    start->setText("16000");
    QTest::keyClick(start, Qt::Key_Return);
    EXPECT_EQ(form_->StatusText(), "start frequency: from the next sweep");
    ini_->WriteInteger("MultiLockinOpt", "datapoints", 64);
    form_->LoadOptions(); // as the options window does on a change
    EXPECT_EQ(form_->StatusText(), "point count and average: from the next sweep");
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    expectRows(copied(), 32);
    EXPECT_EQ(form_->Series(0).Points(31).x, 15000.0 + 31 * step);
    ini_->WriteInteger("MultiLockinOpt", "datapoints", 32);
    start->setText("15000");
    QTest::keyClick(start, Qt::Key_Return);

    // What shapes the signal ends the sweep; its points stay a record of their own.
    auto* amplitude = form_->findChild<QLineEdit*>("AmplEdit1");
    auto* filter = form_->findChild<QComboBox*>("FilterBox");
    auto* link2 = form_->findChild<QComboBox*>("ComboBox1");
    ASSERT_TRUE(amplitude && filter && link2);
    const std::vector<std::pair<QString, std::function<void()>>> changes = {
        {"amplitude",
         [&] {
             amplitude->setText("20");
             QTest::keyClick(amplitude, Qt::Key_Return);
         }},
        {"filter",
         [&] {
             filter->setFocus();
             QTest::keyClick(filter, Qt::Key_Down);
         }},
        {"link", // LIA 2 chosen to follow LIA 1 from its list
         [&] {
             link2->setFocus();
             QTest::keyClick(link2, Qt::Key_Down);
         }},
    };
    // A value refused at its edit changes nothing: the sweep goes on.
    auto* frequency2 = form_->findChild<QLineEdit*>("FreqEdit2");
    measuredAt(5);
    for (const char* refused : {"1e12", "x"})
        test::TypeEnter(frequency2, refused);
    test::TypeEnter(amplitude, "y");
    EXPECT_TRUE(form_->Sweeping());
    EXPECT_TRUE(form_->StatusText().isEmpty()) << form_->StatusText().toStdString();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    EXPECT_EQ(form_->Series(0).Count(), 32);

    for (const auto& [setting, change] : changes) {
        SCOPED_TRACE(setting.toStdString());
        measuredAt(8);
        change();
        ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
        const int n = form_->Series(0).Count();
        EXPECT_GE(n, 8);
        EXPECT_LT(n, 32);
        EXPECT_EQ(form_->StatusText(),
                  QString("Sweep ended by the %1 change: %2 of 32 points measured").arg(setting).arg(n));
        expectRows(copied(), n);
        saveAnswer_ = dir_.Path() + setting + ".txt";
        QTest::mouseClick(form_->findChild<QPushButton*>("SaveAsButton"), Qt::LeftButton);
        QFile file(saveAnswer_);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        expectRows(SpectrumRows(QString::fromUtf8(file.readAll())), n);
    }
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
}

TEST_F(MultiLockInOnSim, ContinueAcquireSweepsAgainUntilScanIsReleased)
{
    Start();
    form_->SetRange(15000.0, 27000.0);
    ini_->WriteInteger("MultiLockinOpt", "ContAverage", 0);
    auto* repeat = form_->findChild<QPushButton*>("RepeatButton");
    auto* scan = form_->findChild<QPushButton*>("ScanButton");
    ASSERT_TRUE(repeat && scan);
    EXPECT_EQ(repeat->text(), "continue acquire");
    // Pressed where the operator sees them: nothing may lie over either.
    form_->show();
    test::Settle();
    test::ClickAtCentre(repeat);
    ASSERT_TRUE(repeat->isChecked());
    test::ClickAtCentre(scan);
    ASSERT_TRUE(form_->Sweeping());
    // Sweep after sweep, each one into the running mean.
    ASSERT_TRUE(test::PumpUntil([&] { return form_->SweepCount() >= 3 && form_->Sweeping(); }, 60000));
    EXPECT_TRUE(scan->isChecked());
    scan->click(); // released: the sweep under way ends and no other follows
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    const int32_t sweeps = form_->SweepCount();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(form_->Sweeping());
    EXPECT_FALSE(scan->isChecked());
    EXPECT_EQ(form_->SweepCount(), sweeps);

    // Without it, one sweep and done.
    test::ClickAtCentre(repeat);
    ASSERT_FALSE(repeat->isChecked());
    test::ClickAtCentre(scan);
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    QCoreApplication::processEvents();
    EXPECT_FALSE(form_->Sweeping());
    EXPECT_FALSE(scan->isChecked());
}

TEST_F(MultiLockInOnSim, ASlowFilterWaitsItsSettleTimeBeforeEveryReading)
{
    Start();
    io_->DelayOverhead = 0;     // every unit asked for goes to the controller
    form_->FilterChange(10, 0); // "200 ms"
    form_->SetRange(20000.0, 22000.0);
    const int64_t before = sim_->RequestCount();
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    EXPECT_EQ(form_->Series(0).Count(), 32);
    // 20000 units before each of the ten readings of every point, in
    // requests of at most DelayChunkMax units.
    const int64_t requests = sim_->RequestCount() - before;
    EXPECT_GE(requests, 32 * SpectrumMinimumReadings * (20000 / DelayChunkMax));
    EXPECT_LT(requests, 32 * SpectrumMinimumReadings * (20000 / DelayChunkMax + 40));
}

TEST_F(MultiLockInOnSim, LiaTwoDrivesThroughItsRecordAndPresetsAreKept)
{
    ini_->WriteInteger("MultiLockIn", "RefLIa1Out", 0); // LIA 1 stays off the cantilever
    ini_->WriteBool("MultiLockin", "Ampl2and3Visible", true);
    ini_->WriteFloat("MultiLockin", "Ampl2Scale", 6553.5);
    ini_->WriteFloat("MultiLockin", "Amplitude2", 1.0);
    ini_->WriteFloat("MultiLockin", "Freq2", 21000.0);
    ini_->WriteInteger("MultiLockin", "Laser1Duty", -5);
    ini_->WriteInteger("MultiLockin", "NumbersChannel1", 99); // read as the last item, LIA 0 Y
    Start();
    form_->Timer1Timer();
    EXPECT_FALSE(form_->NumbersText(1).isEmpty());
    EXPECT_EQ(MultiLockInParams.AmplitudeWord[1], 6554);
    EXPECT_EQ(sim_->Register(RegLaserDuty), 50 << 16); // the negative duty clamped, the rest written
    const double lia1 = std::hypot(io_->ReadReg(ReadAddrLia1X), io_->ReadReg(ReadAddrLia1Y));
    const double lia2 = std::hypot(io_->ReadReg(ReadAddrLia2X), io_->ReadReg(ReadAddrLia2Y));
    // LIA 1 at the same frequency on input A sees LIA 2's drive as well;
    // LIA 2 switched to input B sees only noise.
    EXPECT_GT(lia2, 1.0e6);
    EXPECT_NEAR(lia1, lia2, 0.01 * lia2);
    form_->SetInput(1, 1);
    EXPECT_LT(std::hypot(io_->ReadReg(ReadAddrLia2X), io_->ReadReg(ReadAddrLia2Y)), lia2 / 100.0);

    EXPECT_EQ(sim_->Register(RegLaserConfig), 0); // the restored routes, no laser bits
    form_->RouteClick(1);
    form_->RouteClick(2);
    EXPECT_EQ(sim_->Register(RegLaserConfig), 3);

    EXPECT_TRUE(form_->SetPowerFeedback(1, "0.5", "12", true));
    TMultiLockInChannel c;
    ASSERT_TRUE(form_->Channel(2, c));
    EXPECT_TRUE(c.On);
    EXPECT_EQ(c.Ki, 12);
    EXPECT_EQ(c.Address, ReadAddrLia2X);
    EXPECT_FALSE(form_->SetPowerFeedback(1, "abc", "12", true));

    form_->SetLinkText(2, "F0+1000");
    EXPECT_TRUE(form_->StorePreset(2));
    EXPECT_EQ(ini_->ReadString("MultiLockIn", "ComboBox41", ""), "F0+1000");
    EXPECT_FALSE(form_->StorePreset(2)); // already an item
    EXPECT_TRUE(form_->DeletePreset(2));
    EXPECT_EQ(ini_->ReadInteger("MultiLockIn", "ComboBox4Count", 0), 1);
    EXPECT_FALSE(ini_->ValueExists("MultiLockIn", "ComboBox40"));

    form_->ChartClick(20000.0); // no spectrum yet
    EXPECT_EQ(boxes_.LastText(), "Spectra is invalid!\rPlease acquire new!");
}

// The operator right-clicks a link box's text and chooses Paste: with
// nothing selected the clipboard goes at the end, wherever the cursor is;
// a selection is replaced where its text first occurs.
TEST_F(MultiLockInOnSim, PasteIntoALinkBoxAppendsOrReplacesTheSelection)
{
    Start();
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    auto* box = form_->findChild<QComboBox*>("ComboBox1");
    ASSERT_NE(box, nullptr);
    QLineEdit* line = box->lineEdit();
    ASSERT_NE(line, nullptr);
    QStringList menus;
    const auto paste = [&](const QString& clip) {
        QGuiApplication::clipboard()->setText(clip);
        QTimer::singleShot(0, [&menus] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr)
                return;
            QStringList texts;
            QAction* pasteItem = nullptr;
            for (QAction* a : menu->actions()) {
                texts << a->text();
                if (a->text() == "Paste")
                    pasteItem = a;
            }
            menus << texts.join(',');
            if (pasteItem != nullptr)
                pasteItem->trigger();
            menu->close();
        });
        // A right click on the box's text, as the window system delivers it.
        QTest::mouseClick(form_->windowHandle(), Qt::RightButton, Qt::NoModifier,
                          line->mapTo(form_.get(), line->rect().center()));
    };

    line->setText("F0+");
    line->setCursorPosition(0);
    paste("1000");
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0], "Cut,Copy,Paste"); // the box's own menu
    EXPECT_EQ(line->text(), "F0+1000");
    EXPECT_TRUE(box->styleSheet().contains("silver")); // not applied before Enter

    line->setText("F0+F0");
    line->setSelection(3, 2);
    paste("F1");
    EXPECT_EQ(line->text(), "F1+F0");
}

TEST_F(MultiLockInOnSim, OptionsClampWhatIsTypedAndReloadTheSpectrum)
{
    Start();
    TMultiLockInOptionForm options;
    int reloads = 0;
    options.OptionsChanged = [&] {
        ++reloads;
        form_->LoadOptions();
    };
    options.FormCreate();
    options.AverageChanged("5", false);
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "average", -1), 5);
    options.AverageChanged("5", true);
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "average", -1), 9);
    options.AverageChanged("99999", false);
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "average", -1), 3000);
    options.DataPointsEntered("10000");
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "datapoints", -1), 4096);
    options.DataPointsEntered("12");
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "datapoints", -1), 32);
    EXPECT_FALSE(options.RangePresetEntered("20000"));
    EXPECT_FALSE(ini_->ValueExists("MultiLockin", "Popup0"));
    EXPECT_TRUE(options.RangePresetEntered("1000-5000"));
    EXPECT_EQ(reloads, 6);

    // The spectrum takes the clamped point count at its next start.
    form_->StartSweep();
    EXPECT_EQ(form_->Points(), 32);
    form_->StopSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
}

// The options' "..." takes the file name and extension from a save dialog
// opened on the stored ones; Cancel closes and drops what was typed and not
// committed.
TEST_F(MultiLockInOnSim, OptionsBrowseForTheFileAndCancelDropsWhatWasTyped)
{
    Start();
    ini_->WriteString("MultiLockinOpt", "SaveName", "\"" + dir_.Path() + "first\"");
    ini_->WriteString("MultiLockinOpt", "SaveExt", "txt");
    TMultiLockInOptionForm options;
    options.FormCreate();
    options.show();
    test::Settle();
    auto* browse = options.findChild<QPushButton*>("BrowseButton");
    auto* cancel = options.findChild<QPushButton*>("CancelBtn");
    auto* name = options.findChild<QLineEdit*>("EditFileName");
    auto* ext = options.findChild<QLineEdit*>("EditExtension");
    auto* history = options.findChild<QLineEdit*>("EditHistory");
    ASSERT_TRUE(browse && cancel && name && ext && history);
    EXPECT_EQ(browse->text(), "...");
    EXPECT_EQ(cancel->text(), "Cancel");
    {
        test::UnrecordedByThreadSanitizer qtDialog;
        test::FileDialogAnswer answer(dir_.Path() + "second.dat");
        test::ClickAtCentre(browse);
        EXPECT_EQ(answer.Count(), 1);
    }
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveName", ""), dir_.Path() + "second");
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveExt", ""), "dat");
    EXPECT_EQ(name->text(), dir_.Path() + "second");
    EXPECT_EQ(ext->text(), "dat");

    // The dialog starts in the stored folder with the stored name; an
    // extension keeps at most 100 characters; a cancelled dialog changes nothing.
    QStringList asked;
    QString answer;
    options.AskSaveName = [&](const QString& filter, const QString& folder, const QString& file) {
        asked = {filter, folder, file};
        return answer;
    };
    for (int length : {100, 101}) {
        answer = dir_.Path() + "long." + QString(length, 'e');
        test::ClickAtCentre(browse);
        EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveExt", ""), QString(100, 'e')) << length;
    }
    EXPECT_EQ(asked, QStringList({"spectra (*." + QString(100, 'e') + ")", dir_.Path().chopped(1),
                                  "long." + QString(100, 'e')}));
    answer.clear();
    test::ClickAtCentre(browse);
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveName", ""), dir_.Path() + "long");
    EXPECT_EQ(name->text(), dir_.Path() + "long");

    // Typed, not committed, then Cancel: the stored values stay and are shown.
    name->setFocus();
    QTest::keyClicks(name, "typed");
    QTest::keyClicks(history, "7");
    test::ClickAtCentre(cancel);
    EXPECT_FALSE(options.isVisible());
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveName", ""), dir_.Path() + "long");
    EXPECT_FALSE(ini_->ValueExists("MultiLockinOpt", "history"));
    options.show();
    EXPECT_EQ(name->text(), dir_.Path() + "long");
    EXPECT_EQ(history->text(), "0");
}

// Saving a spectrum where a file already is: the message, then the save dialog,
// whose name becomes the stored one; the save button's Shift toggles auto-save.
TEST_F(MultiLockInOnSim, SavingAskForANewNameAndTheSaveButtonTogglesAutoSave)
{
    Start();
    form_->SetRange(15000.0, 27000.0);
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    const QString taken = dir_.Path() + "sweep";
    ASSERT_TRUE(form_->SaveSpectrum(taken));
    saveAnswer_ = dir_.Path() + "other.dat";
    ASSERT_TRUE(form_->SaveSpectrum(taken));
    EXPECT_TRUE(boxes_.Texts().contains("File already exists!"));
    EXPECT_TRUE(QFile::exists(dir_.Path() + "other.dat"));
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveName", ""), dir_.Path() + "other"); // stored quoted
    EXPECT_EQ(ini_->ReadString("MultiLockinOpt", "SaveExt", ""), "dat");
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "NextNumber", 0), 1);
    // The same name again: asked a few times, then given up.
    EXPECT_FALSE(form_->SaveAsButtonClick());
    EXPECT_EQ(boxes_.LastText(), "File not saved!");
    saveAnswer_.clear();
    EXPECT_FALSE(form_->SaveAsButtonClick());
    EXPECT_EQ(boxes_.LastText(), "File not saved!");

    form_->SaveButtonClick(true);
    EXPECT_TRUE(form_->AutoSave());
    form_->SaveButtonClick(true);
    EXPECT_FALSE(form_->AutoSave());
    form_->SaveButtonClick(true);
    ini_->WriteString("MultiLockinOpt", "SaveName", "\"" + dir_.Path() + "plain\"");
    form_->SaveButtonClick(false); // saves now and ends auto-save
    EXPECT_FALSE(form_->AutoSave());
    EXPECT_TRUE(QFile::exists(dir_.Path() + "plain.dat"));
}

// Save, Save as and Copy are there only for a sweep that measured a point:
// one stopped before its first point leaves them off, and a click on Save
// writes nothing and keeps the number.
TEST_F(MultiLockInOnSim, ASweepStoppedBeforeItsFirstPointLeavesNothingToSave)
{
    ini_->WriteBool("MultiLockinOpt", "SaveNumbered", true);
    ini_->WriteInteger("MultiLockinOpt", "NextNumber", 7);
    ini_->WriteString("MultiLockinOpt", "SaveName", "\"" + dir_.Path() + "spectrum\"");
    Start();
    QPushButton* scan = std::get<0>(SpectrumControls());
    ASSERT_NE(scan, nullptr);
    QPushButton* save = nullptr;
    for (QPushButton* b : form_->findChildren<QPushButton*>())
        if (b->text() == "Save")
            save = b;
    const std::array<QPushButton*, 3> saving = {save, form_->findChild<QPushButton*>("SaveAsButton"),
                                                form_->findChild<QPushButton*>("CopyButton")};
    for (QPushButton* b : saving)
        ASSERT_NE(b, nullptr);
    const auto expectSaving = [&](bool on) {
        for (QPushButton* b : saving)
            EXPECT_EQ(b->isEnabled(), on) << b->text().toStdString();
    };
    // Started and stopped before the first reading is due.
    const auto stoppedAtOnce = [&] {
        scan->click();
        ASSERT_TRUE(form_->Sweeping());
        scan->click();
        ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
        EXPECT_EQ(form_->Series(0).Count(), 0);
    };

    stoppedAtOnce();
    expectSaving(false);
    scan->click();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    expectSaving(true);
    stoppedAtOnce();
    expectSaving(false);
    QGuiApplication::clipboard()->setText("kept");
    for (QPushButton* b : saving)
        QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "kept");
    EXPECT_TRUE(QDir(dir_.Path()).entryList({"spectrum*"}).isEmpty());
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "NextNumber", 0), 7);
}

// The views, the channel boxes and buttons, the unit labels and the chart's
// mouse: a drag sweeps the dragged range once, a move reads the cursor out.
TEST_F(MultiLockInOnSim, ViewsChannelsUnitsAndTheChartMouse)
{
    ini_->WriteBool("Scale", "ADC1CheckBox1", true);
    ini_->WriteString("Scale", "ADC1Label2", "Error");
    ini_->WriteInteger("MultiLockinOpt", "CountChannels", 7); // outside 1..4
    Start();
    EXPECT_EQ(form_->CountChannels(), 1);
    EXPECT_EQ(ini_->ReadInteger("MultiLockinOpt", "CountChannels", 0), 1);
    EXPECT_EQ(form_->AcquisitionSlot(0), -1); // nothing chosen: LIA 1 X as always
    form_->AcqComboBoxChange(1, -1);          // an empty choice takes the first item
    EXPECT_EQ(form_->AcquisitionSlot(1), FirstAdcSlot);
    EXPECT_EQ(ini_->ReadInteger("MultiLockin", "Channel1", -1), 0);

    EXPECT_FALSE(form_->NumbersView());
    form_->ShowNumbersView(true);
    EXPECT_EQ(form_->height(), 380);
    form_->StartSweep(); // no source in the numbers view
    EXPECT_FALSE(form_->Sweeping());
    form_->ShowNumbersView(false);
    // 588, or taller where the spectrum's controls need more room.
    EXPECT_EQ(form_->height(), std::max(588, form_->minimumHeight()));
    EXPECT_FALSE(form_->findChild<QRadioButton*>("NumbersRadioBtn")->isChecked());
    for (QGroupBox* g : form_->findChildren<QGroupBox*>())
        if (g->title().startsWith("Lia 3")) {
            QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(g, &press);
        }
    EXPECT_EQ(form_->SweepSource(), 3); // a click on an oscillator's group chooses it
    form_->SelectSweepSource(1);

    form_->LabelIncClick(6); // start in kHz
    EXPECT_EQ(form_->UnitText(6), "kHz");
    EXPECT_EQ(ini_->ReadInteger("MultiLockin", "Label20Tag", 0), 1);
    form_->LabelIncClick(6);
    form_->LabelIncClick(6); // past MHz back to mHz
    EXPECT_EQ(form_->UnitText(6), "mHz");
    EXPECT_TRUE(form_->EnterText(0, 0, "21.5k"));
    EXPECT_EQ(form_->UnitText(0), "kHz");
    EXPECT_EQ(sim_->Register(RegLia1Freq), std::lround(21500.0 * MultiLockInWordScale));
    form_->LabelIncClick(3); // LIA 1 amplitude: V, then mV, then V again
    EXPECT_EQ(form_->UnitText(3), "mV");
    EXPECT_TRUE(form_->EnterText(1, 0, "50"));
    EXPECT_NEAR(ini_->ReadFloat("MultiLockin", "Amplitude1", 0.0), 0.05, 1e-12);
    form_->LabelIncClick(3);
    EXPECT_EQ(form_->UnitText(3), "V");

    TSimpleChart* chart = form_->Chart();
    ASSERT_NE(chart, nullptr);
    form_->ChartMouseUp(10);
    EXPECT_EQ(boxes_.LastText(), "Spectra is invalid!\rPlease acquire new!");
    form_->SetRange(15000.0, 27000.0);
    form_->StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    form_->show();
    ASSERT_FALSE(form_->grab().isNull()); // lays the chart out and draws it
    const TPlotRect r = chart->PlotRect();
    const int a = r.Left + (r.Right - r.Left) / 4;
    const int b = r.Left + (r.Right - r.Left) * 3 / 4;
    form_->ChartMouseMove(a, (r.Top + r.Bottom) / 2, false);
    EXPECT_TRUE(form_->StatusText().startsWith("f: "));
    EXPECT_TRUE(form_->StatusText().contains("Hz  "));
    // The read-out under the pointer (the value, its prefix, the channel's
    // unit): the top of the plot is the axis's top, the bottom its bottom.
    const auto readout = [&] { return form_->StatusText().section("  ", -1); };
    ASSERT_LT(chart->YAxis.Min, chart->YAxis.Max);
    form_->ChartMouseMove(a, r.Top, false);
    EXPECT_TRUE(readout().startsWith(FormatWithSIPrefix("", chart->YAxis.Max)))
        << form_->StatusText().toStdString() << " " << chart->YAxis.Max;
    form_->ChartMouseMove(a, r.Bottom, false);
    EXPECT_TRUE(readout().startsWith(FormatWithSIPrefix("", chart->YAxis.Min)))
        << form_->StatusText().toStdString() << " " << chart->YAxis.Min;
    const double xa = chart->PixelToX(a);
    const double xb = chart->PixelToX(b);
    EXPECT_GT(xa, 15000.0);
    EXPECT_LT(xb, 27000.0);
    form_->ChartMouseDown(b); // dragged right to left: the ends are ordered
    form_->ChartMouseMove(a, r.Top, true);
    form_->ChartMouseUp(a);
    ASSERT_TRUE(test::PumpUntil([&] { return !form_->Sweeping(); }, 60000));
    ASSERT_EQ(form_->Series(0).Count(), 32);
    EXPECT_NEAR(form_->Series(0).Points(0).x, std::min(xa, xb), 1e-6);
    EXPECT_NEAR(form_->Series(0).Points(31).x, std::max(xa, xb), 1e-6 * std::max(xa, xb));

    form_->ChannelButtonClick(2);
    EXPECT_FALSE(form_->Series(0).Visible);
    EXPECT_TRUE(form_->Series(2).Visible);
    ini_->WriteBool("MultiLockinOpt", "Math", true);
    ini_->WriteBool("MultiLockinOpt", "YAxisLog", true);
    form_->LoadOptions();
    EXPECT_FALSE(form_->YAxisLog()); // only with the Math button down
    form_->ChannelButtonClick(4);
    EXPECT_TRUE(form_->YAxisLog());
    EXPECT_EQ(chart->YAxis.LinLog, atLog);
}

// Each view has its own height: switching to Numbers gives the numbers'
// height back, however tall the spectrum was made.
TEST_F(MultiLockInOnSim, EachViewTakesItsOwnHeightAtEverySwitch)
{
    Start();
    form_->show();
    auto* numbers = form_->findChild<QRadioButton*>("NumbersRadioBtn");
    auto* spectrum = form_->findChild<QRadioButton*>("SpektraRadioBtn");
    ASSERT_TRUE(numbers && spectrum);
    const auto click = [](QRadioButton* radio) {
        QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(8, radio->height() / 2)); // on its circle
        QCoreApplication::processEvents();
    };
    ASSERT_TRUE(spectrum->isChecked());
    // 588, or taller where the spectrum's controls need more room.
    const int spectrumHeight = std::max(588, form_->minimumHeight());
    EXPECT_EQ(form_->height(), spectrumHeight);
    click(numbers);
    EXPECT_EQ(form_->height(), 380);
    click(spectrum);
    EXPECT_EQ(form_->height(), spectrumHeight);

    form_->resize(form_->width(), spectrumHeight + 40); // the operator drags the spectrum taller
    QCoreApplication::processEvents();
    click(numbers);
    EXPECT_EQ(form_->height(), 380);
    click(spectrum);
    EXPECT_EQ(form_->height(), spectrumHeight);
}

} // namespace
} // namespace qvt
