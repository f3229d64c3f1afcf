#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "device/SpektRequests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace qvt {
namespace {

int32_t WordAt(const TSetSpektRecord& record, size_t offset)
{
    unsigned char bytes[sizeof record];
    std::memcpy(bytes, &record, sizeof record);
    return static_cast<int32_t>(uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
                                uint32_t(bytes[offset + 2]) << 16 | uint32_t(bytes[offset + 3]) << 24);
}

TEST(SpektRequests, DelayAndSampleTimeAreQuantisedAndLimited)
{
    EXPECT_EQ(SpektSampleTicks(100.0), 4); // 3.90625 ticks
    EXPECT_DOUBLE_EQ(SpektTicksToUs(4), 102.4);
    EXPECT_EQ(SpektSampleTicks(0.0), 1);
    EXPECT_EQ(SpektSampleTicks(1.0e9), 2000000);
    EXPECT_EQ(SpektSampleTicks(std::nan("")), 1);
    EXPECT_EQ(SpektDelayUs(0.0), 1);
    EXPECT_EQ(SpektDelayUs(-5.0), 1);
    EXPECT_EQ(SpektDelayUs(12.5), 12);
    EXPECT_EQ(SpektDelayUs(3.0e6), 2000000);
    EXPECT_EQ(SpektPollIntervalMs(4, 64), 27);
    EXPECT_EQ(SpektInputSlot(-1), 0);
    EXPECT_EQ(SpektInputSlot(2), 2);
    EXPECT_EQ(SpektInputSlot(9), 3);
}

TEST(SpektRequests, RampsRepeatTheLastPointAndStayInsideTheirLimits)
{
    const double bias[] = {-20.0, 0.5, 1.0, 40.0};
    TRampScale b{0.01, 10.0, false, -1000, 1000};
    TRampRecord r = BuildBiasRamp(bias, 4, b);
    EXPECT_EQ(r.Values[0], -1000); // −2010 limited
    EXPECT_EQ(r.Values[1], 40);
    EXPECT_EQ(r.Values[2], 90);
    EXPECT_EQ(r.Values[3], 1000);
    EXPECT_EQ(r.Values[4], 1000);
    EXPECT_EQ(r.Values[5], 0);
    b.Negative = true;
    EXPECT_EQ(BuildBiasRamp(bias, 4, b).Values[1], -40);

    const double z[] = {0.0, 10.0, 30.0};
    const TRampScale zs{1.0, 0.0, false, -100, 100};
    r = BuildZRamp(z, 3, zs, false);
    EXPECT_EQ(r.Values[2], 30);
    EXPECT_EQ(r.Values[3], 30);
    r = BuildZRamp(z, 3, zs, true);
    EXPECT_EQ(r.Values[0], 10);
    EXPECT_EQ(r.Values[1], 20);
    EXPECT_EQ(r.Values[2], 0);
    EXPECT_EQ(r.Values[3], 30);
    const double far[] = {-500.0, 500.0};
    r = BuildZRamp(far, 2, zs, false); // limit ±(max − min)
    EXPECT_EQ(r.Values[0], -200);
    EXPECT_EQ(r.Values[1], 200);

    // More points than the table holds: the repeated word is still the last.
    std::vector<double> many(2000, 5.0);
    r = BuildZRamp(many.data(), 2000, zs, false);
    EXPECT_EQ(r.Values[SpektPoints - 1], 5);
}

TEST(SpektRequests, StopRecordAndRunningMean)
{
    TSetSpektRecord run;
    run.Kind = 0x11;
    run.X = -7;
    run.Y = 0x01020304;
    run.Delay = 1000;
    run.SampleTicks = 4;
    run.DataPoints = 64;
    run.Inputs[3] = 77;
    const TSetSpektRecord stop = BuildSpektStop(run);
    EXPECT_EQ(WordAt(stop, 0), 2);
    EXPECT_EQ(WordAt(stop, 4), -7);
    EXPECT_EQ(WordAt(stop, 8), 0x01020304);
    EXPECT_EQ(WordAt(stop, 12), 1000);
    EXPECT_EQ(WordAt(stop, 16), 4);
    EXPECT_EQ(WordAt(stop, 20), 0);
    EXPECT_EQ(WordAt(stop, 36), 77);

    EXPECT_FALSE(SpektReplyShort(256, 64));
    EXPECT_TRUE(SpektReplyShort(252, 64));

    const int32_t readings[] = {100, 100};
    double column[] = {0.0, 8.0};
    AverageSpektReadings(readings, 2, TSpektAverage{2.0, 0.0, false, 4}, column);
    EXPECT_DOUBLE_EQ(column[0], 50.0); // a quarter of 200
    EXPECT_DOUBLE_EQ(column[1], 56.0);
    AverageSpektReadings(readings, 1, TSpektAverage{1.0, 10.0, true, 0}, column);
    EXPECT_DOUBLE_EQ(column[0], -90.0); // one run replaces the point
}

using SpektOnSim = test::DriverLinkFixture;

// A device window on a fast simulator, with the kind's section in the user settings.
struct SpektRun {
    explicit SpektRun(TQVTIniFile* ini, const QString& kind, int32_t kindBits, int points)
    {
        savedUser = UserIni;
        savedName = SpektModeName;
        UserIni = ini;
        SpektModeName = kind;
        ini->WriteInteger(kind, "Kind", kindBits);
        ini->WriteInteger(kind, "DataPoints", points);
    }
    ~SpektRun()
    {
        UserIni = savedUser;
        SpektModeName = savedName;
    }
    TQVTIniFile* savedUser;
    QString savedName;
};

TEST_F(SpektOnSim, RunSendsTheKindsSettingsAndWarnsOnceOfAShortReply)
{
    sim::SimConfig config = FastConfig();
    config.Faults.SpektShortWords = 3;
    auto sim = PlugSim(config);
    TInOutForm form;
    form.FormCreate();
    ChannelTable[SlotBias].Factor = 10.0f / 32768.0f;
    ChannelTable[SlotZ].Factor = 1.0f;
    int ready = -1;
    QObject::connect(&form, &TInOutForm::spektDataReady, [&](int points) { ready = points; });

    EXPECT_DOUBLE_EQ(form.SetSpektSampleTime(100.0), 102.4);
    form.SetSpektDelay(10.0);
    TIOScale input;
    input.Address = 26;
    form.SetSpektChannel(7, input);
    constexpr int n = 64;
    // More points than a table holds are cut to 1023 on the way out.
    SpektRun run(ini_.get(), "X(U)", 9, 5000);
    std::vector<double> bias(n), z(n, 0.0);
    for (int i = 0; i < n; ++i)
        bias[i] = -1.0 + 2.0 * i / (n - 1);
    ASSERT_TRUE(form.LoadSpektRamp(bias.data(), z.data(), n, 9));
    ASSERT_TRUE(form.StartSpektroscopy());
    EXPECT_EQ(form.SpektRecord.DataPoints, 1023);
    form.StopSpektroscopy();
    ini_->WriteInteger("X(U)", "DataPoints", n);
    ASSERT_TRUE(form.StartSpektroscopy());
    EXPECT_TRUE(form.Timer3Active());

    std::vector<sim::SimRequest> sent;
    for (const sim::SimRequest& r : sim->RequestLog())
        if (r.Code == IOCTL_SET_SPEKT)
            sent.push_back(r);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].InSize, 56u);
    EXPECT_EQ(sent[2].In[0], 9);
    EXPECT_EQ(sent[2].In[3], 10);
    EXPECT_EQ(sent[2].In[4], 4);
    EXPECT_EQ(sent[2].In[5], n);
    EXPECT_EQ(form.SpektRecord.Inputs[3], 26);

    // The controller answers three readings short: one message, and only
    // the readings that came back count.
    boxes_.Clear();
    form.Timer3Spekt();
    EXPECT_FALSE(form.Timer3Active());
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(boxes_.LastText(), "QVT is too fast - a few datapoints are wrong!");
    EXPECT_EQ(ready, n);
    for (int slot = 0; slot < 6; ++slot)
        EXPECT_EQ(form.SpektReturned[slot], n - 3);
    EXPECT_EQ(form.SpektSlots[1][n - 4], 2965); // bias as played, digits
    EXPECT_EQ(form.SpektSlots[1][n - 3], 0);

    form.StopSpektroscopy();
    EXPECT_EQ(form.SpektRecord.Kind, 2);
    EXPECT_EQ(form.SpektRecord.DataPoints, 0);
    EXPECT_EQ(CountCode(*sim, IOCTL_SET_SPEKT), 4);
    EXPECT_TRUE(sim->GuardViolations().empty());
}

