// The landing workflow: its words, and the panel against the simulated frame
// motor of a type-29 controller.

#include "support/DriverLinkFixture.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "motion/FrameSequencer.h"
#include "motion/MainFrameForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

using namespace qvt;
using namespace qvt::test;

namespace {

TEST(FrameWords, ChunkSpeedAndSensorWords)
{
    TFrameSequencer seq;
    const TFrameActions a = seq.StartMove(1, 3.0, -5, -40000, 1.0);
    ASSERT_EQ(a.Writes.size(), 2u);
    EXPECT_EQ(a.Writes[0], (TFrameWrite{RegFrameMotorMode, 0u}));
    // Start flag, direction (landing with Up not 88), 16382, speed word 1.
    EXPECT_EQ(a.Writes[1], (TFrameWrite{RegFrameMotorStep, 0xC0000000u | (16382u << 16) | 1u}));
    EXPECT_EQ(seq.RemainingSteps, -23617);
    EXPECT_EQ(seq.FrameState, FrameLanding);
    EXPECT_EQ(FrameStepWord(false, true, -5, 16.0), (4u << 16) | 10u); // Up 88 turns the direction
    EXPECT_EQ(FrameStepWord(false, true, 5, 16.0), 0x40000000u | (4u << 16) | 10u);

    EXPECT_EQ(FrameSpeedWord(1.0), 1u); // round(0.625)
    EXPECT_EQ(FrameSpeedWord(0.0), 1u);
    EXPECT_EQ(FrameSpeedWord(200000.0), 65535u);

    EXPECT_EQ(FrameSensorWord(false, true, 3.0), 0x49300u | 3u);
    EXPECT_EQ(FrameSensorWord(false, false, 3.0), 0x49300u | 2u);
    EXPECT_EQ(FrameSensorWord(true, true, 3.0), 0x49300u | 2u);
    // 30000 mV overflows a signed word of 1e-5 mV but fits the field; 50000 does not.
    EXPECT_EQ(FrameSensorWord(false, true, 30000.0), 3000000000u | 3u);
    EXPECT_EQ(FrameSensorWord(false, true, 50000.0), 0xFFFFFF00u | 3u);
    EXPECT_EQ(FrameSensorWord(false, true, -1.0), 3u);

    // A zero move sends no step word (the motor would make one step).
    TFrameSequencer idle;
    const TFrameActions none = idle.StartMove(1, 0.0, 0, 0, 100.0);
    EXPECT_EQ(none.Writes, (std::vector<TFrameWrite>{{RegFrameMotorMode, 0u}}));
    EXPECT_EQ(idle.FrameState, FrameIdle);
}

TEST(FrameWords, StoredStateWithoutAPictureIsShownAsIdle)
{
    TFrameSequencer seq;
    seq.FrameState = 12;
    const TFrameActions a = seq.Tick([] { return 0; }, 0);
    EXPECT_TRUE(a.StateShown);
    EXPECT_EQ(seq.FrameState, FrameIdle);
    EXPECT_EQ(seq.ShownState, FrameIdle);
    EXPECT_FALSE(seq.Tick([] { return 0; }, 0).StateShown);
}

class MainFrameOnSim : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        sim::SimConfig config = FastConfig();
        config.ControllerType = 29;
        config.FrameMotor.Attached = true;
        sim_ = PlugSim(config);
        link_.FormCreate();
        ASSERT_FALSE(link_.StartFailed());
        ini_->WriteString("Software", "MainFrame", "1");
        savedZ_ = MicroscopeState.ZState;
    }
    void TearDown() override
    {
        MicroscopeState.ZState = savedZ_;
        link_.FormDestroy();
        DriverLinkFixture::TearDown();
    }
    // A tick of the panel's timer after 100 ms of the controller's time.
    void Tick(TMainFrameForm& form)
    {
        link_.DelayUs(100000);
        form.Timer1Timer();
    }
    void Edits(TMainFrameForm& form, std::initializer_list<const char*> texts)
    {
        int i = 1;
        for (const char* t : texts)
            form.Edit(i++)->setText(t);
    }
    QStringList Log(TMainFrameForm& form) { return form.Memo1()->toPlainText().split('\n', Qt::SkipEmptyParts); }

    std::shared_ptr<sim::SimController> sim_;
    TInOutForm link_;
    int32_t savedZ_ = 0;
};

