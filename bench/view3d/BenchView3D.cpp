// Time to turn a 2048 × 2048 picture into the 3D view's surface (heights,
// colours, normals) and to draw that surface with Mesa's software renderer
// into an offscreen buffer of a typical window size. The surface is built
// off the window thread during a scan; the drawing is what the window
// thread itself still spends per new surface.

#include "images/ColorPalette.h"
#include "images/ImageRender.h"
#include "view3d/A3DMesh.h"
#include "view3d/A3DRenderer.h"
#include "view3d/A3DView.h"

#include "support/OffscreenGL.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

using namespace qvt;

namespace {

TIndexedBitmap Picture(int pixels)
{
    TIndexedBitmap picture(pixels, pixels, 0);
    uint32_t seed = 12345;
    for (int y = 0; y < pixels; ++y) {
        uint8_t* row = picture.Row(y);
        for (int x = 0; x < pixels; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double v = 128 + 60 * std::sin(x * 0.01) * std::sin(y * 0.013) + ((x + y / 3) / 300) * 8 +
                             static_cast<int>(seed >> 28);
            row[x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    }
    return picture;
}

TColorTable Grey()
{
    TColorTable table{};
    for (int i = 0; i < 256; ++i)
        table[static_cast<std::size_t>(i)] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                                              static_cast<uint8_t>(i)};
    return table;
}

void MeshBuild(benchmark::State& state)
{
    const TIndexedBitmap picture = Picture(static_cast<int>(state.range(0)));
    const TColorTable table = Grey();
    TA3DMesh mesh;
    for (auto _ : state) {
        mesh.Build(picture, 50, table);
        benchmark::DoNotOptimize(mesh.Positions().data());
    }
}
BENCHMARK(MeshBuild)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond);

void MeshDraw(benchmark::State& state)
{
    static test::OffscreenGL gl(600, 600);
    if (!gl.Ok()) {
        state.SkipWithError("no software OpenGL");
        return;
    }
    TA3DMesh mesh;
    mesh.Build(Picture(static_cast<int>(state.range(0))), 50, Grey());
    TA3DView view;
    view.RotierenX = 330.0;
    view.RotierenZ = 20.0;
    for (auto _ : state)
        benchmark::DoNotOptimize(gl.Draw(mesh, view));
}
BENCHMARK(MeshDraw)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