TEST_F(SpektOnSim, TheStoredSettleDelayIsSentByARunBeforeTheWindowTouchesIt)
{
    auto sim = PlugSim(FastConfig());
    SpektRun run(ini_.get(), "X(U)", 9, 16);
    ini_->WriteString("Spekt", "Edit3", "250");
    TInOutForm form;
    form.FormCreate();
    std::vector<double> bias(16, 0.5), z(16, 0.0);
    ASSERT_TRUE(form.LoadSpektRamp(bias.data(), z.data(), 16, 9));
    ASSERT_TRUE(form.StartSpektroscopy());
    int32_t delay = -1;
    for (const sim::SimRequest& r : sim->RequestLog())
        if (r.Code == IOCTL_SET_SPEKT)
            delay = r.In[3];
    EXPECT_EQ(delay, 250);
    form.StopSpektroscopy();
    form.FormDestroy();
}

TEST_F(SpektOnSim, ConstantHeightRunGoesBackToTheModeItCameFrom)
{
    auto sim = PlugSim(FastConfig());
    TInOutForm form;
    form.FormCreate();
    SpektRun run(ini_.get(), "cmAFM X(U)", 11, 16);
    // No "Microscope"/"Feedback" key: the run must not fall back to mode 0 (STM).
    MicroscopeState.FeedbackMode = 5;
    form.StartSpektroscopy();
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), 3);
    form.Timer3Spekt();
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), 5);
    form.StopSpektroscopy();
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), 5);

    // A run of another kind leaves the mode alone.
    SpektModeName = "X(z)";
    MicroscopeState.FeedbackMode = 1;
    form.StartSpektroscopy();
    form.Timer3Spekt();
    EXPECT_EQ(MicroscopeState.FeedbackMode.load(), 1);
    EXPECT_TRUE(sim->GuardViolations().empty());
}

