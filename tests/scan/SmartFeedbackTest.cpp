#include "support/DriverLinkFixture.h"
#include "support/KeyInput.h"
#include "support/SimRequests.h"

#include "scan/FastScanThread.h"
#include "scan/SmartFeedbackForm.h"
#include "scan/SmartFeedbackLogic.h"
#include "widgets/NumericEdit.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>

#include <tuple>

using namespace qvt;
using namespace qvt::test;

namespace {

std::vector<int32_t> Registers(const TFilterLoadPlan& plan)
{
    std::vector<int32_t> r;
    for (const TFilterLoadStep& s : plan.Steps)
        if (s.What == TFilterLoadStep::Write)
            r.push_back(s.Register);
    return r;
}

} // namespace

TEST(SmartFeedbackLogic, FilterWordFilesFillTheBiquadsOrLetTheSignalPass)
{
    // Four words: the rest of the first biquad stays, the second passes.
    const TFilterLoadPlan four = PlanFilterLoad({"1", "2.4", "-3", "4"}, FilterWordsXBase, 0);
    EXPECT_EQ(Registers(four), (std::vector<int32_t>{401, 402, 403, 404, 407, 408, 409, 410, 406}));
    EXPECT_EQ(four.Steps.back().Value, FilterPassWord);
    EXPECT_EQ(four.Shown[1].second, 2);
    EXPECT_LT(four.ErrorLine, 0);

    // A bad third line: two words, then both biquads pass and the line is named.
    const TFilterLoadPlan bad = PlanFilterLoad({"5", "6", "x7"}, FilterWordsYBase, 0);
    EXPECT_EQ(bad.ErrorLine, 2);
    EXPECT_EQ(bad.Message, "Error in file al line 2! Switch filter off.");
    const std::vector<int32_t> regs = Registers(bad);
    ASSERT_EQ(regs.size(), 2u + 9u + 2u);
    EXPECT_EQ(regs[0], 417);
    EXPECT_EQ(regs[1], 418);
    EXPECT_EQ(regs[11], 417);
    EXPECT_EQ(bad.Steps[11].Value, FilterPassWord);
    EXPECT_EQ(regs[12], 422);
    // A word beyond 32 bits stops it the same way.
    EXPECT_EQ(PlanFilterLoad({"3000000000"}, FilterWordsXBase, 0).ErrorLine, 0);

    // While the module scans, the filter is emptied and the scan held off, then restored.
    const TFilterLoadPlan scanning = PlanFilterLoad(QStringList(10, "1"), FilterWordsXBase, HscScanOn | HscDmaOn);
    EXPECT_EQ(scanning.Steps[9].What, TFilterLoadStep::DelayUs);
    EXPECT_EQ(scanning.Steps[10].What, TFilterLoadStep::Control);
    EXPECT_EQ(scanning.Steps[10].Value, HscDmaOn | HscApplyRequest);
    EXPECT_EQ(scanning.Steps.back().Value, HscScanOn | HscDmaOn | HscApplyRequest);

    // The grid's commit rule and the switches' word.
    int32_t reg = 0, value = 0;
    EXPECT_TRUE(GridCommit(1, 3, " -12 ", reg, value));
    EXPECT_EQ(reg, 131);
    EXPECT_EQ(value, -12);
    EXPECT_FALSE(GridCommit(1, 3, "1.5", reg, value));
    EXPECT_FALSE(GridCommit(1, -1, "1", reg, value));
    EXPECT_FALSE(GridCommit(5, 6, "1", reg, value));
    EXPECT_EQ(HighSpeedControlWord(true, false, true, true), 0x1 + 0x4 + 0x100 + 0x80);
    EXPECT_EQ(RegisterRowLabel(2, 12), "ya0");
    EXPECT_EQ(RegisterRowLabel(1, 17), "dLine");
}

namespace {

class SmartFeedbackFormTest : public DriverLinkFixture {
protected:
    void Open(int type, const QString& driver = "SIM", double latencyUs = 0.0)
    {
        sim::SimConfig config = FastConfig();
        config.ControllerType = type;
        config.AdcNoise = 0.0;
        config.RequestLatencyUs = latencyUs;
        sim_ = PlugSim(config, driver);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        sim_->ClearLog();
        window_ = std::make_unique<TSmartFeedbackForm>(*form_, &workers_->FastScanThread());
        window_->HideFastControls = [this] { ++hidden_; };
    }
    void TearDown() override
    {
        window_.reset();
        CloseDevice(workers_, form_);
        OsziRequest = TOsziRequest{};
        DriverLinkFixture::TearDown();
    }
    // The shown window's reference frequency, delay (ms) and turn-lines edits.
    std::tuple<TNumericEdit*, TNumericEdit*, TNumericEdit*> Edits() const
    {
        return {window_->findChild<TNumericEdit*>("Edit6"), window_->findChild<TNumericEdit*>("Edit4"),
                window_->findChild<TNumericEdit*>("Edit5")};
    }
    // Replaces what the edit holds, as a typed value does, and presses Enter.
    static void Enter(TNumericEdit* edit, const QString& text)
    {
        edit->selectAll();
        TypeAndEnter(edit, text);
    }
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TSmartFeedbackForm> window_;
    int hidden_ = 0;
};

} // namespace

