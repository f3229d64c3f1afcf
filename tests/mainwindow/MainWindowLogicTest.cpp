#include "mainwindow/MainWindowLogic.h"
#include "mainwindow/ErrorLog.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace qvt;

TEST(ScanStartRule, ContinuesDownwardRestartsAtLineOneOrGoesOnWhereItStopped)
{
    // Beyond the last line with "cont. on restart": back down from the last line.
    TScanStart s = PlanScanStart(257, 256, 1, true, 0, TScanSender::User);
    EXPECT_EQ(s.CurrentLine, 256);
    EXPECT_EQ(s.Direction, -1);

    // Not continuing: always from line 1 upward, wherever the last scan stopped.
    s = PlanScanStart(100, 256, -1, false, 0, TScanSender::User);
    EXPECT_EQ(s.CurrentLine, 1);
    EXPECT_EQ(s.Direction, 1);
    s = PlanScanStart(300, 256, -1, false, 0, TScanSender::User);
    EXPECT_EQ(s.CurrentLine, 1);
    EXPECT_EQ(s.Direction, 1);
    // Continuing but before the first line: from line 1 upward as well.
    s = PlanScanStart(0, 256, -1, true, 0, TScanSender::User);
    EXPECT_EQ(s.CurrentLine, 1);
    EXPECT_EQ(s.Direction, 1);

    // Continuing inside the frame: line and direction stay.
    s = PlanScanStart(100, 256, -1, true, 0, TScanSender::User);
    EXPECT_EQ(s.CurrentLine, 100);
    EXPECT_EQ(s.Direction, -1);
}

TEST(ScanStartRule, OnlyAScriptKeepsItsLineBudget)
{
    EXPECT_EQ(PlanScanStart(1, 64, 1, false, 10, TScanSender::Script).LinesLeft, 10);
    EXPECT_EQ(PlanScanStart(1, 64, 1, false, 10, TScanSender::User).LinesLeft, 0);
    EXPECT_EQ(PlanScanStart(1, 64, 1, false, 10, TScanSender::Application).LinesLeft, 0);
}

namespace {

std::vector<TToolbarControl> Bar(std::initializer_list<TToolbarControl> controls)
{
    return controls;
}

} // namespace

TEST(ToolbarLayout, PlacesButtonsLeftToRightWithGroupSpaces)
{
    // Exit | A B | Save | ...
    const auto controls = Bar({{"Exit", true, 0, true, false},
                               {"A", true, 0, false, false},
                               {"B", true, 0, true, false},
                               {"Save", true, 0, false, false},
                               {"Bar", true, 100, false, true}});
    const TToolbarLayout l = ArrangeToolbar(controls, 1000, false);
    EXPECT_EQ(l.Rows, 1);
    EXPECT_EQ(l.Height, 2 * 2 + 25);
    EXPECT_EQ(l.Places[0], QRect(2, 2, 25, 25));
    EXPECT_EQ(l.Places[1].x(), 2 + 27 + 8 + 2); // after Exit: 8 + g more
    EXPECT_EQ(l.Places[2].x(), l.Places[1].x() + 27);
    EXPECT_EQ(l.Places[3].x(), l.Places[2].x() + 27 + 10);
    EXPECT_EQ(l.Places[4], QRect(l.Places[3].x() + 27 + 10, 2, 100, 25)); // set apart, own width

    // Touch screens: 35 wide with gaps of 4.
    const TToolbarLayout t = ArrangeToolbar(controls, 1000, true);
    EXPECT_EQ(t.Height, 2 * 4 + 35);
    EXPECT_EQ(t.Places[0], QRect(4, 4, 35, 35));
    EXPECT_EQ(t.Places[1].x(), 4 + 39 + 8 + 4);
}

