#include "platform/FakeHidBackend.h"

#include <algorithm>
#include <cerrno>

namespace qvt {

class FakeHidBackend::Handle : public IHidReadHandle {
public:
    Handle(FakeHidBackend& owner, QString id) : owner_(owner), id_(std::move(id)) {}
    ~Handle() override
    {
        std::lock_guard lock(owner_.mutex_);
        --owner_.open_;
    }

    int Read(uint8_t* buf, int length, int timeoutMs) override
    {
        std::unique_lock lock(owner_.mutex_);
        ++owner_.reads_;
        Queue& q = owner_.queues_[id_];
        const bool ready = owner_.wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                 [&] { return cancelled_ || !q.Errors.empty() || Gone(); });
        if (cancelled_) {
            ++owner_.cancelled_;
            return 0;
        }
        if (!ready)
            return 0;
        if (q.Errors.empty())
            return -ENODEV;
        const int error = q.Errors.front();
        q.Errors.pop_front();
        std::vector<uint8_t> report = std::move(q.Reports.front());
        q.Reports.pop_front();
        if (error != 0)
            return -error;
        const int n = std::min(length, static_cast<int>(report.size()));
        std::copy_n(report.begin(), n, buf);
        return n;
    }

    void Cancel() override
    {
        {
            std::lock_guard lock(owner_.mutex_);
            cancelled_ = true;
        }
        owner_.wake_.notify_all();
    }

private:
    bool Gone() const
    {
        return std::none_of(owner_.devices_.begin(), owner_.devices_.end(),
                            [this](const auto& d) { return d.DeviceID == id_; });
    }
    FakeHidBackend& owner_;
    QString id_;
    bool cancelled_ = false;
};

void FakeHidBackend::Plug(const THidInterfaceInfo& info)
{
    {
        std::lock_guard lock(mutex_);
        devices_.push_back(info);
    }
    if (Changed)
        Changed();
}

void FakeHidBackend::Unplug(const QString& deviceId)
{
    {
        std::lock_guard lock(mutex_);
        std::erase_if(devices_, [&](const auto& d) { return d.DeviceID == deviceId; });
    }
    wake_.notify_all();
    if (Changed)
        Changed();
}

void FakeHidBackend::QueueReport(const QString& deviceId, std::vector<uint8_t> report)
{
    {
        std::lock_guard lock(mutex_);
        queues_[deviceId].Reports.push_back(std::move(report));
        queues_[deviceId].Errors.push_back(0);
    }
    wake_.notify_all();
}

void FakeHidBackend::QueueError(const QString& deviceId, int code)
{
    {
        std::lock_guard lock(mutex_);
        queues_[deviceId].Reports.emplace_back();
        queues_[deviceId].Errors.push_back(code);
    }
    wake_.notify_all();
}

int FakeHidBackend::CancelledReads() const
{
    std::lock_guard lock(mutex_);
    return cancelled_;
}

int FakeHidBackend::ReadCalls() const
{
    std::lock_guard lock(mutex_);
    return reads_;
}

int FakeHidBackend::OpenReads() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

std::vector<THidInterfaceInfo> FakeHidBackend::Enumerate()
{
    std::lock_guard lock(mutex_);
    return devices_;
}

std::unique_ptr<IHidReadHandle> FakeHidBackend::OpenRead(const QString& devicePath, int& error)
{
    std::lock_guard lock(mutex_);
    const auto it =
        std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.DevicePath == devicePath; });
    if (it == devices_.end()) {
        error = ENOENT;
        return nullptr;
    }
    ++open_;
    return std::make_unique<Handle>(*this, it->DeviceID);
}

} // namespace qvt
