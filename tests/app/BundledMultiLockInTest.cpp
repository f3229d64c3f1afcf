#include "app/CreateForms.h"
#include "core/Startup.h"
#include "lockin/MultiLockInForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>

#include <gtest/gtest.h>

#include <cmath>

namespace qvt {
namespace {

// The multi lock-in spectrum an operator takes with the bundled settings:
// LIA 1 swept over the simulated cantilever shows its 21 kHz peak.
TEST(BundledMultiLockIn, TheBundledSettingsSweepTheCantileverWithLiaOne)
{
    test::TempDir dir;
    ASSERT_TRUE(test::CopyBundledSettings(dir));
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    ASSERT_NE(MultiLockInForm, nullptr);
    TMultiLockInForm& form = *MultiLockInForm;
    form.show();
    form.ShowNumbersView(false); // the operator picks the "Spectrum" view
    form.StartSweep();
    ASSERT_TRUE(test::PumpUntil([&] { return !form.Sweeping(); }, 120000));
    ASSERT_EQ(form.Series(0).Count(), 512);
    int peak = 0;
    for (int i = 1; i < 512; ++i)
        if (form.Series(4).Points(i).y > form.Series(4).Points(peak).y)
            peak = i;
    EXPECT_NEAR(form.Series(4).Points(peak).x, 21000.0, 2.0 * form.Step());
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(form.grab().toImage().save("temp/BundledMultiLockIn.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

} // namespace
} // namespace qvt