TEST(SpektRequests, QuantisersKeepValuesOnTheDigitGrid)
{
    EXPECT_DOUBLE_EQ(QuantizeZValue(1.234, 0.01), 1.23);
    EXPECT_DOUBLE_EQ(QuantizeZValue(0.125, 0.25), 0.0); // half to even
    EXPECT_DOUBLE_EQ(QuantizeZValue(3.0, 0.0), 3.0);
    const TRampScale bias{0.5, 2.0, false, -10, 10};
    EXPECT_DOUBLE_EQ(QuantizeBiasValue(2.2, bias), 2.0); // raw 2.4 → 2, back (2 + 2) × 0.5
    // Beyond the output it stays as asked: the run refuses it, nothing ramps to the rail.
    EXPECT_DOUBLE_EQ(QuantizeBiasValue(100.0, bias), 100.0);
    EXPECT_DOUBLE_EQ(QuantizeBiasValue(-100.2, bias), -100.0);
    EXPECT_EQ(SpektClampPoints(0), 1);
    EXPECT_EQ(SpektClampPoints(1024), 1023);
}

TEST(SpektRequests, ARampReachesWhatTheOutputsCanDoFromWhereZStands)
{
    // Z: 0.01 nm a digit, −1000..1000, standing at 600: 16 nm of retraction, 4 nm towards the sample.
    const TRampScale z{0.01, 0.0, false, -1000, 1000};
    const TRampScale bias{0.5, 0.0, false, -10, 10};
    const double biases[3] = {0.0, 5.0, -5.0};
    const double dz[3] = {0.0, 16.0, -4.0};
    TSpektReach r = SpektRampReach(biases, dz, 3, bias, z, 600.0);
    EXPECT_TRUE(r.ZInRange);
    EXPECT_TRUE(r.BiasInRange);
    EXPECT_DOUBLE_EQ(r.DzLow, -4.0);
    EXPECT_DOUBLE_EQ(r.DzHigh, 16.0);
    EXPECT_DOUBLE_EQ(r.BiasHigh, 5.0);
    const double farther[3] = {0.0, 16.01, 0.0};
    EXPECT_FALSE(SpektRampReach(biases, farther, 3, bias, z, 600.0).ZInRange);
    const double nearer[3] = {0.0, 0.0, -4.01};
    EXPECT_FALSE(SpektRampReach(biases, nearer, 3, bias, z, 600.0).ZInRange);
    const double over[3] = {0.0, 5.5, 0.0};
    r = SpektRampReach(over, dz, 3, bias, z, 600.0);
    EXPECT_FALSE(r.BiasInRange);
    EXPECT_TRUE(r.ZInRange);
    // A reversed Z axis turns the excursions round.
    const TRampScale reversed{0.01, 0.0, true, -1000, 1000};
    r = SpektRampReach(biases, nearer, 3, bias, reversed, 600.0);
    EXPECT_DOUBLE_EQ(r.DzLow, -16.0);
    EXPECT_DOUBLE_EQ(r.DzHigh, 4.0);
    EXPECT_TRUE(r.ZInRange);

    // The press the tip bears bounds the way toward the sample, not the way back.
    const double pressed[3] = {0.0, 16.0, -2.0};
    r = SpektRampReach(biases, pressed, 3, bias, z, 600.0, 2.0);
    EXPECT_TRUE(r.ZInRange);
    EXPECT_DOUBLE_EQ(r.DzLow, -2.0);
    EXPECT_DOUBLE_EQ(r.DzHigh, 16.0);
    const double beyond[3] = {0.0, 0.0, -2.01};
    EXPECT_FALSE(SpektRampReach(biases, beyond, 3, bias, z, 600.0, 2.0).ZInRange);
    EXPECT_DOUBLE_EQ(SpektPressMax(2.0), 2.0);
    EXPECT_EQ(SpektPressMax(0.0), std::numeric_limits<double>::infinity()); // none named: no bound
    EXPECT_EQ(SpektPressMax(-1.0), std::numeric_limits<double>::infinity());
}