TEST(ToolbarLayout, HiddenControlsTakeNoRoomAndRowsWrap)
{
    auto controls = Bar({{"A", true, 0, false, false},
                         {"Hidden", false, 0, false, false},
                         {"B", true, 0, true, false},
                         {"HiddenGroup", false, 0, true, false},
                         {"C", true, 0, false, false}});
    TToolbarLayout l = ArrangeToolbar(controls, 1000, false);
    EXPECT_TRUE(l.Places[1].isEmpty());
    EXPECT_EQ(l.Places[2].x(), l.Places[0].x() + 27);
    // Two group ends in a row with nothing between them make one space, not two.
    EXPECT_TRUE(l.Places[3].isEmpty());
    EXPECT_EQ(l.Places[4].x(), l.Places[2].x() + 27 + 10);

    // Three buttons fit in 2 + 3 × 27 = 83 pixels; the fourth starts row 2.
    controls = Bar({{"A"}, {"B"}, {"C"}, {"D"}, {"E", true, 0, true, false}, {"F"}});
    l = ArrangeToolbar(controls, 83, false);
    EXPECT_EQ(l.Places[2], QRect(56, 2, 25, 25));
    EXPECT_EQ(l.Places[3], QRect(2, 29, 25, 25));
    EXPECT_EQ(l.Places[4], QRect(29, 29, 25, 25));
    EXPECT_EQ(l.Places[5], QRect(2, 56, 25, 25)); // its group space would pass the edge
    EXPECT_EQ(l.Rows, 3);
    EXPECT_EQ(l.Height, 2 * 2 + 25 + 2 * 27);
    // A group space at the end of a row does not carry over into the next one.
    l = ArrangeToolbar(Bar({{"A"}, {"B", true, 0, true, false}, {"C"}, {"D"}}), 56, false);
    EXPECT_EQ(l.Places[1], QRect(29, 2, 25, 25));
    EXPECT_EQ(l.Places[2], QRect(2, 29, 25, 25));
    EXPECT_EQ(l.Places[3], QRect(29, 29, 25, 25));
    // A control wider than the panel still gets a row of its own.
    l = ArrangeToolbar(Bar({{"Wide", true, 500, false, false}}), 100, false);
    EXPECT_EQ(l.Places[0], QRect(2, 2, 500, 25));
    EXPECT_EQ(l.Rows, 1);
}

TEST(MenuVisibility, FollowsTheAdministratorLevelAndTheFeedbackMode)
{
    const TMenuVisibility user = MenuVisibility(LevelUser, 3, false);
    EXPECT_FALSE(user.Scale || user.Feedback || user.Misc || user.Joystick);
    EXPECT_FALSE(user.ScaleADDA || user.EditIni || user.TeachButton);
    EXPECT_FALSE(user.AutoOffset); // a force mode holds the tip
    EXPECT_FALSE(user.ImageCommands);
    // The operator may zero the offset while the loop is off or tunnelling.
    EXPECT_TRUE(MenuVisibility(LevelUser, 2, false).AutoOffset);
    EXPECT_TRUE(MenuVisibility(LevelUser, -1, false).AutoOffset);
    EXPECT_FALSE(MenuVisibility(LevelUser, 6, false).AutoOffset);

    const TMenuVisibility admin = MenuVisibility(LevelAdmin, 5, true);
    EXPECT_TRUE(admin.Scale && admin.Feedback && admin.AutoOffset && admin.Misc && admin.Joystick);
    EXPECT_FALSE(admin.ScaleADDA || admin.EditIni || admin.TeachButton);
    EXPECT_TRUE(admin.ImageCommands);

    const TMenuVisibility setup = MenuVisibility(LevelSetup, 5, false);
    EXPECT_TRUE(setup.Scale && setup.AutoOffset && setup.ScaleADDA && setup.EditIni && setup.TeachButton);

    // "Make me ..": the password from level 0, one level down otherwise.
    EXPECT_EQ(LevelAfterAdminItemClick(LevelUser), -1);
    EXPECT_EQ(LevelAfterAdminItemClick(LevelAdmin), LevelUser);
    EXPECT_EQ(LevelAfterAdminItemClick(LevelSetup), LevelAdmin);
    EXPECT_EQ(AdminItemCaption(LevelAdmin), "Make me User");
    EXPECT_EQ(AdminItemCaption(LevelUser), "Make me Admin");
    EXPECT_EQ(AdminItemCaption(LevelSetup), "Make me Admin");
}

