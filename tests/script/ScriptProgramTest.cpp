// Whole scripts: tokens, labels, jumps, loops, output and the error line,
// and the sample scripts shipped with the program, each of which carries its
// expected output behind its END.

#include "script/ScriptFakeDevice.h"
#include "script/ScriptTestHost.h"

#include "core/IniFile.h"
#include "support/ScriptSamples.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace qvt;
using namespace qvt::test;

namespace {

struct TRun {
    int Error = 0;
    QStringList Memo;
    QStringList Data;
    std::vector<int> Statements;
};

TRun RunText(const QByteArray& text)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    TRun r;
    r.Error = RunScript(script, text);
    r.Memo = host.Memo;
    r.Data = host.Data;
    r.Statements = host.Statements;
    return r;
}

} // namespace

TEST(ScriptLexer, TokenKindsOfOneLine)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    ASSERT_TRUE(script.LoadText("LABEL Top; BEGIN Top: x:=12 <> 'a\" 1.5 sin wait // note\r\n; END."));
    std::vector<std::pair<int, QString>> seen;
    for (;;) {
        script.GetToken();
        seen.emplace_back(script.Token().Kind, script.Token().Text);
        if (script.Token().Text == "END.")
            break;
    }
    const std::vector<std::pair<int, QString>> expected = {
        {TokLabel, "TOP"},      {TokIdentifier, "X"}, {TokSign, ":="},   {TokInteger, "12"},
        {TokSign, "<>"},        {TokString, "a"},     {TokFloat, "1.5"}, {TokFunction, "SIN"},
        {TokStatement, "WAIT"}, {TokComment, ""},     {TokSign, ";"},    {TokStatement, "END."},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(script.ErrorCode, 0);
}

TEST(ScriptLexer, NumbersCommasAndBadLiterals)
{
    // A comma never belongs to a number in a script: it separates arguments.
    EXPECT_EQ(RunText("BEGIN WRITELN(1,5); END.").Memo, QStringList{"15"});
    EXPECT_EQ(RunText("BEGIN X := 1,5; END.").Error, ErrSemicolonExpected);
    EXPECT_EQ(RunText("BEGIN WRITELN(1E5, ' ', 1e-2, ' ', 1/3); END.").Memo, QStringList{"100000 0.01 0.3333333"});
    EXPECT_EQ(RunText("BEGIN X := 1.2.3; END.").Error, ErrNoFloat);
    EXPECT_EQ(RunText("BEGIN X := 99999999999; END.").Error, ErrNoInteger);
}

TEST(ScriptLexer, StringsCloseWithEitherQuoteButNotAcrossALine)
{
    EXPECT_EQ(RunText("BEGIN WRITELN('it\", \"fine'); END.").Memo, QStringList{"itfine"});
    const TRun cr = RunText("BEGIN\r\nWRITELN('open\r\n');\r\nEND.");
    EXPECT_EQ(cr.Error, ErrQuoteExpected);
    EXPECT_EQ(cr.Memo, QStringList{"Error 5 (' expected) at line 2.    Program stopped!"});
    EXPECT_EQ(RunText("BEGIN\nWRITELN('open\n');\nEND.").Error, ErrQuoteExpected);
}

TEST(ScriptLexer, LfOnlyAndTabbedScriptsReadLikeCrLfOnes)
{
    const QByteArray lines[] = {"BEGIN", "\tX\t:=\t2;", "\tWRITELN('x=',\tX);", "END."};
    QByteArray crlf;
    QByteArray lf;
    for (const QByteArray& l : lines) {
        crlf += l + "\r\n";
        lf += l + "\n";
    }
    EXPECT_EQ(RunText(crlf).Memo, QStringList{"x=2"});
    EXPECT_EQ(RunText(lf).Memo, QStringList{"x=2"});
    // An identifier ends at a TAB or a line break as at a blank.
    EXPECT_EQ(RunText("BEGIN X\t:= 3; WRITELN(X\n); END.").Memo, QStringList{"3"});

    // The line of an error counts LF breaks too, and CR LF as one.
    const QByteArray bad = "BEGIN\nX := 1;\nY := ;\nEND.";
    EXPECT_EQ(RunText(bad).Memo, QStringList{"Error 2 (var or number expected) at line 3.    Program stopped!"});
    QByteArray badCrLf = bad;
    badCrLf.replace("\n", "\r\n");
    EXPECT_EQ(RunText(badCrLf).Memo, QStringList{"Error 2 (var or number expected) at line 3.    Program stopped!"});
}

