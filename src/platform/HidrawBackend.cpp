#include "platform/HidrawBackend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <unistd.h>

namespace qvt {

THidDescriptorInfo ParseHidReportDescriptor(const QByteArray& d)
{
    struct Globals {
        uint32_t Size = 0, Count = 0, Id = 0;
    };
    THidDescriptorInfo info;
    Globals g;
    std::vector<Globals> stack;
    std::map<uint32_t, uint64_t> bits; // per report id
    int i = 0;
    const int n = static_cast<int>(d.size());
    while (i < n) {
        const auto prefix = static_cast<uint8_t>(d[i]);
        if (prefix == 0xFE) { // long item: size, tag, data
            if (i + 1 >= n)
                break;
            i += 3 + static_cast<uint8_t>(d[i + 1]);
            continue;
        }
        const int size = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (i + 1 + size > n)
            break;
        uint32_t value = 0;
        for (int k = 0; k < size; ++k)
            value |= static_cast<uint32_t>(static_cast<uint8_t>(d[i + 1 + k])) << (8 * k);
        switch (prefix & 0xFC) {
        case 0x74:
            g.Size = value;
            break;
        case 0x94:
            g.Count = value;
            break;
        case 0x84:
            g.Id = value;
            info.HasReportIds = true;
            break;
        case 0xA4:
            stack.push_back(g);
            break;
        case 0xB4:
            if (!stack.empty()) {
                g = stack.back();
                stack.pop_back();
            }
            break;
        case 0x80:
            bits[g.Id] += static_cast<uint64_t>(g.Size) * g.Count;
            break;
        default:
            break;
        }
        i += 1 + size;
    }
    uint64_t longest = 0;
    for (const auto& [id, b] : bits)
        longest = std::max(longest, (b + 7) / 8);
    info.InputReportLength = static_cast<int>(std::min<uint64_t>(longest + 1, 4096));
    return info;
}

class THidrawBackend::Handle : public IHidReadHandle {
public:
    Handle(int fd, bool hasIds) : fd_(fd), hasIds_(hasIds)
    {
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            wake_[0] = wake_[1] = -1;
    }
    ~Handle() override
    {
        ::close(fd_);
        if (wake_[0] >= 0) {
            ::close(wake_[0]);
            ::close(wake_[1]);
        }
    }
    int Read(uint8_t* buf, int length, int timeoutMs) override
    {
        if (length <= 0)
            return 0;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(fds, wake_[0] >= 0 ? 2 : 1, timeoutMs);
        if (r < 0)
            return errno == EINTR ? 0 : -errno;
        if (r == 0 || (fds[1].revents & POLLIN) != 0)
            return 0;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0)
            return -ENODEV;
        // Unnumbered reports come without their id byte: it is 0.
        uint8_t* into = hasIds_ ? buf : buf + 1;
        const int room = hasIds_ ? length : length - 1;
        const ssize_t got = ::read(fd_, into, static_cast<size_t>(room));
        if (got < 0)
            return errno == EAGAIN || errno == EINTR ? 0 : -errno;
        if (got == 0)
            return 0;
        if (!hasIds_)
            buf[0] = 0;
        return static_cast<int>(got) + (hasIds_ ? 0 : 1);
    }
    void Cancel() override
    {
        if (wake_[1] >= 0) {
            const char c = 1;
            [[maybe_unused]] const ssize_t w = ::write(wake_[1], &c, 1);
        }
    }

private:
    int fd_;
    bool hasIds_;
    int wake_[2] = {-1, -1};
};

THidrawBackend::THidrawBackend(QString sysClass, QString devDir)
    : sysClass_(std::move(sysClass)), devDir_(std::move(devDir))
{
}

THidrawBackend::~THidrawBackend() = default;

namespace {
QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString UeventValue(const QByteArray& uevent, const QByteArray& key)
{
    for (const QByteArray& line : uevent.split('\n'))
        if (line.startsWith(key + "="))
            return QString::fromUtf8(line.mid(key.size() + 1));
    return {};
}
} // namespace

std::vector<THidInterfaceInfo> THidrawBackend::Enumerate()
{
    std::vector<THidInterfaceInfo> list;
    const QStringList nodes =
        QDir(sysClass_).entryList({"hidraw*"}, QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& node : nodes) {
        const QString dev = sysClass_ + "/" + node + "/device";
        const QByteArray uevent = ReadAll(dev + "/uevent");
        const THidDescriptorInfo d = ParseHidReportDescriptor(ReadAll(dev + "/report_descriptor"));
        THidInterfaceInfo info;
        info.DevicePath = devDir_ + "/" + node;
        // The device's place in the bus tree with its ids: the same while it stays plugged in.
        info.DeviceID = QFileInfo(dev).canonicalFilePath() + "|" + UeventValue(uevent, "HID_ID");
        info.ProductName = UeventValue(uevent, "HID_NAME");
        info.InputReportLength = d.InputReportLength;
        list.push_back(info);
    }
    return list;
}

std::unique_ptr<IHidReadHandle> THidrawBackend::OpenRead(const QString& devicePath, int& error)
{
    const QString node = QFileInfo(devicePath).fileName();
    const THidDescriptorInfo d =
        ParseHidReportDescriptor(ReadAll(sysClass_ + "/" + node + "/device/report_descriptor"));
    const int fd = ::open(QFile::encodeName(devicePath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_unique<Handle>(fd, d.HasReportIds);
}

void THidrawBackend::StartWatching()
{
    if (timer_ != nullptr)
        return;
    timer_ = std::make_unique<QTimer>();
    for (const THidInterfaceInfo& i : Enumerate())
        lastIds_ << i.DeviceID;
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        QStringList ids;
        for (const THidInterfaceInfo& i : Enumerate())
            ids << i.DeviceID;
        if (ids != lastIds_) {
            lastIds_ = ids;
            if (Changed)
                Changed();
        }
    });
    timer_->start(1000);
}

} // namespace qvt
