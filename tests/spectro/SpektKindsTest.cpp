// The kinds of curve, their edits and the channel choice of a kind.

#include "spectro/SpektKinds.h"
#include "spectro/SpektAcquire.h"

#include "core/IniFile.h"
#include "device/ChannelTable.h"
#include "device/SpektRequests.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace qvt {
namespace {

TEST(SpektKinds, TableGivesKindValuesAndEdits)
{
    const QStringList nine = SpektKindNames(false);
    ASSERT_EQ(nine.size(), 9);
    EXPECT_EQ(nine[0], "X(z)");
    EXPECT_EQ(nine[1], "X(U)");
    EXPECT_FALSE(nine.contains("MassSpec"));
    EXPECT_EQ(SpektKindNames(true).size(), 10);
    EXPECT_EQ(SpektKindNames(true)[7], "MassSpec");

    const std::pair<const char*, int32_t> values[] = {
        {"X(z)", 5},
        {"X(U)", 9},
        {"X(U) CL", 11},
        {"X(t) z-Step", 21},
        {"X(t) z-step CL", 23},
        {"X(t) U-Step", 9},
        {"X(t) U-Step CL", 11},
        {"MassSpec", 5},
        {"cmAFM X(U)", 11},
        {"X(t) z-noise", 5},
        {"trash", 2},
    };
    for (const auto& [name, kind] : values)
        EXPECT_EQ(SpektKindValue(name), kind) << name;

    EXPECT_EQ(SpektVisibleEdits("X(z)"), unsigned(SpektEditDz1 | SpektEditDz2));
    EXPECT_EQ(SpektVisibleEdits("X(U)"), unsigned(SpektEditDz | SpektEditU1 | SpektEditU2));
    EXPECT_EQ(SpektVisibleEdits("X(t) z-step CL"), unsigned(SpektEditDz));
    EXPECT_EQ(SpektVisibleEdits("cmAFM X(U)"), unsigned(SpektEditU1 | SpektEditU2 | SpektEditRef));
    EXPECT_EQ(SpektVisibleEdits("unknown"), 0u);
    // Step kinds send Z as differences, CL kinds keep the feedback on.
    EXPECT_TRUE(SpektKindValue("X(t) z-Step") & SpektBitZDifferences);
    EXPECT_TRUE(SpektKindValue("X(U) CL") & SpektBitFeedbackOn);
}

TEST(SpektKinds, ChannelSetupIsReadAndRepaired)
{
    test::TempDir dir;
    TQVTIniFile user(dir.Path() + "user.ini");
    for (int bad : {0, 7}) {
        user.WriteInteger("X(z)", "CountCh", bad);
        EXPECT_EQ(ReadSpektChannelSetup(user, "X(z)", 3).Count, 1);
        EXPECT_EQ(user.ReadInteger("X(z)", "CountCh", -1), 1);
    }
    user.WriteInteger("X(z)", "CountCh", 3);
    user.WriteInteger("X(z)", "Channel0", 2);
    user.WriteInteger("X(z)", "Channel1", 9); // beyond the list
    const TSpektChannelSetup s = ReadSpektChannelSetup(user, "X(z)", 3);
    EXPECT_EQ(s.Count, 3);
    EXPECT_EQ(s.Entry[0], 2);
    EXPECT_EQ(s.Entry[1], 2);
    EXPECT_EQ(s.Entry[2], 0);
    EXPECT_EQ(s.Entry[3], -1);

    const TChannelTable saved = ChannelTable;
    for (TIOScale& c : ChannelTable)
        c.Listed = false;
    ChannelTable[0].Listed = true;
    ChannelTable[0].Label = "Topography";
    ChannelTable[27].Listed = true;
    ChannelTable[27].Label = "";
    const auto list = SpektChannelList();
    ChannelTable = saved;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Text, "Topography");
    EXPECT_EQ(list[1].Slot, 27);
    EXPECT_EQ(list[1].Text, "ADC2");
}

TEST(SpektAcquire, AverageCounterRunsToCAndRestartsWithRepeat)
{
    TSpektAverageCounter c;
    c.Start(3);
    std::vector<int> seen;
    do
        seen.push_back(c.Count());
    while (c.Next(false, true));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));

    c.Start(3);
    seen.clear();
    for (int i = 0; i < 6; ++i) {
        seen.push_back(c.Count());
        EXPECT_TRUE(c.Next(true, true));
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 1, 2}));

    c.Start(0); // "inf.": every curve replaces the last
    EXPECT_FALSE(c.Next(false, true));
    EXPECT_EQ(c.Count(), 1);
    EXPECT_TRUE(c.Next(true, true));
    EXPECT_EQ(c.Count(), 1);
    c.Start(5);
    EXPECT_FALSE(c.Next(true, false)); // released
}

