// The oscilloscopes on the simulated controller: the lock-in's X and Y and
// the box's test sine on the three-trace scope, its spectrum, the long-term
// ring and its files; the feedback input on the simple scope.

#include "support/DriverLinkFixture.h"
#include "support/FileDialogAnswer.h"
#include "support/FullDisk.h"

#include "lockin/Oszi2Form.h"
#include "lockin/Oszi2OptionForm.h"
#include "lockin/OsziForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace qvt {
namespace {

class OsziOnSim : public test::DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedChannels_ = OsziChannels;
        savedSampleTime_ = OsziSampleTime;
        Scale("DAC21", "LIA X", "", true);
        Scale("DAC22", "LIA Y", "", true);
        Scale("ADC1", "Error", "1", false);
        Scale("ADC4", "Test sine", "4", true);
        ini_->WriteInteger("Oszi2", "Channel1", 1);
        ini_->WriteInteger("Oszi2", "Channel2", 2);
        ini_->WriteInteger("Oszi2", "Channel3", 3);
        ini_->WriteString("Oszi2", "TimeBase", "1m");
    }
    void TearDown() override
    {
        simple_.reset();
        options_.reset();
        oszi_.reset();
        if (io_) {
            io_->FormDestroy();
            io_.reset();
        }
        OsziFlags = 0;
        OsziChannels = savedChannels_;
        OsziSampleTime = savedSampleTime_;
        DriverLinkFixture::TearDown();
    }

    void Scale(const QString& ch, const QString& label, const QString& address, bool listed)
    {
        ini_->WriteString("Scale", ch + "Label2", label);
        ini_->WriteString("Scale", ch + "Edit1", "V");
        ini_->WriteString("Scale", ch + "Edit2", "0.0003");
        if (!address.isEmpty())
            ini_->WriteString("Scale", ch + "Edit0", address);
        ini_->WriteBool("Scale", ch + "CheckBox1", listed);
    }

    void Start(sim::SimConfig config = FastConfig())
    {
        sim_ = PlugSim(config);
        io_ = std::make_unique<TInOutForm>();
        io_->FormCreate();
        oszi_ = std::make_unique<TOszi2Form>(*io_);
        oszi_->FormCreate();
    }

    // One 100 ms poll of the device window.
    void Fetch() { io_->TimerOszi2Timer(); }

    // The window shown with a long-term ring of 5000 rows, Scan down.
    void StartLongTerm()
    {
        ini_->WriteBool("Osziopt", "LongTermEnable", true);
        ini_->WriteString("Osziopt", "LongTermDataPoints", "5000");
        Start();
        ASSERT_TRUE(oszi_->AllocLongTerm());
        oszi_->show();
        oszi_->ScanButton->setChecked(true);
        oszi_->ScanButtonClick();
    }

    static int PeakBin(const TOsziBuffer& b)
    {
        int peak = 0;
        for (int i = 2; i < OsziBufferSamples; i += 2)
            if (b.Samples[i] > b.Samples[peak])
                peak = i;
        return peak / 2;
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> io_;
    std::unique_ptr<TOszi2Form> oszi_;
    std::unique_ptr<TOszi2OptionForm> options_;
    std::unique_ptr<TOsziForm> simple_;

private:
    std::array<int32_t, 4> savedChannels_{};
    float savedSampleTime_ = 0.0f;
};

