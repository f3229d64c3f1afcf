#include "images/ImageTouch.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "images/PaintablePanel.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaForm.h"
#include "widgets/NumericEdit.h"

#include <QCoreApplication>
#include <QInputDevice>
#include <QMouseEvent>
#include <QTouchEvent>

#include <utility>

namespace qvt {

namespace {
bool touchAvailable = false;
bool touchMouseEvent = false;

MouseTool StoredTool()
{
    const int tool = MainIni != nullptr ? MainIni->ReadInteger("ScanPara", "UsedTool", 0) : 0;
    return tool >= 0 && tool <= 4 ? static_cast<MouseTool>(tool) : MouseTool::Drag;
}

bool RangeOutOfRange(double range, const void*)
{
    return ScanAreaOutOfRange({range, ScanParams.XCenter.load(), ScanParams.YCenter.load()});
}

TNumericEdit* ScanEdit(const char* name)
{
    return ScanParaForm != nullptr ? ScanParaForm->Edit(name) : nullptr;
}
} // namespace

std::function<MouseTool()> TImageTouch::UsedTool;
std::function<void(MouseTool)> TImageTouch::SelectTool;

bool TouchScreenPresent()
{
    for (const QInputDevice* device : QInputDevice::devices()) {
        if (device->type() == QInputDevice::DeviceType::TouchScreen)
            return true;
    }
    return false;
}

bool InitTouchApi(bool configured)
{
    touchAvailable = configured || TouchScreenPresent();
    return touchAvailable;
}

bool TouchAvailable()
{
    return touchAvailable;
}

void ReleaseTouchApi()
{
    touchAvailable = false;
}

bool TouchMouseEvent()
{
    return touchMouseEvent;
}

std::vector<TTouchPoint> TouchPoints(const QTouchEvent& event, const QWidget& receiver)
{
    std::vector<TTouchPoint> points;
    for (const QEventPoint& p : event.points()) {
        TTouchPoint point;
        point.Id = p.id();
        // From the screen position: right however the event reached the widget.
        point.Pos = receiver.mapFromGlobal(p.globalPosition());
        switch (p.state()) {
        case QEventPoint::State::Pressed:
            point.Phase = TouchPhase::Down;
            break;
        case QEventPoint::State::Released:
            point.Phase = TouchPhase::Up;
            break;
        case QEventPoint::State::Stationary:
            point.Phase = TouchPhase::Stationary;
            break;
        default:
            point.Phase = TouchPhase::Move;
            break;
        }
        points.push_back(point);
    }
    // A cancelled touch lifts every finger.
    if (event.type() == QEvent::TouchCancel) {
        for (TTouchPoint& p : points)
            p.Phase = TouchPhase::Up;
    }
    return points;
}

void ReplayTouchAsMouse(QWidget* target, TTouchStep::Kind what, QPoint pos)
{
    QEvent::Type type = QEvent::MouseMove;
    Qt::MouseButton button = Qt::NoButton;
    Qt::MouseButtons buttons = Qt::LeftButton;
    if (what == TTouchStep::MouseDown) {
        type = QEvent::MouseButtonPress;
        button = Qt::LeftButton;
    } else if (what == TTouchStep::MouseUp) {
        type = QEvent::MouseButtonRelease;
        button = Qt::LeftButton;
        buttons = Qt::NoButton;
    }
    QMouseEvent event(type, QPointF(pos), target->mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
    const bool was = std::exchange(touchMouseEvent, true);
    QCoreApplication::sendEvent(target, &event);
    touchMouseEvent = was;
}

TImageTouch::TImageTouch(IPictureWindow& form) : QObject(&form.Window()), form_(form)
{
    setObjectName("ImageTouch");
    form.Panel2()->setAttribute(Qt::WA_AcceptTouchEvents);
    form.Panel2()->installEventFilter(this);
}

bool TImageTouch::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
        HandlePoints(TouchPoints(*static_cast<QTouchEvent*>(event), *form_.Panel2()));
        event->accept();
        return true;
    default:
        return QObject::eventFilter(watched, event);
    }
}

void TImageTouch::HandlePoints(const std::vector<TTouchPoint>& points)
{
    const TPaintablePanel* panel = form_.Panel2();
    TImageTouchGesture::Context context;
    context.Tool = UsedTool ? UsedTool() : StoredTool();
    context.Range = ScanParams.Range.load();
    context.View = QRect(panel->DrawnLeft, panel->DrawnTop, panel->DrawnWidth, panel->DrawnHeight);
    context.OutOfRange = RangeOutOfRange;
    for (const TTouchStep& step : gesture_.Handle(points, context))
        Carry(step);
}

void TImageTouch::Carry(const TTouchStep& step)
{
    TPaintablePanel* panel = form_.Panel2();
    switch (step.What) {
    case TTouchStep::MouseDown:
    case TTouchStep::MouseMove:
    case TTouchStep::MouseUp:
        ReplayTouchAsMouse(panel, step.What, step.Pos);
        break;
    case TTouchStep::SelectTool:
        if (SelectTool)
            SelectTool(step.Tool);
        break;
    case TTouchStep::ShowRange:
        if (TNumericEdit* edit = ScanEdit("Edit3")) {
            // Shown as typed: it is applied when the fingers lift.
            edit->setText(QString::number(step.Range, 'f', 3));
            edit->SetColor(EditColor::Silver);
        }
        panel->DrawnLeft = step.View.left();
        panel->DrawnTop = step.View.top();
        panel->DrawnWidth = step.View.width();
        panel->DrawnHeight = step.View.height();
        panel->update();
        break;
    case TTouchStep::Apply:
        if (ScanParaForm != nullptr)
            ScanParaForm->EnterScanArea();
        // Until the new lines arrive the picture shows what the pinch showed.
        form_.PreviewInView(QRect(panel->DrawnLeft, panel->DrawnTop, panel->DrawnWidth, panel->DrawnHeight));
        panel->DrawnLeft = 0;
        panel->DrawnTop = 0;
        panel->DrawnWidth = panel->width();
        panel->DrawnHeight = panel->height();
        panel->update();
        break;
    case TTouchStep::Zoom:
        break;
    }
}

TImageTouch* InstallImageTouch(IPictureWindow& form)
{
    return TouchAvailable() ? new TImageTouch(form) : nullptr;
}

bool ImageTouchActive(const IPictureWindow& form)
{
    const auto* touch = form.Window().findChild<TImageTouch*>("ImageTouch", Qt::FindDirectChildrenOnly);
    return touch != nullptr && touch->Gesture().Active();
}

} // namespace qvt
