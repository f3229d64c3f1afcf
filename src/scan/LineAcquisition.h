#pragma once
// The arithmetic of one scan line: the cubic linearisation that puts each
// pixel where the scanner really is, the slow-axis offset of a line, the
// channel read list sent to the controller, and the least-squares refinement
// of the linearisation from the position sensors. No link and no thread here;
// the scan thread (GoXYThread) drives the moves.

#include "protocol/ControlCodes.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanGeometry.h"

#include <array>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <vector>

namespace qvt {

// Fraction of the way travelled at normalised position u (−0.5..0.5) with
// quadratic q and cubic c: 0 at u = −0.5 and 1 at u = +0.5 for any q, c.
inline double Lin(double u, double q, double c)
{
    return 0.5 - q / 4.0 + (1.0 - c / 4.0) * u + q * u * u + c * u * u * u;
}

// Quadratic and cubic coefficients of X and Y, forward and backward.
struct TLinCoefficients {
    double X2F = 0.0, X3F = 0.0, X2B = 0.0, X3B = 0.0;
    double Y2F = 0.0, Y3F = 0.0, Y2B = 0.0, Y3B = 0.0;
};

// Every coefficient inside its limits of ±1: a fit run into a limit no
// longer holds the scanner straight.
bool LinearisationHolds(const TLinCoefficients& k);

struct TQuadCubic {
    double Q = 0.0;
    double C = 0.0;
};

// The coefficients one line runs with, and its slow-axis offset.
struct TLinePlan {
    int64_t OffsetX = 0; // ox, oy: slow-axis offset of the line from StartX/StartY
    int64_t OffsetY = 0;
    TQuadCubic FwdX, FwdY;
    TQuadCubic BwdX, BwdY;
};
// Line `line` (1..P) of a frame running in `direction`.
TLinePlan PlanLine(const TScanGeometry& g, const TLinCoefficients& k, int line, int direction, bool lineScan);

// Raw target of pixel `pixel` (1..P) along one axis, `perPixel` digits a
// pixel, recomputed from the line start each time so no rounding accumulates.
inline int64_t PixelTarget(int32_t start, int64_t offset, int pixel, int pixels, TQuadCubic k, double perPixel)
{
    const double u = static_cast<double>(pixel) / pixels - 0.5;
    const double along = Lin(u, k.Q, k.C) * perPixel * pixels;
    return start + offset + static_cast<int64_t>(std::nearbyint(along));
}

// ---- least-squares cubic of a line ------------------------------------------------

// Weights that give the four coefficients (constant, linear, quadratic,
// cubic) of the least-squares cubic through P equidistant readings at
// u_j = j / P − 0.5, j = 1..P, as one weighted sum each. With fewer than four
// pixels the fit is singular and every weight is 0.
class TFitWeights {
public:
    void Build(int pixels);
    int Pixels() const { return pixels_; }
    // Weight of reading j (1..Pixels) in coefficient k (0..3).
    long double At(int k, int j) const { return w_[static_cast<size_t>(k) * pixels_ + (j - 1)]; }
    // The four coefficients of the cubic through y[0..Pixels−1].
    std::array<double, 4> Fit(const int32_t* y) const;

private:
    int pixels_ = 0;
    std::vector<long double> w_;
};

// One refinement step of (q, c) from one line of sensor readings
// y[0..Pixels−1]; returns the fitted coefficients. q and c stay within −1..1.
std::array<double, 4> FitLineCorrection(double& q, double& c, const int32_t* y, const TFitWeights& weights,
                                        double kiPoly);

// The fitted coefficients last kept for X and for Y.
struct TFitResults {
    std::array<float, 4> X{};
    std::array<float, 4> Y{};
};

// The sensor readings of one line, index 1..P (index 0 unused).
constexpr int TrackLength = ScanPixelsMax + 1;
using TTrack = std::array<int32_t, TrackLength>;

// The position-sensor refinement after a line: forward fits always, the
// backward ones when the line had a backward pass.
struct TProcessLineInput {
    int32_t FastX = 0;
    int32_t FastY = 0;
    bool Backward = false;
    double KiPoly = 0.0;
    const TTrack* TrackX = nullptr;
    const TTrack* TrackY = nullptr;
    const TTrack* TrackXBack = nullptr;
    const TTrack* TrackYBack = nullptr;
};
void ProcessLineFits(TLinCoefficients& k, TFitResults& results, const TFitWeights& weights,
                     const TProcessLineInput& in);

// ---- the channel read list -----------------------------------------------------------

// At most this many image channels are sampled; 29 with the position sensors,
// whose two readings and the terminator must still fit the 32 read addresses.
constexpr int MaxImageChannels = 30;
constexpr int MaxImageChannelsWithSensors = 29;
inline const char* const TooManyChannelsText = "Too many open data channels!";

struct TChannelListInput {
    int Plane = PlaneFwd;
    std::bitset<ImageChannelCount> Buffered;           // objects that have a buffer
    std::array<int32_t, ChannelSlotCount> Addresses{}; // read address of each slot
    bool HardLinOn = false;
    int32_t TrackAddressX = 0;
    int32_t TrackAddressY = 0;
    // USB box or type-29 controller: an empty list still carries one entry,
    // the first address of the previous list.
    bool EmptyListGetsEntry = false;
    int32_t PreviousFirstAddress = 0;
};

struct TChannelList {
    int ChannelCount = 0;
    std::array<int32_t, GoXYReadings> ChannelIndexList{}; // object index of each reading
    int ListLength = 0;                                   // entries, terminator included
    std::array<int32_t, GoXYReadings> ReadAddresses{};
    bool Overflow = false;                     // channels were left out
    std::bitset<ImageChannelCount> Candidates; // the open objects of the plane
    TSetChannelsRecord Record;
};
TChannelList BuildChannelList(const TChannelListInput& in);

} // namespace qvt
