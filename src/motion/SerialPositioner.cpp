#include "motion/SerialPositioner.h"

#include "core/IniFile.h"

#include <algorithm>

namespace qvt {

namespace {

int CoarseKey(const TQVTIniFile* ini, const char* key, int def)
{
    return ini ? ini->ReadInteger("Coarse", key, def) : def;
}

TAgilisOp Line(const QString& text)
{
    return TAgilisOp{TAgilisOp::Code::Send, (text + "\r\n").toLatin1(), 0};
}

} // namespace

bool IsAgilisStepKind(int kind)
{
    return kind >= 40 && kind <= 46;
}

bool IsSerialBoxStepKind(int kind)
{
    return kind >= 75 && kind <= 79;
}

TAgilisOps AgilisCommands(int kind, const TQVTIniFile* ini)
{
    const QString x = QString::number(CoarseKey(ini, "AgilisStepsX", 20));
    const QString y = QString::number(CoarseKey(ini, "AgilisStepsY", 20));
    const QString z = QString::number(CoarseKey(ini, "AgilisStepsZ", 20));
    switch (kind) {
    case 40:
        return {Line("CC1"), Line("1PR" + x)};
    case 41:
        return {Line("CC1"), Line("1PR-" + x)};
    case 42:
        return {Line("CC1"), Line("2PR" + y)};
    case 43:
        return {Line("CC1"), Line("2PR-" + y)};
    case 44:
        return {Line("CC2"), Line("1SU" + QString::number(CoarseKey(ini, "AgilisVoltage44", 50))), Line("1PR" + z)};
    case 45:
        return {Line("CC2"), TAgilisOp{TAgilisOp::Code::SleepMs, {}, 1},
                Line("1SU" + QString::number(CoarseKey(ini, "AgilisVoltage45", 50))), Line("1PR-" + z)};
    case 46:
        return {TAgilisOp{TAgilisOp::Code::Reset, {}, 0}};
    default:
        return {};
    }
}

QByteArray SerialBoxText(int kind)
{
    switch (kind) {
    case 75:
        return "l";
    case 76:
        return "L";
    case 77:
        return "M";
    case 78:
        return "m";
    case 79:
        return "O";
    default:
        return {};
    }
}

int CommPortNumber(const TQVTIniFile* ini)
{
    return std::max(1, ini ? ini->ReadInteger("Stepper", "COMx", 1) : 1);
}

QString CommPortDevice(const TQVTIniFile* ini, int n)
{
    const QString def = QString("/dev/ttyS%1").arg(n - 1);
    const QString device = ini ? ini->ReadString("Stepper", "COMDevice", def).trimmed() : def;
    return device.isEmpty() ? def : device;
}

QString CommPortFailureText(int n)
{
    return QString("Com%1 could not open!").arg(n);
}

QString CommPortLostText(int n)
{
    return QString("Com%1 is gone: the command was dropped and the port closed.").arg(n);
}

QString CommPortSpeedText(int n, int asked, int running)
{
    return QString("Com%1 runs at %2 baud, not at %3!").arg(n).arg(running).arg(asked);
}

} // namespace qvt
