#include "scan/GoXYThread.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/PerfCounter.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/HandOver.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "scan/ShowThread.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <chrono>

namespace qvt {

namespace {

constexpr int PauseWaitSteps = 20;
constexpr int PauseWaitMs = 10;
constexpr int PauseWaitMsUsb = 40;
constexpr int32_t Control2RunIn = 0x1;     // register 45 bit 0: during the run-in
constexpr int32_t Control2FirstLine = 0x2; // register 45 bit 1: during the first line

// `pixels` pixels along one axis of the line, in digits.
int64_t Along(int64_t pixels, double perPixel)
{
    return static_cast<int64_t>(Round(static_cast<double>(pixels) * perPixel));
}

} // namespace

bool IScanHost::ContOnRestart() const
{
    return MainIni != nullptr && MainIni->ReadBool("Main", "ContOnRestart", false);
}

TGoXYThread::TGoXYThread(TInOutForm& form, TMoveEngine& moves, TScanParams& params, QObject* parent)
    : QObject(parent), form_(form), moves_(moves), params_(params),
      worker_([this](WorkerThread& thread) { Execute(thread); }, ThreadPriority::TimeCritical)
{
    moves_.SetScanThread(&worker_);
}

TGoXYThread::~TGoXYThread()
{
    Terminate();
    moves_.SetScanThread(nullptr);
}

void TGoXYThread::Terminate()
{
    // The thread may be waiting for the window thread (the end of a frame);
    // that wait gives up once terminating_ is set, so joining here cannot hang.
    terminating_ = true;
    Running = false;
    worker_.Terminate();
    worker_.Join();
}

// ---- coefficients and geometry -----------------------------------------------------

TLinCoefficients TGoXYThread::Linearisation() const
{
    std::lock_guard lock(snapshotMutex_);
    const TSnapshot& latest = Publishing();
    std::lock_guard linLock(linMutex_);
    return latest.LinSerial != adoptedLinSerial_ ? latest.Lin : lin_;
}

void TGoXYThread::SetLinearisation(const TLinCoefficients& k)
{
    // The window thread sets them and shows them itself.
    std::lock_guard lock(snapshotMutex_);
    TSnapshot& target = Publishing();
    target.Lin = k;
    target.LinSerial = ++linSerial_;
}

void TGoXYThread::BeginChange()
{
    std::lock_guard lock(snapshotMutex_);
    if (changes_++ == 0)
        staged_ = published_;
}

void TGoXYThread::EndChange()
{
    std::lock_guard lock(snapshotMutex_);
    if (--changes_ == 0)
        published_ = staged_;
}

TFitResults TGoXYThread::FitResults() const
{
    std::lock_guard lock(linMutex_);
    return fit_;
}

TScanGeometry TGoXYThread::Geometry() const
{
    std::lock_guard lock(snapshotMutex_);
    return Publishing().Geometry;
}

void TGoXYThread::AdoptSnapshot()
{
    {
        std::lock_guard lock(snapshotMutex_);
        line_ = published_;
    }
    {
        // The coefficients set for this geometry, or the lines' own (the
        // position-sensor fit moves them on) when none came since.
        std::lock_guard lock(linMutex_);
        if (line_.LinSerial != adoptedLinSerial_) {
            adoptedLinSerial_ = line_.LinSerial;
            lin_ = line_.Lin;
            linHolds_ = LinearisationHolds(lin_);
        }
    }
    moves_.MaxStep = line_.Geometry.MaxStep;
    moves_.MoveSteps = line_.Geometry.MoveSteps;
}

// ---- window thread -------------------------------------------------------------------

bool TGoXYThread::PrepareScan()
{
    const TScanSetup setup = CurrentScanSetup(params_);
    params_.OverScan = setup.OverScan;
    const TScanPlan plan = PlanScan(setup, moves_.MaxStep.load());
    if (!plan.Complete()) {
        StopScanButton();
        return false;
    }
    if (MaxScanRange.Range <= setup.Area.Range)
        MaxScanRange.Range = setup.Area.Range;

    // Too fine a geometry is not taken over: the tip would stand still and
    // the joystick and the arrival tests would work with a MaxStep of 0.
    if (!plan.TooFine) {
        const TScanGeometry& g = plan.Geometry;
        std::shared_ptr<const TFitWeights> weights;
        {
            std::lock_guard lock(snapshotMutex_);
            weights = Publishing().Weights;
        }
        if (!weights || weights->Pixels() != g.Pixels) {
            auto built = std::make_shared<TFitWeights>();
            built->Build(g.Pixels);
            weights = std::move(built);
        }
        {
            std::lock_guard lock(snapshotMutex_);
            TSnapshot& target = Publishing();
            target.Geometry = g;
            target.Weights = std::move(weights);
        }
        // While the thread runs it takes the new geometry at its next line.
        if (Suspended()) {
            moves_.MaxStep = g.MaxStep;
            moves_.MoveSteps = g.MoveSteps;
        }
    }

    if (params_.Speed.load() != static_cast<float>(plan.Speed))
        params_.Speed = static_cast<float>(plan.Speed);
    if (!plan.TooFine) {
        // The settings the geometry was made of; the lift pass is told at each line.
        std::lock_guard lock(snapshotMutex_);
        Publishing().Settings = FrameSettingsOf(params_, 0);
    }
    if (plan.Speed > 0) {
        int64_t lineTime = static_cast<int64_t>(Round(PerfFrequency() / plan.Speed));
        if (moves_.FlyOn.load() >= 1)
            lineTime *= 2;
        params_.LineTime = lineTime;
    }
    // A running thread resends the list at its next run-in.
    if (Suspended())
        SendChannelList(PlaneFwd);

    if (!plan.Ok()) {
        StopScanButton();
        return false;
    }
    return true;
}

// ---- the frame record -----------------------------------------------------------------

TFrameSettings FrameSettingsOf(const TScanParams& params, int flyOn)
{
    TFrameSettings s;
    s.Pixels = params.Pixels.load();
    s.Range = params.Range.load();
    s.Speed = params.Speed.load();
    s.XCenter = params.XCenter.load();
    s.YCenter = params.YCenter.load();
    s.Angle = params.Angle.load();
    s.OverScan = params.OverScan.load();
    s.LineScan = params.LineScan.load();
    s.FlyOn = flyOn;
    return s;
}

bool SameScale(const TIOScale& a, const TIOScale& b)
{
    return a.Factor.load() == b.Factor.load() && a.Offset.load() == b.Offset.load() &&
           a.FactorNegative.load() == b.FactorNegative.load() && a.UnitName == b.UnitName;
}

QString FrameNotSavedText(int measured, int rows)
{
    return QString("Frame not saved: %1 of %2 lines measured with the present settings").arg(measured).arg(rows);
}

void TFrameRecord::Restart(const TFrameSettings& settings)
{
    begun_ = true;
    settings_ = settings;
    measured_.assign(static_cast<std::size_t>(std::max(0, settings.Pixels)), uint8_t{0});
    measuredCount_ = 0;
    buffers_.clear();
}

void TFrameRecord::LineBegins(const TFrameSettings& settings, int row)
{
    std::lock_guard lock(mutex_);
    const bool whole = measuredCount_ > 0 && measuredCount_ == static_cast<int>(measured_.size());
    // The fast scan counts its frame's rows itself: rows the move-by-move
    // scan measured before are no part of what the stream writes over.
    if (!begun_ || whole || row < 0 || !(settings == settings_))
        Restart(settings);
    if (row >= 0 && row < static_cast<int>(measured_.size()) && measured_[static_cast<std::size_t>(row)] != 0) {
        measured_[static_cast<std::size_t>(row)] = 0;
        --measuredCount_;
    }
}

void TFrameRecord::LineMeasured(int row, const std::vector<TFrameBuffer>& written)
{
    std::lock_guard lock(mutex_);
    if (!begun_ || row < 0 || row >= static_cast<int>(measured_.size()))
        return;
    if (measuredCount_ == 0) {
        buffers_ = written;
    } else {
        // A buffer the line did not write (freed) leaves the frame; one it
        // wrote anew (allocated meanwhile) never joins it; another matrix or
        // scale under the same buffer makes the rows before no part of it.
        std::vector<TFrameBuffer> kept;
        for (const TFrameBuffer& b : buffers_) {
            const auto same = std::find_if(written.begin(), written.end(),
                                           [&b](const TFrameBuffer& w) { return w.Index == b.Index; });
            if (same == written.end())
                continue;
            if (same->MatrixId != b.MatrixId || same->HasScale != b.HasScale ||
                (b.HasScale && !SameScale(same->Scale, b.Scale))) {
                Restart(settings_);
                kept = written;
                break;
            }
            kept.push_back(b);
        }
        buffers_ = std::move(kept);
    }
    if (measured_[static_cast<std::size_t>(row)] == 0) {
        measured_[static_cast<std::size_t>(row)] = 1;
        ++measuredCount_;
    }
}

void TFrameRecord::FrameMeasured(const TFrameSettings& settings, std::vector<TFrameBuffer> buffers)
{
    std::lock_guard lock(mutex_);
    Restart(settings);
    std::fill(measured_.begin(), measured_.end(), uint8_t{1});
    measuredCount_ = static_cast<int>(measured_.size());
    buffers_ = std::move(buffers);
}

void TFrameRecord::FrameEnds()
{
    std::lock_guard lock(mutex_);
    if (measuredCount_ == static_cast<int>(measured_.size()))
        return;
    std::fill(measured_.begin(), measured_.end(), uint8_t{0});
    measuredCount_ = 0;
    buffers_.clear();
}

bool TFrameRecord::Whole() const
{
    std::lock_guard lock(mutex_);
    return measuredCount_ > 0 && measuredCount_ == static_cast<int>(measured_.size()) && !buffers_.empty();
}

TFrameRecord::TFrame TFrameRecord::Take(bool readings) const
{
    std::lock_guard lock(mutex_);
    TFrame f;
    f.Rows = static_cast<int>(measured_.size());
    f.Measured = measuredCount_;
    f.Settings = settings_;
    // Rows measured into no buffer at all hold nothing to save.
    if (!begun_ || (measuredCount_ == f.Rows && buffers_.empty()))
        return f;
    const bool whole = measuredCount_ > 0 && measuredCount_ == f.Rows && !buffers_.empty();
    f.State = whole ? TState::Whole : TState::Partial;
    if (!whole || !readings)
        return f;
    // Copied under the lock: the next line waits for it before it writes.
    for (const TFrameBuffer& b : buffers_) {
        if (!b.Matrix)
            continue;
        TFrameBuffer copy = b;
        const int rows = b.Matrix->Rows();
        const int cols = b.Matrix->Cols();
        copy.Matrix = std::make_shared<TImageMatrix>(rows, cols);
        std::vector<int32_t> line(static_cast<std::size_t>(cols));
        for (int r = 0; r < rows; ++r) {
            b.Matrix->CopyRow(r, line.data());
            const TImageMatrix::RowRef to = copy.Matrix->Row(r);
            for (int c = 0; c < cols; ++c)
                to.Store(c, line[static_cast<std::size_t>(c)]);
        }
        f.Buffers.push_back(std::move(copy));
    }
    return f;
}

bool TGoXYThread::StartScan()
{
    host_->PressScanButton();
    // With the Fast button down the fast scan thread scans instead.
    if (host_->FastSpeedButtonDown())
        return false;
    // The lift pass follows the recorded Z: it needs the Z forward buffer.
    TDaten& zForward = Channels[ImageChannelIndex(SlotZ, PlaneFwd)];
    if (FlyWanted() && !zForward.HasBuffer() && Suspended())
        zForward.AllocBuffers(params_.Pixels.load(), params_.Pixels.load());
    if (!PrepareScan())
        return false;
    // A restart ends the pause before it: the position is taken over now if
    // the thread is parked, and the stop box goes.
    if (stopMessageShown_) {
        if (worker_.Suspended())
            moves_.Sync();
        HideStopMessage();
    }
    const int line = params_.CurrentLine.load();
    if (line < 1 || line > params_.Pixels.load()) {
        params_.CurrentLine = 1;
        Direction = 1;
    }
    Running = true;
    worker_.Resume();
    return true;
}

bool TGoXYThread::PauseScan()
{
    const bool wasRunning = Running.exchange(false) || !worker_.Suspended();
    if (!wasRunning)
        return false;
    host_->ShowStopScanMessage(true);
    stopMessageShown_ = true;
    // A timed wait that delivers nothing: the scan thread parks after its
    // current move. If it is waiting for the window thread to finish a frame,
    // that is done here, at once, so the frame is handed over (and saved)
    // before the caller changes anything.
    const int stepMs = form_.Caps.Usb() ? PauseWaitMsUsb : PauseWaitMs;
    for (int i = 0; i < PauseWaitSteps && !worker_.Suspended(); ++i) {
        if (IsWindowThread())
            RunPendingFrameEnd();
        worker_.WaitSuspended(stepMs);
    }
    return true;
}

void TGoXYThread::RunPendingFrameEnd()
{
    // Done only once the frame is finished: the scan thread stops waiting on
    // Done, and must not go on (or start the next frame) while the save runs.
    int pending = FrameEndPending;
    if (frameEnd_.compare_exchange_strong(pending, FrameEndFinishing)) {
        ScanDone();
        frameEnd_ = FrameEndDone;
    }
}

void TGoXYThread::CompletePause()
{
    // Only a pause under way (the stop box shown); a scan started again has
    // taken the box away.
    if (!stopMessageShown_)
        return;
    // Still stopping: the move under way is stopped and a move waiting for it
    // is let go, so the thread reaches its next check of Running at once
    // instead of after a slow move. Parked: the stop box stays until the
    // position was taken over, so a pause never leaves a stale tip position
    // behind.
    if (moves_.Sync())
        HideStopMessage();
}

bool TGoXYThread::FinishPause(int boundMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (stopMessageShown_ && std::chrono::steady_clock::now() < end) {
        // Parked: the last move it sent before it saw the pause may still go
        // on in the controller; it is stopped before the position is taken.
        if (worker_.Suspended())
            moves_.SendStop();
        CompletePause();
        if (!stopMessageShown_)
            break;
        if (IsWindowThread())
            RunPendingFrameEnd();
        worker_.WaitSuspended(PauseWaitMs);
    }
    return worker_.Suspended();
}

void TGoXYThread::HideStopMessage()
{
    if (!stopMessageShown_)
        return;
    stopMessageShown_ = false;
    host_->ShowStopScanMessage(false);
}

void TGoXYThread::StatusTick()
{
    CompletePause();
    TShowThread* show = show_.load();
    if (show != nullptr && ScanActive())
        show->Resume();
}

void TGoXYThread::StopScanButton()
{
    if (host_->ScanButtonDown())
        host_->ReleaseScanButton();
    // The main window's Scan handler stops the scan; until it exists, stop it here.
    Running = false;
    emit rangeClamped();
}

void TGoXYThread::ScanDone()
{
    host_->ClearStatusText();
    host_->FinishFrame();
    // A frame interrupted by a new setting (or begun part-way) holds rows
    // that were never measured with it: saved, they would read as heights.
    if (host_->SaveButtonDown()) {
        if (frame_.Whole()) {
            host_->SaveFrame();
        } else {
            const TFrameRecord::TFrame f = frame_.Take(false);
            host_->ShowStatusText(FrameNotSavedText(f.Measured, f.Rows));
        }
    }
    frame_.FrameEnds();

    const int pixels = params_.Pixels.load();
    TShowThread* show = show_.load();
    if (host_->AutoLevelOn() && show != nullptr &&
        FrameCoversImage(show->FirstLine.load(), params_.CurrentLine.load(), pixels)) {
        TDaten& z = Channels[ImageChannelIndex(SlotZ, PlaneFwd)];
        z.ComputeSlopes();
        TLevelInput in;
        in.SlopeX = z.SlopeX.load();
        in.SlopeY = z.SlopeY.load();
        in.Angle = params_.Angle.load();
        in.Range = params_.Range.load();
        in.FactorX = ChannelTable[SlotX].Factor.load();
        in.FactorY = ChannelTable[SlotY].Factor.load();
        in.Pixels = std::max(1, pixels);
        const TLevelCorrection d = AutoLevelCorrection(in);
        params_.LevelDxDz = params_.LevelDxDz.load() + d.DeltaDxDz;
        params_.LevelDyDz = params_.LevelDyDz.load() + d.DeltaDyDz;
        host_->SendPlaneCorrection();
    }
    if (show != nullptr)
        show->FirstLine = params_.CurrentLine.load();
    if (!host_->RepeatButtonDown())
        Running = false;
    const TFrameTurn turn = NextFrame(params_.CurrentLine.load(), Direction.load(), host_->ContOnRestart());
    params_.CurrentLine = static_cast<int16_t>(turn.CurrentLine);
    Direction = turn.Direction;
    if (turn.ResetFirstLine && show != nullptr)
        show->FirstLine = 1;
    form_.PictureReadyEvent.Set();
    emit frameDone();
}

void TGoXYThread::Post(std::function<void()> fn)
{
    HandOverPost([&] { QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection); });
}

