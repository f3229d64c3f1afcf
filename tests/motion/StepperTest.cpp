#include "support/DriverLinkFixture.h"

#include "core/NumberText.h"
#include "device/InOutForm.h"
#include "motion/Stepper.h"
#include "platform/Sound.h"

#include <memory>

using namespace qvt;
using namespace qvt::test;

namespace {

class StepperOnSim : public DriverLinkFixture {
protected:
    std::shared_ptr<sim::SimController> Start(int32_t controllerType = 26)
    {
        sim::SimConfig config = FastConfig();
        config.ControllerType = controllerType;
        auto sim = PlugSim(config);
        form.FormCreate();
        EXPECT_FALSE(form.StartFailed());
        sim->ClearLog();
        return sim;
    }

    void Set(const char* section, const char* key, const QString& value) { ini_->WriteString(section, key, value); }

    static std::vector<int32_t> Writes(const sim::SimController& sim, int32_t reg)
    {
        std::vector<int32_t> values;
        for (const sim::SimRequest& r : sim.RequestLog())
            if (r.Code == IOCTL_WRITE_REG && r.In[0] == reg)
                values.push_back(r.In[1]);
        return values;
    }

    TInOutForm form;
};

struct StatusBar : ICoarseStatus {
    void SetStatusText(const QString& text) override { Text = text; }
    QString Text;
};

struct ScanPiezo : IStickSlipDrive {
    bool XYScanSuspended() const override { return XYIdle; }
    bool FastScanSuspended() const override { return FastIdle; }
    void MoveStickSlip(int32_t moveSteps, int32_t x, int32_t y) override { Moves.push_back({moveSteps, x, y}); }
    bool XYIdle = true;
    bool FastIdle = true;
    std::vector<std::array<int32_t, 3>> Moves;
};

// A controller whose motors report ready after a given number of status reads.
class MotorBox : public DeviceDriver {
public:
    bool Control(uint32_t code, const void* in, size_t, void* out, size_t outSize, size_t* returned) override
    {
        const auto* words = static_cast<const int32_t*>(in);
        if (code == IOCTL_READ_REG && outSize == 4) {
            int32_t reply = 0;
            if (words[0] == StatusReg && ++StatusReads >= ReadyAfter)
                reply = 0x7F;
            *static_cast<int32_t*>(out) = reply;
        } else if (code == IOCTL_WRITE_REG) {
            Written.push_back({words[0], words[1]});
        }
        if (returned)
            *returned = outSize;
        return true;
    }
    size_t BulkRead(void*, size_t, int) override { return 0; }
    ManualResetEvent& GoXYWaitEvent() override { return event_; }

    int32_t StatusReg = 46;
    int ReadyAfter = 1;
    int StatusReads = 0;
    std::vector<std::pair<int32_t, int32_t>> Written;

private:
    ManualResetEvent event_;
};

} // namespace

TEST_F(StepperOnSim, BindsEachActionOnceAndUnknownKindsActAsKindOne)
{
    auto sim = Start();
    Set("Stepper", "Right", "0");
    Set("Stepper", "Left", "80");
    Set("Stepper", "Forward", "81");
    Set("Stepper", "Backward", "-5");
    Set("Stepper", "Up", "120");
    Set("Stepper", "RDLU", "47");
    TStepper stepper(form, MainIni);

    for (StepAction a :
         {StepAction::Right, StepAction::Left, StepAction::Forward, StepAction::Backward, StepAction::Up})
        EXPECT_EQ(stepper.BoundKind(a), 1);
    EXPECT_EQ(stepper.BoundKind(StepAction::Down), 6);
    EXPECT_EQ(stepper.BoundKind(StepAction::Off), 9);
    EXPECT_EQ(stepper.BoundKind(StepAction::On), 57);
    EXPECT_EQ(stepper.BoundKind(StepAction::BU), 20);
    EXPECT_EQ(stepper.BoundKind(StepAction::BD), 21);
    EXPECT_EQ(stepper.BoundKind(StepAction::RULD), 18);
    EXPECT_EQ(stepper.BoundKind(StepAction::RDLU), 47);
    EXPECT_EQ(stepper.MotorRegBase, 48);

    stepper.StepLeft(); // as kind 1: X forward
    EXPECT_EQ(sim->Register(RegDigitalOut), 0xB00);
    // The binding is fixed at creation; later edits do not move it.
    Set("Stepper", "Left", "2");
    stepper.StepLeft();
    EXPECT_EQ(sim->Register(RegDigitalOut), 0xF00);
}

