#include "scan/ImageBuffers.h"
#include "core/SharedState.h"
#include "platform/MessageBoxes.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>

using namespace qvt;

namespace {

// Fills every cell with f(row, col).
template <class F> void Fill(TImageMatrix& m, F f)
{
    for (int r = 0; r < m.Rows(); ++r)
        for (int c = 0; c < m.Cols(); ++c)
            m.Store(r, c, f(r, c));
}

struct FakeScan : IScanControl {
    bool active = false;
    bool stopsOnPause = true;
    int pauses = 0;
    bool ScanActive() const override { return active; }
    void PauseScan() override
    {
        ++pauses;
        if (stopsOnPause)
            active = false;
    }
};

struct FailureHook {
    explicit FailureHook(std::function<bool(std::size_t)> hook) { TDaten::SetAllocationFailureHook(std::move(hook)); }
    ~FailureHook() { TDaten::SetAllocationFailureHook({}); }
};

} // namespace

TEST(ImageBuffers, AllocationIsAllOrNothingAndBounded)
{
    TDaten d;
    EXPECT_EQ(d.Rows(), -1);
    EXPECT_EQ(d.Cols(), -1);
    EXPECT_EQ(d.ListIndex.load(), -1);
    EXPECT_FALSE(d.Data());

    // A second allocation replaces the first; a reader's snapshot stays valid.
    ASSERT_TRUE(d.AllocBuffers(256, 256));
    TImageMatrixPtr first = d.Data();
    first->Store(255, 255, 42);
    ASSERT_TRUE(d.AllocBuffers(256, 128));
    EXPECT_NE(d.Data(), first);
    EXPECT_EQ(first->At(255, 255), 42);
    EXPECT_EQ(d.Rows(), 256);
    EXPECT_EQ(d.Cols(), 128);
    EXPECT_EQ(d.Data()->At(255, 127), 0);
    first.reset();

    // More rows than the row table holds are refused, and leave nothing behind.
    EXPECT_TRUE(d.AllocBuffers(2048, 4));
    EXPECT_FALSE(d.AllocBuffers(2049, 4));
    EXPECT_EQ(d.Rows(), -1);
    EXPECT_FALSE(d.Data());
    EXPECT_FALSE(d.AllocBuffers(0, 10));
    EXPECT_FALSE(d.AllocBuffers(10, -1));

    // An allocation that fails leaves the object empty, also for the lazy second matrix.
    ASSERT_TRUE(d.AllocBuffers(16, 16));
    {
        FailureHook hook([](std::size_t) { return true; });
        EXPECT_FALSE(d.AllocBuffers(32, 32));
        EXPECT_FALSE(d.HasBuffer());
        EXPECT_EQ(d.Cols(), -1);
        EXPECT_FALSE(d.Data());
        EXPECT_FALSE(d.Data2());
    }
    ASSERT_TRUE(d.AllocBuffers(32, 32));
    {
        FailureHook hook([](std::size_t) { return true; });
        EXPECT_FALSE(d.Data2());
    }
    TImageMatrixPtr second = d.Data2();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Rows(), 32);
    EXPECT_EQ(second->Cols(), 32);
    EXPECT_EQ(d.Data2(), second); // made once

    d.FreeBuffers();
    EXPECT_EQ(d.Rows(), -1);
    EXPECT_FALSE(d.Data());
    EXPECT_FALSE(d.Data2());
    EXPECT_EQ(second->Rows(), 32); // still usable by its holder
}

TEST(ImageBuffers, ChannelsAreNamedBySlotAndPlane)
{
    TImageChannels channels;
    EXPECT_EQ(TImageChannels::Count(), 177);
    EXPECT_EQ(channels[0].Name, "DAC1");
    EXPECT_EQ(channels[0].Suffix, "Fwd");
    EXPECT_EQ(channels[ImageChannelIndex(25, PlaneFly)].Name, "DAC26");
    EXPECT_EQ(channels[ImageChannelIndex(25, PlaneFly)].Suffix, "fly");
    EXPECT_EQ(channels[ImageChannelIndex(26, PlaneBwd)].Name, "ADC1");
    EXPECT_EQ(channels[ImageChannelIndex(26, PlaneBwd)].Suffix, "Bwd");
    EXPECT_EQ(channels[176].Name, "ADC33");
    EXPECT_EQ(channels[176].Scale, &ChannelTable[58]);
}

