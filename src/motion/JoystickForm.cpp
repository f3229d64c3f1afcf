#include "motion/JoystickForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "motion/CoarseForm.h"
#include "platform/HidDevices.h"
#include "platform/MessageBoxes.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QTreeWidget>

namespace qvt {

TJoystickForm* JoystickForm = nullptr;

namespace {
constexpr const char* Section = "Joystick";
constexpr int BufferCount = 128;
constexpr int DotSize = 10;
constexpr int DotOffset = 123;

double SystemDays()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 86400000.0;
}
} // namespace

TJoystickForm::TJoystickForm(std::shared_ptr<IHidBackend> backend, QWidget* parent)
    : QWidget(parent, Qt::Tool), backend_(std::move(backend)), pad_(PadSize, PadSize, QImage::Format_RGB32)
{
    JoystickForm = this;
    setObjectName("JoystickForm");
    setWindowTitle("Joystick");
    auto* row = new QHBoxLayout(this);
    devList_ = new QListWidget(this);
    devList_->setObjectName("DevListBox");
    tree_ = new QTreeWidget(this);
    tree_->setObjectName("TreeView1");
    tree_->setHeaderHidden(true);
    image1_ = new QLabel(this);
    image1_->setObjectName("Image1");
    image1_->setFixedSize(PadSize, PadSize);
    image1_->setToolTip("Click to clear");
    image1_->installEventFilter(this);
    row->addWidget(devList_);
    row->addWidget(tree_);
    row->addWidget(image1_);
    ClearPad();
    connect(devList_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { DevListBoxClick(devList_->row(item)); });
}

TJoystickForm::~TJoystickForm()
{
    Detach();
    delete hidCtl_; // its read threads joined before its devices go
    hidCtl_ = nullptr;
    if (JoystickForm == this)
        JoystickForm = nullptr;
}

void TJoystickForm::FormCreate()
{
    TJoystickConfig c;
    const bool use = MainIni != nullptr && MainIni->ReadBool(Section, "Use", false);
    if (MainIni != nullptr) {
        move(MainIni->ReadFormPosLeft(Section, 1), MainIni->ReadInteger(Section, "FormPosTop", 1));
        joyName_ = MainIni->ReadString(Section, "JoyName", QString());
        c.JoyItemX = MainIni->ReadInteger(Section, "JoyItemX", -1);
        c.JoyItemY = MainIni->ReadInteger(Section, "JoyItemY", -1);
        c.JoyItemZ = MainIni->ReadInteger(Section, "JoyItemZ", -1);
        c.SelectPoint = MainIni->ReadInteger(Section, "SelectPoint", -1);
        c.JoyModeByte = MainIni->ReadInteger(Section, "JoyModeByte", 0);
        c.JoyModeBit = MainIni->ReadInteger(Section, "JoyModeBit", 0);
        c.Tolerance = MainIni->ReadInteger(Section, "Tolerance", 5);
    }
    byteNames_ = c.ByteNames();
    TJoystickActions a;
    a.ButtonEnabled = [this](int b) {
        const QPushButton* button = Coarse != nullptr ? Coarse->BitBtn(b) : nullptr;
        return button != nullptr && button->isEnabled();
    };
    a.Press = [this](int b) {
        if (Coarse != nullptr)
            Coarse->PressStepButton(b, false);
    };
    a.SetRepeat = [this](int d) {
        if (Coarse != nullptr)
            Coarse->SetRepeatFromDeflection(d);
    };
    a.Release = [this] {
        if (Coarse != nullptr)
            Coarse->ReleaseStepButton(false);
    };
    a.JoystickMove = [this](int dx, int dy, int dz) {
        if (JoystickMove)
            JoystickMove(dx, dy, dz);
    };
    a.AddPosition = [this](int n) {
        if (AddCurrentPosition)
            AddCurrentPosition(n);
    };
    a.Warn = [](const QString& text) { ShowMessage(MsgKind::Warning, text); };
    controller_ = std::make_unique<TJoystickController>(c, std::move(a));
    if (!use) {
        setWindowTitle("Joystick disabled in QVT.INI!");
        return;
    }
    hidCtl_ = new TJvHidDeviceController(backend_);
    hidCtl_->OnDeviceChange = [this] { HidCtlDeviceChange(); };
    hidCtl_->OnDeviceDataError = [this](TJvHidDevice& d, int code) { HidCtlDeviceDataError(d, code); };
}

