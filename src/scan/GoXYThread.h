#pragma once
// The XY scan thread: takes images line by line. It turns the scan
// parameters into raw geometry (ScanGeometry), runs the line loop (run-in,
// forward, backward, return and lift pass of each line, LineAcquisition) and
// hands the end of each frame to the window thread.
//
// Threads: PrepareScan, StartScan, PauseScan, StopScanButton and ScanDone run
// in the window thread; the line loop runs in the scan thread. The geometry
// and fit weights are published under a lock and adopted by the scan thread
// at the start of each line, so a parameter edit during a line cannot tear
// it. Everything the window thread reads while a scan runs is atomic.

#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "motion/MoveEngine.h"
#include "platform/WorkerThread.h"
#include "scan/ImageBuffers.h"
#include "scan/LineAcquisition.h"
#include "scan/ScanGeometry.h"

#include <QObject>

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace qvt {

class TInOutForm;
class TShowThread;

// What the scan needs from windows that come later: the main window's
// buttons and menus, the image windows, file output, the scan parameter
// window. Called in the window thread only. The defaults stand for "that
// window does not exist yet": nothing is pressed, nothing is shown.
class IScanHost {
public:
    virtual ~IScanHost() = default;
    virtual void PressScanButton() {}
    virtual bool ScanButtonDown() const { return false; }
    // Releases the Scan button and runs the main window's Scan handler.
    virtual void ReleaseScanButton() {}
    virtual bool FastSpeedButtonDown() const { return false; }
    virtual bool RepeatButtonDown() const { return false; } // "Continuous Scan"
    virtual bool SaveButtonDown() const { return false; }
    virtual bool ContOnRestart() const;                // [Main] ContOnRestart of the settings
    virtual bool AutoLevelOn() const { return false; } // "Active Level" is "auto"
    virtual void ClearStatusText() {}
    virtual void ShowStatusText(const QString& text) { (void)text; }
    // Every image window finishes its frame; a shown 3D view redraws.
    virtual void FinishFrame() {}
    virtual void SaveFrame() {}
    // The scan parameter window sends the new plane correction.
    virtual void SendPlaneCorrection() {}
    // "Try to Stop Scan. Please wait!"
    virtual void ShowStopScanMessage(bool visible) { (void)visible; }
};

inline const char* const ScanThreadDiedText = "Sorry. Error occurred!\rPlease retract the tip and restart QVT.exe!";

// A request the scan cannot go on without failed.
class TScanFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The settings one frame is measured with. A line measured with others
// begins another frame: a frame never mixes two.
struct TFrameSettings {
    int Pixels = 0;
    float Range = 0.0f;
    float Speed = 0.0f;
    float XCenter = 0.0f;
    float YCenter = 0.0f;
    float Angle = 0.0f;
    double OverScan = 0.0;
    bool LineScan = false;
    int FlyOn = 0;
    bool operator==(const TFrameSettings&) const = default;
};
TFrameSettings FrameSettingsOf(const TScanParams& params, int flyOn);

// One buffer of a frame: the matrix its rows went into and the scale they
// were read with.
struct TFrameBuffer {
    int Index = -1;
    TImageMatrixPtr Matrix;
    uint64_t MatrixId = 0; // of the buffer's own matrix (a taken frame holds a copy)
    bool HasScale = false;
    TIOScale Scale;
};
// The same scale as far as the readings' meaning goes.
bool SameScale(const TIOScale& a, const TIOScale& b);
// The status line at a frame end the Save button did not save: "Frame not
// saved: <measured> of <rows> lines measured with the present settings".
QString FrameNotSavedText(int measured, int rows);

// What the image buffers hold, as a frame: the rows measured with one set of
// settings into the same matrices. Every save of a scan frame (the File menu,
// the Save button, the automatic save, scripts) asks this record, for the
// move-by-move scan and the fast scan alike. Thread-safe: the scan threads
// tell it, the window thread takes frames from it.
class TFrameRecord {
public:
    enum class TState { None, Partial, Whole };
    struct TFrame {
        TState State = TState::None;
        int Rows = 0;
        int Measured = 0; // rows measured with Settings
        TFrameSettings Settings;
        std::vector<TFrameBuffer> Buffers; // Take: copies of the readings
    };

    // Scan thread, before the first reading of a line goes into row `row`
    // (-1: the first reading of a fast-scan frame, which begins a frame): a
    // frame already whole, or one of other settings, is over; the row is no
    // longer measured.
    void LineBegins(const TFrameSettings& settings, int row);
    // The line into row `row` was measured whole, into the matrices `written`.
    // A matrix or scale other than the frame's begins the frame again.
    void LineMeasured(int row, const std::vector<TFrameBuffer>& written);
    // The end of a frame of the move-by-move scan: rows of one that is not
    // whole are no part of the next.
    void FrameEnds();
    // The fast scan: every row of the frame came in, with these settings.
    void FrameMeasured(const TFrameSettings& settings, std::vector<TFrameBuffer> buffers);
    bool Whole() const;
    // The frame as it stands; a whole one with its own copy of the readings,
    // taken before any later line can write into them (unless `readings` is false).
    TFrame Take(bool readings = true) const;

private:
    void Restart(const TFrameSettings& settings);

    mutable std::mutex mutex_;
    bool begun_ = false;
    TFrameSettings settings_;
    std::vector<uint8_t> measured_;
    int measuredCount_ = 0;
    std::vector<TFrameBuffer> buffers_;
};

class TGoXYThread : public QObject {
    Q_OBJECT

public:
    // `moves` is the device window's move engine, shared with the joystick
    // and the window thread; it must outlive the thread.
    TGoXYThread(TInOutForm& form, TMoveEngine& moves, TScanParams& params = ScanParams, QObject* parent = nullptr);
    ~TGoXYThread() override; // stops and joins the thread
    TGoXYThread(const TGoXYThread&) = delete;
    TGoXYThread& operator=(const TGoXYThread&) = delete;

    // Window thread, before the scan starts.
    void SetHost(IScanHost* host) { host_ = host ? host : &noHost_; }
    void SetShowThread(TShowThread* show) { show_.store(show); }

    // ---- window thread ---------------------------------------------------------------
    // Presses nothing itself: plans the geometry and, unless it failed, sets
    // Running and resumes the thread. False when the scan did not start.
    bool StartScan();
    // Plans the frame from the current parameters. False (after
    // StopScanButton) when the scan may not run with it.
    bool PrepareScan();
    // True when a scan was running; it stops within the wait, which delivers
    // no events (a frame waiting to be handed over is finished meanwhile).
    bool PauseScan();
    // The Scan button up, the scan stopped, the range edit red.
    void StopScanButton();
    // While a pause is under way (the status timer calls it every tick): as
    // long as the thread still runs, its move is stopped and a move waiting
    // for it let go; once the thread is parked, the move state is taken from
    // the controller and the stop message hidden. Nothing without a pause.
    void CompletePause();
    // A pause no status timer will complete (the program ends): completes it
    // here as the timer would, tick after tick without events, so a long move
    // under way is stopped rather than waited for. Returns once the thread
    // has parked and the tip position is taken from the controller, or after
    // `boundMs`; true when the thread has parked.
    bool FinishPause(int boundMs);
    // The scan's share of the status timer (the one heartbeat): completes a
    // pause and, while the scan runs, wakes the display thread for one pass.
    void StatusTick();
    bool StopMessageShown() const { return stopMessageShown_; }
    // End of a frame (sent by the scan thread).
    void ScanDone();
    // Ends the thread and waits for it.
    void Terminate();

    // The fast scan sends this thread's list first (while this thread is parked).
    void SendChannelListFor(int plane) { SendChannelList(plane); }
    // For the guarded buffer operations of the channel selection.
    IScanControl& ScanControl() { return scanControl_; }
    bool ScanActive() const { return !worker_.Suspended(); }
    bool Suspended() const { return worker_.Suspended(); }

    // The channel choice's summary (window thread): some backward box, some
    // lift box checked. The line loop reads the first to run the backward
    // pass, the scan start the second. Until a channel choice has published
    // them, the open buffers tell.
    void PublishChoiceSummary(bool anyBackward, bool anyFly);
    std::atomic<bool> AnyBackwardChecked{false};
    std::atomic<bool> AnyFlyChecked{false};

    // ---- state ------------------------------------------------------------------------
    TMoveEngine& Moves() { return moves_; }
    TImageChannels Channels;
    // What the buffers hold as a frame (both scans write into Channels).
    TFrameRecord& Frame() { return frame_; }
    const TFrameRecord& Frame() const { return frame_; }
    std::atomic<bool> Running{false};
    std::atomic<bool> HardLinOn{false};
    std::atomic<int32_t> TrackChannelX{0}; // program channel indices of the position sensors
    std::atomic<int32_t> TrackChannelY{0};
    std::atomic<double> KiPoly{0.0};
    std::atomic<double> KiGo{0.0};
    std::atomic<int32_t> Direction{1};

    // The coefficients last set (until a line has taken them) or the ones
    // the lines work with.
    TLinCoefficients Linearisation() const;
    // Taken at the next line start, together with the geometry published
    // with them.
    void SetLinearisation(const TLinCoefficients& k);
    // Window thread: a new frame's geometry and coefficients, set while a
    // change is open, reach the thread as one when it ends; until then each
    // line keeps the pair it had.
    class TChange {
    public:
        explicit TChange(TGoXYThread* scan) : scan_(scan)
        {
            if (scan_ != nullptr)
                scan_->BeginChange();
        }
        ~TChange()
        {
            if (scan_ != nullptr)
                scan_->EndChange();
        }
        TChange(const TChange&) = delete;
        TChange& operator=(const TChange&) = delete;

    private:
        TGoXYThread* scan_;
    };
    TFitResults FitResults() const;
    // The geometry last planned (the thread may still run with the one before).
    TScanGeometry Geometry() const;
    // Sensor readings of the last line; read them only while the thread is parked.
    const TTrack& TrackX() const { return trackX_; }
    const TTrack& TrackY() const { return trackY_; }
    const TTrack& TrackXBack() const { return trackXBack_; }
    const TTrack& TrackYBack() const { return trackYBack_; }

signals:
    // The scan has stopped: the main window releases its Scan button.
    void scanStopped();
    // Moves were clamped or the scan failed: the range edit turns red.
    void rangeClamped();
    // A frame was handed over (after ScanDone has run).
    void frameDone();
    // The position-sensor fit ran into a limit of its coefficients or came
    // back inside them (window thread).
    void linearisationHoldsChanged();

private:
    struct TSnapshot {
        TScanGeometry Geometry;
        std::shared_ptr<const TFitWeights> Weights;
        // Coefficients set from the window, numbered so a line takes each set once.
        TLinCoefficients Lin;
        uint64_t LinSerial = 0;
        TFrameSettings Settings; // what the files say the geometry was made of
    };

    void BeginChange();
    void EndChange();
    // Under snapshotMutex_: where the window thread publishes now.
    TSnapshot& Publishing() { return changes_ > 0 ? staged_ : published_; }
    const TSnapshot& Publishing() const { return changes_ > 0 ? staged_ : published_; }

    void Execute(WorkerThread& thread);
    void RunFrames(WorkerThread& thread);
    void StartLine(const TScanGeometry& g);
    void AdoptSnapshot();
    // One line; true when it had a backward pass.
    bool AcquireLine(int line);
    // The pixels of one pass; false when the line was abandoned.
    bool Pass(int line, int plane, const TLinePlan& lp, TQuadCubic kx, TQuadCubic ky);
    void LiftPass(int line, const TLinePlan& lp);
    bool BackwardWanted() const;
    bool FlyWanted() const;
    void SendChannelList(int plane);
    void ProcessLine(bool backward);
    void Store(int row, int col, const TGoXYReply& reply);
    // Runs `fn` in the window thread, unless this object is gone by then.
    void Post(std::function<void()> fn);
    void HideStopMessage();
    // Window thread: runs ScanDone when the scan thread is waiting for it
    // and nobody else has.
    void RunPendingFrameEnd();
    void ThreadDied();

    class TControl final : public IScanControl {
    public:
        explicit TControl(TGoXYThread& scan) : scan_(scan) {}
        bool ScanActive() const override { return scan_.ScanActive(); }
        void PauseScan() override { scan_.PauseScan(); }

    private:
        TGoXYThread& scan_;
    };

    TControl scanControl_{*this};
    TInOutForm& form_;
    TMoveEngine& moves_;
    TScanParams& params_;
    IScanHost noHost_;
    IScanHost* host_ = &noHost_;
    std::atomic<TShowThread*> show_{nullptr};

    // Published by PrepareScan and SetLinearisation, adopted by the thread
    // at each line start; while a change is open they go to staged_.
    mutable std::mutex snapshotMutex_;
    TSnapshot published_;
    TSnapshot staged_;
    int changes_ = 0;
    uint64_t linSerial_ = 0;
    // The scan thread's own copy.
    TSnapshot line_;

    TFrameRecord frame_;
    // Scan thread: the buffers the line under way has written whole.
    std::vector<TFrameBuffer> lineWritten_;
    void NoteWritten(int pixels);

    mutable std::mutex linMutex_;
    TLinCoefficients lin_;
    TFitResults fit_;
    bool linHolds_ = true; // LinearisationHolds(lin_), as last told
    uint64_t adoptedLinSerial_ = 0;

    // Scan thread only (or while it is parked).
    TChannelList list_;
    std::array<TImageMatrixPtr, GoXYReadings> rows_{}; // buffer snapshots of the listed channels
    bool listSensors_ = false;
    TTrack trackX_{}, trackY_{}, trackXBack_{}, trackYBack_{};
    int32_t previousFirstAddress_ = 0;
    std::array<std::bitset<ImageChannelCount>, ImagePlaneCount> lastCandidates_{};

    std::atomic<bool> choiceSummary_{false}; // a channel choice publishes the flags
    bool stopMessageShown_ = false;          // window thread
    // Pending until the window thread takes the frame, Finishing while it
    // finishes it, Done once the scan thread may go on.
    enum : int { FrameEndNone, FrameEndPending, FrameEndFinishing, FrameEndDone };
    std::atomic<int> frameEnd_{FrameEndNone}; // the hand-over of a finished frame
    std::atomic<bool> terminating_{false};
    WorkerThread worker_;
};

} // namespace qvt
