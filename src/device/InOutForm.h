#pragma once
// The device window: the program's only path to the controller. A window-less
// object living in the window thread; the worker threads call its request
// operations too, so everything they touch is atomic or locked.
//
// It opens the driver by name, reads and writes registers under the
// controller's rules, paces short waits with the driver's delay, checks the
// link with the echo register, keeps the control words and the two events,
// and owns the channel scales and the feedback record.

#include "device/ControllerCaps.h"
#include "device/FeedbackRecord.h"
#include "device/LockInRequests.h"
#include "device/SpektRequests.h"
#include "platform/DeviceDriver.h"
#include "platform/ManualResetEvent.h"

#include <QObject>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QTimer;

namespace qvt {

class TIOScale;

// Base of the auxiliary registers (LED power, motor status): 32, or 256 on a
// type-29 controller. Fixed when the device window is created.
extern int32_t AuxRegisterBase;

// The driver's delay unit: microseconds, the unit every caller of DelayUs uses.
constexpr double DelayUnitsPerSecond = 1.0e6;

class TInOutForm : public QObject {
    Q_OBJECT

public:
    explicit TInOutForm(QObject* parent = nullptr);
    ~TInOutForm() override;
    TInOutForm(const TInOutForm&) = delete;
    TInOutForm& operator=(const TInOutForm&) = delete;

    // Creation and destruction steps of the device window.
    void FormCreate();
    void FormDestroy();
    // A fatal start error was reported ("Device-Driver not started!",
    // "Problems with Events!"): the program is to end with a failure status.
    bool StartFailed() const { return startFailed_.load(); }

    // ---- the link -------------------------------------------------------------------
    bool OpenDriver();
    bool IsOpen() const { return link_.load() != nullptr; }
    DeviceDriver* Driver() const { return link_.load(); }
    // One synchronous request. Refused (false, nothing sent, no wait) while
    // the link is not open.
    bool Ioctl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned = nullptr);
    size_t BulkRead(void* buffer, size_t size, int timeoutMs);

    // ---- registers ------------------------------------------------------------------
    // Sets LastIoOk; a failed read returns the calling thread's last reply.
    int32_t ReadReg(int32_t reg);
    // The same with the success given to the caller alone.
    int32_t ReadReg(int32_t reg, bool& ok);
    // Registers from 63 on are refused with a box on a card of type 27 or
    // lower; DAC1..DAC8 (registers 32..39) are held inside their channel limits.
    void WriteReg(int32_t reg, int32_t value);

    // ---- waits and link check --------------------------------------------------
    // A busy wait of `us` microseconds carried out by the driver. Short waits
    // accumulate until they outweigh the cost of a request; a count of zero or
    // less waits nothing and leaves the debt as it was.
    void DelayUs(int32_t us);
    // Measures DelayOverhead (microseconds per delay request, never negative).
    void CalibrateDelay();
    // Echo test of register 45 for 0.2 s; true when a warning was shown.
    bool TestCommunication();
    // Seconds on the clock that times the calibration and the echo test: the
    // system's monotonic clock when unset. Tests give the simulator's clock,
    // so their results do not depend on how busy the machine is.
    std::function<double()> LinkClock;

    // ---- control words and LEDs ----------------------------------------------------
    void SetControlBits(int32_t clear, int32_t set);  // ControlWord via IOCTL_SET_CONTROL
    void SetControlBits2(int32_t clear, int32_t set); // ControlWord2 via register 45
    // One IOCTL_SET_LED request per value.
    void WriteLedValues(int count, const int32_t* values);

    // ---- events ------------------------------------------------------------------------
    // Set by the driver when a move has ended.
    ManualResetEvent& GoXYWaitEvent();
    // Set when a frame is complete or a waiting script is released.
    ManualResetEvent PictureReadyEvent;

    // ---- channel scales (InOutFormScales.cpp) ------------------------------------
    bool ReadScales();
    bool ReloadScales();
    float ReadChannelPhys(int slot);
    bool SetDacPhys(int channel, double value);

    // ---- feedback record (InOutFormFeedback.cpp) ---------------------------------
    void UpdateFeedback();
    void SendFeedbackRecord();
    void SetSlopeCompensation(bool on);
    TFeedbackRecordState FeedbackState;
    // Runs after every UpdateFeedback, on the thread that sent it (the fast z loop follows the record).
    std::function<void()> FeedbackSent;

