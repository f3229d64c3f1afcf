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
#include <limits>
#include <numbers>
#include <vector>

namespace qvt {

namespace {

constexpr double UsPerSecond = 1.0e6;
constexpr double PollSpare = 1.1;
constexpr double PollExtraMs = 20.0;
constexpr int32_t ConstantHeightFeedbackMode = FeedbackCmAFM;
constexpr double SpectrumNorm = 2.83;
constexpr int TrackSteps = 1000; // position-sensor tracking during the settle delay

// Limits a value to lo..hi before it becomes a word; NaN gives lo.
int32_t ClampWord(double v, double lo, double hi)
{
    if (!(v >= lo))
        return static_cast<int32_t>(lo);
    return static_cast<int32_t>(std::min(v, hi));
}

double ScaleFactor(const TRampScale& scale)
{
    return (scale.Factor != 0.0 && std::isfinite(scale.Factor)) ? scale.Factor : 1.0;
}

double RampRaw(double value, const TRampScale& scale)
{
    const double factor = ScaleFactor(scale);
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

int32_t SpektClampPoints(int64_t points)
{
    return static_cast<int32_t>(std::clamp<int64_t>(points, 1, SpektMaxPoints));
}

double QuantizeZValue(double z, double factor)
{
    if (factor == 0.0 || !std::isfinite(factor) || !std::isfinite(z))
        return z;
    return Round(z / factor) * factor;
}

double QuantizeBiasValue(double u, const TRampScale& scale)
{
    const double factor = ScaleFactor(scale);
    const double raw = Round(u / factor - scale.Offset);
    if (!std::isfinite(raw))
        return u;
    return (raw + scale.Offset) * factor;
}

TSpektReach SpektRampReach(const double* bias, const double* z, int n, const TRampScale& biasScale,
                           const TRampScale& zScale, double zNow)
{
    TSpektReach reach;
    // The physical value a raw word stands for (the inverse of RampRaw).
    const auto physOf = [](double word, const TRampScale& scale) {
        return ((scale.Negative ? -word : word) + scale.Offset) * ScaleFactor(scale);
    };
    const auto range = [&physOf](double wordA, double wordB, const TRampScale& scale, double& low, double& high) {
        const double a = physOf(wordA, scale);
        const double b = physOf(wordB, scale);
        low = std::min(a, b);
        high = std::max(a, b);
    };
    const double biasLo = std::min(double(biasScale.MinRaw), double(biasScale.MaxRaw));
    const double biasHi = std::max(double(biasScale.MinRaw), double(biasScale.MaxRaw));
    range(biasLo, biasHi, biasScale, reach.BiasLow, reach.BiasHigh);
    const double zLo = std::min(double(zScale.MinRaw), double(zScale.MaxRaw));
    const double zHi = std::max(double(zScale.MinRaw), double(zScale.MaxRaw));
    if (zNow >= zLo && zNow <= zHi)
        range(zNow - zHi, zNow - zLo, zScale, reach.DzLow, reach.DzHigh);
    else
        reach.DzLow = reach.DzHigh = std::numeric_limits<double>::quiet_NaN(); // nothing is safe from a rail
    for (int i = 0; i < n; ++i) {
        const double word = RampRaw(z[i], zScale);
        const double zAt = zNow - word;
        if (!std::isfinite(z[i]) || !(zAt >= zLo && zAt <= zHi))
            reach.ZInRange = false;
        const double raw = RampRaw(bias[i], biasScale);
        if (!std::isfinite(bias[i]) || !(raw >= biasLo && raw <= biasHi))
            reach.BiasInRange = false;
    }
    return reach;
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

namespace {
template <typename T> void Average(const T* readings, int n, const TSpektAverage& average, double* column)
{
    const double count = average.AverageCount > 0 ? average.AverageCount : 1;
    const double h = (count - 1.0) / count;
    const double w = (1.0 - h) * average.Factor;
    for (int i = 0; i < n; ++i) {
        const double reading = average.Negate ? -double(readings[i]) : double(readings[i]);
        column[i] = column[i] * h + (reading + average.Offset) * w;
    }
}
} // namespace

void AverageSpektReadings(const int32_t* readings, int n, const TSpektAverage& average, double* column)
{
    Average(readings, n, average, column);
}

void AverageSpektReadings(const double* readings, int n, const TSpektAverage& average, double* column)
{
    Average(readings, n, average, column);
}

int SpektSpectrumLength(int n)
{
    if (n < 1)
        return 0;
    int length = 1;
    while (length * 2 <= n)
        length *= 2;
    return length;
}

void SpektAmplitudeSpectrum(const int32_t* readings, int points, double* out)
{
    points = std::clamp(points, 0, SpektPoints);
    std::fill(out, out + points, 0.0);
    const int n = SpektSpectrumLength(points);
    if (n < 2)
        return;
    // Radix-2 in bit-reversed order, with the cosine and sine tables of j·2π/N.
    std::vector<double> re(readings, readings + n);
    std::vector<double> im(n, 0.0);
    std::vector<double> cosTable(n), sinTable(n);
    for (int j = 0; j < n; ++j) {
        cosTable[j] = std::cos(j * 2.0 * std::numbers::pi / n);
        sinTable[j] = std::sin(j * 2.0 * std::numbers::pi / n);
    }
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (int len = 2; len <= n; len *= 2) {
        const int stride = n / len;
        for (int start = 0; start < n; start += len) {
            for (int k = 0; k < len / 2; ++k) {
                const double c = cosTable[k * stride];
                const double sn = -sinTable[k * stride];
                const int a = start + k;
                const int b = a + len / 2;
                const double tr = re[b] * c - im[b] * sn;
                const double ti = re[b] * sn + im[b] * c;
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
            }
        }
    }
    const int half = n / 2;
    std::vector<double> magnitude(half);
    for (int j = 0; j < half; ++j)
        magnitude[j] = std::sqrt(re[j] * re[j] + im[j] * im[j]) / n / SpectrumNorm;
    if (points == n) {
        for (int j = 0; j < half; ++j)
            out[2 * j] = out[2 * j + 1] = magnitude[j];
        return;
    }
    for (int i = 0; i < points; ++i)
        out[i] = magnitude[static_cast<size_t>(Round(double(i) * (half - 1) / (points - 1)))];
}

// ---- the device window ------------------------------------------------------------------

namespace {
TRampScale RampScaleOf(const TIOScale& s)
{
    return TRampScale{s.Factor.load(), double(s.Offset.load()), s.FactorNegative.load(), s.MinRaw.load(),
                      s.MaxRaw.load()};
}
} // namespace

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
    SpektTargetX = x;
    SpektTargetY = y;
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

double TInOutForm::QuantizeZ(double z)
{
    return QuantizeZValue(z, ChannelTable[SlotZ].Factor.load());
}

TSpektReach TInOutForm::SpektReach(const double* bias, const double* z, int n)
{
    return SpektRampReach(bias, z, n, RampScaleOf(ChannelTable[SlotBias]), RampScaleOf(ChannelTable[SlotZ]),
                          ReadReg(ReadAddrZ));
}

double TInOutForm::QuantizeBias(double u)
{
    return QuantizeBiasValue(u, RampScaleOf(ChannelTable[SlotBias]));
}

bool TInOutForm::SpektTracking() const
{
    return PositionSensors && PositionSensors().On;
}

void TInOutForm::TrackXY(double x, double y)
{
    if (!PositionSensors)
        return;
    const TPositionSensors sensors = PositionSensors();
    if (!sensors.On)
        return;
    const double sx = ReadChannelPhys(sensors.ChannelX);
    const double sy = ReadChannelPhys(sensors.ChannelY);
    const double ki = sensors.KiGo;
    const TIOScale& cx = ChannelTable[SlotX];
    const TIOScale& cy = ChannelTable[SlotY];
    const double fx = cx.Factor.load() != 0.0f ? cx.Factor.load() : 1.0;
    const double fy = cy.Factor.load() != 0.0f ? cy.Factor.load() : 1.0;
    SpektRecord.X = ClampWord(SpektRecord.X + Round((sx - x) * ki / fx), cx.MinRaw.load(), cx.MaxRaw.load());
    SpektRecord.Y = ClampWord(SpektRecord.Y + Round((sy - y) * ki / fy), cy.MinRaw.load(), cy.MaxRaw.load());
    if (MoveTipTo)
        MoveTipTo(SpektRecord.X, SpektRecord.Y);
}

bool TInOutForm::LoadSpektRamp(const double* bias, const double* z, int n, int32_t kind)
{
    n = std::clamp(n, 0, SpektMaxPoints);
    const TRampRecord biasRamp = BuildBiasRamp(bias, n, RampScaleOf(ChannelTable[SlotBias]));
    bool ok = Ioctl(IOCTL_LOAD_BIAS_RAMP, &biasRamp, sizeof biasRamp, nullptr, 0);
    const TRampRecord zRamp =
        BuildZRamp(z, n, RampScaleOf(ChannelTable[SlotZ]), (uint32_t(kind) & SpektKindZDifferences) != 0);
    ok = Ioctl(IOCTL_LOAD_Z_RAMP, &zRamp, sizeof zRamp, nullptr, 0) && ok;
    return ok;
}

bool TInOutForm::StartSpektroscopy()
{
    if (MoveTipTo)
        MoveTipTo(SpektRecord.X, SpektRecord.Y);
    const QString section = SpektModeName;
    SpektRecord.Kind = UserIni ? UserIni->ReadInteger(section, "Kind", 0) : 0;
    SpektRecord.DataPoints = SpektClampPoints(UserIni ? UserIni->ReadInteger(section, "DataPoints", SpektDefaultPoints)
                                                      : SpektDefaultPoints);
    if (SpektTracking()) {
        // The sensors pull the tip onto the point while the piezo creeps out.
        for (int i = 0; i < TrackSteps; ++i) {
            TrackXY(SpektTargetX, SpektTargetY);
            DelayUs(SpektRecord.Delay / TrackSteps);
        }
    } else {
        // Once more after the first move has settled, then let the piezo creep out.
        if (MoveTipTo)
            MoveTipTo(SpektRecord.X, SpektRecord.Y);
        DelayUs(SpektRecord.Delay);
    }
    // The mode the run came from is the one it goes back to (a missing key
    // must not switch a contact-mode microscope to STM).
    spektModeBefore_ = MicroscopeState.FeedbackMode.load();
    if (section == SpektKindConstantHeight) {
        MicroscopeState.FeedbackMode = ConstantHeightFeedbackMode;
        UpdateFeedback();
        DelayUs(SpektRecord.Delay);
    }
    const bool ok = Ioctl(IOCTL_SET_SPEKT, &SpektRecord, sizeof SpektRecord, nullptr, 0);
    LastIoOk = ok;
    if (!timer3_) {
        timer3_ = new QTimer(this);
        timer3_->setSingleShot(true);
        connect(timer3_, &QTimer::timeout, this, &TInOutForm::Timer3Spekt);
    }
    timer3_->setInterval(SpektPollIntervalMs(SpektRecord.SampleTicks, SpektRecord.DataPoints));
    timer3_->start();
    return ok;
}

void TInOutForm::RestoreSpektFeedback()
{
    if (spektModeBefore_ < -1)
        return; // no run has changed it
    if (MicroscopeState.FeedbackMode.load() != spektModeBefore_) {
        MicroscopeState.FeedbackMode = spektModeBefore_;
        UpdateFeedback();
    }
    spektModeBefore_ = -2;
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
        if (!Ioctl(IOCTL_READ_SPEKT, &input, sizeof input, readings.data(), sizeof(int32_t) * readings.size(),
                   &returned))
            returned = 0;
        // Only the readings that came back count; the rest of the slot is stale.
        SpektReturned[slot - 1] = std::min(points, static_cast<int>(returned / sizeof(int32_t)));
        if (slot == 1 && SpektReplyShort(returned, points))
            ShowMessage(MsgKind::Information, SpektTooFastMessage);
    }
    emit spektDataReady(points);
}

} // namespace qvt
