#pragma once
// The "Parameter" tool window: scan geometry (pixels, range, speed, centre,
// rotation) and the parameters of the feedback loops. It has no hardware
// access of its own: every accepted value goes into ScanParams or
// MicroscopeState and is handed to the device window, which talks to the
// controller.
//
// Every control carries its original name as object name, because scripts
// and settings address controls by name. Every edit's Enter and Esc run
// without a key event (TNumericEdit::Apply, EnterText): the command server,
// touch input, the navigator and the resonance tool set a text and press
// Enter.

#include "core/SharedState.h"
#include "widgets/NumericEdit.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>

class QAbstractButton;
class QBoxLayout;
class QCheckBox;
class QMenu;
class QToolButton;
class QComboBox;
class QLabel;
class QTabWidget;

namespace qvt {

class TInOutForm;
struct TScanArea;
struct TScanSetup;
class TDeviceWorkers;
class TApproachCommands;
class TToolButtons;
class TWorkerApproachActions;
class TZBar;
class TFastZPage;
class TLevelPage;

class TScanParaForm : public QWidget {
    Q_OBJECT

public:
    explicit TScanParaForm(QWidget* parent = nullptr);
    ~TScanParaForm() override;

    // The device window the values go to; the program's own when unset.
    void SetDevice(TInOutForm* device) { device_ = device; }
    TInOutForm* Device() const;
    // The scan, display and move workers (unset: the program's).
    void SetWorkers(TDeviceWorkers* workers) { workers_ = workers; }
    TDeviceWorkers* Workers() const;
    // The operator's Esc: the approach, retract or user steps under way end.
    void StopMotions();
    // The main window's image windows take the new buffer size after a pixel change.
    std::function<void()> ResizeImageWindows;
    // The navigator's live position, refreshed on each status tick while it shows.
    std::function<void()> ShowNavigatorPosition;
    // The scanner window shows the coefficients the scan fits while it runs.
    std::function<void()> ShowHardLinCoeff;
    // The resonance tool redraws its spectrum (with the setpoint cross) after a setpoint change.
    std::function<void()> DrawResonance;
    // The scanner calibration's factors and linearisation for the stored
    // scan range (set by the scanner window); false when it could not use its
    // table.
    std::function<bool(double range)> SetScanRange;
    // The factors a range would get, for judging it before it is stored.
    std::function<void(double range, TScanSetup& setup)> ProposeRangeFactors;

    // Restores every saved value and applies it as if typed, so the saved
    // state reaches the controller; starts the status timer.
    void FormCreate();
    // Saves the applied page edits and the window position.
    void FormDestroy();

    // ---- controls -----------------------------------------------------------------------
    // A numeric edit by its name ("Edit3"; "ComboBox1" gives the pixel box's edit).
    TNumericEdit* Edit(const QString& name) const;
    // Sets the text of the named edit and presses Enter; true when accepted.
    bool EnterText(const QString& name, const QString& text);
    // The centre and range boxes as one new frame (a zoom or move on a
    // picture): judged together and taken together; false when refused.
    bool EnterScanArea();
    // The stored frame taken again, after the scanner's sensitivities changed.
    void ReenterRange();
    QComboBox* ComboBox1() const { return comboBox1_; }
    QTabWidget* PageControl() const { return pageControl_; }
    // The fast z loop's page (shown on type-29 controllers).
    TFastZPage* FastZ() const { return fastZ_; }
    // The plane levelling and lift pass pages.
    TLevelPage* Level() const { return levelPage_; }
    QLabel* Label(const QString& name) const;
    QCheckBox* CheckBox1() const { return checkBox1_; }
    QAbstractButton* Button(const QString& name) const;

    // ---- geometry -----------------------------------------------------------------------
    void ShowScanParams();
    // After a scale reload: the range edit is applied again, the units shown
    // anew, and the values a channel's range limits are limited again.
    void ScalesReloaded();
    void ShowChannelUnits();
    void Edit3KeyPress(EditKey key); // range
    void Edit4KeyPress(EditKey key); // speed
    void Edit7KeyPress(EditKey key); // x centre
    void Edit8KeyPress(EditKey key); // y centre
    void Edit9KeyPress(EditKey key); // angle
    // The centre edits look flat while they have the focus.
    void Edit7Enter(TNumericEdit* sender);
    void Edit7Exit(TNumericEdit* sender);
    void ComboBox1KeyPress(EditKey key);
    // A count chosen from the list.
    void ComboBox1Change();

