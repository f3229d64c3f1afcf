#pragma once
// "Multi Channel LockIn": the three digital lock-in oscillators of type-26/29
// controllers. Frequencies (typed or following a link formula), amplitudes,
// reference phases with automatic adjustment, inputs, the reference output,
// the demodulation filter, two outputs as numbers every 100 ms, and the
// spectrum: one oscillator swept over a range while four channels are read.
//
// The sweep is a state machine on a zero-interval timer, one point per tick,
// so the window stays alive without pumping messages inside it.

#include "lockin/MultiLockInSpectrum.h"
#include "widgets/ChartScale.h"

#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QPoint;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace qvt {

class TInOutForm;
class TSimpleChart;
struct TMultiLockInChannel;

class TMultiLockInForm : public QWidget {
    Q_OBJECT

public:
    explicit TMultiLockInForm(QWidget* parent = nullptr);
    ~TMultiLockInForm() override;

    void FormCreate(TInOutForm* link);
    void FormDestroy();

    // The dynamic-mode window's output range re-applied (it re-sends register 10).
    std::function<void()> ReapplyDriveRange;
    // The "Options" button.
    std::function<void()> ShowOptions;
    // The next number of a numbered save, shown in the options window.
    std::function<void(int)> NextNumberChanged;

    // Administrator mode shows "Store" and "Delete" of the link presets.
    std::function<bool()> AdminMode;
    // The main window's lock-in button: down while the window is shown.
    std::function<void(bool down)> SetMainButton;
    // Keys the window's controls leave go to the main window (Esc stops a
    // wait, the letters step the feedback rows).
    std::function<bool(int key, Qt::KeyboardModifiers modifiers)> ForwardKey;

    // Link presets of box k: "Store" the typed text, "Delete" the selected item.
    bool StorePreset(int k);
    bool DeletePreset(int k);
    // Power feedback of LIA 2/3 (k = 1, 2): setpoint and Ki as typed, on or off.
    bool SetPowerFeedback(int k, const QString& setpoint, const QString& ki, bool on);
    // A click on the chart at frequency x sets the sweep source there; a
    // range from the menu sweeps it once.
    void ChartClick(double x);
    // The LIA 2 (k = 1) and LIA 3 (k = 2) output route toggles; register 19
    // then holds the route bits only, until the amplitudes are applied again.
    void RouteClick(int k);
    void RangeMenuClick(const QString& text);

    // Re-reads the spectrum options (average, points, Math, running mean).
    void LoadOptions();

    void ApplyFrequencies();
    void ApplyPhases();
    void ApplyAmplitudes();
    void SetReferenceOutput(int mode);
    void SetInput(int k, int tag); // k = 0..2; 0 In A, 1 In B
    void FilterChange(int t, int r);
    void AutoPhase(int k);
    void Timer1Timer();
    bool Channel(int k, TMultiLockInChannel& channel) const;

    // Enter in an edit: kind 0 frequency, 1 amplitude, 2 phase; k = 0..2.
    bool EnterText(int kind, int k, const QString& text);
    void SetLinkText(int k, const QString& text);
    // LIA k's frequency as if typed (k = 0..2): stored under FreqN and applied.
    // One the oscillator cannot run at is refused (red) and false.
    bool SetFrequency(int k, double f);
    bool FrequencyRefused(int k) const { return refused_[static_cast<size_t>(k)]; }
    double SettleTime() const { return settle_; }
    QString NumbersText(int slot) const;
    // The unit labels of the frequency (0..2), amplitude (3..5) and range
    // (6 start, 7 stop) edits: a click steps to the next unit.
    void LabelIncClick(int label);
    QString UnitText(int label) const;
    // The unit label of a numbers slot: −1 mV, 0 V, 1 nV, 2 µV, then back to −1.
    void NumbersUnitClick(int slot);

    // ---- the spectrum ----------------------------------------------------------------
    void SelectSweepSource(int k); // 1..3, −1 none
    int SweepSource() const { return source_; }
    void SetRange(double start, double stop);
    void StartSweep();
    void StopSweep();
    bool Sweeping() const { return sweeping_; }
    // Sweeps in the running mean (-1: no running mean).
    int32_t SweepCount() const { return repetition_; }
    const TChartSeries& Series(int i) const { return series_[static_cast<size_t>(i)]; }
    double Step() const { return step_; }
    int Points() const { return points_; }
    bool SaveSpectrum(const QString& name);
    // Save, Save as and Copy: only while there is a swept spectrum to write.
    void EnableSaving(bool on);
    QStringList RangeHistory() const { return history_; }

    // The save dialog (filter "text|pattern", start directory, file name); an
    // empty answer is a cancel. Tests script it.
    std::function<QString(const QString& filter, const QString& directory, const QString& name)> AskSaveName;
    // The "auto save" box of the options window follows the save button.
    std::function<void(bool)> AutoSaveChanged;
    // The save-as dialog took a new name and extension.
    std::function<void(const QString& name, const QString& ext)> SaveNameChanged;
    bool SaveAsButtonClick();
    // Mouse-up on the save button: without Shift save now (auto-save off),
    // with Shift toggle auto-save.
    void SaveButtonClick(bool shift);
    void CopyImageBtnClick();
    bool AutoSave() const;

    // The acquisition boxes list the [Scale]-checked channels; with none
    // listed a box keeps reading the lock-in outputs it read before.
    void FillChannelCombos();
    void AcqComboBoxChange(int box, int index);
    int AcquisitionSlot(int box) const { return acqSlots_[static_cast<size_t>(box)]; }
    // A channel button (0..3, 4 Math) pressed alone shows only its series.
    void ChannelButtonClick(int button);
    bool ChannelButtonDown(int button) const;
    int CountChannels() const { return countChannels_; }
    bool YAxisLog() const;

