#include "navigator/SelForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "images/ChildForm.h"
#include "platform/FileDialogs.h"
#include "platform/Launcher.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaLogic.h"
#include "script/ScriptRunner.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt {

TSelForm* SelForm = nullptr;

namespace {

constexpr int KindRole = Qt::UserRole + 1;
constexpr const char* CurrPositionCaption = "CurrPosition";
constexpr const char* ScriptCaption = "Script :          ";
constexpr int InfoShownMs = 200;
constexpr int CrossHalf = 5; // an 11-pixel cross
const QColor MarkColour(0, 255, 0);
const QColor TipColour(255, 64, 64);

QImage DimCopy(const QImage& image)
{
    QImage dim = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < dim.height(); ++y) {
        auto* line = reinterpret_cast<uint32_t*>(dim.scanLine(y));
        for (int x = 0; x < dim.width(); ++x)
            line[x] = 0xFF000000u | ((line[x] >> 2) & 0x003F3F3Fu);
    }
    return dim;
}

QImage GreyImage()
{
    QImage image(NavigatorImageSize, NavigatorImageSize, QImage::Format_RGB32);
    image.fill(QColor(128, 128, 128));
    return image;
}

} // namespace

// The 256 × 256 picture: the selected image with the marker, the zoom
// square and the tip drawn over it.
class TNavigatorImage : public QWidget {
public:
    explicit TNavigatorImage(TSelForm* form) : QWidget(form), form_(form)
    {
        setObjectName("Image1");
        setFixedSize(NavigatorImageSize, NavigatorImageSize);
        setMouseTracking(false);
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.drawImage(0, 0, form_->DrawnImage());
    }
    void mousePressEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            form_->Image1MouseDown(e->position().toPoint().x(), e->position().toPoint().y());
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        if (e->buttons() & Qt::LeftButton)
            form_->Image1MouseMove(e->position().toPoint().x(), e->position().toPoint().y());
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            form_->Image1MouseUp(e->position().toPoint().x(), e->position().toPoint().y());
    }

private:
    TSelForm* form_;
};

TSelForm::TSelForm(QWidget* parent) : QWidget(parent)
{
    setObjectName("SelForm");
    setWindowTitle("Select");
    BuildControls();
    if (SelForm == nullptr)
        SelForm = this;
}

TSelForm::~TSelForm()
{
    if (SelForm == this)
        SelForm = nullptr;
}

TInOutForm* TSelForm::Device() const
{
    return device_ != nullptr ? device_ : InOutForm;
}

TDeviceWorkers* TSelForm::Workers() const
{
    return workers_ != nullptr ? workers_ : DeviceWorkers;
}

QWidget* TSelForm::Image1() const
{
    return image_;
}

