#include "sim/SimController.h"

#include "sim/SimWiring.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <thread>

namespace qvt::sim {

namespace {

template <typename Record> Record Decode(const void* in)
{
    Record r;
    std::memcpy(&r, in, sizeof(Record));
    return r;
}

int32_t Word(const void* in, size_t index)
{
    int32_t w = 0;
    std::memcpy(&w, static_cast<const char*>(in) + index * 4, 4);
    return w;
}

void PutWord(void* out, int32_t value)
{
    std::memcpy(out, &value, 4);
}

// The module loop's weights: k0, k1 of a USB box's PI, q0..q2 of the type-29 PID.
constexpr int32_t RegModuleK0 = 67;
constexpr int32_t RegModuleK1 = 68;
constexpr int32_t RegModuleQ0 = 83;
constexpr int32_t RegModuleQ1 = 84;
constexpr int32_t RegModuleQ2 = 85;

// The register pages that read back what was written (fast feedback, scan
// generator, filters, slope, and the auxiliary page of type 29).
bool IsReadBackPage(int32_t reg)
{
    return (reg >= 64 && reg <= 85) || (reg >= 128 && reg <= 159) || (reg >= 192 && reg <= 213) ||
           (reg >= 256 && reg <= 287) || (reg >= 384 && reg <= 389) || (reg >= 400 && reg <= 426);
}

constexpr uint32_t Control2RunInBit = 0x1;
constexpr uint32_t Control2FirstLineBit = 0x2;

// Stray values lie above the program's random echo range, so they can never
// be mistaken for a written value.
constexpr int32_t StrayEchoBase = 2000000000;

} // namespace

SimController::SimController(const SimConfig& config)
    : config_(config), clock_(config.Clock), faults_(config.Faults), absent_(config.Absent),
      random_(config.Seed ^ 0xA5A5A5A5u), outputs_(config), inputs_(config), zLoop_(config), scanner_(config),
      coarse_(config), tip_(config), spekt_(config), cantilever_(config.Cantilever, config.Seed),
      noiseFrames_(config.Cantilever, config.Seed + 21), frameMotor_(config.FrameMotor), photodiode_(config.Photodiode),
      logging_(config.LogRequests)
{
    zLoop_.SetSampleOffset(coarse_.OffsetDigits());
    fastScan_.Usb = config_.Usb;
    zLoop_.SetZ(outputs_.Z());
    log_.reserve(static_cast<size_t>(std::max(0, config_.LogCapacity)));
    for (int n = 1; n <= DacCount; ++n) {
        const int32_t reg = RegDacBase + n - 1;
        if (SimOutputs::IsDacRegister(reg))
            registers_[reg] = outputs_.Dac(n);
    }
}

SimController::~SimController() = default;

bool SimController::Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned)
{
    if (returned)
        *returned = 0;
    const TControlCodeInfo* info = FindControlCode(code);
    After after;
    after.SpendUs = config_.RequestLatencyUs;
    bool ok = false;
    size_t written = 0;
    QStringList told; // allocates only when something is told
    std::function<void(const QString&)> listener;
    {
        std::lock_guard lock(mutex_);
        ++requestCount_;
        const uint32_t expectedIn = info ? (config_.Usb ? info->UsbInSize : info->InSize) : 0;
        const bool sizesOk = info && info->Sent && inSize == expectedIn && outSize == info->OutSize &&
                             (inSize == 0 || in != nullptr) && (outSize == 0 || out != nullptr);
        const bool failed = faults_.FailAllRequests || (faults_.FailCode != 0 && faults_.FailCode == code);
        if (sizesOk && !failed) {
            ok = HandleLocked(code, in, out, outSize, after);
            written = ok ? (after.ReplyBytes >= 0 ? static_cast<size_t>(after.ReplyBytes) : outSize) : 0;
        }
        LogLocked(code, in, inSize, outSize, out, ok);
        if (recordListener_)
            TakeNewRecordsLocked(told);
        if (!told.empty())
            listener = recordListener_;
    }
    for (const QString& line : told)
        listener(line);
    clock_.Spend(after.SpendUs);
    if (after.BlockNs > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(after.BlockNs));
    if (after.MoveQueued) {
        // The request is back with its caller: only now may the move's end be signalled.
        std::lock_guard lock(mutex_);
        --unreleased_;
        CompleteMovesLocked();
    }
    if (returned)
        *returned = written;
    return ok;
}

