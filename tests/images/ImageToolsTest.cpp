#include "images/ImageTools.h"

#include "images/ChildForm.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanStatus.h"
#include "support/DriverLinkFixture.h"

#include <QApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;

namespace {
constexpr double Pi = std::numbers::pi;

TPanelFrame Frame(double angleDegrees)
{
    return {256.0, 256.0, 1000.0, angleDegrees * Pi / 180.0, 100.0, -50.0};
}
} // namespace

TEST(ImageTools, PanelAndScanCoordinatesRoundTripAtAnyAngle)
{
    for (const double angle : {0.0, 90.0, 33.0}) {
        const TPanelFrame f = Frame(angle);
        for (const QPoint p : {QPoint(0, 0), QPoint(128, 128), QPoint(255, 3), QPoint(17, 240)}) {
            const std::optional<QPoint> back = ScanToPanel(f, PanelToScan(f, QPointF(p)));
            ASSERT_TRUE(back);
            EXPECT_EQ(*back, p) << "angle " << angle << " at " << p.x() << "," << p.y();
        }
    }
    // Unrotated: right is +x, down is -y, the middle is the centre.
    const TPanelFrame f = Frame(0.0);
    EXPECT_EQ(PanelToScan(f, QPointF(128, 128)), QPointF(100.0, -50.0));
    EXPECT_EQ(PanelToScan(f, QPointF(256, 0)), QPointF(600.0, 450.0));

    TPanelFrame none = f;
    none.Range = 0.0;
    EXPECT_FALSE(ScanToPanel(none, QPointF(1, 1)));
}

TEST(ImageTools, DragsProposeFramesAndShortZoomDragsOnlyRecentre)
{
    const TPanelFrame f = Frame(0.0);
    // A drag of 10 pixels to the right moves the frame's centre left.
    const TFrameProposal m = ProposeMove(f, QPoint(100, 100), QPoint(110, 100));
    EXPECT_NEAR(m.XCenter, 60.938, 1e-9); // 100 - 1000 * 10 / 256, rounded to 0.001
    EXPECT_DOUBLE_EQ(m.YCenter, -50.0);
    EXPECT_DOUBLE_EQ(m.Range, 1000.0);

    const double diagonal = std::hypot(256.0, 256.0);
    const TFrameProposal shortDrag = ProposeZoom(f, QPoint(64, 64), QPoint(70, 70), false);
    EXPECT_DOUBLE_EQ(shortDrag.Range, 1000.0);
    EXPECT_NEAR(shortDrag.XCenter, 100.0 + (67.0 / 256 - 0.5) * 1000.0, 0.001);
    const TFrameProposal zoom = ProposeZoom(f, QPoint(0, 0), QPoint(128, 128), false);
    EXPECT_NEAR(zoom.Range, 500.0, 1e-9);
    EXPECT_NEAR(zoom.XCenter, 100.0 - 250.0, 1e-9);
    EXPECT_NEAR(zoom.YCenter, -50.0 + 250.0, 1e-9);
    EXPECT_NEAR(ProposeZoom(f, QPoint(0, 0), QPoint(128, 128), true).Range, 2000.0, 1e-9);

    const TFrameProposal centred = ProposeZoomCentered(f, QPoint(128, 128), QPoint(160, 128));
    EXPECT_NEAR(centred.Range, 64.0 / diagonal * 1000.0, 1e-9);
    EXPECT_DOUBLE_EQ(centred.XCenter, 100.0);
    EXPECT_DOUBLE_EQ(ProposeZoomCentered(f, QPoint(128, 128), QPoint(130, 128)).Range, 1000.0);
}

