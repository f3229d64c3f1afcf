// The 3D view drawn by Mesa's software renderer into an offscreen buffer:
// an EGL context without any window system, so it runs wherever the tests do.

#include "view3d/A3DForm.h"
#include "view3d/A3DRenderer.h"

#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/ChildForm.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "support/DriverLinkFixture.h"
#include "support/OffscreenGL.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QSet>

#include <gtest/gtest.h>

#include <memory>

using namespace qvt;
using qvt::test::OffscreenGL;
using qvt::test::PumpUntil;

namespace {

bool IsColor(QRgb pixel, int r, int g, int b)
{
    return std::abs(qRed(pixel) - r) <= 2 && std::abs(qGreen(pixel) - g) <= 2 && std::abs(qBlue(pixel) - b) <= 2;
}

// A grating of four lines across the frame, scanned on the simulator in
// contact, shown in an image window and handed to the 3D view.
class A3DRenderTest : public test::DriverLinkFixture {
protected:
    void TearDown() override
    {
        if (scan_)
            scan_->Terminate();
        {
            // Its surface thread ends with the view, waiting or not.
            const test::HangWatch watch("closing the 3D view", 10000);
            view_.reset();
        }
        window_.reset();
        scan_.reset();
        CloseDevice(workers_, form_);
        DriverLinkFixture::TearDown();
    }

    void ScanGrating()
    {
        sim::SimConfig config = FastConfig();
        config.Surface.Base = 5000.0;
        config.Surface.GratingHeight = 3000.0;
        config.Surface.GratingPeriod = 1600.0;
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        params_.Pixels = 64;
        params_.Range = 6400.0f;
        params_.Speed = 100.0f;
        params_.CurrentLine = 1;
        scan_ = std::make_unique<TGoXYThread>(*form_, workers_->Moves(), params_);
        QObject::connect(scan_.get(), &TGoXYThread::scanStopped, [this] { ++stopped_; });
        TDaten& z = scan_->Channels[ImageChannelIndex(SlotZ, PlaneFwd)];
        ASSERT_TRUE(z.AllocBuffers(64, 64));
        z.Name = "Topography";
        ASSERT_TRUE(scan_->StartScan());
        ASSERT_TRUE(PumpUntil([this] { return scan_->Suspended() && stopped_ > 0; }));

        window_ = std::make_unique<TChildForm>(z, ImageChannelIndex(SlotZ, PlaneFwd));
        window_->setWindowTitle("Topography Fwd");
        window_->ResizeImage();
        window_->RecalcPictureRange();
        box_.setChecked(true);
        window_->CheckBox = &box_;
        ini_->WriteInteger("A3D", "Channel", ImageChannelIndex(SlotZ, PlaneFwd));
        view_ = std::make_unique<TA3DForm>();
        view_->FormCreate();
        view_->ImageWindows = [this] { return QList<TChildForm*>{window_.get()}; };
        view_->FillChannelList();
    }

    TScanParams params_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TGoXYThread> scan_;
    std::unique_ptr<TChildForm> window_;
    std::unique_ptr<TA3DForm> view_;
    QCheckBox box_;
    int stopped_ = 0;
};

} // namespace

TEST_F(A3DRenderTest, AScannedGratingIsDrawnAsALitColouredSurfaceOnTheBackground)
{
    ScanGrating();
    ASSERT_EQ(view_->Source(), window_.get());
    ASSERT_TRUE(PumpUntil([this] { return view_->SurfaceSettled(); }));
    const TA3DMesh& mesh = view_->Mesh();
    ASSERT_EQ(mesh.Size(), 64);
    // The grating's lines stand out of the mesh: a row crosses high and low ground.
    float low = 1e9f, high = -1e9f;
    for (int j = 0; j < 64; ++j) {
        low = std::min(low, mesh.Height(32, j));
        high = std::max(high, mesh.Height(32, j));
    }
    EXPECT_GT(high - low, 20.0f);

    OffscreenGL gl(320, 320);
    ASSERT_TRUE(gl.Ok()) << "no software OpenGL (Mesa's EGL and llvmpipe)";
    TA3DView look = view_->View();
    look.RotierenX = 330.0;
    look.RotierenZ = 20.0;
    const QImage shot = gl.Draw(mesh, look);
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/A3DViewOfScan.png"));

    // The white background around, the surface in the middle in many shades.
    EXPECT_TRUE(IsColor(shot.pixel(2, 2), 255, 255, 255));
    EXPECT_TRUE(IsColor(shot.pixel(317, 317), 255, 255, 255));
    QSet<QRgb> shades;
    int covered = 0;
    for (int y = 100; y < 220; ++y) {
        for (int x = 100; x < 220; ++x) {
            const QRgb p = shot.pixel(x, y);
            covered += !IsColor(p, 255, 255, 255);
            shades.insert(p);
        }
    }
    EXPECT_GT(covered, 120 * 120 * 9 / 10);
    EXPECT_GT(shades.size(), 50);

    // The background colour is the platform's 0x00BBGGRR; no surface, only it.
    look.BGColor = 0x0000FF; // red
    const QImage empty = gl.Draw(TA3DMesh(), look);
    EXPECT_TRUE(IsColor(empty.pixel(160, 160), 255, 0, 0));
}
