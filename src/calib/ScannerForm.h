#pragma once
// The scanner window: the scanner calibration file (ranges, sensitivities,
// linearisation coefficients, Z gains, scan filters) and the high-voltage
// supply link. It sets the X/Y factors and the scan thread's linearisation
// for the current scan range; the scan folder below never calls back here.

#include "calib/FilterFit.h"
#include "calib/PowerSupplyLink.h"
#include "calib/ScanFilter.h"
#include "calib/ScannerCalibration.h"
#include "widgets/ChartScale.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;
class QTimer;

namespace qvt {

class TDeviceWorkers;
class TNumericEdit;
class TQVTIniFile;
class TSerialPort;
class TSimpleChart;
struct TScanSetup;

class TScannerForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TScannerForm(TDeviceWorkers* workers, QWidget* parent = nullptr);
    ~TScannerForm() override;

    void FormCreate();
    void FormDestroy();

    // ---- calibration ---------------------------------------------------------------
    void LoadScannerFile();
    void LoadRangeTables();
    // Factors and linearisation for scan range `range`, the range the status
    // then names; false when the table could not be used (SoftLin switched
    // off, the operator told).
    bool SetScanRange(double range);
    // The X/Y factors and sensitivities `range` would get, put into `setup`
    // without taking them, so a range can be judged before it is stored.
    void ProposeRangeFactors(double range, TScanSetup& setup) const;
    void InterpolateLinCoeffs();
    // The parameter window takes its stored range again, through SetScanRange
    // (set by app/); without it only the factors and coefficients follow.
    std::function<void()> ReenterRange;
    void ApplyZScale();
    // The Z scale with the stored gains but `zGain`.
    TZScale ZScale(double zGain) const;
    static bool ZFactorUsable(double factor);
    // Sorts and writes the table; false (nothing written) while a cell is invalid.
    bool SaveRangeTables();
    void AddRange();
    void DeleteRange(int row);
    void Teach(bool xAxis);
    void FileNew();
    bool OpenFile(const QString& path);
    bool SaveAs(const QString& path);
    void SetHardLin(bool on);
    // The status timer's hand-over while the scan fits the polynomial
    // ("Offline Correction" unchecked): the HardLin page shows the thread's
    // coefficients and fit results.
    void ShowHardLinCoeff();
    // The teach buttons are there for the administrator only.
    void ShowTeachButton(bool visible);
    // The z sensor the scan thread reads while HardLin is on; -1 none.
    int ZSensorSlot() const;
    // One tab-separated line: fit results A..D, Lin^1, Lin^2/Lin^3 forward
    // and backward of one axis.
    QString CoefficientLine(bool xAxis) const;
    // Re-applies what the scale reload overwrote (Z and X/Y factors).
    void ScalesReloaded();

    bool SoftLinActive() const { return softLinActive_; }
    bool HardLinActive() const { return hardLinActive_; }
    // HardLin is on and its coefficients hold ("HardLin active").
    bool HardLinHolds() const;
    // One Z output only (false: a separate fast Z path).
    bool MonoFastz() const { return monoFastz_; }
    const TScannerTable& Table() const { return table_; }
    TScannerTable& Table() { return table_; }
    TQVTIniFile* ScannerIni() const { return scannerIni_.get(); }
    QString StatusLine(int k) const; // the three status lines
    // The captions the command server's HARDLINPARA reports.
    bool LinLabels(QString& bx, QString& cx) const;

    // ---- scan filters ----------------------------------------------------------------
    void LoadFilterCoeffs();
    void ApplyScanFilter();
    const TScanFilterTable& FilterTable() const { return filters_; }
    TScanFilterTable& FilterTable() { return filters_; }
    QString FilterGroupCaption() const;
    bool FilterError() const { return filterError_; }
    // Reads the axis's response file into the chart; with `takeOver` the
    // file's first line becomes the axis's filters.
    bool ReadFreqResponse(int axis, bool takeOver);
    QString ResponseLabel(int axis) const;
    // "Recalculate": starts the fit program on the axis's response file.
    bool Recalculate(int axis);
    bool WaitingForFit() const { return fit_.Waiting(); }
    // "Check Frequency Response" (axis 0 = X, 1 = Y): runs the measuring
    // script in the Select window and waits for it.
    void CheckFrequencyResponse(int axis);
    bool WaitingForScript() const { return waitingForScript_; }
    // The script thread wrote the response file `fileName` into the filter folder.
    void ResponseWritten(const QString& fileName);
    // What the script thread asks at the end of a run: the file and axis
    // of the measurement under way (false: none).
    bool ResponseWanted(TQVTIniFile*& scannerIni, bool& axisX) const;
    // The Select window's side, set by the assembly: null when it does not exist.
    struct TScriptHooks {
        std::function<bool()> FastModeOn;
        // Loads the script in the Select window and runs it; false when it did not start.
        std::function<bool(const QString& folder, const QString& fileName)> Run;
        std::function<bool()> Running; // its RunStop button is down
        std::function<void()> Stop;    // releases RunStop and stops the script
    } Script;
    QString FilterFolder() const { return filterFolder_; }
    void SetFilterFolder(const QString& folder) { filterFolder_ = folder; }

