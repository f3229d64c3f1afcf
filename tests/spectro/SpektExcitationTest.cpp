// Excitation tables and ramp files of the spectroscopy window, without a window.

#include "spectro/SpektExcitation.h"
#include "spectro/SpektKinds.h"

#include <gtest/gtest.h>

#include <vector>

namespace qvt {
namespace {

struct Messages {
    std::vector<QString> texts;
    std::function<void(const QString&)> Sink()
    {
        return [this](const QString& t) { texts.push_back(t); };
    }
};

std::vector<double> Column(const TSpektData& d, int column, int n)
{
    return std::vector<double>(d.Col[column].begin(), d.Col[column].begin() + n);
}

void ExpectColumn(const TSpektData& d, int column, const std::vector<double>& want)
{
    const std::vector<double> got = Column(d, column, int(want.size()));
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-9) << "row " << i;
}

TEST(SpektExcitation, RampsFollowTheGoldenTables)
{
    Messages messages;
    TSpektData d;
    TExcitationShape shape;
    shape.Dt = 0.001;

    // Half a cycle with lead-in from the rest value 0 to b = 1, to a = 3, and back to rest.
    shape.Points = 10;
    shape.Cycle = 0.5;
    shape.LeadInOut = true;
    BuildRamp(d, TSpektData::Bias, shape, 0.0, 3.0, 1.0, messages.Sink());
    ExpectColumn(d, TSpektData::Bias, {0, 0.5, 1, 5.0 / 3, 7.0 / 3, 3, 2.25, 1.5, 0.75, 0});
    EXPECT_EQ(d.LeadInEnd, 3);
    EXPECT_EQ(d.LeadOutStart, 5);
    EXPECT_EQ(d.Color[2], SpektDefaultColors[0]);
    EXPECT_EQ(d.Color[3], SpektDefaultColors[1]);
    EXPECT_EQ(d.Color[6], SpektDefaultColors[3]);
    EXPECT_NEAR(d.Col[TSpektData::Time][9], 0.009, 1e-12);

    // One cycle without lead: b = 0 up to a = 4 and back, no lead-out rows.
    shape.Points = 9;
    shape.Cycle = 1.0;
    shape.LeadInOut = false;
    BuildRamp(d, TSpektData::Dz, shape, 0.0, 4.0, 0.0, messages.Sink());
    ExpectColumn(d, TSpektData::Dz, {0, 1, 2, 3, 4, 3, 2, 1, 0});
    EXPECT_EQ(d.Color[4], SpektDefaultColors[1]);
    EXPECT_EQ(d.Color[5], SpektDefaultColors[2]);
    EXPECT_EQ(d.LeadInEnd, 1);
    EXPECT_EQ(d.LeadOutStart, 8);
    EXPECT_TRUE(messages.texts.empty());

    // Nothing to ramp: all rows 0, no message.
    shape.LeadInOut = true;
    shape.Points = 64;
    BuildRamp(d, TSpektData::Dz, shape, 0.0, 0.0, 0.0, messages.Sink());
    for (double v : Column(d, TSpektData::Dz, 64))
        EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(messages.texts.empty());

    // Many cycles still give N rows and stay inside the table.
    for (int n : {64, 1023}) {
        for (int cycles = 2; cycles <= 15; ++cycles) {
            TSpektData t;
            t.Col[TSpektData::Bias].fill(-99.0);
            shape.Points = n;
            shape.Cycle = cycles;
            Messages m;
            BuildRamp(t, TSpektData::Bias, shape, 0.0, 1.0, -1.0, m.Sink());
            EXPECT_EQ(t.Col[TSpektData::Bias][n], -99.0) << n << " points, " << cycles << " cycles";
            EXPECT_NE(t.Col[TSpektData::Bias][n - 1], -99.0);
            EXPECT_LE(t.LeadOutStart, n - 1);
        }
    }

    // A remainder between 0.1 and 0.49 cycles ends the ramp instead of looping.
    shape.Points = 20;
    shape.Cycle = 1.3;
    BuildRamp(d, TSpektData::Bias, shape, 0.0, 1.0, -1.0, messages.Sink());
    EXPECT_NEAR(d.Col[TSpektData::Bias][19], 0.0, 1e-9);
}

TEST(SpektExcitation, StepsAlternateAndNeverRunPastTheTable)
{
    TSpektData d;
    TExcitationShape shape;
    shape.Points = 16;
    shape.Cycle = 1.0;
    BuildStep(d, TSpektData::Dz, shape, 0.0, 5.0);
    // m = 8 rows per half cycle; a for j < 2, then b; mirrored in the second half.
    ExpectColumn(d, TSpektData::Dz, {0, 5, 5, 5, 5, 5, 5, 5, 5, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(d.Color[0], SpektDefaultColors[1]);
    EXPECT_EQ(d.Color[8], SpektDefaultColors[2]);
    EXPECT_EQ(d.LeadOutStart, 15);

    // 1023 points at 9, 12 and 14 cycles would ask for 1026..1036 rows.
    for (double cycles : {9.0, 12.0, 14.0}) {
        TSpektData t;
        t.Col[TSpektData::Dz].fill(-99.0);
        t.Color.fill(0xABCDEF);
        shape.Points = 1023;
        shape.Cycle = cycles;
        BuildStep(t, TSpektData::Dz, shape, 1.0, 2.0);
        EXPECT_EQ(t.Col[TSpektData::Dz][1023], -99.0) << cycles;
        EXPECT_EQ(t.Color[1023], 0xABCDEFu) << cycles;
        EXPECT_NE(t.Col[TSpektData::Dz][1022], -99.0) << cycles;
        EXPECT_LE(t.LeadOutStart, 1022);
    }
}

TEST(SpektExcitation, KindsFillTheirColumns)
{
    TSpektData d;
    TExcitationShape shape;
    shape.Points = 32;
    shape.Cycle = 1.0;
    shape.LeadInOut = false;
    shape.Dt = 1e-4;
    TExcitationParams p;
    p.U1 = -1.0;
    p.U2 = 1.0;
    p.Dz1 = 0.5;
    p.Dz2 = 2.0;
    p.B0 = 0.2;
    Messages m;

    PrepareExcitation(d, "X(U)", 9, shape, p, nullptr, m.Sink());
    EXPECT_EQ(d.Col[TSpektData::Bias][0], -1.0);
    EXPECT_EQ(d.Col[TSpektData::Dz][5], 0.5); // the gap opened by dz during the curve
    PrepareExcitation(d, "X(U) CL", 11, shape, p, nullptr, m.Sink());
    EXPECT_EQ(d.Col[TSpektData::Dz][5], 0.0);

    PrepareExcitation(d, "X(z)", 5, shape, p, nullptr, m.Sink());
    EXPECT_EQ(d.Col[TSpektData::Dz][0], 0.5);
    EXPECT_EQ(d.Col[TSpektData::Bias][7], 0.2);

    // z-noise: dz × (r − 0.5) from the random source, and the frequencies.
    double r = 0.0;
    PrepareExcitation(
        d, SpektZNoiseName, 5, shape, p, [&r] { return r += 0.25; }, m.Sink());
    EXPECT_EQ(d.Col[TSpektData::Dz][0], 0.5 * (0.25 - 0.5));
    EXPECT_EQ(d.Col[TSpektData::Dz][1], 0.0);
    EXPECT_NEAR(d.Col[TSpektData::Frequency][4], 4 / (2.0 * 32 * 1e-4), 1e-9);
    EXPECT_EQ(d.LeadOutStart, 31);
    EXPECT_TRUE(m.texts.empty());
}

TEST(SpektExcitation, RampFilesAreReadUpToTheirFirstFault)
{
    TSpektData d;
    TRampFile f = ParseRampFile({"  1.5\t2,5", "1E-3 -2E+1", "", "4 4"}, d);
    EXPECT_EQ(f.Rows, 2);
    EXPECT_EQ(f.Error, "Epmty line 3");
    EXPECT_EQ(f.ErrorLine, 3);
    EXPECT_EQ(d.Col[TSpektData::Dz][0], 1.5);
    EXPECT_EQ(d.Col[TSpektData::Bias][0], 2.5);
    EXPECT_EQ(d.Col[TSpektData::Dz][1], 0.001);
    EXPECT_EQ(d.Col[TSpektData::Bias][1], -20.0);
    EXPECT_EQ(RampFileErrorMessage("ramp.dat", f.ErrorLine), "Error in file ramp.dat at line 3!");

    f = ParseRampFile({"7"}, d); // no bias: 0
    EXPECT_EQ(f.Rows, 1);
    EXPECT_EQ(d.Col[TSpektData::Bias][0], 0.0);
    f = ParseRampFile({"1", "x"}, d);
    EXPECT_EQ(f.Rows, 1);
    EXPECT_EQ(f.ErrorLine, 2);

    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many << QString("%1 0").arg(i);
    f = ParseRampFile(many, d);
    EXPECT_EQ(f.Rows, 1023);
    EXPECT_TRUE(f.Cut);
    EXPECT_EQ(d.Col[TSpektData::Dz][1022], 1022.0);
}

} // namespace
} // namespace qvt
