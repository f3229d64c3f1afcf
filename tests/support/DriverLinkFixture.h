#pragma once
// A device window on a simulated controller in a temporary program folder:
// AppDir, MainIni and the driver name point there, the channel table and
// shared state are put back afterwards.
//
// The simulator is the judge of every test built on this fixture: a test
// fails when a simulator it plugged in recorded an output beyond its limits
// or a crash of the tip. A test that provokes either on purpose takes the
// records (TakeCrashes, TakeGuardViolations) and asserts on them.

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/DriverOpen.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "scan/DeviceWorkers.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace qvt::test {

class DriverLinkFixture : public ::testing::Test {
protected:
    // How far (Z digits) the default contact loop pushes the tip into the
    // sample: the setpoint of 400 input digits on a cantilever of stiffness 1.
    static constexpr double TrackingPush = 400.0;

    void SetUp() override
    {
        savedAppDir_ = AppDir;
        savedName_ = DeviceDriverName;
        savedIni_ = MainIni;
        savedTable_ = ChannelTable;
        savedMode_ = MicroscopeState.FeedbackMode.load();
        savedSets_ = MicroscopeState.FeedbackSets;
        savedScan_.Take();
        // Contact AFM with gains that track: Z follows the surface TrackingPush
        // digits into it, one tick behind at most (Ki' k / GainScale = 1).
        TFeedbackSet& contact = MicroscopeState.FeedbackSets[FeedbackSetIndex(3)];
        contact.Setpoint = static_cast<float>(TrackingPush);
        contact.Ki = static_cast<float>(sim::SimZLoop::GainScale);
        contact.Kp = 0.0f;
        contact.InputAddr = 0;
        AppDir = dir_.Path();
        ini_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        MainIni = ini_.get();
        DeviceDriverName = "SIM";
        // The limits a loaded table has by default, for tests that do not load it.
        for (int slot = 0; slot < DacCount; ++slot) {
            ChannelTable[slot].MinRaw = -32000;
            ChannelTable[slot].MaxRaw = 32000;
        }
    }

    void TearDown() override
    {
        for (const auto& sim : sims_)
            ExpectNothingHarmed(*sim);
        for (const QString& name : plugged_)
            UnplugDevice(name);
        ChannelTable = savedTable_;
        MicroscopeState.FeedbackMode = savedMode_;
        MicroscopeState.FeedbackSets = savedSets_;
        savedScan_.Restore();
        MainIni = savedIni_;
        DeviceDriverName = savedName_;
        AppDir = savedAppDir_;
    }

    // The workers go first (their threads joined), then the device window
    // closes the link.
    static void CloseDevice(std::unique_ptr<TDeviceWorkers>& workers, std::unique_ptr<TInOutForm>& form)
    {
        if (workers)
            workers->FormDestroy();
        workers.reset();
        if (form)
            form->FormDestroy();
        form.reset();
    }

    static sim::SimConfig FastConfig()
    {
        sim::SimConfig c;
        c.Clock = sim::ClockMode::Fast;
        c.LogRequests = true;
        c.LogCapacity = 100000;
        return c;
    }

    // A simulator answering to `name`, which also becomes the driver name.
    std::shared_ptr<sim::SimController> PlugSim(sim::SimConfig config, const QString& name = "SIM")
    {
        return PlugSimAs(std::move(config), name, [](std::shared_ptr<sim::SimController> simulator) {
            return std::shared_ptr<DeviceDriver>(std::move(simulator));
        });
    }

    // A simulator reached through a link of the test's own, `Link(simulator)`,
    // which answers to `name`; the simulator still judges the test.
    template <class Link>
    std::shared_ptr<sim::SimController> PlugSimThrough(sim::SimConfig config, const QString& name = "SIM")
    {
        return PlugSimAs(std::move(config), name, [](std::shared_ptr<sim::SimController> simulator) {
            return std::shared_ptr<DeviceDriver>(std::make_shared<Link>(std::move(simulator)));
        });
    }

    // The logged requests as (code, first input word); INT_MIN when there is none.
    static std::vector<std::pair<uint32_t, int32_t>> Traffic(const sim::SimController& sim)
    {
        std::vector<std::pair<uint32_t, int32_t>> t;
        for (const sim::SimRequest& r : sim.RequestLog())
            t.emplace_back(r.Code, r.InWords > 0 ? r.In[0] : INT_MIN);
        return t;
    }

    static int CountCode(const sim::SimController& sim, uint32_t code)
    {
        int n = 0;
        for (const sim::SimRequest& r : sim.RequestLog())
            n += r.Code == code;
        return n;
    }

