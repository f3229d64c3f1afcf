#include "core/IniFile.h"
#include "core/SharedState.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(SharedState, FeedbackModesMapToTheirSetsAndNames)
{
    EXPECT_EQ(FeedbackSetIndex(-1), 0);
    EXPECT_EQ(FeedbackSetIndex(6), 7);
    EXPECT_EQ(MicroscopeState.FeedbackSets.size(), 8u);
    EXPECT_STREQ(FeedbackModeTable[0].ListText, "Off");
    EXPECT_STREQ(FeedbackModeTable[FeedbackSetIndex(6)].ModeName, "ncAFM+PLL");
    EXPECT_STREQ(FeedbackModeTable[FeedbackSetIndex(3)].ModeName, "cmAFM");
    // A mode from a damaged settings file never indexes outside the table.
    EXPECT_EQ(ValidFeedbackMode(7), 3);
    EXPECT_EQ(ValidFeedbackMode(-2), 3);
    EXPECT_EQ(ValidFeedbackMode(-1), -1);
    EXPECT_TRUE(IsDynamicMode(4) && IsDynamicMode(6) && !IsDynamicMode(3));
}

TEST(SharedState, RunningMeanTakesZeroAsOne)
{
    EXPECT_DOUBLE_EQ(RunningMean(123.0, 5.0, 0), 5.0); // the first value replaces the old mean
    EXPECT_DOUBLE_EQ(RunningMean(123.0, 5.0, 1), 5.0);
    double mean = 0;
    const double values[] = {2, 4, 6, 8};
    for (int n = 1; n <= 4; ++n)
        mean = RunningMean(mean, values[n - 1], n);
    EXPECT_DOUBLE_EQ(mean, 5.0);
}

TEST(SharedState, LockInWordsConvertToPhysicalValues)
{
    EXPECT_NEAR(TMultiLockInParams::FrequencyFromWord(429496730), 1000000.0, 0.01);
    EXPECT_DOUBLE_EQ(TMultiLockInParams::PhaseFromWord(2047), 360.0);
    EXPECT_EQ(sizeof(TOsziRequest), 68u);
    EXPECT_EQ(sizeof(OsziBuffers), 4u * 2052u);
}

TEST(SharedState, SettingsBackedValuesHaveTheirDefaults)
{
    test::TempDir dir;
    TQVTIniFile ini(dir.WriteFile("m.ini", "[Microscope]\r\nSpringConstant=2,5\r\n"));
    LoadSharedStateSettings(ini);
    EXPECT_DOUBLE_EQ(ScanParams.OverScan.load(), 5.0);
    EXPECT_DOUBLE_EQ(CantileverParams.SpringConstant, 2.5);
    EXPECT_DOUBLE_EQ(CantileverParams.CantileverScaleNCAFM, 1.0);
}
