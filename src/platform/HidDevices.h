#pragma once
// USB human-interface devices: the controller finds them, hands them out
// (TakeNextDevice), notices arrivals and removals, and each device with a data
// handler reads its input reports on a thread of its own. Every report and
// every read error is delivered in the window thread, in order, one report per
// delivery (report id split off). The devices themselves are reached through
// a backend: the program's on Linux, a fake one in the tests; without one the
// controller stays empty and nothing else fails.

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qvt {

// What the backend tells of one present HID interface.
struct THidInterfaceInfo {
    QString DevicePath;
    QString DeviceID; // stable while the device stays plugged in
    QString ProductName;
    int InputReportLength = 0; // bytes, report id included
};

// An open read handle of one device.
class IHidReadHandle {
public:
    virtual ~IHidReadHandle() = default;
    // One input report into buf (report id first): its byte count, 0 when
    // none came within timeoutMs or the read was cancelled, or -errno.
    virtual int Read(uint8_t* buf, int length, int timeoutMs) = 0;
    // Ends a Read in progress (from another thread) and every later one.
    virtual void Cancel() = 0;
};

class IHidBackend {
public:
    virtual ~IHidBackend() = default;
    virtual std::vector<THidInterfaceInfo> Enumerate() = 0;
    // Null with error set to the errno when the path cannot be opened.
    virtual std::unique_ptr<IHidReadHandle> OpenRead(const QString& devicePath, int& error) = 0;
    // Called by the controller that uses it: from then on the backend looks
    // for arrivals and removals (window thread).
    virtual void StartWatching() {}
    // Called by the backend (any thread) when devices came or went.
    std::function<void()> Changed;
};

struct TJvHidPnPInfo {
    QString DevicePath;
    QString DeviceID;
};

class TJvHidDeviceController;
class TJvHidDevice;

class TJvHidDeviceReadThread {
public:
    TJvHidDeviceReadThread(TJvHidDevice& device, std::unique_ptr<IHidReadHandle> handle);
    ~TJvHidDeviceReadThread();
    TJvHidDeviceReadThread(const TJvHidDeviceReadThread&) = delete;
    TJvHidDeviceReadThread& operator=(const TJvHidDeviceReadThread&) = delete;
    // Cancels a pending read and joins.
    void Stop();

private:
    void Execute();
    bool SleepUnlessStopped(int ms);

    TJvHidDeviceController& controller_;
    const uint64_t deviceId_;
    const int length_;
    const std::atomic<int>& sleepTime_;
    std::unique_ptr<IHidReadHandle> handle_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

class TJvHidDevice {
public:
    using DataHandler = std::function<void(TJvHidDevice& device, uint8_t reportId, const uint8_t* data, int size)>;
    static constexpr int MaxProductNameLength = 254;

    TJvHidDevice(TJvHidDeviceController& controller, uint64_t id, const THidInterfaceInfo& info);
    ~TJvHidDevice();
    TJvHidDevice(const TJvHidDevice&) = delete;
    TJvHidDevice& operator=(const TJvHidDevice&) = delete;

    const TJvHidPnPInfo& PnPInfo() const { return pnp_; }
    uint64_t Id() const { return id_; }
    TJvHidDeviceController& Controller() const { return controller_; }
    QString ProductName() const { return productName_; }
    int InputReportLength() const { return inputReportLength_; }
    bool Plugged() const { return plugged_; }
    bool CheckedOut() const { return checkedOut_; }

    // The system buffers these many reports; kept, as the backend buffers on its own.
    void SetInputBufferCount(int n) { inputBufferCount_ = n; }
    void SetReadBufferCount(int n) { readBufferCount_ = n; }
    int InputBufferCount() const { return inputBufferCount_; }
    int ReadBufferCount() const { return readBufferCount_; }

    int ThreadSleepTime() const { return sleepTime_.load(); }
    // Accepted for 10 < t <= 10000 ms only.
    bool SetThreadSleepTime(int t);

    // A handler starts the read thread, none stops and joins it.
    void SetDataHandler(DataHandler handler);
    bool Reading() const { return thread_ != nullptr; }

private:
    friend class TJvHidDeviceController;
    friend class TJvHidDeviceReadThread;

    TJvHidDeviceController& controller_;
    const uint64_t id_;
    TJvHidPnPInfo pnp_;
    QString productName_;
    int inputReportLength_ = 0;
    bool plugged_ = true;
    bool checkedOut_ = false;
    int inputBufferCount_ = 0;
    int readBufferCount_ = 0;
    std::atomic<int> sleepTime_{100};
    DataHandler onData_;
    std::unique_ptr<TJvHidDeviceReadThread> thread_;
};

class TJvHidDeviceController : public QObject {
    Q_OBJECT

public:
    // Null backend: an empty controller. The first enumeration follows once
    // the event loop runs, as device changes do.
    explicit TJvHidDeviceController(std::shared_ptr<IHidBackend> backend, QObject* parent = nullptr);
    ~TJvHidDeviceController() override;

    static constexpr const char* Version = "1.0.34";
    int DevThreadSleepTime = 100;

    // Enumerates and brings the list up to date; not re-entered.
    void DeviceChange();
    // Checks out the first device not checked out yet.
    bool TakeNextDevice(TJvHidDevice*& device);
    // Gives a checked-out device back (its reading stopped); an unplugged one goes.
    void CheckIn(TJvHidDevice* device);

    int PluggedCount() const { return pluggedCount_; }
    int CheckedOutCount() const { return checkedOutCount_; }
    int FreeCount() const { return pluggedCount_ - checkedOutCount_; }
    const std::vector<std::unique_ptr<TJvHidDevice>>& Devices() const { return devices_; }
    TJvHidDevice* DeviceById(uint64_t id) const;
    IHidBackend* Backend() const { return backend_.get(); }

    std::function<void()> OnDeviceChange;
    // Device and system error code of a failed read.
    std::function<void(TJvHidDevice& device, int code)> OnDeviceDataError;

private:
    friend class TJvHidDeviceReadThread;
    friend class TJvHidDevice;
    // From the read threads: delivered in the window thread by device id, so a
    // report of a device freed meanwhile is dropped.
    void PostReport(uint64_t deviceId, std::vector<uint8_t> report);
    void PostError(uint64_t deviceId, int code);
    void Recount();

    std::shared_ptr<IHidBackend> backend_;
    std::vector<std::unique_ptr<TJvHidDevice>> devices_;
    uint64_t nextId_ = 1;
    bool inDeviceChange_ = false;
    int pluggedCount_ = 0;
    int checkedOutCount_ = 0;
};

// The system's text for an error code of a read.
QString HidErrorText(int code);

} // namespace qvt
