#include "sim/SimController.h"

#include <gtest/gtest.h>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig Fast(int type = 26, bool usb = false)
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    c.ControllerType = type;
    c.Usb = usb;
    return c;
}

template <class Rec> bool Send(SimController& sim, uint32_t code, const Rec& rec)
{
    return sim.Control(code, &rec, sizeof rec, nullptr, 0, nullptr);
}

TEST(SimLockInRequests, OscilloscopeSnapshotAndBuffersFollowTheSetup)
{
    SimController sim(Fast());
    TSetOsziRecord setup;
    setup.PeriodTicks = 4;
    setup.Addresses[1] = -1; // the bias output
    ASSERT_TRUE(Send(sim, IOCTL_SET_OSZI, setup));
    EXPECT_EQ(sim.OsziSetup().PeriodTicks, 4);
    setup.PeriodTicks = 0;
    EXPECT_FALSE(Send(sim, IOCTL_SET_OSZI, setup)); // a zero period is refused
    EXPECT_EQ(sim.OsziSetup().PeriodTicks, 4);

    const TWriteRegRecord bias{RegBias, 1234};
    ASSERT_TRUE(Send(sim, IOCTL_WRITE_REG, bias));

    std::array<int32_t, 17> request{};
    TReadOsziReply snapshot;
    size_t returned = 0;
    ASSERT_TRUE(sim.Control(IOCTL_READ_OSZI, request.data(), 68, &snapshot, sizeof snapshot, &returned));
    EXPECT_EQ(returned, 1024u);

    struct {
        int32_t Count = 0;
        int32_t Samples[512] = {};
    } buffer;
    int32_t channel = 0;
    ASSERT_TRUE(sim.Control(IOCTL_READ_OSZI_BUFFER, &channel, 4, &buffer, sizeof buffer, &returned));
    EXPECT_EQ(returned, 2052u);
    EXPECT_EQ(buffer.Count, 512);
    EXPECT_EQ(buffer.Samples[511] - buffer.Samples[0], 511 * 4);
    channel = 1;
    ASSERT_TRUE(sim.Control(IOCTL_READ_OSZI_BUFFER, &channel, 4, &buffer, sizeof buffer, &returned));
    EXPECT_EQ(buffer.Samples[0], 1234);
    EXPECT_EQ(buffer.Samples[511], 1234);
    channel = 4;
    EXPECT_FALSE(sim.Control(IOCTL_READ_OSZI_BUFFER, &channel, 4, &buffer, sizeof buffer, &returned));
    EXPECT_EQ(sim.GuardViolationCount(), 0);
}

TEST(SimLockInRequests, LockInSettingsAreKeptAndReportedInTheStatus)
{
    SimController sim(Fast(29));
    const int32_t coarse = static_cast<int32_t>(0x80000001u);
    ASSERT_TRUE(Send(sim, IOCTL_SET_FREQUENCY, coarse));
    ASSERT_TRUE(Send(sim, IOCTL_SET_FREQUENCY, int32_t{429496730}));
    ASSERT_TRUE(Send(sim, IOCTL_SET_AMPLITUDE, int32_t{32768}));
    ASSERT_TRUE(Send(sim, IOCTL_SET_PHASE, int32_t{0x10001800}));
    TSetFilterRecord filter;
    filter.Filter = 7;
    filter.Coefficients[7] = 729;
    ASSERT_TRUE(Send(sim, IOCTL_SET_FILTER, filter));
    filter.Filter = 8;
    EXPECT_FALSE(Send(sim, IOCTL_SET_FILTER, filter));
    TSetMultiLiaRecord lia;
    lia.Index = 3;
    lia.AmplitudeWord = 5 << 15;
    ASSERT_TRUE(Send(sim, IOCTL_SET_MULTI_LIA, lia));
    lia.Index = -1;
    EXPECT_FALSE(Send(sim, IOCTL_SET_MULTI_LIA, lia));

    const SimLockInSettings s = sim.LockInSettings();
    EXPECT_EQ(s.FrequencyCoarse, coarse);
    EXPECT_EQ(s.FrequencyWord, 429496730);
    EXPECT_EQ(s.AmplitudeWord, 32768);
    EXPECT_EQ(s.PhaseWord, 0x10001800);
    EXPECT_EQ(s.Filters[7].Coefficients[7], 729);
    EXPECT_EQ(s.MultiLia[3].AmplitudeWord, 5 << 15);

    TDncStatusRecord status;
    ASSERT_TRUE(sim.Control(IOCTL_READ_DNC_STATUS, nullptr, 0, &status, sizeof status, nullptr));
    EXPECT_EQ(status.Words[2], 0); // clean input
    EXPECT_EQ(status.Words[3], 429496730);
    EXPECT_EQ(status.Words[4], 32768);

    // Unplugged: all ones, as every read of an absent box.
    sim.SetAbsent(true);
    ASSERT_TRUE(sim.Control(IOCTL_READ_DNC_STATUS, nullptr, 0, &status, sizeof status, nullptr));
    EXPECT_EQ(status.Words[2], -1);
    EXPECT_EQ(sim.GuardViolationCount(), 0);
}

TEST(SimLockInRequests, UsbBoxTakesTheSamplingListWithTheSetup)
{
    SimController sim(Fast(26, true));
    TSetOsziUsbRecord setup;
    setup.Base.PeriodTicks = 2;
    setup.EntryCount = 99;
    ASSERT_TRUE(Send(sim, IOCTL_SET_OSZI, setup));
    EXPECT_EQ(sim.OsziUsbEntryCount(), 99);
    setup.EntryCount = 300;
    EXPECT_FALSE(Send(sim, IOCTL_SET_OSZI, setup));
    EXPECT_FALSE(Send(sim, IOCTL_SET_OSZI, setup.Base)); // the short record is the card's
}

} // namespace
