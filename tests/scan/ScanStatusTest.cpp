#include "scan/ScanStatus.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "support/TestSupport.h"

#include <QAbstractButton>

#include <gtest/gtest.h>

using namespace qvt;

TEST(ScanStatus, ImageTimeTextsFollowTheHourMinuteSecondRules)
{
    EXPECT_EQ(ImageTimeText(25.6), "25s"); // whole seconds above 9, cut off
    EXPECT_EQ(ImageTimeText(5.55), "5.5s");
    EXPECT_EQ(ImageTimeText(0.2), "0.200s ~ 5.0 frames per sec");
    EXPECT_EQ(ImageTimeText(0.5), "0.500s ~ 2.0 frames per sec");
    EXPECT_EQ(ImageTimeText(0.001), "0.001s"); // too short to count frames
    EXPECT_EQ(ImageTimeText(3725.0), "1h 2min 5.0s");
    EXPECT_EQ(ImageTimeText(7200.0 + 600.0 + 30.0), "2h 10min 30s");

    const int64_t f = 1000000;
    EXPECT_EQ(ImageTimeHint(false, f / 10, 256, 1, 1, f), "Time per Image: 25s");
    // Running down from line 56: 200 lines to go; up: 56.
    EXPECT_EQ(ImageTimeHint(true, f / 10, 256, 56, 1, f), "Time remaining: 20s");
    EXPECT_EQ(ImageTimeHint(true, f / 10, 256, 56, -1, f), "Time remaining: 5.6s");
    EXPECT_EQ(ImageTimeHint(false, f / 10, 256, 1, 1, 0), "Time per Image: 0.000s");
    // While the frame end waits (a save box open) the line counter stands past the last line.
    EXPECT_EQ(ImageTimeHint(true, f / 16, 256, 257, 1, f), "Time remaining: 0.000s");
    EXPECT_EQ(ImageTimeHint(true, f / 16, 256, -1, -1, f), "Time remaining: 0.000s");
    EXPECT_EQ(ImageTimeHint(true, f / 10, 256, 256, 1, f), "Time remaining: 0.000s");

    EXPECT_EQ(ZStateText(-1), "Approached");
    EXPECT_EQ(ZStateText(1), "Piezo Retracted");
    EXPECT_EQ(ZStateText(2), "Coarse Retracted");
    EXPECT_EQ(ZStateText(4), "");
}

TEST(ScanStatus, ZBarPercentAndColourWithTheLaterRulesWinning)
{
    EXPECT_EQ(ZBarPercent(-32000, -32000, 32000), 0);
    EXPECT_EQ(ZBarPercent(0, -32000, 32000), 50);
    EXPECT_EQ(ZBarPercent(32000, -32000, 32000), 100);
    EXPECT_EQ(ZBarPercent(-25600, -32000, 32000), 10);
    EXPECT_EQ(ZBarPercent(5, 7, 7), 0);
    EXPECT_EQ(FastZBarPercent(2147483640), 100);
    EXPECT_EQ(FastZBarPercent(-1073741820), -50);

    const QColor lime(0, 255, 0), yellow(255, 255, 0), red(255, 0, 0), grey(128, 128, 128);
    EXPECT_EQ(ZBarColour(40, 60, ZApproached), lime);
    EXPECT_EQ(ZBarColour(40, 90, ZApproached), lime); // 45 pixels is not above 45
    EXPECT_EQ(ZBarColour(40, 92, ZApproached), yellow);
    EXPECT_EQ(ZBarColour(10, 60, ZApproached), lime);
    EXPECT_EQ(ZBarColour(9, 60, ZApproached), red);
    EXPECT_EQ(ZBarColour(5, 95, ZApproached), red); // red after yellow
    EXPECT_EQ(ZBarColour(5, 95, ZPiezoRetracted), grey);
    EXPECT_EQ(ZBarColour(-20, 150, ZCoarseRetracted), red); // limited to 0..100 first
}

TEST(ScanStatus, ToolButtonsKeepTheChosenToolInTheSettings)
{
    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "qvt.ini");
    TQVTIniFile* saved = MainIni;
    MainIni = &ini;
    ini.WriteInteger("ScanPara", "UsedTool", 3);
    TToolButtons tools;
    int refreshed = 0;
    tools.RefreshImageWindowCursors = [&] { ++refreshed; };
    tools.Load();
    EXPECT_EQ(tools.UsedTool(), 3);
    EXPECT_TRUE(tools.Button(TMouseTool::Zoom)->isChecked());
    EXPECT_EQ(tools.Button(TMouseTool::ZoomCentered)->toolTip(), "Zoom Centered");
    tools.Button(TMouseTool::Move)->click();
    EXPECT_EQ(tools.UsedTool(), 1);
    EXPECT_FALSE(tools.Button(TMouseTool::Zoom)->isChecked());
    EXPECT_EQ(ini.ReadInteger("ScanPara", "UsedTool", -1), 1);
    EXPECT_EQ(refreshed, 1);
    ini.WriteInteger("ScanPara", "UsedTool", 9);
    tools.Load();
    EXPECT_EQ(tools.UsedTool(), 0);
    MainIni = saved;
}
