#include "calib/PowerSupplyLink.h"

#include "core/IniFile.h"
#include "platform/SerialPort.h"

#include <QStringList>

namespace qvt {

QString PowerVoltageText(int16_t word)
{
    return QString::asprintf("%.3f V", (word + 253) * 0.0096405);
}

TSerialSettings ReadPowerSerialSettings(const TQVTIniFile& ini, int& comNumber)
{
    const QString section = "PowerFkt1";
    comNumber = ini.ReadInteger(section, "ComPort", 4);
    TSerialSettings s;
    s.Device = ini.ReadString(section, "Device", QString("/dev/ttyS%1").arg(comNumber - 1));
    s.Baud = ini.ReadInteger(section, "Baud", s.Baud);
    s.DataBits = ini.ReadInteger(section, "DataBits", s.DataBits);
    const QString parity = ini.ReadString(section, "Parity", "N").trimmed().toUpper();
    s.Parity = parity.isEmpty() ? 'N' : parity.at(0).toLatin1();
    s.StopBits = ini.ReadInteger(section, "StopBits", s.StopBits);
    s.RtsCts = ini.ReadBool(section, "RtsCts", s.RtsCts);
    return s;
}

void TPowerSupplyLink::Send(char command)
{
    // Behind a line that took nothing, every further byte would wait as long again.
    if (!lineLost_ && !port_.Write(QByteArray(1, command)))
        lineLost_ = true;
}

void TPowerSupplyLink::Opened(int64_t nowMs)
{
    pending_.clear();
    Send(PowerStatusCommand);
    lastRequestMs_ = nowMs;
    lastRecordMs_ = nowMs;
}

void TPowerSupplyLink::Activate()
{
    active_ = true;
    keepAlive_ = PowerKeepAliveStart;
    Send(PowerOnCommand);
}

void TPowerSupplyLink::SwitchOff()
{
    active_ = false;
    Send(PowerOffCommand);
}

bool TPowerSupplyLink::Poll(int64_t nowMs)
{
    const int waiting = port_.BytesWaiting();
    if (waiting > 0)
        pending_ += port_.Read(waiting);
    bool decoded = false;
    for (;;) {
        // Resynchronise on the next record start.
        qsizetype start = 0;
        while (start < pending_.size() && pending_[start] != 'A' && pending_[start] != 'B')
            ++start;
        pending_.remove(0, start);
        if (pending_.size() < PowerReplySize)
            break;
        const QByteArray record = pending_.left(PowerReplySize);
        pending_.remove(0, PowerReplySize);
        Decode(record);
        Send(PowerStatusCommand);
        lastRequestMs_ = nowMs;
        lastRecordMs_ = nowMs;
        decoded = true;
    }
    if (!decoded && nowMs - lastRequestMs_ >= PowerResendMs) {
        // The request or its reply was lost: ask again.
        Send(PowerStatusCommand);
        lastRequestMs_ = nowMs;
    }
    return decoded;
}

void TPowerSupplyLink::Decode(const QByteArray& record)
{
    const auto flags = static_cast<uint8_t>(record[1]);
    if (flags & PowerHeadPlugged) {
        message_.clear();
    } else {
        message_ = HeadUnpluggedText;
        if (active_)
            SwitchOff();
    }
    button_ = ButtonColor::Face;
    if (flags & PowerKeepAlive) {
        if (keepAlive_ > 0)
            --keepAlive_;
        if (keepAlive_ == 1 && active_)
            Send(PowerKeepAliveCommand);
        button_ = ButtonColor::Yellow;
    }
    if (flags & PowerHighVoltageOn)
        button_ = ButtonColor::Green;
    QStringList texts;
    for (int w = 0; w < 3; ++w) {
        const auto lo = static_cast<uint8_t>(record[2 + 2 * w]);
        const auto hi = static_cast<uint8_t>(record[3 + 2 * w]);
        texts << PowerVoltageText(static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8))));
    }
    (record[0] == 'A' ? voltagesA_ : voltagesB_) = texts.join('\r');
}

} // namespace qvt