TEST(ScriptProgram, LabelsAreCheckedBeforeAnythingRuns)
{
    const TRun undefined = RunText("LABEL A1, B2;\r\nBEGIN\r\nWRITELN('ran');\r\nA1: WRITELN('a');\r\nEND.");
    EXPECT_EQ(undefined.Error, ErrUndefinedLabel);
    EXPECT_EQ(undefined.Memo.size(), 1);
    EXPECT_TRUE(undefined.Memo[0].startsWith("Error 7 (undefined label)"));

    EXPECT_EQ(RunText("LABEL A1 B2; BEGIN END.").Error, ErrSemicolonExpected);
    EXPECT_EQ(RunText("BEGIN GOTO Nowhere; END.").Error, ErrUndefinedLabel);
    // A label counts only at the start of a statement.
    EXPECT_EQ(RunText("LABEL L; BEGIN WRITELN('x') L: ; END.").Error, ErrUndefinedLabel);
}

TEST(ScriptProgram, TheProgramEndsWithEndAndAPoint)
{
    const TRun noPoint = RunText("BEGIN\r\nX := 1;\r\nEND");
    EXPECT_EQ(noPoint.Error, ErrEndExpected);
    EXPECT_EQ(RunText("BEGIN X := 1; END. WRITELN('never');").Memo, QStringList{});
    EXPECT_EQ(RunText("X := 1;").Error, ErrEndExpected); // no BEGIN at all
    EXPECT_EQ(RunText("BEGIN X := 1 WRITELN(X); END.").Error, ErrSemicolonExpected);
    EXPECT_EQ(RunText("BEGIN X 1; END.").Error, ErrAssignExpected);
}

TEST(ScriptProgram, IfGotoAndForLoops)
{
    EXPECT_EQ(
        RunText("LABEL L1;\r\nBEGIN X := 2;\r\nIF X < 3 THEN GOTO L1;\r\nWRITELN('no');\r\nL1: WRITELN('yes');\r\nEND.")
            .Memo,
        QStringList{"yes"});
    EXPECT_EQ(RunText("LABEL L1; BEGIN X := 5; IF X < 3 THEN GOTO L1; WRITELN('no'); L1: WRITELN('yes'); END.").Memo,
              (QStringList{"no", "yes"}));
    EXPECT_EQ(RunText("BEGIN IF 1 = 1 WRITELN('x'); END.").Error, ErrEndExpected);
    EXPECT_EQ(RunText("BEGIN IF 1 <= 1 THEN X := 1; END.").Error, ErrVarOrNumber);
    EXPECT_EQ(RunText("BEGIN IF 1 ! 1 THEN X := 1; END.").Error, ErrCompareExpected);

    // The body runs at least once; the variable ends one past the limit.
    EXPECT_EQ(RunText("BEGIN FOR I := 1 TO 3 DO BEGIN WRITELN(I); END; WRITELN('I=', I); END.").Memo,
              (QStringList{"1", "2", "3", "I=4"}));
    EXPECT_EQ(RunText("BEGIN FOR I := 5 TO 1 DO BEGIN WRITELN(I); END; END.").Memo, QStringList{"5"});
    EXPECT_EQ(RunText("BEGIN FOR I := 1 TO 2 DO BEGIN FOR J := 1 TO 2 DO BEGIN WRITELN(I, J); END; END; END.").Memo,
              (QStringList{"11", "12", "21", "22"}));
    EXPECT_EQ(RunText("BEGIN FOR 1 := 1 TO 2 DO BEGIN END; END.").Error, ErrVariableExpected);
    EXPECT_EQ(RunText("BEGIN FOR I = 1 TO 2 DO BEGIN END; END.").Error, ErrAssignExpected);
    EXPECT_EQ(RunText("BEGIN FOR I := 1 UPTO 2 DO BEGIN END; END.").Error, ErrToExpected);
    EXPECT_EQ(RunText("BEGIN FOR I := 1 TO 2 BEGIN END; END.").Error, ErrDoExpected);
    EXPECT_EQ(RunText("BEGIN FOR I := 1 TO 2 DO WRITELN(I); END.").Error, ErrBeginExpected);
    EXPECT_EQ(RunText("BEGIN FOR I := 1 TO 2 DO BEGIN X := 1; END. END.").Error, ErrNoPointExpected);
}