TEST(UniqueCaption, AppendsTheFirstFreeNumber)
{
    EXPECT_EQ(UniqueCaption("Topo  Fwd", {"ADC1  Bwd"}), "Topo  Fwd");
    EXPECT_EQ(UniqueCaption("Topo  Fwd", {"Topo  Fwd"}), "Topo  Fwd  1");
    EXPECT_EQ(UniqueCaption("Topo  Fwd", {"Topo  Fwd  1", "Topo  Fwd"}), "Topo  Fwd  2");
    EXPECT_EQ(UniqueCaption("Topo  Fwd", {"Topo  Fwd", "Topo  Fwd  2"}), "Topo  Fwd  1");
}

TEST(DisplayBoxes, TheWheelStepsByTheRangeAndNeverTakesARangeAtOrBelowZero)
{
    TWheelResult r = WheelValue(10.0, 120, 50.0, false, false);
    EXPECT_DOUBLE_EQ(r.Value, 10.0 + 120 * 50.0 * 1e-4);
    EXPECT_TRUE(r.Apply);
    r = WheelValue(10.0, -120, 50.0, true, false);
    EXPECT_DOUBLE_EQ(r.Value, 10.0 - 120 * 50.0 * 1e-3);
    EXPECT_TRUE(r.Apply); // an offset may go below zero

    r = WheelValue(5.0, -1200, 5.0, true, true); // 5 − 6: would invert the contrast
    EXPECT_FALSE(r.Apply);
    EXPECT_TRUE(WheelValue(5.0, 120, 5.0, true, true).Apply);
    EXPECT_FALSE(AcceptableManualRange(0.0));
    EXPECT_FALSE(AcceptableManualRange(-1.0));
    EXPECT_TRUE(AcceptableManualRange(1e-9));
}

TEST(LaunchCommands, PassTheFileAsOneArgumentAndFallBackToLinuxPrograms)
{
    // A name with blanks and shell characters stays one argument.
    TLaunchCommand c = PresentCommand("viewer --raw", "/data/scans", "a b;rm x");
    EXPECT_EQ(c.Program, "viewer");
    EXPECT_EQ(c.Arguments, QStringList({"--raw", "/data/scans/a b;rm x.txt"}));
    EXPECT_TRUE(c.IdlePriority);
    EXPECT_EQ(c.WorkingDirectory, ".");

    // The defaults of the settings name no program this system runs.
    EXPECT_EQ(PresentCommand(".", "/d/", "f").Program, "xdg-open");
    EXPECT_EQ(PresentCommand(".", "/d/", "f").Arguments, QStringList({"/d/f.txt"}));
    EXPECT_EQ(PresentCommand("C:\\Tools\\Present.exe", "/d", "f").Program, "xdg-open");

    c = EditorCommand("notepad.exe", "/p/qvt.ini", "vim -n");
    EXPECT_EQ(c.Program, "vim");
    EXPECT_EQ(c.Arguments, QStringList({"-n", "/p/qvt.ini"}));
    EXPECT_EQ(EditorCommand("NOTEPAD.EXE", "/p/q.ini", "").Program, "xdg-open");
    EXPECT_EQ(EditorCommand("kate", "/p/q.ini", "vim").Program, "kate");
    EXPECT_EQ(EditorCommand("\"/opt/my editor/ed\"", "/p/q.ini", "").Program, "/opt/my editor/ed");
}

TEST(FormPosition, WidthIsCutAtTheDesktopEdgeAndKeepsAMinimum)
{
    EXPECT_EQ(RestoredFormWidth(10, 800, 1920), 800);
    EXPECT_EQ(RestoredFormWidth(1500, 800, 1920), 420);
    EXPECT_EQ(RestoredFormWidth(1900, 800, 1920), 100);
    EXPECT_EQ(RestoredFormWidth(10, 50, 1920), 100);
    EXPECT_EQ(RestoredFormWidth(10, 5000, 0), 5000); // desktop unknown
}

