#include "support/DriverLinkFixture.h"

#include "device/DriverOpen.h"
#include "images/ChildForm.h"
#include "platform/DeviceDriver.h"
#include "scan/ShowThread.h"

#include "scan/FastScan.h"
#include "scan/FastScanThread.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "support/TestSupport.h"

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numbers>
#include <vector>

using namespace qvt;
using namespace qvt::test;

namespace {

constexpr int32_t Up = 0x0D;
constexpr int32_t Down = 0x10D;

// A parser over `p` pixels with `channels` channels, each into its own p × p matrix.
struct ParserRig {
    ParserRig(int p, int channels, int turn = 1, int startPixel = 1, int rows = -1, int cols = -1)
    {
        TFastStreamParser::TConfig c;
        c.Pixels = p;
        c.ChannelCount = channels;
        c.TurnLines = turn;
        c.StartPixel = startPixel;
        parser.Configure(c);
        for (int i = 0; i < channels; ++i) {
            matrices.push_back(std::make_unique<TImageMatrix>(rows < 0 ? p : rows, cols < 0 ? p : cols));
            parser.SetTarget(i, matrices.back().get());
        }
    }
    // Feeds `words` as bytes cut at `cuts` (byte offsets), like reads of any length.
    bool FeedCut(const std::vector<int32_t>& words, std::vector<size_t> cuts)
    {
        std::vector<uint8_t> bytes(words.size() * 4);
        std::memcpy(bytes.data(), words.data(), bytes.size());
        cuts.push_back(bytes.size());
        size_t from = 0;
        bool anyEnd = false;
        for (size_t to : cuts) {
            bool ended = false;
            parser.FeedBytes(bytes.data() + from, to - from, ended);
            anyEnd |= ended;
            from = to;
        }
        return anyEnd;
    }
    TFastStreamParser parser;
    std::vector<std::unique_ptr<TImageMatrix>> matrices;
};

// Sample word for line l, pixel x, channel c; never a marker.
int32_t Sample(int l, int x, int c)
{
    return (l * 1000 + x * 10 + c) << 8;
}

} // namespace

TEST(FastStreamParser, SortsGroupsIntoRowsByTheirMarkers)
{
    // Upward from line 0: the first marker makes it line 1.
    ParserRig rig(4, 2, 1);
    rig.parser.FastLine = 0;
    rig.parser.BeginFrame();
    std::vector<int32_t> words;
    for (int l = 1; l <= 2; ++l) {
        words.push_back(Up);
        for (int x = 1; x <= 5; ++x) // one pixel beyond the row is dropped
            for (int c = 0; c < 2; ++c)
                words.push_back(Sample(l, x, c));
    }
    // Groups and words split anywhere across reads, odd byte counts included.
    EXPECT_FALSE(rig.FeedCut(words, {1, 7, 8, 13, 30, 31}));
    EXPECT_EQ(rig.parser.FastLine, 2);
    EXPECT_EQ(rig.parser.LastLine, 1);
    for (int l = 1; l <= 2; ++l)
        for (int x = 1; x <= 4; ++x)
            for (int c = 0; c < 2; ++c)
                EXPECT_EQ(rig.matrices[static_cast<size_t>(c)]->At(l - 1, x - 1), Sample(l, x, c)) << l << x << c;
}