    // The high-speed module's control word, as the logged requests applied
    // it, at each logged write to registers first..last; `control` is the
    // word before the log.
    static std::vector<int32_t> ModuleControlAtWrites(const sim::SimController& sim, int32_t control, int32_t first,
                                                      int32_t last)
    {
        std::vector<int32_t> at;
        for (const sim::SimRequest& r : sim.RequestLog()) {
            if (r.Code == IOCTL_READ_OSZI && (r.In[0] & HscApplyRequest) != 0)
                control = r.In[0] & ~HscApplyRequest;
            if (r.Code == IOCTL_WRITE_REG && r.In[0] >= first && r.In[0] <= last)
                at.push_back(control);
        }
        return at;
    }

    // The crashes recorded so far, which no longer fail the test.
    static std::vector<sim::SimCrash> TakeCrashes(sim::SimController& sim)
    {
        std::vector<sim::SimCrash> crashes = sim.Crashes();
        sim.ClearCrashes();
        return crashes;
    }

    // The guard's records so far, which no longer fail the test.
    static std::vector<sim::GuardViolation> TakeGuardViolations(sim::SimController& sim)
    {
        std::vector<sim::GuardViolation> violations = sim.GuardViolations();
        sim.ClearGuardViolations();
        return violations;
    }

    static void ExpectNothingHarmed(const sim::SimController& sim)
    {
        for (const sim::GuardViolation& v : sim.GuardViolations())
            ADD_FAILURE() << "output beyond its limits: register " << v.Register << " asked for " << v.Value
                          << ", limits " << v.Min << ".." << v.Max;
        EXPECT_EQ(sim.GuardViolationCount(), 0) << "outputs beyond their limits";
        for (const sim::SimCrash& c : sim.Crashes())
            ADD_FAILURE() << "tip crashed "
                          << (c.Cause == sim::SimCrashCause::Pushed ? "pushed into the sample"
                                                                    : "by a coarse step toward the sample")
                          << ": " << c.Depth << " digits deep at x " << c.X << ", y " << c.Y << ", Z " << c.Z;
        EXPECT_EQ(sim.CrashCount(), 0) << "crashes of the tip";
    }

    TempDir dir_;
    std::unique_ptr<TQVTIniFile> ini_;
    ScriptedMessageResponder boxes_;

private:
    std::shared_ptr<sim::SimController>
    PlugSimAs(sim::SimConfig config, const QString& name,
              const std::function<std::shared_ptr<DeviceDriver>(std::shared_ptr<sim::SimController>)>& link)
    {
        config.Usb = ClassifyDriverName(name).UsbBox == 1;
        // As when the program opens it: the guard knows the channel table's limits.
        config.ConfiguredLimits = ConfiguredDacLimits;
        auto simulator = std::make_shared<sim::SimController>(config);
        PlugInDevice(name, link(simulator));
        plugged_.push_back(name);
        sims_.push_back(simulator);
        DeviceDriverName = name;
        return simulator;
    }

    // The scan geometry, its progress and the scanner field a window under
    // test reads from its settings or its calibration: the next test starts
    // from the values the program started with.
    struct ScanParamsSnapshot {
        int16_t Pixels = 0, CurrentLine = 0;
        float Range = 0, Speed = 0, XCenter = 0, YCenter = 0, Angle = 0;
        bool LineScan = false;
        double LevelDxDz = 0, LevelDyDz = 0, OverScan = 0;
        int64_t LineTime = 0;
        int32_t LinesLeft = 0;
        TMaxScanRange MaxRange;
        void Take()
        {
            MaxRange = MaxScanRange;
            Pixels = ScanParams.Pixels, CurrentLine = ScanParams.CurrentLine;
            Range = ScanParams.Range, Speed = ScanParams.Speed;
            XCenter = ScanParams.XCenter, YCenter = ScanParams.YCenter, Angle = ScanParams.Angle;
            LineScan = ScanParams.LineScan;
            LevelDxDz = ScanParams.LevelDxDz, LevelDyDz = ScanParams.LevelDyDz, OverScan = ScanParams.OverScan;
            LineTime = ScanParams.LineTime, LinesLeft = ScanParams.LinesLeft;
        }
        void Restore() const
        {
            MaxScanRange = MaxRange;
            ScanParams.Pixels = Pixels, ScanParams.CurrentLine = CurrentLine;
            ScanParams.Range = Range, ScanParams.Speed = Speed;
            ScanParams.XCenter = XCenter, ScanParams.YCenter = YCenter, ScanParams.Angle = Angle;
            ScanParams.LineScan = LineScan;
            ScanParams.LevelDxDz = LevelDxDz, ScanParams.LevelDyDz = LevelDyDz, ScanParams.OverScan = OverScan;
            ScanParams.LineTime = LineTime, ScanParams.LinesLeft = LinesLeft;
        }
    };
    ScanParamsSnapshot savedScan_;
    QString savedAppDir_;
    QString savedName_;
    TQVTIniFile* savedIni_ = nullptr;
    TChannelTable savedTable_;
    int32_t savedMode_ = 0;
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    std::vector<QString> plugged_;
    std::vector<std::shared_ptr<sim::SimController>> sims_;
};

} // namespace qvt::test
