#pragma once
// What the coarse motion window decides without a screen: the hold-to-repeat
// timing of its step buttons, the joystick's delay from the stick's
// deflection, the delay edits' checks and which buttons may be pressed.

#include <QString>

#include <cstdint>
#include <optional>

namespace qvt {

// The delay of a repeat for a stick deflection `d` (clamped to 0..127):
// full deflection gives `fast`, none gives `slow`.
int RepeatIntervalFromDeflection(int d, int fast, int slow);

// Hold-to-repeat of one step button, on a clock the caller gives (ms).
// The first repeat comes one interval after the press; each later one an
// interval after the previous burst has finished, so a slow stepper never
// piles bursts up. On release the button's own click adds one burst when the
// pointer is still on it; a hold that was cut off (focus lost, a box in the
// middle of it) adds none.
class TRepeatController {
public:
    // `byMouse`: the mouse pressed it (the joystick presses without a mouse).
    void Press(int64_t nowMs, int intervalMs, bool byMouse);
    // A new interval, counted from the last burst (joystick deflection).
    void SetInterval(int intervalMs) { interval_ = intervalMs < 1 ? 1 : intervalMs; }
    int Interval() const { return interval_; }
    bool Active() const { return active_; }
    bool MouseStarted() const { return active_ && byMouse_; }
    // Milliseconds until the next burst is due (0: due now); -1 when idle.
    int64_t MsUntilDue(int64_t nowMs) const;
    // True when a burst is due at `nowMs`; the caller runs it, then BurstDone.
    bool Due(int64_t nowMs) const { return active_ && nowMs - start_ >= interval_; }
    void BurstDone(int64_t nowMs) { start_ = nowMs; }
    // Mouse up: stops the repeat; true when the click's own burst follows.
    bool Release(bool pointerOnButton);
    // The hold is cut off: no further burst of any kind.
    void Cancel() { active_ = false; }

private:
    bool active_ = false;
    bool byMouse_ = false;
    int64_t start_ = 0;
    int interval_ = 1000;
};

// The colour a delay edit shows: white when its value is taken, silver while
// it is being typed, red when the typed text was no number.
enum class TDelayEditState { Taken, Typing, Refused };

// Enter in a delay edit: the integer limited to lo..hi, or none (the old
// value stays) when the text is no integer.
std::optional<int> TakeDelayText(const QString& text, int lo, int hi);

struct TCoarseEnable {
    bool XY = false;
    bool Level = false;
};
// x/y buttons need the translator and a tip that is not approached; the
// levelling station only the latter.
TCoarseEnable CoarseEnableRules(bool xyTranslator, int32_t zState);

// Window widths of the two layouts.
int CoarseSimpleWidth(int buttonWidth);
constexpr int CoarseAdvancedWidth = 403;
constexpr int CoarseHeightWithoutLevel = 181;

constexpr int CoarseDelayMin = 1;
constexpr int CoarseDelayMax = 10000;
constexpr int CoarsePulseMin = 1;
constexpr int CoarsePulseMax = 999;
constexpr int DeflectionMax = 127;

} // namespace qvt