TEST(SpektRequests, ZNoiseSpectrumShowsASineAtItsFrequency)
{
    // 64 points: N = 64, each magnitude fills two outputs.
    std::vector<int32_t> sine(64);
    for (int i = 0; i < 64; ++i)
        sine[i] = static_cast<int32_t>(std::lround(1000.0 * std::cos(2.0 * M_PI * 5 * i / 64)));
    std::vector<double> out(64);
    SpektAmplitudeSpectrum(sine.data(), 64, out.data());
    EXPECT_NEAR(out[10], 500.0 / 2.83, 0.5);
    EXPECT_NEAR(out[11], 500.0 / 2.83, 0.5);
    EXPECT_NEAR(out[8], 0.0, 0.5);
    EXPECT_GT(out[2], 0.0 - 1e-9);

    // 100 points: N = 64, output i takes magnitude round(i × 31 / 99).
    std::vector<int32_t> many(100);
    for (int i = 0; i < 100; ++i)
        many[i] = static_cast<int32_t>(std::lround(1000.0 * std::cos(2.0 * M_PI * 8 * i / 64)));
    std::vector<double> out100(100);
    SpektAmplitudeSpectrum(many.data(), 100, out100.data());
    EXPECT_EQ(SpektSpectrumLength(100), 64);
    // Magnitude 8 sits at outputs i with round(i × 31 / 99) = 8: i = 25 and 26.
    EXPECT_NEAR(out100[26], 500.0 / 2.83, 0.5);
    EXPECT_NEAR(out100[29], 0.0, 0.5);

    // A constant of 3 digits keeps its fractional magnitude; one point is guarded.
    std::vector<int32_t> flat(64, 3);
    SpektAmplitudeSpectrum(flat.data(), 64, out.data());
    EXPECT_NEAR(out[0], 3.0 / 2.83, 1e-9);
    out[0] = 7.0;
    SpektAmplitudeSpectrum(flat.data(), 1, out.data());
    EXPECT_EQ(out[0], 0.0);
}

} // namespace
} // namespace qvt