TEST_F(OsziOnSim, ShowsLockInAndTestSineAndTheSineInItsBin)
{
    Start();
    EXPECT_EQ(oszi_->Edit1->text(), "1.6m"); // one tick per sample
    oszi_->show();
    const TSetOsziRecord setup = sim_->OsziSetup();
    EXPECT_EQ(setup.PeriodTicks, 1);
    EXPECT_EQ(setup.Addresses[0], OsziTimeStampAddress);
    EXPECT_EQ(setup.Addresses[1], ReadAddrResonanceX);
    EXPECT_EQ(setup.Addresses[2], ReadAddrResonanceY);
    EXPECT_EQ(setup.Addresses[3], 4);
    EXPECT_EQ(oszi_->ComboBoxes[2]->currentText(), "Test sine");

    Fetch();
    const TOsziStats sine = oszi_->TraceState(2).Stats;
    EXPECT_GT(sine.Max, 1900);
    EXPECT_LT(sine.Min, -1900);
    EXPECT_LT(std::abs(oszi_->TraceState(0).Stats.Mean), 200); // the undriven lock-in reads about zero
    // Shown, it runs; with the button released the next full frame is the last.
    EXPECT_TRUE(oszi_->ScanButton->isChecked());
    EXPECT_TRUE(io_->OszTimerActive());
    oszi_->ScanButton->setChecked(false);
    Fetch();
    EXPECT_FALSE(io_->OszTimerActive());
    EXPECT_FALSE(oszi_->ScanButton->isChecked());
    const QImage time = oszi_->Picture().copy();
    oszi_->ProcessFrame();
    oszi_->ProcessFrame();
    EXPECT_EQ(oszi_->Picture(), time);

    // 1 kHz at 39062.5/512 Hz per bin: bin 13, on the stopped frame.
    oszi_->SetView(TOsziView::Freq);
    EXPECT_EQ(PeakBin(oszi_->ShownFrame()[3]), 13);
    oszi_->ProcessFrame();
    EXPECT_EQ(PeakBin(oszi_->ShownFrame()[3]), 13);
    oszi_->SetView(TOsziView::Time);
    EXPECT_EQ(oszi_->Picture(), time);

    // The Line view needs a running scan.
    oszi_->SetView(TOsziView::Line);
    EXPECT_EQ(oszi_->View(), TOsziView::Time);
}

