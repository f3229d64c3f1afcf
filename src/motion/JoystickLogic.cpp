#include "motion/JoystickLogic.h"

#include <cstdlib>

namespace qvt {

uint32_t TJoystickConfig::ModeMask() const
{
    return JoyModeBit >= 0 && JoyModeBit <= 7 ? 1u << JoyModeBit : 0u;
}

QStringList TJoystickConfig::ByteNames() const
{
    QStringList names;
    for (int i = 0; i < Items; ++i)
        names << "Byte " + QString::number(i);
    auto name = [&names](int index, const QString& text) {
        if (index >= 0 && index < Items)
            names[index] = text;
    };
    name(JoyItemX, "X");
    name(JoyItemY, "Y");
    name(JoyItemZ, "Z");
    name(SelectPoint, "Select Point");
    if (ModeMask() != 0)
        name(JoyModeByte, "Mode");
    return names;
}

TJoystickReading DecodeJoystickReport(const TJoystickConfig& config, const uint8_t* data, int size)
{
    auto at = [data, size](int index) { return index >= 0 && index < size ? data[index] : -1; };
    auto axis = [&at](int index) { return at(index) < 0 ? 0 : at(index) - 128; };
    TJoystickReading r;
    r.X = axis(config.JoyItemX);
    r.Y = axis(config.JoyItemY);
    r.Z = axis(config.JoyItemZ);
    r.SelectValue = std::max(at(config.SelectPoint), 0);
    // The mode byte only when the report holds it.
    const uint32_t mask = config.ModeMask();
    const int mode = config.JoyModeByte < TJoystickConfig::Items ? at(config.JoyModeByte) : -1;
    r.WrongMode = mask != 0 && mode >= 0 && (static_cast<uint32_t>(mode) & mask) != 0;
    return r;
}

TJoystickController::TJoystickController(TJoystickConfig config, TJoystickActions actions)
    : config_(config), actions_(std::move(actions))
{
}

void TJoystickController::Handle(const uint8_t* data, int size, bool feedbackOff, bool approached, double nowDays)
{
    TJoystickReading r = DecodeJoystickReport(config_, data, size);
    // A point is taken on the press, not on every report while held.
    if (r.SelectValue != 0 && !selectHeld_ && actions_.AddPosition)
        actions_.AddPosition(r.SelectValue);
    selectHeld_ = r.SelectValue != 0;

    if (size >= MinMovingSize) {
        const int tol = config_.Tolerance;
        auto dead = [tol](int& v) {
            if (std::abs(v) <= tol)
                v = 0;
        };
        dead(r.X);
        dead(r.Y);
        dead(r.Z);
        const bool centred = r.X == 0 && r.Y == 0 && r.Z == 0;
        if (!centred) {
            if (feedbackOff) {
                // With the feedback off the tip moves, approached or not.
                actions_.JoystickMove(r.X, -r.Y, r.Z);
                activeAxis_ = AxisPoint;
            } else if (approached) {
                // Coarse steps toward an approached tip are refused.
                if (WarningDue(nowDays)) {
                    lastWarning_ = nowDays;
                    actions_.Warn(ApproachedText);
                }
            } else {
                DriveCoarse(r.X, r.Y, r.Z);
            }
        } else if (activeAxis_ > AxisNone) {
            if (activeAxis_ == AxisPoint)
                actions_.JoystickMove(0, 0, 0);
            else
                actions_.Release();
            activeAxis_ = AxisNone;
        }
    }
    if (r.WrongMode && WarningDue(nowDays)) {
        lastWarning_ = nowDays;
        actions_.Warn(WrongModeText);
    }
}

void TJoystickController::DriveCoarse(int x, int y, int z)
{
    int axis = 0;
    int button = 0;
    int deflection = 0;
    if (std::abs(z) > config_.Tolerance) {
        axis = AxisZ;
        button = z >= 0 ? 1 : 2;
        deflection = std::abs(z);
    } else if (std::abs(y) < std::abs(x)) {
        axis = AxisX;
        button = x <= 0 ? 3 : 4;
        deflection = std::abs(x);
    } else {
        axis = AxisY;
        button = y < 0 ? 5 : 6;
        deflection = std::abs(y);
    }
    if (activeAxis_ == AxisNone || activeAxis_ == AxisPoint) {
        // A disabled button (x/y while the tip is near) is not pressed.
        if (actions_.ButtonEnabled && !actions_.ButtonEnabled(button))
            return;
        actions_.Press(button);
    }
    activeAxis_ = axis;
    actions_.SetRepeat(deflection);
}

} // namespace qvt
