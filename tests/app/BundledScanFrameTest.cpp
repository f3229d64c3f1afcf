// What File › Save keeps of a scan, as an operator meets it on the bundled
// settings: only a frame measured whole with one set of settings is saved,
// with those settings in its parameter file; anything else is refused with
// a box and writes nothing. The move-by-move scan and the fast scan alike.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/LocalCommandServer.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastScanThread.h"
#include "scan/GoXYThread.h"
#include "scan/LevelPage.h"
#include "scan/Levelling.h"
#include "scan/ScanParaForm.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QToolButton>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace qvt;

namespace {

class BundledScanFrame : public ::testing::Test {
protected:
    // The program on the bundled settings, saves going to scans/. `fast`: the
    // simulated controller is a type-29 box on a fast clock, the topography
    // streamed.
    void Start(bool fast = false)
    {
        ASSERT_TRUE(program_.Copied);
        saveDir_ = program_.Dir.Path() + "scans";
        ASSERT_TRUE(QDir().mkpath(saveDir_));
        {
            TQVTIniFile main(program_.Dir.Path() + "ini/qvt.ini");
            main.WriteString("Save", "Path", saveDir_);
            main.WriteBool("Save", "AutoSaveScan", false);
            TQVTIniFile sim(program_.Dir.Path() + "ini/sim.ini");
            sim.WriteString("Surface", "StepHeight", "0");
            sim.WriteString("Surface", "GratingHeight", "0");
            sim.WriteString("Surface", "TiltX", "0.2");
            sim.WriteString("Surface", "TiltY", "0.1");
            if (fast) {
                sim.WriteInteger("Controller", "Type", 29);
                sim.WriteString("Clock", "Mode", "Fast");
                main.WriteBool("Scale", "DAC1CheckBoxFast", true);
            }
        }
        ASSERT_TRUE(program_.Create());
        MainQVTForm->show();
        StartUp();
        QCoreApplication::processEvents();
        connect_ = QObject::connect(&DeviceWorkers->GoXYThread(), &TGoXYThread::frameDone, [this] { ++frames_; });
        fastConnect_ =
            QObject::connect(&DeviceWorkers->FastScanThread(), &TFastScanThread::frameDone, [this] { ++frames_; });
        boxes_.Clear();
    }
    void TearDown() override
    {
        QObject::disconnect(connect_);
        QObject::disconnect(fastConnect_);
        if (MainQVTForm != nullptr) {
            EXPECT_TRUE(MainQVTForm->close());
            DestroyAllForms();
        }
    }

    void FileSave() { MainQVTForm->MenuItem("FileSaveItem")->trigger(); }
    QStringList Sets() const { return QDir(saveDir_).entryList({"*.txt"}, QDir::Files, QDir::Name); }
    QStringList Written() const { return QDir(saveDir_).entryList(QDir::Files | QDir::Hidden); }
    bool Parked() const
    {
        return test::PumpUntil([] { return DeviceWorkers->GoXYThread().Suspended() && !MainQVTForm->ScanButtonDown(); },
                               120000);
    }
    bool FastParked() const
    {
        return test::PumpUntil([] { return DeviceWorkers->FastScanThread().Suspended(); }, 120000);
    }

