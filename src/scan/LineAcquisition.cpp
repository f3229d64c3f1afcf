#include "scan/LineAcquisition.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

using Matrix4 = std::array<std::array<long double, 4>, 4>;

long double Det3(const Matrix4& m, int skipRow, int skipCol)
{
    long double a[3][3];
    for (int r = 0, rr = 0; r < 4; ++r) {
        if (r == skipRow)
            continue;
        for (int c = 0, cc = 0; c < 4; ++c) {
            if (c == skipCol)
                continue;
            a[rr][cc++] = m[r][c];
        }
        ++rr;
    }
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// Inverse by adjugate over determinant; false for a singular matrix.
bool Invert(const Matrix4& m, Matrix4& inv)
{
    Matrix4 cof{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            cof[r][c] = ((r + c) % 2 ? -1.0L : 1.0L) * Det3(m, r, c);
    long double det = 0;
    for (int c = 0; c < 4; ++c)
        det += m[0][c] * cof[0][c];
    if (det == 0 || !std::isfinite(static_cast<double>(det)))
        return false;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            inv[r][c] = cof[c][r] / det; // adjugate = transposed cofactors
    return true;
}

bool SameSign(int32_t a, int32_t b)
{
    return (a > 0 && b > 0) || (a < 0 && b < 0);
}

int64_t SlowOffset(int line, int pixels, TQuadCubic k, double perLine)
{
    const double u = static_cast<double>(line) / pixels - 0.5;
    return static_cast<int64_t>(std::nearbyint(Lin(u, k.Q, k.C) * perLine * pixels));
}

} // namespace

TLinePlan PlanLine(const TScanGeometry& g, const TLinCoefficients& k, int line, int direction, bool lineScan)
{
    TLinePlan p;
    if (!lineScan && g.Pixels > 0) {
        TQuadCubic sx = SameSign(g.SlowX, direction) ? TQuadCubic{-k.X2F, k.X3F} : TQuadCubic{k.X2B, k.X3B};
        if (g.SlowX < 0)
            sx.Q = -sx.Q;
        TQuadCubic sy = SameSign(g.SlowY, direction) ? TQuadCubic{-k.Y2F, k.Y3F} : TQuadCubic{k.Y2B, k.Y3B};
        if (g.SlowY < 0)
            sy.Q = -sy.Q;
        p.OffsetX = SlowOffset(line, g.Pixels, sx, g.LineX);
        p.OffsetY = SlowOffset(line, g.Pixels, sy, g.LineY);
    }
    p.FwdX = g.FastX < 1 ? TQuadCubic{-k.X2B, k.X3B} : TQuadCubic{-k.X2F, k.X3F};
    p.FwdY = g.FastY < 1 ? TQuadCubic{-k.Y2B, k.Y3B} : TQuadCubic{-k.Y2F, k.Y3F};
    p.BwdX = g.FastX < 0 ? TQuadCubic{k.X2F, k.X3F} : TQuadCubic{k.X2B, k.X3B};
    p.BwdY = g.FastY < 0 ? TQuadCubic{k.Y2F, k.Y3F} : TQuadCubic{k.Y2B, k.Y3B};
    return p;
}

// ---- least-squares cubic of a line ------------------------------------------------

void TFitWeights::Build(int pixels)
{
    pixels_ = std::max(0, pixels);
    w_.assign(static_cast<size_t>(4) * pixels_, 0.0L);
    if (pixels_ < 4)
        return;
    const auto basis = [this](int j) {
        const long double u = static_cast<long double>(j) / pixels_ - 0.5L;
        return std::array<long double, 4>{1.0L, u, u * u, u * u * u};
    };
    Matrix4 n{};
    for (int j = 1; j <= pixels_; ++j) {
        const auto b = basis(j);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                n[r][c] += b[r] * b[c];
    }
    Matrix4 inv{};
    if (!Invert(n, inv))
        return;
    for (int j = 1; j <= pixels_; ++j) {
        const auto b = basis(j);
        for (int k = 0; k < 4; ++k) {
            long double w = 0;
            for (int m = 0; m < 4; ++m)
                w += inv[k][m] * b[m];
            w_[static_cast<size_t>(k) * pixels_ + (j - 1)] = w;
        }
    }
}

std::array<double, 4> TFitWeights::Fit(const int32_t* y) const
{
    std::array<double, 4> a{};
    for (int k = 0; k < 4 && pixels_ > 0; ++k) {
        const long double* w = &w_[static_cast<size_t>(k) * pixels_];
        long double sum = 0;
        for (int j = 0; j < pixels_; ++j)
            sum += y[j] * w[j];
        a[k] = static_cast<double>(sum);
    }
    return a;
}

std::array<double, 4> FitLineCorrection(double& q, double& c, const int32_t* y, const TFitWeights& weights,
                                        double kiPoly)
{
    const std::array<double, 4> a = weights.Fit(y);
    // The line's remaining bow and S-bend relative to its length (the
    // sensor's gain and the range drop out) tell how far q and c are off.
    // KiPoly sets the share of that taken per line, |KiPoly| · 1e-16 · a1²,
    // but never more than all of it: a larger step overshoots, and a step
    // the other way (a positive KiPoly) ran q and c into their limits.
    const double length = std::fabs(a[1]);
    if (!(length > 0.0) || !std::isfinite(length) || !std::isfinite(a[2]) || !std::isfinite(a[3]))
        return a;
    const double share = std::min(1.0, std::fabs(kiPoly) * 1e-16 * length * length);
    q = std::clamp(q - share * a[2] / length, -1.0, 1.0);
    c = std::clamp(c - share * a[3] / length, -1.0, 1.0);
    return a;
}

namespace {

void Keep(std::array<float, 4>& to, const std::array<double, 4>& a)
{
    for (int k = 0; k < 4; ++k)
        to[k] = static_cast<float>(a[k]);
}

// One axis of the table. The sign conventions let one refinement serve both
// directions; every fit stores back both of the pair it refined.
void ProcessAxis(double& q2f, double& q3f, double& q2b, double& q3b, std::array<float, 4>& kept, int32_t fast,
                 const TTrack* fwd, const TTrack* bwd, bool backward, const TFitWeights& w, double ki)
{
    if (fwd != nullptr) {
        if (fast < 1) {
            double q = q2b;
            double c = -q3b;
            FitLineCorrection(q, c, &(*fwd)[1], w, ki);
            q2b = q;
            q3b = -c;
        } else {
            double q = -q2f;
            double c = q3f;
            Keep(kept, FitLineCorrection(q, c, &(*fwd)[1], w, ki));
            q2f = -q;
            q3f = c;
        }
    }
    if (backward && bwd != nullptr) {
        if (fast < 1) {
            double q = -q2f;
            double c = -q3f;
            Keep(kept, FitLineCorrection(q, c, &(*bwd)[1], w, ki));
            q2f = -q;
            q3f = -c;
        } else {
            double q = q2b;
            double c = q3b;
            FitLineCorrection(q, c, &(*bwd)[1], w, ki);
            q2b = q;
            q3b = c;
        }
    }
}

} // namespace

void ProcessLineFits(TLinCoefficients& k, TFitResults& results, const TFitWeights& weights, const TProcessLineInput& in)
{
    if (weights.Pixels() < 1)
        return;
    ProcessAxis(k.X2F, k.X3F, k.X2B, k.X3B, results.X, in.FastX, in.TrackX, in.TrackXBack, in.Backward, weights,
                in.KiPoly);
    ProcessAxis(k.Y2F, k.Y3F, k.Y2B, k.Y3B, results.Y, in.FastY, in.TrackY, in.TrackYBack, in.Backward, weights,
                in.KiPoly);
}

// ---- the channel read list -----------------------------------------------------------

TChannelList BuildChannelList(const TChannelListInput& in)
{
    TChannelList list;
    const int cap = in.HardLinOn ? MaxImageChannelsWithSensors : MaxImageChannels;
    int entries = 0;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        const int k = ImageChannelIndex(slot, in.Plane);
        if (!IsValidImageChannel(k) || !in.Buffered.test(static_cast<size_t>(k)))
            continue;
        list.Candidates.set(static_cast<size_t>(k));
        if (list.ChannelCount >= cap) {
            list.Overflow = true;
            continue;
        }
        list.ChannelIndexList[list.ChannelCount++] = k;
        list.ReadAddresses[entries++] = in.Addresses[slot];
    }
    if (in.HardLinOn) {
        list.ReadAddresses[entries++] = in.TrackAddressX;
        list.ReadAddresses[entries++] = in.TrackAddressY;
    }
    if (entries == 0 && in.EmptyListGetsEntry)
        list.ReadAddresses[entries++] = in.PreviousFirstAddress;
    list.ReadAddresses[entries++] = ReadListTerminator;
    list.ListLength = entries;

    list.Record.Reserved = 0;
    list.Record.Count = entries;
    for (int i = 0; i < entries; ++i)
        list.Record.Addresses[i] = list.ReadAddresses[i];
    return list;
}

bool LinearisationHolds(const TLinCoefficients& k)
{
    for (const double v : {k.X2F, k.X2B, k.X3F, k.X3B, k.Y2F, k.Y2B, k.Y3F, k.Y3B})
        if (!(std::fabs(v) < 1.0))
            return false;
    return true;
}

} // namespace qvt
