#include "scan/LineAcquisition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace qvt;

TEST(LineAcquisition, LinearisationKeepsTheLineEndsAndMovesTheMiddle)
{
    for (double q : {-1.0, -0.3, 0.0, 0.2, 1.0}) {
        for (double c : {-1.0, 0.0, 0.5, 1.0}) {
            EXPECT_NEAR(Lin(-0.5, q, c), 0.0, 1e-15);
            EXPECT_NEAR(Lin(0.5, q, c), 1.0, 1e-15);
        }
    }
    EXPECT_NEAR(Lin(0.0, 0.2, 0.0), 0.45, 1e-15);

    // Zero coefficients: pixel A lies at A/P of the line.
    const int p = 64;
    for (int a = 1; a <= p; ++a)
        EXPECT_EQ(PixelTarget(1000, 7, a, p, {}, 90.0), 1000 + 7 + a * 90);
}

TEST(LineAcquisition, LinePlanChoosesCoefficientsByDirectionAndSign)
{
    TScanGeometry g;
    g.Pixels = 100;
    g.MoveSteps = 2;
    g.FastX = 10;
    g.FastY = 0;
    g.SlowX = 0;
    g.SlowY = -10;
    g.LineY = -20.0; // digits per line
    TLinCoefficients k{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8};

    TLinePlan p = PlanLine(g, k, 50, 1, false);
    EXPECT_DOUBLE_EQ(p.FwdX.Q, -0.1); // FastX ≥ 1: forward set, quadratic negated
    EXPECT_DOUBLE_EQ(p.FwdX.C, 0.2);
    EXPECT_DOUBLE_EQ(p.FwdY.Q, -0.7); // FastY < 1: backward set
    EXPECT_DOUBLE_EQ(p.FwdY.C, 0.8);
    EXPECT_DOUBLE_EQ(p.BwdX.Q, 0.3); // FastX ≥ 0: backward set, no sign reversal
    EXPECT_DOUBLE_EQ(p.BwdY.Q, 0.7);
    // Slow Y < 0 against direction +1: backward set, q negated for the negative axis.
    const double u = 50.0 / 100 - 0.5;
    EXPECT_EQ(p.OffsetY, std::llround(Lin(u, -0.7, 0.8) * 2 * -10 * 100));
    EXPECT_EQ(p.OffsetX, 0);

    // The same slow axis running downward uses the forward set.
    p = PlanLine(g, k, 50, -1, false);
    EXPECT_EQ(p.OffsetY, std::llround(Lin(u, 0.5, 0.6) * 2 * -10 * 100));

    // Line scan: every line at the slow position of the frame start.
    p = PlanLine(g, k, 80, 1, true);
    EXPECT_EQ(p.OffsetX, 0);
    EXPECT_EQ(p.OffsetY, 0);
}

TEST(LineAcquisition, FitWeightsGiveTheCoefficientsOfAnExactCubic)
{
    for (int p : {256, 2048}) {
        TFitWeights w;
        w.Build(p);
        ASSERT_EQ(w.Pixels(), p);
        const long double want[4] = {1234.5L, -2000.25L, 300.0L, 4000.0L};
        for (int k = 0; k < 4; ++k) {
            long double sum = 0;
            for (int j = 1; j <= p; ++j) {
                const long double u = static_cast<long double>(j) / p - 0.5L;
                const long double y = want[0] + want[1] * u + want[2] * u * u + want[3] * u * u * u;
                sum += y * w.At(k, j);
            }
            EXPECT_NEAR(static_cast<double>(sum), static_cast<double>(want[k]), 1e-6) << "P " << p << " k " << k;
        }
    }
    // Fewer than four pixels: singular, all weights 0.
    TFitWeights w;
    w.Build(3);
    for (int k = 0; k < 4; ++k)
        for (int j = 1; j <= 3; ++j)
            EXPECT_EQ(w.At(k, j), 0.0L);
}

namespace {

// A sensor track y = lin·scale over the line, with the given extra quadratic and cubic bow.
TTrack Track(int p, double a2, double a3)
{
    TTrack t{};
    for (int j = 1; j <= p; ++j) {
        const double u = static_cast<double>(j) / p - 0.5;
        t[j] = static_cast<int32_t>(std::lround(100000.0 * u + a2 * u * u + a3 * u * u * u));
    }
    return t;
}

} // namespace

