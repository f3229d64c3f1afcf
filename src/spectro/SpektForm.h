#pragma once
// The spectroscopy window "Spectroscopy": picks the kind of curve and its
// parameters, builds the excitation, runs the curves on the controller,
// averages and plots them. The kinds, the excitation tables and the
// averaging are plain logic (SpektKinds, SpektExcitation, SpektAcquire); this
// window reads its controls and settings, calls them and shows the result.
//
// A run is a small state machine driven by the device window's poll timer:
// the acquire button starts a curve; when its results are in, they are
// folded in, plotted, and the next curve starts or the run ends. Nothing
// waits in a nested event loop.

#include "device/ChannelTable.h"
#include "spectro/SpektAcquire.h"
#include "spectro/SpektExcitation.h"
#include "spectro/SpektFit.h"
#include "spectro/SpektKinds.h"
#include "widgets/ChartScale.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <random>
#include <vector>

class QComboBox;
class QLineEdit;
class QLabel;
class QPushButton;
class QToolButton;
class QTimer;

namespace qvt {

class TInOutForm;
class TNumericEdit;
class TSimpleChart;

// Who asked for a plot: the plot buttons' mouse-down overlays, the preview
// always shows lead-in and lead-out.
enum class TSpektSender { Other, Self, Preview };

class TSpektForm : public QWidget {
    Q_OBJECT

public:
    explicit TSpektForm(TInOutForm& device, QWidget* parent = nullptr);
    ~TSpektForm() override;

    // Hooks set by the program's assembly.
    // The main window's spectroscopy button follows the window.
    std::function<void(bool down)> SetMainButton;
    // Saving at the end of a run under the given base name ([SpektOpt] AutoSave).
    std::function<void(const QString& baseName)> SaveSpectrum;

    void FormCreate();
    void FormDestroy();

    // ---- kinds and settings ----------------------------------------------------
    void SelectKind(const QString& name);
    void ComboBox1Change();
    void FillChannelLists();
    void SetupChannels();
    void ComboBox2Change(int channel);
    // The point, as image windows and the navigator hand it in.
    void SetPoint(double x, double y);
    // The navigator holds a spectroscopy point (linked) or none: curves are
    // then taken at the current tip position.
    void LinkNavigatorPoint(bool linked, double x, double y);
    // The fast scan streams through the controller: no run may start beside it.
    void SetFastMode(bool on);

    // ---- excitation --------------------------------------------------------------
    // Builds the current kind's excitation into the preview table (what Pre
    // draws); the measured table is never touched.
    bool PrepareExcitation();
    // Reads a ramp file into the preview table; the number of rows read.
    int LoadRampFile(const QString& name);
    void Button1Click();
    const TSpektData& PreviewData() const { return *preview_; }

    // ---- run and display --------------------------------------------------------
    // Click of the acquire button; the script presses it first (fromScript).
    void DoButtonClick(bool fromScript = false);
    void DisplayData(TSpektSender sender = TSpektSender::Other);
    void DisplayDataClick(int tag);
    void CancelButton1Click();
    bool Measuring() const { return measuring_; }
    int Points() const;
    // The current kind's Kind bits (its section, else the table).
    int32_t KindBits() const;

    // ---- fit, files and clipboard (SpektFormSave.cpp) -------------------------------
    void FitButtonClick();
    void Label21Click();
    // Writes the file under base name B (numbered as [SpektOpt] says); false
    // when nothing was written.
    bool SaveSpektFile(const QString& baseName);
    void SaveAsButtonClick();
    // The click: the button's Down state follows AutoSave.
    void SaveButtonClick();
    // The mouse-up: saves now (auto save off), with Shift only toggles auto save.
    void SaveButtonMouseUp(bool shift);
    void ButtonCopyClick();
    QString LoadDelimiter() const;
    void ApplySaveOptions();
    const TSpektFit& Fit() const { return fit_; }
    // Hooks for the sensitivity hand-over, set by the program's assembly.
    std::function<int()> ZSensorSlot;                 // the Z sensor read under hard linearisation, −1 none
    std::function<void(double slope)> ResonanceSlope; // the lock-in options show a slope taken
    std::function<void()> RefreshScanPara;
    std::function<void()> ShowOptions;     // SpeedButton4 "Options"
    std::function<void()> KindMadeCurrent; // the options window reloads its controls
    // The options window shows the next number and the auto-save box.
    std::function<void(int nextNumber)> ShowNextNumber;
    std::function<void(bool on)> ShowAutoSave;
    // Save as asks for a name here (tests answer it); empty: cancelled.
    std::function<QString(const QString& folder, const QString& ext)> AskSaveName;
    QPushButton* FitButton = nullptr;
    QLabel* Label21 = nullptr;
    QToolButton* SaveButton = nullptr;
    QPushButton* SaveAsButton = nullptr;
    QPushButton* ButtonCopy = nullptr;
    QPushButton* SpeedButton4 = nullptr;
    QLineEdit* EditComment = nullptr;

    // What shapes a run's data. A run goes on only while these stay as it
    // started with them; a change during the run ends it.
    struct TSettings {
        QString Kind;
        int32_t KindBits = 0;
        int Points = 0;
        int CountCh = 1;
        std::array<int, 4> Slots{}; // -1 for a channel not recorded
        double Delay1 = 0.0, Delay2 = 0.0;
        double U1 = 0.0, U2 = 0.0, Dz1 = 0.0, Dz2 = 0.0;
        double Ref = 0.0; // the constant-height set point, for the kind that shows it
        double Cycle = 0.0;
        bool LeadInOut = false;
        QString RampFile; // with a ramp file as the cycle
        // The navigator's point the curves are taken at; none: where the tip is.
        bool Linked = false;
        double X = 0.0, Y = 0.0;
        bool operator==(const TSettings&) const = default;
    };
    TSettings CurrentSettings() const;
    // A setting was changed by the operator: a run that would now measure
    // otherwise than it started ends, keeping what it measured, and says so.
    void SettingChanged(const QString& what);