void TGoXYThread::ThreadDied()
{
    Post([this] {
        emit scanStopped();
        ShowMessage(MsgKind::Information, QString::fromLatin1(ScanThreadDiedText));
    });
}

// ---- the scan thread --------------------------------------------------------------

void TGoXYThread::Execute(WorkerThread& thread)
{
    try {
        while (!thread.Terminated()) {
            RunFrames(thread);
            if (Running.load())
                continue;
            Post([this] { emit scanStopped(); });
            if (!thread.SuspendSelf())
                break;
        }
    } catch (...) {
        // Falls through to the report below.
    }
    if (!thread.Terminated() && !terminating_.load())
        ThreadDied();
}

void TGoXYThread::RunFrames(WorkerThread& thread)
{
    try {
        AdoptSnapshot();
        StartLine(line_.Geometry);
        const auto inFrame = [this](int line) { return line >= 1 && line <= line_.Geometry.Pixels; };
        while (Running.load() && !thread.Terminated() && inFrame(params_.CurrentLine.load())) {
            const int line = params_.CurrentLine.load();
            AdoptSnapshot();
            TFrameSettings settings = line_.Settings;
            settings.FlyOn = moves_.FlyOn.load();
            frame_.LineBegins(settings, line - 1);
            if (line == 1)
                form_.SetControlBits2(0, Control2FirstLine);
            else
                form_.SetControlBits2(Control2FirstLine, 0);

            const int64_t t0 = ReadTimestamp();
            const bool backward = AcquireLine(line);
            if (Running.load())
                params_.LineTime = ReadTimestamp() - t0;
            // A line abandoned part-way leaves the linearisation alone.
            if (Running.load()) {
                ProcessLine(backward);
                frame_.LineMeasured(line - 1, lineWritten_);
            }
            if (TShowThread* show = show_.load())
                show->Line = line;
            if (Running.load())
                params_.CurrentLine = static_cast<int16_t>(line + Direction.load());
            if (moves_.ClampCount.exchange(0) > 0)
                Post([this] { emit rangeClamped(); });
            const int32_t left = params_.LinesLeft.load();
            if (left > 0) {
                params_.LinesLeft = left - 1;
                if (left == 1) {
                    form_.PictureReadyEvent.Set();
                    Running = false;
                }
            }
        }
        // The frame is complete: the window thread finishes it while this
        // thread waits. Without a window thread (or at shutdown) the scan ends.
        if (!thread.Terminated() && !inFrame(params_.CurrentLine.load())) {
            // A pause in the window thread finishes the frame itself rather
            // than wait for this call: then this thread stops waiting.
            frameEnd_ = FrameEndPending;
            const bool sent =
                SendToWindowThread([this] { RunPendingFrameEnd(); },
                                   [this] { return terminating_.load() || frameEnd_.load() == FrameEndDone; });
            if (!sent && frameEnd_.exchange(FrameEndNone) != FrameEndDone)
                Running = false;
            frameEnd_ = FrameEndNone;
        }
    } catch (const std::exception&) {
        Running = false;
        Post([this] { emit rangeClamped(); });
    }
}

