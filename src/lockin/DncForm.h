#pragma once
// The resonance tool "Dynamic Non-Contact": sweeps the main lock-in's drive
// over a range and shows the cantilever's amplitude and phase with a history
// of earlier curves; a click picks the operating frequency and hands the
// setpoint to the parameter window, a drag sweeps a narrower range. It is
// also the front panel of the main lock-in (input gain, drive and output
// range, time constant, sync filter, alarms).
//
// A sweep runs in the window thread as a state machine on a zero-interval
// timer: each tick takes a few reads and returns to the event loop, so the
// window stays alive without pumping messages inside the sweep. Actions that
// would start or retune an acquisition are ignored while one runs.

#include "device/ChannelTable.h"
#include "lockin/DncControls.h"
#include "lockin/DncFit.h"
#include "lockin/DncNoise.h"
#include "lockin/DncOptions.h"
#include "lockin/DncOptionsLink.h"
#include "lockin/DncPlot.h"
#include "lockin/DncSweep.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace qvt {

class TInOutForm;
class TDeviceWorkers;
class TNumericEdit;
class TDncImage;
class TDncStrip;
enum class EditKey;

class TdncForm : public QWidget, public IDncTool {
    Q_OBJECT

public:
    TdncForm(TDeviceWorkers& workers, TDncOptions& options, QWidget* parent = nullptr);
    ~TdncForm() override;

    void FormCreate();
    void FormDestroy();

    // ---- hooks set by the program's assembly ----------------------------------------
    // Writes a text into an edit of the parameter window and presses Enter
    // there ("Edit1", "Edit18", "Edit22"); false when that window is missing.
    std::function<bool(const QString& edit, const QString& text)> EnterInScanPara;
    // Presses Enter in the parameter window's setpoint with its own text (the
    // setpoint is re-applied with a new input scale).
    std::function<void()> ReapplyScanParaSetpoint;
    // A Shift-click on the spectrum hands the clicked frequency to LIA 1 of
    // the multi lock-in window; unset while that window does not exist.
    std::function<void(double frequency)> SetMultiLockInFrequency1;
    // The save dialog: a file name, or empty when cancelled (a file dialog unless set).
    std::function<QString(const QString& filter, const QString& directory, const QString& name)> AskSaveName;

    // ---- the sweep -------------------------------------------------------------------------
    // With the button down: acquisitions; with it up: ends the running one.
    void ScanButtonClick();
    // Presses or releases the acquisition button as the operator (or a script) would.
    void SetScanButton(bool down);
    bool ScanButtonDown() const;
    bool Acquiring() const override { return acquisition_ != nullptr; }
    void EscButtonClick();
    void AcquireAndShow() override;
    void ApplyOperatingFrequency();
    void SetSetpointFromSpectrum(int column, int row);
    void ShowFrequencies();
    void EditKeyPress(int edit, EditKey key); // 1, 2, 3
    void UnitLabelClick();
    void MyPopupHandler(int item);
    void UpdateRecentRanges();

    // ---- options, fit and auto tune ---------------------------------------------------------
    // Re-reads [dncopt]: sizes, phase and harmonic, input coupling, sync filter, glyph.
    void ApplyOptions();
    void HideFitLabels();
    void UpdateScanGlyph();
    // Q control was switched: the range group follows.
    void QControlChanged();
    bool ToolShown() const override { return isVisible(); }
    QMetaObject::Connection WhenAcquisitionEnds(QObject* context, std::function<void()> f) override;
    QString AskSpectrumSaveName(const QString& filter, const QString& directory, const QString& name) override;
    void SpeedButton1Click(); // the options: asks for the options window
    bool AutoTuning() const { return autoTuning_; }
    TShoFit Fit;
    bool FitDone = false;
    bool AutoTunePending = false;
    double PreviousRangeStart = 0.0;
    double PreviousRangeStop = 0.0;
    QLabel* MathErrLabel() const { return mathErrLabel_; }
    QLabel* NoiseErrLabel() const { return noiseErrLabel_; }

    // ---- thermal-noise spectrum ----------------------------------------------------------------
    void SpeedButton2Click();
    QToolButton* NoiseButton() const { return speedButton2_; }
    // The oscilloscope poll brought buffers (the device window's noise frame).
    void NoiseSpectrumReady();
    bool NoiseDone = false;
    std::array<double, NoiseSamples> NoiseSpectrum{};