    // "label : value" of a parameter file.
    static double Header(const QByteArray& text, const QString& label)
    {
        const QRegularExpression line("^" + QRegularExpression::escape(label) + "\\s*:\\s*(\\S+)",
                                      QRegularExpression::MultilineOption);
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(text));
        return m.hasMatch() ? m.captured(1).toDouble() : std::nan("");
    }
    QByteArray Read(const QString& name) const
    {
        QFile file(saveDir_ + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The set `base` holds a frame of `pixels` rows measured on the sample
    // (a plane, tilted along both axes): a raw topography of that size whose
    // every row holds readings, the row means climbing by one even step. Rows
    // of another frame (another range, centre or pixel count) break the
    // steps (the loop's lag, which a busy machine lengthens on the simulator's
    // real-time clock, leaves each step within the typical one's size of it).
    // Returns the step per nm of range and row, which the range the
    // file tells must explain, or NaN.
    double MeasuredFrame(const QString& base, int pixels, double range)
    {
        const QByteArray bytes = Read(base + "TopographyFwd.int");
        EXPECT_EQ(bytes.size(), 4 * pixels * pixels) << base.toStdString();
        if (bytes.size() != 4 * pixels * pixels)
            return std::nan("");
        std::vector<double> means;
        for (int r = 0; r < pixels; ++r) {
            int zeros = 0;
            double sum = 0.0;
            for (int c = 0; c < pixels; ++c) {
                const int32_t v = qFromLittleEndian<int32_t>(bytes.constData() + 4 * (pixels * r + c));
                zeros += v == 0;
                sum += v;
            }
            EXPECT_LT(zeros, pixels / 2) << base.toStdString() << " row " << r;
            means.push_back(sum / pixels);
        }
        std::vector<double> steps;
        for (int r = 1; r < pixels; ++r)
            steps.push_back(means[r] - means[r - 1]);
        std::vector<double> sorted = steps;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double typical = sorted[sorted.size() / 2];
        EXPECT_GT(std::fabs(typical), 5.0) << base.toStdString();
        // The loop may still settle over the first lines after the long move
        // to the frame's start; every later step is even.
        for (size_t r = 3; r < steps.size(); ++r)
            EXPECT_NEAR(steps[r], typical, 0.7 * std::fabs(typical) + 3.0)
                << base.toStdString() << " between rows " << r << " and " << r + 1;
        return typical * pixels / range;
    }

    test::BundledProgram program_;
    ScriptedMessageResponder boxes_;
    QString saveDir_;
    int frames_ = 0;
    QMetaObject::Connection connect_;
    QMetaObject::Connection fastConnect_;
};

bool Refused(const QStringList& texts)
{
    return texts.size() == 1 && texts[0].startsWith("The frame is not complete");
}

} // namespace

TEST_F(BundledScanFrame, SaveBeforeAnyScanSaysThereIsNoFrameAndWritesNothing)
{
    Start();
    FileSave();
    EXPECT_EQ(boxes_.Texts(), QStringList{"No scan frame to save!\rScan a frame first."});
    EXPECT_TRUE(Written().isEmpty()) << Written().join(' ').toStdString();
}

// Each setting that shapes the frame, changed while the scan runs: the frame
// under way ends unsaved; the next frame is measured whole with the new value
// and saved with it.
TEST_F(BundledScanFrame, ASettingChangedDuringAScanEndsTheFrameAndTheNextWholeOneIsSavedWithIt)
{
    Start();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "32"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    struct TChange {
        const char* Edit;
        const char* Value;
        const char* Label; // in the parameter file
        double Expected;
    };
    const TChange changes[] =
        {
            {"ComboBox1", "16", "xPixel", 16.0}, {"Edit3", "700", "XScanRange", 700.0},
            {"Edit7", "50", "yCenter", 50.0},    {"Edit9", "10", "Angle", 10.0},
            {"Edit4", "10", "Speed", 20.0}, // the file shows twice the lines per second
        };
    double firstSlope = std::nan("");
    for (const TChange& change : changes) {
        SCOPED_TRACE(change.Edit);
        const QStringList before = Sets();
        frames_ = 0;
        MainQVTForm->RepeatButton()->setChecked(true);
        MainQVTForm->ScanButton()->click();
        const int pixels = ScanParams.Pixels.load();
        ASSERT_TRUE(test::PumpUntil([&] { return frames_ == 0 && ScanParams.CurrentLine.load() > pixels / 3; }));
        ASSERT_TRUE(ScanParaForm->EnterText(change.Edit, change.Value));

        // Mid-frame: the rows so far were measured with the old value, the
        // rest will be with the new one. No frame to save.
        FileSave();
        EXPECT_TRUE(Refused(boxes_.Texts())) << boxes_.Texts().join(" / ").toStdString();
        EXPECT_EQ(Sets(), before);
        boxes_.Clear();

        // The frame under way ends; the one after it is measured whole, and
        // the scan stops there.
        ASSERT_TRUE(test::PumpUntil([&] { return frames_ >= 1; }, 120000));
        MainQVTForm->RepeatButton()->setChecked(false);
        ASSERT_TRUE(Parked());
        ASSERT_GE(frames_, 2);
        FileSave();
        EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
        const QStringList after = Sets();
        ASSERT_EQ(after.size(), before.size() + 1);
        const QString base = after.back().chopped(4);
        const QByteArray header = Read(after.back());
        EXPECT_NEAR(Header(header, change.Label), change.Expected, 1e-3) << header.toStdString();
        EXPECT_EQ(Header(header, "xPixel"), static_cast<double>(ScanParams.Pixels.load()));
        EXPECT_NEAR(Header(header, "XScanRange"), ScanParams.Range.load(), 1e-3);
        const double slope = MeasuredFrame(base, ScanParams.Pixels.load(), Header(header, "XScanRange"));
        if (std::isnan(firstSlope))
            firstSlope = slope;
        EXPECT_NEAR(slope / firstSlope, 1.0, 0.2) << "the range in the file is not the one measured";
        boxes_.Clear();
    }
}

// The fixed level's two slopes, typed on the level page, are both in the
// saved frame's file, each on its own line.
TEST_F(BundledScanFrame, TheSavedFileStatesEachFixedLevelSlopeOnItsOwnLine)
{
    Start();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "16"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    TLevelPage& level = *ScanParaForm->Level();
    level.LevelRadioGroup1Click(LevelFixed);
    level.LabelDblClick(18);
    level.Edit12->setText("1");
    level.Edit12KeyPress(true);
    level.Label22Click();
    level.LabelDblClick(22);
    level.Edit12->setText("-2");
    level.Edit12KeyPress(true);
    const double dx = ScanParams.LevelDxDz.load();
    const double dy = ScanParams.LevelDyDz.load();
    ASSERT_NE(dx, 0.0);
    ASSERT_NE(dy, 0.0);
    ASSERT_NE(dx, dy);

    frames_ = 0;
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&] { return frames_ >= 1; }, 120000));
    ASSERT_TRUE(Parked());
    FileSave();
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join(" / ").toStdString();
    ASSERT_EQ(Sets().size(), 1);
    const QString header = QString::fromLatin1(Read(Sets().back()));
    const auto slope = [&header](const char* label, const char* text) {
        const QRegularExpressionMatch m =
            QRegularExpression(QString("^%1\\s*:\\s*%2=(\\S+)").arg(label, QRegularExpression::escape(text)),
                               QRegularExpression::MultilineOption)
                .match(header);
        return m.hasMatch() ? m.captured(1).toDouble() : std::nan("");
    };
    EXPECT_NEAR(slope("dzdx", "dz/dx"), dx, 1e-6 * std::fabs(dx) + 1e-6) << header.toStdString();
    EXPECT_NEAR(slope("dzdy", "dz/dy"), dy, 1e-6 * std::fabs(dy) + 1e-6) << header.toStdString();
}

