#pragma once
// The program's frame window: a multiple-document window whose children are
// the image windows. Its creation opens the two settings files the whole
// program reads. It carries the main menu, the tool bar with the Scan button,
// the status bar and the program-wide hooks: the level-dependent menus, the
// user-activity clock of the power saver, the key preview and the error
// handler.
//
// Window thread only; the scan thread reaches it through IScanHost (called
// in the window thread) and its scanStopped signal.
//
// Every control carries its original name as object name: scripts and the
// settings ([Software] keys) address controls by it.

#include "mainwindow/MainWindowLogic.h"
#include "scan/GoXYThread.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>

class QAbstractButton;
class QAction;
class QComboBox;
class QDockWidget;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMdiArea;
class QMenu;
class QMenuBar;
class QMessageBox;
class QProgressBar;
class QToolButton;

namespace qvt {

class TChildForm;
class TDeviceWorkers;
class TNumericEdit;
class TPaletteMenu;
class TQVTIniFile;

// Only with a numbered USB box: the settings the boxes share (AppDir + "ini/usb.ini").
extern TQVTIniFile* UsbIni;

class TMainQVTForm : public QMainWindow, public IScanHost {
    Q_OBJECT
public:
    explicit TMainQVTForm(QWidget* parent = nullptr);
    ~TMainQVTForm() override;

    // ---- creation, start and exit ---------------------------------------------------
    // Help file, settings, position, tool bar, menus and toggles from the
    // settings. False when no settings file exists (the operator was told).
    bool FormCreate(const QString& baseName);
    // Opens MainIni and UserIni for the settings name. False when no settings
    // file exists (the operator has been told).
    bool LoadIniFiles(const QString& baseName);
    // The device window: the scan thread's host and its stop signal.
    void ConnectDevice(TDeviceWorkers* device);
    // The scan parameter window, docked at the left.
    void DockParameterWindow(QWidget* form);
    // Once every window exists: delay calibration, communication test, the
    // parameter window shown, the numbered-USB auto start, the fast button.
    void StartUp();
    // Asked when the window is to close: stops the scan, retracts when
    // configured and approached, refuses while the scan still runs, then
    // ramps X/Y home. False: the close is refused.
    bool FormCloseQuery();
    void FormClose();
    // Writes the window geometry and the tool bar toggles. The settings
    // objects themselves live until the window is destroyed, so the device
    // window can still read them while it shuts down.
    void FormDestroy();

    // ---- scanning ---------------------------------------------------------------------
    // The Scan button's handler (also image pop-ups, command server, scripts).
    void Scan(TScanSender sender = TScanSender::User);
    void FastSpeedButtonClick();
    void SaveButtonClick();
    // Left mouse-up on the Save button: save now and stop saving
    // automatically; with Shift: switch the automatic save.
    void SaveButtonMouseUp(bool shift);
    void FileSaveItemClick();
    void FileSaveAllItemClick();
    // ScanPopup: "1D", "2D", "cont. on restart".
    void N1D1Click();
    void N2D1Click();
    void ContOnRestartClick();

    // ---- keys -------------------------------------------------------------------------
    // Esc: AbortFlag. S/I/P/U step the setpoint, Ki, Kp and bias rows of the
    // parameter window (Shift: up). Tool windows forward their keys here.
    // True when the key meant something here (it is not consumed).
    bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);

    // ---- window messages --------------------------------------------------------------
    // A second start asked this instance to come forward.
    void WMRestore();
    // The scan thread stopped: the Scan button goes up.
    void WMScanStopped();

    // ---- menus and levels ----------------------------------------------------------------
    void UpdateMenuItems();
    int AdminLevel() const { return adminLevel_; }
    // "Make me ..": level 0 asks for the password, 1 → 0, 2 → 1.
    void MakemeAdminItemClick();
    // The password window grants a level.
    void SetAdminLevel(int level);
    void TouchItemClick();
    void MeasureAllItemClick();
    void DDESever1Click();
    void OpenLastItemClick();
    void EditIniItemClick();
    void FileCloseItemClick();
    void FileExitItemClick();
    void ParameterItemClick();
    void CascadeClick();
    void TileClick();
    void MinimizeAllClick();
    void HelpContentsClick();
    void HelpPdfClick();

