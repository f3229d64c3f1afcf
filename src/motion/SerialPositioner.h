#pragma once
// The two coarse-motion devices on the stepper's serial port: a piezo
// positioner controller that takes text lines (kinds 40..46) and a small box
// that switches the laser and takes single-letter motor commands (kinds
// 75..79). Both are write-only and paced by fixed sleeps; nothing is read
// back. This file holds the texts and the port choice; TStepper sends them.

#include "platform/SerialPort.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace qvt {

class TQVTIniFile;

inline const char* const AgilisPortSettingsText = "baud=921600 parity=N data=8 stop=1";
inline const char* const SerialBoxSettingsText = "baud=57600 parity=N data=8 stop=1";
// Sent to the box once at construction when [Stepper] "Up" is 88 or 89.
inline const char* const SerialBoxStartText = "C30\n";

constexpr int AgilisSendSleepMs = 1;
constexpr int AgilisOpenSleepMs = 1;
constexpr int AgilisResetSleepMs = 200;
constexpr int AgilisMotorOnSleepMs = 10;
constexpr int SerialBoxOpenSleepMs = 1;

bool IsAgilisStepKind(int kind);
bool IsSerialBoxStepKind(int kind);

// One step of a positioner command: a line to send (with its "\r\n"), a pause,
// or the reset sequence.
struct TAgilisOp {
    enum class Code { Send, SleepMs, Reset };
    Code What = Code::Send;
    QByteArray Text;
    int Ms = 0;
    bool operator==(const TAgilisOp&) const = default;
};
using TAgilisOps = std::vector<TAgilisOp>;

// The lines of kind 40..46; the steps and amplitudes come from [Coarse]
// "AgilisStepsX/Y/Z" and "AgilisVoltage44/45" (read at every call).
TAgilisOps AgilisCommands(int kind, const TQVTIniFile* ini);
// "l", "L", "M", "m", "O" for kinds 75..79; empty otherwise.
QByteArray SerialBoxText(int kind);

// [Stepper] "COMx" (1), values below 1 taken as 1.
int CommPortNumber(const TQVTIniFile* ini);
// The device behind COM n: [Stepper] "COMDevice", else /dev/ttyS<n-1>.
QString CommPortDevice(const TQVTIniFile* ini, int n);
QString CommPortFailureText(int n);
// The device on COM n went away in the middle of a command (an unplugged adapter).
QString CommPortLostText(int n);
// The line of COM n runs at `running` baud instead of `asked`.
QString CommPortSpeedText(int n, int asked, int running);

} // namespace qvt