TEST(ImageTools, RulerAngleMatchesTheQuadrantTableEverywhere)
{
    EXPECT_DOUBLE_EQ(RulerAngle(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(RulerAngle(5, 0), 0.0);
    EXPECT_DOUBLE_EQ(RulerAngle(0, 5), Pi / 2);
    EXPECT_DOUBLE_EQ(RulerAngle(-5, 0), Pi);
    EXPECT_DOUBLE_EQ(RulerAngle(0, -5), 1.5 * Pi);
    EXPECT_NEAR(RulerAngle(3, 3), Pi / 4, 1e-12);
    EXPECT_NEAR(RulerAngle(-3, 3), 0.75 * Pi, 1e-12);
    EXPECT_NEAR(RulerAngle(-3, -3), 1.25 * Pi, 1e-12);
    EXPECT_NEAR(RulerAngle(3, -3), 1.75 * Pi, 1e-12);
    // Anywhere else it is the direction of the pixel vector.
    for (int dx = -7; dx <= 7; ++dx)
        for (int dy = -7; dy <= 7; ++dy) {
            if (dx == 0 && dy == 0)
                continue;
            double expected = std::atan2(dy, dx);
            if (expected < 0)
                expected += 2 * Pi;
            EXPECT_NEAR(RulerAngle(dx, dy), expected, 1e-9) << dx << "," << dy;
        }
}

TEST(ImageTools, ScanFromHereLineFollowsThePanelHeight)
{
    EXPECT_EQ(ScanFromHereLine(0, 256, 128), 0);
    EXPECT_EQ(ScanFromHereLine(128, 256, 128), 64);
    EXPECT_EQ(ScanFromHereLine(256, 256, 128), 128);
    EXPECT_FALSE(ScanFromHereLine(0, 1, 128));
}

// ---- on an image window beside the parameter window, on the simulator -----------------------

namespace {

using namespace qvt::test;

// The scan parameters a parameter window sets, put back afterwards.
struct SavedScanParams {
    int16_t Pixels = ScanParams.Pixels, CurrentLine = ScanParams.CurrentLine;
    float Range = ScanParams.Range, Speed = ScanParams.Speed, XCenter = ScanParams.XCenter,
          YCenter = ScanParams.YCenter, Angle = ScanParams.Angle;
    ~SavedScanParams()
    {
        ScanParams.Pixels = Pixels;
        ScanParams.CurrentLine = CurrentLine;
        ScanParams.Range = Range;
        ScanParams.Speed = Speed;
        ScanParams.XCenter = XCenter;
        ScanParams.YCenter = YCenter;
        ScanParams.Angle = Angle;
    }
};

class ImageToolsOnSim : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        // X and Y at 5 pm per digit: ±160 nm of reach.
        for (const char* dac : {"DAC3", "DAC4"}) {
            ini_->WriteString("Scale", QString(dac) + "Edit1", "nm");
            ini_->WriteString("Scale", QString(dac) + "Edit2", "0.005");
        }
        ini_->WriteString("Microscope", "OffsAngle", "0"); // the picture's axes are the scanner's
        ini_->WriteString("ScanPara", "Edit7", "0");
        ini_->WriteString("ScanPara", "Edit8", "0");
        ini_->WriteString("ScanPara", "Edit3", "100");
        sim_ = PlugSim(FastConfig());
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        para_ = std::make_unique<TScanParaForm>();
        para_->SetDevice(device_.get());
        para_->SetWorkers(workers_.get());
        para_->FormCreate();
        ASSERT_EQ(ScanParaForm, para_.get());
        ASSERT_TRUE(buffer_.AllocBuffers(32, 32));
        buffer_.Scale = &scale_;
        child_ = std::make_unique<TChildForm>(buffer_, 0);
        child_->resize(256, 256);
        child_->show();
        w_ = child_->Panel2()->width();
        h_ = child_->Panel2()->height();
        TImageTools::SetSpectroscopyPoint = [this](double x, double y) { spectro_.push_back({x, y}); };
    }
    void TearDown() override
    {
        TImageTools::SetSpectroscopyPoint = nullptr;
        TImageTools::StartScan = nullptr;
        child_.reset();
        para_->FormDestroy();
        para_.reset();
        CloseDevice(workers_, device_);
        DriverLinkFixture::TearDown();
    }
    void Drag(QPoint from, QPoint to)
    {
        TImageTools& t = child_->Tools();
        t.MouseDown(from, Qt::LeftButton, true);
        t.MouseMove((from + to) / 2, true);
        t.MouseMove(to, true);
        t.MouseUp(to);
    }
    QString Box(const char* name) { return para_->Edit(name)->text(); }
    void Send(QEvent::Type type, QPoint p, Qt::MouseButtons buttons, Qt::MouseEventSource source)
    {
        QMouseEvent e(type, QPointF(p), QPointF(p), QPointF(child_->Panel2()->mapToGlobal(p)), Qt::LeftButton, buttons,
                      Qt::NoModifier, source);
        QApplication::sendEvent(child_->Panel2(), &e);
    }

    SavedScanParams saved_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> para_;
    TIOScale scale_{"Topo", "nm"};
    TDaten buffer_;
    std::unique_ptr<TChildForm> child_;
    int w_ = 0, h_ = 0;
    std::vector<QPointF> spectro_;
};

} // namespace