    // ---- tool bar ----------------------------------------------------------------------
    void ArrangeToolbar();
    // The separate lock-in's device is open: its window has a tool-bar button too.
    std::function<bool()> LockInDeviceOpen;
    // The scanner window's teach buttons follow the administrator level.
    std::function<void(bool visible)> ShowScannerTeachButton;
    // The offset and range boxes of the manual contrast, shown by an image
    // window in "Manual" gain with its values (physical units).
    void ShowManualGainBoxes(bool shown, double offset = 0.0, double range = 0.0);
    // Channel names of the acquired buffers; each buffer learns its item index.
    void FillChannelComboBox();
    // Enter in the offset (Edit1) or range (Edit2) box.
    void Edit1Enter();
    void Edit2Enter();
    // The wheel over the focused offset or range box.
    void FormMouseWheel(int delta, bool shift);

    // ---- image windows -------------------------------------------------------------------
    QMdiArea* MdiArea() const { return mdiArea_; }
    QList<TChildForm*> ImageWindows() const;
    TChildForm* ActiveImageWindow() const;
    void ResizeImageWindows();

    // ---- the error handler ------------------------------------------------------------
    void AppException(const QString& message, QObject* sender);

    // ---- controls by name ----------------------------------------------------------------
    QAbstractButton* Button(const QString& name) const;
    QAction* MenuItem(const QString& name) const;
    QWidget* Control(const QString& name) const;
    QToolButton* ScanButton() const { return scanButton_; }
    QToolButton* RepeatButton() const { return repeatButton_; }
    QToolButton* SaveButton() const { return saveButton_; }
    // The miscellaneous window's "Auto Save Scan" box follows the Save
    // button's mouse-up. Unset: there is none.
    std::function<void(bool on)> ShowAutoSave;
    QToolButton* FastSpeedButton() const { return fastButton_; }
    QMenuBar* MainMenu() const { return menuBar_; }
    QWidget* SpeedPanel() const { return speedPanel_; }
    QMenu* ScanPopup() const { return scanPopup_; }
    QString IniFileName() const { return iniFileName_; }
    bool HelpFileFound() const { return !helpFile_.isEmpty(); }
    QDockWidget* ParameterDock() const { return parameterDock_; }
    // The fast scan's memory fill, 0..100.
    void ShowMemoryProgress(int value);
    // What the simulated controller records against its limits, in red on the status line.
    void ShowSimulatorRecord(const QString& text);

    // ---- what later windows plug in -----------------------------------------------------
    // A menu command whose window comes later: enabled once it has a target.
    void SetMenuCommand(const QString& itemName, std::function<void()> command);
    // A tool bar toggle that shows (down) or hides (up) its window.
    void SetToolToggle(const QString& buttonName, std::function<void(bool down)> showWindow);
    // The fast scan: the fast button is usable once both are set.
    void SetFastMode(std::function<void()> enter, std::function<void()> leave);
    // A spectroscopy curve is being recorded: the Fast button is refused.
    std::function<bool()> SpectroscopyRunning;
    // The controller has no fast scan: its button and menu item stay hidden.
    void HideFastControls();
    // The retract for [Main] RetractOnExitQVT; unset: the device window's CoarseRetract.
    std::function<void()> CoarseRetract;
    // The local command server switched on or off by "&DDE Sever".
    std::function<void(bool on)> DdeServerSwitch;
    // "&DDE Sever" shows whether the server runs (unchecked when it could not start).
    void ShowDdeServerState(bool on);
    // The password window of level 0.
    std::function<void()> ShowAdminForm;
    // The close was accepted (Exit, the close button): the whole program ends,
    // whatever other windows are open.
    std::function<void()> Closed;