    // ---- export ----------------------------------------------------------------------------------
    void SaveSpectrum(const QString& name);
    void ItemSaveClick();
    void SaveButtonClick(bool shift);
    void CopytoClipboard1Click();
    QToolButton* SaveButton() const { return saveButton_; }
    QPushButton* SaveAsButton() const { return saveAsButton_; }
    QPushButton* CopyButton() const { return buttonCopy_; }

    // ---- the display and the mouse -------------------------------------------------------
    void DrawSpectrum();
    void Image1MouseDown(int x, int y, Qt::MouseButton button, bool shift);
    void Image1MouseMove(int x, int y, bool leftHeld);
    void Image1MouseUp(int x, int y, Qt::MouseButton button);

    // ---- controls of the main lock-in -----------------------------------------------------
    void SetInputGain(int gain); // the radio buttons
    void LoadInputGain();
    void UpdateChannelScales();
    void Edit4KeyPress(EditKey key);
    void SetOutputRange(int item, double amplitude);
    void ScaleRadioGrpClick(int itemIndex);
    void RedBandwidthButtonClick();
    void UpdateBandwidthControls();
    void FilterBoxChange();
    double GetTimeConstant() const { return TimeConstant; }
    // The time-constant and roll-off choices (the device window re-sends the filters with them).
    bool FilterChoice(int& timeConstant, int& rollOff) const;
    void ApplySyncFilter();
    void SpeakerButtonClick();
    // Options that reallocate the curves wait until no sweep runs.
    void SetSweepSize(int dataPoints, int historyDepth);

    // ---- state ------------------------------------------------------------------------------
    double RangeStart = 10000.0;
    double RangeStop = 100000.0;
    double SweepStart = 0.0;
    double SweepStop = 0.0;
    double SweepStep = 0.0;
    double CurrentFrequency = 0.0;
    double OperatingFrequency = 50000.0;
    bool AbortRequested = false;
    int HistoryDepth = 0;
    int AverageReads = 0;
    int DataPoints = 512;
    int PointShift = 1;
    double TimeConstant = 0.0002;
    int32_t ContAverageCount = -1;
    bool ShowPhaseTrace = true;
    TDncCurves Curves;
    // How many points of the newest curve hold the last acquisition's values
    // (0..DataPoints, so DataPoints + 1 when it ran to its end; fewer after an
    // Esc or a setting that ended it; 0: nothing measured). Save, Copy, the
    // fit and the picture take no point beyond them.
    int RecordPoints = 0;
    bool RecordComplete() const { return RecordPoints == DataPoints + 1; }
    std::optional<TDncScale> DisplayScale;
    TIOScale* DncInputScale() { return inputScale_.get(); }

    // The pictures as last drawn (for tests and the grab).
    const QImage& SpectrumBitmap() const { return bitmap_; }
    const QImage& MarkerStrip() const { return strip_; }
    QString StatusText(int panel) const;
    QString RangeMenuItem(int item) const;
    QAction* RangeMenuAction(int item) const;
    TNumericEdit* FrequencyEdit(int edit) const;
    TNumericEdit* DriveEdit() const { return edit4_; }
    QComboBox* TimeConstantBox() const { return comboBox2_; }
    QComboBox* RollOffBox() const { return comboBox3_; }
    QPushButton* BandwidthButton() const { return redBandwidthButton_; }
    QToolButton* RepeatButton() const { return repeatButton_; }
    QGroupBox* RangeGroup() const { return scaleRadioGrp_; }
    QGroupBox* InputGroup() const { return inputGroup_; }
    QRadioButton* InputRadio(int gain) const;
    QLabel* ClipPanel() const { return clipPanel_; }
    int UnitTag() const { return unitTag_; }

signals:
    // The acquisition button went up (a sweep or a repetition has ended).
    void acquisitionEnded();
    // The window was shown or hidden (the main window's button follows).
    void visibilityChanged(bool shown);
    // The options button was pressed.
    void optionsAsked();
    // The drive amplitude or the input gain changed: the Q gain read-out follows.
    void qGainScaleChanged();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The lock-in's phase zeroed on the present signal; the options window
    // shows the phase taken.
    void AutoPhase();
    class Acquisition;

