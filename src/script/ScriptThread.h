#pragma once
// The script thread: runs one script at a time while the windows stay usable.
// Created parked; the navigator starts a run (Start) and stops it
// (RequestStop). A run loads the script, opens data/NoName.txt, steps the
// interpreter until the script ends, fails or is stopped, closes the data
// file, writes the frequency-response copy when the scanner window waits for
// one, and tells the navigator that it has finished.
//
// The interpreter state belongs to this thread. The output memo, the end of
// a run and every window request reach the window thread through
// synchronised calls that give up when the thread is shut down, so closing
// the program never waits on a call that cannot run.

#include "platform/CheckedWrite.h"
#include "script/ScriptInterpreter.h"
#include "script/ScriptRunner.h"
#include "script/ScriptStatements.h"

#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qvt {

class TQVTIniFile;

class TScriptThread : public IScriptRunner, private IScriptHost, private IScriptRun {
public:
    // `programFolder` holds scripts/, data/ and Filter/ (with a trailing "/").
    TScriptThread(IScriptDevice& device, const QString& programFolder);
    ~TScriptThread() override;
    TScriptThread(const TScriptThread&) = delete;
    TScriptThread& operator=(const TScriptThread&) = delete;

    // ---- hooks, run in the window thread -------------------------------------------------
    // A line for the navigator's memo.
    std::function<void(const QString& line)> OutputLine;
    // The run has ended (the navigator's Run/Stop button goes up).
    std::function<void()> Finished;
    // WRITELN's RES: the fast scan's pending statistics text, taken.
    std::function<QString()> TakeResult;
    // The scanner window waits for a frequency response: its calibration
    // file and the axis measured. False when it does not wait.
    std::function<bool(TQVTIniFile*& scannerIni, bool& axisX)> ResponseWanted;
    // The response copy written (file name without folder).
    std::function<void(const QString& fileName)> ResponseWritten;

    // ---- IScriptRunner (window thread) ----------------------------------------------------
    bool Active() const override { return active_; }
    // With no `path`, the script is looked for in scripts/.
    void Start(const QString& name, const QString& path) override;
    void RequestStop() override;
    // Stops the run, frees a waiting scan statement and joins the thread.
    void Shutdown();

    // Set on RequestStop and Shutdown, cleared by Start: long waits end on it.
    const std::atomic<bool>& StopRequested() const { return stopRequested_; }
    const std::atomic<bool>& Terminating() const { return terminating_; }
    // The interpreter's run flag, for the device's synchronised calls.
    const std::atomic<bool>& Running() const { return script_.Running; }
    // The first error of the last run (0: none). Read once the run has ended.
    int LastError() const { return lastError_; }
    // The nice value the thread runs at (below the window thread's).
    int Nice() const { return nice_; }
    QString DataName() const;

private:
    void Body();
    void RunOnce(const QString& name, const QString& path);
    bool Sync(const std::function<void()>& fn);
    bool OpenDataFile(const QString& dataName);
    // Puts the data file in place; false, and the run's error, when it
    // could not be written whole.
    bool CloseDataFile();
    void WriteResponseCopy();

    // IScriptHost
    void WriteMemoLine(const QString& line) override;
    void WriteDataLine(const QString& line) override;
    void StoreCalibration(const QString& name, double value) override;
    QString TakeResultText() override;
    void RunStatement(int code, TScriptInterpreter& script) override;
    // IScriptRun
    int NewDataFile(const QString& dataName) override;

    IScriptDevice& device_;
    const QString folder_;
    TScriptInterpreter script_;
    TScriptStatements statements_;
    std::unique_ptr<TCheckedFile> dataFile_;
    QString dataPath_;
    QString dataName_;
    mutable std::mutex dataNameMutex_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool startPending_ = false;
    bool terminate_ = false;
    QString name_;
    QString path_;
    std::atomic<bool> active_{false};
    std::atomic<bool> terminating_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<int> lastError_{0};
    std::atomic<int> nice_{0};
    std::thread thread_;
};

extern TScriptThread* ScriptThread;

// The scan filter values the response file begins with: a0 a1 a2 b0 b1 of
// FilterX (or FilterY), then of FilterX2 (FilterY2), as the file holds them.
std::array<QString, 10> ResponseFilterValues(const TQVTIniFile& scannerIni, bool axisX);
// The response file: one line of the ten values, TAB separated, then the
// lines of the data file, written whole or not at all (an old one then stays
// as it was). False when either file cannot be used.
bool WriteResponseFile(const QString& dataFile, const QString& target, const std::array<QString, 10>& filter);

} // namespace qvt