void TGoXYThread::StartLine(const TScanGeometry& g)
{
    const TRawPoint p = LineRunInStart(g, params_.CurrentLine.load(), params_.LineScan.load());
    if (!moves_.MoveTo(ProfilePlain, p.X, p.Y))
        throw TScanFault("move to the line start failed");
}

void TGoXYThread::PublishChoiceSummary(bool anyBackward, bool anyFly)
{
    AnyBackwardChecked = anyBackward;
    AnyFlyChecked = anyFly;
    choiceSummary_ = true;
}

bool TGoXYThread::BackwardWanted() const
{
    if (choiceSummary_.load())
        return AnyBackwardChecked.load();
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        if (Channels[ImageChannelIndex(slot, PlaneBwd)].HasBuffer())
            return true;
    }
    return false;
}

bool TGoXYThread::FlyWanted() const
{
    if (choiceSummary_.load())
        return AnyFlyChecked.load();
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        if (Channels[ImageChannelIndex(slot, PlaneFly)].HasBuffer())
            return true;
    }
    return false;
}

bool TGoXYThread::AcquireLine(int line)
{
    const TScanGeometry& g = line_.Geometry;
    TLinCoefficients lin;
    {
        std::lock_guard lock(linMutex_);
        lin = lin_;
    }
    const TLinePlan lp = PlanLine(g, lin, line, Direction.load(), params_.LineScan.load());
    const int64_t x0 = g.StartX + lp.OffsetX;
    const int64_t y0 = g.StartY + lp.OffsetY;
    const int64_t p = g.Pixels;
    const auto running = [this] { return Running.load(); };
    lineWritten_.clear();

    // Run-in, accelerating from where the previous line left the tip.
    form_.SetControlBits2(0, Control2RunIn);
    moves_.MoveTo(ProfileAccelerate, x0, y0);
    form_.SetControlBits2(Control2RunIn, 0);
    if (!running())
        return false;
    SendChannelList(PlaneFwd);
    if (!Pass(line, PlaneFwd, lp, lp.FwdX, lp.FwdY))
        return false;
    NoteWritten(g.Pixels);

    const bool backward = BackwardWanted();
    if (backward) {
        moves_.MoveTo(ProfileDecelerate, x0 + Along(p, g.PixelX) + g.OverX, y0 + Along(p, g.PixelY) + g.OverY);
        if (!running())
            return false;
        moves_.MoveTo(ProfileAccelerate, x0 + Along(p + 1, g.PixelX), y0 + Along(p + 1, g.PixelY));
        if (!running())
            return false;
        SendChannelList(PlaneBwd);
        if (!Pass(line, PlaneBwd, lp, lp.BwdX, lp.BwdY))
            return false;
        NoteWritten(g.Pixels);
    } else {
        moves_.MoveTo(ProfilePlain, x0, y0);
        if (!running())
            return false;
    }
    moves_.MoveTo(ProfileDecelerate, x0 - g.OverX, y0 - g.OverY);
    if (!running())
        return backward;

    if (moves_.FlyOn.load() == 1 && Channels[ImageChannelIndex(SlotZ, PlaneFwd)].HasBuffer())
        LiftPass(line, lp);
    return backward;
}

