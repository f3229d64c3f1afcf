#include "platform/HidDevices.h"
#include "platform/FakeHidBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <cerrno>

using namespace qvt;
using qvt::test::PumpUntil;

namespace {

THidInterfaceInfo Stick(const QString& id, int length = 9)
{
    return {"/dev/hidraw-" + id, id, "Stick " + id, length};
}

struct Received {
    std::vector<std::vector<uint8_t>> Reports;
    std::vector<int> Errors;
};

TJvHidDevice::DataHandler Collect(Received& r)
{
    return [&r](TJvHidDevice&, uint8_t id, const uint8_t* data, int size) {
        std::vector<uint8_t> v{id};
        v.insert(v.end(), data, data + size);
        r.Reports.push_back(v);
    };
}

// One plugged stick "a" taken from its controller, its read errors collected.
struct OneStick {
    std::shared_ptr<FakeHidBackend> Backend = std::make_shared<FakeHidBackend>();
    std::unique_ptr<TJvHidDeviceController> Controller;
    Received R;
    TJvHidDevice* Device = nullptr;

    OneStick()
    {
        Backend->Plug(Stick("a"));
        Controller = std::make_unique<TJvHidDeviceController>(Backend);
        Controller->DeviceChange();
        Controller->OnDeviceDataError = [this](TJvHidDevice&, int code) { R.Errors.push_back(code); };
        if (!Controller->TakeNextDevice(Device))
            Device = nullptr;
    }
};

} // namespace

TEST(HidDevices, ListFollowsPlugAndUnplugAndHandsDevicesOutInOrder)
{
    auto backend = std::make_shared<FakeHidBackend>();
    backend->Plug(Stick("a"));
    backend->Plug(Stick("b"));
    TJvHidDeviceController ctl(backend);
    int changes = 0;
    ctl.OnDeviceChange = [&] { ++changes; };
    QCoreApplication::processEvents();
    ASSERT_EQ(ctl.Devices().size(), 2u);
    EXPECT_GE(changes, 1);

    TJvHidDevice* first = nullptr;
    TJvHidDevice* second = nullptr;
    TJvHidDevice* none = nullptr;
    ASSERT_TRUE(ctl.TakeNextDevice(first));
    ASSERT_TRUE(ctl.TakeNextDevice(second));
    EXPECT_FALSE(ctl.TakeNextDevice(none));
    EXPECT_EQ(first->PnPInfo().DeviceID, "a");
    EXPECT_EQ(second->PnPInfo().DeviceID, "b");
    EXPECT_EQ(ctl.CheckedOutCount(), 2);

    // A free device leaves with its plug; a checked-out one stays, marked, until given back.
    ctl.CheckIn(second);
    backend->Unplug("b");
    backend->Unplug("a");
    QCoreApplication::processEvents();
    ASSERT_EQ(ctl.Devices().size(), 1u);
    EXPECT_EQ(ctl.Devices()[0].get(), first);
    EXPECT_FALSE(first->Plugged());
    EXPECT_EQ(ctl.PluggedCount(), 0);
    ctl.CheckIn(first);
    EXPECT_TRUE(ctl.Devices().empty());

    // Plugged in again it is a new device.
    backend->Plug(Stick("a"));
    QCoreApplication::processEvents();
    EXPECT_EQ(ctl.FreeCount(), 1);

    TJvHidDeviceController empty(nullptr);
    QCoreApplication::processEvents();
    EXPECT_FALSE(empty.TakeNextDevice(none));
}

TEST(HidDevices, SleepTimeLimitsAndProductName)
{
    auto backend = std::make_shared<FakeHidBackend>();
    backend->Plug({"/dev/x", "x", QString(300, QChar('n')), 8});
    TJvHidDeviceController ctl(backend);
    ctl.DeviceChange();
    TJvHidDevice* d = nullptr;
    ASSERT_TRUE(ctl.TakeNextDevice(d));
    EXPECT_EQ(d->ProductName().size(), TJvHidDevice::MaxProductNameLength);
    EXPECT_EQ(d->ThreadSleepTime(), 100);
    EXPECT_FALSE(d->SetThreadSleepTime(10));
    EXPECT_TRUE(d->SetThreadSleepTime(11));
    EXPECT_TRUE(d->SetThreadSleepTime(10000));
    EXPECT_FALSE(d->SetThreadSleepTime(10001));
    EXPECT_EQ(d->ThreadSleepTime(), 10000);
}

