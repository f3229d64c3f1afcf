// The oscilloscope requests and the device window's oscilloscope timers.

#include "device/OsziPoll.h"

#include "core/NumberText.h"
#include "device/InOutForm.h"

#include <QTimer>

#include <algorithm>
#include <cstring>
#include <utility>

namespace qvt {

namespace {

constexpr int32_t UsbListParameter = 4000;
constexpr int32_t ResonanceListParameter = 2;
constexpr int32_t ResonanceListCodes[] = {236, 235};
constexpr std::array<std::pair<int32_t, int32_t>, 3> UsbListRegisterRanges = {{{64, 95}, {128, 159}, {192, 223}}};
constexpr int32_t UsbListTail[] = {47, 0, 32};
constexpr int32_t DncScopePeriodMin = 2;

} // namespace

TOsziRequest BuildOsziReadRequest(const TOsziRequest& shared, bool monoZKnown, bool monoZ)
{
    TOsziRequest r;
    auto control = static_cast<uint32_t>(shared.HighSpeedControl);
    if (monoZKnown)
        control = monoZ ? (control | HscMonoZ) : (control & ~static_cast<uint32_t>(HscMonoZ));
    r.HighSpeedControl = static_cast<int32_t>(control);
    r.Count = std::clamp(shared.Count.load(), 0, OsziMaxChannelIds);
    for (int i = 0; i < r.Count; ++i)
        r.Ids[static_cast<size_t>(i)] = shared.Ids[static_cast<size_t>(i)].load();
    return r;
}

TOsziSetup BuildOsziSetup(int32_t flags, float sampleTime, const std::array<int32_t, 4>& osziChannels,
                          int32_t dncPeriod, const std::array<int32_t, 4>& dncChannels)
{
    TOsziSetup s;
    s.SampleTime = sampleTime;
    if (flags == OsziThreeTrace) {
        if (!(sampleTime >= 0.0f))
            return s;
        s.Ticks = std::max(1, static_cast<int32_t>(std::min(Round(sampleTime * ControllerClockHz), 2.0e9)));
        s.SampleTime = static_cast<float>(s.Ticks / ControllerClockHz);
        s.Addresses = osziChannels;
    } else {
        // A period below the controller's least would stall its sampler.
        s.Ticks = std::max(dncPeriod, DncScopePeriodMin);
        s.Addresses = dncChannels;
    }
    s.Send = true;
    s.TimerOn = flags != 0;
    return s;
}

std::vector<int32_t> BuildUsbOsziList(bool forResonance, bool flag, int32_t code)
{
    std::vector<int32_t> list;
    list.reserve(UsbChannelListEntries);
    if (forResonance && !flag) {
        list.push_back(UsbListEntry(code, ResonanceListParameter));
        for (int32_t c : ResonanceListCodes)
            list.push_back(UsbListEntry(c, ResonanceListParameter));
    }
    for (const auto& [first, last] : UsbListRegisterRanges) {
        for (int32_t reg = first; reg <= last; ++reg)
            list.push_back(UsbListEntry(reg, UsbListParameter));
    }
    for (int32_t c : UsbListTail)
        list.push_back(UsbListEntry(c, UsbListParameter));
    return list;
}

// ---- the device window's oscilloscope side ------------------------------------------------

void TInOutForm::OsziTimerTimer()
{
    const bool monoZKnown = Caps.Type29() && static_cast<bool>(LockInHooks.ScannerMonoZ);
    const bool monoZ = monoZKnown && LockInHooks.ScannerMonoZ();
    const TOsziRequest request = BuildOsziReadRequest(OsziRequest, monoZKnown, monoZ);
    if (monoZKnown)
        OsziRequest.HighSpeedControl = request.HighSpeedControl.load();
    const auto words = request.Words();
    const bool ok = Ioctl(IOCTL_READ_OSZI, words.data(), sizeof words, OsziReply.data(), sizeof(TReadOsziReply));
    // The apply bit goes once: only when the controller took the request.
    if (ok)
        OsziRequest.HighSpeedControl &= ~HscApplyRequest;
    emit osziSnapshot();
}

void TInOutForm::TimerOszi2Timer()
{
    for (int32_t channel = 0; channel < OsziBufferCount; ++channel) {
        LastIoOk = Ioctl(IOCTL_READ_OSZI_BUFFER, &channel, sizeof channel, &OsziBuffers[static_cast<size_t>(channel)],
                         sizeof(TOsziBuffer));
    }
    const int32_t flags = OsziFlags;
    if (flags == OsziThreeTrace)
        emit threeTraceFrame();
    if ((flags & OsziNoiseMeasurement) != 0)
        emit noiseFrame();
}

void TInOutForm::StartOsziTimer()
{
    osziTimer_->start();
}

void TInOutForm::StopOsziTimer()
{
    osziTimer_->stop();
}

bool TInOutForm::OsziTimerActive() const
{
    return osziTimer_->isActive();
}

bool TInOutForm::OszTimerActive() const
{
    return oszTimer_->isActive();
}

void TInOutForm::ConfigOsziAcquisition()
{
    oszTimer_->stop();
    const TOsziSetup setup = BuildOsziSetup(OsziFlags, OsziSampleTime, OsziChannels, DncScopePeriod, DncScopeChannels);
    if (!setup.Send)
        return;
    if (OsziFlags == OsziThreeTrace)
        OsziSampleTime = setup.SampleTime;

    TSetOsziUsbRecord record;
    record.Base.PeriodTicks = setup.Ticks;
    std::copy(setup.Addresses.begin(), setup.Addresses.end(), record.Base.Addresses);
    if (Caps.Usb()) {
        record.EntryCount = UsbChannelCount;
        std::copy(UsbChannelList.begin(), UsbChannelList.end(), record.Entries);
        LastIoOk = Ioctl(IOCTL_SET_OSZI, &record, sizeof record, nullptr, 0);
    } else {
        LastIoOk = Ioctl(IOCTL_SET_OSZI, &record.Base, sizeof record.Base, nullptr, 0);
    }
    if (setup.TimerOn)
        oszTimer_->start();
}

void TInOutForm::StartOszi2()
{
    emit threeTraceRunning(true);
    OsziFlags.fetch_or(OsziThreeTrace);
    ConfigOsziAcquisition();
    oszTimer_->start();
}

void TInOutForm::StopOszi2()
{
    emit threeTraceRunning(false);
    int32_t expected = OsziThreeTrace;
    OsziFlags.compare_exchange_strong(expected, 0);
    if (OsziFlags == 0)
        oszTimer_->stop();
}

void TInOutForm::BuildUsbChannelList(bool forResonance, bool flag, int32_t code)
{
    const std::vector<int32_t> list = BuildUsbOsziList(forResonance, flag, code);
    UsbChannelList.fill(0);
    std::copy(list.begin(), list.end(), UsbChannelList.begin());
    UsbChannelCount = static_cast<int32_t>(list.size());
    ConfigOsziAcquisition();
}

void TInOutForm::CreateOsziTimers()
{
    osziTimer_ = new QTimer(this);
    osziTimer_->setInterval(OsziSnapshotIntervalMs);
    connect(osziTimer_, &QTimer::timeout, this, &TInOutForm::OsziTimerTimer);
    oszTimer_ = new QTimer(this);
    oszTimer_->setInterval(OsziBufferIntervalMs);
    connect(oszTimer_, &QTimer::timeout, this, &TInOutForm::TimerOszi2Timer);
}

} // namespace qvt
