#pragma once
// The script interpreter: it reads the script text directly, one token at a
// time, without building a tree, and moves its read position for jumps,
// loops and errors. It carries out the language's own statements
// (assignment, WRITELN, IF, GOTO, FOR and END); every statement that acts on
// the instrument or the windows goes to its host. Everything here runs in
// the script thread; only Running is written from outside.

#include "script/ScriptTables.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace qvt {

class TScriptInterpreter;

// What the interpreter needs from the program around it.
class IScriptHost {
public:
    virtual ~IScriptHost() = default;
    // A line for the navigator's output memo (WRITELN output, error lines).
    virtual void WriteMemoLine(const QString& line) = 0;
    // A line for the run's data file.
    virtual void WriteDataLine(const QString& line) = 0;
    // One of the calibration names (HOPG, AU, AL, USER1, USER2) was assigned.
    virtual void StoreCalibration(const QString& name, double value) = 0;
    // WRITELN's "RES": the pending fast-scan statistics text, cleared by the call.
    virtual QString TakeResultText() = 0;
    // A statement keyword the interpreter does not carry out itself; the
    // current token is the keyword. The host reads the arguments through the
    // interpreter and leaves the token kind as the run loop expects it.
    virtual void RunStatement(int code, TScriptInterpreter& script) = 0;
};

struct TScriptToken {
    QString Text;
    uint8_t Kind = TokNone;
    int32_t IntValue = 0;
    double FloatValue = 0.0;
};

class TScriptInterpreter {
public:
    static constexpr int MaxOpenLoops = 128;

    explicit TScriptInterpreter(IScriptHost& host);

    // ---- loading ------------------------------------------------------------------------
    // Loads a script file (8-bit text) and prescans it; a missing file is error 26.
    bool LoadProgram(const QString& fileName);
    // The same with the text given: CR LF CR LF is appended, the labels are
    // prescanned and the read position goes to the start of execution.
    // False when an error was raised.
    bool LoadText(const QByteArray& text);
    // Reads the label declarations and the positions of their definitions.
    void PrescanLabels();

    // ---- the run ------------------------------------------------------------------------
    // A new run: no error, no open loops. The variables keep their values.
    void BeginRun();
    // One statement of the run loop, with the ";" that ends it.
    void Step();
    // Steps while running; ends at "END.", on an error or when Running is cleared.
    void Run();
    // Cleared by "END.", by an error or by the operator's stop.
    std::atomic<bool> Running{false};
    // 0 none; the first error of a run stays recorded.
    int ErrorCode = 0;
    // Nesting of EXECUTE'd scripts; above 0 an error line names CurrentFile.
    int ExecDepth = 0;
    QString CurrentFile;
    // Where EXECUTE finds the scripts it names (with a trailing "/").
    QString ScriptFolder;
    static constexpr int MaxExecDepth = 127;
    // Parentheses and function arguments nested deeper than this are
    // refused: every level costs the script thread's stack.
    static constexpr int MaxNesting = 256;

    // ---- tokens and expressions ---------------------------------------------------------------
    void GetToken();
    const TScriptToken& Token() const { return token_; }
    TScriptToken& Token() { return token_; }
    // True when the current token is the sign `sign`.
    bool IsSign(const char* sign) const;
    // Evaluates the expression that starts at the current token and gives
    // the token behind it back to the text.
    double ReadExpression();
    // Reads up to and including the next ";"; reaching the end of the text is `endError`.
    void SkipStatement(int endError = ErrEndExpected);

    // ---- variables ----------------------------------------------------------------------
    double GetVariable(const QString& name);
    void SetVariable(const QString& name, double value);
    // A..Z, kept from run to run.
    std::array<double, 26> Variables{};

    // ---- labels -------------------------------------------------------------------------
    // Declared names, upper case, sorted.
    const QStringList& LabelList() const { return labels_; }
    // Text position behind each label's ":" (0: not defined).
    const std::vector<int>& LabelPositions() const { return labelPositions_; }
    int LabelIndex(const QString& upperName) const;

    // ---- position and errors ---------------------------------------------------------------
    int Position() const { return pos_; }
    void SetPosition(int position) { pos_ = position; }
    int StartPosition() const { return start_; }
    // 1 + the line breaks before `position` (CR LF, CR or LF each count once).
    int LineAt(int position) const;
    // Stops the run; the first error of a run is reported and recorded.
    void ScriptError(int code);
    int OpenLoops() const { return static_cast<int>(loops_.size()); }

private:
    int nesting_ = 0; // expression levels open
    struct TForLoop {
        int Position = 0; // behind the loop's BEGIN
        QString Variable;
        double Limit = 0.0; // upper bound + 0.5
    };

    bool Failed() const { return ErrorCode != 0; }
    bool AtEnd() const { return pos_ >= code_.size(); }
    QChar Peek(int offset = 0) const;
    // Skips blanks, TABs and line breaks; false when the text has ended.
    bool SkipWhite();
    void ReadString(QChar quote);
    void ReadIdentifier();
    void ReadNumber();

    double Sum();
    double Product();
    double Power();
    double Signed();
    double Factor();
    double Checked(double value);

    void Assignment();
    void Writeln();
    void If();
    void Goto();
    void For();
    void End();
    void Execute();
    // The current token, after GetToken, must be the word `word`.
    bool ExpectWord(const char* word, int error);

    IScriptHost& host_;
    QString code_;
    int pos_ = 0;
    int tokenStart_ = 0;
    int start_ = 0;
    TScriptToken token_;
    QStringList labels_;
    std::vector<int> labelPositions_;
    std::vector<TForLoop> loops_;
    // One entry per EXECUTE level: where the caller goes on, its file and its open loops.
    struct TExecStack {
        int ReturnPosition = 0;
        QString File;
        std::vector<TForLoop> Loops;
    };
    std::vector<TExecStack> execStack_;
};

// A sign character of the language (also the blank and both quotes), which
// ends an identifier.
bool IsScriptSign(QChar c);

} // namespace qvt
