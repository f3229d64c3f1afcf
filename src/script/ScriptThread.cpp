#include "script/ScriptThread.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "platform/CheckedWrite.h"
#include "platform/ThreadPriority.h"
#include "platform/WindowThread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace qvt {

TScriptThread* ScriptThread = nullptr;

TScriptThread::TScriptThread(IScriptDevice& device, const QString& programFolder)
    : device_(device), folder_(programFolder), script_(*this), statements_(device, *this)
{
    thread_ = std::thread([this] { Body(); });
    if (ScriptThread == nullptr)
        ScriptThread = this;
}

TScriptThread::~TScriptThread()
{
    Shutdown();
    if (ScriptThread == this)
        ScriptThread = nullptr;
}

// ---- the window thread's side ------------------------------------------------------------

void TScriptThread::Start(const QString& name, const QString& path)
{
    std::lock_guard lock(mutex_);
    if (active_ || terminate_)
        return;
    name_ = name;
    path_ = path;
    stopRequested_ = false;
    script_.Running = true;
    active_ = true;
    startPending_ = true;
    wake_.notify_all();
}

void TScriptThread::RequestStop()
{
    stopRequested_ = true;
    script_.Running = false;
}

void TScriptThread::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        terminate_ = true;
        wake_.notify_all();
    }
    // A synchronised call still pending gives up on this flag, so the join
    // below never waits on the window thread that is doing the joining.
    terminating_ = true;
    RequestStop();
    if (active_)
        device_.WakeWaits();
    if (thread_.joinable())
        thread_.join();
}

QString TScriptThread::DataName() const
{
    std::lock_guard lock(dataNameMutex_);
    return dataName_;
}

// ---- the thread -----------------------------------------------------------------------------

void TScriptThread::Body()
{
    // Below the window thread and the acquisition workers.
    SetCurrentThreadPriority(ThreadPriority::Lower);
    nice_ = CurrentThreadNice();
    for (;;) {
        QString name, path;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return startPending_ || terminate_; });
            if (terminate_)
                break;
            startPending_ = false;
            name = name_;
            path = path_;
        }
        RunOnce(name, path);
        active_ = false;
    }
    active_ = false;
}

bool TScriptThread::Sync(const std::function<void()>& fn)
{
    return SendToWindowThread(fn, [this] { return terminating_.load(); });
}

void TScriptThread::RunOnce(const QString& name, const QString& path)
{
    script_.BeginRun();
    script_.ScriptFolder = folder_ + "scripts/";
    // The folder the navigator chose the script in, else the program's scripts/.
    const QString file = path.isEmpty() ? script_.ScriptFolder + name : QDir(path).filePath(name);
    script_.LoadProgram(file);
    if (!OpenDataFile("NoName"))
        script_.ScriptError(ErrDataFile);
    while (script_.Running) {
        script_.Step();
        std::this_thread::yield();
    }
    // The response is read from the data file: never from an older one
    // that a failed write left in its place.
    const bool stored = CloseDataFile();
    lastError_ = script_.ErrorCode;
    if (stored)
        WriteResponseCopy();
    Sync([this] {
        if (Finished)
            Finished();
    });
}

bool TScriptThread::OpenDataFile(const QString& dataName)
{
    CloseDataFile();
    {
        std::lock_guard lock(dataNameMutex_);
        dataName_ = dataName;
    }
    // Written under a temporary name and put in place at its close, so a
    // full disk leaves the file of the run before as it was.
    dataPath_ = folder_ + "data/" + dataName + ".txt";
    dataFile_ = std::make_unique<TCheckedFile>(dataPath_);
    if (dataFile_->ErrorNumber() == 0)
        return true;
    dataFile_.reset();
    return false;
}

bool TScriptThread::CloseDataFile()
{
    if (!dataFile_)
        return true;
    const bool committed = dataFile_->Commit();
    dataFile_.reset();
    // Data that did not reach the disk is the run's error.
    if (!committed)
        script_.ScriptError(ErrFileIo);
    return committed;
}

void TScriptThread::WriteResponseCopy()
{
    TQVTIniFile* scannerIni = nullptr;
    bool axisX = true;
    bool wanted = false;
    Sync([&] { wanted = ResponseWanted && ResponseWanted(scannerIni, axisX) && scannerIni != nullptr; });
    if (!wanted)
        return;
    const QString fileName = DataName() + ".txt";
    QDir().mkpath(folder_ + "Filter");
    const QString target = folder_ + "Filter/" + fileName;
    if (!WriteResponseFile(dataPath_, target, ResponseFilterValues(*scannerIni, axisX))) {
        TellFileTrouble(target, "not written", "Response file " + target + " cannot be written.");
        return;
    }
    Sync([&] {
        if (ResponseWritten)
            ResponseWritten(fileName);
    });
}

// ---- what the interpreter and the statements hand out -------------------------------------------

void TScriptThread::WriteMemoLine(const QString& line)
{
    Sync([&] {
        if (OutputLine)
            OutputLine(line);
    });
}

void TScriptThread::WriteDataLine(const QString& line)
{
    // Scripts are 8-bit text, their data files too; CR LF as everywhere.
    // A line that cannot be stored ends the run: its data would be lost.
    if (dataFile_ && !dataFile_->Write(line.toLatin1() + "\r\n"))
        script_.ScriptError(ErrFileIo);
}

void TScriptThread::StoreCalibration(const QString& name, double value)
{
    const QDateTime now = device_.LocalNow();
    Sync([&] {
        if (MainIni != nullptr)
            WriteCalibrationValue(*MainIni, name, value, now);
    });
}

QString TScriptThread::TakeResultText()
{
    QString text;
    Sync([&] {
        if (TakeResult)
            text = TakeResult();
    });
    return text;
}

void TScriptThread::RunStatement(int code, TScriptInterpreter& script)
{
    statements_.Run(code, script);
}

int TScriptThread::NewDataFile(const QString& dataName)
{
    return OpenDataFile(dataName) ? 0 : ErrDataFile;
}

// ---- the frequency-response copy ------------------------------------------------------------

std::array<QString, 10> ResponseFilterValues(const TQVTIniFile& scannerIni, bool axisX)
{
    const QString first = axisX ? "FilterX" : "FilterY";
    std::array<QString, 10> values;
    const char* keys[5] = {"a0", "a1", "a2", "b0", "b1"};
    for (int section = 0; section < 2; ++section) {
        const QString name = section == 0 ? first : first + "2";
        for (int k = 0; k < 5; ++k)
            values[static_cast<size_t>(section * 5 + k)] =
                scannerIni.ReadString(name, keys[k], k == 0 ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return values;
}

bool WriteResponseFile(const QString& dataFile, const QString& target, const std::array<QString, 10>& filter)
{
    QFile in(dataFile);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = in.readAll();
    QByteArray head;
    for (size_t i = 0; i < filter.size(); ++i) {
        if (i > 0)
            head += '\t';
        head += filter[i].toLatin1();
    }
    return WriteFileWhole(target, head + "\r\n" + data).isEmpty();
}

} // namespace qvt
