#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/MoveEngine.h"
#include "platform/WindowThread.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

constexpr int SlotAdc1 = FirstAdcSlot;
constexpr int ZFwd = ImageChannelIndex(SlotZ, PlaneFwd);
constexpr int ZBwd = ImageChannelIndex(SlotZ, PlaneBwd);
constexpr int ZFly = ImageChannelIndex(SlotZ, PlaneFly);

// A plane with a known tilt: Z digits per X and per Y digit.
constexpr double TiltX = 0.5;
constexpr double TiltY = 0.25;
constexpr double Base = 5000.0;

class GoXYThreadTest : public DriverLinkFixture {
protected:
    void Start(sim::SimConfig config)
    {
        config.Surface.Base = Base;
        config.Surface.TiltX = TiltX;
        config.Surface.TiltY = TiltY;
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        // Z, then ADC1..ADC3 at read addresses 1..3 (3 is the Z sensor).
        for (int i = 0; i < 3; ++i)
            ChannelTable[SlotAdc1 + i].Address = i + 1;
        scan_ = std::make_unique<TGoXYThread>(*form_, workers_->Moves(), params_);
        QObject::connect(scan_.get(), &TGoXYThread::scanStopped, [this] { ++stopped_; });
        QObject::connect(scan_.get(), &TGoXYThread::rangeClamped, [this] { ++clamped_; });
        QObject::connect(scan_.get(), &TGoXYThread::frameDone, [this] { ++frames_; });
    }

    // 64 × 64 over 6400 digits at 100 lines/s: 3 ticks of 33 digits per pixel.
    void Frame64(int pixels = 64, float range = 6400.0f, float speed = 100.0f)
    {
        params_.Pixels = static_cast<int16_t>(pixels);
        params_.Range = range;
        params_.Speed = speed;
        params_.CurrentLine = 1;
    }

    void Open(int slot, int plane)
    {
        const int p = params_.Pixels.load();
        ASSERT_TRUE(scan_->Channels[ImageChannelIndex(slot, plane)].AllocBuffers(p, p));
    }

    void TearDown() override
    {
        if (scan_)
            scan_->Terminate();
        scan_.reset();
        CloseDevice(workers_, form_);
        DriverLinkFixture::TearDown();
    }

    bool WaitParked()
    {
        return PumpUntil([this] { return scan_->Suspended() && stopped_ > 0; });
    }

    TScanParams params_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TGoXYThread> scan_;
    int stopped_ = 0;
    int clamped_ = 0;
    int frames_ = 0;
};

} // namespace

TEST_F(GoXYThreadTest, OneFrameFillsEveryOpenChannelWithTheSurface)
{
    Start(FastConfig());
    Frame64();
    for (int slot : {SlotZ, SlotAdc1, SlotAdc1 + 1, SlotAdc1 + 2}) {
        Open(slot, PlaneFwd);
        Open(slot, PlaneBwd);
    }

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(frames_, 1);
    EXPECT_FALSE(scan_->Running);
    EXPECT_TRUE(form_->PictureReadyEvent.IsSet());
    EXPECT_EQ(params_.CurrentLine, 1); // ready for the next frame
    EXPECT_EQ(scan_->Direction, 1);
    EXPECT_EQ(clamped_, 0);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();

    const TScanGeometry g = scan_->Geometry();
    EXPECT_EQ(g.MoveSteps, 3);
    EXPECT_EQ(g.FastX, 33);
    const TImageMatrixPtr fwd = scan_->Channels[ZFwd].Data();
    const TImageMatrixPtr bwd = scan_->Channels[ZBwd].Data();
    const TImageMatrixPtr sensor = scan_->Channels[ImageChannelIndex(SlotAdc1 + 2, PlaneFwd)].Data();
    ASSERT_TRUE(fwd && bwd && sensor);
    // Pixel (r, c) lies at StartX + (c + 1)·100, StartY − (r + 1)·100 (slow Y runs downward).
    double worst = 0;
    for (int r = 0; r < 64; ++r) {
        for (int c = 0; c < 64; ++c) {
            const double x = g.StartX + (c + 1) * 100.0;
            const double y = g.StartY + (r + 1) * g.LineY;
            const double want = Base + TiltX * x + TiltY * y + TrackingPush;
            worst = std::max(worst, std::fabs(fwd->At(r, c) - want));
            EXPECT_NEAR(bwd->At(r, c), fwd->At(r, c), 2) << r << "," << c; // same place both ways
            EXPECT_NEAR(sensor->At(r, c), fwd->At(r, c), 20) << r << "," << c;
        }
    }
    EXPECT_LE(worst, 2.0);

    // The known tilt gives the known slopes: 0.5 · 100 per column, 0.25 · −100 per row.
    scan_->Channels[ZFwd].ComputeSlopes();
    EXPECT_NEAR(scan_->Channels[ZFwd].SlopeX.load(), TiltX * 100, 0.05);
    EXPECT_NEAR(scan_->Channels[ZFwd].SlopeY.load(), TiltY * -100, 0.05);

    // Every pass told the controller which channels to take, with the terminator.
    EXPECT_EQ(sim_->ChannelListCount(), 1 + 64 * 2);
    EXPECT_EQ(sim_->ChannelList(), (std::vector<int32_t>{0, 1, 2, 3}));
    const TGoXYRequest request = workers_->Moves().Request();
    EXPECT_EQ(request.ListLength, 5);
    EXPECT_EQ(request.ReadAddresses[4], ReadListTerminator);
}

