#include "view3d/A3DForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "images/ChildForm.h"
#include "images/ImageTouch.h"
#include "platform/HandOver.h"
#include "platform/MessageBoxes.h"
#include "view3d/A3DSurfaceThread.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QTouchEvent>
#include <QWheelEvent>

namespace qvt {

TA3DForm* A3DForm = nullptr;

namespace {
const QString Section = QStringLiteral("A3D");

bool ContextCanBeMade()
{
    // The surface is drawn with the fixed-function pipeline, which only
    // desktop OpenGL has.
    QOpenGLContext context;
    return context.create() && !context.isOpenGLES();
}

constexpr int Margin = 8;
constexpr int ToolbarHeight = 24;
} // namespace

std::function<bool()> TA3DForm::OpenGLAvailable;

// ---- TMyPanel -------------------------------------------------------------------------

TMyPanel::TMyPanel(TA3DForm* form) : QWidget(form), form_(form)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (TouchAvailable())
        setAttribute(Qt::WA_AcceptTouchEvents);
}

void TMyPanel::paintEvent(QPaintEvent*)
{
    // Until the view's thread has drawn the size the panel now has, its last
    // scene is stretched over it.
    QPainter painter(this);
    const TA3DRgb bg = BGColorToRgb(form_->view_.BGColor);
    if (form_->scene_.isNull())
        painter.fillRect(rect(), QColor(bg.R, bg.G, bg.B));
    else
        painter.drawImage(rect(), form_->scene_);
}

bool TMyPanel::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
        form_->PanelTouch(TouchPoints(*static_cast<QTouchEvent*>(event), *this));
        event->accept();
        return true;
    default:
        return QWidget::event(event);
    }
}

void TMyPanel::mousePressEvent(QMouseEvent* event)
{
    form_->PanelMouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void TMyPanel::mouseMoveEvent(QMouseEvent* event)
{
    form_->PanelMouseMove(event->position().toPoint());
}

void TMyPanel::mouseReleaseEvent(QMouseEvent*)
{
    form_->PanelMouseUp();
}

void TMyPanel::wheelEvent(QWheelEvent* event)
{
    form_->PanelMouseWheel(event->angleDelta().y());
    event->accept();
}

// ---- TA3DForm -------------------------------------------------------------------------

TA3DForm::TA3DForm(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName("A3DForm");
    setWindowTitle("3D View");

    channelComboBox_ = new QComboBox(this);
    channelComboBox_->setObjectName("ChannelComboBox");
    connect(channelComboBox_, &QComboBox::activated, this, &TA3DForm::ChannelComboBoxChange);
    gainLabel_ = new QLabel("z-Gain", this);
    gainLabel_->setObjectName("Label1");
    scrollBar1_ = new QScrollBar(Qt::Horizontal, this);
    scrollBar1_->setObjectName("ScrollBar1");
    scrollBar1_->setRange(0, 99);
    scrollBar1_->setValue(50);
    connect(scrollBar1_, &QScrollBar::valueChanged, this, &TA3DForm::ScrollBar1Change);
    bgLabel_ = new QLabel("BackgroundColor", this);
    bgLabel_->setObjectName("Label2");
    bcPanel_ = new QFrame(this);
    bcPanel_->setObjectName("BCPanel");
    bcPanel_->setFrameShape(QFrame::Box);
    bcPanel_->setAutoFillBackground(true);
    bcPanel_->installEventFilter(this);

    popupMenu_ = new QMenu(this);
    popupMenu_->setObjectName("PopupMenu1");
    hideToolbarItem_ = popupMenu_->addAction("Hide Toolbar", this, &TA3DForm::HideToolbarItemClick);
    hideToolbarItem_->setObjectName("HideToolbarItem");
    // Esc brings a maximised view back to its normal size.
    auto* cancel = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    cancel->setObjectName("CancelBtn");
    connect(cancel, &QShortcut::activated, this, &TA3DForm::CancelBtnClick);

    followTimer_.setSingleShot(true);
    connect(&followTimer_, &QTimer::timeout, this, [this] {
        if (isVisible())
            Rebuild();
        sinceFollow_.restart();
    });

    if (A3DForm == nullptr)
        A3DForm = this;
}

TA3DForm::~TA3DForm()
{
    // The thread draws on the offscreen surface: it ends first.
    surfaceThread_.reset();
    glSurface_.reset();
    if (A3DForm == this)
        A3DForm = nullptr;
}

TA3DSurfaceThread& TA3DForm::SurfaceThread()
{
    if (!surfaceThread_)
        surfaceThread_ = std::make_unique<TA3DSurfaceThread>([this] {
            // Told from the surface thread: the finished mesh is handed over with the call.
            HandOverPost([this] { QMetaObject::invokeMethod(this, &TA3DForm::SurfaceReady, Qt::QueuedConnection); });
        });
    return *surfaceThread_;
}

void TA3DForm::SurfaceReady()
{
    if (!surfaceThread_)
        return;
    TA3DSurfaceThread::TResult result = surfaceThread_->Take();
    if (result.Mesh) {
        mesh_ = std::move(result.Mesh);
        lastSurfaceSeconds_ = result.Seconds;
    }
    if (!result.Scene.isNull()) {
        scene_ = std::move(result.Scene);
        if (glPanel_ != nullptr)
            glPanel_->update();
    }
}

const TA3DMesh& TA3DForm::Mesh() const
{
    static const TA3DMesh none;
    return mesh_ ? *mesh_ : none;
}

bool TA3DForm::SurfaceSettled() const
{
    return !followTimer_.isActive() && (!surfaceThread_ || surfaceThread_->Settled());
}

void TA3DForm::InitOpenGL()
{
    // Without OpenGL only this view goes; the operator is told when opening it,
    // never during start-up, which must not wait for anyone.
    glAvailable_ = OpenGLAvailable ? OpenGLAvailable() : ContextCanBeMade();
    // The OpenGL surface is made when the view is first shown: a window
    // that is never opened holds no context.
    SetPanel(new QWidget(this));
}

void TA3DForm::SetPanel(QWidget* panel)
{
    delete panel_;
    panel_ = panel;
    panel_->setObjectName("Panel1");
    panel_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(panel_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popupMenu_->popup(panel_->mapToGlobal(pos)); });
    panel_->show();
    LayoutControls();
}

