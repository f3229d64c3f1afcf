#pragma once
// The navigator ("Select"): the operator's map of the sample. A tree of
// images, the whole scanner field first and every image window dropped on
// it after, each with the frame it was scanned in. On the selected image the
// operator sets the spectroscopy point, drags a zoom square for the next
// scan, goes to positions, steers the tip with the joystick in image
// coordinates, records positions into the memo and runs scripts.
//
// Window thread only. The parameter window, the spectroscopy window, the
// main window and the script thread are reached through hooks set by the
// code that creates the windows.

#include "navigator/NavigatorLogic.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <map>
#include <memory>

class QAbstractButton;
class QLabel;
class QListWidget;
class QMenu;
class QMimeData;
class QPlainTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class QToolButton;

namespace qvt {

class IScriptRunner;
class TInOutForm;
class TDeviceWorkers;
class TNavigatorImage;

// One image of the tree, shared by its entry node and the nodes below it.
struct TBild {
    TImageFrame Params;
    QImage Bitmap;    // 256 × 256, 32 bits per pixel
    QImage DimBitmap; // a quarter of the brightness: the background for drawing
    int MarkerX = NavigatorImageSize / 2;
    int MarkerY = NavigatorImageSize / 2;
    double PointX = 0.0;
    double PointY = 0.0;
    double PointZ = 0.0;
    std::array<int, 4> ZoomRect{NavigatorImageSize / 2, NavigatorImageSize / 2, NavigatorImageSize / 2,
                                NavigatorImageSize / 2};
    QString ScriptName;
    QString ScriptPath;
};

enum class TNodeKind { Entry, CurrPosition, CurrX, CurrY, CurrZ, Point, PointX, PointY, PointZ, Zoom, Script };

// The popup's command, numbered as the popup remembers it.
enum class TGoCommand { None = 0, GoXY = 1, GoX = 2, GoY = 3, GoZ = 4, UseParameter = 5 };

class TSelForm : public QWidget {
    Q_OBJECT

public:
    explicit TSelForm(QWidget* parent = nullptr);
    ~TSelForm() override;

    // The device window moves go to; the program's own when unset.
    void SetDevice(TInOutForm* device) { device_ = device; }
    TInOutForm* Device() const;
    // The move engine and the joystick (unset: the program's).
    void SetWorkers(TDeviceWorkers* workers) { workers_ = workers; }
    TDeviceWorkers* Workers() const;

    // ---- what the creating code plugs in ---------------------------------------------------
    // Sets a parameter window edit ("Edit9") to a text and presses Enter.
    std::function<bool(const QString& edit, const QString& text)> EnterScanText;
    // The spectroscopy window's X and Y edits and its scan button, set by the code that creates it.
    std::function<void(bool linked, double x, double y)> LinkSpectroscopyHook;
    // The main window's key handler.
    std::function<bool(int key, Qt::KeyboardModifiers modifiers)> ForwardKey;
    // The main window's navigator button follows the window.
    std::function<void(bool down)> SetSelButton;
    // The main window's "Continuous Scan" button.
    std::function<bool()> RepeatButtonDown;
    std::function<void(bool down)> SetRepeatButton;
    // The script thread, set by the code that creates it: Run/Stop is usable only with it.
    IScriptRunner* ScriptRunner = nullptr;

    void FormCreate();
    void FormDestroy();

    // ---- conversions for the selected entry ------------------------------------------------
    TPosition PixelToPosition(double px, double py) const;
    TPosition FractionToPosition(double fx, double fy) const;
    bool PositionToPixel(double x, double y, int& px, int& py) const;

    // ---- the tip ------------------------------------------------------------------------------------
    void ReadCurrentPosition(double& x, double& y, double& z);
    // The status timer: "CurrPosition" and the tip on the selected image.
    void ShowCurrentPosition();
    // Deflection in the image frame (x right, y up); all 0 stops.
    void JoystickMove(int dx, int dy, int dz);
    void RecordPosition(int n);
    void AddCurrentPosition(int n);

    // ---- scans and the spectroscopy point ----------------------------------------------------
    void SetScanFromImage(double angle, double range, double x, double y);
    void LinkSpectroscopy(int n);
    void PointButtonClick();
    void SpeedButton3DblClick();

    // ---- the tree ----------------------------------------------------------------------------
    void TreeView1Change();
    void TreeView1DblClick();
    // Delete key: removes the selected node where that is allowed.
    void DeleteSelectedNode();
    // An image window's picture dropped on the list; false when the drag
    // came from anything but an image window's drawing panel.
    bool ListBox1DragDrop(const QMimeData* data, QObject* source);
    // The popup's first item for the selected node, and its command.
    TGoCommand TreePopupPopup();
    void Goto1Click();
    void UpdateMenuItems();

