#include "optics/CameraForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "optics/CameraBackend.h"
#include "optics/LEDForm.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>

namespace qvt {

TCameraForm* CameraForm = nullptr;

namespace {
constexpr const char* Section = "Camera";
} // namespace

TCameraForm::TCameraForm(std::unique_ptr<ICameraBackend> backend, TLEDForm* leds, QWidget* parent)
    : QWidget(parent, Qt::Tool), backend_(std::move(backend)), leds_(leds)
{
    CameraForm = this;
    setObjectName("CameraForm");
    setWindowTitle("Camera");
    panel1_ = new QWidget(this);
    panel1_->setObjectName("Panel1");
    panel1_->setAutoFillBackground(true);
    popup_ = new QMenu(this);
    popup_->setObjectName("PopupMenu1");
    auto add = [this](const char* name, const QString& text, auto slot) {
        QAction* a = popup_->addAction(text);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    add("Source", "Source", [this] { SourceClick(); })->setEnabled(false);
    add("Format", "Format", [this] { FormatClick(); })->setEnabled(false);
    add("Display", "Display", [this] { DisplayClick(); })->setEnabled(false);
    popup_->addSeparator();
    add("LEDs", "LEDs", [this] {
        if (ShowLEDForm)
            ShowLEDForm();
    });
    add("SaveAs", "Save as", [this] { SaveAsClick(); })->setEnabled(false);
    popup_->addSeparator();
    resize(200, 150);
}

TCameraForm::~TCameraForm()
{
    if (connected_)
        backend_->Disconnect();
    if (CameraForm == this)
        CameraForm = nullptr;
}

QAction* TCameraForm::Item(const QString& name) const
{
    for (QAction* a : popup_->actions())
        if (a->objectName() == name)
            return a;
    return nullptr;
}

QList<QAction*> TCameraForm::DriverItems() const
{
    return popup_->actions().mid(FirstDriverItem);
}

void TCameraForm::FormCreate()
{
    if (MainIni != nullptr) {
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
        Item("LEDs")->setVisible(MainIni->ReadBool("Software", "LEDButton", true));
        CameraOption = MainIni->ReadInteger("Tools", "CameraOption", -1);
    }
    DriversListed = false;
    const bool visible = UserIni != nullptr && UserIni->ReadBool("Main", "CameraButton", false);
    if (SetCameraButton)
        SetCameraButton(visible);
    if (visible)
        show();
}

void TCameraForm::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger("Tools", "CameraOption", CameraOption);
}

void TCameraForm::Inform(const QString& text)
{
    ShowMessage(MsgKind::Information, text);
}

void TCameraForm::ListDrivers()
{
    FirstDriverItem = static_cast<int>(popup_->actions().size());
    const std::vector<TCameraDriver> drivers = backend_->Drivers();
    const int n = std::min(static_cast<int>(drivers.size()), MaxDrivers);
    for (int i = 0; i < n; ++i) {
        QAction* a = popup_->addAction(drivers[static_cast<size_t>(i)].Name.left(129));
        a->setCheckable(true);
        a->setData(i);
        connect(a, &QAction::triggered, this, [this, i] { DriverClick(i); });
    }
    if (n == 0)
        Inform("Didn't find any cameras installed!");
}

void TCameraForm::PlacePreview()
{
    panel1_->setGeometry(rect());
    if (preview_ != nullptr)
        preview_->setGeometry(EdgeX, EdgeY, std::max(panel1_->width() - 2 * EdgeX, 0),
                              std::max(panel1_->height() - 2 * EdgeY, 0));
}

bool TCameraForm::ConnectDriver(int n)
{
    resize(800, 600);
    PlacePreview();
    if (preview_ == nullptr)
        preview_ = backend_->CreatePreview(panel1_);
    if (preview_ == nullptr) {
        resize(200, 150);
        show();
        Inform("Could not create capture window!");
        return false;
    }
    PlacePreview();
    preview_->show();
    if (!backend_->Connect(n)) {
        show();
        resize(200, 150);
        Inform("Could not connect to the desired capture driver.");
        return false;
    }
    connected_ = true;
    show();
    FitToVideoFormat();
    EnableDriverDialogs();
    if (!backend_->SetPreview(true))
        Inform("WM_CAP_SET_PREVIEW failed.");
    else if (!backend_->SetPreviewRate(PreviewRateMs))
        Inform("WM_CAP_SET_PREVIEWRATE failed.");
    return true;
}

void TCameraForm::FitToVideoFormat()
{
    QSize frame;
    if (backend_->VideoSize(frame))
        resize(CameraWindowSize(EdgeX, EdgeY, frame));
}

void TCameraForm::EnableDriverDialogs()
{
    TCameraCaps caps;
    if (!backend_->GetCaps(caps)) {
        Inform("Could not get info.");
        return;
    }
    Item("Source")->setEnabled(caps.HasSource);
    Item("Format")->setEnabled(caps.HasFormat);
    Item("Display")->setEnabled(caps.HasDisplay);
    Item("SaveAs")->setEnabled(true);
}

bool TCameraForm::Disconnect()
{
    if (!backend_->Disconnect()) {
        Inform("Could not disconnect driver!");
        return false;
    }
    connected_ = false;
    Item("SaveAs")->setEnabled(false);
    return true;
}

void TCameraForm::UncheckDrivers()
{
    for (QAction* a : DriverItems())
        a->setChecked(false);
}

void TCameraForm::DriverClick(int n)
{
    int disconnected = -1;
    if (connected_) {
        if (!Disconnect()) {
            UncheckDrivers();
            if (CameraOption >= 0 && CameraOption < DriverItems().size())
                DriverItems().at(CameraOption)->setChecked(true);
            return;
        }
        disconnected = CameraOption;
        UncheckDrivers();
        CameraOption = -1;
    } else {
        UncheckDrivers();
    }
    if (n == disconnected)
        return;
    if (ConnectDriver(n)) {
        CameraOption = n;
        if (n < DriverItems().size())
            DriverItems().at(n)->setChecked(true);
    }
}

void TCameraForm::SourceClick()
{
    if (!backend_->SourceDialog())
        Inform("Cannot open menu VIDEOSOURCE.");
}

void TCameraForm::FormatClick()
{
    if (!backend_->FormatDialog()) {
        Inform("Cannot open menu VIDEOFORMAT.");
        return;
    }
    FitToVideoFormat();
}

void TCameraForm::DisplayClick()
{
    if (!backend_->DisplayDialog())
        Inform("Cannot open menu VIDEODislay.");
}

void TCameraForm::SaveAsClick()
{
    QString name = AskSaveName ? AskSaveName() : GetSaveFileName(this, QString(), QString(), "Bitmap (*.bmp)");
    if (name.isEmpty())
        return;
    // The file is a bitmap whatever it is called; a bare name gets the extension
    // other programs know it by.
    if (QFileInfo(name).suffix().isEmpty())
        name += ".bmp";
    if (!backend_->SaveFrame(name))
        Inform("Canot save.");
}

void TCameraForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (SetCameraButton)
        SetCameraButton(true);
    if (leds_ != nullptr && leds_->Realised())
        leds_->SendLEDs(true);
    if (connected_)
        return; // shown by a connect
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!DriversListed) {
        ListDrivers();
        DriversListed = true;
        if (CameraOption >= 0 && CameraOption < DriverItems().size() && ConnectDriver(CameraOption))
            DriverItems().at(CameraOption)->setChecked(true);
        else
            CameraOption = -1;
    } else if (CameraOption >= 0 && !ConnectDriver(CameraOption)) {
        CameraOption = -1;
        UncheckDrivers();
    }
    QApplication::restoreOverrideCursor();
}

void TCameraForm::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (SetCameraButton)
        SetCameraButton(false);
    if (connected_)
        Disconnect();
    if (leds_ != nullptr && leds_->Realised())
        leds_->SendLEDs(false);
}

void TCameraForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlacePreview();
}

void TCameraForm::contextMenuEvent(QContextMenuEvent* event)
{
    popup_->popup(event->globalPos());
}

void TCameraForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace qvt
