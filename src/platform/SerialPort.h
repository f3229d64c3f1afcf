#pragma once
// Serial ports: a small layer over POSIX termios. A port is opened
// exclusively (no second program may talk to the same device), reads never
// block, and the framing comes from the settings. The protocol classes talk
// to `ISerialPort`, so tests can put a pseudo-terminal or a buffer behind it.

#include <QByteArray>
#include <QString>

namespace qvt {

class ISerialPort {
public:
    virtual ~ISerialPort() = default;
    virtual bool IsOpen() const = 0;
    // Bytes waiting to be read; 0 on an error.
    virtual int BytesWaiting() = 0;
    // Up to `maxBytes` of what waits, without blocking.
    virtual QByteArray Read(int maxBytes) = 0;
    // False when not every byte went out.
    virtual bool Write(const QByteArray& bytes) = 0;
};

struct TSerialSettings {
    QString Device; // "/dev/ttyS3"
    int Baud = 9600;
    int DataBits = 8;  // 5..8
    char Parity = 'N'; // 'N', 'E', 'O'
    int StopBits = 1;  // 1 or 2
    bool RtsCts = false;
};

// Takes the framing from a text such as "baud=57600 parity=N data=8 stop=1"
// into `settings` (the device stays). False, with `settings` unchanged, when
// a part cannot be read.
bool ParseSerialSettingsText(const QString& text, TSerialSettings& settings);

// Reads back the speed a line runs at (baud; 0 when unknown). Tests put a
// fake here to play a UART that cannot run at the speed it was asked for.
using SerialSpeedReader = int (*)(int fd);
// Installs `reader` (nullptr: the terminal driver's) and returns the one before.
SerialSpeedReader SetSerialSpeedReader(SerialSpeedReader reader);

// Waits at most `timeoutMs` for room in a line's output queue; true when
// there is room. Tests put a fake here to count the waits and to let a
// stalled line give up at once.
using SerialRoomWaiter = bool (*)(int fd, int timeoutMs);
// Installs `waiter` (nullptr: poll) and returns the one before.
SerialRoomWaiter SetSerialRoomWaiter(SerialRoomWaiter waiter);
// How long a write waits for a line that takes nothing before it gives up.
constexpr int SerialWriteDrainMs = 1000;

// The device on COM n stopped taking bytes.
QString CommPortStallText(int n);

class TSerialPort final : public ISerialPort {
public:
    TSerialPort() = default;
    ~TSerialPort() override;
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    // Opens an existing device for reading and writing, exclusively, raw,
    // with the settings' framing. False (and closed) on any failure, a line
    // that runs at another speed than asked included (RunningBaud tells it).
    bool Open(const TSerialSettings& settings);
    // Takes an already open descriptor (a pseudo-terminal in the tests).
    bool Adopt(int fd, const TSerialSettings& settings);
    void Close();

    bool IsOpen() const override { return fd_ >= 0; }
    int BytesWaiting() override;
    QByteArray Read(int maxBytes) override;
    bool Write(const QByteArray& bytes) override;
    // After a refused open: the speed the line reported instead of the one
    // asked (0 when the open failed for another reason).
    int RunningBaud() const { return runningBaud_; }
    // The last write gave up because the far end took nothing for a while;
    // what it held back was dropped, so closing the port does not wait on it.
    bool Stalled() const { return stalled_; }

private:
    bool Configure(const TSerialSettings& settings);
    int fd_ = -1;
    int runningBaud_ = 0;
    bool stalled_ = false;
};

} // namespace qvt
