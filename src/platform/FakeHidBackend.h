#pragma once
// A HID backend of plugged-in devices made up by the caller, whose reports
// and read errors are queued by hand. For the tests, and for running the
// joystick window on a machine without one.

#include "platform/HidDevices.h"

#include <deque>
#include <map>

namespace qvt {

class FakeHidBackend : public IHidBackend {
public:
    void Plug(const THidInterfaceInfo& info);
    void Unplug(const QString& deviceId);
    // A report (id byte first) or a read error (errno) for the next read.
    void QueueReport(const QString& deviceId, std::vector<uint8_t> report);
    void QueueError(const QString& deviceId, int code);
    // Reads that were cancelled while waiting, and reads started.
    int CancelledReads() const;
    int ReadCalls() const;
    int OpenReads() const;

    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidReadHandle> OpenRead(const QString& devicePath, int& error) override;

private:
    class Handle;
    struct Queue {
        std::deque<std::vector<uint8_t>> Reports; // empty vector with error: an error entry
        std::deque<int> Errors;                   // 0 for a report entry
    };
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<THidInterfaceInfo> devices_;
    std::map<QString, Queue> queues_;
    int cancelled_ = 0;
    int reads_ = 0;
    int open_ = 0;
};

} // namespace qvt