TEST(ErrorLog, IsWrittenOnlyWhenTheFileExists)
{
    test::TempDir dir;
    const QString path = dir.Path() + "error.log";
    EXPECT_FALSE(AppendErrorLog(path, "first"));
    EXPECT_FALSE(QFileInfo::exists(path)); // no file, no log

    dir.WriteFile("error.log", "");
    EXPECT_TRUE(AppendErrorLog(path, "first"));
    EXPECT_TRUE(AppendErrorLog(path, "second"));
    EXPECT_EQ(dir.ReadFile("error.log"), "first\r\nsecond\r\n");

    const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9));
    const QString line = ErrorLogLine(when, "Division by zero", {"Edit3", "ScanParaForm"});
    EXPECT_TRUE(line.endsWith("14:07:09\tDivision by zero\tEdit3\tScanParaForm\t0000000000")) << line.toStdString();
    EXPECT_TRUE(ErrorLogLine(when, "x", {}).endsWith("\tx\t0000000000"));
}

TEST(ErrorLog, AppendsUpToOneMillionBytesAndRestartsAboveThat)
{
    test::TempDir dir;
    const QString path = dir.Path() + "error.log";
    dir.WriteFile("error.log", QByteArray(ErrorLogMaxSize, 'x'));
    ASSERT_TRUE(AppendErrorLog(path, "kept"));
    EXPECT_EQ(QFileInfo(path).size(), ErrorLogMaxSize + 6);
    EXPECT_TRUE(dir.ReadFile("error.log").endsWith("xkept\r\n"));

    // Now one entry above the limit: the next one starts the file afresh.
    ASSERT_TRUE(AppendErrorLog(path, "fresh"));
    EXPECT_EQ(dir.ReadFile("error.log"), "fresh\r\n");
}

TEST(ErrorLog, ARestartKeepsTheLogBeforeItBesideTheNewOne)
{
    test::TempDir dir;
    const QString path = dir.Path() + "error.log";
    const QByteArray earlier = "earlier entry\r\n";
    dir.WriteFile("error.log", earlier + QByteArray(ErrorLogMaxSize + 1 - earlier.size(), 'x'));
    TAppErrorHandler handler;
    handler.LogPath = path;
    handler.ShowError = [](const QString&) {};
    handler.Handle("Range check error", {"ScanButton"});
    // The new log starts with the entry; the one before is whole beside it.
    const QByteArray log = dir.ReadFile("error.log");
    EXPECT_TRUE(log.endsWith("\tRange check error\tScanButton\t0000000000\r\n")) << log.toStdString();
    EXPECT_EQ(log.count('\n'), 1);
    EXPECT_EQ(PreviousErrorLogPath(path), dir.Path() + "error.log.1");
    EXPECT_TRUE(dir.ReadFile("error.log.1").startsWith(earlier));
    EXPECT_EQ(QFileInfo(dir.Path() + "error.log.1").size(), ErrorLogMaxSize + 1);

    // The next restart keeps the log it ends, in place of the older one.
    dir.WriteFile("error.log", "second\r\n" + QByteArray(ErrorLogMaxSize, 'y'));
    handler.Handle("Division by zero", {});
    EXPECT_TRUE(dir.ReadFile("error.log.1").startsWith("second\r\n"));
    EXPECT_TRUE(dir.ReadFile("error.log").contains("\tDivision by zero\t"));
    // Deleting the log still switches logging off.
    ASSERT_TRUE(QFile::remove(path));
    handler.Handle("third", {});
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(ErrorLog, AnErrorRaisedWhileTheBoxIsOpenIsNeitherShownNorLogged)
{
    test::TempDir dir;
    dir.WriteFile("error.log", "");
    TAppErrorHandler handler;
    handler.LogPath = dir.Path() + "error.log";
    QStringList shown;
    handler.ShowError = [&](const QString& message) {
        shown << message;
        EXPECT_TRUE(handler.Busy());
        handler.Handle("second", {}); // raised while the first box is open
    };
    handler.Handle("first", {"ScanButton"});
    EXPECT_EQ(shown, QStringList({"first"}));
    EXPECT_FALSE(handler.Busy());
    const QByteArray log = dir.ReadFile("error.log");
    EXPECT_TRUE(log.contains("\tfirst\tScanButton\t0000000000\r\n"));
    EXPECT_FALSE(log.contains("second"));

    handler.Handle("third", {});
    EXPECT_EQ(shown.size(), 2);
    EXPECT_EQ(dir.ReadFile("error.log").count('\n'), 2);
}