TEST_F(GoXYThreadTest, LineBudgetScansExactlyThatManyLines)
{
    Start(FastConfig());
    Frame64();
    Open(SlotZ, PlaneFwd);
    params_.LinesLeft = 10;
    form_->PictureReadyEvent.Reset();
    const int64_t runIns = sim_->RunInCount();

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(params_.LinesLeft, 0);
    EXPECT_EQ(params_.CurrentLine, 11);
    EXPECT_EQ(frames_, 0);
    EXPECT_TRUE(form_->PictureReadyEvent.IsSet());
    const TImageMatrixPtr z = scan_->Channels[ZFwd].Data();
    EXPECT_NE(z->At(9, 10), 0);
    EXPECT_EQ(z->At(10, 10), 0); // line 11 never taken
    EXPECT_EQ(sim_->RunInCount() - runIns, 10);
    EXPECT_EQ(sim_->FirstLineCount(), 1);

    // Started again, the frame goes on where it stopped and ends at ScanDone.
    stopped_ = 0;
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(frames_, 1);
    EXPECT_NE(z->At(63, 10), 0);
}

TEST_F(GoXYThreadTest, LiftPassRetracesTheLineAtTheFlyHeight)
{
    Start(FastConfig());
    Frame64(16, 1600.0f, 100.0f);
    Open(SlotZ, PlaneFly); // the Z forward buffer comes with it at the start
    workers_->Moves().FlyOn = 1;
    // Up is toward the sample: the lift pass goes down.
    workers_->Moves().FlyHeightRaw = -500;

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(scan_->Channels[ZFwd].HasBuffer());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(frames_, 1);
    const TImageMatrixPtr fwd = scan_->Channels[ZFwd].Data();
    const TImageMatrixPtr fly = scan_->Channels[ZFly].Data();
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c)
            ASSERT_EQ(fly->At(r, c), fwd->At(r, c) - 500) << r << "," << c;
    // The feedback runs again after each pass, and before the tip travels
    // back along the line: after the last lifted pixel the release comes
    // before any further move.
    EXPECT_FALSE(MicroscopeState.LiftPass);
    EXPECT_NE(sim_->Feedback().ControlWord, 0);
    const std::vector<sim::SimRequest> log = sim_->RequestLog();
    size_t lastLift = 0;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].Code == IOCTL_WRITE_REG && log[i].In[0] == RegZ)
            lastLift = i;
    ASSERT_GT(lastLift, 0u);
    ASSERT_LT(lastLift + 1, log.size());
    EXPECT_EQ(log[lastLift + 1].Code, IOCTL_GO_XY); // the last lifted pixel
    // Its moves, up to the one that reads the channel list.
    size_t pixelEnd = lastLift + 1;
    while (pixelEnd + 1 < log.size() && log[pixelEnd].Code == IOCTL_GO_XY && log[pixelEnd].In[6] == 0)
        ++pixelEnd;
    uint32_t next = 0;
    for (size_t i = pixelEnd + 1; i < log.size() && next == 0; ++i)
        if (log[i].Code == IOCTL_GO_XY || log[i].Code == IOCTL_SET_FEEDBACK)
            next = log[i].Code;
    EXPECT_EQ(next, IOCTL_SET_FEEDBACK);

    // A lift height that would carry Z past its limit stops at the limit.
    workers_->Moves().FlyHeightRaw = -FlyHeightLimit;
    stopped_ = 0;
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(scan_->Channels[ZFly].Data()->At(5, 5), ChannelTable[SlotZ].MinRaw.load());
}

