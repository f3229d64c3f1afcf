#include "sim/SimLedBus.h"

#include <gtest/gtest.h>

using qvt::sim::SimLedBus;

TEST(SimLedBus, RecordsCompleteTransfersAndFlagsBrokenOnes)
{
    SimLedBus bus;
    for (int w : {0x172, 1, 0x200 + 31, 0x172, 2, 0x200 + 5})
        bus.Feed(w);
    EXPECT_EQ(bus.Brightness(1), 31);
    EXPECT_EQ(bus.Brightness(2), 5);
    EXPECT_EQ(bus.Transfers(), 2);
    EXPECT_EQ(bus.Malformed(), 0);

    // A value without its stop bit, an unknown channel (and the stray value
    // after it), a word beyond 10 bits: each is flagged and changes nothing.
    for (int w : {0x172, 1, 7, 0x172, 3, 0x200, 0x172, 1, 0x7FF})
        bus.Feed(w);
    EXPECT_EQ(bus.Malformed(), 4);
    EXPECT_EQ(bus.Brightness(1), 31);

    // A start word cut into a transfer begins a new one.
    for (int w : {0x172, 2, 0x172, 2, 0x200 + 9})
        bus.Feed(w);
    EXPECT_EQ(bus.Malformed(), 5);
    EXPECT_EQ(bus.Brightness(2), 9);
}
