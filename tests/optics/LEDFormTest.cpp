#include "optics/LEDForm.h"
#include "core/IniFile.h"
#include "optics/CameraBackend.h"
#include "optics/CameraForm.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "support/DriverLinkFixture.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QScrollBar>

using namespace qvt;
using namespace qvt::test;

namespace {

class LEDFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedUser_ = UserIni;
        user_ = std::make_unique<TQVTIniFile>(dir_.Path() + "user.ini");
        UserIni = user_.get();
        sim_ = PlugSim(FastConfig());
        link_ = std::make_unique<TInOutForm>();
        link_->FormCreate();
    }
    void TearDown() override
    {
        form_.reset();
        link_->FormDestroy();
        link_.reset();
        UserIni = savedUser_;
        DriverLinkFixture::TearDown();
    }
    // The SET_LED value word of each request (the first word is the enable).
    std::vector<int32_t> LedValues()
    {
        std::vector<int32_t> v;
        for (const sim::SimRequest& r : Since())
            if (r.Code == IOCTL_SET_LED)
                v.push_back(r.In[1]);
        return v;
    }
    std::vector<std::pair<int32_t, int32_t>> RegisterWrites()
    {
        std::vector<std::pair<int32_t, int32_t>> w;
        for (const sim::SimRequest& r : Since())
            if (r.Code == IOCTL_WRITE_REG)
                w.emplace_back(r.In[0], r.In[1]);
        return w;
    }
    void Mark() { mark_ = sim_->RequestLog().size(); }
    std::vector<sim::SimRequest> Since() const
    {
        const std::vector<sim::SimRequest> log = sim_->RequestLog();
        return {log.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, log.size())), log.end()};
    }
    void Make()
    {
        form_ = std::make_unique<TLEDForm>(*link_);
        Mark();
        form_->FormCreate();
    }

    TQVTIniFile* savedUser_ = nullptr;
    std::unique_ptr<TQVTIniFile> user_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> link_;
    std::unique_ptr<TLEDForm> form_;
    size_t mark_ = 0;
};

} // namespace

TEST_F(LEDFormTest, BarsGoOverTheBusAsStartChannelAndBrightnessWords)
{
    UserIni->WriteInteger("LED", "ScollBar1", 0);   // green at the top: full
    UserIni->WriteInteger("LED", "ScollBar2", 127); // white at the bottom: dark
    Make();
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 543, 370, 2, 512}));
    EXPECT_EQ(sim_->LedBus().Brightness(1), 31);
    EXPECT_EQ(sim_->LedBus().Malformed(), 0);

    Mark();
    form_->ScrollBar(2)->setValue(27);
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 543, 370, 2, 612}));
    EXPECT_EQ(form_->ScrollBar(2)->toolTip(), "79 %");
    EXPECT_EQ(sim_->LedBus().Brightness(2), 100);

    Mark();
    form_->SendLEDs(false);
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 512, 370, 2, 512}));
    EXPECT_EQ(sim_->LedBus().Brightness(1), 0);
    EXPECT_TRUE(RegisterWrites().empty());

    form_->ScrollBar(2)->setValue(50);
    form_->FormDestroy();
    EXPECT_EQ(UserIni->ReadInteger("LED", "ScollBar2", 0), 50);
}

TEST_F(LEDFormTest, LoadingWritesOnlyThePowerRegisterThenSendsOnce)
{
    MainIni->WriteBool("LED", "UsePWM", true);
    MainIni->WriteBool("LED", "CheckBox1", true);
    UserIni->WriteInteger("LED", "ScollBar1", 10);
    UserIni->WriteInteger("LED", "ScollBar3", 55);
    form_ = std::make_unique<TLEDForm>(*link_);
    Mark();
    form_->FormCreate();
    // While the bars were restored only the power register was written; the
    // restored brightness then went out once.
    const auto log = Since();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().Code, IOCTL_WRITE_REG);
    EXPECT_EQ(RegisterWrites(), (std::vector<std::pair<int32_t, int32_t>>{{AuxRegisterBase + 11, 200}}));
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 533, 370, 2, 639}));
    EXPECT_TRUE(CameraOffDuringScan);
    EXPECT_FALSE(form_->Realised());

    Mark();
    form_->SetPower(false);
    EXPECT_EQ(RegisterWrites(), (std::vector<std::pair<int32_t, int32_t>>{{AuxRegisterBase + 11, 0}}));

    form_->CheckBox1()->click();
    EXPECT_FALSE(CameraOffDuringScan);
    EXPECT_FALSE(MainIni->ReadBool("LED", "CheckBox1", true));
}

TEST_F(LEDFormTest, TheCameraSwitchesTheLedsOnlyOnceTheirWindowWasShown)
{
    UserIni->WriteInteger("LED", "ScollBar2", 27);
    Make();
    TCameraForm camera(std::make_unique<TTestPatternCamera>(), form_.get());
    ScriptedMessageResponder boxes;
    Mark();
    camera.show();
    camera.hide();
    EXPECT_TRUE(LedValues().empty());

    form_->show();
    form_->hide();
    Mark();
    camera.show();
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 543, 370, 2, 612}));
    Mark();
    camera.hide();
    EXPECT_EQ(LedValues(), (std::vector<int32_t>{370, 1, 512, 370, 2, 512}));
    EXPECT_TRUE(boxes.Texts().isEmpty());
}