TEST(FastStreamParser, TurnsAtAReversalAndEndsTheFrameThere)
{
    const int p = 4, turn = 1;
    ParserRig rig(p, 1, turn, /*startPixel*/ 0);
    rig.parser.FastLine = 0;
    rig.parser.BeginFrame();
    // Up: lines 1.., then a bit-8 marker ends the frame and restarts at P + TurnLines.
    std::vector<int32_t> words;
    for (int l = 1; l <= p + turn; ++l) {
        words.push_back(Up);
        for (int x = 0; x <= p; ++x) // pixel 0 is run-in and dropped
            words.push_back(Sample(l, x, 0));
    }
    words.push_back(Down);
    words.push_back(Sample(9, 1, 0)); // belongs to the next frame
    bool ended = false;
    const size_t used = rig.parser.Feed(words.data(), words.size(), ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(used, words.size() - 1);
    EXPECT_EQ(rig.parser.FastLine, p + turn);
    EXPECT_EQ(rig.parser.Downward, 1);
    EXPECT_EQ(rig.matrices[0]->At(0, 0), Sample(1, 1, 0));
    EXPECT_EQ(rig.matrices[0]->At(p - 1, p - 1), Sample(p, p, 0));

    // The next frame counts down; line P + 1 lies outside and is not stored.
    rig.parser.BeginFrame();
    std::vector<int32_t> next = {Sample(5, 0, 0), Sample(5, 1, 0), Down, Sample(4, 0, 0), Sample(40, 1, 0)};
    rig.parser.Feed(next.data(), next.size(), ended);
    EXPECT_FALSE(ended);
    EXPECT_EQ(rig.parser.FastLine, p);
    EXPECT_EQ(rig.matrices[0]->At(p - 1, 0), Sample(40, 1, 0));

    // A frame that starts upward after downward lines turns at −TurnLines.
    rig.parser.BeginFrame();
    std::vector<int32_t> up = {Up};
    rig.parser.Feed(up.data(), up.size(), ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(rig.parser.FastLine, -turn);
}

TEST(FastStreamParser, StoresStayInsideBuffersSmallerThanThePixelCount)
{
    // The pixel count was raised under a running stream: the buffers are still 2 × 3.
    ParserRig rig(8, 1, 0, 1, /*rows*/ 2, /*cols*/ 3);
    rig.parser.FastLine = 0;
    rig.parser.BeginFrame();
    std::vector<int32_t> words;
    for (int l = 1; l <= 8; ++l) {
        words.push_back(Up);
        for (int x = 1; x <= 8; ++x)
            words.push_back(Sample(l, x, 0));
    }
    bool ended = false;
    rig.parser.Feed(words.data(), words.size(), ended);
    EXPECT_EQ(rig.matrices[0]->At(1, 2), Sample(2, 3, 0));

    // No channels and a zero pixel count parse without a store or a division.
    ParserRig empty(0, 0);
    empty.parser.BeginFrame();
    empty.parser.Feed(words.data(), words.size(), ended);
    EXPECT_EQ(empty.parser.Lines, 8);
}

TEST(FastScanPrepare, WritesTheGeneratorPageFromTheScanParameters)
{
    TFastPrepareInput in;
    in.Speed = 2.0;
    in.Pixels = 100;
    in.TurnLines = 2;
    in.OverScan = 10.0;
    in.Range = 1000.0;
    in.FactorX = 0.5;
    in.FactorY = 0.25;
    in.XCenter = 800.0;
    in.YCenter = -160.0;
    in.XSensitivity = 1.0;
    in.YSensitivity = 2.0;
    in.Lin.X2F = 0.1;
    in.Lin.X3F = 0.02;
    in.Lin.Y2F = 0.2;
    in.Lin.Y3F = 0.04;
    in.Negative145 = true;
    in.StreamDelay = 0.01;
    const TFastPrepareResult r = PrepareFastScan(in);
    std::map<int32_t, int32_t> w(r.Writes.begin(), r.Writes.end());

    // dPixel = round(2 · 27793.45) = 55587; dLine = round(55587 / 104.5 / 2) = 266, sign kept.
    EXPECT_EQ(w[129], 55587);
    EXPECT_EQ(w[145], -266);
    EXPECT_DOUBLE_EQ(r.LineFrequency, 100 * 1.1 * 2 * 2.0);
    // s = 55587 / 266 / 100 / 2; Fx = trunc(1.1 · 1000 / 0.5) = 2200, a2 = −220, a3 = 44.
    const double s = 55587.0 / 266 / 100 * 0.5;
    EXPECT_EQ(w[137], 2200 - 11);
    EXPECT_EQ(w[138], -220);
    EXPECT_EQ(w[133], 44);
    EXPECT_EQ(w[130], static_cast<int32_t>(std::nearbyint(100.0 + 0.03 * 220)));
    // Sy < 0 takes the forward pair for 150/151, the (zero) backward pair for 156/157.
    // The lines span the range, the overscan lengthening the fast line only.
    const double sy = -4000.0 * s;
    EXPECT_EQ(w[150], static_cast<int32_t>(std::trunc(sy * -0.2)));
    EXPECT_EQ(w[151], static_cast<int32_t>(std::trunc(sy * 0.04)));
    EXPECT_EQ(w[156], 0);
    EXPECT_EQ(w[157], 0);
    EXPECT_EQ(w[152], static_cast<int32_t>(std::nearbyint(sy)));
    EXPECT_EQ(w[136], 0);   // sin 0: no slow X
    EXPECT_EQ(w[146], -10); // y0 = −160 / 2 / 8, no fast Y
    // 143 = dPixel · max(|137|, |153|) / 2e9 · 5
    EXPECT_EQ(w[143], static_cast<int32_t>(std::nearbyint(55587.0 * 2189 / 2e9 * 5)));
    // StartPixel = −(round(440 · 0.01) mod 100) = −4.
    EXPECT_EQ(r.StartPixel, -4);

    // A line scan keeps both slow steps at 0.
    in.LineScan = true;
    std::map<int32_t, int32_t> line;
    for (auto [reg, v] : PrepareFastScan(in).Writes)
        line[reg] = v;
    EXPECT_EQ(line[136], 0);
    EXPECT_EQ(line[152], 0);

    // A centre beyond the X output writes the two steps only.
    in.XMax = 50;
    const TFastPrepareResult off = PrepareFastScan(in);
    EXPECT_FALSE(off.PageWritten);
    ASSERT_EQ(off.Writes.size(), 2u);

    // No pixels: nothing is divided by zero.
    in.Pixels = 0;
    EXPECT_EQ(PrepareFastScan(in).StartPixel, 0);

    // Entering in the middle of the frame starts the generator there.
    EXPECT_EQ(FastStartLineWord(64, 128), 0);
    EXPECT_EQ(FastStartLineWord(1000, 128), static_cast<int32_t>(std::nearbyint(0.5 * 2.147483e9)));
}

TEST(FastScanStatistics, RecoverAmplitudeAndPhaseOfASine)
{
    const int n = 200;
    const double amplitude = 300.0, offset = 1000.0, delta = 0.7, speed = 0.0;
    std::vector<double> sums(4 * n, 0.0);
    std::vector<int32_t> counts(4 * n, 0);
    // Positions 0..n, each seen 20 times; position k lies at phase φ_{k−1} + δ.
    const double shift = std::numbers::pi / 2;
    for (int k = 0; k <= n; ++k) {
        const double phi = 2 * std::numbers::pi * (k - 1) / n - shift;
        sums[static_cast<size_t>(k)] = 20 * (offset + amplitude * std::sin(phi + delta));
        counts[static_cast<size_t>(k)] = 20;
    }
    counts[static_cast<size_t>(n + 5)] = 3; // too few: ignored
    sums[static_cast<size_t>(n + 5)] = 1e9;
    const TFastStatistics s = ComputeFastStatistics(sums, counts, speed);
    ASSERT_TRUE(s.Valid);
    EXPECT_EQ(s.N, n);
    // X and Y are the sine's components over √2.
    EXPECT_NEAR(s.X, amplitude * std::cos(delta) / std::numbers::sqrt2, 2.0);
    EXPECT_NEAR(s.Y, amplitude * std::sin(delta) / std::numbers::sqrt2, 2.0);
    EXPECT_NEAR(s.HalfSpan, amplitude, 1.0);
    EXPECT_EQ(FastStatisticsText(1.5, s).count('\t'), 3);
    EXPECT_TRUE(FastStatisticsText(1.5, s).startsWith("1.500\t"));
    // Nothing counted: no result rather than a division by zero.
    EXPECT_FALSE(ComputeFastStatistics(std::vector<double>(8), std::vector<int32_t>(8), 1.0).Valid);
}

TEST(FastScanChannels, AtMostFourteenIdsAndTheTerminatorFitTheRequest)
{
    std::vector<int32_t> addresses(30, 9);
    addresses[0] = 0;   // below the first stream address
    addresses[1] = 100; // beyond the last
    const std::vector<int32_t> ids = FastOsziIds(addresses, 21);
    ASSERT_EQ(ids.size(), 15u);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 21);
    EXPECT_EQ(ids[2], 1);
    EXPECT_EQ(ids.back(), 13);
}

// ---- on the simulated type-29 controller --------------------------------------------------

namespace {

class FastScanOnSimTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        sim::SimConfig config = FastConfig();
        config.ControllerType = 29;
        config.Surface.Base = 2000.0;
        config.Surface.TiltX = 0.5;
        config.Surface.TiltY = 0.25;
        config.Surface.StepHeight = 0.0;
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        ASSERT_TRUE(workers_->FastScanThread().Available());
        saved_.Pixels = ScanParams.Pixels.load();
        saved_.Speed = ScanParams.Speed.load();
        saved_.Range = ScanParams.Range.load();
        saved_.CurrentLine = ScanParams.CurrentLine.load();
        ScanParams.Pixels = 32;
        ScanParams.Speed = 100.0f;
        ScanParams.Range = 3200.0f;
        ScanParams.CurrentLine = 1;
    }
    void TearDown() override
    {
        CloseDevice(workers_, form_);
        ScanParams.Pixels = saved_.Pixels;
        ScanParams.Speed = saved_.Speed;
        ScanParams.Range = saved_.Range;
        // Leaving the fast mode moved the line on: the next test starts where this one found it.
        ScanParams.CurrentLine = saved_.CurrentLine;
        OsziRequest = TOsziRequest{};
        DriverLinkFixture::TearDown();
    }
    struct {
        int16_t Pixels, CurrentLine;
        float Speed, Range;
    } saved_{};
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
};

} // namespace

