#include "scan/FastScanThread.h"

#include "core/IniFile.h"
#include "core/PerfCounter.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/HandOver.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace qvt {

namespace {

constexpr int32_t StartControlCard = 135; // DMA, fast feedback, scan, apply
constexpr int32_t StartControlUsb = 130;  // fast feedback, apply
constexpr int32_t StopControl = 130;
constexpr int32_t LeaveControl = 128; // apply only
constexpr int ReadTimeoutMs = 20;     // a stop is seen within this
constexpr int FlushTimeoutMs = 2;
constexpr int FlushReadsMax = 1001;
constexpr int GoXYWaitMs = 50;
constexpr int RegFastDirection = 142;
constexpr int RegFastStartLine = 144;
constexpr int RegDPixel = 129;
constexpr int RegDLine = 145;
constexpr double LeaveReferenceHz = 20000.0;
constexpr int MaxIdOnStart = 21;
constexpr int MaxIdOnEnter = 15;
constexpr int StopWaitMs = 2000;

} // namespace

TFastScanThread::TFastScanThread(TInOutForm& form, TGoXYThread& scan, TShowThread& show, TScanParams& params,
                                 QObject* parent)
    : QObject(parent), form_(form), scan_(scan), show_(show), params_(params),
      worker_([this](WorkerThread& t) { Execute(t); }, ThreadPriority::Higher)
{
    buffer_.resize(FastReadBytes);
    parser_.StoresBegin = [this] { StoresBegin(); };
}

TFastScanThread::~TFastScanThread()
{
    Terminate();
}

void TFastScanThread::Terminate()
{
    Running = false;
    worker_.Terminate();
    worker_.Join();
}

bool TFastScanThread::Available() const
{
    return form_.Caps.FastScanPresent();
}

void TFastScanThread::SendOsziRequest(int32_t control)
{
    OsziRequest.HighSpeedControl = control;
    form_.OsziTimerTimer();
}

// ---- channel list ---------------------------------------------------------------------------

void TFastScanThread::SendChannelList(int plane)
{
    // The move-by-move scan's own list goes first, as the controller expects.
    scan_.SendChannelListFor(plane);
    readAddresses_.clear();
    channelIndexList_.clear();
    bool tooMany = false;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        const int k = ImageChannelIndex(slot, plane);
        if (!scan_.Channels[k].HasBuffer())
            continue;
        // The oscilloscope request holds 14 channels and the terminator.
        if (static_cast<int>(readAddresses_.size()) >= FastMaxStreamChannels) {
            tooMany = true;
            break;
        }
        channelIndexList_.push_back(k);
        readAddresses_.push_back(ChannelTable[slot].Address.load());
    }
    channelCount_ = static_cast<int>(readAddresses_.size());
    if (tooMany)
        ShowMessage(MsgKind::Information, QString::fromLatin1(TooManyChannelsText));
}

// ---- set-up ----------------------------------------------------------------------------------

