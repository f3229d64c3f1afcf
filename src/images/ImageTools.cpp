#include "images/ImageTools.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/PaintablePanel.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaForm.h"
#include "scan/ShowThread.h"

#include <QMdiSubWindow>
#include <QMenu>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

namespace qvt {

std::function<void(double, double)> TImageTools::SetSpectroscopyPoint;
std::function<void()> TImageTools::StartScan;

namespace {

constexpr int RulerLifeMs = 10000;
constexpr int RulerTimerMs = 1000;
constexpr int RulerTick = 5;

// One ruler for the whole program.
struct TRuler {
    QPointF Start, End; // scan units
    double Length = 0.0;
    double Angle = 0.0;
    const TImageTools* Window = nullptr; // where it was measured
    bool Shown = false;
    QElapsedTimer Finished;
};
TRuler Ruler;

// Every window's tools, for the ruler and the cursors (window thread only).
std::vector<TImageTools*>& AllTools()
{
    static std::vector<TImageTools*> all;
    return all;
}

bool MeasureAll()
{
    return UserIni != nullptr && UserIni->ReadBool("Main", "MeasureAll", false);
}

TNumericEdit* Box(const char* name)
{
    return ScanParaForm != nullptr ? ScanParaForm->Edit(name) : nullptr;
}

void Highlight(bool on, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (TNumericEdit* e = Box(name))
            e->setFrame(!on); // a flat bevel marks a box a tool is writing
}

QString Fixed3(double v)
{
    return QString::number(v, 'f', 3);
}

} // namespace

// ---- coordinates -----------------------------------------------------------------------------

TPanelFrame CurrentPanelFrame(int w, int h)
{
    return {double(w),
            double(h),
            ScanParams.Range.load(),
            ScanParams.Angle.load(),
            ScanParams.XCenter.load(),
            ScanParams.YCenter.load()};
}

QPointF PanelToScan(const TPanelFrame& f, QPointF p)
{
    if (f.Width <= 0.0 || f.Height <= 0.0)
        return {f.XCenter, f.YCenter};
    const double u = p.x() / f.Width * f.Range - f.Range / 2.0;
    const double v = p.y() / f.Height * f.Range - f.Range / 2.0;
    const double c = std::cos(f.Angle);
    const double s = std::sin(f.Angle);
    return {c * u + s * v + f.XCenter, s * u - c * v + f.YCenter};
}

std::optional<QPoint> ScanToPanel(const TPanelFrame& f, QPointF s)
{
    if (f.Range == 0.0)
        return std::nullopt;
    const double c = std::cos(f.Angle);
    const double n = std::sin(f.Angle);
    const double dx = s.x() - f.XCenter;
    const double dy = s.y() - f.YCenter;
    const double px = (c * dx + n * dy) * f.Width / f.Range + f.Width / 2.0;
    const double py = (n * dx - c * dy) * f.Height / f.Range + f.Height / 2.0;
    constexpr double limit = 1e9;
    if (!std::isfinite(px) || !std::isfinite(py) || std::fabs(px) > limit || std::fabs(py) > limit)
        return QPoint(0, 0);
    return QPoint(static_cast<int>(std::lround(px)), static_cast<int>(std::lround(py)));
}

std::vector<int> ReframePixels(int width, int height, const TPanelFrame& from, const TPanelFrame& to)
{
    std::vector<int> source(static_cast<std::size_t>(std::max(0, width)) * std::max(0, height), -1);
    if (width <= 0 || height <= 0 || from.Range == 0.0)
        return source;
    const TPanelFrame pictureTo{double(width), double(height), to.Range, to.Angle, to.XCenter, to.YCenter};
    const double c = std::cos(from.Angle);
    const double n = std::sin(from.Angle);
    std::size_t k = 0;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col, ++k) {
            // Pixel centres, so a frame mapped onto itself keeps every pixel.
            const QPointF s = PanelToScan(pictureTo, QPointF(col + 0.5, row + 0.5));
            const double dx = s.x() - from.XCenter;
            const double dy = s.y() - from.YCenter;
            const double px = (c * dx + n * dy) * width / from.Range + width / 2.0;
            const double py = (n * dx - c * dy) * height / from.Range + height / 2.0;
            if (px >= 0.0 && py >= 0.0 && px < width && py < height)
                source[k] = static_cast<int>(py) * width + static_cast<int>(px);
        }
    }
    return source;
}

double RoundToThousandth(double v)
{
    return std::round(v * 1000.0) / 1000.0;
}

TFrameProposal ProposeMove(const TPanelFrame& f, QPoint start, QPoint now)
{
    const QPoint d = start - now;
    const QPointF c = PanelToScan(f, QPointF(f.Width / 2.0 + d.x(), f.Height / 2.0 + d.y()));
    return {RoundToThousandth(c.x()), RoundToThousandth(c.y()), f.Range};
}

