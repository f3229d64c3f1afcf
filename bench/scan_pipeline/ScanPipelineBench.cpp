// Pixels per second through the whole acquisition path: the scan thread, the
// line acquisition, the request records, the simulated controller running as
// fast as it can and the stores into the image buffers, for 1, 8 and 32 open
// channels at 512 × 512.
//
// us_per_pixel is the time the program itself adds per pixel: wall time less
// the time spent inside the controller's requests, which a timing wrapper
// around the simulator measures. The controller's sample clock gives one
// pixel 25.6 µs; the program's share has to stay a small fraction of that.
// total_us_per_pixel is the wall time per pixel, simulator included.

#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/DriverOpen.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "sim/SimController.h"

#include <QApplication>
#include <QCoreApplication>
#include <QThread>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>

using namespace qvt;

namespace {

constexpr int Pixels = 512;
// One clock tick per pixel (MoveSteps 1) and 100 digits per pixel.
constexpr float Speed = 38.0f;
constexpr float Range = Pixels * 100.0f;

// Passes every request to the simulator and adds up the time spent there.
class TimedDriver final : public DeviceDriver {
public:
    explicit TimedDriver(std::shared_ptr<sim::SimController> sim) : sim_(std::move(sim)) {}

    bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned) override
    {
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = sim_->Control(code, in, inSize, out, outSize, returned);
        inside_.fetch_add((std::chrono::steady_clock::now() - t0).count(), std::memory_order_relaxed);
        return ok;
    }
    size_t BulkRead(void* buffer, size_t size, int timeoutMs) override
    {
        return sim_->BulkRead(buffer, size, timeoutMs);
    }
    ManualResetEvent& GoXYWaitEvent() override { return sim_->GoXYWaitEvent(); }

    double InsideSeconds() const { return inside_.load() * 1e-9; }
    void ResetTime() { inside_ = 0; }

private:
    std::shared_ptr<sim::SimController> sim_;
    std::atomic<int64_t> inside_{0};
};

void BM_ScanPipeline(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    ScriptedMessageResponder boxes; // "Too many open data channels!" at 32 is answered, not shown

    sim::SimConfig config;
    config.Clock = sim::ClockMode::Fast;
    config.Surface.Base = 1000.0;
    config.Surface.TiltX = 0.01;
    auto driver = std::make_shared<TimedDriver>(std::make_shared<sim::SimController>(config));
    const QString name = QStringLiteral("SIMBENCH");
    PlugInDevice(name, driver);
    DeviceDriverName = name;
    MainIni = nullptr;
    // The limits and addresses a loaded scale table gives by default.
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        TIOScale& scale = ChannelTable[slot];
        scale.Factor = 1.0f;
        scale.MinRaw = slot < DacCount ? -32000 : 0;
        scale.MaxRaw = slot < DacCount ? 32000 : 0;
        scale.Address = slot < DacCount ? -slot : (slot - FirstAdcSlot) % 8 + 1;
    }

    TScanParams params;
    params.Pixels = Pixels;
    params.Range = Range;
    params.Speed = Speed;
    {
        TInOutForm form;
        form.FormCreate();
        TDeviceWorkers workers(form);
        TGoXYThread scan(form, workers.Moves(), params);
        // Z and then the inputs, forward only.
        for (int i = 0; i < channels; ++i) {
            const int slot = i == 0 ? SlotZ : FirstAdcSlot + i - 1;
            scan.Channels[ImageChannelIndex(slot, PlaneFwd)].AllocBuffers(Pixels, Pixels);
        }

        double wall = 0;
        double inside = 0;
        for (auto _ : state) {
            params.CurrentLine = 1;
            driver->ResetTime();
            const auto t0 = std::chrono::steady_clock::now();
            if (!scan.StartScan()) {
                state.SkipWithError("scan refused");
                break;
            }
            while (!scan.Suspended() || scan.Running) {
                QCoreApplication::processEvents();
                QThread::usleep(200);
            }
            QCoreApplication::processEvents();
            wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            inside += driver->InsideSeconds();
        }
        const double pixels = static_cast<double>(state.iterations()) * Pixels * Pixels;
        state.SetItemsProcessed(static_cast<int64_t>(pixels));
        state.counters["us_per_pixel"] = (wall - inside) / pixels * 1e6;
        state.counters["total_us_per_pixel"] = wall / pixels * 1e6;
        scan.Terminate();
        form.FormDestroy();
    }
    UnplugDevice(name);
}

BENCHMARK(BM_ScanPipeline)->Arg(1)->Arg(8)->Arg(32)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
