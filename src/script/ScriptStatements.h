#pragma once
// The statements that act on the instrument and the windows. They read their
// arguments through the interpreter and act through IScriptDevice, which the
// program implements with the real windows and the link, and the tests with
// a fake. Everything here runs in the script thread.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace qvt {

class TScriptInterpreter;

// Results of the control requests.
enum ControlResult : int {
    ControlDone = 0,
    ControlNotDone = 31,   // no such window or control, or a red edit afterwards
    ControlNotHandled = -1 // a kind of control the request does not know
};

// The coarse axes of MOVE.
enum class TCoarseAxis { X, Y, Z };

class IScriptDevice {
public:
    virtual ~IScriptDevice() = default;

    // ---- windows, each a synchronised call into the window thread ----------------------
    // Sets the control `name` of the window `window` (object names) as the
    // operator would and runs its handler; a ControlResult.
    virtual int SetControlValue(const QString& window, const QString& name, const QString& text) = 0;
    virtual int GetControlValue(const QString& window, const QString& name, QString& text) = 0;
    virtual bool ControlVisible(const QString& window, const QString& name) = 0;
    // Runs the action of item `index` of a popup menu; ControlNotDone for a
    // missing menu or item, a separator or a disabled item.
    virtual int ClickMenuItem(const QString& window, const QString& menu, int index) = 0;
    virtual void ClearMemo() = 0;
    virtual void Beep() = 0;
    // The coarse motor: positive n right, backward, up.
    virtual void CoarseSteps(TCoarseAxis axis, int n) = 0;
    // Lets pending window messages run once.
    virtual void ProcessMessages() = 0;

    // ---- the link, called from the script thread -----------------------------------------
    virtual int32_t ReadReg(int32_t reg) = 0;
    virtual void WriteReg(int32_t reg, int32_t value) = 0;
    virtual void SetDacPhys(int channel, double value) = 0;
    // The bias of the current feedback set, and the bias output.
    virtual double CurrentBias() = 0;
    virtual void SetBias(double volts) = 0;
    // A hardware-timed wait of the controller.
    virtual void DelayUs(int32_t us) = 0;
    // A navigator frame fraction (0..1) to a position, and the move there.
    virtual void FractionToPosition(double fx, double fy, double& x, double& y) = 0;
    virtual void GoToXYPhys(double x, double y) = 0;

    // ---- scans ---------------------------------------------------------------------------
    // Main window: RepeatButton up, ScanButton down, Scan as the script,
    // for `lines` lines (ScanParams.LinesLeft; 0 the frame). False when the
    // scan did not start (TakeBoxTexts says why); a running scan then keeps
    // its own line count.
    virtual bool StartScan(int32_t lines) = 0;
    virtual bool FastSpeedButtonDown() = 0;
    // ScanButton up as the operator does it: a running scan pauses. Also
    // done once the script is stopped, so the scan a statement started does
    // not run on; given up only when the program closes (which ends the scan).
    virtual void PauseScan() = 0;
    virtual void ResetPictureReady() = 0;
    // Waits for the end of a frame; a negative time-out waits without limit.
    // Also ends when the script is stopped. False on time-out or stop.
    virtual bool WaitPictureReady(int timeoutMs) = 0;

    // ---- spectroscopy, resonance, laser ---------------------------------------------------
    // One spectroscopy run, as the acquire button gives it; returns once the
    // run has ended, or once the script was stopped and the run with it.
    // False when the run did not start.
    virtual bool SpectroscopyRun() = 0;
    // One resonance sweep the same way.
    virtual bool ResonanceSweep() = 0;
    // The crosshairs window's laser button; false when that window does not exist.
    virtual bool SetLaserButton(bool on) = 0;

    // ---- time ----------------------------------------------------------------------------
    // Sleeps without letting window messages run in this thread.
    virtual void SleepMs(int ms) = 0;
    // A steady clock in seconds.
    virtual double Seconds() = 0;
    virtual QDateTime LocalNow() = 0;
    // Frees a scan statement waiting for its frame (stop, shutdown).
    virtual void WakeWaits() {}
    // The texts of the boxes the windows asked for in this thread's calls
    // since the last time, taken: nobody is there to answer a box for a
    // script (and under a box the operator could not stop it), so they are
    // not shown and answer as dismissed.
    virtual QStringList TakeBoxTexts() { return {}; }
};

// What the statements need of the run around them.
class IScriptRun {
public:
    virtual ~IScriptRun() = default;
    virtual void WriteDataLine(const QString& line) = 0;
    virtual void WriteMemoLine(const QString& line) = 0;
    // FILENAME: closes the data file and opens data/<name>.txt; 0 or an error code (30, 17).
    virtual int NewDataFile(const QString& dataName) = 0;
};

// The object names of the windows the statements reach.
namespace ScriptWindows {
inline const QString Main = QStringLiteral("MainQVTForm");
inline const QString ScanPara = QStringLiteral("ScanParaForm");
inline const QString Spekt = QStringLiteral("SpektForm");
inline const QString Dnc = QStringLiteral("dncForm");
} // namespace ScriptWindows

class TScriptStatements {
public:
    TScriptStatements(IScriptDevice& device, IScriptRun& run);

    // Runs the statement `code` whose keyword is the current token.
    void Run(int code, TScriptInterpreter& script);

    // WAIT's clock period and the longest VPULSE the controller times itself.
    static constexpr int PollMs = 50;
    static constexpr double HardwarePulseLimit = 0.01;

private:
    // Argument reading: each raises the error named and returns false.
    bool Sign(const char* sign, int error); // the next token is `sign`, else `error`
    bool Open();                            // "(" (10)
    bool Comma();                           // "," (13)
    // SPECTPARA and DNCPARA: (name or number, value).
    bool NameOrNumberAndValue(bool& named, QString& name, double& n, double& v);
    bool Close();           // ")" (11)
    bool Number(double& v); // an expression (16)
    bool Text(QString& s, int error = 29);

    void Line();
    void NumbersOnly(int count);
    void FileName();
    void Wait();
    void GetChannel();
    void Move();
    void SpectStart();
    void SpectPara();
    void ScanImage(bool oneLine);
    void ScanPara();
    void FeedPara();
    void VPulse();
    void GoXY();
    void SetChannel();
    void SetLaser();
    void DncStart();
    void DncPara();
    void GetFeedPara();

    // Sets a control; a result of 31 is the script's error 31.
    bool Set(const QString& window, const QString& name, const QString& text);
    bool Click(const QString& window, const QString& name);
    // False for a ControlNotDone, which is error 31 unless the script was stopped.
    bool Done(int result);
    // The outcome of a start (scan, spectroscopy, sweep): a start the program
    // refused is error 31 rather than a wait for something that never comes.
    bool Started(bool started);
    // The windows' box texts to the memo, before anything else is said.
    void SayBoxTexts();
    // Sleeps in steps of at most PollMs until `seconds` have passed or the script stops.
    void SleepFor(double seconds);
    bool Stopped() const;
    void Error(int code);

    IScriptDevice& device_;
    IScriptRun& run_;
    TScriptInterpreter* script_ = nullptr;
};

// FILENAME's data name: name + "_" + the local time in whole seconds since 30 December 1899.
QString StampedDataName(const QString& name, const QDateTime& localTime);
// GETCHANNEL's value: the first ADC slot (26..58) with that address, the
// DAC slot -a for -25..0; `error` 33 below -25.
double ChannelValue(int address, int32_t raw, int& error);
// The FEEDPARA / GETFEEDPARA edit of a name, empty when unknown.
QString FeedParaEdit(const QString& upperName);

} // namespace qvt