TEST_F(GoXYThreadTest, WrongPolarityRunsZIntoTheSampleAndTheScanShowsTheErrorSaturated)
{
    Start(FastConfig());
    Frame64(16, 1600.0f, 100.0f);
    Open(SlotZ, PlaneFwd);
    Open(SlotAdc1, PlaneFwd);
    // The deflection is marked inverted though it is not: the record says 0x2200.
    ChannelTable[SlotAdc1].Invers = true;
    form_->UpdateFeedback();
    ASSERT_EQ(sim_->Feedback().ControlWord, 0x2200);

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    const TImageMatrixPtr z = scan_->Channels[ZFwd].Data();
    const TImageMatrixPtr error = scan_->Channels[ImageChannelIndex(SlotAdc1, PlaneFwd)].Data();
    for (int r = 0; r < 16; ++r) {
        for (int c = 0; c < 16; ++c) {
            ASSERT_EQ(z->At(r, c), ChannelTable[SlotZ].MaxRaw.load()) << r << "," << c;
            ASSERT_GT(error->At(r, c), 20000) << r << "," << c; // the setpoint is 400
        }
    }
    const std::vector<sim::SimCrash> crashes = TakeCrashes(*sim_);
    ASSERT_FALSE(crashes.empty());
    EXPECT_EQ(crashes[0].Cause, sim::SimCrashCause::Pushed);
}

TEST_F(GoXYThreadTest, FailingMoveEndsTheScanThroughTheErrorPath)
{
    Start(FastConfig());
    Frame64();
    Open(SlotZ, PlaneFwd);
    sim::SimFaults faults;
    faults.FailCode = IOCTL_GO_XY;
    sim_->SetFaults(faults);

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_FALSE(scan_->Running);
    EXPECT_GE(stopped_, 1); // the Scan button is released
    EXPECT_GE(clamped_, 1); // and the range edit red
    EXPECT_EQ(frames_, 0);

    // The thread lives on: with the fault gone the next scan runs.
    sim_->SetFaults({});
    stopped_ = 0;
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(frames_, 1);
}

TEST_F(GoXYThreadTest, PauseStopsMidLineWithinTheWait)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    config.LogRequests = false;
    Start(config);
    // Half a line per second: 612 ticks, 15.7 ms per pixel, a second per
    // line; the pause comes long before the line could end.
    Frame64(64, 39168.0f, 0.5f);
    Open(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan_->StartScan());
    const TImageMatrixPtr z = scan_->Channels[ZFwd].Data();
    ASSERT_TRUE(PumpUntil([&] { return z->At(0, 5) != 0; }));
    EXPECT_FALSE(scan_->Suspended());

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(scan_->PauseScan());
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(scan_->Suspended());
    EXPECT_LE(waited, std::chrono::seconds(5)); // proves the pause ends; a pixel is 15.7 ms
    EXPECT_EQ(params_.CurrentLine, 1);          // the abandoned line is taken again
    EXPECT_EQ(z->At(0, 63), 0);
    EXPECT_TRUE(scan_->StopMessageShown());
    // Parked: the status timer completes the pause once the tip stands still
    // and its position was taken over.
    EXPECT_TRUE(PumpUntil([&] {
        scan_->CompletePause();
        return !scan_->StopMessageShown();
    }));
    EXPECT_FALSE(scan_->PauseScan());
}

TEST_F(GoXYThreadTest, PauseDeliversNoEventsAndHandsOverAFrameThatWaitsForIt)
{
    Start(FastConfig());
    Frame64(16, 1600.0f, 100.0f);
    Open(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan_->StartScan());
    // No events run here: the frame ends and the thread waits for its hand-over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (params_.CurrentLine.load() <= 16 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(params_.CurrentLine.load(), 16);
    bool delivered = false;
    PostToWindowThread([&] { delivered = true; });

    EXPECT_TRUE(scan_->PauseScan());
    EXPECT_FALSE(delivered); // nothing queued ran inside the wait
    EXPECT_EQ(frames_, 1);   // the frame was finished by the pause
    EXPECT_EQ(params_.CurrentLine, 1);
    EXPECT_TRUE(scan_->Suspended());
    ASSERT_TRUE(PumpUntil([&] { return delivered; }));
    EXPECT_EQ(frames_, 1); // and only once
}

