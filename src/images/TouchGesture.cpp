#include "images/TouchGesture.h"

#include "core/NumberText.h"

#include <cmath>

namespace qvt {

namespace {
bool Touching(const TTouchPoint& p)
{
    return p.Phase != TouchPhase::Up;
}

int TouchingCount(const std::vector<TTouchPoint>& points)
{
    int n = 0;
    for (const TTouchPoint& p : points)
        n += Touching(p);
    return n;
}

double Length(QPointF d)
{
    return std::hypot(d.x(), d.y());
}

const TTouchPoint* Find(const std::vector<TTouchPoint>& points, int id)
{
    for (const TTouchPoint& p : points) {
        if (p.Id == id)
            return &p;
    }
    return nullptr;
}

void DropLifted(TFingerPair& fingers, const std::vector<TTouchPoint>& points)
{
    for (const TTouchPoint& p : points) {
        if (!Touching(p))
            fingers.Drop(p.Id);
    }
}
} // namespace

void TFingerPair::Track(const std::vector<TTouchPoint>& points, bool& started)
{
    started = false;
    for (const TTouchPoint& p : points) {
        Finger* slot = nullptr;
        for (Finger& f : fingers_) {
            if (f.Id == p.Id && p.Id >= 0)
                slot = &f;
        }
        if (slot != nullptr) {
            slot->Now = p.Pos;
            continue;
        }
        if (!Touching(p))
            continue;
        // A third finger is not followed.
        for (Finger& f : fingers_) {
            if (f.Id < 0) {
                f = {p.Id, p.Pos, p.Pos};
                started = true;
                break;
            }
        }
    }
    if (started) {
        // The pinch starts from where the fingers are now.
        for (Finger& f : fingers_)
            f.Start = f.Now;
    }
}

void TFingerPair::Drop(int id)
{
    if (fingers_[0].Id == id) {
        fingers_[0] = fingers_[1];
        fingers_[1] = {};
    } else if (fingers_[1].Id == id) {
        fingers_[1] = {};
    }
}

double TFingerPair::StartDistance() const
{
    return Length(fingers_[1].Start - fingers_[0].Start);
}

double TFingerPair::Distance() const
{
    return Length(fingers_[1].Now - fingers_[0].Now);
}

TTouchSteps TImageTouchGesture::Replay(const std::vector<TTouchPoint>& points)
{
    TTouchSteps steps;
    const TTouchPoint* p = Find(points, fingers_[0].Id);
    if (p == nullptr || p->Phase == TouchPhase::Stationary)
        return steps;
    TTouchStep step;
    step.Pos = p->Pos.toPoint();
    if (p->Phase == TouchPhase::Down) {
        step.What = TTouchStep::MouseDown;
        mouseDown_ = true;
    } else if (p->Phase == TouchPhase::Up) {
        if (!mouseDown_)
            return steps;
        step.What = TTouchStep::MouseUp;
        mouseDown_ = false;
    } else {
        step.What = TTouchStep::MouseMove;
    }
    steps.push_back(step);
    return steps;
}

void TImageTouchGesture::End()
{
    fingers_.Reset();
    active_ = false;
    pinched_ = false;
    mouseDown_ = false;
    switchedToZoom_ = false;
}

TTouchSteps TImageTouchGesture::Handle(const std::vector<TTouchPoint>& points, const Context& context)
{
    TTouchSteps steps;
    const int touching = TouchingCount(points);
    if (touching > 0)
        active_ = true;
    bool started = false;
    fingers_.Track(points, started);

    MouseTool tool = context.Tool;
    if (tool == MouseTool::Move || tool == MouseTool::Measure) {
        if (touching >= 2 && fingers_.Count() == 2) {
            // Switched once; until the tool shows it the pinch goes on as Zoom Centered.
            if (!switchedToZoom_) {
                TTouchStep select;
                select.What = TTouchStep::SelectTool;
                select.Tool = MouseTool::ZoomCentered;
                steps.push_back(select);
                switchedToZoom_ = true;
                started = true;
            }
            tool = MouseTool::ZoomCentered;
        } else if (!pinched_) {
            steps = Replay(points);
        }
    }

    if (tool == MouseTool::Zoom || tool == MouseTool::ZoomCentered) {
        if (started)
            startView_ = context.View;
        if (touching >= 2 && fingers_.Count() == 2) {
            const double d0 = fingers_.StartDistance();
            const double d = fingers_.Distance();
            // Fingers on one spot give no factor; such a step is skipped, and
            // so is a pair that has not spread or closed yet.
            const bool still = !pinched_ && std::fabs(d - d0) < MinPinchDistance;
            if (d0 >= MinPinchDistance && d >= MinPinchDistance && !still) {
                const double range = d0 * context.Range / d;
                if (context.OutOfRange == nullptr || !context.OutOfRange(range, context.User)) {
                    const int s = static_cast<int>(Round(d0 - d));
                    TTouchStep show;
                    show.What = TTouchStep::ShowRange;
                    show.Range = range;
                    show.View = QRect(startView_.left() + s / 2, startView_.top() + s / 2, startView_.width() - s,
                                      startView_.height() - s);
                    steps.push_back(show);
                    pinched_ = true;
                }
            }
        } else if (touching == 1 && !pinched_ && fingers_.Count() == 1) {
            // One finger on a zoom tool moves the picture instead.
            TTouchStep select;
            select.What = TTouchStep::SelectTool;
            select.Tool = MouseTool::Move;
            steps.push_back(select);
            const TTouchSteps replay = Replay(points);
            steps.insert(steps.end(), replay.begin(), replay.end());
        }
    }

    DropLifted(fingers_, points);
    if (touching == 0) {
        // The range pinched so far is applied once, after the last finger.
        if (pinched_) {
            TTouchStep apply;
            apply.What = TTouchStep::Apply;
            steps.push_back(apply);
        }
        End();
    }
    return steps;
}

TTouchSteps TA3DTouchGesture::Handle(const std::vector<TTouchPoint>& points)
{
    TTouchSteps steps;
    const int touching = TouchingCount(points);
    if (touching > 0)
        active_ = true;
    bool started = false;
    fingers_.Track(points, started);

    if (started && fingers_.Count() == 2) {
        // The turn ends where the second finger lands; the pair zooms.
        if (mouseDown_) {
            TTouchStep up;
            up.What = TTouchStep::MouseUp;
            up.Pos = fingers_[0].Now.toPoint();
            steps.push_back(up);
            mouseDown_ = false;
        }
        pinching_ = true;
        lastDistance_ = fingers_.Distance();
    }
    if (pinching_) {
        if (touching >= 2 && fingers_.Count() == 2) {
            const double d = fingers_.Distance();
            const int change = static_cast<int>(Round(d - lastDistance_));
            if (change != 0) {
                TTouchStep zoom;
                zoom.What = TTouchStep::Zoom;
                zoom.Steps = change;
                steps.push_back(zoom);
                lastDistance_ = d;
            }
        }
    } else if (const TTouchPoint* p = Find(points, fingers_[0].Id); p != nullptr) {
        TTouchStep step;
        step.Pos = p->Pos.toPoint();
        if (p->Phase == TouchPhase::Down) {
            step.What = TTouchStep::MouseDown;
            mouseDown_ = true;
            steps.push_back(step);
        } else if (p->Phase == TouchPhase::Move && mouseDown_) {
            step.What = TTouchStep::MouseMove;
            steps.push_back(step);
        } else if (p->Phase == TouchPhase::Up && mouseDown_) {
            step.What = TTouchStep::MouseUp;
            mouseDown_ = false;
            steps.push_back(step);
        }
    }

    DropLifted(fingers_, points);
    if (touching == 0) {
        fingers_.Reset();
        active_ = false;
        pinching_ = false;
        mouseDown_ = false;
    }
    return steps;
}

} // namespace qvt