void TSelForm::BuildControls()
{
    auto* layout = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    tree_ = new QTreeWidget(this);
    tree_->setObjectName("TreeView1");
    tree_->setHeaderHidden(true);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    tree_->setMinimumWidth(220);
    tree_->installEventFilter(this);
    left->addWidget(tree_, 1);
    listBox_ = new QListWidget(this);
    listBox_->setObjectName("ListBox1");
    listBox_->addItem("Drop image windows here");
    listBox_->setMaximumHeight(40);
    listBox_->setAcceptDrops(true);
    listBox_->viewport()->setAcceptDrops(true);
    listBox_->viewport()->installEventFilter(this);
    left->addWidget(listBox_);
    layout->addLayout(left);

    auto* right = new QVBoxLayout;
    auto* buttons = new QHBoxLayout;
    auto makeButton = [this, buttons](const char* name, const QString& text, bool toggle) {
        auto* b = new QToolButton(this);
        b->setObjectName(name);
        b->setText(text);
        b->setCheckable(toggle);
        buttons->addWidget(b);
        return b;
    };
    pointButton_ = makeButton("PointButton", "Point", true);
    zoomButton_ = makeButton("SpeedButton3", "Zoom", true);
    attachButton_ = makeButton("SpeedButton4", "Attach", false);
    loadScriptButton_ = makeButton("LoadScriptButton", "Script...", false);
    runStopButton_ = makeButton("RunStopButton", "Run/Stop", true);
    buttons->addStretch(1);
    right->addLayout(buttons);
    image_ = new TNavigatorImage(this);
    right->addWidget(image_);
    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName("Memo1");
    memo_->setReadOnly(true);
    memo_->setMinimumWidth(NavigatorImageSize);
    memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
    right->addWidget(memo_, 1);
    layout->addLayout(right);

    infoLabel_ = new QLabel("Added current Data to the Memo.", this);
    infoLabel_->setObjectName("InfoLabel");
    infoLabel_->setAutoFillBackground(true);
    infoLabel_->hide();

    treePopup_ = new QMenu(this);
    treePopup_->setObjectName("TreePopup");
    QAction* go = treePopup_->addAction("Go in X and Y");
    go->setObjectName("Goto1");
    connect(go, &QAction::triggered, this, [this] { Goto1Click(); });
    connect(tree_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QTreeWidgetItem* item = tree_->itemAt(at))
            Select(item);
        if (TreePopupPopup() != TGoCommand::None)
            treePopup_->popup(tree_->viewport()->mapToGlobal(at));
    });
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { TreeView1Change(); });
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] { TreeView1DblClick(); });

    // A point or a zoom: one tool at a time.
    connect(pointButton_, &QToolButton::clicked, this, [this](bool down) {
        if (down) {
            zoomButton_->setChecked(false);
            PointButtonClick();
        }
    });
    connect(zoomButton_, &QToolButton::clicked, this, [this](bool down) {
        if (down)
            pointButton_->setChecked(false);
    });
    zoomButton_->installEventFilter(this);
    connect(attachButton_, &QToolButton::clicked, this, [this] { SpeedButton4Click(); });
    connect(loadScriptButton_, &QToolButton::clicked, this, [this] { LoadScriptButtonClick(); });
    connect(runStopButton_, &QToolButton::clicked, this, [this](bool down) {
        // The click's own toggle is undone: down means a script runs.
        runStopButton_->setChecked(!down);
        RunStopButtonClick();
    });
}

// ---- creation ---------------------------------------------------------------------------------

void TSelForm::FormCreate()
{
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft("Sel", 10), MainIni->ReadInteger("Sel", "FormPosTop", 1));
    drag_ = TDrag::None;
    LinkSpectroscopy(0);
    memo_->clear();

    auto bild = std::make_unique<TBild>();
    // The scanner field; until a calibration gives the maximum range, the X
    // output's whole span stands for it.
    double range = MaxScanRange.Range;
    const TIOScale& xScale = ChannelTable[SlotX];
    if (!(range > 0.0))
        range = (double(xScale.MaxRaw.load()) - double(xScale.MinRaw.load())) * std::fabs(double(xScale.Factor.load()));
    bild->Params = ScannerFieldFrame(range, xScale, ChannelTable[SlotY]);
    bild->Bitmap = GreyImage();
    bild->DimBitmap = DimCopy(bild->Bitmap);
    root_ = AddEntry(std::move(bild), "Max. ScanRange");
    currPosition_ = AddNode(root_, TNodeKind::CurrPosition, CurrPositionCaption);
    root_->removeChild(currPosition_);
    root_->insertChild(0, currPosition_);
    AddNode(currPosition_, TNodeKind::CurrX, "X | ");
    AddNode(currPosition_, TNodeKind::CurrY, "Y | ");
    AddNode(currPosition_, TNodeKind::CurrZ, "Z | ");
    root_->setExpanded(true);
    Select(root_);
    UpdateMenuItems();
    scriptPath_ = ScriptPathSetting();
    created_ = true;
    if (UserIni != nullptr && UserIni->ReadBool("Main", "SelButton", false))
        show();
}

void TSelForm::FormDestroy()
{
    if (!created_)
        return;
    created_ = false;
    if (MainIni != nullptr) {
        MainIni->WriteInteger("Sel", "FormPosLeft", x());
        MainIni->WriteInteger("Sel", "FormPosTop", y());
    }
    tree_->clear();
    entries_.clear();
    root_ = nullptr;
    currPosition_ = nullptr;
}