    // The tip's move to raw X/Y, waiting for arrival: set by the workers that
    // own the move engine (TDeviceWorkers), cleared when they go.
    std::function<void(int64_t x, int64_t y)> MoveTipTo;
    // The scanner's position sensors as the scan thread uses them: on while
    // its linearisation is on, the sensors' program channels and the gain
    // by which spectroscopy pulls the tip onto its point. Set with MoveTipTo.
    struct TPositionSensors {
        bool On = false;
        int32_t ChannelX = 0;
        int32_t ChannelY = 0;
        double KiGo = 0.0;
    };
    std::function<TPositionSensors()> PositionSensors;

    // ---- bias and Z ---------------------------------------------------------------------
    // The bias in the bias channel's unit; returns the value as quantised.
    double SetBias(double value);
    void SetZ(double value);

    // ---- state ---------------------------------------------------------------------------
    std::atomic<bool> LastIoOk{false};
    std::atomic<int32_t> ControlWord{0};
    std::atomic<int32_t> ControlWord2{0};
    std::atomic<int32_t> DelayOverhead{0}; // delay units per request
    std::atomic<int32_t> DelayDebt{0};     // delay units asked for but not yet spent
    std::atomic<bool> RetractFlag{false};  // set by the retract, read by the feedback record
    std::atomic<int32_t> LockInPrescaler{8};
    // Fixed at creation, before any worker thread exists.
    // UsbBox from the driver's name as the link opens, BoxVersion and
    // BoxSubVersion read from the box right after.
    TControllerCaps Caps;
    int32_t InstanceNumber = -2;
    // The program's version word, stored by the About box as it opens.
    uint32_t ProgramVersion = 0;

    // Reply buffers kept by the device window (zeroed at creation).
    std::array<int32_t, 1025> OsziReply{};  // 4100 bytes
    std::array<int32_t, 1024> SpektReply{}; // 4096 bytes

    // ---- oscilloscopes (OsziPoll.cpp) -----------------------------------------------
    // OsziTimer, every 200 ms: the channel snapshot into OsziReply.
    void OsziTimerTimer();
    // OszTimer, every 100 ms: the four trace buffers into OsziBuffers.
    void TimerOszi2Timer();
    void StartOsziTimer();
    void StopOsziTimer();
    bool OsziTimerActive() const;
    bool OszTimerActive() const;
    void ConfigOsziAcquisition();
    void StartOszi2();
    void StopOszi2();
    void BuildUsbChannelList(bool forResonance, bool flag, int32_t code);
    // The USB box's sampling list, sent with the oscilloscope set-up.
    int32_t UsbChannelCount = 0;
    std::array<int32_t, UsbChannelListEntries> UsbChannelList{};

    // ---- lock-in (LockInRequests.cpp) -------------------------------------------------
    void SetLockInFrequency(double hz);
    // Picks the smallest range that holds the amplitude; returns it as applied.
    double SetDriveAmplitude(double volts);
    // True when the amplitude does not fit the range (nothing sent then).
    bool SetAmplitudeRange(int range, double volts);
    void SendAmplitudeScale(double scale);
    void SetLockInGain(int32_t gain);
    void SetReferenceFrequency(double hz);
    // Returns the phase as applied.
    double SetLockInPhase(int harmonic, double degrees);
    void SetPhaseShifter(int32_t gain, double phase, double hz);
    void SetLockInFilter(int filter, int timeConstant, int slope);
    void SendMultiLockInChannel(int k);
    TDncStatus ReadDncStatus();
    // The mean raw value of the feedback input over 1024 reads.
    int32_t AverageChannel();
    // Turns the reference phase so the phase channel reads zero at the
    // present frequency; keeps the GUI for about three time constants.
    void DncAutoPhase();
    // Words per volt of an amplitude range ("dnc"/"Scale3", "Scale2", "Scale0").
    double AmplitudeScale(int range) const;
    TLockInHooks LockInHooks;
    int32_t DncStatusWord = 0; // word 3 of the last status read

