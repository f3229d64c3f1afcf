// The spectroscopy request words, and the device window's spectroscopy members
// that send them and poll the results.

#include "device/SpektRequests.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double UsPerSecond = 1.0e6;
constexpr double PollSpare = 1.1;
constexpr double PollExtraMs = 20.0;
constexpr int32_t ConstantHeightFeedbackMode = 3;

// Limits a value to lo..hi before it becomes a word; NaN gives lo.
int32_t ClampWord(double v, double lo, double hi)
{
    if (!(v >= lo))
        return static_cast<int32_t>(lo);
    return static_cast<int32_t>(std::min(v, hi));
}

double RampRaw(double value, const TRampScale& scale)
{
    const double factor = (scale.Factor != 0.0 && std::isfinite(scale.Factor)) ? scale.Factor : 1.0;
    double raw = Round(value / factor - scale.Offset);
    if (!std::isfinite(raw))
        raw = 0.0;
    return scale.Negative ? -raw : raw;
}

} // namespace

// ---- pure builders ------------------------------------------------------------------

int32_t SpektDelayUs(double us)
{
    return ClampWord(Round(us), 1.0, SpektDelayMaxUs);
}

int32_t SpektSampleTicks(double us)
{
    return ClampWord(Round(us / UsPerSecond * SpektClockHz), 1.0, SpektTicksMax);
}

double SpektTicksToUs(int32_t ticks)
{
    return ticks * (UsPerSecond / SpektClockHz);
}

int SpektPollIntervalMs(int32_t ticks, int32_t points)
{
    return static_cast<int>(Round(ticks / SpektClockHz * 1000.0 * points * PollSpare + PollExtraMs));
}

int SpektInputSlot(int slot)
{
    if (slot < 0)
        return 0;
    return slot > 2 ? 3 : slot;
}

TRampRecord BuildBiasRamp(const double* values, int n, const TRampScale& scale)
{
    TRampRecord r;
    n = std::clamp(n, 0, SpektMaxPoints);
    for (int i = 0; i < n; ++i) {
        const double raw = std::max(std::min(RampRaw(values[i], scale), double(scale.MaxRaw)), double(scale.MinRaw));
        r.Values[i] = static_cast<int32_t>(raw);
    }
    if (n > 0)
        r.Values[n] = r.Values[n - 1];
    return r;
}

TRampRecord BuildZRamp(const double* values, int n, const TRampScale& scale, bool differences)
{
    TRampRecord r;
    n = std::clamp(n, 0, SpektMaxPoints);
    // Computed wide: a channel with reversed limits must not overflow the span.
    const double limit = std::abs(double(scale.MaxRaw) - double(scale.MinRaw));
    const double span = std::min(limit, 1073741823.0); // differences stay inside 32 bits
    for (int i = 0; i < n; ++i)
        r.Values[i] = ClampWord(RampRaw(values[i], scale), -span, span);
    if (n > 0)
        r.Values[n] = r.Values[n - 1];
    if (differences) {
        for (int k = 0; k < n; ++k)
            r.Values[k] = r.Values[k + 1] - r.Values[k];
    }
    return r;
}

TSetSpektRecord BuildSpektStop(const TSetSpektRecord& record)
{
    TSetSpektRecord r = record;
    r.DataPoints = 0;
    r.Kind = SpektKindStop;
    return r;
}

bool SpektReplyShort(size_t replyBytes, int32_t points)
{
    return static_cast<int64_t>(replyBytes / 4) != points;
}

void AverageSpektReadings(const int32_t* readings, int n, const TSpektAverage& average, double* column)
{
    const double count = average.AverageCount > 0 ? average.AverageCount : 1;
    const double h = (count - 1.0) / count;
    const double w = (1.0 - h) * average.Factor;
    for (int i = 0; i < n; ++i) {
        const double reading = average.Negate ? -double(readings[i]) : double(readings[i]);
        column[i] = column[i] * h + (reading + average.Offset) * w;
    }
}

// ---- the device window ------------------------------------------------------------------

void TInOutForm::SetSpektPosition(double& x, double& y)
{
    const TIOScale& sx = ChannelTable[SlotX];
    const TIOScale& sy = ChannelTable[SlotY];
    const double fx = sx.Factor.load();
    const double fy = sy.Factor.load();
    const int32_t rx = ClampWord(Round(x / fx), sx.MinRaw.load(), sx.MaxRaw.load());
    const int32_t ry = ClampWord(Round(y / fy), sy.MinRaw.load(), sy.MaxRaw.load());
    x = rx * fx;
    y = ry * fy;
    SpektRecord.X = rx;
    SpektRecord.Y = ry;
}