TEST(LineAcquisition, FitLineCorrectionTakesAShareOfTheBowWhateverTheSignOfItsGain)
{
    const int p = 128;
    TFitWeights w;
    w.Build(p);
    const TTrack t = Track(p, 4000.0, -8000.0);
    double q = 0.1;
    double c = 0.1;
    // Half the bow per line: |KiPoly| · 1e-16 · a1² = 0.5.
    const auto a = FitLineCorrection(q, c, &t[1], w, 5e5);
    EXPECT_NEAR(a[1], 100000.0, 1.0);
    EXPECT_NEAR(a[2], 4000.0, 5.0);
    EXPECT_NEAR(a[3], -8000.0, 10.0);
    EXPECT_NEAR(q, 0.1 - 0.5 * 4000.0 / 100000.0, 1e-4);
    EXPECT_NEAR(c, 0.1 + 0.5 * 8000.0 / 100000.0, 1e-4);
    // The sign of the gain does not turn the step away from straight, and a
    // huge gain takes the whole bow, no more.
    for (const double ki : {-5e5, 1e12, -1e12}) {
        q = c = 0.1;
        FitLineCorrection(q, c, &t[1], w, ki);
        const double share = std::fabs(ki) > 1e6 ? 1.0 : 0.5;
        EXPECT_NEAR(q, 0.1 - share * 0.04, 1e-4) << ki;
        EXPECT_NEAR(c, 0.1 + share * 0.08, 1e-4) << ki;
    }
    // q and c stay within their limits.
    q = -0.99;
    c = 0.99;
    FitLineCorrection(q, c, &t[1], w, 1e12);
    EXPECT_EQ(q, -1.0);
    EXPECT_EQ(c, 1.0);
}

TEST(LineAcquisition, ProcessLineUpdatesTheRowsOfItsTable)
{
    const int p = 64;
    TFitWeights w;
    w.Build(p);
    const TTrack bow = Track(p, 2000.0, 2000.0); // the whole bow per line with gain 1e6
    const double step = 2000.0 / 100000.0;
    const TLinCoefficients start{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8};

    struct Row {
        const char* name;
        int32_t fastX, fastY;
        bool backward;
        TLinCoefficients want;
        bool keptX, keptY;
    };
    // Forward rows: FastX < 1 passes (X2B, −X3B) and stores both back (X3B := −c); otherwise (−X2F, X3F),
    // X2F := −q and X3F := c. Backward rows: FastX < 1 passes (−X2F, −X3F) and stores both negated;
    // otherwise (X2B, X3B) directly. Each passed value steps by −step.
    const double s = step;
    const Row rows[] = {
        {"fwd X and Y, fast < 1", 0, 0, false, {0.1, 0.2, 0.3 - s, 0.4 + s, 0.5, 0.6, 0.7 - s, 0.8 + s}, false, false},
        {"fwd X and Y, fast ≥ 1", 5, 5, false, {0.1 + s, 0.2 - s, 0.3, 0.4, 0.5 + s, 0.6 - s, 0.7, 0.8}, true, true},
        {"fwd X ≥ 1, Y < 1", 5, -5, false, {0.1 + s, 0.2 - s, 0.3, 0.4, 0.5, 0.6, 0.7 - s, 0.8 + s}, true, false},
        {"bwd, fast ≥ 1",
         5,
         5,
         true,
         // forward first, then the backward set directly
         {0.1 + s, 0.2 - s, 0.3 - s, 0.4 - s, 0.5 + s, 0.6 - s, 0.7 - s, 0.8 - s},
         true,
         true},
        {"bwd, fast < 1",
         0,
         0,
         true,
         // forward (X2B, X3B) first, then the forward set through (−X2F, −X3F)
         {0.1 + s, 0.2 + s, 0.3 - s, 0.4 + s, 0.5 + s, 0.6 + s, 0.7 - s, 0.8 + s},
         true,
         true},
    };
    for (const Row& r : rows) {
        TLinCoefficients k = start;
        TFitResults fit;
        TProcessLineInput in;
        in.FastX = r.fastX;
        in.FastY = r.fastY;
        in.Backward = r.backward;
        in.KiPoly = 1e6;
        in.TrackX = in.TrackY = in.TrackXBack = in.TrackYBack = &bow;
        ProcessLineFits(k, fit, w, in);
        const double got[8] = {k.X2F, k.X3F, k.X2B, k.X3B, k.Y2F, k.Y3F, k.Y2B, k.Y3B};
        const double want[8] = {r.want.X2F, r.want.X3F, r.want.X2B, r.want.X3B,
                                r.want.Y2F, r.want.Y3F, r.want.Y2B, r.want.Y3B};
        for (int i = 0; i < 8; ++i)
            EXPECT_NEAR(got[i], want[i], 2e-4) << r.name << " coefficient " << i;
        EXPECT_EQ(fit.X[1] != 0.0f, r.keptX) << r.name;
        EXPECT_EQ(fit.Y[1] != 0.0f, r.keptY) << r.name;
    }
}

