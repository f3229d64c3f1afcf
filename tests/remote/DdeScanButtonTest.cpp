#include "remote/DdeServer.h"

#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "support/DriverLinkFixture.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QFile>
#include <QLocalSocket>
#include <QToolButton>

#include <memory>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

// The main window, the device window and its workers on the simulator, with
// the command server in a runtime folder of its own.
class DdeScanButtonTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedRuntime_ = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.Path().chopped(1)));
        savedPixels_ = ScanParams.Pixels;
        savedRange_ = ScanParams.Range;
        savedSpeed_ = ScanParams.Speed;
        savedLine_ = ScanParams.CurrentLine;
        dir_.WriteFile("QVT_Manual.html", "");
        dir_.WriteFile("user.ini", "[Main]\r\n");
    }

    void Create()
    {
        dir_.WriteFile("qvt.ini", "[Main]\r\nDeviceDriverName=SIM\r\n");
        sim_ = PlugSim(FastConfig());
        form_ = std::make_unique<TMainQVTForm>();
        ASSERT_TRUE(form_->FormCreate("qvt"));
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        form_->ConnectDevice(workers_.get());
        ScanParams.Pixels = 16;
        ScanParams.Range = 3200.0f;
        ScanParams.Speed = 100.0f;
        ScanParams.CurrentLine = 1;
    }

    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        if (workers_)
            workers_->FormDestroy();
        workers_.reset();
        if (device_) {
            device_->FormDestroy();
            device_.reset();
        }
        form_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->GuardViolationCount(), 0);
        }
        ScanParams.Pixels = savedPixels_;
        ScanParams.Range = savedRange_;
        ScanParams.Speed = savedSpeed_;
        ScanParams.CurrentLine = savedLine_;
        qputenv("XDG_RUNTIME_DIR", savedRuntime_);
        DriverLinkFixture::TearDown();
    }

    bool Parked()
    {
        return PumpUntil([this] { return workers_->GoXYThread().Suspended() && !form_->ScanButtonDown(); });
    }

    void PressScan()
    {
        form_->ScanButton()->setChecked(true);
        form_->Scan(TScanSender::User);
    }

    TempDir runtime_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TMainQVTForm> form_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;

private:
    QByteArray savedRuntime_;
    int16_t savedPixels_ = 0;
    float savedRange_ = 0;
    float savedSpeed_ = 0;
    int16_t savedLine_ = 0;
};

} // namespace

TEST_F(DdeScanButtonTest, ScanRequestsNeverWaitOnTheScanButtonsBoxWhileTheOperatorKeepsIt)
{
    Create();
    // Wired as the program wires them.
    TDDEForm dde;
    dde.SetScanButton = [this](bool down) {
        form_->ScanButton()->setChecked(down);
        form_->Scan(TScanSender::User);
        return form_->ScanButtonDown() == down;
    };
    dde.ServerStateChanged = [this](bool on) { form_->ShowDdeServerState(on); };
    ASSERT_TRUE(dde.SetServerOn(true)) << dde.ServerError().toStdString();
    EXPECT_TRUE(form_->MenuItem("DDESever1")->isChecked());

    const auto ask = [](QLocalSocket& socket, const QByteArray& request) {
        socket.write(request + "\n");
        socket.flush();
        if (!PumpUntil([&] { return socket.canReadLine(); }))
            return QByteArray("<no reply>");
        return socket.readLine().chopped(1);
    };
    QLocalSocket a;
    QLocalSocket b;
    a.connectToServer(dde.SocketPath());
    b.connectToServer(dde.SocketPath());
    ASSERT_TRUE(PumpUntil(
        [&] { return a.state() == QLocalSocket::ConnectedState && b.state() == QLocalSocket::ConnectedState; }));

    form_->RepeatButton()->setChecked(true);
    EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:1"), "OK");
    ASSERT_TRUE(PumpUntil([this] { return !workers_->GoXYThread().Suspended(); }));
    // Twice while it scans: refused at once, the box's text in the reply, no box.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:1"), "ERROR DdeServer raised Error! | Scan was not paused!?");
    EXPECT_EQ(ask(b, "REQUEST DdeItem DdeQVTControl"), "."); // another client is served meanwhile
    EXPECT_TRUE(form_->ScanButtonDown());
    EXPECT_FALSE(boxes_.Texts().contains("Scan was not paused!? "));

    // The operator's own button keeps its box.
    PressScan();
    EXPECT_EQ(boxes_.LastText(), "Scan was not paused!? ");

    EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:0"), "OK");
    ASSERT_TRUE(Parked());
    EXPECT_TRUE(PumpUntil([&] { return boxes_.Texts().contains("DdeServer raised Error!"); }));

    // Switched off from the menu: the item follows.
    dde.SetServerOn(false);
    EXPECT_FALSE(form_->MenuItem("DDESever1")->isChecked());
}