TEST_F(GoXYThreadTest, RefusedGeometryDoesNotStartTheScan)
{
    Start(FastConfig());
    Frame64(3);
    EXPECT_FALSE(scan_->StartScan());
    EXPECT_TRUE(scan_->Suspended());
    EXPECT_EQ(clamped_, 1); // range edit red
    // Less than a digit per pixel: no image to take.
    Frame64(64, 32.0f, 1.0f);
    EXPECT_FALSE(scan_->StartScan());
    EXPECT_FALSE(scan_->Running);
    EXPECT_EQ(clamped_, 2);
}

TEST_F(GoXYThreadTest, TooManyChannelsIsToldOncePerChangeOfTheSet)
{
    Start(FastConfig());
    Frame64(16, 1600.0f, 100.0f);
    for (int slot = 0; slot < 31; ++slot)
        Open(slot, PlaneFwd);
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    PumpUntil([this] { return !boxes_.Texts().isEmpty(); });
    EXPECT_EQ(boxes_.Texts(), QStringList{TooManyChannelsText}); // 16 lines, one box
    // The first 30 were sampled, the 31st not.
    EXPECT_NE(scan_->Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data()->At(3, 3), 0);
    EXPECT_EQ(scan_->Channels[ImageChannelIndex(30, PlaneFwd)].Data()->At(3, 3), 0);

    // Another channel opened: the set changed, one more box.
    Open(31, PlaneFwd);
    stopped_ = 0;
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    PumpUntil([this] { return boxes_.Texts().size() > 1; });
    EXPECT_EQ(boxes_.Texts().size(), 2);
}

TEST_F(GoXYThreadTest, StatusTickWakesTheDisplayAndCompletesAPause)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    config.LogRequests = false;
    Start(config);
    TShowThread show(params_);
    int refreshes = 0;
    QObject::connect(&show, &TShowThread::refreshAll, [&] { ++refreshes; });
    scan_->SetShowThread(&show);
    // The parameter window's status timer, which is not here.
    QTimer tick;
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, [this] { scan_->StatusTick(); });
    tick.start();

    Frame64(64, 39168.0f, 2.0f);
    Open(SlotZ, PlaneFwd);
    show.RedrawAll = true;
    PumpUntil([] { return false; }, 250); // idle: the display thread stays asleep
    EXPECT_EQ(refreshes, 0);

    ASSERT_TRUE(scan_->StartScan());
    EXPECT_TRUE(PumpUntil([&] { return refreshes >= 1; }, 2000));

    // Once the thread is parked the tick takes the position from the
    // controller and the stop box goes.
    EXPECT_TRUE(scan_->PauseScan());
    EXPECT_TRUE(PumpUntil([&] { return !scan_->StopMessageShown(); }, 2000));
    EXPECT_TRUE(scan_->Suspended());
    int32_t x = 0;
    int32_t y = 0;
    workers_->Moves().Position(x, y);
    EXPECT_EQ(x, sim_->Dac(3));
    EXPECT_EQ(y, sim_->Dac(4));
    tick.stop();
    scan_->SetShowThread(nullptr);
}

TEST_F(GoXYThreadTest, AutoLevelTurnsTheFrameSlopesIntoThePlaneCorrection)
{
    struct Host : IScanHost {
        bool AutoLevelOn() const override { return true; }
        void SendPlaneCorrection() override { ++sent; }
        int sent = 0;
    } host;
    Start(FastConfig());
    TShowThread show(params_);
    scan_->SetHost(&host);
    scan_->SetShowThread(&show);
    // 1800 digits per pixel: enough for a slope word.
    Frame64(16, 28800.0f, 100.0f);
    Open(SlotZ, PlaneFwd);

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(host.sent, 1);
    // The correction is the sample's tilt in Z digits per X/Y digit, × 2^24.
    EXPECT_NEAR(params_.LevelDxDz, TiltX * 16777216.0, 2000.0);
    EXPECT_NEAR(params_.LevelDyDz, TiltY * 16777216.0, 2000.0);
    EXPECT_EQ(show.FirstLine, 1);

    // A frame resumed part-way leaves it alone.
    const double dx = params_.LevelDxDz;
    params_.CurrentLine = 9;
    show.FirstLine = 9;
    stopped_ = 0;
    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(host.sent, 1);
    EXPECT_EQ(params_.LevelDxDz, dx);
    scan_->SetHost(nullptr);
    scan_->SetShowThread(nullptr);
}

