#include "motion/AlignmentModel.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double DefaultFullScale = 32000.0;

int ToPixel(double v)
{
    return static_cast<int>(std::clamp(v, -1.0e6, 1.0e6));
}

} // namespace

const std::array<QColor, 16>& AlignmentColourTable()
{
    static const std::array<QColor, 16> table = [] {
        std::array<QColor, 16> t;
        for (int i = 0; i < 7; ++i)
            t[static_cast<size_t>(i)] = QColor(255 - 34 * i, 0, 0);
        t[7] = QColor(0, 0, 0);
        const int greens[8] = {0x33, 0x55, 0x77, 0x99, 0xAA, 0xCC, 0xEE, 0xFF};
        for (int i = 0; i < 8; ++i)
            t[static_cast<size_t>(8 + i)] = QColor(0, greens[i], 0);
        return t;
    }();
    return table;
}

double TAlignmentModel::PixelScale(double maxRawY)
{
    const double full = maxRawY > 0.0 ? maxRawY : DefaultFullScale;
    return AlignmentCentre / (full * std::sqrt(2.0));
}

void TAlignmentModel::ApplyGain(int choice)
{
    switch (choice) {
    case 0:
        Gain = 1.0f;
        break;
    case 1:
        Gain = 10.0f;
        break;
    case 2:
        Gain = 100.0f;
        break;
    case 3:
        // A centred spot has an average radius near 0: the cap holds the gain.
        Gain = AvgRadius > 0.0f ? static_cast<float>(std::min(105.0 / AvgRadius, AlignmentMaxGain))
                                : static_cast<float>(AlignmentMaxGain);
        break;
    default:
        break;
    }
    Gain = std::min(Gain, static_cast<float>(AlignmentMaxGain));
}

TAlignmentTick TAlignmentModel::Tick(double x, double y, double s, double maxRawY, double setpointRawY)
{
    TAlignmentTick t;
    const double h = PixelScale(maxRawY);
    AvgRadius = static_cast<float>(0.9 * AvgRadius + 0.1 * h * std::hypot(x, y));
    double px = Round(x * Gain * h);
    double py = Round(y * Gain * h);
    AvgSum = static_cast<float>(0.9 * AvgSum + 0.1 * s + 1e-9);
    const double c = Round((s / AvgSum - 1.0) * 100.0 + 7.0);
    t.Colour = std::isnan(c) ? 7 : static_cast<int>(std::clamp(c, 0.0, 15.0));
    const double r2 = px * px + py * py;
    if (r2 > AlignmentMaxRadius2) {
        const double k = std::sqrt(AlignmentMaxRadius2 / r2);
        px = Round(px * k);
        py = Round(py * k);
    }
    t.Slot = TrailPos;
    TrailX[static_cast<size_t>(TrailPos)] = ToPixel(px) + AlignmentCentre;
    TrailY[static_cast<size_t>(TrailPos)] = AlignmentCentre - ToPixel(py);
    t.X = TrailX[static_cast<size_t>(TrailPos)];
    t.Y = TrailY[static_cast<size_t>(TrailPos)];

    int e = TrailPos - AlignmentTrailLength;
    if (e < 0)
        e += AlignmentTrailSlots;
    t.EraseSlot = e;
    t.EraseX = TrailX[static_cast<size_t>(e)];
    t.EraseY = TrailY[static_cast<size_t>(e)];

    const double v = setpointRawY * Gain * h;
    int w = 0;
    int yl = 0;
    if (std::abs(v) < 100.0) {
        w = static_cast<int>(Round(std::sqrt(10000.0 - v * v)));
        yl = static_cast<int>(Round(AlignmentCentre - v));
    }
    t.OldHalfWidth = LineHalfWidth;
    t.OldLineY = LineY;
    if (yl != LineY || TrailPos == 0) {
        t.ChordRedrawn = true;
        LineY = yl;
        LineHalfWidth = w;
    }
    t.HalfWidth = LineHalfWidth;
    t.LineY = LineY;

    if (++TrailPos > AlignmentTrailSlots - 1) {
        t.RedrawBackground = true;
        TrailPos = 0;
    }
    return t;
}

} // namespace qvt