void TFastScanThread::Prepare()
{
    const int32_t saved = OsziRequest.HighSpeedControl.load();
    const bool scanning = (saved & HscScanOn) != 0;
    if (scanning) {
        SendOsziRequest((saved & ~HscScanOn) | HscApplyRequest);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TFastPrepareInput in;
    in.Speed = params_.Speed.load();
    in.Pixels = params_.Pixels.load();
    in.TurnLines = TurnLines.load();
    in.OverScan = MainIni ? MainIni->ReadFloat("ScanPara", "OverScan", 5.0) : params_.OverScan.load();
    in.XCenter = params_.XCenter.load();
    in.YCenter = params_.YCenter.load();
    in.XSensitivity = XSensitivity.load() != 0.0 ? XSensitivity.load() : 1.0;
    in.YSensitivity = YSensitivity.load() != 0.0 ? YSensitivity.load() : 1.0;
    in.Angle = params_.Angle.load();
    in.Range = params_.Range.load();
    in.FactorX = ChannelTable[2].Factor.load();
    in.FactorY = ChannelTable[3].Factor.load();
    in.XMin = ChannelTable[2].MinRaw.load();
    in.XMax = ChannelTable[2].MaxRaw.load();
    in.YMin = ChannelTable[3].MinRaw.load();
    in.YMax = ChannelTable[3].MaxRaw.load();
    in.Lin = scan_.Linearisation();
    in.LineScan = params_.LineScan.load();
    in.Negative129 = form_.ReadReg(RegDPixel) < 0;
    in.Negative145 = form_.ReadReg(RegDLine) < 0;
    in.StreamDelay = StreamDelay.load();
    const TFastPrepareResult r = PrepareFastScan(in);
    for (const auto& [reg, value] : r.Writes)
        form_.WriteReg(reg, value);
    dLine_ = r.DLine;
    LineFrequency = r.LineFrequency;
    StartPixel = r.StartPixel;
    form_.SetReferenceFrequency(r.LineFrequency);
    if (scanning)
        SendOsziRequest(saved | HscApplyRequest);
    // The frame under way was begun with other settings: it is none.
    std::lock_guard lock(parserMutex_);
    const TFrameSettings now = FrameSettingsOf(params_, 0);
    if (frameStoring_ && !(now == frameSettings_))
        settingsChanged_ = true;
    frameSettings_ = now;
}

std::vector<TFrameBuffer> TFastScanThread::StreamBuffers() const
{
    std::vector<TFrameBuffer> buffers;
    const int pixels = parser_.Config().Pixels;
    for (int i = 0; i < channelCount_; ++i) {
        const TImageMatrixPtr& m = targets_[static_cast<size_t>(i)];
        if (!m || m->Rows() != pixels || m->Cols() != pixels)
            continue;
        TFrameBuffer b;
        b.Index = channelIndexList_[static_cast<size_t>(i)];
        b.Matrix = m;
        b.MatrixId = m->Id();
        if (const TIOScale* scale = scan_.Channels[b.Index].Scale) {
            b.HasScale = true;
            b.Scale = *scale;
        }
        buffers.push_back(std::move(b));
    }
    return buffers;
}

void TFastScanThread::StoresBegin()
{
    // Whatever the buffers held as a frame is being overwritten now.
    scan_.Frame().LineBegins(frameSettings_, -1);
    frameStoring_ = true;
    settingsChanged_ = false;
    frameBuffers_ = StreamBuffers();
}

void TFastScanThread::ConfigureParser()
{
    TFastStreamParser::TConfig c;
    c.Pixels = params_.Pixels.load();
    c.ChannelCount = channelCount_;
    c.TurnLines = TurnLines.load();
    c.StartPixel = StartPixel.load();
    const int mode = MicroscopeState.FeedbackMode.load();
    const int32_t statsAddress =
        mode == FeedbackCmAFM ? FastStatsAddressMode3 : (mode == FeedbackNcAFMR ? FastStatsAddressMode4 : -1000);
    for (int i = 0; i < channelCount_; ++i) {
        if (readAddresses_[static_cast<size_t>(i)] == statsAddress) {
            c.StatsChannel = i;
            break;
        }
    }
    std::lock_guard lock(parserMutex_);
    const int fastLine = parser_.FastLine;
    parser_.Configure(c);
    parser_.FastLine = fastLine;
    targets_.fill(nullptr);
    for (int i = 0; i < channelCount_; ++i) {
        targets_[static_cast<size_t>(i)] = scan_.Channels[channelIndexList_[static_cast<size_t>(i)]].Data();
        parser_.SetTarget(i, targets_[static_cast<size_t>(i)].get());
    }
    parser_.StatsOn = StatisticsActive.load();
    frameSettings_ = FrameSettingsOf(params_, 0);
    frameSettings_.Pixels = c.Pixels;
    frameStoring_ = false;
    settingsChanged_ = false;
    Pixels = c.Pixels;
}

void TFastScanThread::Start()
{
    if (!worker_.Suspended())
        return;
    form_.StopOsziTimer();
    Prepare();
    SendChannelList(0);
    const std::vector<int32_t> ids = FastOsziIds(readAddresses_, MaxIdOnStart);
    OsziRequest.Count = static_cast<int32_t>(ids.size());
    for (size_t i = 0; i < ids.size(); ++i)
        OsziRequest.Ids[i] = ids[i];
    SendOsziRequest(form_.InstanceNumber < 0 ? StartControlCard : StartControlUsb);
    // What the module streamed before is of no use.
    size_t flushed = 0;
    // Without a channel the module streams nothing to flush.
    const int flushReads = channelCount_ > 0 ? FlushReadsMax : 0;
    for (int reads = 0; reads < flushReads && flushed <= 2u * static_cast<size_t>(std::max(0, Pixels.load())); ++reads)
        flushed += form_.BulkRead(buffer_.data(), buffer_.size(), FlushTimeoutMs);
    ConfigureParser();
    {
        std::lock_guard lock(parserMutex_);
        fromTurn_ = false;
    }
    frameStamp_ = ReadTimestamp();
    // Until the first frame is in, the display judges by the line time the
    // generator was set up for.
    if (const double speed = params_.Speed.load(); speed > 0.0)
        params_.LineTime = static_cast<int64_t>(static_cast<double>(PerfFrequency()) / (2.0 * speed));
    Running = true;
    worker_.Resume();
}

void TFastScanThread::Stop()
{
    Running = false;
    SendOsziRequest(StopControl);
}

void TFastScanThread::EnterFastMode()
{
    if (!worker_.Suspended()) {
        // A run still ending: it parks at its next empty read.
        Stop();
        worker_.WaitSuspended(StopWaitMs);
    }
    form_.StopOsziTimer();
    int32_t x = 0, y = 0;
    scan_.Moves().Position(x, y);
    form_.WriteReg(RegFilterX, x);
    form_.WriteReg(RegFilterY, y);
    Prepare();
    const bool upward = scan_.Direction.load() != -1;
    form_.WriteReg(RegDLine, upward ? std::abs(dLine_) : -std::abs(dLine_));
    Downward = upward ? 0 : 1;
    form_.WriteReg(RegFastDirection, upward ? 2 : 0);
    {
        std::lock_guard lock(parserMutex_);
        parser_.Downward = Downward;
        parser_.PreviousDownward = Downward;
        parser_.FastLine = params_.CurrentLine.load();
    }
    FastLine = params_.CurrentLine.load();
    form_.WriteReg(RegFastStartLine, FastStartLineWord(params_.CurrentLine.load(), params_.Pixels.load()));
    SendChannelList(0);
    const std::vector<int32_t> ids = FastOsziIds(readAddresses_, MaxIdOnEnter);
    OsziRequest.Count = static_cast<int32_t>(ids.size());
    for (size_t i = 0; i < ids.size(); ++i)
        OsziRequest.Ids[i] = ids[i];
    SendOsziRequest(StopControl);
    form_.UpdateFeedback();
}

void TFastScanThread::LeaveFastMode()
{
    SendOsziRequest(LeaveControl);
    const int32_t x = form_.ReadReg(RegFilterX);
    const int32_t y = form_.ReadReg(RegFilterY);
    form_.WriteReg(RegX, x);
    form_.WriteReg(RegY, y);
    scan_.Moves().Sync();
    form_.SetReferenceFrequency(LeaveReferenceHz);
    form_.UpdateFeedback();
    params_.CurrentLine = static_cast<int16_t>(std::clamp(FastLine.load(), 1, std::max(1, int(params_.Pixels.load()))));
    scan_.Direction = (form_.ReadReg(RegFastDirection) & 0x2) != 0 ? 1 : -1;
}

// ---- frame hand-over (window thread) -----------------------------------------------------

void TFastScanThread::FrameDone(bool measured)
{
    const int p = Pixels.load();
    show_.FirstLine = Downward.load() ? p : 1;
    show_.RedrawAll = true;
    show_.Resume();
    if (host_ && !host_->RepeatButtonDown() && form_.InstanceNumber < 0)
        Running = false;
    const int64_t now = ReadTimestamp();
    if (p > 0)
        params_.LineTime = (now - frameStamp_) / p;
    frameStamp_ = now;
    if (ShowMemoryProgress)
        ShowMemoryProgress(static_cast<int>(MaxWords.load() / (form_.Caps.Usb() ? 32u : 1000u)));
    // A frame begun part-way (the first after entering the fast mode starts
    // at the current line) holds rows from before: saved, they would read as
    // heights measured in it.
    if (host_ && host_->SaveButtonDown()) {
        if (measured) {
            host_->SaveFrame();
        } else {
            const TFrameRecord::TFrame f = scan_.Frame().Take(false);
            host_->ShowStatusText(FrameNotSavedText(f.Measured, f.Rows));
        }
    }
    if (StatisticsActive.load() && ScriptWaiting.load()) {
        const QString text = ReportStatistics();
        if (StatisticsReady)
            StatisticsReady(text);
    }
    emit frameDone();
}

void TFastScanThread::ScanDone()
{
    if (host_)
        host_->ReleaseScanButton();
    Stop();
    form_.PictureReadyEvent.Set();
    emit scanDone();
}

QString TFastScanThread::ReportStatistics()
{
    std::lock_guard lock(parserMutex_);
    const TFastStatistics s = ComputeFastStatistics(parser_.StatSums, parser_.StatCounts, params_.Speed.load());
    parser_.ClearStatistics();
    return FastStatisticsText(params_.Speed.load(), s);
}

void TFastScanThread::PostScanDone()
{
    // Queued to this object rather than to the application, so a scan-done
    // still pending when the scan's owner is destroyed is dropped with it
    // instead of running on freed memory.
    HandOverPost([this] {
        QMetaObject::invokeMethod(
            this, [this] { ScanDone(); }, Qt::QueuedConnection);
    });
}

// ---- the thread ----------------------------------------------------------------------------

bool TFastScanThread::FrameEnd(WorkerThread& thread)
{
    if (Running.load()) {
        ++frameCount_;
        const bool hand = !ScriptWaiting.load() || frameCount_ % 2 == 0;
        bool measured = false;
        {
            std::lock_guard lock(parserMutex_);
            // Whole, from a turn, with the settings and scales it began with.
            measured = parser_.Measured.Whole() && fromTurn_ && frameStoring_ && !settingsChanged_;
            fromTurn_ = true; // frames end at a turn: the next begins there
            std::vector<TFrameBuffer> buffers = StreamBuffers();
            measured = measured && !buffers.empty() && buffers.size() == frameBuffers_.size();
            for (size_t i = 0; measured && i < buffers.size(); ++i)
                measured = buffers[i].MatrixId == frameBuffers_[i].MatrixId &&
                           buffers[i].HasScale == frameBuffers_[i].HasScale &&
                           (!buffers[i].HasScale || SameScale(buffers[i].Scale, frameBuffers_[i].Scale));
            if (measured)
                scan_.Frame().FrameMeasured(frameSettings_, std::move(buffers));
        }
        if (hand)
            // A stop gives up the hand-over, so a pause waiting for this thread cannot stall it.
            SendToWindowThread([this, measured] { FrameDone(measured); }, [this] { return !Running.load(); });
        frames_.fetch_add(1);
        return true;
    }
    PostScanDone();
    thread.SuspendSelf();
    return false;
}

void TFastScanThread::Execute(WorkerThread& thread)
{
    while (!thread.Terminated()) {
        {
            std::lock_guard lock(parserMutex_);
            parser_.BeginFrame();
            frameStoring_ = false;
            settingsChanged_ = false;
            parser_.StatsOn = StatisticsActive.load();
            show_.FirstLine = parser_.FastLine;
        }
        MaxWords = 0;
        bool ended = false;
        bool stopped = false;
        while (!ended && !thread.Terminated()) {
            size_t bytes = 0;
            bool pending = false;
            {
                std::lock_guard lock(parserMutex_);
                pending = parser_.HasPending();
                if (pending)
                    parser_.FeedBytes(nullptr, 0, ended);
            }
            if (!pending) {
                bytes = form_.BulkRead(buffer_.data(), buffer_.size(), ReadTimeoutMs);
                if (bytes == 0) {
                    if (!Running.load()) {
                        stopped = true;
                        break;
                    }
                    if (form_.Caps.Usb())
                        form_.GoXYWaitEvent().Wait(GoXYWaitMs);
                    if (form_.InstanceNumber >= 0 && MainIni != nullptr) {
                        const int p = MainIni->ReadInteger("ScanPara", "ComboBox1", params_.Pixels.load());
                        // Told once per value, not after every empty read.
                        if (p != params_.Pixels.load() && p != lastPixelsPosted_) {
                            lastPixelsPosted_ = p;
                            auto set = SetPixels;
                            if (set)
                                PostToWindowThread([set, p] { set(p); });
                        }
                    }
                    continue;
                }
                MaxWords = std::max<uint32_t>(MaxWords.load(), static_cast<uint32_t>(bytes / 4));
                std::lock_guard lock(parserMutex_);
                parser_.FeedBytes(buffer_.data(), bytes, ended);
            }
            bool newLine = false;
            {
                std::lock_guard lock(parserMutex_);
                newLine = show_.Line.exchange(parser_.LastLine) != parser_.LastLine;
                FastLine = parser_.FastLine;
                Downward = parser_.Downward;
            }
            // The picture grows as the lines come in, not only at the frame's end.
            if (newLine)
                show_.Resume();
        }
        if (thread.Terminated())
            return;
        if (stopped) {
            PostScanDone();
            thread.SuspendSelf();
            continue;
        }
        FrameEnd(thread);
    }
}

} // namespace qvt