bool SimController::HandleLocked(uint32_t code, const void* in, void* out, size_t outSize, After& after)
{
    switch (code) {
    case IOCTL_READ_REG: {
        const int32_t reg = Word(in, 0);
        // The module's own words (its input, error, products and output)
        // are what its loop made of them by now.
        if (!absent_ && HasModuleRegisters() && SimFastFeedback::IsComputed(reg)) {
            FastFeedbackLocked(true);
            PutWord(out, registers_[reg]);
            return true;
        }
        PutWord(out, absent_ ? -1 : ReadAddressLocked(reg));
        return true;
    }
    case IOCTL_WRITE_REG: {
        const auto w = Decode<TWriteRegRecord>(in);
        WriteRegisterLocked(w.Register, w.Value);
        return true;
    }
    case IOCTL_DELAY: {
        const int32_t count = Word(in, 0);
        if (count < 0 || count > DelayChunkMax)
            return false;
        after.SpendUs += count;
        return true;
    }
    case IOCTL_SET_CONTROL:
        controlWord_ = Word(in, 0);
        DriveChangedLocked(clock_.NowNs());
        return true;
    case IOCTL_SET_Z_RANGE: {
        AdvanceLocked(clock_.NowNs());
        if (!outputs_.SetZRange(Decode<TZRangeRecord>(in)))
            return false;
        zLoop_.SetZ(outputs_.Z());
        return true;
    }
    case IOCTL_SET_FEEDBACK:
        AdvanceLocked(clock_.NowNs());
        zLoop_.SetFeedback(Decode<TSetFeedbackRecord>(in));
        return true;
    case IOCTL_SET_SLOPE: {
        const int64_t now = clock_.NowNs();
        AdvanceLocked(now);
        zLoop_.SetSlope(Decode<TSetSlopeRecord>(in));
        AdvanceLocked(now);
        return true;
    }
    case IOCTL_GO_XY: {
        TGoXYReply reply;
        if (!GoXYLocked(Decode<TGoXYRequest>(in), reply, after))
            return false;
        std::memcpy(out, &reply, sizeof reply);
        return true;
    }
    case IOCTL_SET_CHANNELS: {
        const auto list = Decode<TSetChannelsRecord>(in);
        // The list must end with its terminator inside the record.
        if (list.Count < 1 || list.Count > ChannelListWords || list.Addresses[list.Count - 1] != ReadListTerminator)
            return false;
        channelCount_ = list.Count - 1;
        std::copy(list.Addresses, list.Addresses + channelCount_, channelList_.begin());
        ++channelListCount_;
        return true;
    }
    case IOCTL_SET_LED:
        ledValue_ = Decode<TSetLedRecord>(in).Value;
        ++ledCount_;
        ledBus_.Feed(ledValue_);
        return true;
    case IOCTL_READ_CONTACT: {
        // Positive at contact; a USB box reports it with the opposite sign.
        int32_t contact = InContactLocked(clock_.NowNs()) ? 1 : 0;
        if (config_.Usb)
            contact = -contact;
        PutWord(out, absent_ ? -1 : contact);
        return true;
    }
    case IOCTL_READ_OSZI:
    case IOCTL_READ_OSZI_BUFFER:
    case IOCTL_SET_OSZI:
    case IOCTL_SET_FREQUENCY:
    case IOCTL_SET_AMPLITUDE:
    case IOCTL_SET_PHASE:
    case IOCTL_SET_FILTER:
    case IOCTL_SET_MULTI_LIA:
    case IOCTL_READ_DNC_STATUS:
        return ScopeLocked(code, in, out);
    case IOCTL_LOAD_BIAS_RAMP:
        spekt_.LoadBiasRamp(Decode<TRampRecord>(in));
        return true;
    case IOCTL_LOAD_Z_RAMP:
        spekt_.LoadZRamp(Decode<TRampRecord>(in));
        return true;
    case IOCTL_SET_SPEKT: {
        const SimSpektStart start = SpektStartLocked();
        spekt_.Start(Decode<TSetSpektRecord>(in), start, clock_.NowUs());
        FeelSpektRunLocked(start);
        // Fast: the run is over when its request returns, as moves are.
        clock_.AdvanceFast(spekt_.RunUs() * 1000);
        return true;
    }
    case IOCTL_READ_SPEKT: {
        std::memset(out, absent_ ? 0xFF : 0, outSize);
        if (absent_)
            return true;
        TRampRecord readings; // the reply has the layout of a ramp table
        const int done = spekt_.Read(Word(in, 0), clock_.NowUs(), readings.Values);
        if (done < 0)
            return false;
        const int words = std::max(0, done - faults_.SpektShortWords);
        std::memcpy(out, readings.Values, sizeof(int32_t) * static_cast<size_t>(words));
        after.ReplyBytes = int64_t(words) * 4;
        return true;
    }
    default:
        // The requests whose models come with later tools: accepted and
        // logged; replies read as an idle box gives them (all ones when absent).
        if (outSize > 0)
            std::memset(out, absent_ ? 0xFF : 0, outSize);
        return true;
    }
}

bool SimController::ScopeLocked(uint32_t code, const void* in, void* out)
{
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    const SimProbeState probe = ProbeNowLocked(now);
    auto read = [this, &probe](int32_t address, int64_t timeNs) {
        return absent_ ? -1 : ReadAtLocked(address, probe, timeNs);
    };
    switch (code) {
    case IOCTL_READ_OSZI: {
        if (HasModuleRegisters()) {
            // A new control word switches the module's loop from now on.
            if ((Word(in, 0) & SimFastScan::ControlApply) &&
                (Word(in, 0) & ~SimFastScan::ControlApply) != fastScan_.Control())
                FastFeedbackLocked(false);
            int32_t ids[SimFastScan::MaxIds] = {};
            for (int i = 0; i < SimFastScan::MaxIds; ++i)
                ids[i] = Word(in, static_cast<size_t>(2 + i));
            fastScan_.Request(Word(in, 0), Word(in, 1), ids);
        }
        TReadOsziReply reply;
        scope_.Snapshot(zLoop_.Feedback().InputAddress, now, read, reply);
        std::memcpy(out, &reply, sizeof reply);
        return true;
    }
    case IOCTL_READ_OSZI_BUFFER: {
        SimOsziBufferReply reply;
        if (absent_ || !noiseFrames_.Buffer(Word(in, 0), now, &reply.Count, reply.Samples)) {
            auto linePosition = [this](int64_t timeNs) { return LinePositionLocked(timeNs); };
            if (!scope_.Buffer(Word(in, 0), now, read, linePosition, &reply.Count, reply.Samples))
                return false;
        }
        std::memcpy(out, &reply, sizeof reply);
        return true;
    }
    case IOCTL_SET_OSZI: {
        const auto record = Decode<TSetOsziRecord>(in);
        int32_t entries = 0;
        if (config_.Usb) {
            entries = Decode<TSetOsziUsbRecord>(in).EntryCount;
            if (entries < 0 || entries > UsbChannelListEntries)
                return false;
        }
        if (record.PeriodTicks < 1)
            return false;
        scope_.SetOszi(record, entries);
        const int32_t gainBits = controlWord_ & 0xE;
        noiseFrames_.Configure(record.PeriodTicks, record.Addresses, DriveFrequencyLocked(),
                               gainBits == 0x8 ? 100.0 : (gainBits == 0xC ? 10.0 : 1.0), now);
        return true;
    }
    case IOCTL_SET_FREQUENCY:
        scope_.SetFrequency(Word(in, 0), config_.ControllerType == 29);
        DriveChangedLocked(now);
        return true;
    case IOCTL_SET_AMPLITUDE:
        scope_.SetAmplitude(Word(in, 0));
        DriveChangedLocked(now);
        return true;
    case IOCTL_SET_PHASE:
        scope_.SetPhase(Word(in, 0));
        DriveChangedLocked(now);
        return true;
    case IOCTL_SET_FILTER: {
        const auto record = Decode<TSetFilterRecord>(in);
        if (!scope_.SetFilter(record))
            return false;
        // The main lock-in demodulates through filters 6 (X) and 7 (Y).
        if (record.Filter == 6)
            cantilever_.SetTimeConstant(SimCantilever::DecodeTimeConstant(record.Coefficients), now);
        return true;
    }
    case IOCTL_SET_MULTI_LIA: {
        const auto record = Decode<TSetMultiLiaRecord>(in);
        multiLockIn_.SetAmplitudeWord(record.Index, record.AmplitudeWord >> 15);
        return scope_.SetMultiLia(record);
    }
    case IOCTL_READ_DNC_STATUS: {
        TDncStatusRecord status = scope_.Status(read(ReadAddrResonanceAmplitude, now), read(ReadAddrResonanceY, now));
        // Words 0 and 1: where Z went since the last status read (the
        // parameter window's Z bar); none seen: where it is now.
        const int32_t z = outputs_.Dac(1);
        status.Words[0] = std::min(zSeenMin_, z);
        status.Words[1] = std::max(zSeenMax_, z);
        zSeenMin_ = INT32_MAX;
        zSeenMax_ = INT32_MIN;
        if (cantilever_.Overload(now))
            status.Words[2] |= DncStatusOverload;
        if (absent_)
            status = TDncStatusRecord{{-1, -1, -1, -1, -1, -1}};
        std::memcpy(out, &status, sizeof status);
        return true;
    }
    default:
        return false;
    }
}

