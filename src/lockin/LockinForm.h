#pragma once
// The separate lock-in amplifier on its own device ("\\.\LockIn"): reference
// frequency, output amplitude and range, phase, harmonic, external reference,
// input gain and the demodulation filter; its X and Y come in through the
// main controller and are shown every 100 ms. The window also holds the
// filter-coefficient tables every lock-in filter of the system is loaded
// from, so it exists (hidden and silent) even without the device.

#include "lockin/LockinWords.h"

#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QComboBox;
class QPoint;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace qvt {

class DeviceDriver;
class TInOutForm;

class TLockinForm : public QWidget {
    Q_OBJECT

public:
    explicit TLockinForm(QWidget* parent = nullptr);
    ~TLockinForm() override;

    void FormCreate(TInOutForm* link);
    void FormDestroy();

    // Rescales what follows the X/Y input scale (the oscilloscope, the
    // parameter window's setpoint); set by the program's assembly.
    std::function<void()> InputScaleChanged;
    // The main window's LockinButton follows the window (released on close).
    std::function<void(bool down)> SetMainButton;

    bool FilterRecord(int timeConstant, int slope, TSetFilterRecord& out) const;
    bool DeviceOpen() const { return device_ != nullptr; }
    DeviceDriver* Device() const { return device_.get(); }

    void ApplySettings();
    void SetAmplitude(double volts);
    void SetFrequency(double hz);
    void SetHarmonicPhase();
    bool SetGain(int gain);
    void SetFilter(int timeConstant, int rollOff);
    int32_t ReadStatus(bool* ok = nullptr);
    void Timer1Timer();

    // Enter in one of the four edits (1 frequency, 2 amplitude, 3 phase, 4 harmonic).
    bool EnterText(int edit, const QString& text);
    void SetDisplayQuantity(int slot, int quantity); // 0 X, 1 Y, 2 R, 3 Phi
    void SetDisplayFormat(int slot, int item);

    // A click on the frequency (edit 1) or amplitude (edit 2) unit label
    // steps to the next unit, past the last back to the first.
    void UnitLabelClick(int edit);
    QString UnitText(int edit) const;
    // "ext. Referenz": the reference from outside; the typed frequency comes
    // back when it is switched off.
    void ItemExtInputClick();
    bool PllOn() const { return pll_; }
    // "on overload: beep", "on overload: change color".
    void SetOverloadBeep(bool on);
    void SetOverloadColour(bool on);
    // The format menu of a display slot lists its items only for a unit in volts.
    bool FormatMenuShown(int slot) const;
    int DisplayFormat(int slot) const { return slot >= 0 && slot < 2 ? format_[slot] : -1; }

    double Frequency() const { return freq_; }
    int32_t ControlWord() const { return control_; }
    QString DisplayText(int slot) const;
    bool TimerActive() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildUi();
    void ShowSettings();
    void StoreGainRadios();
    void FormatMenu(int slot, const QPoint& at);

    TLockinFilterTables tables_;
    TLockinRanges ranges_;
    std::shared_ptr<DeviceDriver> device_;
    TInOutForm* link_ = nullptr;

    double freq_ = 40000.0;
    double ampl_ = 100.0;
    double phase_ = 0.0;
    int harm_ = 1;
    bool pll_ = false;
    int32_t control_ = 0;
    double inputScale_ = 100.0;
    int unit_[5] = {0, 0, 0, 0, 0}; // per edit: −1 milli, 0, 1 kilo, 2 mega
    int quantity_[2] = {0, 1};
    int format_[2] = {0, 0};
    TLockinDisplayFormat display_[2];
    int32_t lastStatus_ = 0;
    bool statusBeep_ = true;
    bool statusRed_ = true;

    QLineEdit* edits_[5] = {};
    QLabel* units_[5] = {};
    QPushButton* unitButtons_[3] = {}; // the clickable frequency and amplitude units
    QLabel* values_[2] = {};
    QComboBox* quantities_[2] = {};
    QComboBox* timeConstant_ = nullptr;
    QComboBox* rollOff_ = nullptr;
    QRadioButton* gain_[3] = {};
    QTimer* timer_ = nullptr;
    QAction* extReference_ = nullptr;
    QAction* beepItem_ = nullptr;
    QAction* colourItem_ = nullptr;
};

extern TLockinForm* LockinForm;

} // namespace qvt