TEST_F(MainFrameOnSim, SensorStopsTheLandingAndTheExtraStepsFollowInChunks)
{
    TMainFrameForm form(link_);
    form.FormCreate();
    EXPECT_TRUE(form.isVisible());
    // 100000 Hz, sensor mode at 3 mV (the sensor reaches it 23000 steps down),
    // at most 40000 steps, then 20000 extra: more than one chunk.
    Edits(form, {"100000", "2", "3", "40000", "20000"});
    form.Button1Click();
    EXPECT_EQ(static_cast<uint32_t>(sim_->Register(RegFrameMotorMode)), 0x49300u | 3u);
    for (int i = 0; i < 50 && form.Sequencer().FrameState == FrameLanding; ++i)
        Tick(form);
    EXPECT_EQ(form.Sequencer().FrameState, FrameLanded);
    // Two chunks to the sensor, two of extra steps. The reference goes out
    // without its low byte (2.99776 mV), so the sensor stops at 22998.
    EXPECT_EQ(sim_->FrameChunks(), 4);
    EXPECT_DOUBLE_EQ(sim_->FramePosition(), 42998.0);
    EXPECT_EQ(sim_->Register(RegFrameMotorMode), 0);
    EXPECT_EQ(Log(form), (QStringList{"State 1", "State 2"}));

    // Pick-up: the signal falls back under the reference at 22997.
    form.Button2Click();
    EXPECT_EQ(static_cast<uint32_t>(sim_->Register(RegFrameMotorMode)), 0x49300u | 2u);
    for (int i = 0; i < 50 && form.Sequencer().FrameState == FramePickingUp; ++i)
        Tick(form);
    EXPECT_EQ(form.Sequencer().FrameState, FramePickedUp);
    EXPECT_DOUBLE_EQ(sim_->FramePosition(), 2997.0);

    // Step mode: the whole move, chunk by chunk, and nothing more.
    Edits(form, {"100000", "1", "3", "20000", "500"});
    form.Button1Click();
    for (int i = 0; i < 50 && form.Sequencer().FrameState == FrameLanding; ++i)
        Tick(form);
    EXPECT_EQ(form.Sequencer().FrameState, FrameLanded);
    EXPECT_DOUBLE_EQ(sim_->FramePosition(), 22997.0);

    form.FormDestroy();
    EXPECT_EQ(ini_->ReadInteger("MainFrame", "afmState", -1), FrameLanded);
    EXPECT_EQ(ini_->ReadString("MainFrame", "Edit2", ""), "1");
}

TEST_F(MainFrameOnSim, MotorRunsAtTheSpeedWordsRate)
{
    TMainFrameForm form(link_);
    form.FormCreate();
    Edits(form, {"160", "1", "3", "1000", "0"}); // word 100: 160 steps a second
    form.Button1Click();
    link_.DelayUs(500000);
    const int32_t v = link_.ReadReg(RegFrameProgress);
    EXPECT_EQ(v & 1, 0);
    EXPECT_NEAR(v / 256, 80, 1);
    for (int i = 0; i < 100 && form.Sequencer().FrameState == FrameLanding; ++i)
        Tick(form);
    EXPECT_EQ(form.Sequencer().FrameState, FrameLanded);
    EXPECT_DOUBLE_EQ(sim_->FramePosition(), 1000.0);
}

TEST_F(MainFrameOnSim, ApproachStartsOnceThoughTheTimerTicksDuringIt)
{
    TMainFrameForm form(link_);
    form.FormCreate();
    int approaches = 0;
    bool fastSeen = false;
    form.RunApproach = [&](bool fast) {
        ++approaches;
        fastSeen = fast;
        // The approach's own waits let the timer in.
        for (int i = 0; i < 3; ++i)
            form.Timer1Timer();
        MicroscopeState.ZState = ZApproached;
        form.Timer1Timer();
    };
    MicroscopeState.ZState = ZApproached; // still approached from before: taken back first
    form.Edit(2)->setText("1");
    form.Button3Click();
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    Tick(form);
    EXPECT_EQ(approaches, 1);
    EXPECT_TRUE(fastSeen);
    EXPECT_EQ(form.Sequencer().FrameState, FrameApproached);
    Tick(form);
    EXPECT_EQ(approaches, 1);
    EXPECT_EQ(Log(form), (QStringList{"State 3", "State 4"}));

    int clicks = 0;
    bool down = false;
    form.ScanButtonDown = [&] { return down; };
    form.ClickScanButton = [&] { ++clicks; };
    form.Button5Click();
    down = true;
    form.Button5Click();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(form.Sequencer().FrameState, FrameScanning);
}

TEST_F(MainFrameOnSim, EditWithoutAnIntegerSendsNothingAndSaysSo)
{
    TMainFrameForm form(link_);
    form.FormCreate();
    sim_->ClearLog();
    form.Edit(4)->setText("4e4");
    form.Button1Click();
    EXPECT_EQ(boxes_.Texts(), QStringList{"'4e4' is not a valid integer value"});
    EXPECT_EQ(CountCode(*sim_, IOCTL_WRITE_REG), 0);
    EXPECT_EQ(form.Sequencer().FrameState, FrameIdle);
}

TEST_F(MainFrameOnSim, PanelStaysHiddenUnlessTheMachineHasAFrame)
{
    ini_->WriteString("Software", "MainFrame", "0");
    TMainFrameForm form(link_);
    form.FormCreate();
    EXPECT_FALSE(form.isVisible());
    form.FormDestroy();
    EXPECT_EQ(ini_->ReadString("MainFrame", "afmState", "none"), "none");
}

} // namespace
