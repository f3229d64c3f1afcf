#include "support/DriverLinkFixture.h"

#include "app/CreateForms.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "scan/DeviceWorkers.h"

#include <QCoreApplication>
#include <QThread>
#include <QToolButton>

#include <algorithm>
#include <chrono>

using namespace qvt;
using namespace qvt::test;

namespace {

void Pump(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
}

bool WritesReg(const sim::SimRequest& r, int32_t reg)
{
    return r.Code == IOCTL_WRITE_REG && r.InWords > 0 && r.In[0] == reg;
}

class ExitSequence : public DriverLinkFixture {
protected:
    void TearDown() override
    {
        DestroyAllForms();
        MicroscopeState.ZState = ZCoarseRetracted;
        DriverLinkFixture::TearDown();
    }
};

} // namespace

TEST_F(ExitSequence, RetractsBeforeRampingHomeAndSendsNothingOnceTheLinkIsClosed)
{
    dir_.WriteFile("qvt.ini", "[Main]\r\nDeviceDriverName=SIM\r\nRetractOnExitQVT=1\r\n");
    dir_.WriteFile("user.ini", "[Main]\r\n");
    dir_.WriteFile("QVT_Manual.html", "");
    dir_.WriteFile("SoftLin.ini", "[SoftLin]\r\nRange1=50\r\nX1=1\r\nY1=1\r\n");
    const auto sim = PlugSim(FastConfig());
    int exitCode = 0;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    MainQVTForm->show();

    // Away from home, approached: the exit has a retract and a ramp to do.
    DeviceWorkers->GoToXYRaw(6000, -4000);
    MicroscopeState.ZState = ZApproached;
    // The device window's own retract, watched: what it sent, and that X/Y
    // stayed where they were meanwhile.
    int retracts = 0;
    bool retractSent = false;
    bool rampedBeforeRetract = false;
    MainQVTForm->CoarseRetract = [&] {
        ++retracts;
        for (const sim::SimRequest& r : sim->RequestLog())
            rampedBeforeRetract = rampedBeforeRetract || WritesReg(r, RegX) || WritesReg(r, RegY);
        sim->ClearLog();
        DeviceWorkers->CoarseRetract();
        for (const sim::SimRequest& r : sim->RequestLog())
            retractSent = retractSent || r.Code == IOCTL_SET_FEEDBACK;
        sim->ClearLog();
    };
    sim->ClearLog();

    EXPECT_TRUE(MainQVTForm->close());
    EXPECT_EQ(retracts, 1);
    EXPECT_TRUE(retractSent);
    EXPECT_FALSE(rampedBeforeRetract) << "the tip must be away before the scanner moves";
    EXPECT_EQ(MicroscopeState.ZState.load(), ZCoarseRetracted);
    std::vector<sim::SimRequest> log = sim->RequestLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const sim::SimRequest& r) { return WritesReg(r, RegX); }))
        << "X/Y were not ramped home after the retract";
    EXPECT_EQ(sim->Dac(3), 0);
    EXPECT_EQ(sim->Dac(4), 0);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();

    // The windows write their settings, the device window shuts the link.
    const size_t closedAt = sim->RequestLog().size();
    DestroyAllForms();
    log = sim->RequestLog();
    for (size_t i = closedAt; i < log.size(); ++i) {
        EXPECT_FALSE(WritesReg(log[i], RegX) || WritesReg(log[i], RegY)) << "a move after the exit ramp";
    }
    EXPECT_EQ(MainIni, nullptr);
    EXPECT_TRUE(TQVTIniFile(dir_.Path() + "qvt.ini").ValueExists("Main", "FormHeight"));
    EXPECT_TRUE(TQVTIniFile(dir_.Path() + "user.ini").ValueExists("Main", "RepeatButton"));
    const int64_t sent = sim->RequestCount();
    Pump(300); // no timer of a destroyed window may reach the controller any more
    EXPECT_EQ(sim->RequestCount(), sent);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ExitSequence, AnExitDuringALongScanMoveStopsTheMoveAndRampsHome)
{
    // A ten-thousandth of a line per second on the instrument's own clock:
    // each pixel of the scan is a move of many seconds.
    dir_.WriteFile("qvt.ini", "[Main]\r\nDeviceDriverName=SIM\r\n\r\n[ScanPara]\r\nEdit4=0.0001\r\n");
    dir_.WriteFile("user.ini", "[Main]\r\n");
    dir_.WriteFile("QVT_Manual.html", "");
    dir_.WriteFile("SoftLin.ini", "[SoftLin]\r\nRange1=50\r\nX1=1\r\nY1=1\r\n");
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    const auto sim = PlugSim(config);
    int exitCode = 0;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    MainQVTForm->show();

    MainQVTForm->ScanButton()->click();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!sim->MoveBusy() && std::chrono::steady_clock::now() < end)
        Pump(10);
    ASSERT_TRUE(sim->MoveBusy()) << "the scan never moved";

    // The exit's pause stops the move under way, as the status timer stops
    // it after the operator's stop, instead of refusing to close.
    EXPECT_TRUE(MainQVTForm->close());
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_TRUE(DeviceWorkers->GoXYThread().Suspended());
    EXPECT_FALSE(sim->MoveBusy()) << "the scan's move went on";
    EXPECT_EQ(sim->Dac(3), 0);
    EXPECT_EQ(sim->Dac(4), 0);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}