TEST_F(StepperOnSim, RegisterFortyCarriesPhasesLaserAndHighHalf)
{
    auto sim = Start();
    Set("Coarse", "SlowZ", "0");
    TStepper stepper(form, MainIni);

    stepper.SetLaser(true);
    EXPECT_TRUE(stepper.GetLaserOn());
    EXPECT_EQ(sim->Register(RegDigitalOut), 0x10);
    stepper.StepRight();
    EXPECT_EQ(sim->Register(RegDigitalOut), 0xB10);
    stepper.StepBD(); // tripod C forward on the high half
    EXPECT_EQ(static_cast<uint32_t>(sim->Register(RegDigitalOut)), 0x18630B10u);
    stepper.SetLaser(false); // only the laser bit goes
    EXPECT_EQ(static_cast<uint32_t>(sim->Register(RegDigitalOut)), 0x18630B00u);

    const size_t writes = Writes(*sim, RegDigitalOut).size();
    stepper.SetHighSpeed(true); // carried by the next write, not written itself
    EXPECT_EQ(Writes(*sim, RegDigitalOut).size(), writes);
    stepper.StepUp();
    EXPECT_EQ(static_cast<uint32_t>(sim->Register(RegDigitalOut)), 0x18630B2Bu);

    stepper.PowerOff(); // bits 0-1 of the phases dropped, then the high half cleared
    EXPECT_EQ(Writes(*sim, RegDigitalOut).back(), 0x828);
    EXPECT_EQ(*(Writes(*sim, RegDigitalOut).end() - 2), static_cast<int32_t>(0x18630828));
    stepper.PowerOn();
    EXPECT_EQ(sim->Register(RegDigitalOut), 0x82C);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(StepperOnSim, ZCounterCountsClampsAndIsStoredAtDestroy)
{
    Start();
    Set("Stepper", "zCoarsePos", "999999");
    StatusBar status;
    RecordedSounds sounds;
    {
        TStepper stepper(form, MainIni);
        stepper.CoarseStatus = &status;
        stepper.StepUp();
        EXPECT_EQ(stepper.zCoarsePos, 1000000);
        stepper.StepsUp(3);
        EXPECT_EQ(stepper.zCoarsePos, 1000000);
        stepper.StepDown(); // counts back from the limit
        EXPECT_EQ(stepper.zCoarsePos, 999999);
        stepper.StepsDown(0);
        stepper.StepsDown(-2);
        stepper.StepRight();
        EXPECT_EQ(stepper.zCoarsePos, 999999);
        EXPECT_EQ(status.Text, "z: 999999"); // as the window's own mouse-up shows it
        EXPECT_TRUE(sounds.Played().empty());

        stepper.zCoarsePos = 12345;
        EXPECT_EQ(stepper.FormatZPosition(), "12345");
        stepper.zCoarsePosScale = 0.001;
        EXPECT_EQ(stepper.FormatZPosition(), "12.345");
        stepper.StepsDown(2);
        EXPECT_EQ(status.Text, "z: 12.343");
        stepper.zCoarsePos = 999999;
        stepper.zCoarsePosScale = 1.0;
    }
    EXPECT_EQ(MainIni->ReadInteger("Stepper", "zCoarsePos", 0), 999999);

    // Every step clicks, unless a sound is still playing.
    Set("Stepper", "zCoarsePos", "-5000000");
    TStepper stepper(form, MainIni);
    EXPECT_EQ(stepper.zCoarsePos, -1000000);
    stepper.Sound = true;
    stepper.StepRight();
    stepper.PowerOff();
    ASSERT_EQ(sounds.Played().size(), 1u);
    EXPECT_EQ(sounds.Played()[0], stepper.ClickSound);
    sounds.SetBusy(true);
    stepper.StepDown();
    EXPECT_EQ(sounds.Dropped(), 1);
}

TEST_F(StepperOnSim, MotorKindsReachTheMotorRegistersOfTheControllerType)
{
    auto sim = Start(26);
    Set("Stepper", "Up", "88");
    Set("Stepper", "Down", "70");
    Set("Stepper", "COMDevice", dir_.Path() + "no-serial-box"); // the box's start-up command finds no port
    {
        TStepper stepper(form, MainIni);
        stepper.StepUp();
        stepper.StepUp();
        EXPECT_EQ(Writes(*sim, 52), (std::vector<int32_t>{static_cast<int32_t>(0xC1907D00), 0x41907D00}));
        // The drive registers do not exist on this card.
        stepper.StepDown();
        EXPECT_EQ(boxes_.LastText(), "272 is outside address range!");
        EXPECT_TRUE(Writes(*sim, RegDriveWord).empty());
    }
    form.FormDestroy();

    auto type29 = Start(29);
    TStepper stepper(form, MainIni);
    EXPECT_EQ(stepper.MotorRegBase, 272);
    stepper.StepDown();
    EXPECT_EQ(type29->Register(RegDriveWord), 0xB23F);
    stepper.StepUp(); // channel 4 sits on the drive registers' block here
    EXPECT_EQ(static_cast<uint32_t>(type29->Register(276)), 0xC1907D00u);
    EXPECT_EQ(type29->GuardViolationCount(), 0);
}

TEST_F(StepperOnSim, DacPulseIsHeldInsideTheChannelLimits)
{
    auto sim = Start();
    Set("Stepper", "Up", "86");
    Set("Stepper", "Down", "87");
    Set("Stepper", "slSlow", "1e9");
    TStepper stepper(form, MainIni);
    stepper.StepUp();
    stepper.StepDown();
    const std::vector<int32_t> dac = Writes(*sim, RegDacBase + StepperDacChannel);
    ASSERT_EQ(dac.size(), 4u);
    EXPECT_EQ(std::abs(dac[0]), 32000);
    EXPECT_EQ(dac[1], 0);
    EXPECT_EQ(dac[2], -dac[0]);
    EXPECT_EQ(dac[3], 0);
    EXPECT_EQ(sim->Register(RegDacBase + StepperDacChannel), 0);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(StepperOnSim, StickSlipShakesThePiezoOnlyWhileNoScanRuns)
{
    auto sim = Start();
    Set("Stepper", "Right", "29");
    Set("Coarse", "PIAmpl", "5000");
    TStepper stepper(form, MainIni);
    stepper.StepRight(); // no scan piezo attached: nothing
    ScanPiezo piezo;
    stepper.StickSlip = &piezo;
    piezo.FastIdle = false; // a fast scan parks the XY thread but drives the piezo
    stepper.StepRight();
    piezo.FastIdle = true;
    piezo.XYIdle = false;
    stepper.StepRight();
    EXPECT_TRUE(piezo.Moves.empty());

    piezo.XYIdle = true;
    stepper.StepRight();
    EXPECT_EQ(piezo.Moves, (std::vector<std::array<int32_t, 3>>{{1, 5000, 0}, {2000, 0, 0}}));
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(StepperOnSim, SerialKindsSayOnceThatTheirPortCouldNotOpen)
{
    auto sim = Start();
    Set("Stepper", "Right", "40");
    Set("Stepper", "Up", "76");
    Set("Stepper", "COMx", "3");
    Set("Stepper", "COMDevice", dir_.Path() + "no-port");
    TStepper stepper(form, MainIni);
    stepper.StepRight();
    stepper.StepRight();
    stepper.StepUp();
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com3 could not open!"});
    EXPECT_EQ(boxes_.BeepCount(), 1);
    EXPECT_EQ(stepper.PortErrorCount, 3); // every step tried again, its first line only
    EXPECT_EQ(CountCode(*sim, IOCTL_WRITE_REG), 0);
    // The laser still goes through the output bit.
    stepper.SetLaser(true);
    EXPECT_EQ(sim->Register(RegDigitalOut), 0x10);
}

TEST_F(StepperOnSim, MotorReadyPollGivesUpAfterAThousandAndOneReads)
{
    const int32_t savedAux = AuxRegisterBase;
    AuxRegisterBase = AuxRegisterBaseCard;
    auto box = std::make_shared<MotorBox>();
    PlugInDevice("MOTORBOX", box);
    DeviceDriverName = "MOTORBOX";
    ASSERT_TRUE(form.OpenDriver());
    Set("Stepper", "Up", "58");
    {
        TStepper stepper(form, MainIni);
        box->ReadyAfter = 3;
        stepper.StepUp();
        EXPECT_EQ(box->StatusReads, 3);
        EXPECT_EQ(box->Written, (std::vector<std::pair<int32_t, int32_t>>{{46, static_cast<int32_t>(0x81030064)},
                                                                          {47, static_cast<int32_t>(0x81030064)},
                                                                          {48, static_cast<int32_t>(0x81030064)}}));

        // Never ready: 1001 reads, and the motors are sent their commands anyway.
        box->ReadyAfter = 1 << 30;
        box->StatusReads = 0;
        box->Written.clear();
        stepper.StepUp();
        EXPECT_EQ(box->StatusReads, 1001);
        EXPECT_EQ(box->Written.size(), 3u);
    }
    UnplugDevice("MOTORBOX");
    AuxRegisterBase = savedAux;
}

TEST(StepperText, FixedPointTextKeepsSignificantDigitsAndFallsBackToExponent)
{
    EXPECT_EQ(FixedPointText(12.3456789, 6, 3), "12.346");
    EXPECT_EQ(FixedPointText(1234.5678, 6, 3), "1234.570");
    EXPECT_EQ(FixedPointText(-0.0001, 6, 3), "0.000");
    EXPECT_EQ(FixedPointText(1234567.0, 6, 3), "1.23457E+006");
    EXPECT_EQ(FixedPointText(-1000000.0, 9, 0), "-1000000");
    EXPECT_EQ(FixedPointText(0.0, 6, 3), "0.000");
}
