#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "files/SavePath.h"
#include "lockin/MultiLockInForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <cmath>

namespace qvt {
namespace {

// The multi lock-in spectrum an operator takes with the bundled settings:
// LIA 1 swept over the simulated cantilever shows its 21 kHz peak.
TEST(BundledMultiLockIn, TheBundledSettingsSweepTheCantileverWithLiaOne)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    ASSERT_NE(MultiLockInForm, nullptr);
    TMultiLockInForm& form = *MultiLockInForm;
    form.show();
    form.ShowNumbersView(false); // the operator picks the "Spectrum" view
    const auto button = [&form](const QString& text) {
        for (QPushButton* b : form.findChildren<QPushButton*>())
            if (b->text() == text)
                return b;
        return static_cast<QPushButton*>(nullptr);
    };
    QPushButton* save = button("Save");
    ASSERT_TRUE(save && button("Save as") && button("Copy"));
    // Nothing swept yet: nothing to save or copy.
    EXPECT_FALSE(save->isEnabled());
    EXPECT_FALSE(button("Save as")->isEnabled());
    EXPECT_FALSE(button("Copy")->isEnabled());

    form.StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form.Sweeping(); }, 120000));
    ASSERT_EQ(form.Series(0).Count(), 512);
    EXPECT_TRUE(save->isEnabled());
    EXPECT_TRUE(button("Copy")->isEnabled());
    int peak = 0;
    for (int i = 1; i < 512; ++i)
        if (form.Series(4).Points(i).y > form.Series(4).Points(peak).y)
            peak = i;
    EXPECT_NEAR(form.Series(4).Points(peak).x, 21000.0, 2.0 * form.Step());
    // 0.05 V on LIA 1's drive, 0.05 nm per volt, Q 200 and 0.1 V per nm: 50 mV at the input.
    EXPECT_NEAR(form.Series(4).Points(peak).y, 0.05, 0.01);

    // Save writes "noname" into the save folder, with the numbers the chart shows.
    MainIni->WriteInteger("MultiLockinOpt", "DelimiterSave", 1); // TAB
    QTest::mouseClick(save, Qt::LeftButton);
    const QString file = SaveDirectory(*MainIni) + "/noname.txt";
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly)) << file.toStdString();
    const QStringList lines = QString::fromLatin1(saved.readAll()).split(QRegularExpression("\r?\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 512);
    const QStringList atPeak = lines[peak].split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
    ASSERT_GE(atPeak.size(), 2);
    EXPECT_NEAR(atPeak[0].toDouble(), form.Series(4).Points(peak).x, 0.01);
    EXPECT_NEAR(atPeak[1].toDouble(), form.Series(0).Points(peak).y, 1e-6);
    EXPECT_FALSE(QFile::exists("c:\\temp\\noname.txt"));
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join("|").toStdString();

    // A file that cannot be written is told; the number stays for the next try.
    MainIni->WriteString("MultiLockinOpt", "SaveName", dir.Path() + QString(300, 'n'));
    MainIni->WriteBool("MultiLockinOpt", "SaveNumbered", true);
    MainIni->WriteInteger("MultiLockinOpt", "NextNumber", 5);
    QTest::mouseClick(save, Qt::LeftButton);
    EXPECT_EQ(boxes.LastText(), "File access error!");
    EXPECT_EQ(MainIni->ReadInteger("MultiLockinOpt", "NextNumber", 0), 5);
    EXPECT_EQ(form.Series(0).Count(), 512);
    EXPECT_TRUE(save->isEnabled());
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(form.grab().toImage().save("temp/BundledMultiLockIn.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

} // namespace
} // namespace qvt