TEST_F(GoXYThreadTest, PositionSensorsStraightenABentScanner)
{
    sim::SimConfig config = FastConfig();
    config.LogRequests = false;
    config.Scanner.QuadX = 0.05; // 1600 digits ahead at the ends of the range
    config.Scanner.SensorXAddress = 6;
    config.Scanner.SensorYAddress = 7;
    Start(config);
    ChannelTable[FirstAdcSlot + 5].Address = 6; // ADC6 and ADC7 read the sensors
    ChannelTable[FirstAdcSlot + 6].Address = 7;
    scan_->TrackChannelX = 5; // program channel indices of ADC6, ADC7
    scan_->TrackChannelY = 6;
    scan_->HardLinOn = true;
    scan_->KiPoly = -2e6;
    Frame64(64, 51200.0f, 100.0f); // 800 digits per pixel in 3 ticks, a line of 51200 digits
    Open(SlotZ, PlaneFwd);

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    EXPECT_EQ(workers_->Moves().Request().ListLength, 4); // Z, two sensors, terminator
    const TTrack& track = scan_->TrackX();
    EXPECT_NE(track[1], 0);
    EXPECT_GT(track[64], track[1]);

    // The drive is bent against the scanner: q = −0.05 · 51200 / 32768.
    const TLinCoefficients k = scan_->Linearisation();
    EXPECT_NEAR(k.X2F, 0.05 * 51200 / 32768, 0.005);
    // What the sensor still sees of the bow is noise.
    const TFitResults fit = scan_->FitResults();
    EXPECT_NEAR(fit.X[1], 51200, 200);
    EXPECT_LT(std::fabs(fit.X[2]), 40.0);
}

TEST_F(GoXYThreadTest, HardLinLearnsTheBowAndSBendOfTheFastAxisAndLeavesTheSlowAxisAlone)
{
    // The bundled scanner's tube and sensors; a positive gain as in the
    // settings of a new installation.
    sim::SimConfig config = FastConfig();
    config.LogRequests = false;
    config.Scanner.QuadX = 0.02;
    config.Scanner.CubicX = 0.01;
    config.Scanner.QuadY = 0.01;
    config.Scanner.SensorXAddress = 6;
    config.Scanner.SensorYAddress = 7;
    Start(config);
    ChannelTable[FirstAdcSlot + 5].Address = 6;
    ChannelTable[FirstAdcSlot + 6].Address = 7;
    scan_->TrackChannelX = 5;
    scan_->TrackChannelY = 6;
    scan_->HardLinOn = true;
    scan_->KiPoly = 100000; // a thirtieth of the bow per line over this range
    Frame64(128, 56000.0f, 100.0f);
    Open(SlotZ, PlaneFwd);

    ASSERT_TRUE(scan_->StartScan());
    ASSERT_TRUE(WaitParked());
    // Where a least-squares cubic of the sensor track has no bow and no
    // S-bend left: the simulator's Quad · 56000 / 32768 to first order.
    const TLinCoefficients k = scan_->Linearisation();
    EXPECT_NEAR(k.X2F, 0.02 * 56000 / 32768, 0.002);
    EXPECT_NEAR(k.X2F, 0.0343, 0.001);
    EXPECT_NEAR(k.X3F, -0.0267, 0.002);
    // The slow axis has no line to fit: it stays where it was.
    for (const double y : {k.Y2F, k.Y3F, k.Y2B, k.Y3B})
        EXPECT_LT(std::fabs(y), 0.005);
    const TFitResults fit = scan_->FitResults();
    EXPECT_LT(std::fabs(fit.X[2]), 40.0);
    EXPECT_LT(std::fabs(fit.X[3]), 40.0);
}

TEST_F(GoXYThreadTest, ShutdownWhileTheFrameEndWaitsForTheWindowThreadDoesNotHang)
{
    Start(FastConfig());
    Frame64(16, 1600.0f, 100.0f);
    Open(SlotZ, PlaneFwd);
    ASSERT_TRUE(scan_->StartScan());
    // The window thread does not run its messages: the frame end stays unanswered.
    const TImageMatrixPtr z = scan_->Channels[ZFwd].Data();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (z->At(15, 15) == 0 && std::chrono::steady_clock::now() < deadline)
        QThread::msleep(1);
    ASSERT_NE(z->At(15, 15), 0);
    QThread::msleep(20);
    EXPECT_FALSE(scan_->Suspended());

    const auto t0 = std::chrono::steady_clock::now();
    scan_->Terminate();
    EXPECT_LE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    QCoreApplication::processEvents(); // the abandoned frame end does not run late
    EXPECT_EQ(frames_, 0);
}