// The reported case: 128 pixels, 64 entered part-way, then File › Save.
TEST_F(BundledScanFrame, APixelCountEnteredPartWayLeavesNoFrameToSave)
{
    Start();
    ASSERT_EQ(ScanParams.Pixels.load(), 128);
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "40"));
    MainQVTForm->RepeatButton()->setChecked(false);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return ScanParams.CurrentLine.load() > 24; }));
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    FileSave();
    EXPECT_TRUE(Refused(boxes_.Texts())) << boxes_.Texts().join(" / ").toStdString();
    boxes_.Clear();
    // Run to the frame's end: its first rows were never measured at 64.
    ASSERT_TRUE(Parked());
    FileSave();
    EXPECT_TRUE(Refused(boxes_.Texts())) << boxes_.Texts().join(" / ").toStdString();
    EXPECT_TRUE(Written().isEmpty()) << Written().join(' ').toStdString();
}

// SCAN:0 from the command server mid-frame leaves rows of the frame before:
// File › Save refuses instead of mixing two frames.
TEST_F(BundledScanFrame, AScanStoppedByTheCommandServerMidFrameIsNoFrame)
{
    Start();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "32"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    // Well inside the second frame, whichever way it runs.
    ASSERT_TRUE(test::PumpUntil(
        [&] { return frames_ >= 1 && ScanParams.CurrentLine.load() > 10 && ScanParams.CurrentLine.load() < 22; },
        120000));

    QLocalSocket client;
    client.connectToServer(CommandServerSocketPath(DeviceDriverName));
    ASSERT_TRUE(test::PumpUntil([&] { return client.state() == QLocalSocket::ConnectedState; }));
    client.write("EXECUTE DdeItem SCAN:0\n");
    client.flush();
    QString reply;
    ASSERT_TRUE(test::PumpUntil([&] {
        if (client.canReadLine())
            reply = QString::fromUtf8(client.readLine()).trimmed();
        return !reply.isEmpty();
    }));
    EXPECT_EQ(reply, "OK");
    ASSERT_TRUE(Parked());
    const int line = ScanParams.CurrentLine.load();
    ASSERT_GT(line, 1);
    ASSERT_LT(line, 32);

    FileSave();
    EXPECT_TRUE(Refused(boxes_.Texts())) << boxes_.Texts().join(" / ").toStdString();
    EXPECT_TRUE(Written().isEmpty()) << Written().join(' ').toStdString();
}

