#pragma once
// The road of a measurement apart from the window: the counter that decides
// how curves are averaged and when the run ends, the folding of a finished
// curve's result slots into the point table, and the plot's mapping of two
// columns onto the picture.

#include "spectro/SpektExcitation.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

class TIOScale;

// C curves averaged: the count runs 1..C; with the continue button down it
// runs to C + 1 and starts again at 1; C <= 0 ("inf.") replaces the data
// with every curve.
class TSpektAverageCounter {
public:
    void Start(int c)
    {
        c_ = c;
        count_ = 1;
    }
    int Count() const { return count_; } // the n of the curve being measured
    int Target() const { return c_; }
    // After a curve: the next count; true when another curve follows.
    bool Next(bool repeatDown, bool scanDown)
    {
        if (c_ > 0 && ++count_ > c_ + 1)
            count_ = 1;
        return (repeatDown || count_ <= c_) && scanDown;
    }

private:
    int c_ = 1;
    int count_ = 1;
};

// What a finished curve brought: the six slots as read and how many
// readings each reply held.
struct TSpektRun {
    const std::array<std::array<int32_t, 1024>, 6>* Slots = nullptr;
    std::array<int, 6> Returned{};
    int Points = 0;
    int AverageCount = 1;
    bool ZNoise = false;
};
// Folds the run into columns 1..6 with the slots' scales (`scales[k]` for
// column k, k = 1..6): only the readings that came back count; the z-noise
// readings become their amplitude spectrum first (no sign, no offset).
void FoldSpektRun(const TSpektRun& run, const std::array<const TIOScale*, 8>& scales, TSpektData& data);

// The plot of column y against column x over the rows in view.
struct TSpektPlot {
    int First = 0;
    int Last = -1;
    double XMin = 0.0, XMax = 0.0, XScale = 0.0; // pixels per unit over 255 pixels, 0 when degenerate
    double YMin = 0.0, YMax = 0.0, YScale = 0.0;
};
// Rows 0..N−1, or lead-in end .. lead-out start when the lead is hidden.
TSpektPlot MapSpektPlot(const TSpektData& data, int points, int xColumn, int yColumn, bool showLead);
// Pixel of a value on the 256-pixel plot.
int SpektPixelX(const TSpektPlot& plot, double x);
int SpektPixelY(const TSpektPlot& plot, double y);

} // namespace qvt