TEST_F(SmartFeedbackFormTest, InitialisesTheModuleInOrderAndWritesEditedRows)
{
    ini_->WriteString("SmartFeedback", "TopSide", "3");
    ini_->WriteInteger("SmartFeedback", "StrGri6Row1", 77);
    Open(29);
    window_->FormCreate();
    EXPECT_EQ(hidden_, 0);

    std::vector<std::pair<int32_t, int32_t>> writes;
    bool controlSent = false;
    for (const sim::SimRequest& r : sim_->RequestLog()) {
        if (r.Code == IOCTL_WRITE_REG && !controlSent)
            writes.emplace_back(r.In[0], r.In[1]);
        if (r.Code == IOCTL_READ_OSZI && !controlSent) {
            EXPECT_EQ(r.In[0], HscApplyRequest); // everything off, applied once
            controlSent = true;
        }
    }
    std::vector<std::pair<int32_t, int32_t>> want = {{78, 0}, {79, -1073741000}, {80, 1073741000}};
    for (int reg = 128; reg <= 155; ++reg)
        want.emplace_back(reg, 0);
    want.insert(want.end(), {{192, 0}, {203, 0}, {79, -1073741820}, {80, 1073741820}, {140, 1073741820}, {141, 1}});
    EXPECT_EQ(writes, want);
    EXPECT_TRUE(controlSent);
    EXPECT_EQ(OsziRequest.HighSpeedControl.load(), 0); // the apply bit went with the request
    EXPECT_EQ(workers_->FastScanThread().TurnLines.load(), 3);
    EXPECT_EQ(window_->Grid(5)->item(1, 1)->text(), "77");
    EXPECT_EQ(window_->Pages()->currentIndex(), 1);

    // A marked row keeps what is typed while the other rows refresh.
    sim_->ClearLog();
    form_->WriteReg(65, 1234);
    window_->BeginEdit(0, 3);
    window_->Grid(0)->item(3, 1)->setText("abc"); // no integer: nothing written, still marked
    window_->Timer1Timer();
    EXPECT_EQ(window_->Grid(0)->item(1, 1)->text(), "1234");
    EXPECT_EQ(window_->Grid(0)->item(3, 1)->text(), "abc");
    EXPECT_EQ(window_->EditedRow(0), 3);
    window_->Grid(0)->item(3, 1)->setText("4321");
    EXPECT_EQ(window_->EditedRow(0), -1);
    EXPECT_EQ(sim_->Register(67), 4321);

    // The switches build the control word and hand it to the module.
    window_->CheckBox(0)->setChecked(true);
    window_->CheckBox(2)->setChecked(true);
    window_->IOCTLButtonClick();
    EXPECT_EQ(sim_->FastScanControl(), HscDmaOn | HscScanOn);

    // A filter file through the window.
    const QString path = dir_.Path() + "notch.txt";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("11\n12\n13\n14\n");
    f.close();
    window_->ChooseFilterFile = [path](const QString&) { return path; };
    ASSERT_EQ(sim_->FastScanControl(), HscDmaOn | HscScanOn);
    sim_->ClearLog();
    window_->LoadFilter(FilterWordsXBase);
    EXPECT_EQ(sim_->Register(404), 14);
    EXPECT_EQ(sim_->Register(406), FilterPassWord);
    EXPECT_EQ(window_->Grid(3)->item(4, 1)->text(), "14");
    // The module scanned at none of the file's words: the filter is emptied
    // (nine writes) while it still scans, then the scan is held off.
    const std::vector<int32_t> atWrites = ModuleControlAtWrites(*sim_, HscDmaOn | HscScanOn, 401, 410);
    ASSERT_GT(atWrites.size(), 9u);
    for (size_t i = 9; i < atWrites.size(); ++i)
        EXPECT_EQ(atWrites[i] & HscScanOn, 0) << "write " << i;
    EXPECT_EQ(sim_->FastScanControl(), HscDmaOn | HscScanOn);
    window_->FormDestroy();
    EXPECT_EQ(ini_->ReadInteger("SmartFeedback", "StrGri4Row4", 0), 14);
}