    // ---- IScanHost (window thread) -----------------------------------------------------
    void PressScanButton() override;
    bool ScanButtonDown() const override;
    void ReleaseScanButton() override;
    bool FastSpeedButtonDown() const override;
    bool AutoLevelOn() const override;
    void SendPlaneCorrection() override;
    bool RepeatButtonDown() const override;
    bool SaveButtonDown() const override;
    bool ContOnRestart() const override;
    void ClearStatusText() override;
    void ShowStatusText(const QString& text) override;
    void FinishFrame() override;
    void SaveFrame() override;
    void ShowStopScanMessage(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildMenus();
    void BuildSpeedPanel();
    // The operator's stop of whatever motion runs.
    void StopMotions();
    QToolButton* AddSpeedButton(const QString& name, const QString& hint, bool toggle, bool groupEnd = false);
    QAction* AddItem(QMenu* menu, const QString& name, const QString& caption,
                     void (TMainQVTForm::*handler)() = nullptr);
    void RestorePosition();
    bool PositionsSettable() const;
    void UpdateWindowList();
    void ArrangeIcons();
    void ApplyAdminLevel(int level);
    // The typed offset or range goes to the active image window; false
    // refuses it (a range of 0 or below).
    bool ApplyManualGain(bool isRange, double value);
    void ShowManualGainValues(double offset, double range);
    // The active image window's values, as Esc restores them.
    void ShowManualGainValues();
    void SetScanGlyph(bool lineScan);
    // The Scan popup's 1D and 2D items.
    void ChooseScanKind(bool lineScan);
    void NoteUserActivity();
    TGoXYThread* ScanThread() const;

    QMenuBar* menuBar_ = nullptr;
    QWidget* speedPanel_ = nullptr;
    QMdiArea* mdiArea_ = nullptr;
    QDockWidget* parameterDock_ = nullptr;
    QMenu* window1_ = nullptr;
    QMenu* scanPopup_ = nullptr;
    QMenu* palette1_ = nullptr;
    TPaletteMenu* paletteMenu_ = nullptr;
    QMessageBox* stopScanMessage_ = nullptr;

    QToolButton* scanButton_ = nullptr;
    QToolButton* repeatButton_ = nullptr;
    QToolButton* saveButton_ = nullptr;
    QToolButton* fastButton_ = nullptr;
    TNumericEdit* edit1_ = nullptr;
    TNumericEdit* edit2_ = nullptr;
    QComboBox* comboBox2_ = nullptr;
    QProgressBar* memProgBar_ = nullptr;
    QLabel* simRecordField_ = nullptr;
    // The tool bar's controls in their left-to-right order.
    std::vector<TToolbarControl> toolbarOrder_;
    std::map<QString, QWidget*> controls_;
    std::map<QString, QAction*> items_;
    std::map<QString, std::function<void(bool)>> toggles_;
    std::map<QString, std::function<void()>> commands_;
    QList<QAction*> windowListActions_;

    QString iniFileName_;
    QString helpFile_;
    std::unique_ptr<TQVTIniFile> mainIni_;
    std::unique_ptr<TQVTIniFile> userIni_;
    std::unique_ptr<TQVTIniFile> usbIni_;
    QPointer<TDeviceWorkers> device_;
    std::function<void()> enterFastMode_;
    std::function<void()> leaveFastMode_;

    int adminLevel_ = LevelAdmin;
    bool touchFlag_ = false;
    bool manualGainShown_ = false;
    bool fastScanPresent_ = true;
    bool destroyed_ = false;
    // The stored width a smaller screen cut at start (0: none was cut).
    int widthCutFrom_ = 0;
    int arrangedWidth_ = -1;
};

extern TMainQVTForm* MainQVTForm;

} // namespace qvt