bool SimController::GoXYLocked(const TGoXYRequest& request, TGoXYReply& reply, After& after)
{
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    if (absent_) {
        // Nothing behind the driver: no motion, every reading all ones.
        std::fill(std::begin(reply.Readings), std::end(reply.Readings), -1);
        return true;
    }

    SimProbeState end;
    int64_t endNs = now;
    if (request.StepCount < 0) {
        const SimMoveGenerator::Position p = generator_.Stop(now, PositionLocked());
        outputs_.Drive(3, static_cast<int32_t>(p.X));
        outputs_.Drive(4, static_cast<int32_t>(p.Y));
        end = ProbeNowLocked(now);
    } else {
        const int32_t n = request.StepCount;
        const int64_t endX = request.X + static_cast<int64_t>(request.StepX) * n;
        const int64_t endY = request.Y + static_cast<int64_t>(request.StepY) * n;
        // The line between start and end stays inside the limits when both ends do.
        if (n > 0) {
            outputs_.CheckRequest(3, RegX, request.X);
            outputs_.CheckRequest(4, RegY, request.Y);
        }
        outputs_.CheckRequest(3, RegX, endX);
        outputs_.CheckRequest(4, RegY, endY);
        if (!generator_.Submit(now, request.X, request.Y, request.StepX, request.StepY, n, PositionLocked()))
            return false;
        const SimMoveGenerator::Position last = generator_.EndPosition();
        endNs = generator_.EndNs();
        lineMoves_[static_cast<size_t>(lineMoveNext_)] = {endNs, request.PixelIndex};
        lineMoveNext_ = (lineMoveNext_ + 1) % LineMoveHistory;
        lineMoveCount_ = std::min(lineMoveCount_ + 1, LineMoveHistory);
        if (config_.Clock == ClockMode::Fast) {
            // As fast as possible: the move is over before the reply is made.
            clock_.AdvanceFast(endNs - now);
            AdvanceLocked(endNs);
            end = ProbeNowLocked(endNs);
        } else {
            // The readings are those at the move's end: the loop is run ahead
            // on copies, the instrument itself gets there in its own time.
            SimZLoop loop = zLoop_;
            int64_t ns = loopNs_;
            EvolveLocked(loop, outputs_.Dac(3), outputs_.Dac(4), ns, endNs, false);
            end = ProbeNowLocked(now);
            end.X = static_cast<double>(last.X);
            end.Y = static_cast<double>(last.Y);
            end.Z = std::clamp(static_cast<int32_t>(std::lround(loop.Z())), outputs_.ZMin(), outputs_.ZMax());
            after.BlockNs = generator_.NsUntilPendingAtMost(now, MaxQueuedMoves);
        }
    }
    // A stop ends the move in progress as well: either is signalled once this
    // request is back.
    ++unreleased_;
    after.MoveQueued = true;
    completionPending_ = true;
    // The end of the moves before is not signalled while this request is
    // under way; the new end is told when it is back.
    if (dueNs_ >= 0) {
        goXYWait_.SetAt(ManualResetEvent::Clock::time_point::max());
        dueNs_ = -1;
    }

    const int count = std::clamp(request.ListLength - 1, 0, GoXYReadings - 1);
    for (int i = 0; i < count; ++i)
        reply.Readings[i] = ReadAtLocked(request.ReadAddresses[i], end, endNs);
    return true;
}

void SimController::AdvanceLocked(int64_t nowNs)
{
    int32_t x = outputs_.Dac(3);
    int32_t y = outputs_.Dac(4);
    EvolveLocked(zLoop_, x, y, loopNs_, nowNs, true);
    if (generator_.Active()) {
        const SimMoveGenerator::Position p = generator_.At(nowNs);
        x = static_cast<int32_t>(std::clamp<int64_t>(p.X, INT32_MIN, INT32_MAX));
        y = static_cast<int32_t>(std::clamp<int64_t>(p.Y, INT32_MIN, INT32_MAX));
    }
    outputs_.Drive(3, x);
    outputs_.Drive(4, y);
    DriveZLocked();
}

