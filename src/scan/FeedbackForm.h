#pragma once
// "Feedback": chooses the z-feedback mode the controller runs and shows the
// loop formula of that mode, with the cantilever's spring constant and the
// Kelvin, lock-in and fast-scan z-correction switches.

#include <QStringList>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QPlainTextEdit;

namespace qvt {

class TInOutForm;
class TScanParaForm;
class TFastScanThread;
class TNumericEdit;

// The formula lines of list entry `listIndex` (mode + 1) with the mode's
// input address `address`, as the window shows them.
QStringList FeedbackFormulaLines(int listIndex, int address);

// The lock-in box in `mode`: the dynamic modes need the excitation, so it is
// on and fixed there; below it follows the saved choice.
struct TLockInBox {
    bool Checked = false;
    bool Enabled = true;
};
TLockInBox LockInBoxFor(int mode, bool savedEnable);
// MicroscopeState.LockInOn after the box changed to `checked` in `mode`.
uint32_t LockInOnAfter(uint32_t lockInOn, int mode, bool checked);

class TfeedbackForm : public QWidget {
    Q_OBJECT

public:
    TfeedbackForm(TInOutForm& form, TScanParaForm* scanPara, TFastScanThread* fast, QWidget* parent = nullptr);
    ~TfeedbackForm() override;

    // Hooks into later windows, set by the code that creates them.
    std::function<bool()> LockInButtonVisible;     // the main window's lock-in button
    std::function<void(bool)> ShowResonanceWindow; // the resonance tool

    void FormCreate();
    void FormDestroy();

    void ComboBox1Change();
    void CheckBox1Click();
    void CheckBox2Click();
    void CheckBox3Click();
    void Edit1KeyPress();

    QComboBox* ComboBox1() const { return comboBox1_; }
    QPlainTextEdit* Memo1() const { return memo1_; }
    QCheckBox* CheckBox(int n) const;
    TNumericEdit* Edit1() const { return edit1_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void SetPageVisible(const char* objectName, bool visible);
    // The lock-in excitation on or off in `mode`: the state word and the drive amplitude.
    void ApplyLockIn(int mode, bool on);

    TInOutForm& form_;
    TScanParaForm* scanPara_;
    TFastScanThread* fast_;
    QComboBox* comboBox1_ = nullptr;
    QPlainTextEdit* memo1_ = nullptr;
    QCheckBox* checkBox1_ = nullptr;
    QCheckBox* checkBox2_ = nullptr;
    QCheckBox* checkBox3_ = nullptr;
    TNumericEdit* edit1_ = nullptr;
};

extern TfeedbackForm* feedbackForm;

} // namespace qvt