double TInOutForm::SetSpektDelay(double us)
{
    SpektRecord.Delay = SpektDelayUs(us);
    return SpektRecord.Delay;
}

double TInOutForm::SetSpektSampleTime(double us)
{
    SpektRecord.SampleTicks = SpektSampleTicks(us);
    return SpektTicksToUs(SpektRecord.SampleTicks);
}

void TInOutForm::SetSpektChannel(int slot, const TIOScale& scale)
{
    SpektRecord.Inputs[SpektInputSlot(slot)] = scale.Address.load();
}

bool TInOutForm::LoadSpektRamp(const double* bias, const double* z, int n, int32_t kind)
{
    auto rampScale = [](const TIOScale& s) {
        return TRampScale{s.Factor.load(), double(s.Offset.load()), s.FactorNegative.load(), s.MinRaw.load(),
                          s.MaxRaw.load()};
    };
    const TRampRecord biasRamp = BuildBiasRamp(bias, n, rampScale(ChannelTable[SlotBias]));
    bool ok = Ioctl(IOCTL_LOAD_BIAS_RAMP, &biasRamp, sizeof biasRamp, nullptr, 0);
    const TRampRecord zRamp = BuildZRamp(z, n, rampScale(ChannelTable[SlotZ]), (kind & SpektKindZDifferences) != 0);
    ok = Ioctl(IOCTL_LOAD_Z_RAMP, &zRamp, sizeof zRamp, nullptr, 0) && ok;
    return ok;
}

bool TInOutForm::StartSpektroscopy(int32_t kind, int32_t points, bool constantHeight)
{
    if (MoveTipTo)
        MoveTipTo(SpektRecord.X, SpektRecord.Y);
    SpektRecord.Kind = kind;
    SpektRecord.DataPoints = std::clamp(points, 0, SpektMaxPoints);
    // Once more after the first move has settled, then let the piezo creep out.
    if (MoveTipTo)
        MoveTipTo(SpektRecord.X, SpektRecord.Y);
    DelayUs(SpektRecord.Delay);
    if (constantHeight) {
        MicroscopeState.FeedbackMode = ConstantHeightFeedbackMode;
        UpdateFeedback();
        DelayUs(SpektRecord.Delay);
    }
    const bool ok = Ioctl(IOCTL_SET_SPEKT, &SpektRecord, sizeof SpektRecord, nullptr, 0);
    LastIoOk = ok;
    if (!timer3_) {
        timer3_ = new QTimer(this);
        connect(timer3_, &QTimer::timeout, this, &TInOutForm::Timer3Spekt);
    }
    timer3_->setInterval(SpektPollIntervalMs(SpektRecord.SampleTicks, SpektRecord.DataPoints));
    timer3_->start();
    return ok;
}

void TInOutForm::RestoreSpektFeedback()
{
    const int mode = MainIni ? MainIni->ReadInteger("Microscope", "Feedback", 0) : 0;
    if (MicroscopeState.FeedbackMode.load() != mode) {
        MicroscopeState.FeedbackMode = mode;
        UpdateFeedback();
    }
}

void TInOutForm::StopSpektroscopy()
{
    SpektRecord = BuildSpektStop(SpektRecord);
    Ioctl(IOCTL_SET_SPEKT, &SpektRecord, sizeof SpektRecord, nullptr, 0);
    RestoreSpektFeedback();
    if (timer3_)
        timer3_->stop();
    UpdateFeedback();
}

bool TInOutForm::Timer3Active() const
{
    return timer3_ && timer3_->isActive();
}

void TInOutForm::Timer3Spekt()
{
    if (timer3_)
        timer3_->stop();
    RestoreSpektFeedback();
    const int points = std::clamp(SpektRecord.DataPoints, 0, SpektMaxPoints);
    for (int slot = 1; slot <= SpektResultSlots; ++slot) {
        auto& readings = SpektSlots[slot - 1];
        readings.fill(0);
        const int32_t input = slot;
        size_t returned = 0;
        Ioctl(IOCTL_READ_SPEKT, &input, sizeof input, readings.data(), sizeof(int32_t) * readings.size(), &returned);
        if (slot == 1 && SpektReplyShort(returned, points))
            ShowMessage(MsgKind::Information, SpektTooFastMessage);
    }
    emit spektDataReady(points);
}

} // namespace qvt
