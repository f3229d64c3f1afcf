#pragma once
// What a joystick report means: three signed deflections, a select-point
// byte and a mode bit, decoded by the indices of the settings, and what they
// make the instrument do. The controller only decides; the window carries the
// actions out (tip moves through the navigator, coarse steps through the
// coarse window's buttons), so it is tested without either.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace qvt {

struct TJoystickConfig {
    int JoyItemX = -1, JoyItemY = -1, JoyItemZ = -1;
    int SelectPoint = -1;
    int JoyModeByte = 0;
    int JoyModeBit = 0;
    int Tolerance = 5;
    static constexpr int Items = 8;

    uint32_t ModeMask() const;
    // "Byte 0".."Byte 7", with the configured bytes named.
    QStringList ByteNames() const;
};

struct TJoystickReading {
    int X = 0, Y = 0, Z = 0;
    int SelectValue = 0; // 0: not pressed or no such byte
    bool WrongMode = false;
};

// An index outside the report reads as centred (or 0).
TJoystickReading DecodeJoystickReport(const TJoystickConfig& config, const uint8_t* data, int size);

// What the controller asks of the window.
struct TJoystickActions {
    std::function<bool(int button)> ButtonEnabled;
    std::function<void(int button)> Press;
    std::function<void(int deflection)> SetRepeat;
    std::function<void()> Release;
    std::function<void(int dx, int dy, int dz)> JoystickMove;
    std::function<void(int n)> AddPosition;
    std::function<void(const QString& text)> Warn;
};

class TJoystickController {
public:
    static constexpr int AxisNone = 0, AxisX = 1, AxisY = 2, AxisZ = 3, AxisPoint = 10;
    static constexpr double WarningInterval = 6.9e-4; // days: about a minute
    static constexpr int MinMovingSize = 6;           // data bytes of a report that moves anything
    static inline const QString ApproachedText = "Joystick is Disabled because\r   System is Approached!";
    static inline const QString WrongModeText = "Wrong Joystick Mode!";

    TJoystickController(TJoystickConfig config, TJoystickActions actions);

    // One report: `feedbackOff` and `approached` are the instrument's state
    // now, `nowDays` the clock in days.
    void Handle(const uint8_t* data, int size, bool feedbackOff, bool approached, double nowDays);

    int ActiveAxis() const { return activeAxis_; }
    double LastWarning() const { return lastWarning_; }
    const TJoystickConfig& Config() const { return config_; }

private:
    void DriveCoarse(int x, int y, int z);
    bool WarningDue(double now) const { return now - lastWarning_ > WarningInterval; }

    TJoystickConfig config_;
    TJoystickActions actions_;
    int activeAxis_ = AxisNone;
    double lastWarning_ = -1.0;
    bool selectHeld_ = false;
};

} // namespace qvt
