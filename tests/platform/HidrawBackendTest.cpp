#include "platform/HidrawBackend.h"
#include "platform/HidDevices.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qvt;
using namespace qvt::test;

namespace {
// Six unnumbered bytes of axes and buttons.
const QByteArray StickDescriptor = QByteArray::fromHex("05010904a101150026ff00750895060930093109320933093409358102c0");
// Report 2: three buttons, padding, three relative bytes, then two bytes set
// between a push and a pop of the globals.
const QByteArray MouseDescriptor =
    QByteArray::fromHex("05010902a10185027501950381027505950181037508950381069509a4750895028102b4c0");
} // namespace

TEST(HidrawBackend, DescriptorTellsReportIdsAndLength)
{
    const THidDescriptorInfo stick = ParseHidReportDescriptor(StickDescriptor);
    EXPECT_FALSE(stick.HasReportIds);
    EXPECT_EQ(stick.InputReportLength, 7);
    const THidDescriptorInfo mouse = ParseHidReportDescriptor(MouseDescriptor);
    EXPECT_TRUE(mouse.HasReportIds);
    // Between push and pop two more bytes: the id, 4 and 2.
    EXPECT_EQ(mouse.InputReportLength, 1 + 4 + 2);
    // A cut descriptor ends the parse without reading past it.
    EXPECT_EQ(ParseHidReportDescriptor(StickDescriptor.left(StickDescriptor.size() - 4)).InputReportLength, 1);
    EXPECT_EQ(ParseHidReportDescriptor(QByteArray::fromHex("fe")).InputReportLength, 1);
}

TEST(HidrawBackend, UnnumberedReportsGetTheirIdByteAndReachTheHandler)
{
    TempDir dir;
    dir.WriteFile("sys/hidraw3/device/uevent", "HID_ID=0003:0000046D:0000C215\nHID_NAME=Precision Joystick Pro\n");
    dir.WriteFile("sys/hidraw3/device/report_descriptor", StickDescriptor);
    QDir().mkpath(dir.Path() + "dev");
    const QByteArray fifo = QFile::encodeName(dir.Path() + "dev/hidraw3");
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);

    auto backend = std::make_shared<THidrawBackend>(dir.Path() + "sys", dir.Path() + "dev");
    const auto list = backend->Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ProductName, "Precision Joystick Pro");
    EXPECT_EQ(list[0].InputReportLength, 7);

    TJvHidDeviceController ctl(backend);
    ctl.DeviceChange();
    TJvHidDevice* d = nullptr;
    ASSERT_TRUE(ctl.TakeNextDevice(d));
    std::vector<std::vector<uint8_t>> got;
    d->SetDataHandler([&](TJvHidDevice&, uint8_t id, const uint8_t* data, int size) {
        std::vector<uint8_t> v{id};
        v.insert(v.end(), data, data + size);
        got.push_back(v);
    });
    ASSERT_TRUE(d->Reading());
    const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const uint8_t report[6] = {0, 128, 255, 1, 0, 9};
    ASSERT_EQ(::write(writer, report, 6), 6);
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }, 10000));
    EXPECT_EQ(got[0], (std::vector<uint8_t>{0, 0, 128, 255, 1, 0, 9}));
    ::close(writer);
    // Stopping does not wait for the 100 ms read.
    d->SetDataHandler(nullptr);
    EXPECT_FALSE(d->Reading());

    int error = 0;
    EXPECT_EQ(backend->OpenRead(dir.Path() + "dev/hidraw9", error), nullptr);
    EXPECT_EQ(error, ENOENT);
}