    void BuildControls();
    void LoadChannels();
    TSweepSetup MakeSweepSetup();
    void StoreSweepRange();
    bool BeginAcquisition();
    void AcquisitionTick();
    void FinishAcquisition();
    void AfterAcquireAndShow();
    void AcquisitionCaption();
    void ApplyDeferredSize();
    void DrawStrip();
    void DncStatusChanged(bool overload, bool qClip, bool showWindow);
    TDncMarks Marks() const;
    // A key of [dncopt] was written.
    void OptionChanged(TDncOptions::Key key, QObject* by);
    void RunFit();
    void AutoTunePrepare();
    bool AutoTuneNarrowing(); // true when auto tune is done
    void AutoTuneFinish();
    void StartNoiseSpectrum();
    void EndNoiseWait();
    void EnableSaving(bool on);
    // A setting that shapes the data was changed while an acquisition runs:
    // the acquisition ends before the next read, what it measured stays its
    // own record, and the status tells why it ended.
    void EndRunFor(const QString& setting);
    // A setting taken while an acquisition runs waits for the next one: the status says so.
    void NoteNextRun(const QString& setting);
    // The curves were re-sized: nothing measured, no fit, nothing to save.
    void ClearRecord();
    // What the status says about a record that ended early.
    void ShowEndedRecord(bool noise);
    // Rows 1..n of the record for Save and Copy.
    int RecordRows() const;

    TDeviceWorkers& workers_;
    TInOutForm& io_;
    TDncOptions& options_;
    std::unique_ptr<TIOScale> inputScale_;
    std::unique_ptr<Acquisition> acquisition_;
    QTimer* sweepTimer_ = nullptr;
    std::optional<std::pair<int, int>> deferredSize_;

    // Controls.
    std::array<TNumericEdit*, 3> edits_{};     // Edit1 start, Edit2 stop, Edit3 use
    std::array<QPushButton*, 3> unitLabels_{}; // Label8..Label10
    TNumericEdit* edit4_ = nullptr;            // drive
    QToolButton* scanButton_ = nullptr;
    QToolButton* repeatButton_ = nullptr;
    QPushButton* escButton_ = nullptr;
    QGroupBox* inputGroup_ = nullptr;
    std::array<QRadioButton*, 3> inputRadios_{}; // gain 1, 10, 100
    QGroupBox* scaleRadioGrp_ = nullptr;
    QVBoxLayout* scaleLayout_ = nullptr;
    QButtonGroup* scaleButtons_ = nullptr;
    QPushButton* redBandwidthButton_ = nullptr;
    QComboBox* comboBox2_ = nullptr; // time constant
    QComboBox* comboBox3_ = nullptr; // roll-off
    QToolButton* speakerButton_ = nullptr;
    TDncImage* image_ = nullptr;
    TDncStrip* stripWidget_ = nullptr;
    std::array<QLabel*, 2> status_{};
    QLabel* clipPanel_ = nullptr;
    QMenu* rangeMenu_ = nullptr;
    std::array<QAction*, 4> rangeActions_{};
    QMenu* popupMenuMsg_ = nullptr;
    QAction* qClipBeep_ = nullptr;
    QAction* qClipShow_ = nullptr;

    QImage bitmap_; // the spectrum as drawn
    QImage shown_;  // Image1: the spectrum with the setpoint cross
    QImage strip_;
    bool scanLoop_ = false;               // the acquisition button's repetitions are running
    QToolButton* speedButton1_ = nullptr; // options
    QToolButton* speedButton2_ = nullptr; // thermal noise
    QToolButton* saveButton_ = nullptr;
    QPushButton* saveAsButton_ = nullptr;
    QPushButton* buttonCopy_ = nullptr;
    QLabel* mathErrLabel_ = nullptr;
    QLabel* noiseErrLabel_ = nullptr;
    double savedDriveAmplitude_ = 0.0;
    int savedRangeOffset_ = 0;
    bool autoTuning_ = false;
    int32_t savedContAverage_ = -1;
    int32_t savedQGain_ = 0;
    double savedQDelay_ = 0.0;
    int pendingAcquisitions_ = 0; // plain acquisitions after auto tune
    QString endedBy_;             // the setting that ended the running acquisition
    int saveDialogDepth_ = 0;
    TDncRecentRanges recent_;
    std::array<QColor, DncColorCount> colors_;
    int unitTag_ = 0;
    int dragStartX_ = 0;
    bool shiftAtPress_ = false;
    bool dragging_ = false;
    bool showX_ = false;
    TDncChannelRef amplitude_;
    TDncChannelRef inPhase_;
    TDncChannelRef quadrature_;
};

extern TdncForm* dncForm;

} // namespace qvt
