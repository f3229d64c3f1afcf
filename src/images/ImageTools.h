#pragma once
// The mouse tools of an image window: choosing a new scan frame by moving or
// zooming on the picture, the ruler, the spectroscopy point and restarting
// the scan from a line. The tools never change the scan themselves: they
// write the parameter window's centre and range boxes, and on mouse-up press
// Enter in them, so that window applies the frame as if typed.

#include <QElapsedTimer>
#include <QPoint>
#include <QPointF>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

class QMenu;
class QPainter;

namespace qvt {

class IPictureWindow;

// ---- picture and scan coordinates ------------------------------------------------------------

struct TPanelFrame {
    double Width = 0.0; // panel pixels
    double Height = 0.0;
    double Range = 0.0; // scan units
    double Angle = 0.0; // radians
    double XCenter = 0.0;
    double YCenter = 0.0;
};
// The frame of the scan parameters on a panel of w × h pixels.
TPanelFrame CurrentPanelFrame(int w, int h);
QPointF PanelToScan(const TPanelFrame& f, QPointF p);
// None for a zero range; (0, 0) where the arithmetic fails.
std::optional<QPoint> ScanToPanel(const TPanelFrame& f, QPointF s);
// For each pixel of a picture of `width` × `height` shown in frame `to`,
// the pixel of the same picture in frame `from` that lies at the same scan
// point (row-major), or -1 where that point lay outside `from`.
std::vector<int> ReframePixels(int width, int height, const TPanelFrame& from, const TPanelFrame& to);

// ---- frame proposals -------------------------------------------------------------------------

struct TFrameProposal {
    double XCenter = 0.0;
    double YCenter = 0.0;
    double Range = 0.0;
};
constexpr double MinZoomDragPixels = 10.0;
// The picture dragged from `start` to `now`: the frame's centre follows.
TFrameProposal ProposeMove(const TPanelFrame& f, QPoint start, QPoint now);
// A rectangle dragged from `start` to `now`; `invert` zooms out instead.
TFrameProposal ProposeZoom(const TPanelFrame& f, QPoint start, QPoint now, bool invert);
// A square about `start` with `now` as its corner.
TFrameProposal ProposeZoomCentered(const TPanelFrame& f, QPoint start, QPoint now);
double RoundToThousandth(double v);

// The ruler's direction from its pixel vector (y down), 0..2π.
double RulerAngle(double dx, double dy);

// The line "Scan from here" starts at; none on a panel under 2 pixels high.
std::optional<int> ScanFromHereLine(int y, int panelHeight, int pixels);

// ---- one window's tools ----------------------------------------------------------------------

// The tool numbers of the parameter window's tool buttons.
enum TImageTool { ToolDrag = 0, ToolMove = 1, ToolMeasure = 2, ToolZoom = 3, ToolZoomCentered = 4 };

class TImageTools : public QObject {
    Q_OBJECT
public:
    explicit TImageTools(IPictureWindow& form);
    ~TImageTools() override;

    void MouseDown(QPoint p, Qt::MouseButton button, bool leftHeld);
    void MouseMove(QPoint p, bool leftHeld);
    void MouseUp(QPoint p);
    // The pop-up menu opened at `p`: "Scan from here" starts at its line.
    void MenuAt(QPoint p) { down_ = p; }
    // Pressing Shift alone: the next zoom drag zooms out.
    void ShiftPressed() { invertZoom_ = true; }
    // Arrow keys move the window by a pixel, Shift+Up/Down change its
    // height. The main window has seen every key already (it previews the
    // keys of its windows), so the others need nothing here.
    // True when the key was the window's.
    bool KeyDown(int key, Qt::KeyboardModifiers modifiers);
    // The ruler and the zoom rectangle over the picture.
    void Paint(QPainter& painter);
    // "Reverse Scan Direction", "Scan from here down/up".
    void AddMenuItems(QMenu& menu);
    void ReverseScanDirection();
    void ScanFromHere(bool down);
    void Timer1Timer();
    void RefreshCursor();

    QPoint DownPoint() const { return down_; }
    bool RulerShown() const;
    // The last ruler's length (scan units) and angle (radians).
    static double RulerLength();
    static double RulerAngleNow();

    // Every image window's cursor after a tool change.
    static void RefreshAllCursors();
    // The spectroscopy window takes a point (scan units); unset: there is none.
    static std::function<void(double x, double y)> SetSpectroscopyPoint;
    // The main window's Scan button pressed down (no scan runs).
    static std::function<void()> StartScan;

private:
    int Tool() const;
    TPanelFrame Frame() const;
    void Step(QPoint p);
    void Propose(const TFrameProposal& f, bool centre, bool range);
    void ApplyView();
    void RepaintRulerWindows();

    IPictureWindow& form_;
    int tool_ = -1; // the tool of the drag under way
    QPoint down_;
    QPoint start_;
    QPoint now_;
    int leftAtStart_ = 0;
    int topAtStart_ = 0;
    bool invertZoom_ = false; // Shift was pressed: the next zoom drag zooms out
    bool zoomOut_ = false;    // the drag under way zooms out
    bool rectShown_ = false;
    QTimer timer1_;
};

} // namespace qvt
