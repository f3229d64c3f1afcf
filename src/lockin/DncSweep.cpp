#include "lockin/DncSweep.h"

#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "scan/DeviceWorkers.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt {

int DncPointShift(int dataPoints)
{
    int shift = 0;
    for (int n = DncMinDataPoints; n < dataPoints && shift < 4; n <<= 1)
        ++shift;
    return shift;
}

int ClampDataPoints(int dataPoints)
{
    return std::clamp(dataPoints, DncMinDataPoints, DncMaxDataPoints);
}

int ClampHistoryDepth(int depth)
{
    return std::clamp(depth, 0, DncMaxHistory);
}

int DncSettleCount(double timeConstant)
{
    const double count = Round(timeConstant * 1.0e6 / 10.0);
    if (!(count > DncLeastSettle))
        return DncLeastSettle;
    return static_cast<int>(std::min(count, 2.0e9));
}

int DncStartSettleUs(double timeConstant)
{
    constexpr double FilterTimes = 10.0;
    const double us = Round(timeConstant * FilterTimes * 1.0e6);
    if (!(us > 0.0))
        return 0;
    return static_cast<int>(std::min(us, 2.0e9));
}

void TDncCurves::Allocate(int dataPoints, int historyDepth)
{
    dataPoints_ = ClampDataPoints(dataPoints);
    depth_ = ClampHistoryDepth(historyDepth);
    const auto n = static_cast<size_t>(dataPoints_ + 1);
    history_.assign(static_cast<size_t>(depth_ + 1), std::vector<double>(n, 0.0));
    Phase.assign(n, 0.0);
    X.assign(n, 0.0);
    Y.assign(n, 0.0);
}

void TDncCurves::Rotate()
{
    if (history_.size() > 1)
        std::rotate(history_.rbegin(), history_.rbegin() + 1, history_.rend());
}

void TDncCurves::ZeroHistory()
{
    for (int k = 0; k < depth_ && k < static_cast<int>(history_.size()); ++k)
        std::fill(history_[static_cast<size_t>(k)].begin(), history_[static_cast<size_t>(k)].end(), 0.0);
}

void TDncCurves::ZeroNewestFrom(int point)
{
    if (history_.empty())
        return;
    const auto from = static_cast<std::ptrdiff_t>(std::clamp(point, 0, dataPoints_ + 1));
    for (std::vector<double>* v : {&history_.front(), &Phase, &X, &Y})
        std::fill(v->begin() + from, v->end(), 0.0);
}

void TDncCurves::SetDepth(int historyDepth)
{
    if (history_.empty())
        return;
    depth_ = ClampHistoryDepth(historyDepth);
    history_.resize(static_cast<size_t>(depth_ + 1), std::vector<double>(static_cast<size_t>(dataPoints_ + 1), 0.0));
}

double DncPhaseMilliDeg(double x, double y)
{
    if (x == 0.0)
        x = 1.0;
    return Round(std::atan2(y, x) * 180000.0 / std::numbers::pi);
}

void StoreDncPoint(TDncCurves& curves, int i, double a, double x, double y, const TSweepSetup& s)
{
    if (x == 0.0)
        x = 1.0;
    const auto p = static_cast<size_t>(i);
    curves.Phase[p] = DncPhaseMilliDeg(x, y);
    double& newest = curves.Newest()[p];
    const int32_t l = s.ContAverage;
    if (l >= 1) {
        const double keep = 1.0 - 1.0 / l;
        curves.X[p] = keep * curves.X[p] + x * s.InPhase.Factor / l;
        curves.Y[p] = keep * curves.Y[p] + y * s.Quadrature.Factor / l;
        if (s.VectorMean)
            newest = std::hypot(curves.X[p], curves.Y[p]);
        else
            newest = keep * newest + a * s.Amplitude.Factor / l;
    } else {
        newest = a * s.Amplitude.Factor;
        curves.X[p] = x * s.InPhase.Factor;
        curves.Y[p] = y * s.Quadrature.Factor;
    }
}