TEST_F(OsziOnSim, LongTermRingTakesEachFrameOnceInTimeSamples)
{
    ASSERT_NO_FATAL_FAILURE(StartLongTerm());
    Fetch();
    Fetch();
    EXPECT_TRUE(io_->OszTimerActive()); // re-armed while the button is down
    EXPECT_EQ(oszi_->LongTerm.Count(), 1024);
    oszi_->SetView(TOsziView::Freq);
    oszi_->StopAndStore(); // a save: the frame shown is in the ring already
    EXPECT_EQ(oszi_->LongTerm.Count(), 1024);
    EXPECT_FALSE(io_->OszTimerActive());

    // A file that cannot be written is told and the rows stay for the next try.
    EXPECT_FALSE(oszi_->SaveFile(4, dir_.Path() + "missing/long.dat"));
    EXPECT_EQ(boxes_.LastText(), "Can't save file!");
    EXPECT_EQ(oszi_->LongTerm.Count(), 1024);
    const QString path = dir_.Path() + "long.dat";
    ASSERT_TRUE(oszi_->SaveFile(4, path));
    EXPECT_EQ(oszi_->LongTerm.Count(), 0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1024);
    for (int i = 0; i < lines.size(); ++i) {
        const QStringList cells = lines[i].split(' ', Qt::SkipEmptyParts);
        ASSERT_EQ(cells.size(), 4) << lines[i].toStdString();
        // Samples one tick (25.6 µs) apart keep times of their own.
        if (i % 512 != 0) {
            EXPECT_NEAR(cells[0].toDouble() - lines[i - 1].split(' ', Qt::SkipEmptyParts)[0].toDouble(), 25.6e-6,
                        1.1e-6);
        }
        EXPECT_LT(std::abs(cells[3].toDouble()), 2100 * 0.0003); // volts of the sine, not spectrum magnitudes
    }

    // The frame text in the frequency view: bin frequencies beside magnitudes.
    const QString framePath = dir_.Path() + "frame.dat";
    ASSERT_TRUE(oszi_->SaveFile(2, framePath));
    QFile frame(framePath);
    ASSERT_TRUE(frame.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromLatin1(frame.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 512);
    EXPECT_NEAR(rows[26].split(' ', Qt::SkipEmptyParts)[0].toDouble(), 13 * 39062.5 / 512, 0.01);
}

TEST_F(OsziOnSim, AFullDiskLeavesTheFileOfEverySaveKindAsItWasAndTheLongTermRowsInTheRing)
{
    ASSERT_NO_FATAL_FAILURE(StartLongTerm());
    Fetch();
    oszi_->StopAndStore();
    const int64_t rows = oszi_->LongTerm.Count();
    ASSERT_GT(rows, 0);
    const QStringList filters = {"Bitmap File (*.bmp)", "Text-File (*.dat)", "Full Form (*.bmp)",
                                 "Long Term Data-File (*.dat)"};
    const QByteArray before = "saved before\r\n";
    for (int type = 1; type <= 4; ++type) {
        SCOPED_TRACE(filters[type - 1].toStdString());
        const QString name = QString("kind%1.%2").arg(type).arg(type % 2 == 1 ? "bmp" : "dat");
        const QString path = dir_.WriteFile(name, before);
        boxes_.Clear();
        {
            const test::FullDisk full([path](const QString& written) { return written == path; });
            const test::FileDialogAnswer answer(path, filters[type - 1]);
            QTest::mouseClick(oszi_->SaveButton, Qt::LeftButton);
            EXPECT_EQ(answer.Count(), 1);
        }
        EXPECT_EQ(dir_.ReadFile(name), before);
        EXPECT_EQ(boxes_.Texts(), QStringList{"Can't save file!"});
        EXPECT_TRUE(test::HiddenFiles(dir_.Path()).isEmpty()) << "a temporary file was left";
        EXPECT_EQ(ini_->ReadInteger("osziopt", "FileType", 0), type);
    }
    EXPECT_EQ(oszi_->LongTerm.Count(), rows) << "rows that never reached the disk left the ring";

    // Room again: each kind replaces its file, the long-term rows leave the ring.
    boxes_.Clear();
    for (int type = 1; type <= 4; ++type) {
        const QString name = QString("kind%1.%2").arg(type).arg(type % 2 == 1 ? "bmp" : "dat");
        const test::FileDialogAnswer answer(dir_.Path() + name, filters[type - 1]);
        QTest::mouseClick(oszi_->SaveButton, Qt::LeftButton);
        EXPECT_NE(dir_.ReadFile(name), before) << name.toStdString();
    }
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
    EXPECT_FALSE(QImage(dir_.Path() + "kind1.bmp", "BMP").isNull());
    EXPECT_FALSE(QImage(dir_.Path() + "kind3.bmp", "BMP").isNull());
    EXPECT_EQ(dir_.ReadFile("kind4.dat").count("\r\n"), rows);
    EXPECT_EQ(oszi_->LongTerm.Count(), 0);
}

// The time base runs whole controller ticks, 1..2 x 10^9 a sample: 0 s/div is
// one tick, 3276800 s/div the most, and a negative time base is refused. The
// edit, the settings and the set-up the controller got say the same.
TEST_F(OsziOnSim, TheTimeBaseIsKeptToTheTicksTheControllerRuns)
{
    Start();
    oszi_->show();
    ASSERT_EQ(sim_->OsziSetup().PeriodTicks, 1);
    struct TCase {
        const char* Typed;
        int32_t Ticks; // 0: refused, nothing changes
    };
    for (const TCase& c : {TCase{"3276800", 2000000000}, TCase{"3276801", 2000000000}, TCase{"1e12", 2000000000},
                           TCase{"10m", 6}, TCase{"-0.001", 0}, TCase{"0", 1}, TCase{"-1m", 0}}) {
        SCOPED_TRACE(c.Typed);
        const int32_t before = sim_->OsziSetup().PeriodTicks;
        oszi_->Edit1->setText(c.Typed);
        QTest::keyClick(oszi_->Edit1, Qt::Key_Return);
        const int32_t ticks = c.Ticks != 0 ? c.Ticks : before;
        EXPECT_EQ(oszi_->Edit1->styleSheet().contains("red"), c.Ticks == 0);
        EXPECT_EQ(sim_->OsziSetup().PeriodTicks, ticks);
        const double perDivision = ticks / 39062.5 * 64.0;
        const QString shown = oszi_->Edit1->text();
        const double read = shown.endsWith('m') ? shown.chopped(1).toDouble() / 1000.0 : shown.toDouble();
        if (c.Ticks != 0) {
            // Below a second in tenths of milliseconds, else in milliseconds: each
            // finer than half a tick (1.6384 ms a division), so it reads back as these ticks.
            EXPECT_NEAR(read, perDivision, shown.endsWith('m') ? 0.05e-3 : 0.5e-3) << shown.toStdString();
            EXPECT_EQ(ini_->ReadString("Oszi2", "TimeBase", ""), shown);
        }
    }
}

TEST_F(OsziOnSim, AHeldFrameKeepsTheChannelsAndTimeBaseItWasTakenWith)
{
    Scale("ADC1", "Error", "1", true);
    ini_->WriteString("Scale", "ADC1Edit2", "0.5");
    ini_->WriteInteger("Oszi2", "Channel3", 4); // the test sine, behind Error in the list
    ini_->WriteBool("osziopt", "SaveHeader", true);
    Start();
    oszi_->show();
    Fetch();
    QTest::mouseClick(oszi_->ScanButton, Qt::LeftButton); // released: this frame is the last
    Fetch();
    ASSERT_FALSE(io_->OszTimerActive());
    const double sampleTime = OsziSampleTime;

    // Another channel on trace 3 and another time base, after the frame.
    QComboBox* box = oszi_->ComboBoxes[2];
    box->setFocus();
    for (int i = 0; i < 5 && box->currentText() != "Error"; ++i)
        QTest::keyClick(box, Qt::Key_Up);
    ASSERT_EQ(box->currentText(), "Error");
    oszi_->Edit1->setText("10m");
    QTest::keyClick(oszi_->Edit1, Qt::Key_Return);
    ASSERT_NE(OsziSampleTime, sampleTime);

    const QString path = dir_.Path() + "held.dat";
    ASSERT_TRUE(oszi_->SaveFile(2, path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 513);
    EXPECT_TRUE(lines[0].endsWith("Test sine")) << lines[0].toStdString();
    double high = 0.0;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList cells = lines[i].split(' ', Qt::SkipEmptyParts);
        ASSERT_EQ(cells.size(), 4) << lines[i].toStdString();
        EXPECT_NEAR(cells[0].toDouble(), i * sampleTime, 1e-3 * sampleTime);
        EXPECT_LT(std::abs(cells[3].toDouble()), 2100 * 0.0003); // the sine in volts, as measured
        high = std::max(high, cells[3].toDouble());
    }
    EXPECT_GT(high, 1900 * 0.0003);
}

// The rows of a saved long-term file, split into cells.
static std::vector<QStringList> LongTermRows(const QString& path, QString& header)
{
    QFile file(path);
    std::vector<QStringList> rows;
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    header = lines.isEmpty() ? QString() : lines.takeFirst();
    for (const QString& line : lines)
        rows.push_back(line.split('\t'));
    return rows;
}

TEST_F(OsziOnSim, ALongTermRecordEndsWhenItsChannelOrTimeBaseChanges)
{
    Scale("ADC1", "Error", "1", true);
    ini_->WriteString("Scale", "ADC1Edit2", "0.5");
    ini_->WriteInteger("Oszi2", "Channel3", 4); // the test sine, behind Error in the list
    ini_->WriteInteger("osziopt", "DelimiterSave", 1);
    ini_->WriteString("Osziopt", "LongTermDataPoints", "5000");
    Start();
    options_ = std::make_unique<TOszi2OptionForm>(*oszi_);
    options_->FormCreate();
    options_->show();
    QTest::mouseClick(options_->CheckBox1, Qt::LeftButton);
    ASSERT_TRUE(oszi_->LongTerm.On());
    oszi_->show();
    ASSERT_TRUE(oszi_->ScanButton->isChecked());
    auto* status = oszi_->findChild<QLabel*>("LongTermLabel");
    Fetch();
    Fetch();
    ASSERT_EQ(oszi_->LongTerm.Count(), 1024);

    // Trace 3 goes to Error mid-record: the record ends with the sine's rows.
    QComboBox* box = oszi_->ComboBoxes[2];
    box->setFocus();
    for (int i = 0; i < 5 && box->currentText() != "Error"; ++i)
        QTest::keyClick(box, Qt::Key_Up);
    ASSERT_EQ(box->currentText(), "Error");
    Fetch();
    Fetch();
    EXPECT_EQ(oszi_->LongTerm.Count(), 1024);
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isVisible());
    EXPECT_TRUE(status->text().startsWith("Long term data ended")) << status->text().toStdString();
    // Another option ticked keeps the record.
    QTest::keyClick(options_->HeaderCheckBox, Qt::Key_Space);
    ASSERT_TRUE(ini_->ReadBool("osziopt", "SaveHeader", false));
    ASSERT_EQ(oszi_->LongTerm.Count(), 1024);

    QString header;
    ASSERT_TRUE(oszi_->SaveFile(4, dir_.Path() + "sine.dat"));
    std::vector<QStringList> rows = LongTermRows(dir_.Path() + "sine.dat", header);
    EXPECT_EQ(header, "Time\tLIA X\tLIA Y\tTest sine");
    ASSERT_EQ(rows.size(), 1024u);
    double high = 0.0;
    for (const QStringList& r : rows) {
        ASSERT_EQ(r.size(), 4);
        EXPECT_LT(std::abs(r[3].toDouble()), 2100 * 0.0003); // the sine in volts, as measured
        high = std::max(high, r[3].toDouble());
    }
    EXPECT_GT(high, 1900 * 0.0003);
    EXPECT_FALSE(status->isVisible());

    // Saved, the record is over: the next frames are one of Error at its 0.5 V per digit.
    Fetch();
    Fetch();
    ASSERT_TRUE(oszi_->SaveFile(4, dir_.Path() + "error.dat"));
    rows = LongTermRows(dir_.Path() + "error.dat", header);
    EXPECT_EQ(header, "Time\tLIA X\tLIA Y\tError");
    ASSERT_EQ(rows.size(), 1024u);
    for (const QStringList& r : rows) {
        const double digits = r[3].toDouble() / 0.5;
        EXPECT_EQ(digits, std::round(digits)) << r[3].toStdString();
        EXPECT_LT(std::abs(digits), 1900) << "no sine on Error";
    }

    // A new time base ends it as well; the rows keep their one-tick spacing.
    Fetch();
    oszi_->Edit1->setText("10m");
    QTest::keyClick(oszi_->Edit1, Qt::Key_Return);
    Fetch();
    Fetch();
    EXPECT_EQ(oszi_->LongTerm.Count(), 512);
    EXPECT_TRUE(status->isVisible());
    ASSERT_TRUE(oszi_->SaveFile(4, dir_.Path() + "tick.dat"));
    rows = LongTermRows(dir_.Path() + "tick.dat", header);
    ASSERT_EQ(rows.size(), 512u);
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_NEAR(rows[i][0].toDouble() - rows[i - 1][0].toDouble(), 25.6e-6, 1.1e-6);

    // Run pressed again starts a new record at once.
    Fetch();
    EXPECT_EQ(oszi_->LongTerm.Count(), 512);
    QTest::mouseClick(oszi_->ScanButton, Qt::LeftButton);
    QTest::mouseClick(oszi_->ScanButton, Qt::LeftButton);
    EXPECT_EQ(oszi_->LongTerm.Count(), 0);
}