QString TSelForm::ScriptPathSetting() const
{
    return UserIni != nullptr ? UserIni->ReadString("Script", "PathToScript", QString()) : QString();
}

// ---- the tree ------------------------------------------------------------------------------------

QTreeWidgetItem* TSelForm::AddEntry(std::unique_ptr<TBild> bild, const QString& caption)
{
    auto* item = new QTreeWidgetItem(tree_, QStringList{caption + "  | " + NavigatorRangeText(bild->Params.Range)});
    if (caption == "Max. ScanRange")
        item->setText(0, caption);
    item->setData(0, KindRole, static_cast<int>(TNodeKind::Entry));
    const double range = bild->Params.Range;
    entries_[item] = std::move(bild);
    AddNode(item, TNodeKind::Zoom, FullZoomCaption(range));
    return item;
}

QTreeWidgetItem* TSelForm::AddNode(QTreeWidgetItem* parent, TNodeKind kind, const QString& caption)
{
    auto* item = new QTreeWidgetItem(parent, QStringList{caption});
    item->setData(0, KindRole, static_cast<int>(kind));
    return item;
}

TNodeKind TSelForm::KindOf(const QTreeWidgetItem* item)
{
    return item != nullptr ? static_cast<TNodeKind>(item->data(0, KindRole).toInt()) : TNodeKind::Entry;
}

QTreeWidgetItem* TSelForm::EntryNode(const QTreeWidgetItem* item) const
{
    while (item != nullptr && item->parent() != nullptr)
        item = item->parent();
    return const_cast<QTreeWidgetItem*>(item);
}

TBild* TSelForm::EntryOf(const QTreeWidgetItem* item) const
{
    const auto it = entries_.find(EntryNode(item));
    return it != entries_.end() ? it->second.get() : nullptr;
}

QTreeWidgetItem* TSelForm::ChildOfKind(const QTreeWidgetItem* item, TNodeKind kind)
{
    if (item == nullptr)
        return nullptr;
    for (int i = 0; i < item->childCount(); ++i)
        if (KindOf(item->child(i)) == kind)
            return item->child(i);
    return nullptr;
}

TBild* TSelForm::SelectedEntry() const
{
    return EntryOf(tree_->currentItem());
}

TNodeKind TSelForm::SelectedKind() const
{
    return KindOf(tree_->currentItem());
}

void TSelForm::Select(QTreeWidgetItem* item)
{
    tree_->setCurrentItem(item);
}

void TSelForm::SetValueCaption(QTreeWidgetItem* item, const QString& prefix, double value)
{
    if (item != nullptr)
        item->setText(0, prefix + NavigatorValueText(value));
}

void TSelForm::TreeView1Change()
{
    LinkSpectroscopy(0);
    QTreeWidgetItem* item = tree_->currentItem();
    const TBild* bild = EntryOf(item);
    const TNodeKind kind = KindOf(item);
    if (bild != nullptr)
        picture_ = item->parent() == nullptr ? bild->Bitmap : bild->DimBitmap;
    showMarker_ = bild != nullptr && (kind == TNodeKind::Point || kind == TNodeKind::PointX ||
                                      kind == TNodeKind::PointY || kind == TNodeKind::PointZ);
    if (showMarker_) {
        crossX_ = bild->MarkerX;
        crossY_ = bild->MarkerY;
    }
    showZoom_ = bild != nullptr && kind == TNodeKind::Zoom;
    if (showZoom_)
        square_ = {(bild->ZoomRect[2] - bild->ZoomRect[0]) / 2, bild->ZoomRect[0], bild->ZoomRect[1], bild->ZoomRect[2],
                   bild->ZoomRect[3]};
    UpdateMenuItems();
    image_->update();
}

void TSelForm::UpdateMenuItems()
{
    runStopButton_->setEnabled(ScriptRunner != nullptr && SelectedKind() == TNodeKind::Script);
}

