// The laser alignment display: the target's arithmetic, and the window
// reading the simulated photodiode.

#include "support/DriverLinkFixture.h"

#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "motion/AlignmentModel.h"
#include "motion/CrosshairsForm.h"
#include "motion/Stepper.h"

#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <cmath>

using namespace qvt;
using namespace qvt::test;

namespace {

// A MaxRaw that makes one raw digit one pixel.
const double UnitScaleMaxRaw = 150.0 / std::sqrt(2.0);

TEST(AlignmentModel, ColourTellsTheSumAgainstItsAverage)
{
    TAlignmentModel m;
    for (int i = 0; i < 300; ++i)
        m.Tick(0, 0, 10000, 32000, 1e9);
    EXPECT_EQ(m.Tick(0, 0, 10000, 32000, 1e9).Colour, 7);
    EXPECT_EQ(m.Tick(0, 0, 11000, 32000, 1e9).Colour, 15);
    for (int i = 0; i < 300; ++i)
        m.Tick(0, 0, 10000, 32000, 1e9);
    EXPECT_EQ(m.Tick(0, 0, 9200, 32000, 1e9).Colour, 0);
    EXPECT_EQ(AlignmentColourTable()[0], QColor(255, 0, 0));
    EXPECT_EQ(AlignmentColourTable()[6], QColor(51, 0, 0));
    EXPECT_EQ(AlignmentColourTable()[15], QColor(0, 0xFF, 0));
}

TEST(AlignmentModel, FarSpotStaysOnTheRimInItsDirection)
{
    TAlignmentModel m;
    const TAlignmentTick t = m.Tick(1e6, 1e6, 1, UnitScaleMaxRaw, 1e9);
    EXPECT_EQ(t.X, 150 + 99);
    EXPECT_EQ(t.Y, 150 - 99);
    const TAlignmentTick left = m.Tick(-5e8, 0, 1, UnitScaleMaxRaw, 1e9);
    EXPECT_EQ(left.X, 10);
    EXPECT_EQ(left.Y, 150);
    // A blank scale (MaxRaw 0) gives a finite scale, not a dot at infinity.
    EXPECT_TRUE(std::isfinite(TAlignmentModel::PixelScale(0)));
    EXPECT_EQ(m.Tick(0, 0, 1, 0, 1e9).X, 150);
    EXPECT_EQ(m.Tick(0, 0, 1, -5, 1e9).X, 150);
}

TEST(AlignmentModel, TrailErasesTheDotOfFifteenTicksAgo)
{
    TAlignmentModel m;
    std::vector<std::pair<int, int>> drawn;
    for (int k = 0; k < 40; ++k) {
        const TAlignmentTick t = m.Tick(k - 20, 20 - k, 1, UnitScaleMaxRaw, 1e9);
        EXPECT_EQ(t.Slot, k % 20);
        EXPECT_EQ(t.EraseSlot, (k + 5) % 20);
        EXPECT_EQ(t.RedrawBackground, k == 19 || k == 39) << k;
        if (k >= 15) {
            EXPECT_EQ(t.EraseX, drawn[static_cast<size_t>(k - 15)].first) << k;
            EXPECT_EQ(t.EraseY, drawn[static_cast<size_t>(k - 15)].second) << k;
        }
        drawn.emplace_back(t.X, t.Y);
    }
    EXPECT_EQ(m.TrailPos, 0);
}

TEST(AlignmentModel, SetpointChordAndGain)
{
    TAlignmentModel m;
    TAlignmentTick t = m.Tick(0, 0, 1, UnitScaleMaxRaw, 60);
    EXPECT_TRUE(t.ChordRedrawn);
    EXPECT_EQ(t.HalfWidth, 80);
    EXPECT_EQ(t.LineY, 90);
    EXPECT_FALSE(m.Tick(0, 0, 1, UnitScaleMaxRaw, 60).ChordRedrawn);
    // 100 pixels from the centre: no chord, and the old one goes.
    t = m.Tick(0, 0, 1, UnitScaleMaxRaw, 100);
    EXPECT_TRUE(t.ChordRedrawn);
    EXPECT_EQ(t.OldHalfWidth, 80);
    EXPECT_EQ(t.OldLineY, 90);
    EXPECT_EQ(t.HalfWidth, 0);
    EXPECT_EQ(t.LineY, 0);

    // The gain scales spot and chord alike.
    m.ApplyGain(1);
    t = m.Tick(3, 0, 1, UnitScaleMaxRaw, 6);
    EXPECT_EQ(t.X, 180);
    EXPECT_EQ(t.LineY, 90);

    // Auto: 105 / the average radius, at most 1000 for a centred spot.
    TAlignmentModel centred;
    for (int i = 0; i < 200; ++i)
        centred.Tick(0, 0, 1, UnitScaleMaxRaw, 1e9);
    centred.ApplyGain(3);
    EXPECT_EQ(centred.Gain, 1000.0f);
    TAlignmentModel off;
    for (int i = 0; i < 300; ++i)
        off.Tick(21, 0, 1, UnitScaleMaxRaw, 1e9);
    off.ApplyGain(3);
    EXPECT_NEAR(off.Gain, 5.0, 1e-3);
}

class CrosshairsOnSim : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        sim::SimConfig config = FastConfig();
        config.Photodiode.XAddress = 4;
        config.Photodiode.YAddress = 5;
        config.Photodiode.SumAddress = 6;
        config.Photodiode.SpotX = 3000;
        config.Photodiode.SpotY = -1800;
        sim_ = PlugSim(config);
        link_.FormCreate();
        ASSERT_FALSE(link_.StartFailed());
        // ADC4..ADC6 read the diode, 0.0003 V a digit.
        for (int i = 0; i < 3; ++i) {
            TIOScale& s = ChannelTable[static_cast<size_t>(FirstAdcSlot + 3 + i)];
            s.Address = 4 + i;
            s.MaxRaw = 32000;
            s.Factor = 0.0003f;
            s.UnitName = "V";
            s.Label = i == 2 ? "Diode sum" : "Deflection";
        }
        ini_->WriteString("Crosshairs", "ChannelX", "3");
        ini_->WriteString("Crosshairs", "ChannelY", "4");
        ini_->WriteString("Crosshairs", "ChannelZ", "5");
    }
    void TearDown() override
    {
        link_.FormDestroy();
        DriverLinkFixture::TearDown();
    }
    std::shared_ptr<sim::SimController> sim_;
    TInOutForm link_;
};

