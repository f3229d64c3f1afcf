#include "platform/HidDevices.h"

#include "platform/HandOver.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qvt {

// ---- read thread ----------------------------------------------------------------------

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice& device, std::unique_ptr<IHidReadHandle> handle)
    : controller_(device.Controller()), deviceId_(device.Id()), length_(std::max(device.InputReportLength(), 1)),
      sleepTime_(device.sleepTime_), handle_(std::move(handle))
{
    thread_ = std::thread([this] { Execute(); });
}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread()
{
    Stop();
}

void TJvHidDeviceReadThread::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    handle_->Cancel();
    if (thread_.joinable())
        thread_.join();
}

bool TJvHidDeviceReadThread::SleepUnlessStopped(int ms)
{
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void TJvHidDeviceReadThread::Execute()
{
    std::vector<uint8_t> buffer(static_cast<size_t>(length_));
    int lastError = 0;
    while (!stop_) {
        std::fill(buffer.begin(), buffer.end(), uint8_t{0});
        const int n = handle_->Read(buffer.data(), length_, sleepTime_.load());
        if (stop_)
            break;
        if (n < 0) {
            // A failing device would otherwise flood the operator: each distinct
            // error once, a pause of the sleep time before the next try, and the
            // end of reading when the device is gone.
            const int code = -n;
            if (code != lastError)
                controller_.PostError(deviceId_, code);
            lastError = code;
            if (code == ENODEV)
                break;
            if (!SleepUnlessStopped(sleepTime_.load()))
                break;
            continue;
        }
        if (n == 0)
            continue;
        lastError = 0;
        controller_.PostReport(deviceId_, std::vector<uint8_t>(buffer.begin(), buffer.begin() + std::min(n, length_)));
    }
}

// ---- device ---------------------------------------------------------------------------

TJvHidDevice::TJvHidDevice(TJvHidDeviceController& controller, uint64_t id, const THidInterfaceInfo& info)
    : controller_(controller), id_(id), pnp_{info.DevicePath, info.DeviceID},
      productName_(info.ProductName.left(MaxProductNameLength)), inputReportLength_(info.InputReportLength),
      sleepTime_(controller.DevThreadSleepTime)
{
}

TJvHidDevice::~TJvHidDevice()
{
    thread_.reset();
}

bool TJvHidDevice::SetThreadSleepTime(int t)
{
    if (t <= 10 || t > 10000)
        return false;
    sleepTime_ = t;
    return true;
}

void TJvHidDevice::SetDataHandler(DataHandler handler)
{
    thread_.reset();
    onData_ = std::move(handler);
    if (!onData_ || !plugged_)
        return;
    int error = 0;
    IHidBackend* backend = controller_.Backend();
    std::unique_ptr<IHidReadHandle> handle = backend != nullptr ? backend->OpenRead(pnp_.DevicePath, error) : nullptr;
    if (handle == nullptr) {
        controller_.PostError(id_, error != 0 ? error : ENODEV);
        return;
    }
    thread_ = std::make_unique<TJvHidDeviceReadThread>(*this, std::move(handle));
}

// ---- controller -----------------------------------------------------------------------

TJvHidDeviceController::TJvHidDeviceController(std::shared_ptr<IHidBackend> backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend))
{
    if (backend_ == nullptr)
        return;
    backend_->Changed = [this] {
        HandOverPost([this] { QMetaObject::invokeMethod(this, [this] { DeviceChange(); }, Qt::QueuedConnection); });
    };
    QMetaObject::invokeMethod(
        this, [this] { DeviceChange(); }, Qt::QueuedConnection);
}

TJvHidDeviceController::~TJvHidDeviceController()
{
    if (backend_ != nullptr)
        backend_->Changed = nullptr;
    // Every read thread is joined before its device goes.
    for (auto& d : devices_)
        d->thread_.reset();
    devices_.clear();
}

TJvHidDevice* TJvHidDeviceController::DeviceById(uint64_t id) const
{
    for (const auto& d : devices_)
        if (d->Id() == id)
            return d.get();
    return nullptr;
}

void TJvHidDeviceController::DeviceChange()
{
    if (backend_ == nullptr || inDeviceChange_)
        return;
    inDeviceChange_ = true;
    const std::vector<THidInterfaceInfo> present = backend_->Enumerate();
    bool changed = false;
    auto isPresent = [&present](const QString& id) {
        return std::any_of(present.begin(), present.end(), [&id](const auto& p) { return p.DeviceID == id; });
    };
    for (auto it = devices_.begin(); it != devices_.end();) {
        TJvHidDevice& d = **it;
        if (d.plugged_ && !isPresent(d.pnp_.DeviceID)) {
            d.plugged_ = false;
            changed = true;
        }
        if (!d.plugged_ && !d.checkedOut_) {
            it = devices_.erase(it);
            continue;
        }
        ++it;
    }
    for (const THidInterfaceInfo& p : present) {
        const bool known = std::any_of(devices_.begin(), devices_.end(),
                                       [&p](const auto& d) { return d->plugged_ && d->pnp_.DeviceID == p.DeviceID; });
        if (!known) {
            devices_.push_back(std::make_unique<TJvHidDevice>(*this, nextId_++, p));
            changed = true;
        }
    }
    Recount();
    inDeviceChange_ = false;
    if (changed && OnDeviceChange)
        OnDeviceChange();
}

bool TJvHidDeviceController::TakeNextDevice(TJvHidDevice*& device)
{
    for (auto& d : devices_) {
        if (d->plugged_ && !d->checkedOut_) {
            d->checkedOut_ = true;
            device = d.get();
            Recount();
            return true;
        }
    }
    device = nullptr;
    return false;
}

void TJvHidDeviceController::CheckIn(TJvHidDevice* device)
{
    if (device == nullptr)
        return;
    device->SetDataHandler(nullptr);
    device->checkedOut_ = false;
    if (!device->plugged_)
        std::erase_if(devices_, [device](const auto& d) { return d.get() == device; });
    Recount();
}

void TJvHidDeviceController::Recount()
{
    pluggedCount_ = 0;
    checkedOutCount_ = 0;
    for (const auto& d : devices_) {
        pluggedCount_ += d->plugged_ ? 1 : 0;
        checkedOutCount_ += d->checkedOut_ ? 1 : 0;
    }
}

void TJvHidDeviceController::PostReport(uint64_t deviceId, std::vector<uint8_t> report)
{
    HandOverPost([&] {
        QMetaObject::invokeMethod(
            this,
            [this, deviceId, report = std::move(report)] {
                TJvHidDevice* d = DeviceById(deviceId);
                if (d == nullptr || !d->onData_ || d->thread_ == nullptr || report.empty())
                    return;
                // Copied: the handler may detach the device.
                const TJvHidDevice::DataHandler handler = d->onData_;
                handler(*d, report[0], report.data() + 1, static_cast<int>(report.size()) - 1);
            },
            Qt::QueuedConnection);
    });
}

void TJvHidDeviceController::PostError(uint64_t deviceId, int code)
{
    HandOverPost([&] {
        QMetaObject::invokeMethod(
            this,
            [this, deviceId, code] {
                TJvHidDevice* d = DeviceById(deviceId);
                if (d != nullptr && OnDeviceDataError)
                    OnDeviceDataError(*d, code);
            },
            Qt::QueuedConnection);
    });
}

QString HidErrorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace qvt