void TJoystickForm::FormDestroy()
{
    Detach();
    if (MainIni != nullptr) {
        MainIni->WriteInteger(Section, "FormPosLeft", x());
        MainIni->WriteInteger(Section, "FormPosTop", y());
    }
}

void TJoystickForm::Detach()
{
    if (selected_ != nullptr)
        selected_->SetDataHandler(nullptr);
    selected_ = nullptr;
}

void TJoystickForm::HidCtlDeviceChange()
{
    // The list's devices go back; the selection with them.
    Detach();
    for (int i = 0; i < devList_->count(); ++i)
        hidCtl_->CheckIn(static_cast<TJvHidDevice*>(devList_->item(i)->data(Qt::UserRole).value<void*>()));
    devList_->clear();
    TJvHidDevice* d = nullptr;
    int select = -1;
    while (hidCtl_->TakeNextDevice(d)) {
        auto* item = new QListWidgetItem(d->ProductName(), devList_);
        item->setData(Qt::UserRole, QVariant::fromValue(static_cast<void*>(d)));
        d->SetInputBufferCount(BufferCount);
        d->SetReadBufferCount(BufferCount);
        // An empty name would take any HID device, a mouse included, so none is taken.
        if (select < 0 && !joyName_.isEmpty() && d->ProductName().contains(joyName_))
            select = devList_->count() - 1;
    }
    if (select >= 0) {
        devList_->setCurrentRow(select);
        DevListBoxClick(select);
    }
}

void TJoystickForm::DevListBoxClick(int row)
{
    Detach();
    QListWidgetItem* item = devList_->item(row);
    if (item == nullptr)
        return;
    selected_ = static_cast<TJvHidDevice*>(item->data(Qt::UserRole).value<void*>());
    selected_->SetDataHandler(
        [this](TJvHidDevice& d, uint8_t id, const uint8_t* data, int size) { ShowRead(d, id, data, size); });
    joyName_ = selected_->ProductName();
    if (MainIni != nullptr)
        MainIni->WriteString(Section, "JoyName", "\"" + joyName_ + "\"");
}

void TJoystickForm::HidCtlDeviceDataError(TJvHidDevice&, int code)
{
    ShowMessage(MsgKind::Error,
                QString("HID (Joystick) READ ERROR: %1 (%2)").arg(HidErrorText(code), QString::number(code, 16)));
}

void TJoystickForm::ShowRead(TJvHidDevice& device, uint8_t reportId, const uint8_t* data, int size)
{
    if (&device != selected_ || controller_ == nullptr)
        return;
    if (isVisible())
        ShowReport(reportId, data, size);
    const double now = NowDays ? NowDays() : SystemDays();
    controller_->Handle(data, size, MicroscopeState.FeedbackMode.load() == FeedbackNone,
                        MicroscopeState.ZState.load() == ZApproached, now);
}

void TJoystickForm::ShowReport(uint8_t reportId, const uint8_t* data, int size)
{
    const QString root = "ReportID: " + QString::number(reportId);
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    if (treeNodes_ != size + 1 || top == nullptr || top->text(0) != root) {
        tree_->clear();
        top = new QTreeWidgetItem(tree_, QStringList(root));
        for (int i = 0; i < size; ++i)
            new QTreeWidgetItem(top, QStringList("Byte" + QString::number(i) + ": " + QString::number(data[i])));
        top->setExpanded(true);
        treeNodes_ = size + 1;
    } else {
        for (int i = 0; i < std::min(size, TJoystickConfig::Items); ++i)
            top->child(i)->setText(0, byteNames_.value(i) + ": " + QString::number(data[i]));
    }
    const TJoystickReading r = DecodeJoystickReport(controller_->Config(), data, size);
    QPainter p(&pad_);
    p.fillRect(r.X + DotOffset, r.Y + DotOffset, DotSize, DotSize, Qt::blue);
    if (std::abs(r.Z) > controller_->Config().Tolerance)
        p.fillRect(r.X + DotOffset, r.Z + DotOffset, DotSize, DotSize, Qt::red);
    p.end();
    image1_->setPixmap(QPixmap::fromImage(pad_));
}

void TJoystickForm::ClearPad()
{
    pad_.fill(Qt::white);
    image1_->setPixmap(QPixmap::fromImage(pad_));
}

bool TJoystickForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == image1_ && event->type() == QEvent::MouseButtonPress)
        ClearPad();
    return QWidget::eventFilter(watched, event);
}

void TJoystickForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace qvt
