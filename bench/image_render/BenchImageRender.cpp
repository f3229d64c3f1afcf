// Time to turn a 2048 × 2048 channel buffer into display indexes: a full
// redraw in each gain mode with line or plane levelling, the repaint of new
// lines, and the whole-picture recalculation at the end of a frame. The
// display timer ticks every 100 ms and up to eight windows may be open; a
// full redraw of one window should take at most 5 ms. Large pictures are
// drawn by several threads: on a busy machine the figures grow with the load.

#include "images/ImageRender.h"
#include "scan/ImageBuffers.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

using namespace qvt;

namespace {

constexpr int Pixels = 2048;

// A tilted surface with terraces, a grating and noise, in raw digits, like
// a topography channel of the simulated controller.
const TImageMatrix& Picture()
{
    static const std::unique_ptr<TImageMatrix> matrix = [] {
        auto m = std::make_unique<TImageMatrix>(Pixels, Pixels);
        uint32_t seed = 12345;
        for (int y = 0; y < Pixels; ++y) {
            for (int x = 0; x < Pixels; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const double noise = static_cast<int>(seed >> 24) - 128;
                const double tilt = 3.0 * x - 2.0 * y;
                const double terraces = 800.0 * ((x + y / 3) / 400);
                const double grating = 300.0 * std::sin(x * 0.05) * std::sin(y * 0.05);
                m->Store(y, x, static_cast<int32_t>(tilt + terraces + grating + noise));
            }
        }
        return m;
    }();
    return *matrix;
}

// A renderer past its first frame, so "Last Picture" uses stored ranges.
std::unique_ptr<TImageRenderer> Prepared(int gain, int slope)
{
    auto r = std::make_unique<TImageRenderer>(Pixels, Pixels);
    r->GainMode = gain;
    r->SlopeMode = slope;
    r->RecalcPictureRange(Picture(), 0);
    if (gain == GainManual)
        r->InitManualRange();
    return r;
}

void FullRedraw(benchmark::State& state, int gain, int slope)
{
    const TImageMatrix& m = Picture();
    auto r = Prepared(gain, slope);
    for (auto _ : state) {
        r->DrawLines(m, 1, Pixels);
        benchmark::DoNotOptimize(r->Bitmap().Bits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(Pixels) * Pixels);
}

// One line, as drawn when it is the only new one.
void NewLine(benchmark::State& state, int gain, int slope)
{
    const TImageMatrix& m = Picture();
    auto r = Prepared(gain, slope);
    for (auto _ : state) {
        r->DrawLines(m, Pixels / 2, Pixels / 2);
        benchmark::DoNotOptimize(r->Bitmap().Bits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(Pixels));
}

// The first repaint of a frame in its middle: every line from the frame's
// start to the line just finished. Frames starting at line 1 and 2 take
// turns, so each repaint meets a frame it has not drawn.
void NewLinesHalfFrame(benchmark::State& state, int gain, int slope)
{
    const TImageMatrix& m = Picture();
    auto r = Prepared(gain, slope);
    int first = 1;
    for (auto _ : state) {
        r->DrawNewLines(m, Pixels / 2, first);
        first = 3 - first;
        benchmark::DoNotOptimize(r->Bitmap().Bits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(Pixels / 2) * Pixels);
}

// The repaint of a running frame after one more line, half-way down: the
// "Current Picture" slope fits its plane over the frame again and draws it
// whole; the other modes draw the new line and the one before it.
void RunningFrame(benchmark::State& state, int gain, int slope)
{
    const TImageMatrix& m = Picture();
    auto r = Prepared(gain, slope);
    constexpr int start = Pixels / 2;
    int line = start;
    r->DrawNewLines(m, line, 1);
    for (auto _ : state) {
        line = line < Pixels ? line + 1 : start;
        r->DrawNewLines(m, line, 1);
        benchmark::DoNotOptimize(r->Bitmap().Bits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(Pixels));
}

void Recalc(benchmark::State& state, int gain, int slope)
{
    const TImageMatrix& m = Picture();
    auto r = Prepared(gain, slope);
    for (auto _ : state) {
        r->RecalcPictureRange(m, Pixels);
        benchmark::DoNotOptimize(r->Bitmap().Bits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(Pixels) * Pixels);
}

const char* const GainNames[] = {"EveryLine", "LastPicture", "CurrentPicture", "Manual"};
const char* const SlopeNames[] = {"None", "EveryLine", "LastPicture", "CurrentPicture"};

std::string Name(const char* bench, int gain, int slope)
{
    return std::string(bench) + "/gain=" + GainNames[gain] + "/slope=" + SlopeNames[slope];
}

using BenchFn = void (*)(benchmark::State&, int, int);

benchmark::internal::Benchmark* Add(const char* bench, BenchFn fn, int gain, int slope)
{
    return benchmark::RegisterBenchmark(Name(bench, gain, slope).c_str(),
                                        [fn, gain, slope](benchmark::State& state) { fn(state, gain, slope); });
}

void Register()
{
    Picture(); // made once, before any timing
    for (int slope : {int(SlopeEveryLine), int(SlopeCurrentPicture)}) {
        for (int gain = GainEveryLine; gain <= GainManual; ++gain) {
            Add("BM_FullRedraw", FullRedraw, gain, slope)->Unit(benchmark::kMillisecond);
            Add("BM_NewLine", NewLine, gain, slope)->Unit(benchmark::kMicrosecond);
            Add("BM_NewLine/HalfFrame", NewLinesHalfFrame, gain, slope)->Unit(benchmark::kMillisecond);
            Add("BM_NewLine/RunningFrame", RunningFrame, gain, slope)->Unit(benchmark::kMicrosecond);
        }
    }
    Add("BM_RecalcPictureRange", Recalc, GainEveryLine, SlopeNone)->Unit(benchmark::kMillisecond);
    Add("BM_RecalcPictureRange", Recalc, GainCurrentPicture, SlopeCurrentPicture)->Unit(benchmark::kMillisecond);
    Add("BM_RecalcPictureRange", Recalc, GainManual, SlopeEveryLine)->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