TEST(HidDevices, ReportsAreSplitDeliveredInOrderAndSurviveErrors)
{
    OneStick stick;
    const std::shared_ptr<FakeHidBackend>& backend = stick.Backend;
    Received& r = stick.R;
    TJvHidDevice* d = stick.Device;
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->SetThreadSleepTime(11));

    {
        backend->QueueReport("a", {7});
        backend->QueueReport("a", {});
        backend->QueueError("a", EIO);
        backend->QueueError("a", EIO);
        backend->QueueError("a", EPROTO);
        backend->QueueReport("a", {1, 128, 129, 130});
        d->SetDataHandler(Collect(r));
        ASSERT_TRUE(PumpUntil([&] { return r.Reports.size() >= 2; }, 10000));
    }
    // Length 1: the id with no data; length 0: nothing at all. Reading went on
    // after the errors, each of which was told once.
    EXPECT_EQ(r.Reports[0], (std::vector<uint8_t>{7}));
    EXPECT_EQ(r.Reports[1], (std::vector<uint8_t>{1, 128, 129, 130}));
    EXPECT_EQ(r.Errors, (std::vector<int>{EIO, EPROTO}));

    // A removed device ends its reading with one error.
    backend->Unplug("a");
    ASSERT_TRUE(PumpUntil([&] { return r.Errors.size() == 3; }, 10000));
    EXPECT_EQ(r.Errors.back(), ENODEV);
    d->SetDataHandler(nullptr);
    EXPECT_EQ(backend->OpenReads(), 0);
}

TEST(HidDevices, StopEndsThePauseAfterAReadError)
{
    OneStick stick;
    const std::shared_ptr<FakeHidBackend>& backend = stick.Backend;
    Received& r = stick.R;
    TJvHidDevice* d = stick.Device;
    ASSERT_NE(d, nullptr);
    // A read waits up to the sleep time for a report, and after an error the
    // reading pauses as long: 10 s here, twice what either may take.
    ASSERT_TRUE(d->SetThreadSleepTime(10000));
    d->SetDataHandler(Collect(r));
    ASSERT_TRUE(PumpUntil([&] { return backend->ReadCalls() >= 1; }, 10000));
    // The error wakes the read that waits.
    backend->QueueError("a", EIO);
    ASSERT_TRUE(PumpUntil([&] { return r.Errors.size() == 1; }, 5000));
    const test::HangWatch watch("stopping a device in its pause after an error", 5000);
    d->SetDataHandler(nullptr);
    EXPECT_FALSE(d->Reading());
}

TEST(HidDevices, StopCancelsAPendingReadAndDropsLateReports)
{
    auto backend = std::make_shared<FakeHidBackend>();
    backend->Plug(Stick("a"));
    Received r;
    {
        TJvHidDeviceController ctl(backend);
        ctl.DeviceChange();
        TJvHidDevice* d = nullptr;
        ASSERT_TRUE(ctl.TakeNextDevice(d));
        ASSERT_TRUE(d->SetThreadSleepTime(10000));
        d->SetDataHandler(Collect(r));
        ASSERT_TRUE(PumpUntil([&] { return backend->ReadCalls() >= 1; }, 10000));
        // The read waits up to 10 s for a report; stopping must not.
        {
            const test::HangWatch watch("stopping a device whose read waits", 5000);
            d->SetDataHandler(nullptr);
        }
        EXPECT_EQ(backend->CancelledReads(), 1);
        EXPECT_FALSE(d->Reading());

        // A report already on its way when the device goes is not delivered.
        backend->QueueReport("a", {1, 2, 3});
        d->SetDataHandler(Collect(r));
        // Waited for without handling events, so the report stays queued.
        for (int i = 0; i < 10000 && backend->ReadCalls() < 3; ++i)
            QThread::msleep(1);
        ASSERT_GE(backend->ReadCalls(), 3);
        ctl.CheckIn(d);
        backend->Unplug("a");
        ctl.DeviceChange();
        EXPECT_TRUE(ctl.Devices().empty());
        QCoreApplication::processEvents();
        EXPECT_TRUE(r.Reports.empty());
    }
    // The controller joined its threads before the devices went.
    EXPECT_EQ(backend->OpenReads(), 0);
}

// A device that answered with an error pauses for its sleep time before the
// next read; closing it meanwhile wakes the pause instead of waiting it out.
TEST(HidDevices, StopDuringThePauseAfterAnErrorReturnsAtOnce)
{
    auto backend = std::make_shared<FakeHidBackend>();
    backend->Plug(Stick("a"));
    TJvHidDeviceController ctl(backend);
    ctl.DeviceChange();
    Received r;
    ctl.OnDeviceDataError = [&](TJvHidDevice&, int code) { r.Errors.push_back(code); };
    TJvHidDevice* d = nullptr;
    ASSERT_TRUE(ctl.TakeNextDevice(d));
    ASSERT_TRUE(d->SetThreadSleepTime(10000));
    backend->QueueError("a", EIO);
    d->SetDataHandler(Collect(r));
    ASSERT_TRUE(PumpUntil([&] { return r.Errors.size() == 1; }, 10000));
    // The error is posted just before the pause begins.
    QThread::msleep(100);
    EXPECT_EQ(backend->ReadCalls(), 1);
    const auto before = std::chrono::steady_clock::now();
    d->SetDataHandler(nullptr);
    const auto waited = std::chrono::steady_clock::now() - before;
    // Woken, the stop takes microseconds; the pause it must not wait out is 10 s.
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(backend->OpenReads(), 0);
}
