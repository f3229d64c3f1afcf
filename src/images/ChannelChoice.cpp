#include "images/ChannelChoice.h"

#include "core/IniFile.h"
#include "device/ChannelTable.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"

#include <algorithm>

namespace qvt {

namespace {

const QString ScaleSection = QStringLiteral("Scale");
const QString WindowSectionKey = QStringLiteral("Window");
const QString InvisibleSection = QStringLiteral("WindowInvisible");
constexpr int NameLength = 20;    // TDaten.Name holds at most 20 characters
constexpr int BoxNameLength = 11; // "CheckBox" and three digits

// Past this the grid grows under its last row rather than by the row count.
constexpr int TallGridY = 200;

} // namespace

// ---- names and settings -------------------------------------------------------------------

QString BoxName(int slot, int plane)
{
    return QStringLiteral("CheckBox") + QString::number(100 * (plane + 1) + slot);
}

TBoxKey ParseBoxName(const QString& name)
{
    TBoxKey key;
    if (name.size() != BoxNameLength || !name.startsWith(QLatin1String("CheckBox")))
        return key;
    bool slotOk = false;
    const int slot = name.mid(9, 2).toInt(&slotOk);
    const QChar planeDigit = name.at(name.size() - 3);
    if (!slotOk || !planeDigit.isDigit() || !name.at(9).isDigit())
        return key;
    key.Slot = slot;
    key.Plane = planeDigit.digitValue() - 1;
    if (!key.Valid())
        return TBoxKey{};
    return key;
}

QString WindowSection(int slot, int plane)
{
    return ChannelName(slot) + "_" + QString::number(plane);
}

std::vector<TChoiceChannel> ReadChoiceChannels(const TQVTIniFile& mainIni)
{
    std::vector<TChoiceChannel> channels;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        const QString name = ChannelName(slot);
        if (!mainIni.ReadBool(ScaleSection, name + "CheckBox1", false))
            continue;
        TChoiceChannel c;
        c.Slot = slot;
        c.Fast = mainIni.ReadBool(ScaleSection, name + "CheckBoxFast", false);
        c.Label = mainIni.ReadString(ScaleSection, name + "Label2", name);
        if (c.Label.isEmpty())
            c.Label = name;
        channels.push_back(c);
    }
    return channels;
}

bool SavedBoxChecked(const TQVTIniFile& mainIni, int slot, int plane)
{
    return mainIni.ReadBool(WindowSectionKey, BoxName(slot, plane), false);
}

void SaveBoxChecked(TQVTIniFile& mainIni, int slot, int plane, bool checked)
{
    mainIni.WriteBool(WindowSectionKey, BoxName(slot, plane), checked);
}

bool ChannelInvisible(const TQVTIniFile& mainIni, int slot)
{
    return mainIni.ReadBool(InvisibleSection, ChannelName(slot), false);
}

// ---- geometry ---------------------------------------------------------------------------------

TGridLayout LayoutGrid(const std::vector<TChoiceChannel>& channels, int cancelButtonHeight)
{
    TGridLayout layout;
    int dacRows = 0;
    int adcRows = 0;
    for (const TChoiceChannel& c : channels) {
        const bool dac = c.Slot < FirstAdcSlot;
        int& used = dac ? dacRows : adcRows;
        layout.Rows.push_back({c.Slot, dac ? GridDacColumn : GridAdcColumn, GridRowHeight * used + GridRowHeight});
        ++used;
    }
    const int longest = std::max(dacRows, adcRows);
    layout.ClientHeight = longest <= 8 ? GridMinClientHeight : GridRowHeight * longest + 32;
    layout.CancelTop = layout.ClientHeight - 35;
    if (!layout.Rows.empty()) {
        const int lastY = layout.Rows.back().Y;
        if (lastY > TallGridY) {
            layout.ClientHeight = lastY + cancelButtonHeight + 15;
            layout.CancelTop = lastY + 10;
        }
    }
    return layout;
}

// ---- fast-scan rules ------------------------------------------------------------------------

TBoxState InitialBoxState(int plane, bool fastMode, bool channelFast, bool savedChecked)
{
    if (!fastMode)
        return {savedChecked, true};
    if (plane == PlaneFwd)
        return {savedChecked && channelFast, channelFast};
    return {false, false};
}

// ---- summary --------------------------------------------------------------------------------

TChoiceSummary Summarize(const std::vector<bool>& checked)
{
    TChoiceSummary s;
    for (size_t i = 0; i + PlaneFly < checked.size(); i += ImagePlaneCount) {
        s.AnyBackward = s.AnyBackward || checked[i + PlaneBwd];
        s.AnyFly = s.AnyFly || checked[i + PlaneFly];
    }
    s.TurnOnFirstForward = s.AnyFly && !checked.empty() && !checked.front();
    return s;
}

// ---- the device window's side ---------------------------------------------------------------

bool TDeviceAcquisition::PauseScan()
{
    return device_.PauseScan();
}

void TDeviceAcquisition::StartScan()
{
    device_.StartScan();
}

bool TDeviceAcquisition::HoldDisplay()
{
    return device_.ShowThread().Hold();
}

void TDeviceAcquisition::ReleaseDisplay()
{
    device_.ShowThread().Release();
}

TImageChannels& TDeviceAcquisition::Channels()
{
    return device_.GoXYThread().Channels;
}

IScanControl& TDeviceAcquisition::ScanControl()
{
    return device_.GoXYThread().ScanControl();
}

TShowThread* TDeviceAcquisition::DisplayThread()
{
    return &device_.ShowThread();
}

void TDeviceAcquisition::PublishSummary(const TChoiceSummary& summary)
{
    device_.GoXYThread().PublishChoiceSummary(summary.AnyBackward, summary.AnyFly);
}

// ---- switching ------------------------------------------------------------------------------

void TChannelSwitcher::Enter()
{
    if (depth_++ > 0)
        return;
    wasRunning_ = acquisition_.PauseScan();
    // A display thread that does not park in time cannot harm the buffers:
    // it never reads them, and every reader holds its own snapshot.
    acquisition_.HoldDisplay();
}

void TChannelSwitcher::Leave()
{
    if (--depth_ > 0)
        return;
    acquisition_.ReleaseDisplay();
    if (wasRunning_) {
        wasRunning_ = false;
        acquisition_.StartScan();
    }
}

bool TChannelSwitcher::SwitchOn(int slot, int plane, const QString& label,
                                const std::function<void(int index)>& openWindow)
{
    const int index = ImageChannelIndex(slot, plane);
    TImageChannels& channels = acquisition_.Channels();
    if (!IsValidSlot(slot) || !IsValidImageChannel(index) ||
        !GuardedAllocChannelBuffer(channels, acquisition_.ScanControl(), index))
        return false;
    TDaten& buffer = channels[index];
    buffer.Suffix = PlaneSuffix(plane);
    buffer.Name = label.left(NameLength);
    if (openWindow)
        openWindow(index);
    return true;
}

bool TChannelSwitcher::SwitchOff(int slot, int plane, const std::function<void(int index)>& closeWindows)
{
    const int index = ImageChannelIndex(slot, plane);
    if (!IsValidSlot(slot) || !IsValidImageChannel(index))
        return false;
    if (!GuardedFreeChannelBuffer(acquisition_.Channels(), acquisition_.ScanControl(), index))
        return false;
    if (closeWindows)
        closeWindows(index);
    return true;
}

} // namespace qvt