void SimController::EvolveLocked(SimZLoop& loop, int32_t x, int32_t y, int64_t& fromNs, int64_t toNs, bool feel)
{
    const int32_t zMin = outputs_.ZMin();
    const int32_t zMax = outputs_.ZMax();
    const int32_t bias = outputs_.Dac(2);
    const SimMoveGenerator& moves = generator_;
    // The tick under way counts: a move's last step is felt by its end.
    int64_t ticks = (toNs - fromNs + SimMoveGenerator::TickNs - 1) / SimMoveGenerator::TickNs;
    while (ticks > 0) {
        if (!moves.Active()) {
            // Nothing moves the tip: a loop at rest stays as it is, and a
            // long wait only needs its last stretch.
            const int64_t skip = loop.AtRest(zMin) ? ticks : std::max<int64_t>(0, ticks - IdleCatchUpTicks);
            fromNs += skip * SimMoveGenerator::TickNs;
            ticks -= skip;
            if (ticks == 0)
                break;
        }
        fromNs += SimMoveGenerator::TickNs;
        --ticks;
        if (moves.Active()) {
            const SimMoveGenerator::Position p = moves.PeekAt(fromNs);
            x = static_cast<int32_t>(std::clamp<int64_t>(p.X, INT32_MIN, INT32_MAX));
            y = static_cast<int32_t>(std::clamp<int64_t>(p.Y, INT32_MIN, INT32_MAX));
        }
        SimProbeState s;
        s.X = scanner_.TrueX(x);
        s.Y = scanner_.TrueY(y);
        s.Bias = bias;
        const double push = loop.Tick(s, zMin, zMax);
        if (feel) {
            s.Z = static_cast<int32_t>(std::lround(loop.Z()));
            tip_.Feel(push, s, fromNs);
        }
    }
    if (feel) {
        // A loop at rest skips its ticks, but a Z or X/Y written meanwhile
        // moved the tip all the same: judged where it stands now.
        SimProbeState s;
        s.X = scanner_.TrueX(x);
        s.Y = scanner_.TrueY(y);
        s.Bias = bias;
        s.Z = static_cast<int32_t>(std::lround(loop.Z()));
        tip_.Feel(loop.Push(s), s, fromNs);
    }
}

void SimController::DriveZLocked()
{
    double z = zLoop_.Z();
    const double grain = zLoop_.Surface().Noise();
    if (zLoop_.Tracking() && grain > 0.0)
        z += grain * random_.Gaussian();
    outputs_.Drive(1, z > outputs_.ZMin() ? static_cast<int32_t>(std::lround(std::min<double>(z, outputs_.ZMax())))
                                          : outputs_.ZMin());
    zSeenMin_ = std::min(zSeenMin_, outputs_.Dac(1));
    zSeenMax_ = std::max(zSeenMax_, outputs_.Dac(1));
}

SimProbeState SimController::FeltLocked(const SimProbeState& probe) const
{
    SimProbeState felt = probe;
    felt.X = scanner_.TrueX(probe.X);
    felt.Y = scanner_.TrueY(probe.Y);
    return felt;
}

SimSpektStart SimController::SpektStartLocked()
{
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    const SimProbeSignals probe = zLoop_.Signals(FeltLocked(ProbeNowLocked(now)));
    SimSpektStart start;
    switch (zLoop_.LoopFamily()) {
    case SimZLoop::Family::Stm:
        start.LoopFamily = SimSpektStart::Family::Stm;
        break;
    case SimZLoop::Family::Contact:
        start.LoopFamily = SimSpektStart::Family::Contact;
        break;
    case SimZLoop::Family::Dynamic:
        start.LoopFamily = SimSpektStart::Family::Dynamic;
        break;
    case SimZLoop::Family::None:
        break;
    }
    start.Interacting = probe.Interacting;
    start.FeedbackAddress = probe.FeedbackAddress;
    start.Setpoint = probe.Interaction;
    start.TopographyAddress = probe.TopographyAddress;
    start.ZStart = outputs_.Z();
    start.BiasStart = outputs_.Dac(2);
    return start;
}

void SimController::FeelSpektRunLocked(const SimSpektStart& start)
{
    // The run moves the tip as a loop would: each point's press is judged.
    const int64_t now = clock_.NowNs();
    SimProbeState s = FeltLocked(ProbeNowLocked(now));
    for (int i = 0; i < spekt_.Points(); ++i) {
        s.Z = static_cast<int32_t>(std::clamp(std::round(start.ZStart - spekt_.Gap(i)), -2147483647.0, 2147483647.0));
        tip_.Feel(zLoop_.Push(s), s, now + static_cast<int64_t>(spekt_.PointUs(i) * 1000.0));
    }
}

SimProbeState SimController::ProbeNowLocked(int64_t nowNs) const
{
    (void)nowNs;
    SimProbeState s;
    s.X = outputs_.Dac(3);
    s.Y = outputs_.Dac(4);
    s.Z = outputs_.Z();
    s.Bias = outputs_.Dac(2);
    return s;
}

SimMoveGenerator::Position SimController::PositionLocked() const
{
    return {outputs_.Dac(3), outputs_.Dac(4), 0, 0};
}

void SimController::CompleteMovesLocked()
{
    if (!completionPending_ || unreleased_ > 0)
        return;
    const int64_t now = clock_.NowNs();
    if (generator_.Busy(now)) {
        // Real time: the end of the queue is known, so the event is told when
        // it falls due and sets itself then; no thread wakes to set it.
        const int64_t end = generator_.EndNs();
        goXYWait_.SetAt(clock_.SteadyAt(end));
        dueNs_ = end;
        return;
    }
    completionPending_ = false;
    // A due set that has come has signalled already; one still ahead (the
    // moves were dropped before their end) or none at all is signalled now.
    if (dueNs_ < 0 || dueNs_ > now)
        goXYWait_.Set();
    dueNs_ = -1;
}

