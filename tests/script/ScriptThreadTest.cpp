// The run cycle of the script thread: where scripts and data files are, the
// error line, the stop, the shut-down and the frequency-response copy.

#include "script/ScriptFakeDevice.h"

#include "calib/ScanFilter.h"
#include "platform/MessageBoxes.h"
#include "platform/ThreadPriority.h"
#include "support/FullDisk.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace qvt;
using namespace qvt::test;

TEST(ScriptThread, ReportsTheFirstErrorWithItsLineAndTheFileItHappenedIn)
{
    TFakeScriptRig rig;
    EXPECT_EQ(rig.RunText("// three lines\r\nBEGIN\r\nA := ;\r\nEND.\r\n"), ErrVarOrNumber);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"Error 2 (var or number expected) at line 3.    Program stopped!"});

    SCOPED_TRACE("two faults in one statement: only the first is reported");
    rig.Device.ClearMemo();
    EXPECT_EQ(rig.RunText("BEGIN\r\nA := 1/0 + LOG(0) FOO;\r\nEND.\r\n"), ErrDivByZero);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"Error 4 (/0) at line 2.    Program stopped!"});

    SCOPED_TRACE("inside an executed script the line names that script");
    rig.Device.ClearMemo();
    rig.AddScript("inner.scr", "BEGIN\r\n  WRITELN('in');\r\n  A := ;\r\nEND.\r\n");
    EXPECT_EQ(rig.RunText("BEGIN\r\nEXECUTE('inner');\r\nWRITELN('not reached');\r\nEND.\r\n"), ErrVarOrNumber);
    EXPECT_EQ(rig.Device.Memo(), (QStringList{"in", "Error 2 (var or number expected) at line 3 in " + rig.Folder() +
                                                        "scripts/inner.scr.    Program stopped!"}));

    SCOPED_TRACE("a calibration name is stored with the time of the run");
    rig.Device.ClearMemo();
    EXPECT_EQ(rig.RunText("BEGIN\r\nAU := 0.288;\r\nWRITELN(AU);\r\nEND.\r\n"), ErrUnknownFunction);
    EXPECT_DOUBLE_EQ(rig.Ini().ReadFloat("Calib", "AU", 0), 0.288);
    EXPECT_NEAR(rig.Ini().ReadFloat("Calib", "AUDayTime", 0), DayNumber(rig.Device.Now), 1e-6);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"Error 34 (unknown function) at line 3.    Program stopped!"});

    SCOPED_TRACE("variables keep their values from one run to the next");
    rig.Device.ClearMemo();
    EXPECT_EQ(rig.RunText("BEGIN Q := 7; END."), 0);
    EXPECT_EQ(rig.RunText("BEGIN WRITELN(Q); END."), 0);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"7"});
}

TEST(ScriptThread, RunsScriptsBelowTheWindowThread)
{
    TFakeScriptRig rig;
    EXPECT_EQ(rig.RunText("BEGIN WRITELN('x'); END."), 0);
    const int process = ProcessNice();
    EXPECT_EQ(rig.Thread().Nice(), std::min(process + LowerNiceSteps, 19));
    EXPECT_EQ(CurrentThreadNice(), process);
}

TEST(ScriptThread, AMissingScriptStillLeavesAnEmptyDataFileAndAGivenPathIsUsed)
{
    TFakeScriptRig rig;
    rig.AddScript("gone.scr", "BEGIN WRITELN('old'); END.");
    EXPECT_EQ(rig.Run("gone.scr"), 0);
    EXPECT_EQ(rig.DataLines(), QStringList{"old"});
    EXPECT_EQ(rig.Run("nothing.scr"), ErrFileMissing);
    EXPECT_EQ(rig.Device.Memo().last(), "Error 26 (File does not exist) at line 1.    Program stopped!");
    EXPECT_EQ(rig.DataLines(), QStringList{}) << "the data file is replaced, and empty";

    // The navigator hands over the folder the operator chose the script in.
    TempDir elsewhere;
    elsewhere.WriteFile("mine.scr", "BEGIN WRITELN('from my folder'); END.");
    rig.Thread().Start("mine.scr", elsewhere.Path());
    ASSERT_TRUE(PumpUntil([&] { return !rig.Thread().Active(); }));
    EXPECT_EQ(rig.Thread().LastError(), 0);
    EXPECT_EQ(rig.Device.Memo().last(), "from my folder");

    SCOPED_TRACE("without a data folder the run fails before its first statement");
    QDir(rig.Folder() + "data").removeRecursively();
    EXPECT_EQ(rig.RunText("BEGIN WRITELN('x'); END."), ErrDataFile);
    EXPECT_EQ(rig.Device.Memo().last(), "Error 30 (can't create data file) at line 1.    Program stopped!");
}

