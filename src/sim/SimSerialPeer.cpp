#include "sim/SimSerialPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace qvt::sim {

namespace {

constexpr int PollMs = 10;

int BaudOf(speed_t speed)
{
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

} // namespace

SimSerialPeer::SimSerialPeer()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    slave_ = QString::fromLocal8Bit(ptsname(master_));
    // Raw from the start: the slave's line discipline must not turn "\n" into "\r\n".
    slaveKeep_ = ::open(slave_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ >= 0) {
        termios t{};
        if (::tcgetattr(slaveKeep_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(slaveKeep_, TCSANOW, &t);
        }
    }
    reader_ = std::thread([this] { ReadLoop(); });
}

SimSerialPeer::~SimSerialPeer()
{
    stop_ = true;
    if (reader_.joinable())
        reader_.join();
    if (slaveKeep_ >= 0)
        ::close(slaveKeep_);
    if (master_ >= 0)
        ::close(master_);
}

void SimSerialPeer::ReadLoop()
{
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0 || (p.revents & POLLIN) == 0) {
            if (p.revents & (POLLHUP | POLLERR))
                std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
            continue;
        }
        char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::lock_guard lock(mutex_);
        chunks_.push_back(Chunk{QByteArray(buf, static_cast<int>(n)), std::chrono::steady_clock::now()});
    }
}

bool SimSerialPeer::HoldLine(bool hold)
{
    // Output suspended on the line itself: whatever the program writes stays
    // queued on its side, and a full queue takes nothing more.
    return slaveKeep_ >= 0 && ::tcflow(slaveKeep_, hold ? TCOOFF : TCOON) == 0;
}

QByteArray SimSerialPeer::Received() const
{
    std::lock_guard lock(mutex_);
    QByteArray all;
    for (const Chunk& c : chunks_)
        all += c.Bytes;
    return all;
}

std::vector<SimSerialPeer::Chunk> SimSerialPeer::Chunks() const
{
    std::lock_guard lock(mutex_);
    return chunks_;
}

void SimSerialPeer::Clear()
{
    std::lock_guard lock(mutex_);
    chunks_.clear();
}

bool SimSerialPeer::WaitForBytes(int count, int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Received().size() < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int SimSerialPeer::Baud() const
{
    // The two ends of a pair share one set of line settings.
    termios t{};
    if (master_ < 0 || ::tcgetattr(master_, &t) != 0)
        return 0;
    return BaudOf(::cfgetospeed(&t));
}

bool SimSerialPeer::Send(const QByteArray& bytes)
{
    return master_ >= 0 && ::write(master_, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
}

std::vector<SimPositioner::Line> SimPositioner::Lines() const
{
    std::vector<Line> lines;
    QByteArray pending;
    for (const Chunk& c : Chunks()) {
        for (char ch : c.Bytes) {
            pending.append(ch);
            if (pending.endsWith("\r\n")) {
                lines.push_back(Line{QString::fromLatin1(pending.chopped(2)), c.At});
                pending.clear();
            }
        }
    }
    return lines;
}

QStringList SimPositioner::LineTexts() const
{
    QStringList texts;
    for (const Line& l : Lines())
        texts << l.Text;
    return texts;
}

bool SimLaserBox::LaserOn() const
{
    const QByteArray all = Received();
    const qsizetype on = all.lastIndexOf('L');
    const qsizetype off = all.lastIndexOf('l');
    return on > off;
}

} // namespace qvt::sim