TFrameProposal ProposeZoom(const TPanelFrame& f, QPoint start, QPoint now, bool invert)
{
    const double diagonal = std::hypot(f.Width, f.Height);
    double r = std::hypot(double(now.x() - start.x()), double(now.y() - start.y()));
    if (r < MinZoomDragPixels)
        r = diagonal;
    const double factor = invert ? diagonal / r : r / diagonal;
    const QPointF c = PanelToScan(f, QPointF((start.x() + now.x()) / 2.0, (start.y() + now.y()) / 2.0));
    return {RoundToThousandth(c.x()), RoundToThousandth(c.y()), factor * f.Range};
}

TFrameProposal ProposeZoomCentered(const TPanelFrame& f, QPoint start, QPoint now)
{
    const double diagonal = std::hypot(f.Width, f.Height);
    double r = 2.0 * std::hypot(double(now.x() - start.x()), double(now.y() - start.y()));
    if (r < MinZoomDragPixels)
        r = diagonal;
    const QPointF c = PanelToScan(f, QPointF(start));
    return {RoundToThousandth(c.x()), RoundToThousandth(c.y()), r / diagonal * f.Range};
}

double RulerAngle(double dx, double dy)
{
    const double length = std::hypot(dx, dy);
    if (length == 0.0)
        return 0.0;
    constexpr double pi = std::numbers::pi;
    double a = std::asin(std::fabs(dy) / length);
    if (a > pi / 4.0)
        a = pi / 2.0 - std::asin(std::fabs(dx) / length);
    if (dx < 0 && dy > 0)
        return pi - a;
    if (dx <= 0 && dy <= 0)
        return pi + a;
    if (dx > 0 && dy < 0)
        return 2.0 * pi - a;
    return a;
}

std::optional<int> ScanFromHereLine(int y, int panelHeight, int pixels)
{
    if (panelHeight < 2)
        return std::nullopt;
    return static_cast<int>(std::lround(double(y) / panelHeight * pixels));
}

// ---- TImageTools -----------------------------------------------------------------------------

TImageTools::TImageTools(IPictureWindow& form) : QObject(&form.Window()), form_(form)
{
    timer1_.setInterval(RulerTimerMs);
    connect(&timer1_, &QTimer::timeout, this, &TImageTools::Timer1Timer);
    AllTools().push_back(this);
    RefreshCursor();
}

TImageTools::~TImageTools()
{
    auto& all = AllTools();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    if (Ruler.Window == this) {
        Ruler.Window = nullptr;
        Ruler.Shown = false;
    }
}

int TImageTools::Tool() const
{
    return ScanParaForm != nullptr ? ScanParaForm->UsedTool() : ToolDrag;
}

TPanelFrame TImageTools::Frame() const
{
    const TPaintablePanel* panel = form_.Panel2();
    return CurrentPanelFrame(panel->width(), panel->height());
}

bool TImageTools::RulerShown() const
{
    return Ruler.Shown && (Ruler.Window == this || MeasureAll());
}

double TImageTools::RulerLength()
{
    return Ruler.Length;
}

double TImageTools::RulerAngleNow()
{
    return Ruler.Angle;
}

void TImageTools::RefreshCursor()
{
    const int tool = Tool();
    form_.Panel2()->setCursor(tool == ToolMove   ? Qt::SizeAllCursor
                              : tool == ToolDrag ? Qt::ArrowCursor
                                                 : Qt::CrossCursor);
}

void TImageTools::RefreshAllCursors()
{
    for (TImageTools* t : AllTools())
        t->RefreshCursor();
}

void TImageTools::MouseDown(QPoint p, Qt::MouseButton button, bool leftHeld)
{
    if (button == Qt::RightButton)
        return;
    form_.Window().setFocus();
    down_ = p;
    const QPointF s = PanelToScan(Frame(), QPointF(p));
    if (SetSpectroscopyPoint)
        SetSpectroscopyPoint(s.x(), s.y());
    tool_ = -1;
    if (!leftHeld || ScanParaForm == nullptr)
        return;
    tool_ = Tool();
    start_ = now_ = p;
    TPaintablePanel* panel = form_.Panel2();
    leftAtStart_ = panel->DrawnLeft;
    topAtStart_ = panel->DrawnTop;
    switch (tool_) {
    case ToolMove:
        Highlight(true, {"Edit7", "Edit8"});
        break;
    case ToolZoomCentered:
        if (TNumericEdit* e = Box("Edit7"))
            e->setText(Fixed3(s.x()));
        if (TNumericEdit* e = Box("Edit8"))
            e->setText(Fixed3(s.y()));
        [[fallthrough]];
    case ToolZoom:
        Highlight(true, {"Edit7", "Edit8", "Edit3"});
        // Shift before the drag zooms this whole drag out, not only its first step.
        if (tool_ == ToolZoom) {
            zoomOut_ = invertZoom_;
            invertZoom_ = false;
        }
        break;
    case ToolMeasure:
        Ruler.Start = Ruler.End = s;
        Ruler.Length = 0.0;
        Ruler.Angle = 0.0;
        Ruler.Window = this;
        timer1_.stop();
        break;
    default:
        break;
    }
}