TEST(SpektAcquire, CurvesFoldInWithTheirWeightAndOnlyWhatCameBack)
{
    std::array<std::array<int32_t, 1024>, 6> results{};
    TIOScale scale;
    scale.Factor = 0.5f;
    std::array<const TIOScale*, 8> scales{};
    scales.fill(&scale);
    TSpektData d;
    TSpektRun run;
    run.Slots = &results;
    run.Points = 4;
    run.Returned.fill(4);
    // Three curves of 60, 120, 180 digits: weights 1, 1/2, 1/3 give their mean.
    for (int n = 1; n <= 3; ++n) {
        results[2].fill(60 * n);
        run.AverageCount = n;
        FoldSpektRun(run, scales, d);
    }
    EXPECT_DOUBLE_EQ(d.Col[3][0], 60.0);
    // A reply two readings short leaves the last two points as they were.
    results[2].fill(0);
    run.Returned.fill(2);
    run.AverageCount = 1;
    FoldSpektRun(run, scales, d);
    EXPECT_EQ(d.Col[3][1], 0.0);
    EXPECT_DOUBLE_EQ(d.Col[3][2], 60.0);

    // z-noise: the readings become their spectrum, without the offset.
    scale.Offset = 1000;
    results[2].fill(8);
    run.Returned.fill(4);
    run.ZNoise = true;
    FoldSpektRun(run, scales, d);
    EXPECT_NEAR(d.Col[3][0], 0.5 * 8 / 2.83, 1e-9);
    EXPECT_NEAR(d.Col[3][2], 0.0, 1e-9);
}

TEST(SpektAcquire, PlotMapsColumnsOntoThePicture)
{
    TSpektData d;
    for (int i = 0; i < 10; ++i) {
        d.Col[0][i] = i;
        d.Col[3][i] = 2.0 * i - 4.0;
        d.Col[4][i] = 7.0;
    }
    d.LeadInEnd = 2;
    d.LeadOutStart = 6;
    TSpektPlot p = MapSpektPlot(d, 10, 0, 3, true);
    EXPECT_EQ(p.First, 0);
    EXPECT_EQ(p.Last, 9);
    EXPECT_DOUBLE_EQ(p.XScale, 255.0 / 9);
    EXPECT_EQ(SpektPixelX(p, 9.0), 255);
    EXPECT_EQ(SpektPixelY(p, 14.0), 0);
    EXPECT_EQ(SpektPixelY(p, -4.0), 255);
    p = MapSpektPlot(d, 10, 0, 3, false);
    EXPECT_EQ(p.First, 2);
    EXPECT_EQ(p.Last, 6);
    EXPECT_DOUBLE_EQ(p.XMin, 2.0);
    // A constant column: scale 0, every point on the top line.
    p = MapSpektPlot(d, 10, 0, 4, true);
    EXPECT_EQ(p.YScale, 0.0);
    EXPECT_EQ(SpektPixelY(p, 7.0), 0);
}

// A spectrum over frequency: the 0 Hz bin (the mean) fills the first rows,
// three when 10 points are spread over fewer bins. It is left out of the
// vertical scale from row 0 or from the lead-in's end alike.
TEST(SpektAcquire, ASpectrumIsScaledWithoutItsMeanFromWhicheverRowThePlotStarts)
{
    TSpektData d;
    const double spectrum[10] = {35.0, 35.0, 35.0, 0.1, 0.1, 0.9, 0.9, 0.2, 0.2, 0.3};
    for (int i = 0; i < 10; ++i) {
        d.Col[TSpektData::Frequency][i] = 20.0 * i;
        d.Col[3][i] = spectrum[i];
    }
    d.LeadInEnd = 1;
    d.LeadOutStart = 9;
    for (const bool showLead : {true, false}) {
        const TSpektPlot p = MapSpektPlot(d, 10, TSpektData::Frequency, 3, showLead);
        EXPECT_EQ(p.First, showLead ? 0 : 1);
        EXPECT_DOUBLE_EQ(p.YMax, 0.9) << showLead;
        EXPECT_DOUBLE_EQ(p.YMin, 0.1) << showLead;
        EXPECT_DOUBLE_EQ(p.XMin, showLead ? 0.0 : 20.0);
    }
    // Over time the same column is scaled on every row shown.
    EXPECT_DOUBLE_EQ(MapSpektPlot(d, 10, 0, 3, false).YMax, 35.0);
}

} // namespace
} // namespace qvt