TEST_F(CrosshairsOnSim, SpotAppearsWhenTheLaserIsSwitchedOn)
{
    TStepper stepper(link_, MainIni);
    TCrosshairsForm form(link_);
    form.SetLaser = [&](bool on) { stepper.SetLaser(on); };
    form.FormCreate();
    EXPECT_EQ(form.UnitLabel(2)->text(), "V");
    EXPECT_EQ(form.ValueLabel(2)->toolTip(), "Diode sum");
    form.show();
    EXPECT_TRUE(form.Timer1()->isActive());

    // Laser off: no light, the sum only noise, the spot in the middle.
    form.daten();
    EXPECT_LT(std::abs(form.ValueLabel(2)->text().toDouble()), 0.01);
    EXPECT_NEAR(form.Model().TrailX[0], 150, 1);
    EXPECT_NEAR(form.Model().TrailY[0], 150, 1);

    form.LaserButton()->click();
    EXPECT_TRUE(stepper.GetLaserOn());
    EXPECT_EQ(sim_->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
    for (int i = 0; i < 5; ++i)
        form.daten();
    // 3000 and -1800 digits at 150 / (32000 sqrt 2) pixels a digit.
    EXPECT_EQ(form.Model().TrailX[5], 160);
    EXPECT_EQ(form.Model().TrailY[5], 156);
    EXPECT_NEAR(form.ValueLabel(2)->text().toDouble(), 6.0, 0.01);
    EXPECT_NE(form.Picture().pixelColor(160, 156), form.palette().color(QPalette::Window));

    // The spot moves with the beam.
    sim_->SetLaserSpot(-6000, 0);
    form.daten();
    EXPECT_EQ(form.Model().TrailX[6], 130);

    // Auto gain from the options dialog: 105 / the average radius, applied at once.
    form.OptionForm()->GainButton(3)->click();
    EXPECT_EQ(ini_->ReadInteger("CrosshairsOpt", "Gain", -1), 3);
    EXPECT_GT(form.Model().Gain, 1.0f);
    form.OptionForm()->ShowValsCheckbox()->click();
    EXPECT_TRUE(form.ValuesPanel()->isHidden());

    form.FormDestroy();
    EXPECT_FALSE(stepper.GetLaserOn());
    EXPECT_EQ(ini_->ReadInteger("Crosshairs", "ChannelY", 0), 4);
}

} // namespace