void TA3DForm::FormCreate()
{
    InitOpenGL();
    if (MainIni != nullptr) {
        view_.Read(*MainIni);
        setGeometry(MainIni->ReadInteger(Section, "FormLeft", 200), MainIni->ReadInteger(Section, "FormTop", 200),
                    MainIni->ReadInteger(Section, "FormWidth", 731), MainIni->ReadInteger(Section, "FormHeight", 540));
        toolbarShown_ = !MainIni->ReadBool(Section, "HideToolbar", false);
    } else {
        resize(731, 540);
    }
    {
        const QSignalBlocker block(scrollBar1_);
        scrollBar1_->setValue(view_.ScrollBarPos);
    }
    ShowBGColor();
    ShowToolbar(toolbarShown_);
}

void TA3DForm::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    const QRect g = isMinimized() || isMaximized() ? normalGeometry() : geometry();
    MainIni->WriteInteger(Section, "FormLeft", g.left());
    MainIni->WriteInteger(Section, "FormTop", g.top());
    MainIni->WriteInteger(Section, "FormWidth", g.width());
    MainIni->WriteInteger(Section, "FormHeight", g.height());
    MainIni->WriteBool(Section, "HideToolbar", !toolbarShown_);
    view_.Write(*MainIni);
}

void TA3DForm::ShowView()
{
    if (!glAvailable_) {
        ShowMessage(MsgKind::Error, "No OpenGL installed!");
        return;
    }
    show();
    raise();
    activateWindow();
    Rebuild();
}

void TA3DForm::FillChannelList()
{
    const int wanted = MainIni != nullptr ? MainIni->ReadInteger(Section, "Channel", 0) : 0;
    channelComboBox_->clear();
    TChildForm* chosen = nullptr;
    const QList<TChildForm*> windows = ImageWindows ? ImageWindows() : QList<TChildForm*>{};
    for (TChildForm* w : windows) {
        const auto* box = qobject_cast<const QAbstractButton*>(w->CheckBox.data());
        if (box == nullptr || !box->isChecked())
            continue;
        channelComboBox_->addItem(w->windowTitle(), QVariant::fromValue(static_cast<QObject*>(w)));
        if (w->BufferIndex() == wanted && chosen == nullptr) {
            chosen = w;
            channelComboBox_->setCurrentIndex(channelComboBox_->count() - 1);
        }
    }
    if (chosen == nullptr)
        channelComboBox_->setCurrentIndex(-1);
    SetSource(chosen);
}

