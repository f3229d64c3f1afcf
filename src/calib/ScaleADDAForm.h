#pragma once
// "Scale AD/DA": calibrates one output and one input channel with a meter,
// stage by stage, and stores the results as their channel scales. A 4 × 8
// grid shows 32 raw controller registers, refreshed with the ramp's timer.

#include "calib/ScaleADDA.h"

#include <QWidget>

#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QTableWidget;
class QTimer;

namespace qvt {

class TInOutForm;
class TNumericEdit;
class TQVTIniFile;

class TScaleADDAForm : public QWidget {
    Q_OBJECT

public:
    explicit TScaleADDAForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TScaleADDAForm() override;

    void FormCreate();
    void FormActivate();
    void FormDestroy();
    void TestChannelComboChange(int index);
    void DMSChannelComboChange(int index);
    void RadioGroup2Click(bool adMode);
    void RadioGroup1Click(bool ramp);
    void RefreshChannel();
    void ShowCalibration();
    void DefaultButtonClick();
    void Timer1Timer();
    // Enter in a chain edit (tag 1..6), a DAC scale edit or an ADC scale edit (tag 1..5).
    void EditKeyPress(int tag);
    void ScaleEditKeyPress(int tag);
    void SGScaleEditKeyPress(int tag);
    void SaveDacScale();
    void SaveAdcScale();
    // Enter in the min (tag 1) or max (tag 2) voltage edit.
    void MinMaxEditKeyPress(int tag);

    // The scanner's calibration file and whether its sensor linearisation is on.
    std::function<TQVTIniFile*()> ScannerIni;
    std::function<bool()> HardLinActive;

    TScaleADDAChain& Chain() { return chain_; }
    TNumericEdit* ChainEdit(int tag) const { return chainEdits_[static_cast<size_t>(tag - 1)]; }
    TNumericEdit* MinMaxEdit(int tag) const { return minMaxEdits_[static_cast<size_t>(tag - 1)]; }
    QLineEdit* DacEdit(int tag) const { return dacEdits_[static_cast<size_t>(tag - 1)]; }
    QLineEdit* AdcEdit(int tag) const { return adcEdits_[static_cast<size_t>(tag - 1)]; }
    QComboBox* TestChannelCombo() const { return testCombo_; }
    QComboBox* DMSChannelCombo() const { return dmsCombo_; }
    QTableWidget* RegisterGrid() const { return grid_; }
    QLabel* ImpossibleLabel() const { return impossible_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool AdcShown() const;
    double UnitPrefix() const;
    void Paint(QLineEdit* edit, const char* color);

    TInOutForm& link_;
    TScaleADDAChain chain_;
    QComboBox* testCombo_ = nullptr;
    QComboBox* dmsCombo_ = nullptr;
    QRadioButton* daRadio_ = nullptr;
    QRadioButton* adRadio_ = nullptr;
    QRadioButton* staticRadio_ = nullptr;
    QRadioButton* rampRadio_ = nullptr;
    std::array<TNumericEdit*, 6> chainEdits_{};
    std::array<TNumericEdit*, 2> minMaxEdits_{};
    std::array<QLineEdit*, 5> dacEdits_{};
    std::array<QLineEdit*, 5> adcEdits_{};
    QCheckBox* dacInvers_ = nullptr;
    QCheckBox* adcInvers_ = nullptr;
    QLabel* chainText_ = nullptr;
    QLabel* impossible_ = nullptr;
    QLabel* sgDiffLabel_ = nullptr;
    QTableWidget* grid_ = nullptr;
    QTimer* timer1_ = nullptr;
    bool filling_ = false;
};

extern TScaleADDAForm* ScaleADDAForm;

} // namespace qvt