bool SimController::RegisterExistsLocked(int32_t reg) const
{
    if (reg < 0 || reg >= RegisterCount)
        return false;
    // The extended register space exists on type 29 and on USB boxes only.
    return reg < FirstExtendedRegister || config_.Usb || config_.ControllerType >= 29;
}

void SimController::FastFeedbackLocked(bool sample)
{
    const int64_t now = clock_.NowNs();
    int32_t input = fastFeedback_.Input();
    if (sample) {
        AdvanceLocked(now);
        input = ReadAtLocked(ReadAddrFastFeedbackInput, ProbeNowLocked(now), now);
    }
    const bool on = (fastScan_.Control() & SimFastScan::ControlFeedback) != 0;
    fastFeedback_.Advance(now, input, on, registers_.data());
}

void SimController::WriteRegisterLocked(int32_t reg, int32_t value)
{
    if (!RegisterExistsLocked(reg) || reg == RegBoxVersion || reg == RegBoxSubVersion)
        return;
    // The loop runs with the words it had up to this write.
    if (HasModuleRegisters() && reg >= SimFastFeedback::FirstRegister && reg <= SimFastFeedback::LastRegister)
        FastFeedbackLocked(false);
    if (SimOutputs::IsDacRegister(reg)) {
        AdvanceLocked(clock_.NowNs());
        if ((reg == RegX || reg == RegY) && generator_.Active()) {
            // Writing the scanner outputs directly takes them from the generator.
            generator_.Clear();
            CompleteMovesLocked();
        }
        outputs_.Write(reg, value);
        if (reg == RegZ)
            zLoop_.SetZ(outputs_.Z());
        registers_[reg] = reg == RegZ ? outputs_.Z() : value;
        return;
    }
    // On type 29 the frame motor's registers are motor channels 4 and 5 too.
    if (frameMotor_.Write(reg, value, clock_.NowNs())) {
        registers_[reg] = value;
        return;
    }
    const double offsetBefore = coarse_.OffsetDigits();
    if (reg == RegDigitalOut)
        coarseAxes_.DigitalOut(value);
    if (reg == RegDigitalOut && coarse_.DigitalOut(value))
        CoarseMovedLocked(offsetBefore);
    if (coarse_.MotorWrite(reg, value))
        CoarseMovedLocked(offsetBefore);
    if (reg == RegControl2) {
        // Bit 0 rises with each line's run-in, bit 1 with the first line of a frame.
        const auto rising = static_cast<uint32_t>(value) & ~static_cast<uint32_t>(registers_[RegControl2]);
        runIns_ += (rising & Control2RunInBit) != 0;
        firstLines_ += (rising & Control2FirstLineBit) != 0;
        if (faults_.EchoLagReads > 0)
            echoLagLeft_ = faults_.EchoLagReads;
        else
            echoShown_ = value;
    }
    registers_[reg] = value;
}

void SimController::CoarseMovedLocked(double offsetBefore)
{
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    const SimProbeState before = FeltLocked(ProbeNowLocked(now));
    const bool touching = zLoop_.Touching(before);
    zLoop_.SetSampleOffset(coarse_.OffsetDigits());
    SimProbeState after = before;
    after.Z = static_cast<int32_t>(std::lround(zLoop_.Z()));
    const double push = zLoop_.Push(after);
    if (touching && coarse_.OffsetDigits() < offsetBefore)
        tip_.CoarseStepInContact(push, after, now);
    tip_.Feel(push, after, now);
    AdvanceLocked(now);
}

bool SimController::InContactLocked(int64_t nowNs)
{
    AdvanceLocked(nowNs);
    return zLoop_.Touching(FeltLocked(ProbeNowLocked(nowNs)));
}

int32_t SimController::ReadEchoLocked()
{
    ++echoReads_;
    if (faults_.EchoStrayEvery > 0 && echoReads_ % faults_.EchoStrayEvery == 0)
        return StrayEchoBase + static_cast<int32_t>(random_.Next() % 100000000u);
    if (echoLagLeft_ > 0) {
        const int32_t old = echoShown_;
        if (--echoLagLeft_ == 0)
            echoShown_ = registers_[RegControl2];
        return old;
    }
    return echoShown_;
}

int32_t SimController::ReadAddressLocked(int32_t address)
{
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    return ReadAtLocked(address, ProbeNowLocked(now), now);
}

int32_t SimController::LinePositionLocked(int64_t timeNs) const
{
    // Newest first: the move under way at `timeNs` is the oldest one that
    // had not ended by then.
    int32_t pixel = 0;
    for (int k = 1; k <= lineMoveCount_; ++k) {
        const LineMove& m = lineMoves_[static_cast<size_t>((lineMoveNext_ - k + LineMoveHistory) % LineMoveHistory)];
        if (k > 1 && m.EndNs < timeNs)
            break;
        pixel = m.Pixel;
    }
    return pixel;
}

