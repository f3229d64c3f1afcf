#include "platform/SerialPort.h"

#include <QStringList>

#include <atomic>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qvt {

namespace {

speed_t BaudConstant(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0; // not a speed the line can run at
    }
}

int BaudOf(speed_t speed)
{
    for (const int baud : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600})
        if (BaudConstant(baud) == speed)
            return baud;
    return 0;
}

int TerminalSpeed(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return 0;
    const int out = BaudOf(::cfgetospeed(&t));
    return out == BaudOf(::cfgetispeed(&t)) ? out : 0;
}

std::atomic<SerialSpeedReader> speedReader{nullptr};
std::atomic<SerialRoomWaiter> roomWaiter{nullptr};

bool PollForRoom(int fd, int timeoutMs)
{
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

tcflag_t DataBitsFlag(int bits)
{
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

SerialSpeedReader SetSerialSpeedReader(SerialSpeedReader reader)
{
    return speedReader.exchange(reader);
}

SerialRoomWaiter SetSerialRoomWaiter(SerialRoomWaiter waiter)
{
    return roomWaiter.exchange(waiter);
}

QString CommPortStallText(int n)
{
    return QString("Com%1 takes no data: the command was dropped and the port closed.").arg(n);
}

bool ParseSerialSettingsText(const QString& text, TSerialSettings& settings)
{
    TSerialSettings s = settings;
    const QStringList parts = text.split(' ', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const qsizetype eq = part.indexOf('=');
        if (eq <= 0)
            return false;
        const QString key = part.left(eq).toLower();
        const QString value = part.mid(eq + 1);
        bool ok = true;
        if (key == "baud")
            s.Baud = value.toInt(&ok);
        else if (key == "data")
            s.DataBits = value.toInt(&ok);
        else if (key == "stop")
            s.StopBits = value.toInt(&ok);
        else if (key == "parity" && value.size() == 1)
            s.Parity = value.toUpper().at(0).toLatin1();
        else
            ok = false;
        if (!ok)
            return false;
    }
    settings = s;
    return true;
}

TSerialPort::~TSerialPort()
{
    Close();
}

bool TSerialPort::Open(const TSerialSettings& settings)
{
    Close();
    runningBaud_ = 0;
    const QByteArray path = settings.Device.toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Exclusive: a second open of the device (by anyone but root) fails, and
    // the advisory lock keeps out programs that honour locks, root included.
    if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return Adopt(fd, settings);
}

bool TSerialPort::Adopt(int fd, const TSerialSettings& settings)
{
    Close();
    fd_ = fd;
    if (!Configure(settings)) {
        Close();
        return false;
    }
    return true;
}

bool TSerialPort::Configure(const TSerialSettings& s)
{
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | DataBitsFlag(s.DataBits);
    if (s.Parity == 'E' || s.Parity == 'O')
        t.c_cflag |= PARENB;
    if (s.Parity == 'O')
        t.c_cflag |= PARODD;
    if (s.StopBits == 2)
        t.c_cflag |= CSTOPB;
    if (s.RtsCts)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = BaudConstant(s.Baud);
    if (speed == B0 || ::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)
        return false;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0)
        return false;
    // A UART that cannot run at the speed takes the settings without a word
    // and runs at another: only reading them back tells.
    const SerialSpeedReader reader = speedReader.load();
    const int running = reader != nullptr ? reader(fd_) : TerminalSpeed(fd_);
    if (running != s.Baud) {
        runningBaud_ = running;
        return false;
    }
    return true;
}

void TSerialPort::Close()
{
    if (fd_ >= 0) {
        // The exclusive flag outlives our descriptor while anyone else holds the
        // line open; cleared, the port can be opened again.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
}

int TSerialPort::BytesWaiting()
{
    int n = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &n) != 0)
        return 0;
    return n;
}

QByteArray TSerialPort::Read(int maxBytes)
{
    QByteArray bytes;
    if (fd_ < 0 || maxBytes <= 0)
        return bytes;
    bytes.resize(maxBytes);
    const ssize_t n = ::read(fd_, bytes.data(), static_cast<size_t>(maxBytes));
    bytes.resize(n > 0 ? static_cast<int>(n) : 0);
    return bytes;
}

bool TSerialPort::Write(const QByteArray& bytes)
{
    stalled_ = false;
    if (fd_ < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The output queue is full: give the line a moment to drain.
            const SerialRoomWaiter waiter = roomWaiter.load();
            if ((waiter != nullptr ? waiter : PollForRoom)(fd_, SerialWriteDrainMs))
                continue;
            ::tcflush(fd_, TCOFLUSH);
            stalled_ = true;
            return false;
        }
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace qvt
