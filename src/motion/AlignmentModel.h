#pragma once
// The laser alignment target: where the spot of the beam-deflection sensor
// falls on the 301 x 301 pixel picture, in which colour, which old dot of the
// 20-slot trail fades out, and where the contact setpoint's chord goes. One
// Tick per 100 ms reading of the difference and sum signals.

#include <QColor>

#include <array>
#include <cstdint>

namespace qvt {

constexpr int AlignmentCentre = 150;
constexpr int AlignmentImageSize = 301;
constexpr int AlignmentDotRadius = 4;
constexpr int AlignmentTrailSlots = 20;
constexpr int AlignmentTrailLength = 15;
constexpr int AlignmentMaxRadius2 = 19600; // 140 pixels
constexpr double AlignmentMaxGain = 1000.0;

// 0..6 red of falling brightness, 7 black (sum at its average), 8..15 green.
const std::array<QColor, 16>& AlignmentColourTable();

struct TAlignmentTick {
    int X = 0, Y = 0; // the new dot, in picture coordinates
    int Colour = 7;   // index into the colour table
    int Slot = 0;     // trail slot of the new dot
    int EraseSlot = 0;
    int EraseX = 0, EraseY = 0;
    bool ChordRedrawn = false;
    int OldHalfWidth = 0, OldLineY = 0;
    int HalfWidth = 0, LineY = 0;
    bool RedrawBackground = false; // the trail has come round
};

class TAlignmentModel {
public:
    // x, y: raw difference signals (already negated per their channels), s:
    // |raw sum|, maxRawY: the Y channel's MaxRaw, setpointRawY: the contact
    // setpoint in raw units of the Y channel.
    TAlignmentTick Tick(double x, double y, double s, double maxRawY, double setpointRawY);
    // Gain choice 0, 1, 2: x1, x10, x100; 3: 105 / AvgRadius taken now. At most 1000.
    void ApplyGain(int choice);
    // 150 / (MaxRaw x sqrt 2); a MaxRaw of 0 or below (a blank scale) is
    // taken as the default full scale instead of giving an infinite scale.
    static double PixelScale(double maxRawY);

    float AvgRadius = 1.0f;
    float AvgSum = 0.0f;
    float Gain = 1.0f;
    int TrailPos = 0;
    int LineHalfWidth = 0;
    int LineY = 0;
    std::array<int32_t, AlignmentTrailSlots + 1> TrailX{};
    std::array<int32_t, AlignmentTrailSlots + 1> TrailY{};
};

} // namespace qvt
