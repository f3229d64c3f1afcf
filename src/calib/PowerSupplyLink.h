#pragma once
// The link to the scanner's high-voltage supply unit over a serial port.
// The host asks for status ('s') after opening and after every reply;
// 'L' switches the high voltage on, 'r' off, 'R' answers the unit's
// keep-alive. A reply is 8 bytes: 'A' or 'B', a flags byte, three signed
// 16-bit little-endian voltage words.
//
// The byte stream is buffered and only complete records that start with
// 'A' or 'B' are decoded: half a reply read as a record has a flags byte
// without "head plugged", which would switch the high voltage off mid-scan.
// A lost reply would stall the link, so the status request is repeated when
// no record came for a second.

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace qvt {

class ISerialPort;
class TQVTIniFile;
struct TSerialSettings;

constexpr char PowerStatusCommand = 's';
constexpr char PowerOnCommand = 'L';
constexpr char PowerOffCommand = 'r';
constexpr char PowerKeepAliveCommand = 'R';
constexpr int PowerReplySize = 8;
constexpr uint8_t PowerHeadPlugged = 0x10;
constexpr uint8_t PowerHighVoltageOn = 0x20;
constexpr uint8_t PowerKeepAlive = 0x40;
constexpr int PowerKeepAliveStart = 5;
constexpr int64_t PowerResendMs = 1000;
// Three requests unanswered: the readings on screen are no longer the unit's.
constexpr int64_t PowerSilentMs = 3 * PowerResendMs;
inline const char* const HeadUnpluggedText = "Head unplugged!";

// "2.439 V": (w + 253) x 0.0096405 with 3 decimals.
QString PowerVoltageText(int16_t word);

// The serial settings of [PowerFkt1]: `ComPort` (4), `Device` (else
// /dev/ttyS<n-1>), `Baud` (9600), `DataBits` (8), `Parity` (N),
// `StopBits` (1), `RtsCts` (false).
TSerialSettings ReadPowerSerialSettings(const TQVTIniFile& mainIni, int& comNumber);

class TPowerSupplyLink {
public:
    enum class ButtonColor { Face, Yellow, Green };

    explicit TPowerSupplyLink(ISerialPort& port) : port_(port) {}

    // The port has just opened: ask for the status.
    void Opened(int64_t nowMs);
    // "Active" chosen at start-up, before anything was sent.
    void PreselectActive() { active_ = true; }
    // "Active": high voltage on.
    void Activate();
    // "Off": high voltage off.
    void SwitchOff();
    bool ActiveChosen() const { return active_; }

    // One timer tick: takes what waits, decodes every complete record.
    // True when some record was decoded.
    bool Poll(int64_t nowMs);

    // What the page shows.
    const QString& VoltagesA() const { return voltagesA_; }
    const QString& VoltagesB() const { return voltagesB_; }
    const QString& Message() const { return message_; }
    ButtonColor Button() const { return button_; }
    int KeepAliveCount() const { return keepAlive_; }
    // No record came for PowerSilentMs since the port opened or the last one.
    bool Silent(int64_t nowMs) const { return nowMs - lastRecordMs_ >= PowerSilentMs; }
    // A command did not go out (the supply stopped taking bytes, or the line
    // is gone); nothing more is sent through this link.
    bool LineLost() const { return lineLost_; }

private:
    void Send(char command);
    void Decode(const QByteArray& record);

    ISerialPort& port_;
    QByteArray pending_;
    bool active_ = false;
    bool lineLost_ = false;
    int keepAlive_ = 0;
    int64_t lastRequestMs_ = 0;
    int64_t lastRecordMs_ = 0;
    QString voltagesA_, voltagesB_, message_;
    ButtonColor button_ = ButtonColor::Face;
};

} // namespace qvt
