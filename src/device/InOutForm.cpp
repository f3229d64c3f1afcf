#include "device/InOutForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/DriverOpen.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

namespace qvt {

int32_t AuxRegisterBase = AuxRegisterBaseCard;
TInOutForm* InOutForm = nullptr;
TInOut2Form* InOut2Form = nullptr;

namespace {

constexpr int CalibrationRequests = 100000;
constexpr int32_t CalibrationDelay = 10;
constexpr double EchoTestSeconds = 0.2;
constexpr int32_t EchoValueMax = 1999999999;
constexpr int EchoStableCount = 1000; // round trips in the test time of a sound link
constexpr int DefaultLiaVersion = 22;
constexpr int DefaultFeedbackMode = FeedbackCmAFM;

// The reply cell of ReadReg: one per thread, so a failed read of one thread
// returns that thread's last reply and never one being written by another.
thread_local int32_t readRegReply = 0;

int32_t ClampToInt32(int64_t v)
{
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

} // namespace

TInOutForm::TInOutForm(QObject* parent) : QObject(parent)
{
    CreateOsziTimers();
    if (InOutForm == nullptr)
        InOutForm = this;
}

TInOutForm::~TInOutForm()
{
    CloseDriver();
    if (InOutForm == this)
        InOutForm = nullptr;
}

// ---- creation and destruction ----------------------------------------------------

void TInOutForm::AbortStart(const QString& message)
{
    startFailed_ = true;
    ShowMessage(MsgKind::Error, message);
    emit startAborted();
}

void TInOutForm::FormCreate()
{
    // The reply buffers are members, zeroed with the object; the feedback
    // record starts zeroed as well, so the record ReadScales sends before the
    // mode and controller type are known holds no stale words.
    OsziReply.fill(0);
    SpektReply.fill(0);
    // The settle delay the spectroscopy window stored: a run started before
    // that window exists waits as long as the operator asked.
    SetSpektDelay(UserIni ? UserIni->ReadFloat("Spekt", "Edit3", 0.0) : 0.0);
    // The 59 channel scales and the time and frequency scales live for the
    // whole program (ChannelTable); ReadScales below fills them.
    // The control codes are compile-time constants (ControlCodes.h).
    InstanceNumber = -2;

    // Both events are in-process objects that cannot fail to exist; the move
    // event is the driver's own.
    PictureReadyEvent.Reset();

    if (!OpenDriver()) {
        // Nothing further is sent: the link is not there and the program ends
        // once creation completes.
        AbortStart("Device-Driver not started!\rProgram aboarded!");
        return;
    }

    ReadScales();

    ControlWord = ControlRunning;
    const int32_t off = 0;
    Ioctl(IOCTL_SET_CONTROL, &off, sizeof off, nullptr, 0);
    const int32_t running = ControlRunning;
    Ioctl(IOCTL_SET_CONTROL, &running, sizeof running, nullptr, 0);

    Caps.BoxVersion = static_cast<int32_t>(static_cast<uint32_t>(ReadReg(RegBoxVersion)) & 0xFFFFu);
    if (Caps.BoxVersion == BoxVersionAbsent)
        Caps.BoxVersion =
            MainIni ? MainIni->ReadInteger("Microscope", "LIAVersion", DefaultLiaVersion) : DefaultLiaVersion;
    Caps.BoxSubVersion = ReadReg(RegBoxSubVersion);

    MultiLockInPresent = Caps.MultiLockInPresent();
    AuxRegisterBase = Caps.AuxRegisterBase();

    RetractFlag = false;
    const int mode =
        MainIni ? MainIni->ReadInteger("Microscope", "Feedback", DefaultFeedbackMode) : DefaultFeedbackMode;
    MicroscopeState.FeedbackMode = ValidFeedbackMode(mode);
    MicroscopeState.ZState = ZCoarseRetracted;
    MicroscopeState.LiftPass = false;
    LockInPrescaler = 8;
    UpdateFeedback();

    // The workers (stepper, threads, approach) are made by TDeviceWorkers
    // once this window stands.
    DelayDebt = 0;
}

void TInOutForm::FormDestroy()
{
    // The workers went first (TDeviceWorkers::FormDestroy).
    if (IsOpen())
        SetControlBits(ControlRunning, 0);
    CloseDriver();
}

// ---- the link ----------------------------------------------------------------------------

bool TInOutForm::OpenDriver()
{
    Caps.UsbBox = 0;
    InstanceNumber = -2;
    int error = 0;
    std::shared_ptr<DeviceDriver> device = OpenDeviceDriver(DeviceDriverName, &error);
    if (!device) {
        Beep();
        if (error == ENOENT)
            ShowMessage(MsgKind::Information, "Device-driver not running!\rCannot connect to QVT-Card!");
        else
            ShowMessage(MsgKind::Information, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    const TDriverNameInfo info = ClassifyDriverName(DeviceDriverName);
    Caps.UsbBox = info.UsbBox;
    InstanceNumber = info.InstanceNumber;
    driver_ = std::move(device);
    link_ = driver_.get();
    return true;
}

void TInOutForm::CloseDriver()
{
    link_ = nullptr;
    driver_.reset();
}

bool TInOutForm::Ioctl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned)
{
    DeviceDriver* link = link_.load();
    if (link == nullptr) {
        if (returned)
            *returned = 0;
        return false;
    }
    return link->Control(code, in, inSize, out, outSize, returned);
}

size_t TInOutForm::BulkRead(void* buffer, size_t size, int timeoutMs)
{
    DeviceDriver* link = link_.load();
    return link ? link->BulkRead(buffer, size, timeoutMs) : 0;
}

ManualResetEvent& TInOutForm::GoXYWaitEvent()
{
    DeviceDriver* link = link_.load();
    return link ? link->GoXYWaitEvent() : idleGoXYWait_;
}

// ---- registers -----------------------------------------------------------------------------

int32_t TInOutForm::ReadReg(int32_t reg, bool& ok)
{
    const int32_t address = reg;
    int32_t reply = readRegReply;
    ok = Ioctl(IOCTL_READ_REG, &address, sizeof address, &reply, sizeof reply);
    readRegReply = reply;
    return reply;
}

int32_t TInOutForm::ReadReg(int32_t reg)
{
    bool ok = false;
    const int32_t value = ReadReg(reg, ok);
    LastIoOk = ok;
    return value;
}

void TInOutForm::WriteReg(int32_t reg, int32_t value)
{
    if (reg >= FirstExtendedRegister && !Caps.ExtendedRegisters()) {
        ShowMessage(MsgKind::Confirmation, QString::number(reg) + " is outside address range!", MsgButtons::Ok);
        return;
    }
    if (reg >= RegDacBase && reg <= RegDacBase + 7) {
        const TIOScale& scale = ChannelTable[static_cast<size_t>(reg - RegDacBase)];
        value = std::min(value, scale.MaxRaw.load());
        value = std::max(value, scale.MinRaw.load());
    }
    const TWriteRegRecord record{reg, value};
    Ioctl(IOCTL_WRITE_REG, &record, sizeof record, nullptr, 0);
}

// ---- waits and link check ------------------------------------------------------------

void TInOutForm::DelayUs(int32_t us)
{
    // A negative count (from a setting such as an on-time) waits nothing; banked
    // as credit it would swallow the waits that follow.
    if (us <= 0)
        return;
    std::lock_guard lock(delayMutex_);
    // A negative overhead (delays that returned early while calibrating)
    // would keep the debt from ever falling below it.
    const int64_t overhead = std::max(0, DelayOverhead.load());
    int64_t debt = static_cast<int64_t>(DelayDebt.load()) + us;
    while (overhead < debt) {
        const int32_t chunk = static_cast<int32_t>(std::clamp<int64_t>(debt - overhead, 0, DelayChunkMax));
        Ioctl(IOCTL_DELAY, &chunk, sizeof chunk, nullptr, 0);
        debt -= chunk + overhead;
    }
    DelayDebt = static_cast<int32_t>(
        std::clamp<int64_t>(debt, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

double TInOutForm::LinkSeconds() const
{
    if (LinkClock)
        return LinkClock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TInOutForm::CalibrateDelay()
{
    if (!IsOpen())
        return;
    DelayOverhead = 0;
    const double start = LinkSeconds();
    for (int i = 0; i < CalibrationRequests; ++i)
        DelayUs(CalibrationDelay);
    const double elapsed = LinkSeconds() - start;
    const double perRequest = Round(elapsed * DelayUnitsPerSecond / CalibrationRequests) - CalibrationDelay;
    DelayOverhead = static_cast<int32_t>(std::clamp(perRequest, 0.0, 1.0e6));
    DelayDebt = 0;
}

bool TInOutForm::TestCommunication()
{
    // After a failed start the link is not there; that was reported already.
    if (!IsOpen())
        return false;

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int32_t> echoValue(0, EchoValueMax);
    WriteReg(RegControl2, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

    int32_t lastWritten = 0;
    int32_t writtenBefore = 0;
    int32_t lastStray = 0;
    int count = 0;
    int errors = 0;
    const double end = LinkSeconds() + EchoTestSeconds;
    while (LinkSeconds() < end) {
        const int32_t read = ReadReg(RegControl2);
        if (read == lastWritten) {
            ++count;
            writtenBefore = lastWritten;
            lastWritten = echoValue(random);
            WriteReg(RegControl2, lastWritten);
        } else if (read != writtenBefore && read != lastStray) {
            ++errors;
            lastStray = read;
        }
    }

    if (MainIni)
        MainIni->WriteInteger("Main", "DeviceDriverIOCTLFreq", count);
    if (Caps.Usb())
        count = EchoStableCount;

    bool warned = false;
    if (count == 0) {
        ShowMessage(MsgKind::Error,
                    "No Communication with SPM-Box!\rCheck Cable, switch power on (again) and restart program.");
        warned = true;
    } else if (count < EchoStableCount || errors > 0) {
        ShowMessage(MsgKind::Information, "Communication with SPM-Box unstable! (" + QString::number(errors) + " / " +
                                              QString::number(count) + ") " + "\r" +
                                              "             Please check Cable!");
        warned = true;
    }
    SetControlBits2(3, 0);
    return warned;
}

// ---- control words and LEDs ----------------------------------------------------------

void TInOutForm::SetControlBits(int32_t clear, int32_t set)
{
    std::lock_guard lock(controlMutex_);
    const auto word = static_cast<int32_t>(static_cast<uint32_t>(set) |
                                           (static_cast<uint32_t>(ControlWord.load()) & ~static_cast<uint32_t>(clear)));
    ControlWord = word;
    Ioctl(IOCTL_SET_CONTROL, &word, sizeof word, nullptr, 0);
}

void TInOutForm::SetControlBits2(int32_t clear, int32_t set)
{
    std::lock_guard lock(controlMutex_);
    const auto word = static_cast<int32_t>(
        static_cast<uint32_t>(set) | (static_cast<uint32_t>(ControlWord2.load()) & ~static_cast<uint32_t>(clear)));
    ControlWord2 = word;
    WriteReg(RegControl2, word);
}

void TInOutForm::WriteLedValues(int count, const int32_t* values)
{
    if (values == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        TSetLedRecord record;
        record.Value = values[i];
        Ioctl(IOCTL_SET_LED, &record, sizeof record, nullptr, 0);
    }
}

double TInOutForm::SetBias(double value)
{
    const int mode = ValidFeedbackMode(MicroscopeState.FeedbackMode);
    TFeedbackSet& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(mode)];
    if (!std::isfinite(value)) {
        std::lock_guard lock(FeedbackState.Mutex);
        return set.Bias; // nothing that could be sent
    }

    const TIOScale& scale = ChannelTable[SlotBias];
    const double factor = scale.Factor.load();
    const double offset = scale.Offset.load();
    double raw = value / factor - offset;
    raw = std::min(raw, double(scale.MaxRaw.load()));
    raw = std::max(raw, double(scale.MinRaw.load()));
    raw = Round(raw);
    value = (raw + offset) * factor;

    const int64_t sent = scale.Invers.load() ? -static_cast<int64_t>(raw) : static_cast<int64_t>(raw);
    WriteReg(RegBias, ClampToInt32(sent));
    {
        // The scan thread reads the set while it sends the record for a lift pass.
        std::lock_guard lock(FeedbackState.Mutex);
        set.Bias = static_cast<float>(value);
    }
    UpdateFeedback();
    return value;
}

void TInOutForm::SetZ(double value)
{
    const TIOScale& scale = ChannelTable[SlotZ];
    double raw = Round(value / double(scale.Factor.load()));
    if (std::isnan(raw))
        return;
    raw = std::min(raw, double(scale.MaxRaw.load()));
    raw = std::max(raw, double(scale.MinRaw.load()));
    WriteReg(RegZ, static_cast<int32_t>(raw));
}

// ---- the second device window --------------------------------------------------------

TInOut2Form::TInOut2Form(QObject* parent) : QObject(parent)
{
    if (InOut2Form == nullptr)
        InOut2Form = this;
}

TInOut2Form::~TInOut2Form()
{
    if (InOut2Form == this)
        InOut2Form = nullptr;
}

void TInOut2Form::FormCreate()
{
    ReadRegCode = IOCTL_READ_REG;
    OpenLockInDevice();
}

bool TInOut2Form::OpenLockInDevice()
{
    device_ = qvt::OpenLockInDevice();
    return device_ != nullptr;
}

bool TInOut2Form::Ioctl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned)
{
    if (!device_) {
        if (returned)
            *returned = 0;
        return false;
    }
    return device_->Control(code, in, inSize, out, outSize, returned);
}

} // namespace qvt
