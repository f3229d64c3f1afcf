#pragma once
// The "Coarse Move" tool window: the coarse positioners moved by hand through
// the program's Stepper. A click gives one burst of steps; holding a button
// repeats the burst at the axis' slow delay, or its fast one with Shift. The
// joystick presses the same buttons (PressStepButton/ReleaseStepButton) and
// sets the delay from its deflection.
//
// One instance, `CoarseForm`, made at start-up and hidden, not freed, when
// closed. Window thread only; each burst blocks it while the stepper works.

#include "motion/CoarseLogic.h"
#include "motion/Stepper.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <optional>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace qvt {

class TQVTIniFile;

class TCoarseForm : public QWidget, public ICoarseStatus {
    Q_OBJECT

public:
    // Buttons by number: 1 approach, 2 retract, 3/4 x, 5/6 y, 7 stepper off,
    // 8 to 11 the levelling station.
    static constexpr int ButtonCount = 11;

    explicit TCoarseForm(QWidget* parent = nullptr);
    ~TCoarseForm() override;

    // The settings and the stepper (unset: the program's).
    void SetStepper(TStepper* stepper) { stepper_ = stepper; }
    TStepper* StepperInUse() const;

    void FormCreate();
    // Position written, stepper off.
    void FormDestroy();
    // Enables the x/y and level buttons for the tip's state.
    void FormActivate();
    void LoadDelays();
    void SaveDelays();

    // ---- the step buttons ----------------------------------------------------------------
    QPushButton* BitBtn(int number) const;
    // A press of step button `number` (1..11) as the mouse or the joystick
    // gives it: the repeat starts with the axis' fast delay when `fast`.
    void PressStepButton(int number, bool fast, bool byMouse = false);
    // Its release; the click's own burst follows when `pointerOnButton`.
    void ReleaseStepButton(bool pointerOnButton);
    // The joystick's delay for the deflection d (0..127) of the held axis.
    void SetRepeatFromDeflection(int d);
    // One burst of the held button (the repeat timer's tick).
    void Timer1DXTimer();
    // One burst of button `number` (its click).
    void StepButtonClick(int number);
    bool Repeating() const { return repeat_.Active(); }
    int RepeatInterval() const { return repeat_.Interval(); }
    int HeldButton() const { return held_; }
    int RepeatFast = 20;
    int RepeatSlow = 200;

    // ---- edits and status ----------------------------------------------------------------
    QLineEdit* Edit(const QString& name) const;
    // Enter in a delay edit (Edit1, 2, 4, 5, 7, 8) or the pulse edit Edit3.
    void EditEnter(const QString& name);
    TDelayEditState EditState(const QString& name) const;
    QLabel* StatusBar1() const { return statusBar_; }
    void StatusBarDblClick();
    void SetStatusText(const QString& text) override;
    void SetAdvanced(bool advanced);

    // The main window's CoarseButton follows the window.
    std::function<void(bool down)> SetCoarseButton;
    // The clock of the repeat, in ms (tests give their own).
    std::function<int64_t()> NowMs;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct AxisKeys {
        const char* Slow;
        const char* Fast;
        bool SetsRepeat; // x, y and z buttons give the joystick its delays
    };
    void BuildControls();
    QLineEdit* MakeEdit(const QString& name);
    void SetEditState(QLineEdit* edit, TDelayEditState state);
    void StartRepeatTimer();
    void StopRepeat();
    // Stops the repeat; true when a hold was under way.
    bool EndHold();
    void ShowZPosition();
    int Setting(const char* section, const char* key, int def) const;
    // A [Coarse] delay limited as its edit limits it.
    int DelaySetting(const char* key, int def) const;
    static std::optional<AxisKeys> KeysOf(int number);

    TStepper* stepper_ = nullptr;
    std::array<QPushButton*, ButtonCount + 1> buttons_{};
    std::map<QString, QLineEdit*> edits_;
    QCheckBox* soundCheckBox_ = nullptr;
    QCheckBox* checkBox1_ = nullptr;
    QLabel* statusBar_ = nullptr;
    QMenu* popupMenu1_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QWidget* delayPanel_ = nullptr;
    QLabel* pulseLabel_ = nullptr;
    TRepeatController repeat_;
    QTimer repeatTimer_;
    QElapsedTimer clock_;
    int held_ = 0;
    bool clickPending_ = false;
};

extern TCoarseForm* CoarseForm;

} // namespace qvt
