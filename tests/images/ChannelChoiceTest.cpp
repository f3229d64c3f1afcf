#include "images/ChannelChoice.h"

#include "device/ChannelTable.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(ChannelChoice, BoxNamesCarrySlotAndPlaneBothWays)
{
    EXPECT_EQ(BoxName(5, PlaneFwd), "CheckBox105");
    EXPECT_EQ(BoxName(27, PlaneFly), "CheckBox327");
    EXPECT_EQ(BoxName(26, PlaneFwd), "CheckBox126");
    EXPECT_EQ(BoxName(0, PlaneBwd), "CheckBox200");
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        for (int plane = 0; plane < ImagePlaneCount; ++plane) {
            const TBoxKey key = ParseBoxName(BoxName(slot, plane));
            ASSERT_TRUE(key.Valid()) << slot << "/" << plane;
            EXPECT_EQ(key.Slot, slot);
            EXPECT_EQ(key.Plane, plane);
            EXPECT_EQ(key.BufferIndex(), slot * 3 + plane);
        }
    }
    for (const char* bad : {"CheckBox", "CheckBox405", "CheckBox160", "CheckBox1O5", "Edit1", "CheckBox0105", ""})
        EXPECT_FALSE(ParseBoxName(bad).Valid()) << bad;

    EXPECT_EQ(WindowSection(26, PlaneFwd), "ADC1_0");
    EXPECT_EQ(WindowSection(0, PlaneFly), "DAC1_2");
    EXPECT_EQ(WindowSection(58, PlaneBwd), "ADC33_1");
}

TEST(ChannelChoice, GridPutsOutputsLeftAndInputsRightAndGrowsWithTheLongerColumn)
{
    auto channels = [](std::initializer_list<int> slotList) {
        std::vector<TChoiceChannel> list;
        for (int s : slotList)
            list.push_back({s, false, ChannelName(s)});
        return list;
    };

    const TGridLayout small = LayoutGrid(channels({0, 1, 26, 27, 28}), 25);
    ASSERT_EQ(small.Rows.size(), 5u);
    EXPECT_EQ(small.Rows[0].X, 20);
    EXPECT_EQ(small.Rows[0].Y, 16);
    EXPECT_EQ(small.Rows[1].Y, 32);
    EXPECT_EQ(small.Rows[2].X, 150);
    EXPECT_EQ(small.Rows[2].Y, 16); // the input column starts at the top again
    EXPECT_EQ(small.Rows[4].Y, 48);
    EXPECT_EQ(small.ClientHeight, 170);
    EXPECT_EQ(small.CancelTop, 135);

    // Ten outputs: 16 · 10 + 32.
    const TGridLayout ten = LayoutGrid(channels({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 26}), 25);
    EXPECT_EQ(ten.ClientHeight, 192);
    EXPECT_EQ(ten.CancelTop, 157);

    // Thirteen inputs: the last row lies at 208, past 200, so the window ends under it.
    const TGridLayout tall = LayoutGrid(channels({26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38}), 25);
    EXPECT_EQ(tall.Rows.back().Y, 208);
    EXPECT_EQ(tall.ClientHeight, 208 + 25 + 15);
    EXPECT_EQ(tall.CancelTop, 218);

    EXPECT_EQ(LayoutGrid({}, 25).ClientHeight, 170);
}