bool TGoXYThread::Pass(int line, int plane, const TLinePlan& lp, TQuadCubic kx, TQuadCubic ky)
{
    const TScanGeometry& g = line_.Geometry;
    const int p = g.Pixels;
    const int row = line - 1;
    const bool backward = plane == PlaneBwd;
    TTrack& tx = backward ? trackXBack_ : trackX_;
    TTrack& ty = backward ? trackYBack_ : trackY_;
    const bool sensors = listSensors_;
    TGoXYReply reply;
    for (int i = 0; i < p; ++i) {
        const int a = backward ? p - i : i + 1;
        const int64_t x = PixelTarget(g.StartX, lp.OffsetX, a, p, kx, g.PixelX);
        const int64_t y = PixelTarget(g.StartY, lp.OffsetY, a, p, ky, g.PixelY);
        if (!moves_.MoveToChecked(a, x, y, &reply))
            throw TScanFault("pixel move failed");
        Store(row, a - 1, reply);
        if (sensors) {
            tx[a] = reply.Readings[list_.ChannelCount];
            ty[a] = reply.Readings[list_.ChannelCount + 1];
        }
        if (!Running.load())
            return false;
    }
    return true;
}

void TGoXYThread::Store(int row, int col, const TGoXYReply& reply)
{
    for (int i = 0; i < list_.ChannelCount; ++i) {
        const TImageMatrixPtr& m = rows_[i];
        // A channel freed or reallocated meanwhile keeps its old matrix alive
        // through the snapshot; a different size is skipped.
        if (m && row < m->Rows() && col < m->Cols())
            m->Store(row, col, reply.Readings[i]);
    }
}

