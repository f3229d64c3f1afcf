#pragma once
// A device window on a simulated controller in a temporary program folder:
// AppDir, MainIni and the driver name point there, the channel table and
// shared state are put back afterwards.

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/DriverOpen.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <utility>
#include <vector>

namespace qvt::test {

class DriverLinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAppDir_ = AppDir;
        savedName_ = DeviceDriverName;
        savedIni_ = MainIni;
        savedTable_ = ChannelTable;
        savedMode_ = MicroscopeState.FeedbackMode.load();
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
        for (const QString& name : plugged_)
            UnplugDevice(name);
        ChannelTable = savedTable_;
        MicroscopeState.FeedbackMode = savedMode_;
        MainIni = savedIni_;
        DeviceDriverName = savedName_;
        AppDir = savedAppDir_;
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
        config.Usb = ClassifyDriverName(name).UsbBox == 1;
        auto device = std::make_shared<sim::SimController>(config);
        PlugInDevice(name, device);
        plugged_.push_back(name);
        DeviceDriverName = name;
        return device;
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

    TempDir dir_;
    std::unique_ptr<TQVTIniFile> ini_;
    ScriptedMessageResponder boxes_;

private:
    QString savedAppDir_;
    QString savedName_;
    TQVTIniFile* savedIni_ = nullptr;
    TChannelTable savedTable_;
    int32_t savedMode_ = 0;
    std::vector<QString> plugged_;
};

} // namespace qvt::test