    // The numbers view (spectrum hidden) or the spectrum view.
    void ShowNumbersView(bool numbers);
    bool NumbersView() const { return numbersView_; }
    // The chart's mouse in pixels: a drag of more than 3 pixels zooms and
    // sweeps once, a click sets the source there, a move shows the cursor.
    void ChartMouseDown(int px);
    void ChartMouseMove(int px, int py, bool leftDown);
    void ChartMouseUp(int px);
    QString CursorText(int px, int py) const;
    QString StatusText() const;
    TSimpleChart* Chart() const { return chart_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildUi();
    // Enter or a choice in link box k: a cleared box selects "no link", an
    // item's index is stored, the frequencies are applied.
    void LinkBoxSelect(int k);
    void SweepOnce();
    void RangeMenu(const QPoint& at);
    void ShowOnlyPressedSeries();
    void ShowFrequencies();
    void SweepTick();
    void EndSweep();
    // A setting that shapes the spectrum changed during a sweep: the sweep
    // ends before its next reading and keeps the points it measured; the
    // status says why it ended.
    void EndSweepFor(const QString& setting);
    // A setting the running sweep does not take: the status says it waits.
    void NoteNextSweep(const QString& setting);
    double ReadSlot(int slot);

    TInOutForm* link_ = nullptr;
    std::array<double, 3> typed_{};
    std::array<bool, 3> refused_{};
    std::array<int, 3> inputTags_{};
    std::array<int, 2> numbers_{2, 3};
    std::array<double, 2> numberValues_{};
    double settle_ = 0.0001;
    bool amplitudes23_ = false;

    std::array<QLineEdit*, 3> freqEdits_{};
    std::array<QComboBox*, 3> linkBoxes_{};
    std::array<QLineEdit*, 3> amplEdits_{};
    std::array<QLineEdit*, 3> phaseEdits_{};
    std::array<QPushButton*, 3> inputButtons_{};
    std::array<QPushButton*, 3> routeButtons_{};
    std::array<int, 3> routeTags_{};
    QComboBox* timeConstant_ = nullptr;
    QComboBox* rollOff_ = nullptr;
    QRadioButton* refA_ = nullptr;
    QRadioButton* refB_ = nullptr;
    std::array<QComboBox*, 2> numberBoxes_{};
    std::array<QLabel*, 2> numberLabels_{};
    std::array<QPushButton*, 2> numberUnits_{};
    std::array<int, 2> numberTags_{};
    std::array<int, 8> unitTags_{};
    std::array<QPushButton*, 8> unitButtons_{};
    QTimer* timer_ = nullptr;

    // spectrum
    QComboBox* sourceBox_ = nullptr;
    QLabel* sourceLabel_ = nullptr;
    QLineEdit* startEdit_ = nullptr;
    QLineEdit* stopEdit_ = nullptr;
    QPushButton* scanButton_ = nullptr;
    QPushButton* repeatButton_ = nullptr; // "continue acquire": sweep after sweep while down
    TSimpleChart* chart_ = nullptr;
    std::array<TChartSeries, 5> series_;
    std::array<int, 4> slots_{};
    // The channel-table slot of each acquisition box; −1 reads the lock-in
    // output 14 + box as before the boxes were filled.
    std::array<int, 4> acqSlots_{-1, -1, -1, -1};
    std::array<int32_t, 4> readAddress_{};
    std::array<double, 4> readFactor_{};
    std::array<QComboBox*, 4> acqBoxes_{};
    std::array<QPushButton*, 5> channelButtons_{};
    std::array<QGroupBox*, 3> groups_{};
    std::vector<QWidget*> numbersWidgets_;
    std::vector<QWidget*> spectrumWidgets_; // hidden also while no source is chosen
    QRadioButton* numbersRadio_ = nullptr;
    QRadioButton* spectrumRadio_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QPushButton* saveAsButton_ = nullptr;
    QPushButton* copyButton_ = nullptr;
    QLabel* status_ = nullptr; // the cursor read-out
    bool numbersView_ = true;
    int countChannels_ = 1;
    int dragX0_ = -1;
    int lastSource_ = -1; // re-selected when the spectrum view returns
    int saveDialogDepth_ = 0;
    QTimer* sweepTimer_ = nullptr;
    int source_ = -1;
    double start_ = 100000.0;
    double stop_ = 200000.0;
    double step_ = 0.0;
    int points_ = 512;
    int average_ = 9;
    int32_t wait_ = SpectrumMinimumWait;
    int32_t repetition_ = -1; // the spectrum's own running-mean counter
    int point_ = 0;
    int reading_ = 0; // of the current point
    std::array<double, 4> sums_{};
    bool sweeping_ = false;
    bool stopRequest_ = false;
    double savedFrequency_ = 0.0;
    // The running sweep's own set-up, taken at its start: what the window's
    // controls and the options say meanwhile waits for the next sweep.
    int runSource_ = -1;
    double runStart_ = 0.0;
    int runPoints_ = 0;
    int runAverage_ = 0;
    std::array<int, 4> runSlots_{};
    QString endedBy_;
    TSpectrumMeans means_;
    QStringList history_;
    struct PowerFeedback {
        bool On = false;
        int32_t Setpoint = 0;
        int32_t Ki = 0;
    };
    std::array<PowerFeedback, 3> power_{};
};

extern TMultiLockInForm* MultiLockInForm;

} // namespace qvt
