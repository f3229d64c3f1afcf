#pragma once
// A script device without windows or controller: controls are a table of
// texts, the link a table of registers, the clock a counter that each sleep
// moves on. Every call is logged, so a test reads what a script did. Calls
// come from the script thread; the test reads between runs.

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "script/ScriptStatements.h"
#include "script/ScriptThread.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace qvt::test {

class TFakeScriptDevice : public IScriptDevice {
public:
    // ---- what a test arranges ---------------------------------------------------------------
    // "window/name" → text; a name missing here is a missing control.
    std::map<QString, QString> Controls;
    // "window/name" of edits that turn red whatever they get.
    std::set<QString> RedControls;
    std::set<QString> Hidden;
    // "window/menu" → items; "-" is a separator.
    std::map<QString, QStringList> Menus;
    std::map<int32_t, int32_t> Registers;
    double Bias = 0.25;
    bool LaserWindow = true;
    bool FastButton = false;
    // The scan's frame arrives (true) or the wait times out (false).
    bool FrameArrives = true;
    // Whether a scan, spectroscopy or sweep starts, and the box the program shows when not.
    bool Starts = true;
    QString Refusal;
    // Real milliseconds each sleep takes (0: none), for tests that stop a wait.
    int RealSleepMs = 0;
    QDateTime Now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));

    // ---- what the script did -------------------------------------------------------------------
    QStringList Log() const
    {
        std::lock_guard lock(mutex_);
        return log_;
    }
    QStringList Memo() const
    {
        std::lock_guard lock(mutex_);
        return memo_;
    }
    void AddMemo(const QString& line)
    {
        std::lock_guard lock(mutex_);
        memo_ << line;
    }
    double Clock() const { return clockMs_ / 1000.0; }
    int WaitTimeout() const { return waitTimeout_; }

    int SetControlValue(const QString& window, const QString& name, const QString& text) override
    {
        const QString key = window + "/" + name;
        Note("set " + key + " " + text);
        std::lock_guard lock(mutex_);
        if (!Controls.count(key))
            return ControlNotDone;
        Controls[key] = text;
        return RedControls.count(key) ? ControlNotDone : ControlDone;
    }
    int GetControlValue(const QString& window, const QString& name, QString& text) override
    {
        const QString key = window + "/" + name;
        std::lock_guard lock(mutex_);
        if (!Controls.count(key) || RedControls.count(key))
            return ControlNotDone;
        text = Controls[key];
        return ControlDone;
    }
    bool ControlVisible(const QString& window, const QString& name) override
    {
        const QString key = window + "/" + name;
        return Controls.count(key) && !Hidden.count(key);
    }
    int ClickMenuItem(const QString& window, const QString& menu, int index) override
    {
        const QString key = window + "/" + menu;
        const auto it = Menus.find(key);
        if (it == Menus.end() || index < 0 || index >= it->second.size() || it->second[index] == "-")
            return ControlNotDone;
        Note("menu " + key + " " + it->second[index]);
        return ControlDone;
    }
    void ClearMemo() override
    {
        std::lock_guard lock(mutex_);
        memo_.clear();
    }
    void Beep() override { Note("beep"); }
    void CoarseSteps(TCoarseAxis axis, int n) override
    {
        Note(QString("steps %1 %2").arg("XYZ"[static_cast<int>(axis)]).arg(n));
    }
    void ProcessMessages() override {}

    int32_t ReadReg(int32_t reg) override
    {
        Note(QString("read %1").arg(reg));
        std::lock_guard lock(mutex_);
        return Registers[reg];
    }
    void WriteReg(int32_t reg, int32_t value) override { Note(QString("write %1 %2").arg(reg).arg(value)); }
    void SetDacPhys(int channel, double value) override { Note(QString("dac %1 %2").arg(channel).arg(value)); }
    double CurrentBias() override { return Bias; }
    void SetBias(double volts) override { Note(QString("bias %1").arg(volts)); }
    void DelayUs(int32_t us) override { Note(QString("delay %1").arg(us)); }
    void FractionToPosition(double fx, double fy, double& x, double& y) override
    {
        x = fx * 1000.0;
        y = fy * 1000.0;
    }
    void GoToXYPhys(double x, double y) override { Note(QString("goxy %1 %2").arg(x).arg(y)); }

    bool StartScan(int32_t lines) override
    {
        if (Starts)
            ScanParams.LinesLeft = lines;
        return Start("scan");
    }
    bool FastSpeedButtonDown() override { return FastButton; }
    // What the program does at the frame's end (the auto save, say).
    std::function<void()> OnFrame;
    void PauseScan() override { Note("pause"); }
    void ResetPictureReady() override {}
    bool WaitPictureReady(int timeoutMs) override
    {
        waitTimeout_ = timeoutMs;
        Note("wait frame");
        if (FrameArrives && OnFrame)
            OnFrame();
        return FrameArrives;
    }

    bool SpectroscopyRun() override { return Start("spectroscopy"); }
    bool ResonanceSweep() override { return Start("resonance"); }
    QStringList TakeBoxTexts() override
    {
        std::lock_guard lock(mutex_);
        return std::exchange(boxTexts_, QStringList());
    }
    bool SetLaserButton(bool on) override
    {
        Note(QString("laser %1").arg(on));
        return LaserWindow;
    }

    void SleepMs(int ms) override
    {
        if (RealSleepMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(RealSleepMs));
        clockMs_ += ms;
    }
    double Seconds() override { return clockMs_ / 1000.0; }
    QDateTime LocalNow() override { return Now; }

