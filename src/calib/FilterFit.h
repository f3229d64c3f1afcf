#pragma once
// A run of the outside numerics program that fits filter coefficients to a
// measured frequency response. The program gets its arguments as a list
// ("-f", the fit script, the filter folder, the response file) and runs at
// idle priority; its result "a_out.txt" is read only after it has exited, so
// a half-written file is never taken, and a program that ends without a
// result ends the wait too.

#include "calib/ScanFilter.h"
#include "platform/Launcher.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace qvt {

inline const char* const FitScriptName = "FilterFreqManualFit.sce";
inline const char* const FitResultName = "a_out.txt";

class TFilterFit {
public:
    enum class Tick { Idle, Running, Result, NoResult };

    // The argument list for the program; `filterFolder` ends in '/'.
    static QStringList Arguments(const QString& filterFolder, const QString& responseName);

    // Deletes an old result and starts `program`. False when it cannot be
    // found or started.
    bool Start(const QString& program, const QString& filterFolder, const QString& responseName, bool axisIsX);
    bool Waiting() const { return run_ != nullptr; }
    bool AxisIsX() const { return axisIsX_; }

    // Polled by the window's timer. Once the program has exited: Result with
    // the file's text in `text`, or NoResult when it left no file.
    Tick Poll(QString& text);

private:
    std::unique_ptr<TWatchedProgram> run_;
    QString folder_;
    bool axisIsX_ = true;
};

} // namespace qvt