TEST_F(FastScanOnSimTest, RunsFrameAfterFrameIntoTheImageBuffersAndStopsCleanly)
{
    TFastScanThread& fast = workers_->FastScanThread();
    TGoXYThread& scan = workers_->GoXYThread();
    const int zFwd = ImageChannelIndex(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan.Channels[zFwd].AllocBuffers(32, 32));
    int done = 0;
    QObject::connect(&fast, &TFastScanThread::scanDone, [&done] { ++done; });
    struct : IScanHost {
        bool RepeatButtonDown() const override { return true; }
    } host;
    fast.SetHost(&host);
    // The module's loop given an integral gain, as the FastZ page sends it:
    // without one it could not keep the tip along the lines.
    form_->WriteReg(83, 1 << 20);
    form_->WriteReg(84, 1 << 20);

    fast.EnterFastMode();
    fast.Start();
    EXPECT_EQ(sim_->FastScanControl(), 0x7); // DMA, feedback and scan on
    ASSERT_TRUE(PumpUntil([&fast] { return fast.FramesDone() >= 3; }));
    EXPECT_FALSE(fast.Suspended());

    // The module's topography: the tilted plane along the fast lines, the slow axis across them.
    const TImageMatrixPtr z = scan.Channels[zFwd].Data();
    ASSERT_TRUE(z);
    for (int r = 2; r < 30; r += 9) {
        EXPECT_GT(z->At(r, 20), z->At(r, 4)) << r;
        EXPECT_NEAR(z->At(r, 20) - z->At(r, 4), 0.5 * 16 * (3360.0 / 33.5), 0.5 * 16 * 3360.0 / 33.5 * 0.2);
    }
    EXPECT_NE(z->At(4, 10), z->At(28, 10));

    workers_->PauseScan();
    EXPECT_TRUE(fast.Suspended());
    EXPECT_FALSE(fast.Running);
    ASSERT_TRUE(PumpUntil([&done] { return done > 0; }));
    EXPECT_TRUE(form_->PictureReadyEvent.IsSet());
    EXPECT_EQ(sim_->FastScanControl(), 0x2); // the stream is off
    fast.LeaveFastMode();
    EXPECT_EQ(sim_->FastScanControl(), 0x0);
    fast.SetHost(nullptr);
}

