#pragma once
// "LockIn Options": the settings of the resonance tool on six pages
// (Acquire, View, Q, Fit, Auto, Save). It keeps no settings of its own: each
// control writes its key into the options record the moment it changes, and
// the resonance window, holding the same record, follows (most keys have it
// re-read the section, ApplyOptions), so the settings hold also when the
// window is never opened. What the resonance window writes there (the phase
// after an automatic phase, the save name, the next file number) shows here.

#include "lockin/DncOptions.h"
#include "lockin/DncOptionsLink.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace qvt {

class TInOutForm;
class TNumericEdit;
class TQDelayImage;
enum class EditKey;

class TLockInOptionForm : public QWidget {
    Q_OBJECT

public:
    TLockInOptionForm(IDncTool& dnc, TDncOptions& options, TInOutForm& io, QWidget* parent = nullptr);
    ~TLockInOptionForm() override;

    void FormCreate();
    void FormDestroy();

    // ---- handlers ------------------------------------------------------------------------
    void EditAverageKeyPress(EditKey key);
    void EditHistoryChange(EditKey key);
    void EditPhaseKeyPress(EditKey key);
    void Edit1KeyPress(EditKey key);
    void EditFRangeChange(EditKey key);
    void ComboBoxDataPointsChange();
    void ComboBoxHarmonicChange();
    void CheckBox1Click(); // Auto 0°
    void AutoTuneonClick();
    void FitShoAlwaysCheckClick();
    void CheckBox3Click(); // Change Q
    void TrackBar1Change();
    void QDelayMouse(int x, int y, bool release);
    void DrawQDelay();
    void ShowQGain();
    void AutoEditKeyPress(int edit, EditKey key); // 0 start, 1 stop, 2 step, 3 offset
    void AutoUnitLabelClick();
    void ShowAutoTuneFrequencies();
    void BrowseButtonClick();
    void ShowNextNumber();
    // Shown and brought to the front (the resonance window's options button).
    void ShowOptions();

    // For tests and the resonance window.
    QTabWidget* Pages() const { return pages_; }
    TNumericEdit* Edit(const QString& name) const;
    QCheckBox* Check(const QString& name) const;
    QComboBox* Combo(const QString& name) const;
    QSlider* TrackBar() const { return trackBar1_; }
    QLabel* Label(const QString& name) const;
    int AutoUnitTag() const { return autoTag_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void TakeStoredNumber(EditKey key, const char* edit, TDncOptions::Key option, bool single);
    void TakeLimitedCount(EditKey key, const char* edit, TDncOptions::Key option, int (*limit)(int));
    // A key was written into the record.
    void OptionChanged(TDncOptions::Key key, QObject* by);
    void Build();
    QWidget* BuildAcquirePage();
    QWidget* BuildViewPage();
    QWidget* BuildQPage();
    QWidget* BuildFitPage();
    QWidget* BuildAutoPage();
    QWidget* BuildSavePage();
    void ApplyGates();
    void WriteCheck(QCheckBox* box, TDncOptions::Key key);
    void SpectrumAtChange();

    IDncTool& dnc_;
    TDncOptions& options_;
    TInOutForm& io_;
    QTabWidget* pages_ = nullptr;
    QSlider* trackBar1_ = nullptr;
    TQDelayImage* qDelayImage_ = nullptr;
    QSpinBox* fitWidth_ = nullptr;
    int autoTag_ = 0;
    bool qSpectrumRunning_ = false;
    bool creating_ = false;
};

extern TLockInOptionForm* LockInOptionForm;

} // namespace qvt
