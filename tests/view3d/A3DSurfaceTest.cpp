#include "view3d/A3DMesh.h"
#include "view3d/A3DView.h"

#include "core/IniFile.h"
#include "images/ColorPalette.h"
#include "images/ImageRender.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace qvt;

namespace {

TIndexedBitmap Picture(int width, int height, const std::function<int(int row, int col)>& index)
{
    TIndexedBitmap b(width, height, 0);
    for (int i = 0; i < height; ++i)
        for (int j = 0; j < width; ++j)
            b.Row(i)[j] = static_cast<uint8_t>(index(i, j));
    return b;
}

TColorTable GreyRamp()
{
    TColorTable t;
    for (int k = 0; k < PaletteSize; ++k)
        // Red and green rise, blue falls (the entry holds blue first).
        t[static_cast<std::size_t>(k)] = {static_cast<uint8_t>(255 - k), static_cast<uint8_t>(k),
                                          static_cast<uint8_t>(k), 0};
    return t;
}

void ExpectNormal(const TA3DMesh& mesh, int i, int j, double x, double y, double z)
{
    const auto n = mesh.Normal(i, j);
    EXPECT_NEAR(n[0], x, 1e-5) << "at " << i << "," << j;
    EXPECT_NEAR(n[1], y, 1e-5) << "at " << i << "," << j;
    EXPECT_NEAR(n[2], z, 1e-5) << "at " << i << "," << j;
}

} // namespace

TEST(A3DSurface, AFlatPictureIsAPlaneWithVerticalNormalsUpToItsBorders)
{
    const TIndexedBitmap flat = Picture(6, 6, [](int, int) { return 128; });
    TA3DView view;
    for (const auto& [position, gain] : {std::pair{99, 1}, std::pair{0, 100}, std::pair{50, 50}}) {
        view.ScrollBarPos = position;
        ASSERT_EQ(view.Gain(), gain);
        TA3DMesh mesh;
        mesh.Build(flat, view.Gain(), GreyRamp());
        ASSERT_EQ(mesh.Size(), 6);
        EXPECT_FLOAT_EQ(mesh.Height(2, 3), gain / 256.0f * 128.0f);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j)
                ExpectNormal(mesh, i, j, 0, 0, -1);
        // Index 128 of 256 is half way up the 101 colours: palette entry round(127.5).
        const auto c = mesh.Color(0, 5);
        EXPECT_FLOAT_EQ(c[0], 128 / 255.0f);
        EXPECT_FLOAT_EQ(c[2], 127 / 255.0f);
    }
}

TEST(A3DSurface, ATiltedPlaneHasOneNormalEverywhereEdgesAndCornersIncluded)
{
    // Rising by 2 indexes per column: slope a = 100 / 256 × 2 per grid step.
    TA3DMesh mesh;
    mesh.Build(Picture(7, 7, [](int, int j) { return 2 * j; }), 100, GreyRamp());
    const double a = 100.0 / 256.0 * 2.0;
    const double len = std::sqrt(a * a + 1.0);
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 7; ++j)
            ExpectNormal(mesh, i, j, a / len, 0, -1 / len);
}

TEST(A3DSurface, ABumpTiltsTheNormalsAroundItSymmetrically)
{
    TA3DMesh mesh;
    mesh.Build(Picture(9, 9, [](int i, int j) { return i == 4 && j == 4 ? 255 : 0; }), 100, GreyRamp());
    ExpectNormal(mesh, 4, 4, 0, 0, -1);
    const auto left = mesh.Normal(4, 3), right = mesh.Normal(4, 5);
    const auto below = mesh.Normal(3, 4), above = mesh.Normal(5, 4);
    EXPECT_GT(left[0], 0.1f); // the surface climbs to the peak
    EXPECT_NEAR(left[0], -right[0], 1e-6);
    EXPECT_NEAR(left[1], -right[1], 1e-6);
    EXPECT_GT(below[1], 0.1f);
    EXPECT_NEAR(below[1], -above[1], 1e-6);
    ExpectNormal(mesh, 0, 0, 0, 0, -1);
    ExpectNormal(mesh, 8, 8, 0, 0, -1);
    // The peak takes the top colour, the floor the first.
    EXPECT_FLOAT_EQ(mesh.Color(4, 4)[0], 255 / 255.0f);
    EXPECT_FLOAT_EQ(mesh.Color(0, 0)[0], 0.0f);
    for (float v : mesh.Normals())
        ASSERT_TRUE(std::isfinite(v));
}

TEST(A3DSurface, PicturesTooSmallOrNarrowerThanHighStayInsideTheirRows)
{
    TA3DMesh mesh;
    mesh.Build(Picture(4, 10, [](int i, int) { return i; }), 50, GreyRamp());
    EXPECT_EQ(mesh.Size(), 4);
    mesh.Build(TIndexedBitmap(), 50, GreyRamp());
    EXPECT_TRUE(mesh.Empty());
    EXPECT_EQ(mesh.StripCount(), 0);
    mesh.Build(Picture(2, 2, [](int, int) { return 9; }), 50, GreyRamp());
    EXPECT_TRUE(mesh.Empty());
}

TEST(A3DView, DragsTurnShiftAndZoomWithinTheirLimits)
{
    TA3DView v;
    // Ctrl drags shift; far to the right X stops at 500, Y runs the other way.
    v.MouseDown(true, false, true, true, {0, 0});
    EXPECT_EQ(v.Mode, A3DMouseMode::Shift); // Ctrl wins over Shift
    EXPECT_TRUE(v.MouseMove({3000, 3}));
    EXPECT_EQ(v.VerschiebenX, 500);
    EXPECT_EQ(v.VerschiebenY, -2);
    v.MouseUp();
    EXPECT_FALSE(v.MouseMove({0, 0}));

    // Shift drags zoom; the wheel stops at 24 and -1000.
    v.MouseDown(true, false, true, false, {0, 0});
    v.MouseMove({0, -100});
    EXPECT_EQ(v.VerschiebenZ, -400);
    v.MouseUp();
    v.Wheel(100000);
    EXPECT_EQ(v.VerschiebenZ, 24);
    v.Wheel(-120);
    EXPECT_EQ(v.VerschiebenZ, 12);
    v.Wheel(-100000);
    EXPECT_EQ(v.VerschiebenZ, -1000);

    // Turning by 400 degrees in steps leaves 40; seen from above a drag to
    // the right turns the other way round z.
    v.MouseDown(true, false, false, false, {0, 0});
    ASSERT_EQ(v.Mode, A3DMouseMode::Rotate);
    for (int y = 10; y <= 4000; y += 10)
        v.MouseMove({0, y});
    EXPECT_NEAR(v.RotierenX, 40.0, 1e-9);
    v.MouseMove({100, 4000});
    EXPECT_NEAR(v.RotierenZ, 350.0, 1e-9);
    v.MouseUp();
}

TEST(A3DView, KeepsItsKeysAndReadsThePlatformColourOrder)
{
    const TA3DRgb rgb = BGColorToRgb(0x123456);
    EXPECT_EQ(rgb.R, 0x56);
    EXPECT_EQ(rgb.G, 0x34);
    EXPECT_EQ(rgb.B, 0x12);
    EXPECT_EQ(RgbToBGColor(0x56, 0x34, 0x12), 0x123456);

    // A hand-edited view out of bounds comes back inside them.
    test::TempDir dir;
    TQVTIniFile ini(dir.Path() + "main.ini");
    ini.WriteInteger("A3D", "VerschiebenZ", 5000);
    TA3DView back;
    back.Read(ini);
    EXPECT_EQ(back.VerschiebenZ, 24);
}