void TA3DForm::ChannelComboBoxChange(int index)
{
    auto* w = qobject_cast<TChildForm*>(channelComboBox_->itemData(index).value<QObject*>());
    if (w == nullptr)
        return;
    if (MainIni != nullptr)
        MainIni->WriteInteger(Section, "Channel", w->BufferIndex());
    SetSource(w);
}

TChildForm* TA3DForm::Source() const
{
    return source_;
}

void TA3DForm::SetSource(TChildForm* window)
{
    source_ = window;
    if (window == nullptr) {
        setWindowTitle("3D View");
        Rebuild();
        return;
    }
    setWindowTitle("3D View of " + window->windowTitle());
    if (MainIni != nullptr) {
        view_.ScrollBarPos = std::clamp(MainIni->ReadInteger(Section, "ScrollBar1Pos", 50), 0, 99);
        view_.BGColor = MainIni->ReadInteger(Section, "BGColor", A3DDefaultBGColor);
    }
    {
        const QSignalBlocker block(scrollBar1_);
        scrollBar1_->setValue(view_.ScrollBarPos);
    }
    ShowBGColor();
    Rebuild();
}

void TA3DForm::Rebuild()
{
    if (source_ == nullptr) {
        // A window closed with its channel leaves nothing to draw.
        SurfaceThread().Clear(++buildTag_);
        builtFrom_ = nullptr;
        ShowToolbar(true);
        Render();
        return;
    }
    // The picture is copied: the display thread's next repaint writes into
    // the window's own while the surface is built.
    SurfaceThread().Build(source_->Renderer().Bitmap(), view_.Gain(), source_->PlainColorTable(), ++buildTag_);
    builtFrom_ = source_;
    builtDrawing_ = source_->Renderer().Drawing();
    Render();
}

void TA3DForm::Render()
{
    if (glPanel_ == nullptr || !glPanel_->isVisible())
        return;
    if (!glSurface_) {
        QSurfaceFormat format;
        format.setDepthBufferSize(24);
        format.setRedBufferSize(8);
        format.setGreenBufferSize(8);
        format.setBlueBufferSize(8);
        glSurface_ = std::make_unique<QOffscreenSurface>();
        glSurface_->setFormat(format);
        glSurface_->create();
    }
    const qreal ratio = glPanel_->devicePixelRatioF();
    SurfaceThread().Draw(
        view_, glSurface_.get(),
        QSize(static_cast<int>(glPanel_->width() * ratio), static_cast<int>(glPanel_->height() * ratio)));
}

void TA3DForm::WMUpdateDisplay(bool)
{
    // A repaint of the scan that found nothing new left the picture as the
    // surface shows it.
    if (source_ != nullptr && source_ == builtFrom_ && source_->Renderer().Drawing() == builtDrawing_)
        return;
    if (!isVisible() || followTimer_.isActive())
        return;
    const qint64 pause = static_cast<qint64>(3000.0 * lastSurfaceSeconds_);
    const qint64 waited = sinceFollow_.isValid() ? sinceFollow_.elapsed() : pause;
    if (waited >= pause) {
        Rebuild();
        sinceFollow_.restart();
    } else {
        followTimer_.start(static_cast<int>(pause - waited));
    }
}

void TA3DForm::ScrollBar1Change(int position)
{
    view_.ScrollBarPos = std::clamp(position, 0, 99);
    if (MainIni != nullptr)
        MainIni->WriteInteger(Section, "ScrollBar1Pos", view_.ScrollBarPos);
    Rebuild();
}

void TA3DForm::BCPanelClick()
{
    const TA3DRgb rgb = BGColorToRgb(view_.BGColor);
    const QColor color = QColorDialog::getColor(QColor(rgb.R, rgb.G, rgb.B), this);
    if (!color.isValid())
        return;
    view_.BGColor = RgbToBGColor(color.red(), color.green(), color.blue());
    if (MainIni != nullptr)
        MainIni->WriteInteger(Section, "BGColor", view_.BGColor);
    ShowBGColor();
    Render();
}

