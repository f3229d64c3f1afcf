#include "spectro/SpektAcquire.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/SpektRequests.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {
constexpr double PlotPixels = 255.0;
constexpr double DegenerateY = 1.0e-40;
} // namespace

void FoldSpektRun(const TSpektRun& run, const std::array<const TIOScale*, 8>& scales, TSpektData& data)
{
    if (run.Slots == nullptr)
        return;
    const int points = std::clamp(run.Points, 0, SpektMaxPoints);
    std::array<double, SpektPoints> spectrum{};
    for (int slot = 1; slot <= SpektResultSlots; ++slot) {
        const TIOScale* scale = scales[slot];
        const int n = std::clamp(run.Returned[slot - 1], 0, points);
        const int32_t* readings = (*run.Slots)[slot - 1].data();
        TSpektAverage average;
        average.Factor = scale ? scale->Factor.load() : 1.0;
        average.AverageCount = run.AverageCount;
        double* column = data.Col[slot].data();
        if (run.ZNoise) {
            SpektAmplitudeSpectrum(readings, n, spectrum.data());
            AverageSpektReadings(spectrum.data(), n, average, column);
        } else {
            average.Offset = scale ? scale->Offset.load() : 0.0;
            average.Negate = scale && scale->FactorNegative.load();
            AverageSpektReadings(readings, n, average, column);
        }
    }
}

TSpektPlot MapSpektPlot(const TSpektData& data, int points, int xColumn, int yColumn, bool showLead)
{
    TSpektPlot plot;
    const int n = std::clamp(points, 0, TSpektData::Rows);
    xColumn = std::clamp(xColumn, 0, TSpektData::Columns - 1);
    yColumn = std::clamp(yColumn, 0, TSpektData::Columns - 1);
    plot.First = 0;
    plot.Last = n - 1;
    if (!showLead) {
        plot.First = std::max(data.LeadInEnd, 0);
        plot.Last = data.LeadOutStart >= n ? n - 1 : data.LeadOutStart;
    }
    if (plot.Last < plot.First)
        return plot;
    const auto& xs = data.Col[xColumn];
    const auto& ys = data.Col[yColumn];
    const auto [xMin, xMax] = std::minmax_element(xs.begin() + plot.First, xs.begin() + plot.Last + 1);
    // Over frequency the bin at 0 Hz holds the mean (the whole z), orders above
    // the noise: scaled on it, the spectrum would be a flat line at the bottom.
    // Its rows (each bin fills two, or more when the points are spread over
    // fewer bins) are found from row 0, where the table starts at 0 Hz, and
    // left out of the vertical scale whichever row the plot starts at.
    int yFirst = plot.First;
    if (xColumn == TSpektData::Frequency && n > 0 && xs[0] == 0.0) {
        int dcEnd = 1;
        while (dcEnd < n && xs[static_cast<size_t>(dcEnd)] == 0.0)
            ++dcEnd;
        const double dc = ys[0];
        while (dcEnd < n && ys[static_cast<size_t>(dcEnd)] == dc)
            ++dcEnd;
        yFirst = std::clamp(dcEnd, plot.First, plot.Last);
    }
    const auto [yMin, yMax] = std::minmax_element(ys.begin() + yFirst, ys.begin() + plot.Last + 1);
    plot.XMin = *xMin;
    plot.XMax = *xMax;
    plot.YMin = *yMin;
    plot.YMax = *yMax;
    plot.XScale = plot.XMax != plot.XMin ? PlotPixels / (plot.XMax - plot.XMin) : 0.0;
    plot.YScale = std::abs(plot.YMax - plot.YMin) > DegenerateY ? PlotPixels / (plot.YMax - plot.YMin) : 0.0;
    return plot;
}

int SpektPixelX(const TSpektPlot& plot, double x)
{
    return static_cast<int>(Round((x - plot.XMin) * plot.XScale));
}

int SpektPixelY(const TSpektPlot& plot, double y)
{
    return static_cast<int>(Round((plot.YMax - y) * plot.YScale));
}

} // namespace qvt
