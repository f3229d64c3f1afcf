#include "scan/ApproachMenus.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"

#include <QCoreApplication>

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

void TApproachCommands::RetractClick(int index)
{
    // A running approach stops first.
    AbortFlag = true;
    actions_.ProcessMessages();
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
    AbortFlag = false;
    actions_.CoarseRetract();
}

void TApproachCommands::OneStep(bool up)
{
    actions_.RetractZ();
    actions_.PowerOn();
    if (up)
        actions_.StepUp();
    else
        actions_.StepDown();
    actions_.WaitMs(SettingMs("SlowZ"));
    actions_.EngageZ();
    actions_.PowerOff();
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
    bool aborted = false;
    if (fast) {
        actions_.AutoApproach(true);
        // The approach clears the stop request when it starts: an Esc in the
        // fast phase must not turn into the full approach that follows it.
        aborted = AbortFlag.load();
    }
    if (!aborted)
        actions_.AutoApproach(false);
    if (actions_.ApproachKiActive())
        actions_.ToggleKi();
    if (!AbortFlag.load())
        checkedApproach_ = AutoApproachItem;
    userApproachEnabled_ = false;
}

void TApproachCommands::ApproachClick(int index)
{
    AbortFlag = true;
    actions_.ProcessMessages();
    UncheckAll();
    checkedApproach_ = index;
    actions_.PowerOn();
    const int n =
        index < static_cast<int>(model_.ApproachSteps.size()) ? model_.ApproachSteps[size_t(index)] : DefaultItemSteps;
    const int t = SettingMs("FastZ");
    AbortFlag = false;
    actions_.RetractZ();
    if (!AbortFlag.load()) {
        // n + 1 steps: configured counts rely on it.
        for (int i = 0; i <= n; ++i) {
            actions_.ProcessMessages();
            if (AbortFlag.load())
                break;
            actions_.StepDown();
            actions_.WaitMs(t);
        }
    }
    actions_.EngageZ();
    actions_.PowerOff();
    AbortFlag = false;
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

void TWorkerApproachActions::ProcessMessages()
{
    QCoreApplication::processEvents();
}

} // namespace qvt
