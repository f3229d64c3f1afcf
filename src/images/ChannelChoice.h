#pragma once
// What the "Acquire" window decides, apart from its widgets: the names of
// its boxes and what they stand for, where the grid puts them, which boxes a
// fast scan allows, the two summary flags the scan reads, and the sequence
// that switches one channel plane on or off while a scan may be running.
//
// Switching a channel changes a buffer the scan thread writes and the image
// windows read, so it runs with the scan paused and the display thread held.
// TChannelSwitcher keeps that pause for as long as any switch (or a whole
// grid rebuild) is under way, and ends it on every path: whatever failed,
// the display thread is released and a scan that was running runs again.

#include "scan/ImageBuffers.h"

#include <QString>

#include <functional>
#include <vector>

namespace qvt {

class TDeviceWorkers;
class TQVTIniFile;
class TShowThread;

// ---- box names and settings keys --------------------------------------------------------

// "CheckBox" + (100 × (plane + 1) + slot): the forward box of slot 5 is
// CheckBox105, the lift box of slot 27 is CheckBox327.
QString BoxName(int slot, int plane);

struct TBoxKey {
    int Slot = -1;
    int Plane = -1;
    bool Valid() const { return IsValidSlot(Slot) && Plane >= 0 && Plane < ImagePlaneCount; }
    int BufferIndex() const { return ImageChannelIndex(Slot, Plane); }
};
// Slot from the 10th and 11th characters of the name, plane from the third
// character from the end, less one. Anything that is not a box name gives an
// invalid key.
TBoxKey ParseBoxName(const QString& name);

// UserIni section of an image window: channel name + "_" + plane ("ADC1_0").
QString WindowSection(int slot, int plane);

// One listed channel of [Scale] as the grid shows it.
struct TChoiceChannel {
    int Slot = 0;
    bool Fast = false; // usable in the fast scan
    QString Label;     // the channel name when no label is set
};
// The channels with [Scale] name + "CheckBox1" set, in slot order.
std::vector<TChoiceChannel> ReadChoiceChannels(const TQVTIniFile& mainIni);
// [Window] box name: the box was checked when the program last ran.
bool SavedBoxChecked(const TQVTIniFile& mainIni, int slot, int plane);
void SaveBoxChecked(TQVTIniFile& mainIni, int slot, int plane, bool checked);
// [WindowInvisible] channel name: acquired without a visible window.
bool ChannelInvisible(const TQVTIniFile& mainIni, int slot);

// ---- grid geometry ------------------------------------------------------------------------

constexpr int GridBoxWidth = 17;
constexpr int GridRowHeight = 16;
constexpr int GridDacColumn = 20;
constexpr int GridAdcColumn = 150;
constexpr int GridMinClientHeight = 170;

struct TGridRow {
    int Slot = 0;
    int X = 0; // forward box; backward at X + 17, lift at X + 34, label at X + 51
    int Y = 0;
};
struct TGridLayout {
    std::vector<TGridRow> Rows; // in slot order, one per listed channel
    int ClientHeight = GridMinClientHeight;
    int CancelTop = GridMinClientHeight - 35;
};
// Outputs in the left column, inputs in the right, one row of 16 pixels each.
TGridLayout LayoutGrid(const std::vector<TChoiceChannel>& channels, int cancelButtonHeight);

// ---- fast-scan rules ----------------------------------------------------------------------

struct TBoxState {
    bool Checked = false;
    bool Enabled = true;
};
// In fast mode only forward boxes of fast-capable channels may be on; the
// other boxes are off and disabled, so their saved choice waits for the
// normal scan.
TBoxState InitialBoxState(int plane, bool fastMode, bool channelFast, bool savedChecked);

// ---- summary ------------------------------------------------------------------------------

struct TChoiceSummary {
    bool AnyBackward = false;
    bool AnyFly = false;
    // The lift pass follows the recorded forward pass: with a lift box on,
    // the first box of the grid must be on too.
    bool TurnOnFirstForward = false;
};
// `checked` holds the grid's boxes in order, three per listed channel
// (forward, backward, lift).
TChoiceSummary Summarize(const std::vector<bool>& checked);

// ---- switching a channel ------------------------------------------------------------------

// What switching needs from the acquisition side.
class IChannelAcquisition {
public:
    virtual ~IChannelAcquisition() = default;
    // True when a scan was running; it has stopped (or failed to) on return.
    virtual bool PauseScan() = 0;
    virtual void StartScan() = 0;
    // Waits until the display thread is parked; false when it did not park in time.
    virtual bool HoldDisplay() = 0;
    virtual void ReleaseDisplay() = 0;
    virtual TImageChannels& Channels() = 0;
    virtual IScanControl& ScanControl() = 0;
    // The display thread the image windows listen to (may be null).
    virtual TShowThread* DisplayThread() { return nullptr; }
    // The scan threads read the summary flags.
    virtual void PublishSummary(const TChoiceSummary& summary) { (void)summary; }
};

// The device window's scan, display thread and buffers.
class TDeviceAcquisition final : public IChannelAcquisition {
public:
    explicit TDeviceAcquisition(TDeviceWorkers& device) : device_(device) {}
    bool PauseScan() override;
    void StartScan() override;
    bool HoldDisplay() override;
    void ReleaseDisplay() override;
    TImageChannels& Channels() override;
    IScanControl& ScanControl() override;
    TShowThread* DisplayThread() override;
    void PublishSummary(const TChoiceSummary& summary) override;

private:
    TDeviceWorkers& device_;
};

class TChannelSwitcher {
public:
    explicit TChannelSwitcher(IChannelAcquisition& acquisition) : acquisition_(acquisition) {}
    TChannelSwitcher(const TChannelSwitcher&) = delete;
    TChannelSwitcher& operator=(const TChannelSwitcher&) = delete;

    // Scan paused and display thread held for the life of the object. Only
    // the outermost pause pauses and resumes; the ones inside share it.
    class TPause {
    public:
        explicit TPause(TChannelSwitcher& switcher) : switcher_(switcher) { switcher_.Enter(); }
        ~TPause() { switcher_.Leave(); }
        TPause(const TPause&) = delete;
        TPause& operator=(const TPause&) = delete;

    private:
        TChannelSwitcher& switcher_;
    };

    // Allocates the buffer of slot/plane (refused while the scan still runs,
    // or without memory; the operator is told), names it after `label` and
    // the plane, and runs `openWindow` with its index. False when refused.
    // Call inside a TPause.
    bool SwitchOn(int slot, int plane, const QString& label, const std::function<void(int index)>& openWindow);
    // Frees the buffer and, once it is gone, runs `closeWindows` with its
    // index. False when the scan would not pause (the buffer stays).
    bool SwitchOff(int slot, int plane, const std::function<void(int index)>& closeWindows);

    IChannelAcquisition& Acquisition() { return acquisition_; }
    bool Paused() const { return depth_ > 0; }
    bool ScanWasRunning() const { return wasRunning_; }

private:
    void Enter();
    void Leave();

    IChannelAcquisition& acquisition_;
    int depth_ = 0;
    bool wasRunning_ = false;
};

} // namespace qvt
