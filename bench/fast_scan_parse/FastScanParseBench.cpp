// The fast scan's stream parser: words per second through markers, groups
// and the checked stores into the image buffers, read by read as the driver
// hands them over.

#include "scan/FastScan.h"
#include "scan/ImageBuffers.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

void BM_ParseStream(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    const int pixels = 512;
    const int groups = 2 * pixels + 51; // 5 % overscan each way
    const int turn = 1;
    std::vector<std::unique_ptr<qvt::TImageMatrix>> matrices;
    qvt::TFastStreamParser parser;
    qvt::TFastStreamParser::TConfig c;
    c.Pixels = pixels;
    c.ChannelCount = channels;
    c.TurnLines = turn;
    c.StartPixel = -3;
    parser.Configure(c);
    for (int i = 0; i < channels; ++i) {
        matrices.push_back(std::make_unique<qvt::TImageMatrix>(pixels, pixels));
        parser.SetTarget(i, matrices.back().get());
    }
    // A whole up-and-down frame pair of stream words.
    std::vector<int32_t> words;
    for (int dir = 0; dir < 2; ++dir) {
        for (int l = 0; l < pixels + 2 * turn + 1; ++l) {
            words.push_back(dir ? 0x10D : 0x0D);
            for (int g = 0; g < groups; ++g)
                for (int ch = 0; ch < channels; ++ch)
                    words.push_back((g * 7 + ch + l) << 8);
        }
    }
    std::vector<uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    const size_t read = qvt::FastReadBytes;
    int64_t total = 0;
    for (auto _ : state) {
        parser.BeginFrame();
        for (size_t from = 0; from < bytes.size(); from += read) {
            bool ended = false;
            const size_t n = std::min(read, bytes.size() - from);
            parser.FeedBytes(bytes.data() + from, n, ended);
            while (parser.HasPending()) {
                parser.BeginFrame();
                parser.FeedBytes(nullptr, 0, ended);
            }
        }
        total += static_cast<int64_t>(words.size());
        benchmark::DoNotOptimize(matrices[0]->At(1, 1));
    }
    state.SetItemsProcessed(total);
}

} // namespace

BENCHMARK(BM_ParseStream)->Arg(1)->Arg(4)->Arg(14);

BENCHMARK_MAIN();