namespace {

class FastScanOnUsbTest : public DriverLinkFixture {
protected:
    void TearDown() override
    {
        CloseDevice(workers_, form_);
        OsziRequest = TOsziRequest{};
        DriverLinkFixture::TearDown();
    }
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
};

} // namespace

TEST_F(FastScanOnUsbTest, ANumberedBoxAsksForTheStoredPixelCountOnceAndStopsAtAnEmptyRead)
{
    sim::SimConfig config = FastConfig();
    std::shared_ptr<sim::SimController> sim = PlugSim(config, "SIMUSB2");
    form_ = std::make_unique<TInOutForm>();
    form_->FormCreate();
    workers_ = std::make_unique<TDeviceWorkers>(*form_);
    workers_->FormCreate();
    ASSERT_FALSE(form_->StartFailed());
    ASSERT_EQ(form_->InstanceNumber, 2);
    TFastScanThread& fast = workers_->FastScanThread();
    ASSERT_TRUE(fast.Available());
    const int16_t pixels = ScanParams.Pixels.load();
    ini_->WriteInteger("ScanPara", "ComboBox1", pixels + 16);
    std::vector<int> asked;
    fast.SetPixels = [&asked](int p) { asked.push_back(p); };

    // No channel open: the box streams nothing, every read comes back empty.
    fast.Start();
    EXPECT_EQ(sim->FastScanControl(), 0x2); // a numbered box starts with 130: the fast feedback alone
    ASSERT_TRUE(PumpUntil([&asked] { return !asked.empty(); }));
    // Ten more empty reads (each covers 5 ms of the box's time): still asked once.
    const int64_t t0 = sim->NowUs();
    ASSERT_TRUE(PumpUntil([&sim, t0] { return sim->NowUs() > t0 + 10 * sim::SimController::FastReadSpanMs * 1000; }));
    EXPECT_EQ(asked, std::vector<int>{pixels + 16});

    int done = 0;
    QObject::connect(&fast, &TFastScanThread::scanDone, [&done] { ++done; });
    fast.Stop();
    ASSERT_TRUE(fast.WaitSuspended(2000));
    ASSERT_TRUE(PumpUntil([&done] { return done > 0; }));
    EXPECT_FALSE(fast.Running);
}