TEST(ScriptProgram, WritelnGoesToMemoAndDataFileAndOtherStatementsToTheHost)
{
    TRecordingScriptHost host;
    host.Result = "mean 3.2";
    TScriptInterpreter script(host);
    EXPECT_EQ(RunScript(script, "BEGIN X := -2.5; WRITELN('x ', X, ' ', -X*2, ' ', RES, ' ', SQRT(4)); BEEP; "
                                "GOXY(0.5, 0.5); END."),
              ErrSemicolonExpected); // the host did not read GOXY's arguments
    EXPECT_EQ(host.Memo.first(), "x -2.5 5 mean 3.2 2");
    EXPECT_EQ(host.Data, QStringList{"x -2.5 5 mean 3.2 2"});
    EXPECT_EQ(host.Statements, (std::vector<int>{StBeep, StGoXY}));
    EXPECT_EQ(RunText("BEGIN WRITELN('a'; END.").Error, ErrCloseParen);
    EXPECT_EQ(RunText("BEGIN WRITELN 'a'; END.").Error, ErrOpenParen);
}

TEST(ScriptProgram, OnlyTheFirstErrorIsReportedAndTheRunStops)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    EXPECT_EQ(RunScript(script, "BEGIN X := LOG(0) + 1/0; WRITELN('after'); END."), ErrNotPositive);
    EXPECT_EQ(host.Memo, QStringList{"Error 38 (argument must be greater than 0) at line 1.    Program stopped!"});
    EXPECT_FALSE(script.Running);
    // The stop from outside ends the run between statements.
    TRecordingScriptHost host2;
    TScriptInterpreter stopped(host2);
    ASSERT_TRUE(stopped.LoadText("BEGIN WRITELN('a'); WRITELN('b'); END."));
    stopped.BeginRun();
    stopped.Running = true;
    stopped.Step();
    stopped.Running = false;
    stopped.Run();
    EXPECT_EQ(host2.Memo, QStringList{"a"});
}

TEST(ScriptProgram, LoadingAMissingFileIsError26)
{
    TRecordingScriptHost host;
    TScriptInterpreter script(host);
    EXPECT_FALSE(script.LoadProgram("/nonexistent/none.scr"));
    EXPECT_EQ(script.ErrorCode, ErrFileMissing);
    EXPECT_EQ(host.Memo, QStringList{"Error 26 (File does not exist) at line 1.    Program stopped!"});
}

TEST(ScriptCalibration, WritesTheValueAndItsDayNumber)
{
    TempDir dir;
    TQVTIniFile ini(dir.Path() + "qvt.ini");
    const QDateTime when(QDate(1900, 1, 1), QTime(18, 0));
    WriteCalibrationValue(ini, "HOPG", 0.246, when);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Calib", "HOPG", 0), 0.246);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("Calib", "HOPGDayTime", 0), 2.75);
}

// ---- the shipped samples ----------------------------------------------------------------

namespace {

// The sample folder of the source tree, found from the test's program folder.
QString SampleFolder()
{
    return QString(QVT_RESOURCES_DIR "/scripts/");
}

} // namespace

TEST(ScriptSamples, EachSampleWritesTheOutputWrittenBehindItsEnd)
{
    // Each sample runs in a script thread of its own on the fake instrument,
    // from a program folder holding all samples (EXECUTE finds its sub-scripts).
    const QStringList samples = QDir(SampleFolder()).entryList({"*.scr"}, QDir::Files);
    ASSERT_GE(samples.size(), 3) << SampleFolder().toStdString();
    TFakeScriptRig rig;
    ArrangeWindows(rig.Device);
    for (const QString& name : samples)
        QFile::copy(SampleFolder() + name, rig.Folder() + "scripts/" + name);
    for (const QString& name : samples) {
        rig.Restart();
        QFile file(SampleFolder() + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const TSampleExpectation expected = ReadSampleExpectation(file.readAll(), rig.Folder() + "scripts/");
        if (!expected.Runs)
            continue;
        rig.Run(name);
        EXPECT_EQ(rig.Device.Memo(), expected.Memo)
            << name.toStdString() << ": " << rig.Device.Memo().join(" | ").toStdString();
        EXPECT_EQ(rig.DataLines(), expected.Data)
            << name.toStdString() << ": " << rig.DataLines().join(" | ").toStdString();
    }
}