void TGoXYThread::NoteWritten(int pixels)
{
    for (int i = 0; i < list_.ChannelCount; ++i) {
        const TImageMatrixPtr& m = rows_[i];
        // Store skips a matrix of another size: it holds nothing of this line.
        if (!m || m->Rows() != pixels || m->Cols() != pixels)
            continue;
        TFrameBuffer b;
        b.Index = list_.ChannelIndexList[i];
        b.Matrix = m;
        b.MatrixId = m->Id();
        if (IsValidImageChannel(b.Index) && Channels[b.Index].Scale != nullptr) {
            b.HasScale = true;
            b.Scale = *Channels[b.Index].Scale;
        }
        lineWritten_.push_back(std::move(b));
    }
}

void TGoXYThread::LiftPass(int line, const TLinePlan& lp)
{
    const TScanGeometry& g = line_.Geometry;
    const int64_t x0 = g.StartX + lp.OffsetX;
    const int64_t y0 = g.StartY + lp.OffsetY;
    const TImageMatrixPtr z = Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data();
    if (!z)
        return;
    moves_.MoveTo(ProfileAccelerate, x0 - Along(1, g.PixelX), y0 - Along(1, g.PixelY));
    moves_.MoveTo(ProfilePlain, x0, y0);
    if (!Running.load())
        return;

    MicroscopeState.LiftPass = true;
    form_.SendFeedbackRecord();
    // The feedback is held for the pass: whatever ends it, it is released
    // again, and before the tip travels back along the line, which it must
    // cross following the surface rather than at the last lifted Z.
    struct Release {
        TInOutForm& form;
        bool held = true;
        void Now()
        {
            if (!held)
                return;
            held = false;
            MicroscopeState.LiftPass = false;
            form.SendFeedbackRecord();
        }
        ~Release() { Now(); }
    } release{form_};
    SendChannelList(PlaneFly);

    const int p = g.Pixels;
    const int row = line - 1;
    const int64_t fly = moves_.FlyHeightRaw.load();
    TGoXYReply reply;
    for (int a = 1; a <= p; ++a) {
        const int32_t recorded = row < z->Rows() && a - 1 < z->Cols() ? z->At(row, a - 1) : 0;
        moves_.WriteZClamped(static_cast<int64_t>(recorded) + fly);
        const int64_t x = PixelTarget(g.StartX, lp.OffsetX, a, p, lp.FwdX, g.PixelX);
        const int64_t y = PixelTarget(g.StartY, lp.OffsetY, a, p, lp.FwdY, g.PixelY);
        if (!moves_.MoveToChecked(a, x, y, &reply))
            throw TScanFault("lift pass move failed");
        Store(row, a - 1, reply);
        if (!Running.load())
            return;
    }
    NoteWritten(p);
    release.Now();
    moves_.MoveTo(ProfilePlain, x0, y0);
    moves_.MoveTo(ProfileDecelerate, x0 - g.OverX, y0 - g.OverY);
}

