#pragma once
// How the 3D view is looked at: shift, rotation, z gain and background, the
// mouse modes that change them, and the [A3D] keys that keep them.

#include <QPoint>

namespace qvt {

class TQVTIniFile;

constexpr int A3DShiftLimit = 500; // X and Y: -500..500
constexpr int A3DNearestZ = 24;    // Z: -1000..24
constexpr int A3DFarthestZ = -1000;
constexpr int A3DDefaultBGColor = 0xFFFFFF;

enum class A3DMouseMode { None = 0, Rotate = 1, Shift = 2, Zoom = 3 };

// The platform colour integer 0x00BBGGRR as r, g, b in 0..255.
struct TA3DRgb {
    int R = 0;
    int G = 0;
    int B = 0;
};
TA3DRgb BGColorToRgb(int color);
int RgbToBGColor(int r, int g, int b);

class TA3DView {
public:
    int VerschiebenX = 0;
    int VerschiebenY = 0;
    int VerschiebenZ = -500;
    double RotierenX = 0.0;
    double RotierenY = 0.0;
    double RotierenZ = 0.0;
    int BGColor = A3DDefaultBGColor;
    // "z-Gain" scroll bar, 0..99; the gain is 100 - position.
    int ScrollBarPos = 50;
    int Gain() const { return 100 - ScrollBarPos; }

    A3DMouseMode Mode = A3DMouseMode::None;
    QPoint LastPos;

    // Right button: nothing (the pop-up menu). Otherwise the position is
    // taken; the left button rotates, with Shift it zooms, with Ctrl it
    // shifts (Ctrl wins).
    void MouseDown(bool leftButton, bool rightButton, bool shift, bool ctrl, QPoint pos);
    // True when the view changed (the caller renders).
    bool MouseMove(QPoint pos);
    void MouseUp() { Mode = A3DMouseMode::None; }
    void Wheel(int delta);
    // Z closer by `steps` (the zoom of a two-finger pinch).
    void ZoomBy(int steps);

    void Read(const TQVTIniFile& ini);
    // The keys written when the window goes; the scroll bar, colour and
    // channel are written as they change.
    void Write(TQVTIniFile& ini) const;
};

} // namespace qvt
