#pragma once
// The resonance sweep of the main lock-in, apart from its window: the curves
// and their history, the point loop with its reads and means, the running
// mean over sweeps, the wobbel variant, and the guard that runs a mode-6
// sweep in mode 4 with the tip retracted and puts both back however the
// sweep ends.
//
// A sweep is a small state machine: the constructor only takes the set-up
// (nothing is sent); each Next() does one piece of work (a settle-sized part
// of the start wait after the first frequency, or one settle wait and one
// read of the three channels, the point's means stored after its last read),
// so the window returns to its event loop between two calls instead of
// pumping messages inside the loop. Step() is the frequency step.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qvt {

class TInOutForm;
class TDeviceWorkers;

constexpr int DncMinDataPoints = 256;
constexpr int DncMaxDataPoints = 4096;
constexpr int DncMaxHistory = 100;
constexpr int DncLeastSettle = 26;        // units of the hardware wait
constexpr int DncStartDelay = 156;        // 6 × 26, after the first frequency
constexpr int DncLeastReads = 10;         // AverageReads is raised to 9
constexpr double DncReferenceHz = 160000; // the reference oscillator during a sweep

// 256 → 0, 512 → 1, ..., 4096 → 4: how many of the steps above 256 DataPoints exceeds.
int DncPointShift(int dataPoints);
// DataPoints from the options, held inside the arrays (256..4096).
int ClampDataPoints(int dataPoints);
int ClampHistoryDepth(int depth);
// round(τ × 10^6 / 10), never below 26.
int DncSettleCount(double timeConstant);
// The wait at the start frequency before the first point is read, in µs: ten
// time constants of the output filter (a first-order filter is then within
// 5e-5 of its new value), so the first point is not what the filter still
// held from the frequency before the sweep.
int DncStartSettleUs(double timeConstant);

// One lock-in channel as the sweep reads it.
struct TDncChannel {
    int32_t Address = 0;
    double Factor = 1.0;
};

// The amplitude curves (0 the newest, 1..depth older), the newest sweep's
// phase in millidegrees and its scaled in-phase and quadrature values.
class TDncCurves {
public:
    void Allocate(int dataPoints, int historyDepth);
    int DataPoints() const { return dataPoints_; }
    int HistoryDepth() const { return depth_; }
    bool Empty() const { return history_.empty(); }

    std::vector<double>& Curve(int k) { return history_[static_cast<size_t>(k)]; }
    const std::vector<double>& Curve(int k) const { return history_[static_cast<size_t>(k)]; }
    std::vector<double>& Newest() { return history_.front(); }
    const std::vector<double>& Newest() const { return history_.front(); }
    // The curve in slot HistoryDepth becomes slot 0 (to be overwritten),
    // every other moves up by one.
    void Rotate();
    // Curves 0..HistoryDepth−1 at every point (a new range).
    void ZeroHistory();
    // The newest curve, its phase and its in-phase and quadrature values from
    // `point` on: what an ended sweep did not measure, or a running mean that
    // starts over on a new range.
    void ZeroNewestFrom(int point);
    // A new history depth at the same point count: the kept curves stay,
    // added slots start at zero.
    void SetDepth(int historyDepth);

    std::vector<double> Phase; // millidegrees, whole numbers
    std::vector<double> X;
    std::vector<double> Y;

private:
    int dataPoints_ = 0;
    int depth_ = 0;
    std::vector<std::vector<double>> history_;
};

struct TSweepSetup {
    double Start = 0.0;
    double Stop = 0.0;
    int DataPoints = 512;
    int AverageReads = 9; // each point reads AverageReads + 1 samples
    int Settle = DncLeastSettle;
    int StartSettle = 0; // µs at the start frequency before the first read
    bool Wobbel = false;
    int32_t ContAverage = -1;         // running mean over L sweeps when ≥ 1
    bool VectorMean = true;           // [dnc] Ampl ≠ 0: the mean of X and Y forms the curve
    bool ProcessBetweenReads = false; // τ > 2 ms: the window may run between reads
    TDncChannel Amplitude;
    TDncChannel InPhase;
    TDncChannel Quadrature;
};

// Phase of a mean pair: round(atan2(y, x) × 180000 / π), x = 0 taken as 1.
double DncPhaseMilliDeg(double x, double y);
// Folds one point's means into the curves: running mean with L ≥ 1, else replaced.
void StoreDncPoint(TDncCurves& curves, int i, double a, double x, double y, const TSweepSetup& s);

class TDncSweep {
public:
    TDncSweep(TInOutForm& io, TDncCurves& curves, const TSweepSetup& setup);

    double Step() const { return step_; }
    int Point() const { return point_; }
    double CurrentFrequency() const { return frequency_; }
    bool Done() const { return point_ > setup_.DataPoints; }
    // Index of the last point whose means are stored (−1: none).
    int LastStoredPoint() const { return point_ - 1; }
    // One settle wait and one read of each channel (wobbel: a pair at the
    // point's and the previous point's frequency); the point's means are
    // stored after its last read. Returns false when the sweep is complete.
    bool Next();

private:
    void ReadChannels();

    TInOutForm& io_;
    TDncCurves& curves_;
    TSweepSetup setup_;
    double step_ = 0.0;
    double frequency_ = 0.0;
    double previous_ = 0.0; // wobbel: the frequency before the last step
    int point_ = 0;
    int read_ = 0; // reads (wobbel: pairs) taken of the point
    int readsPerPoint_ = 0;
    int startWaitLeft_ = 0; // µs still to wait before the first read
    bool frequencySet_ = false;
    double sumA_ = 0.0;
    double sumX_ = 0.0;
    double sumY_ = 0.0;
    int samples_ = 0;
};

// While a sweep runs: a tip in feedback with Ki ≠ 0 is retracted, and mode 6
// runs as mode 4 with the drive re-applied. The destructor puts both back, so
// an abort or an exception restores them too.
class TSweepModeGuard {
public:
    TSweepModeGuard(TDeviceWorkers& workers, const std::function<void()>& reapplyDrive);
    ~TSweepModeGuard();
    TSweepModeGuard(const TSweepModeGuard&) = delete;
    TSweepModeGuard& operator=(const TSweepModeGuard&) = delete;

    bool Retracted() const { return retracted_; }
    bool ModeChanged() const { return modeChanged_; }

private:
    TDeviceWorkers& workers_;
    bool retracted_ = false;
    bool modeChanged_ = false;
};

} // namespace qvt