void TGoXYThread::SendChannelList(int plane)
{
    TChannelListInput in;
    in.Plane = plane;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        const int k = ImageChannelIndex(slot, plane);
        if (Channels[k].HasBuffer())
            in.Buffered.set(static_cast<size_t>(k));
        in.Addresses[slot] = ChannelTable[slot].Address.load();
    }
    in.HardLinOn = HardLinOn.load();
    if (in.HardLinOn) {
        const int32_t cx = TrackChannelX.load();
        const int32_t cy = TrackChannelY.load();
        in.TrackAddressX = IsValidChannelIndex(cx) ? ChannelTable[SlotOfChannelIndex(cx)].Address.load() : 0;
        in.TrackAddressY = IsValidChannelIndex(cy) ? ChannelTable[SlotOfChannelIndex(cy)].Address.load() : 0;
    }
    in.EmptyListGetsEntry = form_.Caps.FastScanPresent();
    in.PreviousFirstAddress = previousFirstAddress_;

    list_ = BuildChannelList(in);
    listSensors_ = in.HardLinOn;
    previousFirstAddress_ = list_.ReadAddresses[0];
    for (int i = 0; i < GoXYReadings; ++i)
        rows_[i] = i < list_.ChannelCount ? Channels[list_.ChannelIndexList[i]].Data() : nullptr;
    moves_.SetReadList(list_.ListLength, list_.ReadAddresses.data());
    form_.Ioctl(IOCTL_SET_CHANNELS, &list_.Record, sizeof list_.Record, nullptr, 0);

    if (list_.Overflow && list_.Candidates != lastCandidates_[plane])
        Post([] { ShowMessage(MsgKind::Information, QString::fromLatin1(TooManyChannelsText)); });
    lastCandidates_[plane] = list_.Candidates;
}

void TGoXYThread::ProcessLine(bool backward)
{
    if (!HardLinOn.load() || !line_.Weights)
        return;
    TProcessLineInput in;
    in.FastX = line_.Geometry.FastX;
    in.FastY = line_.Geometry.FastY;
    in.Backward = backward;
    in.KiPoly = KiPoly.load();
    in.TrackX = &trackX_;
    in.TrackY = &trackY_;
    in.TrackXBack = &trackXBack_;
    in.TrackYBack = &trackYBack_;
    bool changed = false;
    {
        std::lock_guard lock(linMutex_);
        ProcessLineFits(lin_, fit_, *line_.Weights, in);
        const bool holds = LinearisationHolds(lin_);
        changed = holds != linHolds_;
        linHolds_ = holds;
    }
    // The status follows the fit while it scans, not only when a window redraws.
    if (changed)
        Post([this] { emit linearisationHoldsChanged(); });
}

} // namespace qvt