void TSelForm::DeleteSelectedNode()
{
    QTreeWidgetItem* item = tree_->currentItem();
    if (item == nullptr || item == root_ || item == currPosition_)
        return;
    // The X, Y and Z values belong to their point or position.
    if (item->parent() != nullptr && item->parent()->parent() != nullptr)
        return;
    // An image entry takes its bitmaps with it.
    entries_.erase(item);
    delete item;
    TreeView1Change();
}

TGoCommand TSelForm::TreePopupPopup()
{
    QTreeWidgetItem* item = tree_->currentItem();
    const TNodeKind kind = KindOf(item);
    TGoCommand command = TGoCommand::None;
    QString text;
    switch (kind) {
    case TNodeKind::Point:
        command = TGoCommand::GoXY;
        text = "Go in X and Y";
        break;
    case TNodeKind::PointX:
        command = TGoCommand::GoX;
        text = "Go in X";
        break;
    case TNodeKind::PointY:
        command = TGoCommand::GoY;
        text = "Go in Y";
        break;
    case TNodeKind::PointZ:
        command = TGoCommand::GoZ;
        text = "Go in Z";
        break;
    case TNodeKind::Entry:
        if (item != nullptr && item != root_) {
            command = TGoCommand::UseParameter;
            text = "Use Parameter";
        }
        break;
    default:
        break;
    }
    QAction* go = treePopup_->actions().first();
    go->setText(text);
    go->setVisible(command != TGoCommand::None);
    offered_ = command;
    return command;
}

