#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "device/SpektRequests.h"
#include "sim/SimSpektCurves.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST_F(SpektOnSim, RunGivesARisingCurrentAndWarnsOfAnEarlyPoll)
{
    auto sim = PlugSim(FastConfig());
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
    std::vector<double> bias(n), z(n, 0.0);
    for (int i = 0; i < n; ++i)
        bias[i] = -1.0 + 2.0 * i / (n - 1);
    ASSERT_TRUE(form.LoadSpektRamp(bias.data(), z.data(), n, 0));
    ASSERT_TRUE(form.StartSpektroscopy(0, n));
    EXPECT_TRUE(form.Timer3Active());

    std::vector<sim::SimRequest> sent;
    for (const sim::SimRequest& r : sim->RequestLog())
        if (r.Code == IOCTL_SET_SPEKT)
            sent.push_back(r);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].InSize, 56u);
    EXPECT_EQ(sent[0].In[3], 10);
    EXPECT_EQ(sent[0].In[4], 4);
    EXPECT_EQ(sent[0].In[5], n);
    EXPECT_EQ(form.SpektRecord.Inputs[3], 26);

    // Polled before the run is over: fewer readings than points.
    form.Timer3Spekt();
    EXPECT_FALSE(form.Timer3Active());
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(boxes_.LastText(), "QVT is too fast - a few datapoints are wrong!");
    EXPECT_EQ(ready, n);

    boxes_.Clear();
    form.DelayUs(20000);
    form.Timer3Spekt();
    EXPECT_TRUE(boxes_.Texts().isEmpty());
    for (int i = 1; i < n; ++i)
        EXPECT_LT(form.SpektSlots[0][i - 1], form.SpektSlots[0][i]) << i;
    EXPECT_LT(form.SpektSlots[0][0], 0);
    EXPECT_EQ(form.SpektSlots[3][n - 1], 3277); // +1 V as bias digits

    form.StopSpektroscopy();
    EXPECT_EQ(form.SpektRecord.Kind, 2);
    EXPECT_EQ(form.SpektRecord.DataPoints, 0);
    EXPECT_EQ(CountCode(*sim, IOCTL_SET_SPEKT), 2);
    EXPECT_TRUE(sim->GuardViolations().empty());
}

TEST(SimSpectroscopy, CurrentRisesWithBiasAndFallsWithGapForceHasAWell)
{
    using sim::SimSpectroscopy;
    EXPECT_DOUBLE_EQ(SimSpectroscopy::TunnelCurrent(0.0, 0.5), 0.0);
    EXPECT_LT(SimSpectroscopy::TunnelCurrent(0.1, 0.5), SimSpectroscopy::TunnelCurrent(0.2, 0.5));
    EXPECT_DOUBLE_EQ(SimSpectroscopy::TunnelCurrent(-0.3, 0.5), -SimSpectroscopy::TunnelCurrent(0.3, 0.5));
    EXPECT_GT(SimSpectroscopy::TunnelCurrent(0.3, 0.4), SimSpectroscopy::TunnelCurrent(0.3, 0.6));
    EXPECT_GT(SimSpectroscopy::Force(0.0), 0.0); // repulsive in contact
    EXPECT_LT(SimSpectroscopy::Force(0.5), 0.0); // attractive further out
    EXPECT_GT(SimSpectroscopy::Force(3.0), SimSpectroscopy::Force(0.5));

    SimSpectroscopy run;
    TSetSpektRecord record;
    record.DataPoints = 3;
    record.Kind = 0x10;
    TRampRecord z;
    z.Values[0] = 100; // differences: the tip steps away by 100 digits, then stays
    run.LoadZRamp(z);
    run.Start(record, 0);
    int32_t out[SpektPoints] = {};
    EXPECT_EQ(run.Read(3, 1000000, out), 3);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 100);
    EXPECT_EQ(run.Read(7, 1000000, out), -1);
}

} // namespace
} // namespace qvt