int32_t SimController::ReadAtLocked(int32_t address, const SimProbeState& probe, int64_t nowNs)
{
    if (address == ReadAddrZ)
        return probe.Z;
    if (address == ReadAddrX)
        return static_cast<int32_t>(probe.X);
    if (address == ReadAddrY)
        return static_cast<int32_t>(probe.Y);
    if (address == ReadAddrResonanceAmplitude || address == ReadAddrResonancePhase || address == ReadAddrResonanceX ||
        address == ReadAddrResonanceY) {
        const SimCantilever::Reading r = cantilever_.Read(nowNs);
        if (address == ReadAddrResonanceAmplitude)
            return r.Amplitude;
        if (address == ReadAddrResonancePhase)
            return r.PhaseMilliDeg;
        return address == ReadAddrResonanceX ? r.X : r.Y;
    }
    if (SimMultiLockIn::IsAddress(address) && (config_.ControllerType == 26 || config_.ControllerType == 29)) {
        int32_t value =
            multiLockIn_.Read(address, {registers_[RegLia1Freq], registers_[RegLia2Freq], registers_[RegLia3Freq]},
                              registers_[RegLiaPhases], registers_[RegLiaAmplitude], controlWord_);
        // The slider window's raster reads LIA 2's X: the test picture rides on it.
        if (address == SimWiring::PatternAddress)
            value += static_cast<int32_t>(std::lround(SimWiring::Pattern(outputs_.Dac(5), outputs_.Dac(6))));
        return value;
    }
    if (address == SimWiring::PatternAddress)
        return inputs_.ReadDemodulator(address, registers_[RegLiaAmplitude]) +
               static_cast<int32_t>(std::lround(SimWiring::Pattern(outputs_.Dac(5), outputs_.Dac(6))));
    if (address < 0) {
        if (SimInputs::IsDemodulatorAddress(address))
            return inputs_.ReadDemodulator(address, registers_[RegLiaAmplitude]);
        // Output side of DAC slot k (DACk+1); -1 bias.
        return address >= -(DacCount - 1) ? outputs_.Dac(1 - address) : 0;
    }
    switch (address) {
    case RegBoxSubVersion:
        return config_.SubVersion;
    case RegBoxVersion:
        return config_.ControllerType & 0xFFFF;
    case RegControl2:
        return ReadEchoLocked();
    default:
        break;
    }
    // Register 41 reads the frame motor's progress once it has moved; its
    // write address is DAC10.
    if (address == SimFrameMotor::ProgressRegister && frameMotor_.Commanded())
        return frameMotor_.Progress(nowNs);
    if (address == coarse_.EncoderRegister() && address != 0)
        return coarse_.EncoderCounts();
    if (address == coarse_.MotorStatusRegister())
        return SimCoarseMotor::ReadyBits;
    // The fast module's position words follow the scanner.
    if (HasModuleRegisters() && address == RegFilterX)
        return static_cast<int32_t>(probe.X);
    if (HasModuleRegisters() && address == RegFilterY)
        return static_cast<int32_t>(probe.Y);

    SimInputContext context;
    context.NowUs = nowNs / 1000;
    context.NowNs = nowNs;
    context.Z = probe.Z;
    context.ZMin = outputs_.ZMin();
    context.ZMax = outputs_.ZMax();
    context.ZFlags = outputs_.ZFlags();
    // The strain gauges on the piezos read the outputs through the analogue chain.
    if (const int dac = SimWiring::SensorDac(address); dac != 0) {
        const auto raw = static_cast<int32_t>(dac == 1 ? probe.Z : dac == 3 ? probe.X : probe.Y);
        return static_cast<int32_t>(std::lround(SimWiring::SensorDigits(dac, raw))) +
               SimWiring::AdcOffsetDigits(address) + inputs_.NoiseDigits();
    }
    int32_t sensor = 0;
    if (scanner_.ReadSensor(address, probe.X, probe.Y, sensor))
        return sensor;
    if (address == ReadAddrFastFeedbackInput || address < RegBoxSubVersion) {
        context.Probe = zLoop_.Signals(FeltLocked(probe));
    }
    double light = 0.0;
    if (photodiode_.Read(address, (static_cast<uint32_t>(registers_[RegDigitalOut]) & 0x10u) != 0, light))
        return static_cast<int32_t>(std::nearbyint(light)) + inputs_.ReadAdc(address, SimInputContext{});
    if (address == ReadAddrFastFeedbackInput)
        return inputs_.ReadAdc(context.Probe.FeedbackAddress == address ? address : ReadAddrDefaultAdc, context);
    if (address < RegBoxSubVersion)
        return inputs_.ReadAdc(address, context);
    if (address <= 63 || IsReadBackPage(address))
        return RegisterExistsLocked(address) ? registers_[address] : 0;
    return 0;
}

void SimController::LogLocked(uint32_t code, const void* in, size_t inSize, size_t outSize, const void* out, bool ok)
{
    if (!logging_)
        return;
    if (log_.size() >= log_.capacity()) {
        ++logDropped_;
        return;
    }
    SimRequest r;
    r.Code = code;
    r.InSize = static_cast<uint32_t>(inSize);
    r.OutSize = static_cast<uint32_t>(outSize);
    r.Ok = ok;
    if (in) {
        r.InWords = static_cast<int32_t>(std::min<size_t>(inSize / 4, SimRequest::KeptWords));
        for (int i = 0; i < r.InWords; ++i)
            r.In[i] = Word(in, static_cast<size_t>(i));
    }
    if (ok && out && outSize >= 4)
        r.Out0 = Word(out, 0);
    log_.push_back(r);
}

