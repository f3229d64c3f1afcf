#pragma once
// The fast scan: on a type-29 controller or a USB box the controller's own
// generator scans, the module streams the listed channels, and this worker
// sorts the stream into the scan thread's image buffers and hands every
// finished frame to the window thread.

#include "scan/FastScan.h"
#include "scan/GoXYThread.h"

#include "platform/WorkerThread.h"
#include "scan/ImageBuffers.h"

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace qvt {

class TInOutForm;
class TGoXYThread;
class TShowThread;
class IScanHost;
struct TScanParams;

class TFastScanThread : public QObject {
    Q_OBJECT

public:
    TFastScanThread(TInOutForm& form, TGoXYThread& scan, TShowThread& show, TScanParams& params,
                    QObject* parent = nullptr);
    ~TFastScanThread() override; // stops and joins the thread
    TFastScanThread(const TFastScanThread&) = delete;
    TFastScanThread& operator=(const TFastScanThread&) = delete;

    // The controller can scan by itself: type 29 or a USB box.
    bool Available() const;

    // ---- window thread -----------------------------------------------------------------
    void SetHost(IScanHost* host) { host_ = host; }
    // Writes the generator's registers for the present scan parameters.
    void Prepare();
    // Starts the stream and resumes the thread (the Scan button in fast mode).
    void Start();
    void Stop();
    void EnterFastMode();
    void LeaveFastMode();
    // WM_FAST_SCAN_FRAME and WM_FAST_SCAN_DONE. `measured`: every row of the
    // frame came in during it; only such a frame is saved.
    void FrameDone(bool measured);
    void ScanDone();
    // The statistics text for a waiting script; the sums start again.
    QString ReportStatistics();
    // The open forward buffers of `plane` as the stream's channel list.
    void SendChannelList(int plane);
    bool Suspended() const { return worker_.Suspended(); }
    // Waits until the thread is parked; the wait delivers no events.
    bool WaitSuspended(int timeoutMs) const { return worker_.WaitSuspended(timeoutMs); }
    void Terminate();

    // ---- state -------------------------------------------------------------------------------
    std::atomic<bool> Running{false};
    std::atomic<int32_t> StartPixel{0};
    std::atomic<int32_t> TurnLines{1};    // set with StreamDelay by the high-speed settings
    std::atomic<double> StreamDelay{0.0}; // s
    std::atomic<bool> CorrectZ{false};
    std::atomic<int32_t> FastLine{1};
    std::atomic<int32_t> Downward{0};
    std::atomic<uint32_t> MaxWords{0};
    std::atomic<double> LineFrequency{0.0};
    std::atomic<int32_t> Pixels{0}; // the pixel count the stream runs with
    std::atomic<bool> StatisticsActive{false};
    // A script waits for statistics: only every second frame is handed over.
    std::atomic<bool> ScriptWaiting{false};
    int ChannelCount() const { return channelCount_; }
    const std::vector<int32_t>& ReadAddresses() const { return readAddresses_; }
    int64_t FramesDone() const { return frames_.load(); }

    // Hooks set by the code that creates the later windows (window thread).
    std::function<void(int)> ShowMemoryProgress; // the main window's progress bar
    std::function<void(int)> SetPixels;          // WM_SET_PIXELS to the scan parameter window
    std::function<void(const QString&)> StatisticsReady;

signals:
    void frameDone();
    void scanDone();

private:
    void Execute(WorkerThread& thread);
    // End of a frame or of the run; false when the thread is to park.
    bool FrameEnd(WorkerThread& thread);
    void PostScanDone(); // from the worker
    void SendOsziRequest(int32_t control);
    void ConfigureParser();
    // The buffers the stream writes, with their scales now (parser lock held).
    std::vector<TFrameBuffer> StreamBuffers() const;
    void StoresBegin(); // the parser's hook, parser lock held

    TInOutForm& form_;
    TGoXYThread& scan_;
    TShowThread& show_;
    TScanParams& params_;
    IScanHost* host_ = nullptr;

    // Set by the window thread while the thread is parked.
    int channelCount_ = 0;
    std::vector<int32_t> readAddresses_;
    std::vector<int> channelIndexList_;
    std::array<TImageMatrixPtr, FastMaxChannels> targets_{};
    int32_t dLine_ = 0;
    int64_t frameStamp_ = 0;

    // The parser belongs to the thread while it streams; the window thread
    // reaches it (set-up, statistics, entering the mode) under this lock.
    mutable std::mutex parserMutex_;
    TFastStreamParser parser_;
    // The settings the generator runs with, and whether they changed after
    // the frame under way began to be stored (then it is no frame).
    TFrameSettings frameSettings_;
    bool frameStoring_ = false;
    bool settingsChanged_ = false;
    // The frame under way began at a turn of the generator; the first after a
    // start begins wherever the stream stood, its rows counted from a guess.
    bool fromTurn_ = false;
    std::vector<TFrameBuffer> frameBuffers_; // as the frame began
    std::vector<uint8_t> buffer_;
    int64_t frameCount_ = 0;
    int lastPixelsPosted_ = -1;
    std::atomic<int64_t> frames_{0};

    WorkerThread worker_;
};

} // namespace qvt
