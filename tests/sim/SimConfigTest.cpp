#include "sim/SimConfig.h"
#include "sim/SimLockIn.h"

#include "protocol/ControlCodes.h"

#include <gtest/gtest.h>

#include <QMap>

using namespace qvt;
using namespace qvt::sim;

namespace {

// Settings as a map "Section/Key" -> text, read the way the ini engine reads them.
SimSettingsSource MapSource(const QMap<QString, QString>& values)
{
    SimSettingsSource s;
    s.ReadString = [values](const QString& sec, const QString& key, const QString& def) {
        return values.value(sec + "/" + key, def);
    };
    s.ReadInteger = [values](const QString& sec, const QString& key, int def) {
        bool ok = false;
        const int v = values.value(sec + "/" + key).toInt(&ok, 0);
        return ok ? v : def;
    };
    s.ReadFloat = [values](const QString& sec, const QString& key, double def) {
        bool ok = false;
        const double v = values.value(sec + "/" + key).toDouble(&ok);
        return ok ? v : def;
    };
    return s;
}

} // namespace

TEST(SimConfig, ReadsItsKeysAndBringsBadValuesBackInRange)
{
    const SimConfig defaults = ReadSimConfig(MapSource({}));
    EXPECT_EQ(defaults.ControllerType, 26);
    EXPECT_EQ(defaults.Clock, ClockMode::RealTime);
    EXPECT_EQ(defaults.DacMin[0], -32000);
    EXPECT_EQ(defaults.DacMax[25], 32000);
    EXPECT_FALSE(defaults.Absent);

    const SimConfig c = ReadSimConfig(MapSource({
        {"Controller/Type", "29"},
        {"Controller/SubVersion", "4"},
        {"Controller/Absent", "1"},
        {"Clock/Mode", "fast"},
        {"Clock/RequestLatencyUs", "-5"},
        {"Limits/DacMin", "-20000"},
        {"Limits/DAC3Max", "100"},
        {"Limits/DAC4Min", "500"},
        {"Limits/DAC4Max", "-500"},
        {"Faults/FailCode", "0x223C34"},
        {"Faults/EchoStrayEvery", "-3"},
        {"LockIn/Absent", "1"},
    }));
    EXPECT_EQ(c.ControllerType, 29);
    EXPECT_EQ(c.SubVersion, 4);
    EXPECT_TRUE(c.Absent);
    EXPECT_EQ(c.Clock, ClockMode::Fast);
    EXPECT_EQ(c.RequestLatencyUs, 0.0);
    EXPECT_EQ(c.DacMin[0], -20000);
    EXPECT_EQ(c.DacMax[2], 100);
    EXPECT_EQ(c.DacMin[3], -500); // swapped into order
    EXPECT_EQ(c.DacMax[3], 500);
    EXPECT_EQ(c.Faults.FailCode, IOCTL_READ_REG);
    EXPECT_EQ(c.Faults.EchoStrayEvery, 0);
    EXPECT_TRUE(c.LockInAbsent);

    EXPECT_EQ(ReadSimConfig(MapSource({{"Controller/Type", "40"}})).ControllerType, 29);
    EXPECT_EQ(ReadSimConfig(MapSource({{"Controller/Type", "3"}})).ControllerType, 22);
}

TEST(SimConfig, ReadsTheSampleAndTheProbe)
{
    const SimConfig defaults = ReadSimConfig(MapSource({}));
    EXPECT_EQ(defaults.Surface.StepHeight, 0.0); // a flat sample unless asked
    EXPECT_EQ(defaults.Surface.TiltX, 0.0);
    EXPECT_EQ(defaults.Probe.TopographyAddress, 3);

    const SimConfig c = ReadSimConfig(MapSource({
        {"Surface/Base", "-500"},
        {"Surface/TiltX", "0.02"},
        {"Surface/StepHeight", "150"},
        {"Surface/TerraceWidth", "0"},
        {"Surface/GratingPeriod", "-3"},
        {"Surface/Noise", "-1"},
        {"Probe/RetractSlew", "0"},
        {"Probe/TopographyAddress", "7"},
    }));
    EXPECT_EQ(c.Surface.Base, -500.0);
    EXPECT_EQ(c.Surface.TiltX, 0.02);
    EXPECT_EQ(c.Surface.StepHeight, 150.0);
    EXPECT_EQ(c.Surface.TerraceWidth, 1.0); // never a division by zero
    EXPECT_EQ(c.Surface.GratingPeriod, 2.0);
    EXPECT_EQ(c.Surface.Noise, 0.0);
    EXPECT_GT(c.Probe.RetractSlew, 0.0); // a retract always gets down
    EXPECT_EQ(c.Probe.TopographyAddress, 7);
}

TEST(SimLockIn, TakesFourByteWordsAndReportsItsStatus)
{
    SimLockIn lockIn;
    int32_t word = 17179869;
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_FREQUENCY, &word, 4, nullptr, 0, nullptr));
    word = 0x20 | 0x0C;
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_CONTROL, &word, 4, nullptr, 0, nullptr));
    word = 0x10001000;
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_PHASE, &word, 4, nullptr, 0, nullptr));
    word = 2048;
    EXPECT_FALSE(lockIn.Control(IOCTL_LOCKIN_AMPLITUDE, &word, 4, nullptr, 0, nullptr));
    word = 2047;
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_AMPLITUDE, &word, 4, nullptr, 0, nullptr));
    EXPECT_EQ(lockIn.FrequencyWord(), 17179869);
    EXPECT_EQ(lockIn.ControlWord(), 0x2C);
    EXPECT_EQ(lockIn.PhaseWord(), 0x10001000);
    EXPECT_EQ(lockIn.AmplitudeWord(), 2047);

    // Wrong sizes and the code that is built but never sent are refused.
    EXPECT_FALSE(lockIn.Control(IOCTL_LOCKIN_FREQUENCY, &word, 8, nullptr, 0, nullptr));
    EXPECT_FALSE(lockIn.Control(IOCTL_LOCKIN_UNUSED, &word, 4, nullptr, 0, nullptr));

    int32_t status = 99;
    size_t returned = 0;
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_STATUS, nullptr, 0, &status, 4, &returned));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(returned, 4u);
    lockIn.SetAbsent(true);
    EXPECT_TRUE(lockIn.Control(IOCTL_LOCKIN_STATUS, nullptr, 0, &status, 4, nullptr));
    EXPECT_TRUE(status & LockInStatusFault);
    lockIn.SetFailing(true);
    EXPECT_FALSE(lockIn.Control(IOCTL_LOCKIN_STATUS, nullptr, 0, &status, 4, nullptr));
}