size_t SimController::BulkRead(void* buffer, size_t size, int timeoutMs)
{
    // The driver gives up on a read after at most 20 ms, so a reader always
    // gets to look at its stop flag.
    const int waitMs = std::clamp(timeoutMs, 0, 20);
    const size_t maxWords = buffer != nullptr ? size / 4 : 0;
    auto streamNow = [this, buffer, maxWords] {
        std::lock_guard lock(mutex_);
        return StreamLocked(static_cast<int32_t*>(buffer), maxWords);
    };
    if (config_.Clock == ClockMode::Fast) {
        // Each read covers a few milliseconds of the instrument's time.
        clock_.AdvanceFast(int64_t(FastReadSpanMs) * 1000000);
        if (const size_t n = streamNow())
            return n * 4;
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        do {
            if (const size_t n = streamNow())
                return n * 4;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } while (std::chrono::steady_clock::now() < deadline);
        return 0;
    }
    // Nothing streams until the fast-scan generator runs: an idle stream
    // gives nothing after the time-out, as the driver's does.
    if (waitMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return 0;
}

size_t SimController::StreamLocked(int32_t* out, size_t maxWords)
{
    if (out == nullptr || maxWords == 0 || absent_)
        return 0;
    const int64_t now = clock_.NowNs();
    AdvanceLocked(now);
    const SimProbeState probe = ProbeNowLocked(now);
    // The module's own loop keeps the tip on the surface along the fast
    // lines; with it off the tip stays at the slow loop's Z and is dragged
    // over the sample as it lies. Either way its press is judged.
    const bool gains = config_.Usb ? (registers_[RegModuleK0] | registers_[RegModuleK1]) != 0
                                   : (registers_[RegModuleQ0] | registers_[RegModuleQ1] | registers_[RegModuleQ2]) != 0;
    const bool carried = gains && (fastScan_.Control() & SimFastScan::ControlFeedback) != 0;
    auto sample = [this, &probe, now, carried](int32_t address, double x, double y) {
        SimProbeState at = probe;
        at.X = x;
        at.Y = y;
        const double contact = zLoop_.ContactZ(x, y);
        at.Z = static_cast<int32_t>(std::clamp(carried ? contact : zLoop_.Z(), -2147483647.0, 2147483647.0));
        tip_.Feel(at.Z - contact, at, now);
        // Stream address 8 is the module's z output: the topography.
        return address == SimFastScan::TopographyAddress ? at.Z : ReadAtLocked(address, at, now);
    };
    return fastScan_.Stream(registers_.data(), now, out, maxWords, sample);
}

int32_t SimController::FastScanControl() const
{
    std::lock_guard lock(mutex_);
    return fastScan_.Control();
}

int64_t SimController::FastScanLines() const
{
    std::lock_guard lock(mutex_);
    return fastScan_.Lines();
}

void SimController::SetFaults(const SimFaults& faults)
{
    std::lock_guard lock(mutex_);
    faults_ = faults;
    echoLagLeft_ = 0;
    echoShown_ = registers_[RegControl2];
}

void SimController::SetAbsent(bool absent)
{
    std::lock_guard lock(mutex_);
    absent_ = absent;
}

void SimController::SetLogging(bool on)
{
    std::lock_guard lock(mutex_);
    logging_ = on;
}

std::vector<SimRequest> SimController::RequestLog() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

int64_t SimController::DroppedLogEntries() const
{
    std::lock_guard lock(mutex_);
    return logDropped_;
}

void SimController::ClearLog()
{
    std::lock_guard lock(mutex_);
    log_.clear();
    logDropped_ = 0;
}

int64_t SimController::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requestCount_;
}

std::vector<GuardViolation> SimController::GuardViolations() const
{
    std::lock_guard lock(mutex_);
    return outputs_.Violations();
}

int64_t SimController::GuardViolationCount() const
{
    std::lock_guard lock(mutex_);
    return outputs_.ViolationCount();
}

void SimController::ClearGuardViolations()
{
    std::lock_guard lock(mutex_);
    outputs_.ClearViolations();
    violationsTold_ = 0;
}

std::vector<SimCrash> SimController::Crashes() const
{
    std::lock_guard lock(mutex_);
    return tip_.Crashes();
}

int64_t SimController::CrashCount() const
{
    std::lock_guard lock(mutex_);
    return tip_.CrashCount();
}

void SimController::ClearCrashes()
{
    std::lock_guard lock(mutex_);
    tip_.ClearCrashes();
    crashesTold_ = 0;
}

void SimController::SetRecordListener(std::function<void(const QString& text)> listener)
{
    std::lock_guard lock(mutex_);
    recordListener_ = std::move(listener);
    // Records made before anyone listened are not news.
    crashesTold_ = tip_.CrashCount();
    violationsTold_ = outputs_.ViolationCount();
}

QString SimController::CrashText(const SimCrash& crash)
{
    const QString how = crash.Cause == SimCrashCause::CoarseStepInContact
                            ? QStringLiteral("a coarse step moved the sample into the touching tip")
                            : QStringLiteral("pushed %1 digits into the sample").arg(std::lround(crash.Depth));
    return QStringLiteral("tip crashed at Z %1 (%2)").arg(crash.Z).arg(how);
}

QString SimController::GuardText(const GuardViolation& v)
{
    const int dac = v.Register - RegDacBase + 1;
    const QString output = dac >= 1 && dac <= DacCount ? QStringLiteral("output DAC%1").arg(dac)
                                                       : QStringLiteral("output register %1").arg(v.Register);
    return QStringLiteral("%1 beyond its limit (%2 asked, %3 to %4 allowed)")
        .arg(output)
        .arg(v.Value)
        .arg(v.Min)
        .arg(v.Max);
}

void SimController::TakeNewRecordsLocked(QStringList& lines)
{
    // Each kind of record is an episode of its own: a crash by its cause, a
    // guard record by the output and the limit it passed.
    const int64_t now = clock_.NowNs();
    const int64_t crashes = tip_.CrashCount();
    for (int64_t i = crashesTold_; i < crashes; ++i) {
        const auto& kept = tip_.Crashes();
        const SimCrash& crash = i < static_cast<int64_t>(kept.size()) ? kept[static_cast<size_t>(i)] : tip_.LastCrash();
        recordEpisodes_.Note(
            static_cast<uint64_t>(crash.Cause), now, [&crash] { return CrashText(crash); }, lines);
    }
    crashesTold_ = crashes;
    const int64_t violations = outputs_.ViolationCount();
    for (int64_t i = violationsTold_; i < violations; ++i) {
        const auto& kept = outputs_.Violations();
        const GuardViolation& v =
            i < static_cast<int64_t>(kept.size()) ? kept[static_cast<size_t>(i)] : outputs_.LastViolation();
        const uint64_t key = (uint64_t{1} << 40) | (static_cast<uint64_t>(static_cast<uint32_t>(v.Register)) << 1) |
                             (v.Limit == GuardLimit::ZRange ? 1u : 0u);
        recordEpisodes_.Note(
            key, now, [&v] { return GuardText(v); }, lines);
    }
    violationsTold_ = violations;
    recordEpisodes_.Tick(now, lines);
}

