#pragma once
// The navigator's arithmetic and rules apart from its window: conversions
// between image pixels and tip positions, the captions of the tree, the zoom
// square, the joystick's rotation into the image frame, the recorded
// position line, and the decisions of the script Run/Stop button.

#include <QString>
#include <QTime>

#include <cstdint>

namespace qvt {

class TIOScale;

// The part of the scan parameters an image keeps: where it lies.
struct TImageFrame {
    double Range = 0.0;   // nm
    double XCenter = 0.0; // nm
    double YCenter = 0.0; // nm
    double Angle = 0.0;   // radians
};

struct TPosition {
    double X = 0.0;
    double Y = 0.0;
};

// Navigator images are this many pixels square.
constexpr int NavigatorImageSize = 256;

// Pixel (px, py) of a w × h image to the position it shows; (0, 0) when the
// arithmetic fails.
TPosition PixelToPosition(const TImageFrame& frame, double px, double py, int w = NavigatorImageSize,
                          int h = NavigatorImageSize);
// Fractions of the width and height (0..1) to a position, through the nearest pixel.
TPosition FractionToPosition(const TImageFrame& frame, double fx, double fy, int w = NavigatorImageSize,
                             int h = NavigatorImageSize);
// The inverse of PixelToPosition, unrounded. False when the frame has no range.
bool PositionToPixelF(const TImageFrame& frame, double x, double y, double& px, double& py, int w = NavigatorImageSize,
                      int h = NavigatorImageSize);
// The same, rounded to the pixel; (0, 0) when the arithmetic fails.
bool PositionToPixel(const TImageFrame& frame, double x, double y, int& px, int& py, int w = NavigatorImageSize,
                     int h = NavigatorImageSize);

// The whole scanner field: the maximum range, centred between the X and Y
// outputs' limits.
TImageFrame ScannerFieldFrame(double maxRange, const TIOScale& x, const TIOScale& y);

// ---- captions -----------------------------------------------------------------------------

// Range: fixed-point, 5 digits, 3 decimals.
QString NavigatorRangeText(double range);
// Positions under "X | " etc.: fixed-point, 6 digits, 3 decimals.
QString NavigatorValueText(double value);
// "Zoom 100 % | " + range.
QString FullZoomCaption(double range);
// While dragging a square of half side d on a w-pixel image of range r:
// "Zoom ?" at d = 0, else "Zoom " n " % | " and the square's range.
QString ZoomCaption(int halfSide, double range, int w = NavigatorImageSize);
// The range a square of half side d covers.
double ZoomRange(int halfSide, double range, int w = NavigatorImageSize);

struct TZoomSquare {
    int HalfSide = 0;
    int X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
};
// The square centred on the press that reaches the pointer.
TZoomSquare ZoomSquare(int pressX, int pressY, int x, int y);

// ---- joystick -------------------------------------------------------------------------------

struct TJoyVector {
    int32_t X = 0;
    int32_t Y = 0;
};
// A deflection in the image frame (x right, y up on the image) turned into
// the scanner's X and Y: the same rotation as PixelToPosition, rounded.
TJoyVector RotateJoystick(double angle, double dx, double dy);

// ---- the memo -------------------------------------------------------------------------------

// time TAB X TAB Y TAB Z TAB n [TAB aux], positions as the tree shows them
QString RecordedPositionLine(const QTime& time, double x, double y, double z, int n, const double* aux);

// ---- scripts -------------------------------------------------------------------------------

enum class TRunStopAction {
    Stop,           // a script runs: ask it to stop
    Hanging,        // "down" but the thread is parked: "Script is hanging?!"
    Start,          // nothing runs: start the script
    AlreadyWorking, // up but the thread still works: "Script is already working?!"
};
// `running`: the button was down before the click (a script runs);
// `threadActive`: the script thread is not parked.
TRunStopAction RunStopAction(bool running, bool threadActive);

// The reason a script cannot start, or empty: "No Script defined!",
// "Script not found!", "Directory \"./Data\" not found!".
QString StartScriptProblem(const QString& path, const QString& name, const QString& appDir);

// The folder scripts are taken from when the stored one is missing.
QString DefaultScriptFolder(const QString& appDir);

} // namespace qvt