TEST_F(OsziOnSim, RingTooBigForMemoryIsRefusedAndItsBoxCleared)
{
    ini_->WriteBool("osziopt", "logFFT", true);
    Start();
    options_ = std::make_unique<TOszi2OptionForm>(*oszi_);
    options_->FormCreate();
    EXPECT_FALSE(oszi_->LongTerm.On());
    EXPECT_TRUE(ini_->ReadBool("osziopt", "logFFT", false)); // kept while the window is not shown
    options_->LongTermEdit->setText("100000000000");
    options_->LongTermEditEnter();
    options_->CheckBox1->setChecked(true);
    options_->CheckBox1Click();
    EXPECT_EQ(boxes_.LastText(), "Out of Memory!");
    EXPECT_FALSE(options_->CheckBox1->isChecked());
    EXPECT_FALSE(oszi_->LongTerm.On());
    EXPECT_FALSE(ini_->ReadBool("Osziopt", "LongTermEnable", true));

    options_->LongTermEdit->setText("2000");
    options_->LongTermEditEnter();
    options_->CheckBox1->setChecked(true);
    options_->CheckBox1Click();
    EXPECT_TRUE(oszi_->LongTerm.On());
    EXPECT_EQ(oszi_->LongTerm.Size(), 2000);
    options_->LongTermEdit->setText("lots");
    options_->LongTermEditEnter();
    EXPECT_TRUE(options_->LongTermEdit->styleSheet().contains("red"));
    EXPECT_EQ(ini_->ReadString("osziopt", "SaveName", ""), DefaultSaveName());
}

