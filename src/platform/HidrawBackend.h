#pragma once
// The HID backend for real devices on Linux: the kernel's hidraw nodes. The
// identity comes from sysfs (so a node the user may not open is still
// listed), reports are read from /dev/hidrawN, and arrivals and removals are
// found by enumerating once a second.
//
// hidraw leaves out the id byte of devices whose reports are unnumbered; the
// report descriptor tells which they are, and such reports get a 0 in front,
// so every report starts with its id as the layer above expects.

#include "platform/HidDevices.h"

#include <QByteArray>

#include <memory>

class QTimer;

namespace qvt {

struct THidDescriptorInfo {
    bool HasReportIds = false;
    int InputReportLength = 0; // the longest input report, id byte included
};

// From the report descriptor's Report ID, Report Size, Report Count and Input items.
THidDescriptorInfo ParseHidReportDescriptor(const QByteArray& descriptor);

class THidrawBackend : public IHidBackend {
public:
    // `sysClass` is where the hidraw class lives, `devDir` its nodes (tests give their own tree).
    explicit THidrawBackend(QString sysClass = "/sys/class/hidraw", QString devDir = "/dev");
    ~THidrawBackend() override;

    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidReadHandle> OpenRead(const QString& devicePath, int& error) override;
    // Enumerates once a second from now on.
    void StartWatching() override;

private:
    class Handle;
    QString sysClass_;
    QString devDir_;
    std::unique_ptr<QTimer> timer_;
    QStringList lastIds_;
};

} // namespace qvt