TEST(ImageBuffers, SlopesAreMeanLeastSquaresSlopes)
{
    TDaten d;
    ASSERT_TRUE(d.AllocBuffers(64, 64));
    TImageMatrixPtr m = d.Data();

    Fill(*m, [](int, int c) { return c; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), 1.0);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 0.0);

    Fill(*m, [](int r, int) { return r; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), 0.0);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 1.0);

    Fill(*m, [](int r, int c) { return 1000 - 3 * c + 7 * r; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), -3.0);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 7.0);

    // Readings at the ends of the 32-bit range neither overflow nor lose the slope.
    ASSERT_TRUE(d.AllocBuffers(2048, 2048));
    m = d.Data();
    Fill(*m, [](int, int c) { return INT32_MAX - 2047 + c; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), 1.0);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 0.0);
    Fill(*m, [](int r, int) { return INT32_MIN + r; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), 0.0);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 1.0);
    // Alternating extremes along a row: no trend along the row, none down the columns.
    Fill(*m, [](int, int c) { return (c % 2) ? INT32_MAX : INT32_MIN; });
    d.ComputeSlopes();
    // slope = Σ(c − c̄)z / Σ(c − c̄)² = (2^32 − 1)/2 · 1024 / (2048 (2048² − 1) / 12)
    EXPECT_NEAR(d.SlopeX.load(), 4294967295.0 * 3.0 / 4194303.0, 1e-9);
    EXPECT_DOUBLE_EQ(d.SlopeY.load(), 0.0);

    // Fewer than 10 columns: the slopes stay as they were.
    ASSERT_TRUE(d.AllocBuffers(9, 9));
    Fill(*d.Data(), [](int r, int c) { return 5 * c + r; });
    d.SlopeX = 0.25;
    d.SlopeY = -0.5;
    d.ComputeSlopes();
    EXPECT_EQ(d.SlopeX.load(), 0.25);
    EXPECT_EQ(d.SlopeY.load(), -0.5);
    // A single row has no column slope: the (zero) divisor is taken instead.
    ASSERT_TRUE(d.AllocBuffers(1, 10));
    Fill(*d.Data(), [](int, int c) { return 2 * c; });
    d.ComputeSlopes();
    EXPECT_DOUBLE_EQ(d.SlopeX.load(), 2.0);
    EXPECT_EQ(d.SlopeY.load(), 0.0);
}

TEST(ImageBuffers, GuardedFormsRespectTheRunningScan)
{
    ScriptedMessageResponder responder;
    TImageChannels channels;
    int menuRefreshes = 0;
    channels.ChannelsChanged = [&] { ++menuRefreshes; };
    FakeScan scan;
    const int16_t oldPixels = ScanParams.Pixels.load();
    ScanParams.Pixels = 128;

    // Allocating while a scan runs is refused and does not pause it.
    scan.active = true;
    EXPECT_FALSE(GuardedAllocChannelBuffer(channels, scan, 3));
    EXPECT_EQ(responder.LastText(), "Scan is not paused!\r Please stop scan first.");
    EXPECT_EQ(responder.Kinds().back(), MsgKind::Information);
    EXPECT_EQ(scan.pauses, 0);
    EXPECT_FALSE(channels[3].HasBuffer());

    scan.active = false;
    EXPECT_TRUE(GuardedAllocChannelBuffer(channels, scan, 3));
    EXPECT_EQ(channels[3].Rows(), 128);
    EXPECT_EQ(channels[3].Cols(), 128);

    {
        FailureHook hook([](std::size_t) { return true; });
        EXPECT_FALSE(GuardedAllocChannelBuffer(channels, scan, 4));
        EXPECT_EQ(responder.LastText(), "Not enough memory!");
        EXPECT_EQ(responder.Kinds().back(), MsgKind::Error);
    }

    // Freeing a channel without a buffer needs no pause.
    responder.Clear();
    scan.active = true;
    EXPECT_TRUE(GuardedFreeChannelBuffer(channels, scan, 4));
    EXPECT_EQ(scan.pauses, 0);

    // A scan that will not pause keeps its buffer.
    scan.stopsOnPause = false;
    EXPECT_FALSE(GuardedFreeChannelBuffer(channels, scan, 3));
    EXPECT_EQ(scan.pauses, 1);
    EXPECT_TRUE(channels[3].HasBuffer());
    EXPECT_EQ(menuRefreshes, 0);
    EXPECT_EQ(responder.LastText(), "Scan is not paused!\r Please stop scan first.");

    // One that does is paused first, then the buffer goes and the menus follow.
    scan.stopsOnPause = true;
    responder.Clear();
    EXPECT_TRUE(GuardedFreeChannelBuffer(channels, scan, 3));
    EXPECT_EQ(scan.pauses, 2);
    EXPECT_FALSE(channels[3].HasBuffer());
    EXPECT_EQ(menuRefreshes, 1);
    EXPECT_TRUE(responder.Texts().isEmpty());

    ScanParams.Pixels = oldPixels;
}

TEST(ImageBuffers, WriterAndReaderShareAMatrixThatIsFreedUnderThem)
{
    // The scan thread writes lines from its snapshot while the window thread
    // reads and finally frees the channel: no access touches freed memory.
    TDaten d;
    ASSERT_TRUE(d.AllocBuffers(64, 64));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int line = 0; !stop.load(); line = (line + 1) % 64) {
            const TImageMatrixPtr m = d.Data();
            if (!m)
                continue;
            for (int c = 0; c < m->Cols(); ++c)
                m->Store(line, c, line * 100 + c);
        }
    });
    int64_t seen = 0;
    std::vector<int32_t> row(64);
    for (int i = 0; i < 2000; ++i) {
        if (const TImageMatrixPtr m = d.Data()) {
            m->CopyRow(i % 64, row.data());
            seen += row[1];
        }
        if (i == 1500)
            d.FreeBuffers();
    }
    stop = true;
    writer.join();
    EXPECT_FALSE(d.HasBuffer());
    EXPECT_GE(seen, 0);
}
