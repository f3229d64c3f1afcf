#include "scan/ApproachMenus.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"

#include <QTimer>

#include <algorithm>

namespace qvt {

namespace {

constexpr const char* ScanParaSection = "ScanPara";
constexpr int MinStepMs = 1;
constexpr int MaxStepMs = 100;

int ReadInt(const TQVTIniFile* ini, const char* section, const QString& key, int def)
{
    return ini ? ini->ReadInteger(section, key, def) : def;
}

// Appends "<prefix>Caption"n, n from `first`, until a caption is missing or empty.
void ReadUserItems(const TQVTIniFile* ini, const QString& prefix, int first, QStringList& captions,
                   std::vector<int>& steps)
{
    if (ini == nullptr)
        return;
    for (int n = first;; ++n) {
        const QString caption = ini->ReadString(ScanParaSection, prefix + "Caption" + QString::number(n), "");
        if (caption.isEmpty())
            return;
        captions << caption;
        steps.push_back(ReadInt(ini, ScanParaSection, prefix + "Steps" + QString::number(n), DefaultItemSteps));
    }
}

} // namespace

TApproachMenuModel ReadApproachMenus(const TQVTIniFile* ini)
{
    TApproachMenuModel m;
    m.Retract = {"Piezo", "One Step"};
    m.RetractSteps = {0, 0};
    ReadUserItems(ini, "RetractItem", RetractUserFirst, m.Retract, m.RetractSteps);
    m.Approach = {"Piezo", "One Step", "Auto Approach", "Fast Approach", ""};
    m.ApproachSteps = {0, 0, 0, 0, 0};
    ReadUserItems(ini, "ApproachItem", ApproachUserFirst, m.Approach, m.ApproachSteps);
    // A default beyond the list would leave the button without a command.
    const int def = ReadInt(ini, ScanParaSection, "RetractItemDefault", 0);
    m.RetractDefault = def >= 0 && def < m.Retract.size() ? def : 0;
    return m;
}

int LimitStepMs(int ms)
{
    return std::clamp(ms, MinStepMs, MaxStepMs);
}

QString WithoutAccelerator(QString caption)
{
    if (caption.startsWith('&'))
        caption.remove(0, 1);
    return caption;
}

// ---- the commands ------------------------------------------------------------------------------

TApproachCommands::TApproachCommands(IApproachActions& actions, TApproachMenuModel model)
    : actions_(actions), model_(std::move(model))
{
}

QString TApproachCommands::RetractHint() const
{
    return WithoutAccelerator(model_.Retract.value(model_.RetractDefault));
}

QString TApproachCommands::ApproachHint() const
{
    return WithoutAccelerator(model_.Approach.value(approachDefault_));
}

bool TApproachCommands::PiezoApproachEnabled() const
{
    return MicroscopeState.ZState.load() == ZPiezoRetracted;
}

int TApproachCommands::SettingMs(const char* key) const
{
    return LimitStepMs(ReadInt(MainIni, "Coarse", key, DefaultStepMs));
}

void TApproachCommands::UncheckAll()
{
    checkedRetract_ = -1;
    checkedApproach_ = -1;
}

void TApproachCommands::RetractButtonClick()
{
    checkedApproach_ = -1;
    RunRetractItem(model_.RetractDefault);
    actions_.RefreshCoarseWindow();
}

void TApproachCommands::ApproachButtonClick()
{
    checkedRetract_ = -1;
    RunApproachItem(approachDefault_);
    actions_.RefreshCoarseWindow();
}

void TApproachCommands::RunRetractItem(int index)
{
    if (index == 1)
        OneStep1Click();
    else if (index >= 0 && index < model_.Retract.size())
        RetractClick(index);
}

void TApproachCommands::RunApproachItem(int index)
{
    switch (index) {
    case 0:
        FineApproach1Click();
        return;
    case 1:
        OneStep2Click();
        return;
    case AutoApproachItem:
    case FastApproachItem:
        AutoApproach1Click(index == FastApproachItem);
        return;
    default:
        if (index >= ApproachUserFirst && index < model_.Approach.size())
            ApproachClick(index);
    }
}

std::function<void()> TApproachCommands::Guarded(std::function<void()> f)
{
    return [alive = std::weak_ptr<bool>(alive_), f = std::move(f)] {
        if (!alive.expired())
            f();
    };
}

void TApproachCommands::Stop()
{
    stepsStopped_ = true;
    actions_.StopMotion();
}

void TApproachCommands::RetractClick(int index)
{
    // A running approach stops first; the retract follows once it has ended.
    Stop();
    UncheckAll();
    userApproachEnabled_ = true;
    checkedRetract_ = index;
    if (index == 0) {
        actions_.RetractZ();
        approachDefault_ = 0;
        return;
    }
    approachDefault_ = AutoApproachItem;
    MicroscopeState.ZState = ZCoarseRetracted;
    const int steps =
        index < static_cast<int>(model_.RetractSteps.size()) ? model_.RetractSteps[size_t(index)] : DefaultItemSteps;
    if (MainIni)
        MainIni->WriteInteger("Stepper", "RetSteps", steps);
    actions_.CoarseRetract();
}

void TApproachCommands::OneStep(bool up)
{
    actions_.RetractZ();
    // The step only once Z is down.
    actions_.AfterMotion(Guarded([this, up] {
        actions_.PowerOn();
        if (up)
            actions_.StepUp();
        else
            actions_.StepDown();
        actions_.WaitMs(SettingMs("SlowZ"));
        actions_.EngageZ();
        actions_.PowerOff();
    }));
}

void TApproachCommands::OneStep1Click()
{
    OneStep(true);
}

void TApproachCommands::OneStep2Click()
{
    OneStep(false);
}

void TApproachCommands::FineApproach1Click()
{
    if (checkedRetract_ == 0)
        checkedRetract_ = -1;
    actions_.EngageZ();
    approachDefault_ = AutoApproachItem;
}

void TApproachCommands::AutoApproach1Click(bool fast)
{
    if (!actions_.LaserOn() &&
        ShowMessage(MsgKind::Confirmation, LaserOffQuestion, MsgButtons::YesNo) != MsgResult::Yes)
        return;
    UncheckAll();
    if (!actions_.ApproachKiActive())
        actions_.ToggleKi();
    if (!fast) {
        actions_.AutoApproach(false);
        actions_.AfterMotion(Guarded([this] { FinishAutoApproach(); }));
        return;
    }
    actions_.AutoApproach(true);
    actions_.AfterMotion(Guarded([this] {
        // An Esc in the fast phase must not turn into the full approach
        // that follows it.
        if (!actions_.ApproachStopped())
            actions_.AutoApproach(false);
        actions_.AfterMotion(Guarded([this] { FinishAutoApproach(); }));
    }));
}

void TApproachCommands::FinishAutoApproach()
{
    if (actions_.ApproachKiActive())
        actions_.ToggleKi();
    if (!actions_.ApproachStopped())
        checkedApproach_ = AutoApproachItem;
    userApproachEnabled_ = false;
}

void TApproachCommands::ApproachClick(int index)
{
    // A running motion stops first.
    Stop();
    UncheckAll();
    checkedApproach_ = index;
    actions_.PowerOn();
    const int n =
        index < static_cast<int>(model_.ApproachSteps.size()) ? model_.ApproachSteps[size_t(index)] : DefaultItemSteps;
    const int t = SettingMs("FastZ");
    actions_.RetractZ();
    actions_.AfterMotion(Guarded([this, n, t] {
        // The stop meant for the motion before this one is spent.
        stepsStopped_ = false;
        actions_.Later(Guarded([this, n, t] { UserStep(0, n, t); }));
    }));
}

void TApproachCommands::UserStep(int i, int n, int t)
{
    // n + 1 steps: configured counts rely on it.
    if (i <= n && !stepsStopped_) {
        const int32_t lost = actions_.LinkLosses();
        actions_.StepDown();
        // A motor whose link went with this step (the operator has been told)
        // ends the run here as a stop does, not with steps that go nowhere.
        if (actions_.LinkLosses() == lost) {
            actions_.WaitMs(t);
            actions_.Later(Guarded([this, i, n, t] { UserStep(i + 1, n, t); }));
            return;
        }
    }
    stepsStopped_ = false;
    actions_.EngageZ();
    actions_.PowerOff();
    actions_.RefreshCoarseWindow();
}

// ---- the program's actions -------------------------------------------------------------------

TStepper* TWorkerApproachActions::StepperInUse() const
{
    return Stepper;
}

void TWorkerApproachActions::RetractZ()
{
    if (TDeviceWorkers* w = workers_())
        w->RetractZ();
}

void TWorkerApproachActions::EngageZ()
{
    if (TDeviceWorkers* w = workers_())
        w->EngageZ();
}

void TWorkerApproachActions::AutoApproach(bool fast)
{
    // Step by step with the loop engaged is the fast one.
    if (TDeviceWorkers* w = workers_())
        w->AutoApproach(fast ? 1 : 0);
}

void TWorkerApproachActions::CoarseRetract()
{
    if (TDeviceWorkers* w = workers_())
        w->CoarseRetract();
}

void TWorkerApproachActions::PowerOn()
{
    if (TStepper* s = StepperInUse())
        s->PowerOn();
}

void TWorkerApproachActions::PowerOff()
{
    if (TStepper* s = StepperInUse())
        s->PowerOff();
}

void TWorkerApproachActions::StepUp()
{
    if (TStepper* s = StepperInUse())
        s->StepUp();
}

void TWorkerApproachActions::StepDown()
{
    if (TStepper* s = StepperInUse())
        s->StepDown();
}

int32_t TWorkerApproachActions::LinkLosses()
{
    const TStepper* s = StepperInUse();
    return s != nullptr ? s->LinkLosses : 0;
}

bool TWorkerApproachActions::LaserOn()
{
    const TStepper* s = StepperInUse();
    return s != nullptr && s->GetLaserOn();
}

void TWorkerApproachActions::WaitMs(int ms)
{
    // Hardware-timed, so the steps keep the instrument's pace.
    if (TDeviceWorkers* w = workers_())
        w->Link().DelayUs(ms * 1000);
}

void TWorkerApproachActions::StopMotion()
{
    if (TDeviceWorkers* w = workers_())
        w->StopMotion();
}

void TWorkerApproachActions::AfterMotion(std::function<void()> then)
{
    if (TDeviceWorkers* w = workers_())
        w->Approach().WhenIdle(std::move(then));
    else
        then();
}

bool TWorkerApproachActions::ApproachStopped()
{
    TDeviceWorkers* w = workers_();
    return w != nullptr && w->Approach().LastEnd() == TApproachEnd::Aborted;
}

void TWorkerApproachActions::Later(std::function<void()> next)
{
    TDeviceWorkers* w = workers_();
    if (w != nullptr && w->MotionsOnEventLoop())
        QTimer::singleShot(0, std::move(next));
    else
        next();
}

} // namespace qvt