TEST_F(SmartFeedbackFormTest, StaysHiddenOnAnOlderController)
{
    OsziRequest.HighSpeedControl = HscDmaOn;
    Open(26);
    window_->FormCreate();
    EXPECT_EQ(hidden_, 1);
    EXPECT_FALSE(window_->ModulePresent());
    EXPECT_EQ(OsziRequest.HighSpeedControl.load(), 0);
    EXPECT_FALSE(window_->Timer1().isActive());
    EXPECT_EQ(CountCode(*sim_, IOCTL_WRITE_REG), 0);
}

TEST_F(SmartFeedbackFormTest, EditsRefuseWhatTheRegisterCannotHoldOrTheModuleCannotDo)
{
    Open(29);
    window_->FormCreate();
    window_->show();
    const auto [f, ms, lines] = Edits();
    ASSERT_TRUE(f && ms && lines);

    Enter(f, "1000");
    EXPECT_EQ(f->Color(), EditColor::White);
    const int32_t word = sim_->Register(3);
    EXPECT_GT(word, 0);
    for (const QString& bad : {QString("1e20"), QString("-5"), QString("0.001")}) {
        Enter(f, bad);
        EXPECT_EQ(f->Color(), EditColor::Red) << bad.toStdString();
        EXPECT_EQ(sim_->Register(3), word) << bad.toStdString();
    }

    Enter(ms, "0.5");
    Enter(lines, "2");
    EXPECT_EQ(lines->Color(), EditColor::White);
    EXPECT_EQ(workers_->FastScanThread().TurnLines.load(), 2);
    EXPECT_DOUBLE_EQ(workers_->FastScanThread().StreamDelay.load(), 0.5e-3);
    for (const auto& [msText, linesText] : {std::pair<QString, QString>{"-5", "2"}, {"0.5", "-3"}, {"0.5", "1.5"}}) {
        ms->setText(msText);
        Enter(lines, linesText);
        EXPECT_EQ(ms->Color(), EditColor::Red) << msText.toStdString() << " " << linesText.toStdString();
        EXPECT_EQ(lines->Color(), EditColor::Red);
        EXPECT_EQ(workers_->FastScanThread().TurnLines.load(), 2);
        EXPECT_DOUBLE_EQ(workers_->FastScanThread().StreamDelay.load(), 0.5e-3);
    }
}

// The edits' limits, each taken at the limit and refused one step beyond:
// the reference oscillator from the lowest frequency whose word is 1 up to
// half the lock-in clock, the delay after a position 0..1000 ms, the lines
// added at a turn 0..10^6.
TEST_F(SmartFeedbackFormTest, EditsTakeTheirLimitsAndRefuseOneStepBeyond)
{
    Open(29);
    window_->FormCreate();
    window_->show();
    const auto [f, ms, lines] = Edits();
    ASSERT_TRUE(f && ms && lines);

    // Word = frequency x 2^32 / 10^7 / 16, rounded half to even as it is sent:
    // 8 x 10^7 / 2^32 Hz is a word of exactly one half, so 0.
    struct TFrequency {
        const char* Typed;
        int32_t Word; // -1: refused
    };
    for (const TFrequency& c :
         {TFrequency{"5000000", 134217728}, TFrequency{"5000000.01", -1}, TFrequency{"0.0186265", 1},
          TFrequency{"0.01862645149230957", -1}, TFrequency{"0.0186264", -1}}) {
        SCOPED_TRACE(c.Typed);
        SimWrite(*sim_, RegRefFreq, 77);
        Enter(f, c.Typed);
        EXPECT_EQ(f->Color(), c.Word < 0 ? EditColor::Red : EditColor::White);
        EXPECT_EQ(sim_->Register(RegRefFreq), c.Word < 0 ? 77 : c.Word);
    }

    struct TTurn {
        const char* Ms;
        const char* Lines;
        bool Taken;
    };
    for (const TTurn& c : {TTurn{"1000", "1000000", true}, TTurn{"1000.001", "2", false}, TTurn{"0", "0", true},
                           TTurn{"-0.001", "2", false}, TTurn{"5", "1000001", false}, TTurn{"5", "-1", false}}) {
        SCOPED_TRACE(std::string(c.Ms) + " ms, " + c.Lines + " lines");
        Enter(ms, "0.5");
        Enter(lines, "3");
        ASSERT_EQ(lines->Color(), EditColor::White);
        ms->setText(c.Ms);
        Enter(lines, c.Lines);
        EXPECT_EQ(lines->Color(), c.Taken ? EditColor::White : EditColor::Red);
        EXPECT_EQ(ms->Color(), c.Taken ? EditColor::White : EditColor::Red);
        EXPECT_EQ(workers_->FastScanThread().TurnLines.load(), c.Taken ? QString(c.Lines).toInt() : 3);
        EXPECT_DOUBLE_EQ(workers_->FastScanThread().StreamDelay.load(),
                         (c.Taken ? QString(c.Ms).toDouble() : 0.5) / 1000.0);
    }
}

