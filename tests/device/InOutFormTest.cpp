#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/Stepper.h"
#include "scan/DeviceWorkers.h"
#include "sim/SimLockIn.h"

using namespace qvt;
using namespace qvt::test;

using InOutFormLife = DriverLinkFixture;

TEST_F(InOutFormLife, CreationSendsTheStartTrafficAndDestructionClearsTheRunBits)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    ASSERT_FALSE(form.StartFailed());
    TDeviceWorkers workers(form);
    workers.FormCreate();
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();

    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {IOCTL_SET_Z_RANGE, 0},                              // scales loaded: the Z range
        {IOCTL_SET_FEEDBACK, sim->RequestLog().at(1).In[0]}, // and the record as it stands
        {IOCTL_SET_CONTROL, 0},
        {IOCTL_SET_CONTROL, ControlRunning},
        {IOCTL_READ_REG, RegBoxVersion},
        {IOCTL_READ_REG, RegBoxSubVersion},
        {IOCTL_SET_FEEDBACK, 0x2000},     // contact AFM, the default mode
        {IOCTL_WRITE_REG, RegDigitalOut}, // the stepper is made, the laser goes on
    };
    EXPECT_EQ(Traffic(*sim), expected);
    EXPECT_EQ(sim->RequestLog().back().In[1], 0x10);
    ASSERT_NE(Stepper, nullptr);
    EXPECT_EQ(Stepper->MotorRegBase, 48);

    // The Z range of the default table, byte for byte.
    const auto log = sim->RequestLog();
    EXPECT_EQ(log[0].InWords, 5);
    EXPECT_EQ((std::vector<int32_t>(log[0].In.begin(), log[0].In.begin() + 5)),
              (std::vector<int32_t>{0, -32000, 32000, 0, 2}));
    EXPECT_EQ(sim->ZRange().MaxRaw, 32000);

    EXPECT_EQ(form.ControlWord, ControlRunning);
    EXPECT_EQ(form.Caps.BoxVersion, 26);
    EXPECT_EQ(form.Caps.BoxSubVersion, 2);
    EXPECT_EQ(form.InstanceNumber, -2);
    EXPECT_TRUE(MultiLockInPresent);
    EXPECT_EQ(AuxRegisterBase, AuxRegisterBaseCard);
    EXPECT_EQ(MicroscopeState.FeedbackMode, 3);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(form.DelayDebt, 0);

    sim->ClearLog();
    Stepper->zCoarsePos = -17;
    workers.FormDestroy();
    form.FormDestroy();
    // Motors off (phases, then the high half), laser off, then the run bits.
    EXPECT_EQ(Traffic(*sim), (std::vector<std::pair<uint32_t, int32_t>>{{IOCTL_WRITE_REG, RegDigitalOut},
                                                                        {IOCTL_WRITE_REG, RegDigitalOut},
                                                                        {IOCTL_WRITE_REG, RegDigitalOut},
                                                                        {IOCTL_SET_CONTROL, 0}}));
    EXPECT_EQ(sim->Register(RegDigitalOut), 0);
    EXPECT_EQ(Stepper, nullptr);
    EXPECT_EQ(MainIni->ReadInteger("Stepper", "zCoarsePos", 0), -17);
    EXPECT_EQ(sim->ControlWord(), 0);
    EXPECT_FALSE(form.IsOpen());
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(InOutFormLife, ControllerTypeComesFromTheBoxOrTheSettings)
{
    // Type 29: auxiliary registers move up, the multi lock-in is there.
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    auto type29 = PlugSim(config);
    {
        TInOutForm form;
        form.FormCreate();
        EXPECT_EQ(form.Caps.BoxVersion, 29);
        EXPECT_EQ(AuxRegisterBase, AuxRegisterBaseType29);
        EXPECT_TRUE(MultiLockInPresent);
        form.FormDestroy();
    }

    // No controller: "LIAVersion" decides, 22 when it is not set.
    config = FastConfig();
    config.Absent = true;
    PlugSim(config);
    {
        TInOutForm form;
        form.FormCreate();
        EXPECT_FALSE(form.StartFailed());
        EXPECT_EQ(form.Caps.BoxVersion, 22);
        EXPECT_EQ(form.Caps.BoxSubVersion, -1);
        EXPECT_FALSE(MultiLockInPresent);
        EXPECT_EQ(AuxRegisterBase, AuxRegisterBaseCard);
        form.FormDestroy();
    }
    ini_->WriteInteger("Microscope", "LIAVersion", 24);
    {
        TInOutForm form;
        form.FormCreate();
        EXPECT_EQ(form.Caps.BoxVersion, 24);
        form.FormDestroy();
    }
}

TEST_F(InOutFormLife, MissingDriverAbortsTheStartWithoutTraffic)
{
    DeviceDriverName = "QVT";
    TInOutForm form;
    int aborted = 0;
    QObject::connect(&form, &TInOutForm::startAborted, [&] { ++aborted; });
    form.FormCreate();

    EXPECT_TRUE(form.StartFailed());
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_EQ(boxes_.Texts(), (QStringList{"Device-driver not running!\rCannot connect to QVT-Card!",
                                           "Device-Driver not started!\rProgram aboarded!"}));
    EXPECT_EQ(boxes_.Kinds().back(), MsgKind::Error);
    EXPECT_FALSE(form.IsOpen());

    // The start-up steps that follow stay quiet on the missing link.
    boxes_.Clear();
    EXPECT_FALSE(form.TestCommunication());
    form.CalibrateDelay();
    EXPECT_EQ(form.DelayOverhead, 0);
    form.FormDestroy();
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    EXPECT_EQ(ini_->ReadInteger("Main", "DeviceDriverIOCTLFreq", -1), -1);
}

TEST_F(InOutFormLife, SecondLockInDeviceOpensTwiceOrStaysQuietlyClosed)
{
    const int32_t word = 17179869;
    {
        TInOut2Form first;
        first.FormCreate();
        EXPECT_EQ(first.ReadRegCode, 0x223C34u);
        ASSERT_TRUE(first.Opened());

        // The lock-in window opens the same device a second time.
        TInOut2Form second;
        ASSERT_TRUE(second.OpenLockInDevice());
        EXPECT_TRUE(second.Ioctl(IOCTL_LOCKIN_FREQUENCY, &word, 4, nullptr, 0));
        auto* device = dynamic_cast<sim::SimLockIn*>(first.Driver());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->FrequencyWord(), word);
    }

    // Not attached: the open fails without a word to the operator.
    dir_.WriteFile("ini/sim.ini", "[LockIn]\r\nAbsent=1\r\n");
    TInOut2Form closed;
    closed.FormCreate();
    EXPECT_FALSE(closed.Opened());
    EXPECT_FALSE(closed.Ioctl(IOCTL_LOCKIN_FREQUENCY, &word, 4, nullptr, 0));
    EXPECT_TRUE(boxes_.Texts().isEmpty());
}
