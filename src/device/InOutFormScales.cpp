// TInOutForm: the channel scales (loading, Z range, physical reads and DAC writes).

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/FeedbackRecord.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"

namespace qvt {

bool TInOutForm::ReadScales()
{
    bool ok = MainIni != nullptr;
    if (MainIni) {
        // Every bad channel is named; the others still load.
        const QStringList failed = LoadChannelTable(*MainIni, ChannelTable);
        for (const QString& name : failed)
            ShowMessage(MsgKind::Warning, ScaleErrorMessage(name), MsgButtons::Ok);
        ok = failed.isEmpty();
    }

    // The controller gets the Z range of whatever DAC1 now holds.
    const TZRangeRecord zRange = BuildZRangeRecord(ChannelTable);
    LastIoOk = Ioctl(IOCTL_SET_Z_RANGE, &zRange, sizeof zRange, nullptr, 0);

    XSensitivity = ChannelTable[SlotX].Factor.load();
    YSensitivity = ChannelTable[SlotY].Factor.load();

    // The windows showing scaled values (the image windows among them) are
    // refreshed by ReloadScales, the only load after the start.

    {
        std::lock_guard lock(FeedbackState.Mutex);
        FeedbackState.Words.DemodulatorMask = BuildDemodulatorMask(ChannelTable);
    }
    SendFeedbackRecord();
    return ok;
}

bool TInOutForm::ReloadScales()
{
    if (!ReadScales())
        return false;
    // The windows showing scaled values (scan parameters, resonance,
    // three-trace oscilloscope, crosshairs) refresh on this signal.
    emit scalesReloaded();
    return true;
}

float TInOutForm::ReadChannelPhys(int slot)
{
    if (!IsValidSlot(slot))
        return 0.0f;
    const TIOScale& scale = ChannelTable[slot];
    return static_cast<float>(scale.ToPhys(ReadReg(scale.Address)));
}

bool TInOutForm::SetDacPhys(int channel, double value)
{
    if (channel < SetDacFirstChannel || channel > SetDacLastChannel)
        return false;
    const TDacWrite write = BuildDacWrite(ChannelTable[channel], channel, value);
    if (!write.Write)
        return false;
    WriteReg(write.Register, write.Value);
    return write.InRange;
}

} // namespace qvt
