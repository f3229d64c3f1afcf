#pragma once
// The retract and approach commands of the parameter window's UpButton and
// DownButton: the items of their pop-up menus (built-in ones and the coarse
// moves named in [ScanPara]) and what each item does over the approach loop,
// the z retract and engage and the stepper. The commands keep the menus'
// check marks, default items and hints; the window only shows them.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace qvt {

class TDeviceWorkers;
class TQVTIniFile;
class TStepper;

constexpr int RetractUserFirst = 2;  // "Piezo", "One Step", then the settings' items
constexpr int ApproachUserFirst = 5; // "Piezo", "One Step", "Auto", "Fast", separator
constexpr int ApproachSeparator = 4;
constexpr int AutoApproachItem = 2;
constexpr int FastApproachItem = 3;
constexpr int DefaultItemSteps = 10;
constexpr int DefaultStepMs = 20;
inline const char* const LaserOffQuestion = "LASER is off!\rApproach anyway?";

struct TApproachMenuModel {
    // Captions by item index (the separator's is empty); steps of the user items.
    QStringList Retract;
    std::vector<int> RetractSteps;
    QStringList Approach;
    std::vector<int> ApproachSteps;
    int RetractDefault = 0;
};

// The built-in items followed by [ScanPara] RetractItemCaption2, 3, ... and
// ApproachItemCaption5, 6, ..., each list up to the first missing or empty caption.
TApproachMenuModel ReadApproachMenus(const TQVTIniFile* ini);
// Step intervals of the commands are limited silently to 1..100 ms.
int LimitStepMs(int ms);
QString WithoutAccelerator(QString caption);

// What the commands do to the instrument and the window.
class IApproachActions {
public:
    virtual ~IApproachActions() = default;
    virtual void RetractZ() = 0;
    virtual void EngageZ() = 0;
    virtual void AutoApproach(bool fast) = 0;
    virtual void CoarseRetract() = 0;
    virtual void PowerOn() = 0;
    virtual void PowerOff() = 0;
    virtual void StepUp() = 0;
    virtual void StepDown() = 0;
    // False also when the stepper cannot say.
    virtual bool LaserOn() = 0;
    virtual void WaitMs(int ms) = 0;
    // The operator's stop of the motion under way (approach or retract).
    virtual void StopMotion() = 0;
    // Runs `then` once no motion runs any more (at once when none does).
    virtual void AfterMotion(std::function<void()> then) = 0;
    // The last automatic approach ended stopped by the operator.
    virtual bool ApproachStopped() = 0;
    // Runs `next` once the events that wait now have been handled (the
    // operator's Esc, a second command), so a run of steps can be stopped.
    virtual void Later(std::function<void()> next) = 0;
    // The parameter window's Ki label: approach Ki shown, and its toggle.
    virtual bool ApproachKiActive() = 0;
    virtual void ToggleKi() = 0;
    virtual void RefreshCoarseWindow() = 0;
    // Counts the motor links found gone (each told to the operator as it
    // happened): a run of steps that sees it change ends there.
    virtual int32_t LinkLosses() = 0;
};

class TApproachCommands {
public:
    TApproachCommands(IApproachActions& actions, TApproachMenuModel model);

    const TApproachMenuModel& Model() const { return model_; }

    // The buttons: the other menu unchecked, the default item of their own run.
    void RetractButtonClick();
    void ApproachButtonClick();
    void RunRetractItem(int index);
    void RunApproachItem(int index);

    // RetractClick: item 0 (piezo) or a user item.
    void RetractClick(int index);
    void OneStep1Click();
    void FineApproach1Click();
    void OneStep2Click();
    void AutoApproach1Click(bool fast);
    void ApproachClick(int index);
    // The operator's stop: the motion under way and the user steps end.
    void Stop();

    // ---- what the menus show -----------------------------------------------------------
    int CheckedRetract() const { return checkedRetract_; }
    int CheckedApproach() const { return checkedApproach_; }
    int RetractDefault() const { return model_.RetractDefault; }
    int ApproachDefault() const { return approachDefault_; }
    QString RetractHint() const;
    QString ApproachHint() const;
    // Item 0 ("Piezo") only while the piezo alone is retracted.
    bool PiezoApproachEnabled() const;
    // The user coarse moves (items 4 and later), off after an automatic approach.
    bool UserApproachEnabled() const { return userApproachEnabled_; }

private:
    void UncheckAll();
    int SettingMs(const char* key) const;
    void OneStep(bool up);
    void FinishAutoApproach();
    // Step `i` of the user approach's n + 1, t ms apart.
    void UserStep(int i, int n, int t);
    // Runs `f` later only while these commands still exist.
    std::function<void()> Guarded(std::function<void()> f);

    IApproachActions& actions_;
    TApproachMenuModel model_;
    int checkedRetract_ = -1;
    int checkedApproach_ = -1;
    int approachDefault_ = AutoApproachItem;
    bool userApproachEnabled_ = true;
    bool stepsStopped_ = false; // the operator stopped the user steps
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The program's actions: the device workers, the stepper and the window's
// event loop (or, while motions end before they return, none). `approachKi`/`toggleKi` and `refreshCoarse` come from
// the window.
class TWorkerApproachActions final : public IApproachActions {
public:
    explicit TWorkerApproachActions(std::function<TDeviceWorkers*()> workers) : workers_(std::move(workers)) {}
    void RetractZ() override;
    void EngageZ() override;
    void AutoApproach(bool fast) override;
    void CoarseRetract() override;
    void PowerOn() override;
    void PowerOff() override;
    void StepUp() override;
    void StepDown() override;
    bool LaserOn() override;
    void WaitMs(int ms) override;
    void StopMotion() override;
    void AfterMotion(std::function<void()> then) override;
    bool ApproachStopped() override;
    void Later(std::function<void()> next) override;
    bool ApproachKiActive() override { return approachKi ? approachKi() : false; }
    void ToggleKi() override
    {
        if (toggleKi)
            toggleKi();
    }
    void RefreshCoarseWindow() override
    {
        if (refreshCoarse)
            refreshCoarse();
    }

    int32_t LinkLosses() override;

    std::function<bool()> approachKi;
    std::function<void()> toggleKi;
    std::function<void()> refreshCoarse;

private:
    TStepper* StepperInUse() const;
    std::function<TDeviceWorkers*()> workers_;
};

} // namespace qvt