    // ---- feedback sets -------------------------------------------------------------
    void LoadFeedbackSets();
    // The active mode's set, units, caption and hints; after a mode switch too.
    void ShowFeedbackParams();
    // The feedback rows' edits lose their "typed, not applied" colour.
    void ClearFeedbackEditMarks();
    // The active set's keys follow what the controller was sent, where that was limited.
    void StoreKeptFeedbackSet();
    void ShowAmplParams();
    void ShowFreqParams();
    void ShowKelvinParams();
    void Edit1KeyPress(EditKey key);  // setpoint
    void Edit2KeyPress(EditKey key);  // bias
    void Edit5KeyPress(EditKey key);  // Ki
    void Edit6KeyPress(EditKey key);  // Kp
    void Edit21KeyPress(EditKey key); // the FastZ page's mirror of Edit1
    void Edit18KeyPress(EditKey key); // amplitude setpoint
    void Edit16KeyPress(EditKey key); // amplitude Ki
    void Edit15KeyPress(EditKey key); // amplitude Kp
    void Edit22KeyPress(EditKey key); // frequency setpoint
    void Edit19KeyPress(EditKey key); // frequency Kp
    void Edit10KeyPress(EditKey key); // Kelvin Ki
    void Edit11KeyPress(EditKey key); // Kelvin reference
    // Normal and approach Ki.
    void Label19Click();
    bool ApproachKiActive() const { return approachKi_; }
    // Normal and pulse bias.
    void Label11Click();
    void Label11DblClick();
    bool PulseBiasActive() const { return pulseBias_; }
    // Cycles the prefix of the amplitude setpoint.
    void Label28Click();
    void CheckBox1Click();

    // ---- step buttons and wheel ---------------------------------------------------------
    void LBitBtn1Click(); // setpoint
    void RBitBtn1Click();
    void LBitBtn5Click(); // Ki
    void RBitBtn5Click();
    void LBitBtn6Click(); // Kp
    void RBitBtn6Click();
    void LBitBtn2Click(); // bias
    void RBitBtn2Click();
    void BitBtnMouseDown(QAbstractButton* button, bool shift);
    void BitBtnMouseUp();
    void Timer1Timer();
    QTimer& Timer1() { return timer1_; }
    double StepFactor = 0.1;
    // `focused` is the control with the focus, `nowDays` the time in days.
    void FormMouseWheel(int delta, bool shift, QWidget* focused, double nowDays);

    // ---- status display, mouse tools, approach and retract (ScanParaStatus.cpp) ---------------
    TZBar* Image1() const { return image1_; }
    QLabel* StatusBar() const { return statusBar_; }
    TToolButtons* ToolButtons() const { return toolButtons_; }
    // The mouse tool whose button is down (0 drag ... 4 zoom centered).
    int UsedTool() const;
    TApproachCommands& ApproachCommands() { return *approachCommands_; }
    QToolButton* UpButton() const { return upButton_; }
    QToolButton* DownButton() const { return downButton_; }
    QMenu* PopupMenu1() const { return popupMenu1_; } // approach
    QMenu* PopupMenu2() const { return popupMenu2_; } // retract
    void RetractButtonClick();
    void ApproachButtonClick();
    // Check marks, defaults, hints and enabled items from the commands' state.
    void ShowApproachMenus();
    // The Z bar, status line, image time and scan button hints, the power saver.
    void StatusDisplayTick();
    // The main window's hint and its scan button's hint.
    std::function<void(const QString&)> ShowMainHint;
    std::function<void(const QString&)> SetScanButtonHint;
    // The image windows' drag mode and cursor after a tool change.
    std::function<void()> RefreshImageWindowCursors;
    // The coarse window's buttons after a move.
    std::function<void()> RefreshCoarseWindow;
    // The scanner window's dual-z choice (unset: single z).
    std::function<bool()> DualZ;