TEST(ScriptThread, DeepNestingAMissingSubScriptAndAClimbingDataNameAreNumberedErrors)
{
    TFakeScriptRig rig;
    // Far more levels than the script thread's stack holds: refused, the program lives on.
    const QByteArray parens = QByteArray(1000000, '(') + "1" + QByteArray(1000000, ')');
    EXPECT_EQ(rig.RunText("BEGIN\r\nA := " + parens + ";\r\nEND.\r\n"), ErrNestedTooDeep);
    EXPECT_EQ(rig.Device.Memo().last(), "Error 42 (expression nested too deeply) at line 2.    Program stopped!");
    QByteArray roots;
    for (int i = 0; i < 100000; ++i)
        roots += "SQRT(";
    EXPECT_EQ(rig.RunText("BEGIN A := " + roots + "16" + QByteArray(100000, ')') + "; END."), ErrNestedTooDeep);
    // Powers nested in parentheses are nesting; a flat chain of them is not,
    // however long (evaluated from the right: 2^1^...^1^3 = 2).
    EXPECT_EQ(
        rig.RunText("BEGIN A := " + QByteArray("2^(").repeated(100000) + "1" + QByteArray(100000, ')') + "; END."),
        ErrNestedTooDeep);
    rig.Device.ClearMemo();
    for (int operands : {300, 100000}) {
        SCOPED_TRACE(operands);
        EXPECT_EQ(rig.RunText("BEGIN B := 2" + QByteArray("^1").repeated(operands - 2) + "^3; WRITELN(B); END."), 0);
        EXPECT_EQ(rig.Device.Memo(), QStringList{"2"});
        rig.Device.ClearMemo();
    }
    EXPECT_EQ(rig.RunText("BEGIN WRITELN(2^1^3^2 + 2^3^2); END."), 0);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"514"});
    rig.Device.ClearMemo();
    EXPECT_EQ(rig.RunText("BEGIN WRITELN(SQRT(SQRT(((256)))) ^ (1 + (1))); END."), 0);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"16"});

    SCOPED_TRACE("a missing sub-script is the caller's fault, at the caller's line");
    rig.Device.ClearMemo();
    EXPECT_EQ(rig.RunText("BEGIN\r\nWRITELN('calling');\r\nEXECUTE('no_such');\r\nEND.\r\n"), ErrFileMissing);
    EXPECT_EQ(rig.Device.Memo(),
              (QStringList{"calling", "Error 26 (File does not exist) at line 3.    Program stopped!"}));
    rig.Device.ClearMemo();
    rig.AddScript("middle.scr", "BEGIN\r\n\r\nEXECUTE('gone');\r\nEND.\r\n");
    EXPECT_EQ(rig.RunText("BEGIN EXECUTE('middle'); END."), ErrFileMissing);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"Error 26 (File does not exist) at line 3 in " + rig.Folder() +
                                             "scripts/middle.scr.    Program stopped!"});

    SCOPED_TRACE("a data file name stays inside the data folder");
    // A folder of that name is there: a name through it would be written.
    ASSERT_TRUE(QDir(rig.Folder() + "data").mkpath("sub"));
    for (const char* name : {"../scripts/x", "sub/x", "sub\\x", "..", "/tmp/x", "sub/../x"}) {
        rig.Device.ClearMemo();
        EXPECT_EQ(rig.RunText(QByteArray("BEGIN FILENAME('") + name + "'); WRITELN('written'); END."), ErrDataFile)
            << name;
        EXPECT_EQ(rig.Device.Memo(), QStringList{"Error 30 (can't create data file) at line 1.    Program stopped!"});
    }
    EXPECT_TRUE(QDir(rig.Folder() + "scripts").entryList({"x_*"}).isEmpty());
    EXPECT_TRUE(QDir(rig.Folder() + "data/sub").entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(QDir(rig.Folder() + "data").entryList({"sub*x*", "x_*"}).isEmpty());
    EXPECT_EQ(rig.RunText("BEGIN FILENAME('run'); END."), 0);
    EXPECT_EQ(QDir(rig.Folder() + "data").entryList({"run_*.txt"}).size(), 1);
    // Two points inside a name are part of a plain file's name.
    for (const char* name : {"a..b", "..a", "v1..2."}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(rig.RunText(QByteArray("BEGIN FILENAME('") + name + "'); WRITELN('kept'); END."), 0);
        const QStringList made =
            QDir(rig.Folder() + "data").entryList({QString(name) + "_*.txt"}, QDir::Files | QDir::Hidden);
        ASSERT_EQ(made.size(), 1);
        EXPECT_EQ(rig.DataLines(), QStringList{"kept"});
    }
}