TEST_F(OsziOnSim, SimpleScopeShowsTheFeedbackInputAndMarksClipping)
{
    sim::SimConfig config = FastConfig();
    config.TestSine.Address = 1; // the generator on the feedback input
    Start(config);
    MicroscopeState.FeedbackChannel = 0;
    simple_ = std::make_unique<TOsziForm>(*io_);
    simple_->FormCreate();
    EXPECT_TRUE(io_->OsziTimerActive());
    simple_->ComboScale->setCurrentIndex(2); // auto 0..max
    io_->OsziTimerTimer();
    const QImage& pic = simple_->Picture();
    auto count = [&pic](QColor c, int row) {
        int n = 0;
        for (int x = 0; x < 256; ++x)
            n += pic.pixelColor(x, row) == c;
        return n;
    };
    int blueRows = 0;
    for (int y = 0; y < 256; ++y)
        blueRows += count(QColor(0, 0, 255), y) > 0;
    EXPECT_GT(blueRows, 200); // the sine spans the picture
    EXPECT_EQ(count(Qt::red, 0) + count(Qt::red, 255), 0);

    // 0.3 V full scale is 1000 digits: the 2000-digit sine is clipped on both edges.
    simple_->ComboScale->setCurrentIndex(0);
    simple_->ScaleNumber->setText("0.3");
    simple_->ScaleNumberExit();
    io_->OsziTimerTimer();
    EXPECT_NEAR(simple_->LastScale().M, 1000.0, 1e-3); // the factor is single precision
    EXPECT_GT(count(Qt::red, 0), 0);
    EXPECT_GT(count(Qt::red, 255), 0);
    simple_->FormDestroy();
    EXPECT_FALSE(io_->OsziTimerActive());
    EXPECT_EQ(ini_->ReadString("Oszi", "ScaleNumber", ""), "0.3");
}

} // namespace
} // namespace qvt