TEST_F(ImageToolsOnSim, ZoomAndMoveDragsSetTheFrameThroughTheParameterBoxes)
{
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 100.0f);
    para_->ToolButtons()->SetUsedTool(ToolZoom);
    // The upper left quarter: half the range, centred on that quarter.
    Drag(QPoint(0, 0), QPoint(w_ / 2, h_ / 2));
    EXPECT_NEAR(ScanParams.Range.load(), 50.0, 0.01);
    EXPECT_NEAR(ScanParams.XCenter.load(), -25.0, 0.01);
    EXPECT_NEAR(ScanParams.YCenter.load(), 25.0, 0.01);
    EXPECT_TRUE(para_->Edit("Edit3")->hasFrame()) << "the highlight goes with the mouse-up";
    EXPECT_EQ(spectro_.size(), 1u);

    // A drag under 10 pixels keeps the range and recentres on it.
    Drag(QPoint(w_ / 2, h_ / 2), QPoint(w_ / 2 + 4, h_ / 2));
    EXPECT_NEAR(ScanParams.Range.load(), 50.0, 0.01);
    EXPECT_NEAR(ScanParams.XCenter.load(), -25.0 + 50.0 * 2 / w_, 0.01);

    // A move beyond the scanner's reach leaves the boxes as they were.
    para_->ToolButtons()->SetUsedTool(ToolMove);
    const QString x = Box("Edit7"), y = Box("Edit8");
    const float centre = ScanParams.XCenter.load();
    child_->Tools().MouseDown(QPoint(w_ / 2, h_ / 2), Qt::LeftButton, true);
    child_->Tools().MouseMove(QPoint(w_ / 2 - 5 * w_, h_ / 2), true);
    EXPECT_EQ(Box("Edit7"), x);
    EXPECT_EQ(Box("Edit8"), y);
    EXPECT_FALSE(para_->Edit("Edit7")->hasFrame());
    EXPECT_EQ(child_->Panel2()->DrawnLeft, 0);
    // A small move shifts the picture and the centre.
    child_->Tools().MouseMove(QPoint(w_ / 2 + 10, h_ / 2), true);
    EXPECT_EQ(child_->Panel2()->DrawnLeft, 10);
    child_->Tools().MouseUp(QPoint(w_ / 2 + 10, h_ / 2));
    EXPECT_NEAR(ScanParams.XCenter.load(), centre - 50.0 * 10 / w_, 0.01);
    EXPECT_EQ(child_->Panel2()->DrawnLeft, 0);

    // The middle button sets the spectroscopy point and starts no tool.
    spectro_.clear();
    child_->Tools().MouseDown(QPoint(0, h_ / 2), Qt::MiddleButton, false);
    child_->Tools().MouseMove(QPoint(w_, h_), false);
    child_->Tools().MouseUp(QPoint(w_, h_));
    ASSERT_EQ(spectro_.size(), 1u);
    EXPECT_NEAR(spectro_[0].x(), ScanParams.XCenter.load() - ScanParams.Range.load() / 2, 0.01);
    EXPECT_NEAR(ScanParams.XCenter.load(), centre - 50.0 * 10 / w_, 0.01);
    EXPECT_GT(sim_->RequestCount(), 0);
}

TEST_F(ImageToolsOnSim, AZoomIsJudgedAsOneFrameWithItsRangesSensitivitiesAndTakenRangeFirst)
{
    // Below 60 nm the calibration gives 0.1 pm a digit: 50 nm would be
    // 500000 digits, beyond the outputs.
    double fine = 60.0;
    const auto factor = [&](double range) { return range < fine ? 0.0001f : 0.005f; };
    std::vector<std::pair<double, float>> taken; // the range, and the range stored by then
    para_->SetScanRange = [&](double range) {
        taken.push_back({range, ScanParams.Range.load()});
        ChannelTable[SlotX].Factor = ChannelTable[SlotY].Factor = factor(range);
        return true;
    };
    para_->ProposeRangeFactors = [&](double range, TScanSetup& s) { s.FactorX = s.FactorY = factor(range); };
    para_->ToolButtons()->SetUsedTool(ToolZoom);
    Drag(QPoint(0, 0), QPoint(w_ / 2, h_ / 2));
    // Refused whole: neither the range nor the centre is taken.
    EXPECT_EQ(para_->Edit("Edit3")->Color(), EditColor::Red);
    EXPECT_FLOAT_EQ(ScanParams.Range.load(), 100.0f);
    EXPECT_FLOAT_EQ(ScanParams.XCenter.load(), 0.0f);
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.005f);
    EXPECT_TRUE(taken.empty());

    // Reachable: taken, the range stored before its factors follow.
    fine = 40.0;
    Drag(QPoint(0, 0), QPoint(w_ / 2, h_ / 2));
    EXPECT_NEAR(ScanParams.Range.load(), 50.0, 0.01);
    EXPECT_NEAR(ScanParams.XCenter.load(), -25.0, 0.01);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_NEAR(taken[0].first, 50.0, 0.01);
    EXPECT_EQ(taken[0].second, static_cast<float>(taken[0].first));
    para_->SetScanRange = nullptr;
    para_->ProposeRangeFactors = nullptr;
}