TDncSweep::TDncSweep(TInOutForm& io, TDncCurves& curves, const TSweepSetup& setup)
    : io_(io), curves_(curves), setup_(setup)
{
    setup_.DataPoints = std::min(setup_.DataPoints, curves_.DataPoints());
    setup_.AverageReads = std::max(setup_.AverageReads, DncLeastReads - 1);
    setup_.Settle = std::max(setup_.Settle, DncLeastSettle);
    step_ = (setup_.Stop - setup_.Start) / static_cast<double>(DncMinDataPoints << DncPointShift(setup_.DataPoints));
    frequency_ = setup_.Start;
    // The first wobbel point has no previous one: it pairs with the start.
    previous_ = setup_.Start;
    readsPerPoint_ = setup_.Wobbel ? (setup_.AverageReads / 2) + 1 : setup_.AverageReads + 1;
    startWaitLeft_ = std::max(setup_.StartSettle, 0);
}

void TDncSweep::ReadChannels()
{
    sumA_ += io_.ReadReg(setup_.Amplitude.Address);
    sumX_ += io_.ReadReg(setup_.InPhase.Address);
    sumY_ += io_.ReadReg(setup_.Quadrature.Address);
    ++samples_;
}

bool TDncSweep::Next()
{
    if (Done())
        return false;
    if (startWaitLeft_ > 0) {
        // Waited in settle-sized pieces, so the window runs between them.
        if (!frequencySet_) {
            io_.SetLockInFrequency(frequency_);
            frequencySet_ = true;
        }
        const int piece = std::min(startWaitLeft_, setup_.Settle);
        io_.DelayUs(piece);
        startWaitLeft_ -= piece;
        return true;
    }
    if (setup_.Wobbel) {
        io_.SetLockInFrequency(frequency_);
        io_.DelayUs(setup_.Settle);
        ReadChannels();
        // The previous frequency as the controller kept it (a single).
        io_.SetLockInFrequency(static_cast<float>(previous_));
        io_.DelayUs(setup_.Settle);
        ReadChannels();
    } else {
        if (!frequencySet_) {
            io_.SetLockInFrequency(frequency_);
            frequencySet_ = true;
        }
        io_.DelayUs(setup_.Settle);
        ReadChannels();
    }
    if (++read_ < readsPerPoint_)
        return true;

    const double n = samples_;
    StoreDncPoint(curves_, point_, sumA_ / n, sumX_ / n, sumY_ / n, setup_);
    sumA_ = sumX_ = sumY_ = 0.0;
    samples_ = 0;
    read_ = 0;
    frequencySet_ = false;
    ++point_;
    previous_ = frequency_;
    frequency_ += step_;
    return !Done();
}

TSweepModeGuard::TSweepModeGuard(TDeviceWorkers& workers, const std::function<void()>& reapplyDrive) : workers_(workers)
{
    const int mode = MicroscopeState.FeedbackMode;
    const TFeedbackSet& set =
        MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(ValidFeedbackMode(mode)))];
    if (MicroscopeState.ZState == ZApproached && set.Ki != 0.0f) {
        workers_.RetractZ();
        // The sweep drives the cantilever only once it is off the sample.
        workers_.WaitForMotion();
        retracted_ = true;
    }
    if (mode == FeedbackNcAFMPLL) {
        MicroscopeState.FeedbackMode = FeedbackNcAFMR;
        modeChanged_ = true;
        workers_.Link().SendFeedbackRecord();
        if (reapplyDrive)
            reapplyDrive();
    }
}

TSweepModeGuard::~TSweepModeGuard()
{
    try {
        if (modeChanged_) {
            MicroscopeState.FeedbackMode = FeedbackNcAFMPLL;
            workers_.Link().SendFeedbackRecord();
        }
        if (retracted_)
            workers_.EngageZ();
    } catch (...) {
        // A destructor must not throw; the link reports its own failures.
    }
}

} // namespace qvt
