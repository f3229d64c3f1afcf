#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "lockin/DncForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

namespace qvt {
namespace {

// The first resonance sweep an operator makes with the bundled settings: the
// simulated cantilever's peak at 21 kHz, the phase through 90° there, and a
// click on the peak hands the operating frequency to the controller.
TEST(BundledResonance, TheBundledSettingsSweepTheSimulatedCantilever)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    // The simulator's clock runs as fast as it can; everything else is as shipped.
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    ASSERT_NE(dncForm, nullptr);
    TdncForm& dnc = *dncForm;
    dnc.show();
    dnc.SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc.Acquiring() && !dnc.ScanButtonDown(); }, 120000));

    EXPECT_EQ(dnc.SweepStart, 18000.0);
    EXPECT_EQ(dnc.SweepStop, 24000.0);
    // Nine points across the 105 Hz peak: the Q shown is a measured one.
    EXPECT_TRUE(dnc.StatusText(0).startsWith("Q: ")) << dnc.StatusText(0).toStdString();
    EXPECT_FALSE(dnc.StatusText(0).contains("~")) << dnc.StatusText(0).toStdString();
    EXPECT_NEAR(dnc.StatusText(0).mid(3).toDouble(), 200.0, 50.0) << dnc.StatusText(0).toStdString();
    const TDncPeak peak = FindPeakIndex(dnc.Curves.Newest(), dnc.DataPoints);
    // The bundled 10 ms filter lags the sweep by about a point and a half.
    EXPECT_NEAR(peak.Index * dnc.SweepStep + dnc.SweepStart, 21000.0, 2.5 * dnc.SweepStep);
    EXPECT_NEAR(dnc.Curves.Phase[static_cast<size_t>(peak.Index)], 90000.0, 30000.0);
    // In the picture the peak reaches the top row.
    ASSERT_TRUE(dnc.DisplayScale);
    EXPECT_LE(DncRow(dnc.Curves.Newest()[static_cast<size_t>(peak.Index)], *dnc.DisplayScale), 1);

    const int column = DncColumn(peak.Index, dnc.PointShift);
    dnc.Image1MouseDown(column, 20, Qt::LeftButton, false);
    dnc.Image1MouseUp(column, 20, Qt::LeftButton);
    EXPECT_NEAR(LockInState.DriveFrequency, 21000.0, 2 * dnc.SweepStep);
    QCoreApplication::processEvents();

    // The saved curve reads back with the numbers the window holds.
    MainIni->WriteString("dncopt", "SaveName", dir.Path() + "resonance");
    MainIni->WriteInteger("dncopt", "DelimiterSave", 1); // TAB
    dnc.SaveButtonClick(false);
    QFile saved(dir.Path() + "resonance.txt");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(saved.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), dnc.DataPoints);
    // The file's rows are points 1..DataPoints.
    ASSERT_GT(peak.Index, 0);
    const QStringList atPeak = lines[peak.Index - 1].split('\t');
    EXPECT_NEAR(atPeak.value(0).toDouble(), peak.Index * dnc.SweepStep + dnc.SweepStart, 0.01);
    EXPECT_NEAR(atPeak.value(1).toDouble(), dnc.Curves.Newest()[static_cast<size_t>(peak.Index)], 1e-6);

    const QImage shot = dnc.grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledResonance.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    // The only box: the bundled feedback is contact mode, so the click sets
    // no setpoint.
    ASSERT_EQ(boxes.Texts().size(), 1) << boxes.Texts().join("|").toStdString();
    EXPECT_EQ(boxes.LastText(), QString::fromUtf8("Feedback doesn\u00B4t use amplitude."));
}

} // namespace
} // namespace qvt