namespace qvt {
namespace {

TEST_F(OsziOnSim, ScaleRadiosStayUnderThePointerWhenTheZoomBarComes)
{
    Start();
    oszi_->show();
    QApplication::processEvents();
    std::array<QRect, 12> before{};
    for (size_t i = 0; i < before.size(); ++i)
        before[i] = oszi_->ScaleRadios[i]->geometry();
    const QSize size = oszi_->size();
    // "0..fixed" of the second trace, clicked as the operator does: its zoom bar appears.
    QTest::mouseClick(oszi_->ScaleRadios[5], Qt::LeftButton);
    QApplication::processEvents();
    ASSERT_TRUE(oszi_->ZoomBars[1]->isVisible());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(oszi_->ScaleRadios[i]->geometry(), before[i]) << oszi_->ScaleRadios[i]->objectName().toStdString();
    EXPECT_EQ(oszi_->size(), size);
    // The next click meant for "0..auto" of the same trace lands there.
    QTest::mouseClick(oszi_->ScaleRadios[6], Qt::LeftButton);
    EXPECT_TRUE(oszi_->ScaleRadios[6]->isChecked());
    QApplication::processEvents();
    EXPECT_FALSE(oszi_->ZoomBars[1]->isVisible());
}

} // namespace
} // namespace qvt
