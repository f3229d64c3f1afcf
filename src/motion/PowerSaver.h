#pragma once
// The power saver: counts the minutes in which no scan runs and, after the
// configured idle time, retracts the tip, switches the piezo outputs and the
// laser off as configured and says so on the power-down window. The window's
// Reset restarts the count and powers the microscope up again.
//
// Window thread only. Idle time is measured on a monotonic clock, so a
// change of the system time neither powers the microscope down nor keeps it up.

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace qvt {

class TInOutForm;
class TApproach;
class TMoveEngine;

// The power-down window as the power saver drives it.
class IPowerDownView {
public:
    virtual ~IPowerDownView() = default;
    virtual void SetLabels(const QString& first, const QString& second) = 0;
    // Shows the window (nothing when it is shown already).
    virtual void ShowView() = 0;
};

// The power-down window's state.
enum PowerDownWindowState : int32_t {
    PowerDownCounting = 0,
    PowerDownPowering = 1,
    PowerDownDone = 2,
};

// The second label r minutes after the deadline (r < 0 before it).
QString PowerDownCountdownText(double r);
QString PoweredDownSinceText(double r);

// Minutes on the monotonic clock.
double MonotonicMinutes();

class TPowerSaver {
public:
    // `scanActive` tells whether a scan runs; `clock` gives minutes on a
    // monotonic clock (tests give their own).
    TPowerSaver(TInOutForm& link, TApproach& approach, TMoveEngine& moves, std::function<bool()> scanActive,
                std::function<double()> clock = MonotonicMinutes);

    // The status timer's tick (every 100 ms).
    void Tick();
    void PowerDown();
    void PowerUp();
    // The power-down window's Reset: activity now.
    void ResetIdleClock();

    double IdleClock = 0.0; // minutes, the last activity; 0: none seen yet
    double NowMinutes = 0.0;
    int32_t WindowState = PowerDownCounting;
    IPowerDownView* View = nullptr;

    // The status timer's interval value: IdleClock older than five times
    // this (taken as minutes) counts as activity.
    static constexpr double StatusTimerInterval = 100.0;

private:
    void Show(const QString& first, const QString& second);

    void SetLaser(bool on);

    TInOutForm& link_;
    TApproach& approach_;
    TMoveEngine& moves_;
    std::function<bool()> scanActive_;
    std::function<double()> clock_;
    std::optional<int32_t> savedFeedbackMode_; // the mode the power-down switched off
};

} // namespace qvt