TEST_F(FastScanOnUsbTest, AScanDoneStillQueuedWhenTheDeviceClosesIsDroppedWithIt)
{
    PlugSim(FastConfig(), "SIMUSB2");
    form_ = std::make_unique<TInOutForm>();
    form_->FormCreate();
    workers_ = std::make_unique<TDeviceWorkers>(*form_);
    workers_->FormCreate();
    ASSERT_FALSE(form_->StartFailed());
    TFastScanThread& fast = workers_->FastScanThread();
    ASSERT_TRUE(fast.Available());
    struct : IScanHost {
        void ReleaseScanButton() override { ++released; }
        int released = 0;
    } host;
    fast.SetHost(&host);

    fast.Start();
    fast.Stop();
    // Suspended after its stop: the scan-done is posted and waits for the event loop.
    ASSERT_TRUE(fast.WaitSuspended(20000));
    CloseDevice(workers_, form_);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(host.released, 0);
}

namespace {

// The simulator with a gate on its stream: reads pass until the stream has
// brought `limit` line markers, then wait as an idle driver read does, so the
// test sees the scan stand at a line of its choosing.
class GatedStream : public DeviceDriver {
public:
    explicit GatedStream(std::shared_ptr<sim::SimController> sim) : sim_(std::move(sim)) {}

    bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned) override
    {
        return sim_->Control(code, in, inSize, out, outSize, returned);
    }
    size_t BulkRead(void* buffer, size_t size, int timeoutMs) override
    {
        {
            std::unique_lock lock(mutex_);
            if (markers_ >= limit_) {
                waiting_ = true;
                if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [this] { return markers_ < limit_; }))
                    return 0;
            }
        }
        const size_t bytes = sim_->BulkRead(buffer, size, timeoutMs);
        int64_t seen = 0;
        for (size_t i = 0; i + 4 <= bytes; i += 4) {
            int32_t w = 0;
            std::memcpy(&w, static_cast<const uint8_t*>(buffer) + i, 4);
            seen += IsFastMarker(w) ? 1 : 0;
        }
        std::lock_guard lock(mutex_);
        markers_ += seen;
        return bytes;
    }
    ManualResetEvent& GoXYWaitEvent() override { return sim_->GoXYWaitEvent(); }

    void OpenTo(int64_t markers)
    {
        std::lock_guard lock(mutex_);
        limit_ = markers;
        waiting_ = false;
        changed_.notify_all();
    }
    // The reader came to the closed gate again: all it read before is parsed.
    bool Waiting()
    {
        std::lock_guard lock(mutex_);
        return waiting_ && markers_ >= limit_;
    }

private:
    std::shared_ptr<sim::SimController> sim_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t markers_ = 0;
    int64_t limit_ = 0;
    bool waiting_ = false;
};

// The same device window and workers on a simulated box.
using FastScanDisplayTest = FastScanOnUsbTest;

} // namespace

TEST_F(FastScanDisplayTest, ThePictureGrowsLineByLineWhileTheFrameIsAcquired)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    config.LogRequests = false;
    config.Surface.Base = 2000.0;
    config.Surface.TiltX = 0.5;
    auto gate = std::make_shared<GatedStream>(PlugSim(config));
    PlugInDevice("SIM", gate);
    form_ = std::make_unique<TInOutForm>();
    form_->FormCreate();
    workers_ = std::make_unique<TDeviceWorkers>(*form_);
    workers_->FormCreate();
    ASSERT_FALSE(form_->StartFailed());
    // 64 lines at 10 lines a second: every line but the first and last
    // two is worth a repaint.
    ScanParams.Pixels = 64;
    ScanParams.Speed = 10.0f;
    ScanParams.Range = 3200.0f;
    ScanParams.CurrentLine = 1;
    TFastScanThread& fast = workers_->FastScanThread();
    TGoXYThread& scan = workers_->GoXYThread();
    const int zFwd = ImageChannelIndex(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan.Channels[zFwd].AllocBuffers(64, 64));
    TShowThread& show = workers_->ShowThread();
    TChildForm window(scan.Channels[zFwd], zFwd, &show);
    window.show();
    struct : IScanHost {
        bool RepeatButtonDown() const override { return true; }
    } host;
    fast.SetHost(&host);

    // The stream stands after its 20th, then its 40th line; each time the
    // window has drawn up to the line the stream stands at.
    gate->OpenTo(20);
    fast.EnterFastMode();
    fast.Start();
    std::vector<int> drawn;
    for (int64_t limit : {20, 40}) {
        gate->OpenTo(limit);
        ASSERT_TRUE(PumpUntil([&] {
            return gate->Waiting() && show.Suspended() && window.Renderer().CurrentLine() == show.Line.load();
        })) << limit
            << ": line " << show.Line.load() << ", drawn to " << window.Renderer().CurrentLine();
        EXPECT_EQ(fast.FramesDone(), 0);
        drawn.push_back(window.Renderer().CurrentLine());
    }
    EXPECT_GE(drawn[0], 15);
    EXPECT_EQ(drawn[1], drawn[0] + 20);

    int done = 0;
    QObject::connect(&fast, &TFastScanThread::scanDone, [&done] { ++done; });
    gate->OpenTo(std::numeric_limits<int64_t>::max());
    ASSERT_TRUE(PumpUntil([&fast] { return fast.FramesDone() >= 1; }));
    workers_->PauseScan();
    EXPECT_TRUE(fast.Suspended());
    ASSERT_TRUE(PumpUntil([&done] { return done > 0; }));
    fast.LeaveFastMode();
    fast.SetHost(nullptr);
}
