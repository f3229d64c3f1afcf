// The device window's spectroscopy members: they send the words the
// builders of SpektRequests.h make and poll the results.

#include "device/InOutForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/SpektRequests.h"
#include "platform/MessageBoxes.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace qvt {

namespace {
constexpr int32_t ConstantHeightFeedbackMode = FeedbackCmAFM;
constexpr int TrackSteps = 1000; // position-sensor tracking during the settle delay
} // namespace

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
                          ReadReg(ReadAddrZ), SpektPressMax());
}

double TInOutForm::SpektPressMax() const
{
    return qvt::SpektPressMax(MainIni ? MainIni->ReadFloat("Spekt", "ZPressMax", 0.0) : 0.0);
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