void TImageTools::Propose(const TFrameProposal& f, bool centre, bool range)
{
    // A frame the scanner cannot reach leaves the boxes as they are.
    if (ScanAreaOutOfRange(TScanArea{f.Range, f.XCenter, f.YCenter}))
        return;
    if (centre) {
        if (TNumericEdit* e = Box("Edit7"))
            e->setText(Fixed3(f.XCenter));
        if (TNumericEdit* e = Box("Edit8"))
            e->setText(Fixed3(f.YCenter));
    }
    if (range)
        if (TNumericEdit* e = Box("Edit3"))
            e->setText(FloatToText(RoundToThousandth(f.Range)));
}

void TImageTools::Step(QPoint p)
{
    TPaintablePanel* panel = form_.Panel2();
    const TPanelFrame f = Frame();
    switch (tool_) {
    case ToolMove: {
        const TFrameProposal m = ProposeMove(f, start_, p);
        if (!ScanAreaOutOfRange(TScanArea{m.Range, m.XCenter, m.YCenter})) {
            Propose(m, true, false);
            panel->DrawnLeft = leftAtStart_ + (p.x() - start_.x());
            panel->DrawnTop = topAtStart_ + (p.y() - start_.y());
            panel->update();
        }
        break;
    }
    case ToolZoom:
    case ToolZoomCentered: {
        const bool centred = tool_ == ToolZoomCentered;
        const TFrameProposal z = centred ? ProposeZoomCentered(f, start_, p) : ProposeZoom(f, start_, p, zoomOut_);
        if (!ScanAreaOutOfRange(TScanArea{z.Range, z.XCenter, z.YCenter})) {
            Propose(z, !centred, true);
            now_ = p;
            rectShown_ = true;
            panel->update();
        }
        break;
    }
    case ToolMeasure: {
        const QPoint q(std::clamp(p.x(), 0, panel->width()), std::clamp(p.y(), 0, panel->height()));
        Ruler.End = PanelToScan(f, QPointF(q));
        Ruler.Length = std::hypot(Ruler.End.x() - Ruler.Start.x(), Ruler.End.y() - Ruler.Start.y());
        Ruler.Angle = RulerAngle(q.x() - start_.x(), q.y() - start_.y());
        Ruler.Shown = true;
        RepaintRulerWindows();
        break;
    }
    default:
        break;
    }
}

void TImageTools::MouseMove(QPoint p, bool leftHeld)
{
    if (leftHeld && tool_ >= 0)
        Step(p);
}

void TImageTools::MouseUp(QPoint p)
{
    if (tool_ < 0)
        return;
    Step(p);
    const int tool = std::exchange(tool_, -1);
    rectShown_ = false;
    zoomOut_ = false;
    if (tool == ToolMeasure) {
        Ruler.Shown = true;
        Ruler.Finished.start();
        timer1_.start();
        return;
    }
    form_.Panel2()->update();
    if (tool == ToolMove || tool == ToolZoom || tool == ToolZoomCentered)
        ApplyView();
}

void TImageTools::ApplyView()
{
    const TPanelFrame before = Frame();
    Highlight(false, {"Edit7", "Edit8", "Edit3"});
    TPaintablePanel* panel = form_.Panel2();
    panel->DrawnLeft = 0;
    panel->DrawnTop = 0;
    if (ScanParaForm == nullptr)
        return;
    ScanParaForm->EnterScanArea();
    // The old picture stretched into the frame now taken, so the ruler and
    // the next drag measure and propose from what is shown; what lay outside
    // the old frame is black until its lines arrive.
    form_.RedrawPictureInFrame(before, Frame());
    form_.ResyncShowLine();
    panel->update();
}

void TImageTools::RepaintRulerWindows()
{
    if (MeasureAll()) {
        for (TImageTools* t : AllTools())
            t->form_.Panel2()->update();
    } else {
        form_.Panel2()->update();
    }
}

void TImageTools::Timer1Timer()
{
    if (!Ruler.Shown)
        return;
    const bool young = Ruler.Finished.isValid() && Ruler.Finished.elapsed() < RulerLifeMs;
    if (young && (MeasureAll() || Ruler.Window == this))
        return;
    Ruler.Shown = false;
    RepaintRulerWindows();
    timer1_.stop();
}