// The fast scan's frames, with each setting changed while the stream runs:
// every set the Save button keeps is one frame measured whole with one set of
// settings, and its parameter file tells them; File › Save after the stop
// saves such a frame or refuses.
TEST_F(BundledScanFrame, TheFastScanSavesOnlyFramesMeasuredWholeWithTheSettingsTheyTell)
{
    Start(true);
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    MainQVTForm->SaveButtonMouseUp(true); // shift: the automatic save
    ASSERT_TRUE(MainQVTForm->SaveButtonDown());
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&] { return frames_ >= 2; }, 120000));

    const char* const edits[] = {"Edit3", "Edit7", "Edit9", "Edit4"};
    const char* const values[] = {"700", "40", "5", "10"};
    for (int k = 0; k < 4; ++k) {
        const int now = frames_;
        ASSERT_TRUE(ScanParaForm->EnterText(edits[k], values[k]));
        ASSERT_TRUE(test::PumpUntil([&] { return frames_ >= now + 3; }, 120000));
    }
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(FastParked());
    QCoreApplication::processEvents();
    MainQVTForm->SaveButtonMouseUp(true);
    ASSERT_FALSE(MainQVTForm->SaveButtonDown());

    // Every set: one of the five settings in force, a whole frame of data.
    const QStringList sets = Sets();
    ASSERT_GE(sets.size(), 4);
    std::map<double, int> ranges;
    double firstSlope = std::nan("");
    for (const QString& set : sets) {
        SCOPED_TRACE(set.toStdString());
        const QByteArray header = Read(set);
        const double range = Header(header, "XScanRange");
        ++ranges[range];
        EXPECT_TRUE(range == 1000.0 || range == 700.0) << header.toStdString();
        EXPECT_EQ(Header(header, "xPixel"), 64.0);
        const double slope = MeasuredFrame(set.chopped(4), 64, range);
        if (std::isnan(firstSlope))
            firstSlope = slope;
        EXPECT_NEAR(slope / firstSlope, 1.0, 0.2) << "the range in the file is not the one measured";
    }
    EXPECT_GE(ranges[700.0], 3);
    const QByteArray last = Read(sets.back());
    EXPECT_NEAR(Header(last, "Speed"), 20.0, 1e-3) << last.toStdString();
    EXPECT_NEAR(Header(last, "yCenter"), 40.0, 1e-3) << last.toStdString();
    EXPECT_NEAR(Header(last, "Angle"), 5.0, 1e-3) << last.toStdString();

    // File › Save after the stop: the frame last measured whole, or a refusal.
    boxes_.Clear();
    const int count = static_cast<int>(sets.size());
    FileSave();
    if (boxes_.Texts().isEmpty()) {
        ASSERT_EQ(Sets().size(), count + 1);
        const QByteArray header = Read(Sets().back());
        EXPECT_EQ(Header(header, "XScanRange"), 700.0);
        EXPECT_NEAR(MeasuredFrame(Sets().back().chopped(4), 64, 700.0) / firstSlope, 1.0, 0.2);
    } else {
        EXPECT_TRUE(Refused(boxes_.Texts())) << boxes_.Texts().join(" / ").toStdString();
        EXPECT_EQ(Sets().size(), count);
    }
    MainQVTForm->FastSpeedButton()->click();
}
