// The three-trace oscilloscope as an operator meets it: the program started
// on the bundled settings, the window opened from the main window's button,
// the box's test sine on the third trace and as one line in the spectrum.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "lockin/Oszi2Form.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace qvt;

TEST(BundledOscilloscope, TheButtonShowsTheTestSineAndItsLine)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(Oszi2Form, nullptr);
    EXPECT_FALSE(Oszi2Form->isVisible());

    auto* button = MainQVTForm->Button("Oszi2Button");
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_TRUE(Oszi2Form->isVisible());
    EXPECT_EQ(Oszi2Form->ComboBoxes[2]->currentText(), "Test sine");
    EXPECT_EQ(Oszi2Form->Edit1->text(), "1.6m");
    ASSERT_TRUE(test::PumpUntil([] { return Oszi2Form->TraceState(2).Stats.Max > 1500; }));
    EXPECT_LT(Oszi2Form->TraceState(2).Stats.Min, -1500);
    QDir().mkpath("temp");
    EXPECT_TRUE(Oszi2Form->grab().toImage().save("temp/BundledOscilloscope.png"));

    Oszi2Form->SetView(TOsziView::Freq);
    ASSERT_TRUE(test::PumpUntil([] { return Oszi2Form->ShownFrame()[3].Samples[26] > 1000; }));
    int peak = 0;
    for (int i = 0; i < OsziBufferSamples; ++i)
        if (Oszi2Form->ShownFrame()[3].Samples[i] > Oszi2Form->ShownFrame()[3].Samples[peak])
            peak = i;
    EXPECT_EQ(peak / 2, 13); // 1 kHz in bins of 76.3 Hz
    EXPECT_TRUE(Oszi2Form->grab().toImage().save("temp/BundledOscilloscopeFreq.png"));

    button->click();
    EXPECT_FALSE(Oszi2Form->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.LastText().toStdString();
}

TEST(BundledOscilloscope, TheLineViewDrawsTheScanLineOnTheSimulator)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    MainQVTForm->Button("Oszi2Button")->click();
    ASSERT_TRUE(Oszi2Form->isVisible());
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return ScanParams.CurrentLine.load() > 2; }));
    Oszi2Form->RadioButton17->click(); // "Line"
    ASSERT_TRUE(Oszi2Form->RadioButton17->isChecked()); // a scan runs: the view stays
    // Buffer 0 holds the pixel positions along the line: inside 1..L, rising
    // in the forward pass and falling in the backward one.
    const int pixels = ScanParams.Pixels.load();
    bool rising = false;
    bool falling = false;
    ASSERT_TRUE(test::PumpUntil([&] {
        const TOsziBuffer& positions = Oszi2Form->ShownFrame()[0];
        for (int i = 1; i < positions.Count; ++i) {
            const int32_t a = positions.Samples[i - 1];
            const int32_t b = positions.Samples[i];
            if (a < 1 || b < 1 || a > pixels || b > pixels)
                continue;
            rising = rising || b > a;
            falling = falling || b < a;
        }
        return rising && falling;
    }));
    // And the traces are drawn over the line: some pixels of the picture are
    // not the grid's, once the oscilloscope's next redraw has come.
    const auto coloured = [] {
        const QImage picture = Oszi2Form->Picture().convertToFormat(QImage::Format_RGB32);
        int count = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb c = picture.pixel(x, y);
                count += qRed(c) != qGreen(c) || qGreen(c) != qBlue(c);
            }
        return count;
    };
    EXPECT_TRUE(test::PumpUntil([&] { return coloured() > 50; })) << coloured();
    QDir().mkpath("temp");
    EXPECT_TRUE(Oszi2Form->grab().toImage().save("temp/BundledOscilloscopeLine.png"));
    MainQVTForm->ScanButton()->click();
    EXPECT_TRUE(test::PumpUntil([] { return DeviceWorkers->GoXYThread().Suspended(); }));
    MainQVTForm->Button("Oszi2Button")->click();
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