TEST(ScriptThread, ADataFileThatCannotReachTheDiskIsTheRunsErrorAndTheFileBeforeStays)
{
    TFakeScriptRig rig;
    EXPECT_EQ(rig.RunText("BEGIN WRITELN('first run'); END."), 0);
    const QString path = rig.Folder() + "data/NoName.txt";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    ASSERT_EQ(before, "first run\r\n");
    const QString ioError = "Error 17 (file IO error) at line 2.    Program stopped!";
    for (const char* script : {"BEGIN\r\nWRITELN('second run'); END.", "BEGIN\r\nFILENAME('next'); END."}) {
        SCOPED_TRACE(script);
        rig.Device.ClearMemo();
        {
            const test::FullDisk full([path](const QString& written) { return written == path; });
            EXPECT_EQ(rig.RunText(script), ErrFileIo);
        }
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), before);
        file.close();
        EXPECT_EQ(rig.Device.Memo().filter("Error"), QStringList{ioError});
        EXPECT_TRUE(test::HiddenFiles(rig.Folder() + "data").isEmpty()) << "a temporary file was left";
    }
    // Room again: the run's data takes the name.
    EXPECT_EQ(rig.RunText("BEGIN WRITELN('third run'); END."), 0);
    EXPECT_EQ(rig.DataLines(), QStringList{"third run"});
}

TEST(ScriptThread, StopEndsAWaitAndShutDownJoinsARunningScript)
{
    auto rig = std::make_unique<TFakeScriptRig>();
    rig->Device.RealSleepMs = 1;
    rig->AddScript("long.scr", "BEGIN WRITELN('waiting'); WAIT(100000); WRITELN('woke'); END.");
    bool finished = false;
    rig->Thread().Finished = [&] { finished = true; };
    rig->Thread().Start("long.scr", QString());
    ASSERT_TRUE(PumpUntil([&] { return rig->Device.Memo() == QStringList{"waiting"}; }));
    EXPECT_TRUE(rig->Thread().Active());
    rig->Thread().RequestStop();
    ASSERT_TRUE(PumpUntil([&] { return !rig->Thread().Active(); }));
    EXPECT_TRUE(finished);
    EXPECT_EQ(rig->Thread().LastError(), 0);
    EXPECT_EQ(rig->Device.Memo(), QStringList{"waiting"}) << "the statement after the wait does not run";

    SCOPED_TRACE("the program closes while a script waits");
    rig->Thread().Start("long.scr", QString());
    ASSERT_TRUE(PumpUntil([&] { return rig->Device.Memo().size() == 2; }));
    rig.reset(); // stops and joins; nothing pumps the window thread meanwhile
}

TEST(ScriptThread, AFrequencyResponseRunLeavesAResponseFileTheScannerWindowReads)
{
    TFakeScriptRig rig;
    TQVTIniFile scanner(rig.Folder() + "scanner.ini");
    scanner.WriteString("FilterY", "a0", "0.5");
    scanner.WriteString("FilterY", "b1", "-0.25");
    scanner.WriteString("FilterY2", "a1", "2");
    EXPECT_EQ(ResponseFilterValues(scanner, true),
              (std::array<QString, 10>{"1", "0", "0", "0", "0", "1", "0", "0", "0", "0"}));

    QString written;
    rig.Thread().ResponseWanted = [&](TQVTIniFile*& ini, bool& axisX) {
        ini = &scanner;
        axisX = false;
        return true;
    };
    rig.Thread().ResponseWritten = [&](const QString& name) { written = name; };
    // Frequency, real and imaginary part, min/max: a TAB between them.
    EXPECT_EQ(rig.RunText("BEGIN FOR F := 1 TO 3 DO BEGIN WRITELN(F * 100, '\t', F, '\t', 0, '\t', 0.5); END; "
                          "END."),
              0);
    EXPECT_EQ(written, "NoName.txt");
    QFile file(rig.Folder() + "Filter/NoName.txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const TFrequencyResponse response = ParseFrequencyResponse(QString::fromLatin1(file.readAll()));
    EXPECT_TRUE(response.Error.isEmpty()) << response.Error.toStdString();
    EXPECT_EQ(response.Coefficients[0], 0.5);
    EXPECT_EQ(response.Coefficients[4], -0.25);
    EXPECT_EQ(response.Coefficients[6], 2.0);
    ASSERT_EQ(response.Points.size(), 3u);
    EXPECT_EQ(response.Points[2].Frequency, 300.0);
    EXPECT_EQ(response.Points[2].Amplitude, 3.0);
    file.close();

    // A full disk: the response measured before stays whole, the operator is told once.
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    ScriptedMessageResponder boxes;
    written.clear();
    {
        const test::FullDisk full([&file](const QString& path) { return path == file.fileName(); });
        for (int run = 0; run < 2; ++run)
            EXPECT_EQ(rig.RunText("BEGIN WRITELN(700, '\t', 7, '\t', 0, '\t', 0.5); END."), 0);
    }
    EXPECT_TRUE(written.isEmpty());
    QFile again(file.fileName());
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), before);
    EXPECT_EQ(boxes.Texts(), QStringList({"Response file " + file.fileName() + " cannot be written."}));
    EXPECT_TRUE(test::HiddenFiles(rig.Folder() + "Filter").isEmpty());
}