namespace {

// A value typed into a register row as the engineer does: click the value
// cell, F2, the number, Enter.
void TypeIntoRow(QTableWidget* grid, int row, const QString& text)
{
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(grid->item(row, 1)).center());
    PressKey(grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(grid->model()->index(row, 1)));
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    TypeAndEnter(editor, text);
    QCoreApplication::processEvents(); // the view takes the editor's text in a queued call
    ASSERT_EQ(grid->item(row, 1)->text(), text);
}

int Cell(QTableWidget* grid, int row)
{
    return grid->item(row, 1)->text().toInt();
}

} // namespace

TEST_F(SmartFeedbackFormTest, TheModulesLoopAnswersItsFeedbackPageAsItsWordsSay)
{
    // Rows of the "Feedback" page: In, Ref, U0, k0 (b1), k1 (b2), ..., Zout, q0, q1.
    constexpr int In = 0, Ref = 1, U0 = 2, K0 = 3, K1 = 4, Zout = 17, Q0 = 19, Q1 = 20;
    constexpr int Upper = 1073741820; // the limits the start-up writes to 79 and 80
    constexpr int Unit = 1073741824;  // 1.0 as the module's coefficients hold it

    for (const bool usb : {false, true}) {
        SCOPED_TRACE(usb ? "USB box: incremental k0, k1" : "type 29: b1, b2, q0..q2");
        // Each request takes 100 µs of the controller's time: a refresh lets the loop run.
        Open(usb ? 26 : 29, usb ? "SIMUSB" : "SIM", 100.0);
        window_->FormCreate();
        window_->show();
        window_->Pages()->setCurrentIndex(0);
        QTableWidget* grid = window_->Grid(0);
        QCheckBox* feedbackOn = window_->CheckBox(1);

        // The error word: (In − Ref) × 16.
        TypeIntoRow(grid, Ref, "-1000");
        EXPECT_EQ(sim_->Register(65), -1000);
        window_->Timer1Timer();
        const int in = Cell(grid, In);
        EXPECT_EQ(Cell(grid, U0), (in + 1000) * 16);
        EXPECT_EQ(Cell(grid, Zout), 0);

        // A unit proportional set: once the loop is on, Zout stands at In − Ref.
        TypeIntoRow(grid, K0, QString::number(Unit));
        if (usb) {
            TypeIntoRow(grid, K1, QString::number(-Unit));
        } else {
            TypeIntoRow(grid, Q0, QString::number(Unit));
            TypeIntoRow(grid, Q1, QString::number(-Unit));
        }
        window_->Timer1Timer();
        EXPECT_EQ(Cell(grid, Zout), 0) << "the loop is off";
        QTest::mouseClick(feedbackOn, Qt::LeftButton);
        ASSERT_EQ(sim_->FastScanControl(), 0x2);
        window_->Timer1Timer();
        EXPECT_EQ(Cell(grid, Zout), in + 1000);

        // Integral only: Zout runs until it meets the upper limit, and the lower one for the other sign.
        if (usb)
            TypeIntoRow(grid, K1, "0");
        else
            TypeIntoRow(grid, Q1, "0");
        TypeIntoRow(grid, Ref, "-1000000");
        window_->Timer1Timer();
        EXPECT_EQ(Cell(grid, Zout), Upper);
        TypeIntoRow(grid, Ref, "1000000");
        window_->Timer1Timer();
        window_->Timer1Timer();
        EXPECT_EQ(Cell(grid, Zout), -Upper);

        // Switched off, the output holds where it stood.
        QTest::mouseClick(feedbackOn, Qt::LeftButton);
        ASSERT_EQ(sim_->FastScanControl(), 0);
        TypeIntoRow(grid, Ref, "-1000000");
        window_->Timer1Timer();
        window_->Timer1Timer();
        EXPECT_EQ(Cell(grid, Zout), -Upper);
        EXPECT_EQ(Cell(grid, U0), (in + 1000000) * 16);

        window_.reset();
        CloseDevice(workers_, form_);
        OsziRequest = TOsziRequest{};
    }
}