void SimController::SetDacLimits(int dac, int32_t min, int32_t max)
{
    std::lock_guard lock(mutex_);
    outputs_.SetDacLimits(dac, min, max);
}

int32_t SimController::Register(int32_t reg) const
{
    std::lock_guard lock(mutex_);
    return reg >= 0 && reg < RegisterCount ? registers_[reg] : 0;
}

int32_t SimController::Dac(int n)
{
    std::lock_guard lock(mutex_);
    AdvanceLocked(clock_.NowNs());
    return outputs_.Dac(n);
}

bool SimController::MoveBusy() const
{
    std::lock_guard lock(mutex_);
    return generator_.Busy(clock_.NowNs());
}

int32_t SimController::ControlWord() const
{
    std::lock_guard lock(mutex_);
    return controlWord_;
}

TZRangeRecord SimController::ZRange() const
{
    std::lock_guard lock(mutex_);
    TZRangeRecord r;
    r.MinRaw = outputs_.ZMin();
    r.MaxRaw = outputs_.ZMax();
    r.Flags = outputs_.ZFlags();
    return r;
}

TSetOsziRecord SimController::OsziSetup() const
{
    std::lock_guard lock(mutex_);
    return scope_.Oszi();
}

int32_t SimController::OsziUsbEntryCount() const
{
    std::lock_guard lock(mutex_);
    return scope_.UsbEntryCount();
}

double SimController::DriveFrequencyLocked() const
{
    const SimLockInSettings& l = scope_.LockIn();
    double word = static_cast<uint32_t>(l.FrequencyWord);
    if (config_.ControllerType == 29)
        word += static_cast<double>(static_cast<uint32_t>(l.FrequencyCoarse) & 0xFFFFu) * 2147483648.0;
    return word * 1.0e7 / 4294967296.0;
}

double SimController::DriveVoltsLocked() const
{
    // Range bits 0x30: ±0.1 V, 0x10: ±1 V, none: ±10 V at the full word.
    const int32_t bits = controlWord_ & 0x30;
    const double fullScale = bits == 0x30 ? 0.1 : (bits == 0x10 ? 1.0 : 10.0);
    const double fullWord = (config_.ControllerType > 25 || config_.Usb) ? 65535.0 : 2047.0;
    return std::clamp(scope_.LockIn().AmplitudeWord / fullWord, 0.0, 1.0) * fullScale;
}

void SimController::DriveChangedLocked(int64_t nowNs)
{
    cantilever_.SetFrequency(DriveFrequencyLocked(), nowNs);
    cantilever_.SetDriveVolts(DriveVoltsLocked(), nowNs);
    cantilever_.SetReferencePhase((scope_.LockIn().PhaseWord & 0x1FFF) * 360.0 / 8192.0);
    // Input gain bits 1-3: 14 gain 1, 12 gain 10, 8 gain 100.
    const int32_t gainBits = controlWord_ & 0xE;
    cantilever_.SetInputGain(gainBits == 0x8 ? 100.0 : (gainBits == 0xC ? 10.0 : 1.0));
}

double SimController::DriveFrequencyHz() const
{
    std::lock_guard lock(mutex_);
    return DriveFrequencyLocked();
}

double SimController::DriveVolts() const
{
    std::lock_guard lock(mutex_);
    return DriveVoltsLocked();
}

double SimController::LockInTimeConstant() const
{
    std::lock_guard lock(mutex_);
    return cantilever_.TimeConstant();
}

SimLockInSettings SimController::LockInSettings() const
{
    std::lock_guard lock(mutex_);
    return scope_.LockIn();
}

TSetFeedbackRecord SimController::Feedback() const
{
    std::lock_guard lock(mutex_);
    return zLoop_.Feedback();
}

TSetSlopeRecord SimController::Slope() const
{
    std::lock_guard lock(mutex_);
    return zLoop_.Slope();
}

std::vector<int32_t> SimController::ChannelList() const
{
    std::lock_guard lock(mutex_);
    return std::vector<int32_t>(channelList_.begin(), channelList_.begin() + channelCount_);
}

int64_t SimController::ChannelListCount() const
{
    std::lock_guard lock(mutex_);
    return channelListCount_;
}

int64_t SimController::RunInCount() const
{
    std::lock_guard lock(mutex_);
    return runIns_;
}

int64_t SimController::FirstLineCount() const
{
    std::lock_guard lock(mutex_);
    return firstLines_;
}

int32_t SimController::LastLedValue() const
{
    std::lock_guard lock(mutex_);
    return ledValue_;
}

int64_t SimController::LedRequestCount() const
{
    std::lock_guard lock(mutex_);
    return ledCount_;
}

SimLedBus SimController::LedBus() const
{
    std::lock_guard lock(mutex_);
    return ledBus_;
}

double SimController::CoarseGapSteps() const
{
    std::lock_guard lock(mutex_);
    return coarse_.GapSteps();
}

int64_t SimController::CoarseStepsUp() const
{
    std::lock_guard lock(mutex_);
    return coarse_.StepsUp();
}

int64_t SimController::CoarseStepsDown() const
{
    std::lock_guard lock(mutex_);
    return coarse_.StepsDown();
}

int64_t SimController::CoarseAxisSteps(SimCoarseAxes::Axis axis) const
{
    std::lock_guard lock(mutex_);
    return coarseAxes_.Steps(axis);
}

bool SimController::InContact()
{
    std::lock_guard lock(mutex_);
    return InContactLocked(clock_.NowNs());
}

double SimController::FramePosition()
{
    std::lock_guard lock(mutex_);
    return frameMotor_.Position(clock_.NowNs());
}

int64_t SimController::FrameChunks() const
{
    std::lock_guard lock(mutex_);
    return frameMotor_.ChunksStarted();
}

void SimController::SetLaserSpot(double x, double y)
{
    std::lock_guard lock(mutex_);
    photodiode_.SetSpot(x, y);
}

} // namespace qvt::sim
