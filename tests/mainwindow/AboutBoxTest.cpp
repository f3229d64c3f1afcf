// The About box: versions of program, driver and controller, and the red
// panel when program and driver do not belong together.

#include "mainwindow/AboutQVTBox.h"

#include <QLabel>
#include <gtest/gtest.h>

using namespace qvt;

TEST(AboutBox, NamesTheVersionsAndWarnsWhenDriverAndProgramDiffer)
{
    TAboutTexts t = AboutTexts(0, {26, 3, 0}, -2);
    EXPECT_EQ(t.Driver, "Demo Mode");
    EXPECT_TRUE(t.Mismatch); // high half 0 is not $21
    EXPECT_EQ(t.Hardware, "HW: SPM-Box 26 Rev. 3");
    EXPECT_EQ(t.Program, "qvt.exe version: 21.B");

    t = AboutTexts(0x0021000C, {25, 3, 0}, -2);
    EXPECT_EQ(t.Driver, "qvt.sys version: 21.C");
    EXPECT_FALSE(t.Mismatch);
    EXPECT_EQ(t.Hardware, "HW: SPM-Box 25"); // no revision up to type 25

    t = AboutTexts(0x0022ABCD, {29, 1, 1}, 0);
    EXPECT_EQ(t.Driver, "qvt.sys version: 22.ABCD");
    EXPECT_TRUE(t.Mismatch);
    EXPECT_EQ(t.Hardware, "HW: USB0 Rev. 1");
    EXPECT_EQ(AboutTexts(0x10000, {22, 0, 1}, -1).Hardware, "HW: USB");

    TAboutQVTBox::TSource source;
    uint32_t driver = 0x00210001;
    source.DriverVersion = [&driver] { return driver; };
    source.Caps.BoxVersion = 26;
    source.Caps.BoxSubVersion = 2;
    TAboutQVTBox box(source);
    EXPECT_EQ(box.windowTitle(), "About QVT");
    EXPECT_EQ(box.findChild<QLabel*>("Label2")->text(), "qvt.sys version: 21.1");
    EXPECT_FALSE(box.PanelRed());
    driver = 0;
    box.Refresh();
    EXPECT_EQ(box.findChild<QLabel*>("Label2")->text(), "Demo Mode");
    EXPECT_TRUE(box.PanelRed());
}
