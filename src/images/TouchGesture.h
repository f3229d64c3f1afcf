#pragma once
// What the fingers on an image window or the 3D view mean, free of any
// window: the points of one touch event go in, the steps to take come out.
// The binding (ImageTouch) feeds Qt's touch events and carries the steps out.
//
// Image window: with the Move or Measure tool one finger works as the left
// mouse button and two fingers switch to Zoom Centered; with a zoom tool two
// fingers pinch a new scan range (start distance d0, now d: range × d0 / d)
// and shrink or grow the drawn picture with it; the range is applied only
// when the last finger lifts. 3D view: one finger turns the view as a left
// drag does, two fingers zoom by the change of their distance.

#include "scan/ScanStatus.h"

#include <QPointF>
#include <QRect>

#include <array>
#include <vector>

namespace qvt {

// The mouse tools of the parameter window, as stored in [ScanPara] UsedTool.
using MouseTool = TMouseTool;

enum class TouchPhase { Down, Move, Stationary, Up };

struct TTouchPoint {
    int Id = -1;
    QPointF Pos; // widget pixels
    TouchPhase Phase = TouchPhase::Move;
};

struct TTouchStep {
    enum Kind {
        MouseDown, // replay as the left button at Pos
        MouseMove,
        MouseUp,
        SelectTool, // switch the parameter window's tool to Tool
        ShowRange,  // Range into the range edit (not applied), View drawn
        Apply,      // the pinch is over: apply the edits, reset the view
        Zoom,       // 3D view: Z closer by Steps
    };
    Kind What = MouseMove;
    QPoint Pos;
    MouseTool Tool = MouseTool::Drag;
    double Range = 0.0;
    QRect View;
    int Steps = 0;
};
using TTouchSteps = std::vector<TTouchStep>;

// Two tracked fingers by id; when finger 1 lifts, finger 2 takes its place.
class TFingerPair {
public:
    struct Finger {
        int Id = -1;
        QPointF Start;
        QPointF Now;
    };
    // Takes the points of one event; the ids newly tracked are reported
    // through `started`. Lifted fingers are dropped after the event.
    void Track(const std::vector<TTouchPoint>& points, bool& started);
    void Drop(int id);
    void Reset() { fingers_ = {}; }
    int Count() const { return (fingers_[0].Id >= 0) + (fingers_[1].Id >= 0); }
    const Finger& operator[](int k) const { return fingers_[static_cast<std::size_t>(k)]; }
    double StartDistance() const;
    double Distance() const;

private:
    std::array<Finger, 2> fingers_{};
};

// Below this the finger distance says nothing (and would divide by zero).
constexpr double MinPinchDistance = 1.0;

class TImageTouchGesture {
public:
    // What the step needs from the program: the tool, the applied range, the
    // drawn picture, and whether a range leaves the scanner.
    struct Context {
        MouseTool Tool = MouseTool::Drag;
        double Range = 0.0;
        QRect View;
        bool (*OutOfRange)(double range, const void* user) = nullptr;
        const void* User = nullptr;
    };
    TTouchSteps Handle(const std::vector<TTouchPoint>& points, const Context& context);
    // True from the first finger until the last lifts.
    bool Active() const { return active_; }
    // A range was pinched and waits for the last finger.
    bool Pinched() const { return pinched_; }

private:
    TTouchSteps Replay(const std::vector<TTouchPoint>& points);
    void End();

    TFingerPair fingers_;
    QRect startView_;
    bool active_ = false;
    bool pinched_ = false;
    bool mouseDown_ = false;
    bool switchedToZoom_ = false;
};

class TA3DTouchGesture {
public:
    TTouchSteps Handle(const std::vector<TTouchPoint>& points);
    bool Active() const { return active_; }

private:
    TFingerPair fingers_;
    double lastDistance_ = 0.0;
    bool active_ = false;
    bool pinching_ = false;
    bool mouseDown_ = false;
};

} // namespace qvt