void TSelForm::BusyCursor(bool on)
{
    busy_ = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TSelForm::Goto1Click()
{
    const TBild* bild = SelectedEntry();
    TInOutForm* device = Device();
    TDeviceWorkers* workers = Workers();
    if (bild == nullptr || device == nullptr || workers == nullptr)
        return;
    BusyCursor(true);
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    switch (offered_) {
    case TGoCommand::GoXY:
        workers->GoToXYPhys(bild->PointX, bild->PointY);
        break;
    case TGoCommand::GoX:
        ReadCurrentPosition(x, y, z);
        workers->GoToXYPhys(bild->PointX, y);
        break;
    case TGoCommand::GoY:
        ReadCurrentPosition(x, y, z);
        workers->GoToXYPhys(x, bild->PointY);
        break;
    case TGoCommand::GoZ:
        device->SetZ(bild->PointZ);
        break;
    case TGoCommand::UseParameter:
        SetScanFromImage(bild->Params.Angle, bild->Params.Range, bild->Params.XCenter, bild->Params.YCenter);
        break;
    case TGoCommand::None:
        break;
    }
    BusyCursor(false);
}

bool TSelForm::ListBox1DragDrop(const QMimeData* data, QObject* source)
{
    // Only an image window's picture, dragged from its drawing panel.
    TPaintablePanel* panel = TPaintablePanel::FromMimeData(data);
    if (panel == nullptr || (source != nullptr && source != panel))
        return false;
    TChildForm* form = panel->Form();
    auto bild = std::make_unique<TBild>();
    bild->Params.Range = ScanParams.Range.load();
    bild->Params.XCenter = ScanParams.XCenter.load();
    bild->Params.YCenter = ScanParams.YCenter.load();
    bild->Params.Angle = ScanParams.Angle.load();
    bild->Bitmap = form->Image()
                       .convertToFormat(QImage::Format_RGB32)
                       .scaled(NavigatorImageSize, NavigatorImageSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    bild->DimBitmap = DimCopy(bild->Bitmap);
    QTreeWidgetItem* item = AddEntry(std::move(bild), form->windowTitle());
    Select(item);
    return true;
}

// ---- conversions -----------------------------------------------------------------------------

TPosition TSelForm::PixelToPosition(double px, double py) const
{
    const TBild* bild = SelectedEntry();
    return bild != nullptr ? qvt::PixelToPosition(bild->Params, px, py) : TPosition{};
}

TPosition TSelForm::FractionToPosition(double fx, double fy) const
{
    const TBild* bild = SelectedEntry();
    return bild != nullptr ? qvt::FractionToPosition(bild->Params, fx, fy) : TPosition{};
}

bool TSelForm::PositionToPixel(double x, double y, int& px, int& py) const
{
    const TBild* bild = SelectedEntry();
    px = 0;
    py = 0;
    return bild != nullptr && qvt::PositionToPixel(bild->Params, x, y, px, py);
}

// ---- the tip --------------------------------------------------------------------------------------

void TSelForm::ReadCurrentPosition(double& x, double& y, double& z)
{
    x = y = z = 0.0;
    TInOutForm* device = Device();
    if (device == nullptr)
        return;
    x = device->ReadReg(ReadAddrX) * XSensitivity.load();
    y = device->ReadReg(ReadAddrY) * YSensitivity.load();
    z = device->ReadReg(ReadAddrZ) * double(ChannelTable[SlotZ].Factor.load());
    currentX_ = x;
    currentY_ = y;
    currentZ_ = z;
}

void TSelForm::ShowCurrentPosition()
{
    if (currPosition_ == nullptr)
        return;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    ReadCurrentPosition(x, y, z);
    SetValueCaption(ChildOfKind(currPosition_, TNodeKind::CurrX), "X | ", x);
    SetValueCaption(ChildOfKind(currPosition_, TNodeKind::CurrY), "Y | ", y);
    SetValueCaption(ChildOfKind(currPosition_, TNodeKind::CurrZ), "Z | ", z);
    const TBild* bild = SelectedEntry();
    showTip_ = bild != nullptr && PositionToPixelF(bild->Params, x, y, tipX_, tipY_);
    image_->update();
}

void TSelForm::JoystickMove(int dx, int dy, int dz)
{
    QTreeWidgetItem* item = tree_->currentItem();
    const TNodeKind kind = KindOf(item);
    if (item == nullptr || (item != currPosition_ && item->parent() != currPosition_))
        return;
    if (kind == TNodeKind::CurrX)
        dy = dz = 0;
    else if (kind == TNodeKind::CurrY)
        dx = dz = 0;
    else if (kind == TNodeKind::CurrZ)
        dx = dy = 0;
    const TBild* bild = EntryOf(item);
    const TJoyVector v = RotateJoystick(bild != nullptr ? bild->Params.Angle : 0.0, dx, dy);
    if (TDeviceWorkers* workers = Workers())
        workers->StartJoyMove(v.X, v.Y, dz);
}

void TSelForm::RecordPosition(int n)
{
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    ReadCurrentPosition(x, y, z);
    double aux = 0.0;
    const bool withAux = n == 4;
    if (withAux) {
        const int address = MainIni != nullptr ? MainIni->ReadInteger("Sel", "AUXChannel", 3) : 3;
        double factor = 1.0;
        for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot)
            if (ChannelTable[slot].Address.load() == address) {
                factor = ChannelTable[slot].Factor.load();
                break;
            }
        if (TInOutForm* device = Device())
            aux = device->ReadReg(address) * factor;
    }
    AppendMemoLine(RecordedPositionLine(QTime::currentTime(), x, y, z, n, withAux ? &aux : nullptr));
    ShowInfo();
}

void TSelForm::AddCurrentPosition(int n)
{
    RecordPosition(n);
}

void TSelForm::ShowInfo()
{
    infoLabel_->adjustSize();
    infoLabel_->move((width() - infoLabel_->width()) / 2, (height() - infoLabel_->height()) / 2);
    infoLabel_->raise();
    infoLabel_->show();
    QTimer::singleShot(InfoShownMs, infoLabel_, &QLabel::hide);
}

void TSelForm::AppendMemoLine(const QString& line)
{
    memo_->appendPlainText(line);
}

// ---- scans and the spectroscopy point -----------------------------------------------------------

void TSelForm::SetScanFromImage(double angle, double range, double x, double y)
{
    if (!EnterScanText)
        return;
    EnterScanText("Edit9", FloatText(angle * 180.0 / std::numbers::pi - OffsAngle(MainIni)));
    EnterScanText("Edit7", FloatText(x));
    EnterScanText("Edit8", FloatText(y));
    EnterScanText("Edit3", FloatText(range));
}

void TSelForm::LinkSpectroscopy(int n)
{
    if (LinkSpectroscopyHook)
        LinkSpectroscopyHook(n > 0, spectPoint_.X, spectPoint_.Y);
}

void TSelForm::PointButtonClick()
{
    QTreeWidgetItem* entry = EntryNode(tree_->currentItem());
    TBild* bild = EntryOf(entry);
    if (bild == nullptr)
        return;
    QTreeWidgetItem* point = nullptr;
    for (int i = 0; i < entry->childCount() && point == nullptr; ++i)
        if (entry->child(i)->text(0).startsWith('P'))
            point = entry->child(i);
    if (point != nullptr) {
        SetValueCaption(ChildOfKind(point, TNodeKind::PointX), "X | ", bild->PointX);
        SetValueCaption(ChildOfKind(point, TNodeKind::PointY), "Y | ", bild->PointY);
    } else {
        double x = 0.0;
        double y = 0.0;
        double z = 0.0;
        ReadCurrentPosition(x, y, z);
        bild->PointX = x;
        bild->PointY = y;
        bild->PointZ = z;
        point = AddNode(entry, TNodeKind::Point, "Point");
        SetValueCaption(AddNode(point, TNodeKind::PointX, "X | "), "X | ", x);
        SetValueCaption(AddNode(point, TNodeKind::PointY, "Y | "), "Y | ", y);
        SetValueCaption(AddNode(point, TNodeKind::PointZ, "Z | "), "Z | ", z);
        int px = 0;
        int py = 0;
        qvt::PositionToPixel(bild->Params, x, y, px, py);
        bild->MarkerX = px;
        bild->MarkerY = py;
    }
    spectPoint_ = {bild->PointX, bild->PointY};
    LinkSpectroscopy(1);
    entry->setExpanded(true);
    pointButton_->setChecked(true);
}

void TSelForm::SpeedButton3DblClick()
{
    QTreeWidgetItem* entry = EntryNode(tree_->currentItem());
    TBild* bild = EntryOf(entry);
    if (bild == nullptr)
        return;
    if (QTreeWidgetItem* zoom = ChildOfKind(entry, TNodeKind::Zoom))
        zoom->setText(0, FullZoomCaption(bild->Params.Range));
    const int c = NavigatorImageSize / 2;
    bild->ZoomRect = {c, c, c, c};
    TreeView1Change();
}

// ---- the image -------------------------------------------------------------------------------------

void TSelForm::Image1MouseDown(int x, int y)
{
    TBild* bild = SelectedEntry();
    if (bild == nullptr)
        return;
    pressX_ = x;
    pressY_ = y;
    if (pointButton_->isChecked()) {
        drag_ = TDrag::Point;
        const TNodeKind kind = SelectedKind();
        crossX_ = kind == TNodeKind::PointY ? bild->MarkerX : x;
        crossY_ = kind == TNodeKind::PointX ? bild->MarkerY : y;
        showMarker_ = true;
        picture_ = bild->DimBitmap;
    } else if (zoomButton_->isChecked()) {
        drag_ = TDrag::Zoom;
        square_ = ZoomSquare(x, y, x, y);
        showZoom_ = true;
        picture_ = bild->DimBitmap;
    }
    image_->update();
}

void TSelForm::Image1MouseMove(int x, int y)
{
    TBild* bild = SelectedEntry();
    if (bild == nullptr)
        return;
    if (drag_ == TDrag::Point) {
        const TNodeKind kind = SelectedKind();
        if (kind != TNodeKind::PointY)
            crossX_ = x;
        if (kind != TNodeKind::PointX)
            crossY_ = y;
    } else if (drag_ == TDrag::Zoom) {
        square_ = ZoomSquare(pressX_, pressY_, x, y);
        if (QTreeWidgetItem* zoom = ChildOfKind(EntryNode(tree_->currentItem()), TNodeKind::Zoom))
            zoom->setText(0, ZoomCaption(square_.HalfSide, bild->Params.Range));
    }
    image_->update();
}

void TSelForm::Image1MouseUp(int x, int y)
{
    Image1MouseMove(x, y);
    TBild* bild = SelectedEntry();
    const TDrag drag = drag_;
    drag_ = TDrag::None;
    if (bild == nullptr)
        return;
    if (drag == TDrag::Point) {
        const int last = NavigatorImageSize - 1;
        crossX_ = std::clamp(crossX_, 0, last);
        crossY_ = std::clamp(crossY_, 0, last);
        bild->MarkerX = crossX_;
        bild->MarkerY = crossY_;
        TPosition p = qvt::PixelToPosition(bild->Params, crossX_, crossY_);
        const TNodeKind kind = SelectedKind();
        if (kind == TNodeKind::PointX)
            p.Y = bild->PointY;
        else if (kind == TNodeKind::PointY)
            p.X = bild->PointX;
        bild->PointX = p.X;
        bild->PointY = p.Y;
        spectPoint_ = p;
        LinkSpectroscopy(1);
        PointButtonClick();
    } else if (drag == TDrag::Zoom) {
        bild->ZoomRect = {square_.X0, square_.Y0, square_.X1, square_.Y1};
        // A click without a square would ask for a scan of no size.
        if (square_.HalfSide == 0)
            return;
        const TPosition centre = qvt::PixelToPosition(bild->Params, pressX_, pressY_);
        SetScanFromImage(bild->Params.Angle, ZoomRange(square_.HalfSide, bild->Params.Range), centre.X, centre.Y);
    }
}

QImage TSelForm::DrawnImage() const
{
    QImage image = picture_.isNull() ? GreyImage() : picture_.copy();
    QPainter p(&image);
    p.setPen(MarkColour);
    if (showMarker_) {
        p.drawLine(crossX_ - CrossHalf, crossY_, crossX_ + CrossHalf, crossY_);
        p.drawLine(crossX_, crossY_ - CrossHalf, crossX_, crossY_ + CrossHalf);
    }
    if (showZoom_ && square_.HalfSide > 0)
        p.drawRect(square_.X0, square_.Y0, square_.X1 - square_.X0, square_.Y1 - square_.Y0);
    if (showTip_) {
        p.setPen(TipColour);
        p.drawEllipse(QPointF(tipX_, tipY_), 3.0, 3.0);
    }
    return image;
}

// ---- scripts --------------------------------------------------------------------------------------

QString TSelForm::ScriptDialogFolder()
{
    QString folder = ScriptPathSetting();
    if (!QFileInfo(folder).isDir()) {
        const QString fallback = DefaultScriptFolder(AppDir);
        ShowMessage(MsgKind::Warning, "Initial Directory does not exist!\r          Use default:\r" + fallback);
        folder = fallback;
        if (UserIni != nullptr)
            UserIni->WriteString("Script", "PathToScript", folder);
    }
    return folder;
}

void TSelForm::LoadScriptButtonClick()
{
    const QString folder = ScriptDialogFolder();
    const QString chosen =
        AskFile(this, {TFileDialogAsk::Kind::Open, QString(), folder, "Script (*.scr *.SCR)", QString(), "scr"}).Path;
    if (!chosen.isEmpty())
        ScriptChosen(chosen);
}

void TSelForm::ScriptChosen(const QString& fileName)
{
    const QFileInfo info(fileName);
    scriptPath_ = info.absolutePath() + '/';
    if (UserIni != nullptr) {
        UserIni->WriteString("script", "FileName", info.fileName());
        UserIni->WriteString("Script", "PathToScript", scriptPath_);
    }
    SpeedButton4Click();
}

void TSelForm::SpeedButton4Click()
{
    QTreeWidgetItem* entry = EntryNode(tree_->currentItem());
    TBild* bild = EntryOf(entry);
    if (bild == nullptr)
        return;
    bild->ScriptName = UserIni != nullptr ? UserIni->ReadString("script", "FileName", QString()) : QString();
    bild->ScriptPath = scriptPath_;
    QTreeWidgetItem* node = ChildOfKind(entry, TNodeKind::Script);
    if (node == nullptr)
        node = AddNode(entry, TNodeKind::Script, ScriptCaption);
    node->setText(0, ScriptCaption + bild->ScriptName);
    entry->setExpanded(true);
    Select(node);
}

void TSelForm::TreeView1DblClick()
{
    if (SelectedKind() != TNodeKind::Script)
        return;
    const TBild* bild = SelectedEntry();
    if (bild == nullptr)
        return;
    const QString file = QDir(bild->ScriptPath).filePath(bild->ScriptName);
    if (bild->ScriptName.isEmpty() || !QFileInfo(file).isFile()) {
        ShowMessage(MsgKind::Warning, "Script " + bild->ScriptName + "does not exist!");
        return;
    }
    // The configured editor, else the desktop's; never through a shell.
    QString editor = MainIni != nullptr ? MainIni->ReadString("Tools", "Editor", QString()) : QString();
    if (editor.isEmpty() || editor.compare("notepad.exe", Qt::CaseInsensitive) == 0)
        editor = qEnvironmentVariable("VISUAL", qEnvironmentVariable("EDITOR"));
    const bool started = editor.isEmpty() ? OpenWithDesktop(file) : StartProgram(editor, {file});
    if (!started)
        ShowMessage(MsgKind::Error, "Can`t start Editor!");
}

void TSelForm::RunStopButtonClick()
{
    const bool running = runStopButton_->isChecked();
    const bool active = ScriptRunner != nullptr && ScriptRunner->Active();
    switch (RunStopAction(running, active)) {
    case TRunStopAction::Stop:
        ScriptRunner->RequestStop();
        AppendMemoLine("Try to stop Script! Please wait.");
        // A script waiting for an image is let go.
        if (TInOutForm* device = Device())
            device->PictureReadyEvent.Set();
        if (SetRepeatButton)
            SetRepeatButton(savedRepeat_);
        break;
    case TRunStopAction::Hanging:
        AppendMemoLine("Script is hanging?!");
        break;
    case TRunStopAction::Start:
        savedRepeat_ = RepeatButtonDown && RepeatButtonDown();
        StartScript();
        break;
    case TRunStopAction::AlreadyWorking:
        AppendMemoLine("Script is already working?!");
        break;
    }
}

bool TSelForm::StartScript()
{
    memo_->clear();
    const TBild* bild = SelectedEntry();
    const QString name = bild != nullptr ? bild->ScriptName : QString();
    const QString path = bild != nullptr ? bild->ScriptPath : QString();
    const QString problem = StartScriptProblem(path, name, AppDir);
    if (!problem.isEmpty()) {
        AppendMemoLine(problem);
        return false;
    }
    if (ScriptRunner == nullptr)
        return false;
    ScriptRunner->Start(name, path);
    runStopButton_->setChecked(true);
    return true;
}

void TSelForm::ScriptFinished()
{
    runStopButton_->setChecked(false);
}

// ---- window -------------------------------------------------------------------------------------

void TSelForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (SetSelButton)
        SetSelButton(true);
}

void TSelForm::closeEvent(QCloseEvent* event)
{
    // Closing only hides the navigator.
    event->ignore();
    hide();
    if (SetSelButton)
        SetSelButton(false);
}

void TSelForm::keyPressEvent(QKeyEvent* event)
{
    if (busy_) {
        Beep();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    if (ForwardKey)
        ForwardKey(event->key(), event->modifiers());
}

bool TSelForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == tree_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        DeleteSelectedNode();
        return true;
    }
    if (watched == zoomButton_ && event->type() == QEvent::MouseButtonDblClick) {
        SpeedButton3DblClick();
        return true;
    }
    if (listBox_ != nullptr && watched == listBox_->viewport()) {
        // Anything may be dragged over; only an image window's picture is taken.
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            static_cast<QDragMoveEvent*>(event)->acceptProposedAction();
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            if (ListBox1DragDrop(drop->mimeData(), drop->source()))
                drop->acceptProposedAction();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace qvt
