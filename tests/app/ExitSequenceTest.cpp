#include "support/DriverLinkFixture.h"

#include "app/CreateForms.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "scan/DeviceWorkers.h"

#include <QCoreApplication>
#include <QThread>

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
    dir_.WriteFile("QVT_Manual.chm", "");
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
    EXPECT_TRUE(TQVTIniFile(dir_.Path() + "qvt.ini").ValueExists("Main", "FormWidth"));
    EXPECT_TRUE(TQVTIniFile(dir_.Path() + "user.ini").ValueExists("Main", "RepeatButton"));
    const int64_t sent = sim->RequestCount();
    Pump(300); // no timer of a destroyed window may reach the controller any more
    EXPECT_EQ(sim->RequestCount(), sent);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}