    // ---- status timer --------------------------------------------------------------------
    void WenigWichtigTimerTimer();
    QTimer& WenigWichtigTimer() { return wenigWichtigTimer_; }

public slots:
    // WM_RANGE_CLAMPED: moves were clamped or the scan failed.
    void WMRangeClamped();
    // WM_SET_PIXELS.
    void WMSetPixels(int pixels);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void BuildStatusControls(QBoxLayout* layout);
    void BuildApproachMenus();
    TNumericEdit* MakeEdit(const QString& name, void (TScanParaForm::*handler)(EditKey));
    QAbstractButton* MakeStepButton(const QString& name, const QString& text, void (TScanParaForm::*click)());

    // Common parts of the edit protocol.
    bool ParseEdit(TNumericEdit* edit, double& value);
    void SaveText(const char* section, const QString& key, TNumericEdit* edit);
    // `propose` puts the typed value into a copy of the scan setup, `store`
    // into ScanParams; a value the scan refuses is not stored.
    void GeometryEdit(TNumericEdit* edit, EditKey key, const std::function<void(TScanSetup&, double)>& propose,
                      const std::function<void(double)>& store);
    // False (the box red, its hint the reason) when the scan would refuse
    // the proposed setup although it takes the current one. While the
    // current one is refused too (part-way through the start-up) anything goes.
    bool AcceptGeometry(TNumericEdit* edit, const std::function<void(TScanSetup&)>& propose);
    // Stores an accepted scan range, then what derives from it.
    void StoreRange(double range);
    // Judges a new frame as a whole and takes it; false (Range box red) when
    // refused or the scan could not take it.
    bool TakeArea(const TScanArea& area);
    // Where the Ki edit is stored: the approach Ki's key while that is shown.
    QString Edit5Key(int mode) const;
    void ReapplyScaledLimits();
    void FeedbackGainEdit(TNumericEdit* edit, EditKey key, float TFeedbackSet::*field,
                          const std::function<QString(int)>& settingsKey);
    void PageEdit(TNumericEdit* edit, EditKey key, const std::function<void(double)>& store,
                  const std::function<void()>& show, bool send = true);
    void MirrorEdit1ToEdit21();
    // Steps 4 to 10 of a new pixel count; false when a buffer could not be made.
    bool ChangePixels(int pixels);
    bool PrepareScan();
    void UpdateFeedback();

    // A copy of the active mode's set, and a change to one of its fields.
    TFeedbackSet ActiveSet() const;
    void SetActiveSetField(float TFeedbackSet::*field, double value);
    int ActiveMode() const;
    // Writes a stepped value into the active set and applies it with Enter.
    void StepSet(const char* editName, float TFeedbackSet::*field, double value);

    TInOutForm* device_ = nullptr;
    TDeviceWorkers* workers_ = nullptr;
    std::map<QString, TNumericEdit*> edits_;
    std::map<QString, QLabel*> labels_;
    std::map<QString, QAbstractButton*> buttons_;
    std::map<QAbstractButton*, void (TScanParaForm::*)()> stepClicks_;
    QComboBox* comboBox1_ = nullptr;
    TNumericEdit* pixelEdit_ = nullptr;
    QTabWidget* pageControl_ = nullptr;
    QWidget* fastZPage_ = nullptr;
    TFastZPage* fastZ_ = nullptr;
    TLevelPage* levelPage_ = nullptr;
    QCheckBox* checkBox1_ = nullptr;

    bool approachKi_ = false;
    bool replaying_ = false; // FormCreate enters the saved frame
    bool pulseBias_ = false;
    int edit18Tag_ = 0;
    QAbstractButton* repeatButton_ = nullptr;
    QTimer timer1_;
    QTimer wenigWichtigTimer_;
    double lastWheelTime_ = 0.0; // days
    bool created_ = false;

    TZBar* image1_ = nullptr;
    QLabel* statusBar_ = nullptr;
    TToolButtons* toolButtons_ = nullptr;
    QToolButton* upButton_ = nullptr;
    QToolButton* downButton_ = nullptr;
    QMenu* popupMenu1_ = nullptr;
    QMenu* popupMenu2_ = nullptr;
    std::unique_ptr<TWorkerApproachActions> approachActions_;
    std::unique_ptr<TApproachCommands> approachCommands_;
};

extern TScanParaForm* ScanParaForm;

} // namespace qvt