    // The last completed measurement, with the settings it was taken with:
    // only a finished curve writes it; Save, Copy, the fit and the plot read it.
    TSpektData SpektData;
    struct TMeasured {
        bool Valid = false;
        int Points = 0;
        int CountCh = 1;
        bool ZNoise = false;
        // The columns' scales as they were at the start: a later change of a
        // channel or of its scale does not relabel what was measured.
        std::array<TIOScale, 8> Scales{};
        std::array<int, 8> Slots{}; // each column's channel-table slot, -1 none
        TSettings Settings;
    };
    const TMeasured& Measured() const { return measured_; }
    // The plot shows the preview, not a measurement.
    bool ShowsPreview() const { return shown_.Preview; }
    std::array<const TIOScale*, 8> ColumnScales{};
    std::array<int, 4> ChannelSlots{};
    std::vector<TSpektChannelEntry> ChannelList;
    // The window's parameters (0 while the kind hides their edit).
    float PointX = 0.0f;
    float PointY = 0.0f;
    double Delay1 = 0.0; // s
    double Delay2 = 0.0; // s
    double U1 = 0.0, U2 = 0.0, Dz1 = 0.0, Dz2 = 0.0;
    // The random source of the z-noise table (seedable by tests).
    std::function<double()> Random;

    // Controls (named as the window's settings and scripts know them).
    QComboBox* ComboBox1 = nullptr;
    std::array<QComboBox*, 4> ChannelBoxes{};  // ComboBox2..5
    std::array<QToolButton*, 4> PlotButtons{}; // SpeedButton1, 2, 3, 5
    TNumericEdit* Edit1 = nullptr;
    TNumericEdit* Edit2 = nullptr;
    TNumericEdit* Edit3 = nullptr;
    TNumericEdit* Edit4 = nullptr;
    TNumericEdit* Edit5 = nullptr;
    TNumericEdit* Edit6 = nullptr;
    TNumericEdit* Edit7 = nullptr;
    TNumericEdit* Edit8 = nullptr;
    QLabel* Edit5Label = nullptr;
    QToolButton* ScanButton = nullptr;
    QToolButton* RepeatButton = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* CancelButton1 = nullptr;
    TSimpleChart* Image1 = nullptr;
    QLabel* StatusBar = nullptr;

signals:
    // A curve was folded in (count = the n it was averaged with).
    void curveDone(int count);
    // The run has ended (count reached, released or stopped).
    void runEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    void BuildSaveControls();
    void DrawFitOverlay();
    TSpektPlot CurrentPlot(int& xColumn, int& yColumn) const;
    int ColumnSlot(int column) const;
    void ShowSlope(double slope);
    QString Section() const;
    TExcitationShape Shape() const;
    void ShowEdit(TNumericEdit* edit, bool visible);
    void LoadKindEdit(TNumericEdit* edit, const QString& key);
    void ApplyLoadedEdit(TNumericEdit* edit);
    void MarkNegative(TNumericEdit* edit, double value);
    int CurrentCountCh() const;

    bool PrepareExcitationInto(TSpektData& table);
    // A run whose table would drive Z (from where it stands now) or the bias
    // beyond its output is refused: the edits at fault turn red, the operator
    // is told, nothing moves.
    bool RampReachable(const TSpektData& table);
    int LoadRampFileInto(const QString& name, TSpektData& table);
    // The table a redraw shows: the measurement, or the preview before there is one.
    const TSpektData& ShownData(TSpektSender sender, int& points, std::array<TIOScale, 8>& scales) const;
    void ShowTitle();
    void EnablePlotButtons();
    // Ends the run under way because `what` changed.
    void EndRunChanged(const QString& what);
    void StartCurve();
    void CurveReady(int points);
    void EndRun();
    void RestoreKi();
    void BusyCursor(bool on);

    TInOutForm& device_;
    QWidget* edits_[8] = {};
    QLabel* editLabels_[8] = {};
    QLabel* unitLabels_[8] = {};
    std::vector<std::unique_ptr<TChartSeries>> series_;
    std::unique_ptr<TSpektData> noiseTable_; // the next z-noise curve's excitation
    std::unique_ptr<TSpektData> preview_;    // Pre, kind and option changes draw here
    std::unique_ptr<TSpektData> run_;        // the run under way averages here
    TMeasured runInfo_;                      // the settings of the run under way
    TMeasured measured_;
    TSpektAverageCounter counter_;
    QTimer* trackTimer_ = nullptr;
    std::mt19937 noise_{12345};
    bool measuring_ = false;
    bool busyCursor_ = false;
    bool selecting_ = false; // SelectKind is under way
    bool started_ = false;   // FormCreate has run
    int savedKiMode_ = 0;
    float savedKi_ = 0.0f;
    bool kiSaved_ = false;
    double lastX_ = 0.0, lastY_ = 0.0;
    bool navigatorLinked_ = false;
    bool fastMode_ = false;
    // What the plot shows now: the fit and the mouse read this.
    struct TShown {
        bool Preview = true;
        TSpektPlot Plot;
        int X = 0, Y = 3;
    } shown_;
    TSpektFit fit_;
    int fitX_ = 0, fitY_ = 3;
    int dragging_ = 0; // end point being dragged: 0 none, 1 start, 2 end
    std::unique_ptr<TChartSeries> fitLine_, fitEnds_;
    double navigatorX_ = 0.0, navigatorY_ = 0.0;
};

extern TSpektForm* SpektForm;

} // namespace qvt