    // ---- high-voltage supply ------------------------------------------------------------
    bool PowerPortOpen() const;
    TPowerSupplyLink* PowerLink() const { return powerLink_.get(); }
    QString PowerMessage() const;
    // The supply's voltage read-outs: 0 for unit reply 'A', 1 for 'B'.
    QLabel* PowerVoltage(int i) const { return voltage_[i]; }
    // The supply link's clock in ms (tests set it); unset: the window's own.
    std::function<int64_t()> PowerClock;

    // One tick of the window's timer (100 ms shown, 1000 ms hidden).
    void TimerTick();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildUi();
    QWidget* BuildRangePage();
    QWidget* BuildLinPage(bool xAxis);
    QWidget* BuildHardLinPage();
    QWidget* BuildZPage();
    QWidget* BuildFreqPage();
    QWidget* BuildPowerPage();
    void BuildMenus();
    void FillGrids();
    void GridEdited(QTableWidget* grid, int row, int column);
    void PaintInvalidCells();
    void ShowLinStatus();
    void RedrawCharts();
    void ShowZGains();
    void ShowFilterFormula();
    void PickChartCell(const QPoint& pos);
    void DragChartCell(const QPoint& pos);
    void PollPowerSupply();
    // Closes a line that stopped taking commands and tells so.
    void DropLostPowerLine();
    void ShowPowerStatus();
    // The link is down or silent: no lamp and no voltages that are not the unit's now.
    void ShowNoPowerReadings();
    int64_t PowerNowMs() const;
    void FitTick();
    void SoftLinOff();
    // After a change of the table: the current range through its new row.
    void RangeFollowsTable();
    void ApplyLinearisation(const TLinCoefficients& k);
    TLinCoefficients CurrentLinearisation() const;
    bool Type29() const;
    void ShowHardLinEdits();
    bool ChartEditable() const;
    double AxisValue(double range, double sensitivity) const;
    double SensitivityValue(double sensitivity) const;
    void ScriptTick();

    TDeviceWorkers* workers_;
    std::unique_ptr<TQVTIniFile> scannerIni_;
    TScannerTable table_;
    TScanFilterTable filters_{};
    TLinCoefficients lin_; // without a scan thread (tests), kept here
    double range_ = 0.0;   // the range the factors and coefficients are for
    bool softLinActive_ = false;
    bool hardLinActive_ = false;
    bool monoFastz_ = true;
    double maxRangeVolt_ = 10.0;
    bool filterError_ = false;
    int filterRevision_ = 1;
    QString filterFolder_;
    QString statusLines_[3];
    bool fillingGrids_ = false;

    TFilterFit fit_;

    std::unique_ptr<TSerialPort> powerPort_;
    std::unique_ptr<TPowerSupplyLink> powerLink_;
    int powerFkt_ = -1;
    int comNumber_ = 4;
    int64_t powerRetryAtMs_ = 0; // a line closed after a stall stays closed until then

    // Chart drag: row and column (ColX/ColY) being dragged, -1 for none.
    int dragRow_ = -1;
    int dragColumn_ = -1;

    QTimer* timer_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QTableWidget* grid1_ = nullptr; // Range, X, Y
    QTableWidget* grid2_ = nullptr; // Range, X coefficients
    QTableWidget* grid3_ = nullptr; // Range, Y coefficients
    // A series of one of the charts; the charts draw them, the window keeps them.
    TChartSeries* NewSeries();
    std::vector<std::unique_ptr<TChartSeries>> series_;
    TSimpleChart* rangeChart_ = nullptr;
    TSimpleChart* linChartX_ = nullptr;
    TSimpleChart* linChartY_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* linLabels_[3] = {};
    QCheckBox* useHardLin_ = nullptr;
    QCheckBox* offlineCorrection_ = nullptr;
    TNumericEdit* linEdits_[8] = {};
    QWidget* teachButton_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QComboBox* xAxisChoice_ = nullptr;
    QComboBox* yAxisChoice_ = nullptr;
    int hardLinInZ_ = 0;
    bool waitingForScript_ = false;
    bool fitAxisIsX_ = true;
    QString newResponseFile_;
    QPushButton* checkButton_[2] = {};
    TNumericEdit* kiEdit_ = nullptr;
    TNumericEdit* zGainEdit_ = nullptr;
    TNumericEdit* zFastGainEdit_ = nullptr;
    TNumericEdit* gainzFastEdit_ = nullptr;
    QLabel* zLabel_ = nullptr;
    std::vector<QLabel*> fastZLabels_; // captions of the ZGain, ZFastGain, GainzFast rows
    QCheckBox* dualZ_ = nullptr;
    QWidget* freqPage_ = nullptr;
    TSimpleChart* freqChart_ = nullptr;
    QLabel* responseLabel_[2] = {};
    QPushButton* recalcButton_[2] = {};
    QCheckBox* showAmplitude_[2] = {}; // "Amplitude" of X, Y
    QCheckBox* showMinMax_[2] = {};    // "MinMax" of X, Y
    QLabel* filterGroup_ = nullptr;
    QLabel* formulaNum_ = nullptr;
    QLabel* formulaDen_ = nullptr;
    QLineEdit* sciLabEdit_ = nullptr;
    QWidget* sciLabRow_ = nullptr; // the numerics program's path, asked for while none is set
    QRadioButton* filterChoice_[4] = {};
    QLabel* voltage_[2] = {};
    QLabel* powerMessage_ = nullptr;
    QRadioButton* powerActive_ = nullptr;
    QRadioButton* powerOff_ = nullptr;
};

extern TScannerForm* ScannerForm;

} // namespace qvt
