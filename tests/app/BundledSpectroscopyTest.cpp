// The spectroscopy window as an operator meets it: the program started on
// the bundled settings, the window opened from the main window's button, a
// force curve measured on the simulated microscope.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "lockin/LockInOptionForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace qvt;

namespace {

// Where each control the operator sees and can use sits in its window.
using TPlaces = std::map<const QWidget*, QRect>;

TPlaces PlacesOf(QWidget* window)
{
    QCoreApplication::processEvents(); // the layouts settle
    TPlaces places;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->window() == window && w->isVisibleTo(window) && w->isEnabled())
            places[w] = QRect(w->mapTo(window, QPoint(0, 0)), w->size());
    }
    return places;
}

// Every control seen in both states is where it was.
void ExpectSamePlaces(const TPlaces& before, const TPlaces& after, const QString& state)
{
    for (const auto& [w, place] : after) {
        const auto was = before.find(w);
        if (was != before.end())
            EXPECT_EQ(place, was->second)
                << state.toStdString() << ": " << w->metaObject()->className() << " " << w->objectName().toStdString();
    }
}

// A choice in a list made with the arrow keys, as the operator makes it.
void Pick(QComboBox* box, const QString& text)
{
    const int index = box->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    while (box->currentIndex() < index)
        QTest::keyClick(box, Qt::Key_Down);
    while (box->currentIndex() > index)
        QTest::keyClick(box, Qt::Key_Up);
}

// A click on a check box's square, where the operator ticks it.
void Tick(QCheckBox* box)
{
    const bool was = box->isChecked();
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->height() / 2, box->height() / 2));
    ASSERT_NE(box->isChecked(), was) << box->text().toStdString();
}

void OpenOptionsTab(const QString& text)
{
    QTabBar* bar = SpektOptionForm->Tabs->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        if (bar->tabText(i) == text && bar->isTabVisible(i))
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
    }
    ASSERT_EQ(SpektOptionForm->Tabs->tabText(SpektOptionForm->Tabs->currentIndex()), text);
}

// The bundled program on a fast clock, the tip approached with the parameter
// window's Down button.
void StartApproached(test::BundledProgram& program)
{
    ASSERT_TRUE(program.Copied);
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteString("Clock", "Mode", "Fast");
    }
    ASSERT_TRUE(program.Start());
    ScanParaForm->DownButton()->click();
    ASSERT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
    ASSERT_EQ(MicroscopeState.ZState.load(), ZApproached);
}

void OpenSpectroscopyAndOptions()
{
    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    button->click();
    ASSERT_TRUE(SpektForm->isVisible());
    QTest::mouseClick(SpektForm->SpeedButton4, Qt::LeftButton);
    ASSERT_NE(SpektOptionForm, nullptr);
    ASSERT_TRUE(SpektOptionForm->isVisible());
}

} // namespace

TEST(BundledSpectroscopy, TheButtonOpensTheWindowAndAForceCurveIsPlotted)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SpektForm, nullptr);
    EXPECT_FALSE(SpektForm->isVisible());

    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    EXPECT_TRUE(SpektForm->isVisible());
    EXPECT_EQ(SpektForm->windowTitle(), "Spectroscopy");

    // Force against distance: out 3 nm and back, recording the feedback input.
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->ChannelBoxes[0]->setCurrentIndex(1);
    SpektForm->ComboBox2Change(0);
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit5->Apply("0");
    SpektForm->Edit6->Apply("3");
    SpektForm->ScanButton->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    const auto& deflection = SpektForm->SpektData.Col[3];
    const int n = SpektForm->Points();
    const auto [low, high] = std::minmax_element(deflection.begin(), deflection.begin() + n);
    EXPECT_LT(*low, *high);

    // The fitted slope taken as the sensitivity by a click on the fit label:
    // the lock-in options show it, whatever the feedback mode.
    ASSERT_NE(LockInOptionForm, nullptr);
    TNumericEdit* scaleY = LockInOptionForm->Edit("Edit1");
    ASSERT_NE(scaleY, nullptr);
    EXPECT_EQ(scaleY->text(), "0");
    SpektForm->FitButton->click();
    ASSERT_TRUE(SpektForm->Fit().Valid);
    boxes.Clear();
    QTest::mouseClick(SpektForm->Label21, Qt::LeftButton);
    EXPECT_EQ(scaleY->text(), QString::number(SpektForm->Fit().Slope, 'g', 4));

    const QImage shot = SpektForm->grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledSpectroscopy.png"));

    button->click();
    EXPECT_FALSE(SpektForm->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().size() <= 1) << boxes.LastText().toStdString();
}