    // ---- the image ---------------------------------------------------------------------------
    void Image1MouseDown(int x, int y);
    void Image1MouseMove(int x, int y);
    void Image1MouseUp(int x, int y);

    // ---- scripts ------------------------------------------------------------------------------
    void LoadScriptButtonClick();
    // The file chosen in the dialog: stored and attached to the selected entry.
    void ScriptChosen(const QString& fileName);
    // The directory the dialog opens in ([Script] PathToScript, else the
    // default after a message).
    QString ScriptDialogFolder();
    void SpeedButton4Click();
    void RunStopButtonClick();
    bool StartScript();
    void ScriptFinished();
    // A line of script output or of the window's own messages.
    void AppendMemoLine(const QString& line);

    // ---- controls ----------------------------------------------------------------------------
    QTreeWidget* TreeView1() const { return tree_; }
    QPlainTextEdit* Memo1() const { return memo_; }
    QListWidget* ListBox1() const { return listBox_; }
    QToolButton* PointButton() const { return pointButton_; }
    QToolButton* SpeedButton3() const { return zoomButton_; }
    QToolButton* RunStopButton() const { return runStopButton_; }
    QMenu* TreePopup() const { return treePopup_; }
    QWidget* Image1() const;
    QLabel* InfoLabel() const { return infoLabel_; }
    // The picture as drawn, overlays included.
    QImage DrawnImage() const;

    // ---- the model ---------------------------------------------------------------------------
    QTreeWidgetItem* RootNode() const { return root_; }
    QTreeWidgetItem* CurrPositionNode() const { return currPosition_; }
    TBild* SelectedEntry() const;
    TNodeKind SelectedKind() const;
    void Select(QTreeWidgetItem* item);
    static TNodeKind KindOf(const QTreeWidgetItem* item);
    TBild* EntryOf(const QTreeWidgetItem* item) const;
    // The child of `item` of that kind, null when there is none.
    static QTreeWidgetItem* ChildOfKind(const QTreeWidgetItem* item, TNodeKind kind);
    QTreeWidgetItem* EntryNode(const QTreeWidgetItem* item) const;
    TGoCommand OfferedCommand() const { return offered_; }

    // Drag state of the image.
    enum class TDrag { None, Point, Zoom };

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TNavigatorImage;
    void BuildControls();
    QTreeWidgetItem* AddEntry(std::unique_ptr<TBild> bild, const QString& caption);
    QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, TNodeKind kind, const QString& caption);
    void SetValueCaption(QTreeWidgetItem* item, const QString& prefix, double value);
    void ShowPicture();
    void BusyCursor(bool on);
    bool Busy() const { return busy_; }
    void ShowInfo();
    QString ScriptPathSetting() const;

    TInOutForm* device_ = nullptr; // lives as long as the program
    TDeviceWorkers* workers_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QListWidget* listBox_ = nullptr;
    TNavigatorImage* image_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QToolButton* pointButton_ = nullptr;
    QToolButton* zoomButton_ = nullptr;
    QToolButton* attachButton_ = nullptr;
    QToolButton* loadScriptButton_ = nullptr;
    QToolButton* runStopButton_ = nullptr;
    QMenu* treePopup_ = nullptr;
    QLabel* infoLabel_ = nullptr;
    QTreeWidgetItem* root_ = nullptr;
    QTreeWidgetItem* currPosition_ = nullptr;
    std::map<const QTreeWidgetItem*, std::unique_ptr<TBild>> entries_;

    // What is drawn over the picture.
    QImage picture_;
    bool showMarker_ = false;
    bool showZoom_ = false;
    bool showTip_ = false;
    double tipX_ = 0.0;
    double tipY_ = 0.0;
    int crossX_ = 0;
    int crossY_ = 0;
    TZoomSquare square_;

    TDrag drag_ = TDrag::None;
    int pressX_ = 0;
    int pressY_ = 0;
    double currentX_ = 0.0;
    double currentY_ = 0.0;
    double currentZ_ = 0.0;
    TPosition spectPoint_;
    bool savedRepeat_ = false;
    QString scriptPath_;
    TGoCommand offered_ = TGoCommand::None;
    bool busy_ = false;
    bool created_ = false;
};

extern TSelForm* SelForm;

} // namespace qvt
