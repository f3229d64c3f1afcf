#pragma once
// Touch input on the image windows (and, through TouchPoints, the 3D view):
// detecting a touch screen, turning Qt's touch events into the gesture
// logic's points, and carrying out its steps on an image window and the
// parameter window's edits.

#include "images/TouchGesture.h"

#include <QObject>

#include <functional>

class QTouchEvent;
class QWidget;

namespace qvt {

class IPictureWindow;

// True when a touch screen is attached or the operator says there is one
// ([Main] IsTouchScreen); image windows and the 3D view then take touches.
// Run once at start by the main window.
bool InitTouchApi(bool configured);
bool TouchAvailable();
// Releases touch input at close: windows made afterwards take no touches.
void ReleaseTouchApi();
bool TouchScreenPresent();

// Set while a mouse event made from a touch is handled.
bool TouchMouseEvent();

// The points of a touch event in the pixels of `receiver`.
std::vector<TTouchPoint> TouchPoints(const QTouchEvent& event, const QWidget& receiver);

// Sends a left-button mouse event made from a touch to `target`.
void ReplayTouchAsMouse(QWidget* target, TTouchStep::Kind what, QPoint pos);

// One per image window: follows the fingers on its picture.
class TImageTouch : public QObject {
    Q_OBJECT

public:
    explicit TImageTouch(IPictureWindow& form);

    const TImageTouchGesture& Gesture() const { return gesture_; }
    // Handles one event's points (what a touch event on the picture does).
    void HandlePoints(const std::vector<TTouchPoint>& points);

    // The parameter window's mouse tool and its switch. Unset: the stored
    // tool ([ScanPara] UsedTool) is read and nothing is switched.
    static std::function<MouseTool()> UsedTool;
    static std::function<void(MouseTool)> SelectTool;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Carry(const TTouchStep& step);

    IPictureWindow& form_;
    TImageTouchGesture gesture_;
};

// Makes the touch follower of `form` (a child of it) when touch is on.
TImageTouch* InstallImageTouch(IPictureWindow& form);
// True while fingers are on the window's picture: its mouse tools leave the
// picture to the gesture.
bool ImageTouchActive(const IPictureWindow& form);

} // namespace qvt
