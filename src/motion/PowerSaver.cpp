#include "motion/PowerSaver.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "motion/MoveEngine.h"
#include "motion/Stepper.h"
#include "protocol/ControlCodes.h"

#include <chrono>

namespace qvt {

namespace {

constexpr const char* SaverSection = "QVTSaver";
constexpr double CountdownMinutes = 10.0;     // the window counts down this long before the deadline
constexpr double SecondsFromMinutes = 2.0;    // and in seconds during the last two minutes
constexpr double PowerDownAfterMinutes = 1.0; // powers down this long after the deadline
constexpr int64_t MinutesShownUpTo = 120;

QString WholeNumber(double value)
{
    return QString::number(static_cast<qint64>(Round(value)));
}

bool SaverOn()
{
    return MainIni != nullptr && MainIni->ReadBool(SaverSection, "CoarseRetract", false);
}

} // namespace

QString PowerDownCountdownText(double r)
{
    if (r >= -SecondsFromMinutes)
        return WholeNumber(-r * 60.0) + " seconds";
    return WholeNumber(-r) + " minutes";
}

QString PoweredDownSinceText(double r)
{
    const double t = Round(r);
    if (t >= 0 && t < MinutesShownUpTo)
        return WholeNumber(t) + " minutes ago.";
    return WholeNumber(r / 60.0) + " houres ago.";
}

double MonotonicMinutes()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::ratio<60>>(now).count();
}

TPowerSaver::TPowerSaver(TInOutForm& link, TApproach& approach, TMoveEngine& moves, std::function<bool()> scanActive,
                         std::function<double()> clock)
    : link_(link), approach_(approach), moves_(moves), scanActive_(std::move(scanActive)), clock_(std::move(clock))
{
}

void TPowerSaver::SetLaser(bool on)
{
    if (Stepper != nullptr)
        Stepper->SetLaser(on);
}

void TPowerSaver::Show(const QString& first, const QString& second)
{
    if (View == nullptr)
        return;
    View->SetLabels(first, second);
    View->ShowView();
}

void TPowerSaver::ResetIdleClock()
{
    IdleClock = clock_();
}

void TPowerSaver::Tick()
{
    if (!SaverOn())
        return;
    const double idleTime = Round(MainIni->ReadFloat(SaverSection, "IdleTime", 0.0));
    // A negative idle time would power down on the first quiet tick.
    if (!(idleTime > 0.0))
        return;

    NowMinutes = clock_();
    // A motion under way is activity as well: its own waits run this tick.
    const bool activity = (scanActive_ && scanActive_()) || approach_.Busy() || IdleClock == 0.0 ||
                          IdleClock + 5.0 * StatusTimerInterval < NowMinutes;
    if (activity) {
        IdleClock = NowMinutes;
        return;
    }

    const double r = NowMinutes - (idleTime + IdleClock);
    if (r > -CountdownMinutes && r < 0.0) {
        WindowState = PowerDownCounting;
        Show("Microscope will power down in", PowerDownCountdownText(r));
    } else if (r > PowerDownAfterMinutes) {
        // Once the idle clock has run past its limit the countdown starts
        // afresh; an instrument already powered down is not retracted again.
        if (WindowState == PowerDownCounting && MicroscopeState.ZState != ZPoweredDown)
            PowerDown();
        Show("Microscope powered down", PoweredDownSinceText(r));
    }
}

void TPowerSaver::PowerDown()
{
    if (!SaverOn())
        return;
    WindowState = PowerDownPowering;
    approach_.CoarseRetract();
    // The piezo outputs are switched only once the tip is away.
    approach_.Wait();
    if (MainIni->ReadBool(SaverSection, "PiezoOff", false)) {
        const int32_t mode = MicroscopeState.FeedbackMode;
        if (mode != FeedbackNone)
            savedFeedbackMode_ = mode;
        MicroscopeState.FeedbackMode = FeedbackNone;
        link_.SendFeedbackRecord();
        const int32_t raw = MainIni->ReadInteger(SaverSection, "PiezoVoltage", 0);
        link_.WriteReg(RegZ, raw);
        link_.WriteReg(RegX, raw);
        link_.WriteReg(RegY, raw);
    }
    if (MainIni->ReadBool(SaverSection, "LASEROff", false))
        SetLaser(false);
    WindowState = PowerDownDone;
    MicroscopeState.ZState = ZPoweredDown;
}

void TPowerSaver::PowerUp()
{
    SetLaser(true);
    if (MainIni != nullptr && MainIni->ReadBool(SaverSection, "PiezoOff", false)) {
        moves_.Sync();
        // Only a mode the power-down switched off comes back.
        if (savedFeedbackMode_) {
            MicroscopeState.FeedbackMode = *savedFeedbackMode_;
            savedFeedbackMode_.reset();
        }
        link_.SendFeedbackRecord();
    }
    MicroscopeState.ZState = ZCoarseRetracted;
    Show("Microscope is powered on.", "Check LAser Alignment and use AutoAppreoach");
    // The USB oscilloscope channel list is sent again here once the
    // oscilloscope requests exist.
}

} // namespace qvt