    // ---- spectroscopy (InOutFormSpekt.cpp) --------------------------------------------
    // Physical X/Y to the record's raw pair; x and y are given back as quantised.
    void SetSpektPosition(double& x, double& y);
    // Each returns the value as the controller takes it.
    double SetSpektDelay(double us);
    double SetSpektSampleTime(double us);
    void SetSpektChannel(int slot, const TIOScale& scale);
    // A Z value (Z units) and a bias (V) on their channels' digit grids.
    double QuantizeZ(double z);
    // Where n points of bias and Z would take the outputs, Z reckoned from
    // where it holds the tip now (the tables are clamped to the outputs, so a
    // point beyond them would only drive an output to its rail).
    TSpektReach SpektReach(const double* bias, const double* z, int n);
    // How far toward the sample a Z ramp may press the tip (physical Z; infinity: no bound).
    double SpektPressMax() const;
    double QuantizeBias(double u);
    // With the position-sensor linearisation on: one step of pulling the
    // tip onto the physical point (x, y) by the sensors' readings.
    void TrackXY(double x, double y);
    // The position sensors are there to track with.
    bool SpektTracking() const;
    // n points of bias and Z (the spectroscopy window's columns); `kind` tells
    // whether Z goes as differences.
    bool LoadSpektRamp(const double* bias, const double* z, int n, int32_t kind);
    // Kind and DataPoints come from the current kind's section (SpektModeName);
    // "cmAFM X(U)" runs in contact mode and gets its mode back at the end.
    bool StartSpektroscopy();
    void StopSpektroscopy();
    // Timer3, one shot per run: reads the six result slots into SpektSlots.
    void Timer3Spekt();
    bool Timer3Active() const;
    TSetSpektRecord SpektRecord; // window thread only
    double SpektTargetX = 0.0;   // the point as SetSpektPosition left it
    double SpektTargetY = 0.0;
    std::array<std::array<int32_t, SpektPoints>, 6> SpektSlots{};
    std::array<int, 6> SpektReturned{}; // readings each slot's reply held

signals:
    // A fatal start error: the main window closes itself on it.
    void startAborted();
    // The channel scales were reloaded: windows showing scaled values refresh.
    void scalesReloaded();
    // The reference oscillator was set to `hz`, whoever set it.
    void referenceFrequencySet(double hz);
    // A channel snapshot is in OsziReply (the simple oscilloscope takes it).
    void osziSnapshot();
    // New trace buffers for the three-trace oscilloscope or the noise measurement.
    void threeTraceFrame();
    void noiseFrame();
    // The three-trace oscilloscope's run button follows this.
    void threeTraceRunning(bool running);
    // The resonance frequency word or the multi lock-in values changed.
    void multiLockInChanged();
    // DAC11 (the drive monitor) got a new factor: the three-trace oscilloscope rescales.
    void driveMonitorRescaled();
    // Overload or Q-control clipping changed; showWindow: "dncopt"/"ShowOnError".
    void dncStatusChanged(bool overload, bool qClip, bool showWindow);
    // The result slots of a run are in SpektSlots (`points` readings each).
    void spektDataReady(int points);

private:
    double LinkSeconds() const;
    void AbortStart(const QString& message);
    void CloseDriver();

    void CreateOsziTimers();

    QTimer* osziTimer_ = nullptr; // OsziTimer
    QTimer* oszTimer_ = nullptr;  // OszTimer
    QTimer* timer3_ = nullptr;    // Timer3, made with the first run
    void RestoreSpektFeedback();
    int32_t spektModeBefore_ = -2; // feedback mode before the run (−2: none taken)
    bool dncOverload_ = false;
    bool dncQClip_ = false;
    std::shared_ptr<DeviceDriver> driver_;
    std::atomic<DeviceDriver*> link_{nullptr};
    std::atomic<bool> startFailed_{false};
    // Serialises the read-modify-send of each control word, so the words
    // reach the controller in the order they were made.
    std::mutex controlMutex_;
    // DelayUs and CalibrateDelay share the debt.
    std::mutex delayMutex_;
    ManualResetEvent idleGoXYWait_; // stands in while no driver is open
};

extern TInOutForm* InOutForm;

// The second device window: opens the second lock-in device for the lock-in window.
class TInOut2Form : public QObject {
    Q_OBJECT

public:
    explicit TInOut2Form(QObject* parent = nullptr);
    ~TInOut2Form() override;
    TInOut2Form(const TInOut2Form&) = delete;
    TInOut2Form& operator=(const TInOut2Form&) = delete;

    void FormCreate();
    // Opens "\\.\LockIn"; false without a message when it is not there.
    bool OpenLockInDevice();
    bool Opened() const { return device_ != nullptr; }
    DeviceDriver* Driver() const { return device_.get(); }
    bool Ioctl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned = nullptr);

    uint32_t ReadRegCode = 0;

private:
    std::shared_ptr<DeviceDriver> device_;
};

extern TInOut2Form* InOut2Form;

} // namespace qvt