TEST_F(ImageToolsOnSim, MouseEventsMadeFromAHeldTouchAreIgnored)
{
    para_->ToolButtons()->SetUsedTool(ToolZoom);
    child_->SetTouchHoldsImage(true);
    Send(QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton, Qt::MouseEventSynthesizedByQt);
    Send(QEvent::MouseMove, QPoint(w_ / 2, h_ / 2), Qt::LeftButton, Qt::MouseEventSynthesizedByQt);
    Send(QEvent::MouseButtonRelease, QPoint(w_ / 2, h_ / 2), Qt::NoButton, Qt::MouseEventSynthesizedByQt);
    EXPECT_FLOAT_EQ(ScanParams.Range.load(), 100.0f);
    EXPECT_TRUE(spectro_.empty());
    // A real mouse still works, and so does the touch once it lets go.
    Send(QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton, Qt::MouseEventNotSynthesized);
    Send(QEvent::MouseMove, QPoint(w_ / 2, h_ / 2), Qt::LeftButton, Qt::MouseEventNotSynthesized);
    Send(QEvent::MouseButtonRelease, QPoint(w_ / 2, h_ / 2), Qt::NoButton, Qt::MouseEventNotSynthesized);
    EXPECT_NEAR(ScanParams.Range.load(), 50.0, 0.01);
}

TEST_F(ImageToolsOnSim, ScanFromHereUpAtTheTopStartsAtLineZeroGoingUp)
{
    int started = 0;
    TImageTools::StartScan = [&] { ++started; };
    child_->Tools().MenuAt(QPoint(10, 0));
    child_->Tools().ScanFromHere(false);
    EXPECT_EQ(ScanParams.CurrentLine.load(), 0);
    EXPECT_EQ(workers_->GoXYThread().Direction.load(), -1);
    EXPECT_EQ(started, 1);
    child_->Tools().MenuAt(QPoint(10, h_ / 2));
    child_->Tools().ScanFromHere(true);
    EXPECT_EQ(ScanParams.CurrentLine.load(), ScanParams.Pixels.load() / 2);
    EXPECT_EQ(workers_->GoXYThread().Direction.load(), 1);
    child_->Tools().ReverseScanDirection();
    EXPECT_EQ(workers_->GoXYThread().Direction.load(), -1);
    workers_->GoXYThread().Direction = 1;
}

TEST_F(ImageToolsOnSim, TheRulerMeasuresInScanUnitsAndShowsWhereItWasMeasured)
{
    TChildForm other(buffer_, 1);
    other.resize(256, 256);
    para_->ToolButtons()->SetUsedTool(ToolMeasure);
    TImageTools& t = child_->Tools();
    t.MouseDown(QPoint(0, h_ / 2), Qt::LeftButton, true);
    t.MouseMove(QPoint(w_ / 2, h_ / 2), true);
    // Dragged beyond the picture: the end stays on its edge.
    t.MouseUp(QPoint(w_ + 50, h_ / 2));
    EXPECT_NEAR(TImageTools::RulerLength(), 100.0, 1e-3);
    EXPECT_DOUBLE_EQ(TImageTools::RulerAngleNow(), 0.0);
    EXPECT_TRUE(t.RulerShown());
    EXPECT_FALSE(other.Tools().RulerShown()) << "only in the measured window";
    // Just measured: the ruler stays on the timer's tick; the boxes were not touched.
    t.Timer1Timer();
    EXPECT_TRUE(t.RulerShown());
    EXPECT_FLOAT_EQ(ScanParams.Range.load(), 100.0f);
    // A new measurement in another window takes the ruler there.
    other.Tools().MouseDown(QPoint(1, 1), Qt::LeftButton, true);
    other.Tools().MouseUp(QPoint(1, 1));
    EXPECT_FALSE(t.RulerShown());
    EXPECT_TRUE(other.Tools().RulerShown());
}