TEST(LineAcquisition, ChannelListRecordCarriesTheOpenChannelsAndTheTerminator)
{
    TChannelListInput in;
    for (int slot = 0; slot < ChannelSlotCount; ++slot)
        in.Addresses[slot] = slot < DacCount ? -slot : slot - DacCount + 1;
    in.Buffered.set(ImageChannelIndex(0, PlaneFwd));  // Z, address 0
    in.Buffered.set(ImageChannelIndex(28, PlaneFwd)); // ADC3, address 3
    in.Buffered.set(ImageChannelIndex(28, PlaneBwd)); // another plane: not listed
    TChannelList l = BuildChannelList(in);
    EXPECT_EQ(l.ChannelCount, 2);
    EXPECT_EQ(l.ChannelIndexList[0], 0);
    EXPECT_EQ(l.ChannelIndexList[1], 84);
    EXPECT_EQ(l.ListLength, 3);
    EXPECT_FALSE(l.Overflow);
    int32_t words[258];
    std::memcpy(words, &l.Record, sizeof words);
    EXPECT_EQ(words[0], 0);
    EXPECT_EQ(words[1], 3);
    EXPECT_EQ(words[2], 0);
    EXPECT_EQ(words[3], 3);
    EXPECT_EQ(words[4], 13);
    for (int i = 5; i < 258; ++i)
        ASSERT_EQ(words[i], 0);

    // With the position sensors their two readings follow the channels.
    in.HardLinOn = true;
    in.TrackAddressX = 20;
    in.TrackAddressY = 21;
    l = BuildChannelList(in);
    EXPECT_EQ(l.ListLength, 5);
    EXPECT_EQ(l.ReadAddresses[2], 20);
    EXPECT_EQ(l.ReadAddresses[3], 21);
    EXPECT_EQ(l.ReadAddresses[4], 13);

    // 31 open channels: 30 sampled; with the sensors 29, and 29 + 2 + terminator fill the 32 addresses.
    TChannelListInput many = in;
    many.HardLinOn = false;
    many.Buffered.reset();
    for (int slot = 0; slot < 31; ++slot)
        many.Buffered.set(ImageChannelIndex(slot, PlaneBwd));
    many.Plane = PlaneBwd;
    l = BuildChannelList(many);
    EXPECT_EQ(l.ChannelCount, 30);
    EXPECT_TRUE(l.Overflow);
    EXPECT_EQ(l.ListLength, 31);
    EXPECT_EQ(l.Candidates.count(), 31u);
    many.HardLinOn = true;
    l = BuildChannelList(many);
    EXPECT_EQ(l.ChannelCount, 29);
    EXPECT_EQ(l.ListLength, 32);
    EXPECT_EQ(l.ReadAddresses[31], 13);
    // Exactly 30 is no overflow.
    many.HardLinOn = false;
    many.Buffered.reset(ImageChannelIndex(30, PlaneBwd));
    EXPECT_FALSE(BuildChannelList(many).Overflow);

    // An empty list on a USB box carries the previous first address.
    TChannelListInput empty;
    empty.EmptyListGetsEntry = true;
    empty.PreviousFirstAddress = 7;
    l = BuildChannelList(empty);
    EXPECT_EQ(l.ChannelCount, 0);
    EXPECT_EQ(l.ListLength, 2);
    EXPECT_EQ(l.ReadAddresses[0], 7);
    EXPECT_EQ(l.ReadAddresses[1], 13);
    empty.EmptyListGetsEntry = false;
    EXPECT_EQ(BuildChannelList(empty).ListLength, 1);
}
