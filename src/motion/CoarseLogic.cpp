#include "motion/CoarseLogic.h"

#include <algorithm>
#include <cmath>

namespace qvt {

int RepeatIntervalFromDeflection(int d, int fast, int slow)
{
    d = std::clamp(d, 0, DeflectionMax);
    return static_cast<int>(std::lround(fast + static_cast<double>(DeflectionMax - d) * (slow - fast) / DeflectionMax));
}

void TRepeatController::Press(int64_t nowMs, int intervalMs, bool byMouse)
{
    active_ = true;
    byMouse_ = byMouse;
    start_ = nowMs;
    SetInterval(intervalMs);
}

int64_t TRepeatController::MsUntilDue(int64_t nowMs) const
{
    if (!active_)
        return -1;
    return std::max<int64_t>(0, start_ + interval_ - nowMs);
}

bool TRepeatController::Release(bool pointerOnButton)
{
    const bool wasActive = active_;
    active_ = false;
    return wasActive && pointerOnButton;
}

std::optional<int> TakeDelayText(const QString& text, int lo, int hi)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return std::clamp(value, lo, hi);
}

TCoarseEnable CoarseEnableRules(bool xyTranslator, int32_t zState)
{
    const bool free = zState != -1;
    return {xyTranslator && free, free};
}

int CoarseSimpleWidth(int buttonWidth)
{
    return 3 * buttonWidth + 54;
}

} // namespace qvt