void TA3DForm::HideToolbarItemClick()
{
    ShowToolbar(!toolbarShown_);
}

void TA3DForm::CancelBtnClick()
{
    showNormal();
}

void TA3DForm::ShowToolbar(bool shown)
{
    toolbarShown_ = shown;
    hideToolbarItem_->setText(shown ? "Hide Toolbar" : "Show Toolbar");
    for (QWidget* w :
         {static_cast<QWidget*>(channelComboBox_), static_cast<QWidget*>(gainLabel_),
          static_cast<QWidget*>(scrollBar1_), static_cast<QWidget*>(bgLabel_), static_cast<QWidget*>(bcPanel_)})
        w->setVisible(shown);
    LayoutControls();
}

void TA3DForm::LayoutControls()
{
    if (panel_ == nullptr)
        return;
    const int top = toolbarShown_ ? Margin + ToolbarHeight : Margin;
    const int height = std::max(this->height() - 2 * Margin - (toolbarShown_ ? ToolbarHeight : 0), 1);
    panel_->setGeometry(Margin, top, std::max(width() - 2 * Margin, 1), height);
    channelComboBox_->setGeometry(Margin, 4, 200, 22);
    gainLabel_->setGeometry(216, 4, 40, 22);
    scrollBar1_->setGeometry(260, 6, 150, 18);
    bgLabel_->setGeometry(424, 4, bgLabel_->sizeHint().width(), 22);
    bcPanel_->setGeometry(bgLabel_->geometry().right() + 6, 5, 40, 20);
    if (source_ != nullptr)
        Render();
}

void TA3DForm::ShowBGColor()
{
    const TA3DRgb rgb = BGColorToRgb(view_.BGColor);
    QPalette p = bcPanel_->palette();
    p.setColor(QPalette::Window, QColor(rgb.R, rgb.G, rgb.B));
    bcPanel_->setPalette(p);
}

void TA3DForm::PanelMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint pos)
{
    // While fingers are on the panel the mouse is left out.
    if (touch_.Active())
        return;
    view_.MouseDown(button == Qt::LeftButton, button == Qt::RightButton, modifiers.testFlag(Qt::ShiftModifier),
                    modifiers.testFlag(Qt::ControlModifier), pos);
}

void TA3DForm::PanelMouseMove(QPoint pos)
{
    if (touch_.Active())
        return;
    if (view_.MouseMove(pos))
        Render();
}

void TA3DForm::PanelMouseUp()
{
    if (touch_.Active())
        return;
    view_.MouseUp();
}

void TA3DForm::PanelMouseWheel(int delta)
{
    view_.Wheel(delta);
    Render();
}

void TA3DForm::PanelTouch(const std::vector<TTouchPoint>& points)
{
    for (const TTouchStep& step : touch_.Handle(points)) {
        if (step.What == TTouchStep::Zoom) {
            view_.ZoomBy(step.Steps);
            Render();
        } else if (step.What == TTouchStep::MouseDown) {
            // One finger is the left button.
            view_.MouseDown(true, false, false, false, step.Pos);
        } else if (step.What == TTouchStep::MouseMove) {
            if (view_.MouseMove(step.Pos))
                Render();
        } else if (step.What == TTouchStep::MouseUp) {
            view_.MouseUp();
        }
    }
}

void TA3DForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayoutControls();
}

void TA3DForm::Activated()
{
    if (source_ == nullptr)
        FillChannelList();
    if (source_ == nullptr)
        ShowToolbar(true);
}

void TA3DForm::showEvent(QShowEvent* event)
{
    if (glAvailable_ && glPanel_ == nullptr) {
        glPanel_ = new TMyPanel(this);
        SetPanel(glPanel_);
    }
    QWidget::showEvent(event);
    if (SetMenuChecked)
        SetMenuChecked(true);
    Activated();
}

void TA3DForm::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Activated();
}

void TA3DForm::closeEvent(QCloseEvent* event)
{
    hide();
    if (SetMenuChecked)
        SetMenuChecked(false);
    event->ignore();
}

bool TA3DForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == bcPanel_ && event->type() == QEvent::MouseButtonRelease) {
        BCPanelClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace qvt