void TImageTools::Paint(QPainter& painter)
{
    if (rectShown_) {
        painter.save();
        painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        painter.setPen(QPen(Qt::white, 2));
        painter.setBrush(Qt::NoBrush);
        if (tool_ == ToolZoomCentered) {
            const QPoint d = now_ - start_;
            painter.drawRect(QRect(start_ - QPoint(std::abs(d.x()), std::abs(d.y())),
                                   start_ + QPoint(std::abs(d.x()), std::abs(d.y()))));
        } else {
            painter.drawRect(QRect(start_, now_).normalized());
        }
        painter.restore();
    }
    if (!RulerShown())
        return;
    const TPanelFrame f = Frame();
    const std::optional<QPoint> a = ScanToPanel(f, Ruler.Start);
    const std::optional<QPoint> b = ScanToPanel(f, Ruler.End);
    if (!a || !b)
        return;
    painter.save();
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(*a, *b);
    const double s = std::sin(Ruler.Angle) * RulerTick;
    const double c = std::cos(Ruler.Angle) * RulerTick;
    for (const QPoint& e : {*a, *b})
        painter.drawLine(QPointF(e.x() + s, e.y() - c), QPointF(e.x() - s, e.y() + c));
    painter.restore();

    const QString label = FormatWithSIPrefix(ChannelTable[SlotX].UnitName, Ruler.Length);
    const QFontMetrics fm(painter.font());
    const int tw = fm.horizontalAdvance(label);
    const int th = fm.height();
    const QPoint mid = (*a + *b) / 2;
    constexpr double pi = std::numbers::pi;
    const bool right = (Ruler.Angle >= 0 && Ruler.Angle <= pi / 2) || (Ruler.Angle > pi && Ruler.Angle <= 1.5 * pi);
    const int w = form_.Panel2()->width();
    int x = right ? mid.x() + 5 : mid.x() - tw - 5;
    x = std::max(5, std::min(x, w - tw - 5));
    int y = mid.y() - th - 5;
    if (y < 5)
        y = 5;
    painter.fillRect(QRect(x, y, tw, th), Qt::black);
    painter.setPen(Qt::white);
    painter.drawText(QRect(x, y, tw, th), Qt::AlignCenter, label);
}

bool TImageTools::KeyDown(int key, Qt::KeyboardModifiers modifiers)
{
    QWidget* frame = form_.SubWindow() != nullptr ? static_cast<QWidget*>(form_.SubWindow()) : &form_.Window();
    const bool shift = modifiers.testFlag(Qt::ShiftModifier);
    switch (key) {
    case Qt::Key_Shift:
        ShiftPressed();
        return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
        if (!shift)
            frame->move(frame->pos() + QPoint(key == Qt::Key_Left ? -1 : 1, 0));
        return true;
    case Qt::Key_Up:
    case Qt::Key_Down: {
        const int d = key == Qt::Key_Up ? -1 : 1;
        if (shift)
            frame->resize(frame->width(), frame->height() + d);
        else
            frame->move(frame->pos() + QPoint(0, d));
        return true;
    }
    default:
        return false;
    }
}

// ---- the pop-up menu -------------------------------------------------------------------------

void TImageTools::AddMenuItems(QMenu& menu)
{
    menu.addSeparator();
    connect(menu.addAction("Reverse Scan Direction"), &QAction::triggered, this, &TImageTools::ReverseScanDirection);
    connect(menu.addAction("Scan from here down"), &QAction::triggered, this, [this] { ScanFromHere(true); });
    connect(menu.addAction("Scan from here up"), &QAction::triggered, this, [this] { ScanFromHere(false); });
}

void TImageTools::ReverseScanDirection()
{
    if (DeviceWorkers == nullptr)
        return;
    TGoXYThread& scan = DeviceWorkers->GoXYThread();
    const int32_t old = scan.Direction.load();
    scan.Direction = -old;
    DeviceWorkers->ShowThread().FirstLine = ScanParams.CurrentLine.load() - old;
}

void TImageTools::ScanFromHere(bool down)
{
    const std::optional<int> line = ScanFromHereLine(down_.y(), form_.Panel2()->height(), ScanParams.Pixels.load());
    if (!line || DeviceWorkers == nullptr)
        return;
    ScanParams.CurrentLine = static_cast<int16_t>(*line);
    DeviceWorkers->GoXYThread().Direction = down ? 1 : -1;
    const bool running = form_.ScanIsRunning();
    if (running)
        DeviceWorkers->ShowThread().FirstLine = down ? *line + 1 : *line - 1;
    else if (StartScan)
        StartScan();
}

} // namespace qvt