// Channel 3 turned from Error to the Z sensor while "continue acquire" runs:
// the run ends there, and the column saved under "Error" holds what the
// Error input read (the same as channel 1, which reads it too), not the Z
// sensor's readings in Error's scale.
TEST(BundledSpectroscopy, AChannelChangedDuringContinueAcquireEndsTheRunAndKeepsItsColumnsTrue)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SpektForm, nullptr);
    qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"))->click();
    ASSERT_TRUE(SpektForm->isVisible());
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit5->Apply("0");
    SpektForm->Edit6->Apply("3");

    // Options: three channels, files with a header under a name of the test's.
    SpektForm->SpeedButton4->click();
    ASSERT_NE(SpektOptionForm, nullptr);
    SpektOptionForm->ChannelButtons[2]->click();
    if (!SpektOptionForm->CheckBoxSaveHeader->isChecked())
        SpektOptionForm->CheckBoxSaveHeader->click();
    if (SpektOptionForm->CheckBoxNumbered->isChecked())
        SpektOptionForm->CheckBoxNumbered->click();
    const QString base = program.Dir.Path() + "midrun";
    QTest::keyClick(SpektOptionForm->EditFileName, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(SpektOptionForm->EditFileName, base);
    const auto pick = [](QComboBox* box, const QString& text) {
        ASSERT_GE(box->findText(text), 0) << text.toStdString();
        while (box->currentIndex() < box->findText(text))
            QTest::keyClick(box, Qt::Key_Down);
        while (box->currentIndex() > box->findText(text))
            QTest::keyClick(box, Qt::Key_Up);
    };
    pick(SpektForm->ChannelBoxes[0], "Error");
    pick(SpektForm->ChannelBoxes[1], "Signal 2");
    pick(SpektForm->ChannelBoxes[2], "Error");

    int curves = 0;
    QObject::connect(SpektForm, &TSpektForm::curveDone, [&curves](int) { ++curves; });
    QTest::mouseClick(SpektForm->RepeatButton, Qt::LeftButton);
    QTest::mouseClick(SpektForm->ScanButton, Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil([&] { return curves >= 2; }));
    pick(SpektForm->ChannelBoxes[2], "Z sensor");
    EXPECT_FALSE(SpektForm->Measuring());
    EXPECT_EQ(SpektForm->StatusBar->text(), "Run ended: channel 3 changed; the curves measured so far are kept");
    // Given the time a run that went on would take for a few more curves.
    QTest::qWait(200);
    EXPECT_FALSE(SpektForm->Measuring());

    QTest::mouseClick(SpektForm->SaveButton, Qt::LeftButton);
    QFile file(base + ".txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), SpektForm->Measured().Points + 1);
    EXPECT_EQ(lines[0], "Error\tSignal 2\tError");
    int differing = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList row = lines[i].split('\t');
        ASSERT_EQ(row.size(), 3);
        differing += row[0] != row[2];
    }
    EXPECT_EQ(differing, 0);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// An X(z) curve with the loop off, typed as an operator would on the
// approached tip: dz1 toward the sample is limited at its edit to the press
// the settings allow, and the curve at that limit leaves the tip whole.
TEST(BundledSpectroscopy, ARampTowardTheSampleIsLimitedAtItsEditToWhatTheTipBears)
{
    test::BundledProgram program;
    ScriptedMessageResponder boxes;
    ASSERT_NO_FATAL_FAILURE(StartApproached(program));
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    ASSERT_EQ(sim->CrashCount(), 0);

    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    button->click();
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit6->Apply("3");
    const auto type = [](TNumericEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    };
    const double limit = -MainIni->ReadFloat("Spekt", "ZPressMax", 0.0);
    ASSERT_LT(limit, 0.0); // the bundled settings name the press the tip bears
    const QString edge = QString::number(limit, 'g', 5);
    // The limit itself is kept as typed; one step beyond it and far beyond are limited.
    for (const QString& typed : {edge, QString::number(limit - 0.01, 'g', 6), QString("-316.6")}) {
        SCOPED_TRACE(typed.toStdString());
        type(SpektForm->Edit5, typed);
        EXPECT_EQ(SpektForm->Edit5->text(), edge);
        EXPECT_EQ(UserIni->ReadString("X(z)", "Edit5", "none"), edge);
        EXPECT_NEAR(SpektForm->Dz1, limit, 1e-4); // a whole Z digit
    }
    boxes.Clear();
    SpektForm->ScanButton->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    EXPECT_EQ(sim->CrashCount(), 0);
    // What the curve played reached the limit.
    const auto& dz = SpektForm->SpektData.Col[1];
    EXPECT_NEAR(*std::min_element(dz.begin(), dz.begin() + SpektForm->Points()), limit, 0.01);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    MicroscopeState.ZState = ZCoarseRetracted;
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

// The spectroscopy window is of fixed size: whatever kind, channel count or
// saving option the operator chooses, the controls they see stay where their
// hand expects them, and so do the options window's.
TEST(BundledSpectroscopy, ControlsKeepTheirPlaceThroughEveryKindChannelCountAndOption)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    OpenSpectroscopyAndOptions();
    Pick(SpektForm->ComboBox1, SpektForm->ComboBox1->itemText(0));
    const QSize size = SpektForm->size();
    const TPlaces spekt = PlacesOf(SpektForm);

    // The ramp's caption grows to "Please Load Ramp!" (no ramp file here).
    OpenOptionsTab("Cycle");
    const TPlaces cycle = PlacesOf(SpektOptionForm);
    QTest::mouseClick(SpektOptionForm->RadioButton14, Qt::LeftButton);
    EXPECT_EQ(SpektOptionForm->RadioButton14->text(), "Please Load Ramp!");
    ExpectSamePlaces(cycle, PlacesOf(SpektOptionForm), "Load Ramp");
    QTest::mouseClick(SpektOptionForm->RadioButton12, Qt::LeftButton);

    OpenOptionsTab("Acquire");
    const TPlaces acquire = PlacesOf(SpektOptionForm);
    for (int kind = 0; kind < SpektForm->ComboBox1->count(); ++kind) {
        Pick(SpektForm->ComboBox1, SpektForm->ComboBox1->itemText(kind));
        ASSERT_EQ(SpektModeName, SpektForm->ComboBox1->itemText(kind));
        // z-noise has no cycle to set: its "Cycle" tab is hidden, the one
        // place where the tabs right of it move; the pages' controls stay.
        const bool zNoise = SpektModeName == "X(t) z-noise";
        QTabBar* tabs = SpektOptionForm->Tabs->tabBar();
        EXPECT_EQ(tabs->isTabVisible(1), !zNoise);
        EXPECT_EQ(tabs->tabText(1), "Cycle");
        for (int channels = 1; channels <= 4; ++channels) {
            QTest::mouseClick(SpektOptionForm->ChannelButtons[static_cast<size_t>(channels - 1)], Qt::LeftButton);
            const QString state = SpektModeName + ", " + QString::number(channels) + " channel(s)";
            ExpectSamePlaces(spekt, PlacesOf(SpektForm), state);
            EXPECT_EQ(SpektForm->size(), size) << state.toStdString();
            TPlaces options = PlacesOf(SpektOptionForm);
            if (zNoise)
                options.erase(tabs);
            ExpectSamePlaces(acquire, options, state);
        }
    }

    // Comments on and off, numbered saving on and off.
    OpenOptionsTab("Save");
    const TPlaces save = PlacesOf(SpektOptionForm);
    for (QCheckBox* box : {SpektOptionForm->CheckBoxComment, SpektOptionForm->CheckBoxNumbered}) {
        for (int click = 0; click < 2; ++click) {
            Tick(box);
            const QString state = box->text() + (box->isChecked() ? " on" : " off");
            ExpectSamePlaces(spekt, PlacesOf(SpektForm), state);
            EXPECT_EQ(SpektForm->size(), size) << state.toStdString();
            ExpectSamePlaces(save, PlacesOf(SpektOptionForm), state);
        }
    }

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// z-noise against frequency on the approached tip: the bin at 0 Hz holds the
// mean of the error input, three orders above the vibration's line at 200 Hz.
// With or without the lead-in shown, the plot is scaled on the spectrum, so
// the line stands in its upper part and the mean is left above it.
TEST(BundledSpectroscopy, AZNoiseSpectrumIsScaledWithoutItsMeanWhateverTheLeadInOption)
{
    test::BundledProgram program;
    ScriptedMessageResponder boxes;
    ASSERT_NO_FATAL_FAILURE(StartApproached(program));

    OpenSpectroscopyAndOptions();
    Pick(SpektForm->ComboBox1, "X(t) z-noise");
    ASSERT_EQ(SpektModeName, "X(t) z-noise");
    Pick(SpektForm->ChannelBoxes[0], "Error");
    SpektForm->Edit4->selectAll();
    QTest::keyClicks(SpektForm->Edit4, "100");
    QTest::keyClick(SpektForm->Edit4, Qt::Key_Return);
    OpenOptionsTab("Acquire");
    Pick(SpektOptionForm->ComboBoxDataPoints, "256");
    QTest::mouseClick(SpektOptionForm->ChannelButtons[0], Qt::LeftButton);
    OpenOptionsTab("View");
    Pick(SpektOptionForm->ComboBox1, "Frequency");

    const int n = 256;
    const double binHz = 1.0 / (n * 102.4e-6);
    for (const bool lead : {true, false}) {
        SCOPED_TRACE(lead ? "lead in and out shown" : "lead in and out hidden");
        if (SpektOptionForm->CheckBox2->isChecked() != lead)
            Tick(SpektOptionForm->CheckBox2);
        ASSERT_EQ(UserIni->ReadBool("X(t) z-noise", "ShowLeadInOut", true), lead);
        QTest::mouseClick(SpektForm->ScanButton, Qt::LeftButton);
        ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
        QCoreApplication::processEvents();
        ASSERT_EQ(SpektForm->Points(), n);
        const auto& spectrum = SpektForm->SpektData.Col[3];
        const auto& frequency = SpektForm->SpektData.Col[7];
        int meanRows = 1;
        while (meanRows < n && spectrum[static_cast<size_t>(meanRows)] == spectrum[0])
            ++meanRows;
        const auto line = std::max_element(spectrum.begin() + meanRows, spectrum.begin() + n);
        EXPECT_NEAR(frequency[static_cast<size_t>(std::distance(spectrum.begin(), line))], 200.0, 1.5 * binHz);
        ASSERT_GT(spectrum[0], 10.0 * *line);
        const auto& axis = SpektForm->Image1->YAxis;
        EXPECT_GE(axis.Max, *line);
        EXPECT_LT(axis.Max, spectrum[0]);
        EXPECT_GT(*line, axis.Min + 2.0 / 3.0 * (axis.Max - axis.Min));
    }

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    MicroscopeState.ZState = ZCoarseRetracted;
}
