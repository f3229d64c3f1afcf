#pragma once
// A host that keeps what the interpreter hands out, for the script tests.

#include "script/ScriptInterpreter.h"

#include <QStringList>

#include <utility>
#include <vector>

namespace qvt::test {

class TRecordingScriptHost : public IScriptHost {
public:
    void WriteMemoLine(const QString& line) override { Memo << line; }
    void WriteDataLine(const QString& line) override { Data << line; }
    void StoreCalibration(const QString& name, double value) override { Calibration.emplace_back(name, value); }
    QString TakeResultText() override { return std::exchange(Result, QString()); }
    void RunStatement(int code, TScriptInterpreter&) override { Statements.push_back(code); }

    QStringList Memo;
    QStringList Data;
    std::vector<std::pair<QString, double>> Calibration;
    std::vector<int> Statements;
    QString Result;
};

// Loads `text` and runs it to its end; the host keeps the output.
inline int RunScript(TScriptInterpreter& script, const QByteArray& text)
{
    script.BeginRun();
    if (!script.LoadText(text))
        return script.ErrorCode;
    script.Running = true;
    script.Run();
    return script.ErrorCode;
}

} // namespace qvt::test