private:
    bool Start(const QString& what)
    {
        Note(what);
        if (!Starts) {
            std::lock_guard lock(mutex_);
            boxTexts_ << Refusal;
        }
        return Starts;
    }
    void Note(const QString& line)
    {
        std::lock_guard lock(mutex_);
        log_ << line;
    }

    mutable std::mutex mutex_;
    QStringList log_;
    QStringList boxTexts_;
    QStringList memo_;
    std::atomic<int64_t> clockMs_{1000000};
    std::atomic<int> waitTimeout_{0};
};

// The controls of the windows the statements reach, as the program has them.
inline void ArrangeWindows(TFakeScriptDevice& device)
{
    for (const char* name :
         {"Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit8", "Edit9", "Edit14", "ComboBox1"})
        device.Controls[ScriptWindows::ScanPara + "/" + name] = "0";
    for (const char* name : {"ComboBox1", "Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "SaveButton"})
        device.Controls[ScriptWindows::Spekt + "/" + name] = "0";
    for (const char* name : {"Edit1", "Edit2", "Edit3", "Edit4", "ComboBox2", "ComboBox3", "RedBandwidthButton",
                             "SaveButton", "InputRadio1", "InputRadio10", "InputRadio100"})
        device.Controls[ScriptWindows::Dnc + "/" + name] = "0";
    device.Controls[ScriptWindows::Main + "/SaveButton"] = "0";
    device.Menus[ScriptWindows::ScanPara + "/PopupMenu1"] = {"Piezo", "One Step", "Auto Approach", "Fast Approach",
                                                             "-"};
    device.Menus[ScriptWindows::ScanPara + "/PopupMenu2"] = {"Piezo", "One Step"};
    device.Menus[ScriptWindows::Main + "/ScanPopup"] = {"1D", "2D", "cont. on restart"};
}

// A script thread on the fake device in a program folder of its own:
// scripts/ and data/ inside it, MainIni a settings file there.
class TFakeScriptRig {
public:
    TFakeScriptRig() : ini_(dir_.Path() + "qvt.ini")
    {
        QDir(dir_.Path()).mkpath("scripts");
        QDir(dir_.Path()).mkpath("data");
        savedIni_ = MainIni;
        MainIni = &ini_;
        Restart();
    }
    // A new thread: variables back to 0, the memo empty.
    void Restart()
    {
        thread_.reset();
        Device.ClearMemo();
        thread_ = std::make_unique<TScriptThread>(Device, dir_.Path());
        thread_->OutputLine = [this](const QString& line) { Device.AddMemo(line); };
    }
    ~TFakeScriptRig()
    {
        thread_.reset();
        MainIni = savedIni_;
    }

    void AddScript(const QString& name, const QByteArray& text) const { dir_.WriteFile("scripts/" + name, text); }
    // Runs scripts/<name> to its end; the error code of the run.
    int Run(const QString& name)
    {
        thread_->Start(name, QString());
        EXPECT_TRUE(PumpUntil([this] { return !thread_->Active(); }, 60000)) << name.toStdString();
        return thread_->LastError();
    }
    // Writes the script and runs it.
    int RunText(const QByteArray& text)
    {
        AddScript("test.scr", text);
        return Run("test.scr");
    }
    // The lines of the run's data file (its CR LF ends removed).
    QStringList DataLines() const
    {
        QFile file(dir_.Path() + "data/" + thread_->DataName() + ".txt");
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n");
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    QString Folder() const { return dir_.Path(); }
    TScriptThread& Thread() { return *thread_; }
    TQVTIniFile& Ini() { return ini_; }

    TFakeScriptDevice Device;

private:
    TempDir dir_;
    TQVTIniFile ini_;
    TQVTIniFile* savedIni_ = nullptr;
    std::unique_ptr<TScriptThread> thread_;
};

} // namespace qvt::test