TEST_F(ImageToolsOnSim, KeysMoveTheWindowAndShiftZoomsTheNextDragOut)
{
    TImageTools& t = child_->Tools();
    const QPoint at = child_->pos();
    const int height = child_->height();
    EXPECT_TRUE(t.KeyDown(Qt::Key_Left, Qt::NoModifier));
    EXPECT_TRUE(t.KeyDown(Qt::Key_Down, Qt::NoModifier));
    EXPECT_EQ(child_->pos(), at + QPoint(-1, 1));
    EXPECT_TRUE(t.KeyDown(Qt::Key_Down, Qt::ShiftModifier));
    EXPECT_TRUE(t.KeyDown(Qt::Key_Right, Qt::ShiftModifier));
    EXPECT_EQ(child_->height(), height + 1);
    EXPECT_EQ(child_->pos(), at + QPoint(-1, 1));
    EXPECT_FALSE(t.KeyDown(Qt::Key_A, Qt::NoModifier)) << "the main window's";

    // Shift, then a drag over a quarter of the diagonal: out to twice the range, once.
    ini_->WriteString("ScanPara", "Edit3", "50");
    ASSERT_TRUE(para_->EnterText("Edit3", "50"));
    para_->ToolButtons()->SetUsedTool(ToolZoom);
    EXPECT_TRUE(t.KeyDown(Qt::Key_Shift, Qt::ShiftModifier));
    Drag(QPoint(w_ / 4, h_ / 4), QPoint(3 * w_ / 4, 3 * h_ / 4));
    EXPECT_NEAR(ScanParams.Range.load(), 100.0, 0.01);
    Drag(QPoint(w_ / 4, h_ / 4), QPoint(3 * w_ / 4, 3 * h_ / 4));
    EXPECT_NEAR(ScanParams.Range.load(), 50.0, 0.01);
}

TEST_F(ImageToolsOnSim, AfterAZoomTheRulerMeasuresTheSampleOnThePictureShown)
{
    // Two lines across the picture, 16 columns (50 nm) apart.
    const TImageMatrixPtr m = buffer_.Data();
    for (int r = 0; r < 32; ++r)
        for (int c = 0; c < 32; ++c)
            m->Store(r, c, c == 8 || c == 24 ? 1000 : 0);
    child_->ResizeImage();
    child_->RecalcPictureRange();
    // Where the picture shows the lines on a row, in panel pixels.
    const auto linesShown = [&] {
        const QImage image = child_->Image();
        const int row = image.height() / 2;
        int lo = 255;
        int hi = 0;
        for (int c = 0; c < image.width(); ++c) {
            lo = std::min(lo, image.pixelIndex(c, row));
            hi = std::max(hi, image.pixelIndex(c, row));
        }
        std::vector<double> centres;
        int runStart = -1;
        for (int c = 0; c <= image.width(); ++c) {
            const bool bright = c < image.width() && image.pixelIndex(c, row) > (lo + hi) / 2;
            if (bright && runStart < 0)
                runStart = c;
            if (!bright && runStart >= 0) {
                centres.push_back((runStart + c) / 2.0 * w_ / image.width());
                runStart = -1;
            }
        }
        return centres;
    };
    const auto measure = [&](double from, double to) {
        TImageTools& t = child_->Tools();
        t.MouseDown(QPoint(int(std::lround(from)), h_ / 2), Qt::LeftButton, true);
        t.MouseUp(QPoint(int(std::lround(to)), h_ / 2));
        return TImageTools::RulerLength();
    };
    para_->ToolButtons()->SetUsedTool(ToolMeasure);
    std::vector<double> lines = linesShown();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NEAR(measure(lines[0], lines[1]), 50.0, 100.0 / 32);

    // Zoomed in to 75 nm about the centre, before any new line arrives: the
    // picture is the old one stretched into the new frame.
    para_->ToolButtons()->SetUsedTool(ToolZoom);
    Drag(QPoint(w_ / 8, h_ / 8), QPoint(w_ * 7 / 8, h_ * 7 / 8));
    ASSERT_NEAR(ScanParams.Range.load(), 75.0, 0.5);
    para_->ToolButtons()->SetUsedTool(ToolMeasure);
    lines = linesShown();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NEAR(measure(lines[0], lines[1]), 50.0, 100.0 / 32);

    // Moved by a quarter of the panel: the lines move with the sample.
    para_->ToolButtons()->SetUsedTool(ToolMove);
    Drag(QPoint(w_ / 2, h_ / 2), QPoint(w_ / 2 + w_ / 4, h_ / 2));
    para_->ToolButtons()->SetUsedTool(ToolMeasure);
    const std::vector<double> moved = linesShown();
    ASSERT_FALSE(moved.empty());
    EXPECT_NEAR(moved[0], lines[0] + w_ / 4.0, 2.0 * w_ / 32);
    // What left the old frame is black: no line is drawn beyond it.
    const QImage image = child_->Image();
    EXPECT_EQ(image.pixelIndex(0, image.height() / 2), image.pixelIndex(1, image.height() / 2));
}
