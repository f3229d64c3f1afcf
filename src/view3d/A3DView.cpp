#include "view3d/A3DView.h"

#include "core/IniFile.h"
#include "core/NumberText.h"

#include <algorithm>

namespace qvt {

namespace {
const QString Section = QStringLiteral("A3D");

// One turn at most is folded back, as the small steps of a drag need.
double WrapAngle(double angle)
{
    if (angle > 360.0)
        angle -= 360.0;
    else if (angle < 0.0)
        angle += 360.0;
    return angle;
}

int ClampZ(int z)
{
    return std::clamp(z, A3DFarthestZ, A3DNearestZ);
}
} // namespace

TA3DRgb BGColorToRgb(int color)
{
    const auto c = static_cast<uint32_t>(color);
    return {static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF)};
}

int RgbToBGColor(int r, int g, int b)
{
    return static_cast<int>((static_cast<uint32_t>(b & 0xFF) << 16) | (static_cast<uint32_t>(g & 0xFF) << 8) |
                            static_cast<uint32_t>(r & 0xFF));
}

void TA3DView::MouseDown(bool leftButton, bool rightButton, bool shift, bool ctrl, QPoint pos)
{
    if (rightButton)
        return;
    LastPos = pos;
    if (leftButton)
        Mode = A3DMouseMode::Rotate;
    if (Mode == A3DMouseMode::Rotate) {
        if (ctrl)
            Mode = A3DMouseMode::Shift;
        else if (shift)
            Mode = A3DMouseMode::Zoom;
    }
}

bool TA3DView::MouseMove(QPoint pos)
{
    if (Mode == A3DMouseMode::None)
        return false;
    int dx = pos.x() - LastPos.x();
    const int dy = pos.y() - LastPos.y();
    LastPos = pos;
    switch (Mode) {
    case A3DMouseMode::Rotate:
        // Seen from below, a drag to the right still turns the top to the right.
        if (RotierenX < 180.0)
            dx = -dx;
        if (dx != 0)
            RotierenZ = WrapAngle(RotierenZ + dx / 10.0);
        if (dy != 0)
            RotierenX = WrapAngle(RotierenX + dy / 10.0);
        break;
    case A3DMouseMode::Shift:
        VerschiebenX = std::clamp(VerschiebenX + static_cast<int>(Round(dx / 1.5)), -A3DShiftLimit, A3DShiftLimit);
        VerschiebenY = std::clamp(VerschiebenY - static_cast<int>(Round(dy / 1.5)), -A3DShiftLimit, A3DShiftLimit);
        break;
    case A3DMouseMode::Zoom:
        VerschiebenZ = ClampZ(VerschiebenZ - dy);
        break;
    case A3DMouseMode::None:
        break;
    }
    return true;
}

void TA3DView::Wheel(int delta)
{
    VerschiebenZ = ClampZ(VerschiebenZ + static_cast<int>(Round(delta / 10.0)));
}

void TA3DView::ZoomBy(int steps)
{
    VerschiebenZ = ClampZ(VerschiebenZ + steps);
}

void TA3DView::Read(const TQVTIniFile& ini)
{
    VerschiebenX = std::clamp(ini.ReadInteger(Section, "VerschiebenX", 0), -A3DShiftLimit, A3DShiftLimit);
    VerschiebenY = std::clamp(ini.ReadInteger(Section, "VerschiebenY", 0), -A3DShiftLimit, A3DShiftLimit);
    VerschiebenZ = ClampZ(ini.ReadInteger(Section, "VerschiebenZ", -500));
    RotierenX = ini.ReadFloat(Section, "RotierenX", 0.0);
    RotierenY = ini.ReadFloat(Section, "RotierenY", 0.0);
    RotierenZ = ini.ReadFloat(Section, "RotierenZ", 0.0);
    ScrollBarPos = std::clamp(ini.ReadInteger(Section, "ScrollBar1Pos", 50), 0, 99);
    BGColor = ini.ReadInteger(Section, "BGColor", A3DDefaultBGColor);
}

void TA3DView::Write(TQVTIniFile& ini) const
{
    ini.WriteInteger(Section, "VerschiebenX", VerschiebenX);
    ini.WriteInteger(Section, "VerschiebenY", VerschiebenY);
    ini.WriteInteger(Section, "VerschiebenZ", VerschiebenZ);
    ini.WriteFloat(Section, "RotierenX", RotierenX);
    ini.WriteFloat(Section, "RotierenY", RotierenY);
    ini.WriteFloat(Section, "RotierenZ", RotierenZ);
}

} // namespace qvt
