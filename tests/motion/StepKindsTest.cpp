#include "motion/StepKinds.h"
#include "core/IniFile.h"
#include "protocol/ControlCodes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

namespace qvt {
void PrintTo(const TStepOp& op, std::ostream* os)
{
    *os << StepOpText(op).toStdString();
}
} // namespace qvt

using namespace qvt;
using namespace qvt::test;

namespace {

using Op = TStepOp;

TStepOp Out(uint32_t word)
{
    return Op::Write(RegDigitalOut, static_cast<int32_t>(word));
}

// Settings in a temporary main settings file.
class StepKindsTest : public ::testing::Test {
protected:
    TStepOps Run(int kind) { return RunStepKind(kind, s, env); }
    void Set(const char* section, const char* key, const QString& value) { ini.WriteString(section, key, value); }

    TempDir dir;
    TQVTIniFile ini{dir.Path() + "qvt.ini"};
    TStepperState s;
    TStepEnv env{&ini, 32};
};

} // namespace

TEST_F(StepKindsTest, PhaseKindsWalkTheirCyclesOnTheRightNibble)
{
    TStepOps laser;
    SetLaserBit(s, true, laser); // laser on at start: low word 0x10
    EXPECT_EQ(laser, TStepOps{Out(0x10)});
    EXPECT_EQ(Run(1), TStepOps{Out(0xB10)});
    // Forward: 3, 11, 15, 7, 3 ...
    EXPECT_EQ(Run(1), TStepOps{Out(0xF10)});
    EXPECT_EQ(Run(1), TStepOps{Out(0x710)});
    EXPECT_EQ(Run(1), TStepOps{Out(0x310)});
    // ... and back on the reverse cycle 3, 7, 15, 11.
    EXPECT_EQ(Run(2), TStepOps{Out(0x710)});
    EXPECT_EQ(Run(2), TStepOps{Out(0xF10)});

    TStepperState y;
    EXPECT_EQ(RunStepKind(3, y, env), TStepOps{Out(0x0B0)});
    EXPECT_EQ(RunStepKind(4, y, env), TStepOps{Out(0x030)});
    TStepperState z;
    EXPECT_EQ(RunStepKind(5, z, env), TStepOps{Out(0x00B)});
    EXPECT_EQ(RunStepKind(6, z, env), TStepOps{Out(0x003)});

    // Half steps on X: out of the cycle goes to 7, then 5; backwards 7 -> 14.
    TStepperState h;
    EXPECT_EQ(RunStepKind(7, h, env), TStepOps{Out(0x700)});
    EXPECT_EQ(RunStepKind(7, h, env), TStepOps{Out(0x500)});
    EXPECT_EQ(RunStepKind(8, h, env), TStepOps{Out(0x700)});
    EXPECT_EQ(RunStepKind(8, h, env), TStepOps{Out(0xE00)});

    // Off keeps bits 2-3 of each phase, drops bits 0-1, then clears the high half.
    TStepperState off;
    RunStepKind(1, off, env);  // X 11
    RunStepKind(5, off, env);  // Z 11
    RunStepKind(21, off, env); // high half in use
    EXPECT_EQ(RunStepKind(9, off, env), (TStepOps{Out(0x18630808), Out(0x00000808)}));
    EXPECT_EQ(off.HighWord, 0);
}

TEST_F(StepKindsTest, PulseKindsRepeatTheirPairAndKeepOrReplaceOutBits)
{
    s.OutBits = OutBitLaser;
    // Whole-word pulses replace every bit, the laser's too.
    EXPECT_EQ(Run(10), (TStepOps{Out(0x100), Op::Wait(30), Out(0x080), Op::Wait(70)}));
    EXPECT_EQ(s.OutBits & OutBitLaser, 0);

    s.OutBits = OutBitLaser;
    EXPECT_EQ(Run(11), (TStepOps{Out(0x180), Op::Wait(70), Out(0x000), Op::Wait(30)}));

    // Nibble pulses keep the rest; 34 ends on its first state again.
    s.OutBits = OutBitLaser;
    EXPECT_EQ(Run(34), (TStepOps{Out(0x14), Op::Wait(30), Out(0x16), Op::Wait(70), Out(0x14), Op::Wait(30)}));
    EXPECT_EQ(Run(37), (TStepOps{Out(0x1F), Op::Wait(30), Out(0x1D), Op::Wait(70)}));
    EXPECT_EQ(Run(39), TStepOps{Out(0x10)});

    Set("Stepper", "slSteps", "2");
    EXPECT_EQ(Run(35).size(), 8u);
    // slSteps 0: nothing, but the final state of 34, 36, 38 still goes out once.
    Set("Stepper", "slSteps", "0");
    EXPECT_TRUE(Run(12).empty());
    EXPECT_EQ(Run(38), (TStepOps{Out(0x1C), Op::Wait(30)}));
}

TEST_F(StepKindsTest, TripodKindsAdvanceTheLevellingMotorsOnTheHighHalf)
{
    s.LastLowWord = 0x10;
    EXPECT_EQ(Run(21), TStepOps{Out(0x18630010)}); // C forward: 3 | 3 << 5 | 6 << 10
    EXPECT_EQ(Run(20), TStepOps{Out(0x0C630010)}); // and back
    EXPECT_EQ(Run(16), TStepOps{Out(0x46310010)}); // all reverse: 17 each

    // A full forward turn comes back to 3; a value off the cycle restarts at 3.
    TStepperState t;
    for (int i = 0; i < 5; ++i)
        RunStepKind(17, t, env);
    EXPECT_EQ(t.TripodA, 3);
    t.TripodA = 25;
    RunStepKind(18, t, env); // A forward, B reverse
    EXPECT_EQ(t.TripodA, 3);
    EXPECT_EQ(t.TripodB, 17);
}

TEST_F(StepKindsTest, StepDirKindsSetDirectionThenStepAroundTheWait)
{
    s.LastLowWord = 0x10;
    EXPECT_EQ(Run(23), (TStepOps{Out(0x1AD40010), Op::Wait(77), Out(0x1FDC0010)}));
    // The direction lines drop again for the opposite step.
    EXPECT_EQ(Run(22), (TStepOps{Out(0x12500010), Op::Wait(77), Out(0x17580010)}));
    EXPECT_EQ(Run(26), (TStepOps{Out(0x13580010), Op::Wait(77), Out(0x17580010)}));

    // Kind 28 strobes bit 0x2000 once; memory drops it at once.
    EXPECT_EQ(Run(28), TStepOps{Out(0x37580010)});
    EXPECT_EQ(s.StepDirWord, 0x1758);
}

TEST_F(StepKindsTest, DriveWordAndSpeedCodeKindsComposeTheHighHalf)
{
    // Kind 47: bit 15 alternates from word to word.
    EXPECT_EQ(Run(47), TStepOps{Out(0x993F0000)});
    EXPECT_EQ(Run(47), TStepOps{Out(0x193F0000)});
    Set("Coarse", "HighSpeed", "1");
    EXPECT_EQ(Run(48), TStepOps{Out(0xF23F0000)}); // 200 at high speed, plus 0x4000
    Set("Coarse", "Z825B_Speed48_HighSpeed", "999");
    Set("Coarse", "Z825B_Time", "99");
    EXPECT_EQ(Run(48), TStepOps{Out(0x7FFF0000)}); // both limited

    // Speed codes: slSlow 10 in each nibble, 0x8000, the toggle; OutBits := code.
    TStepperState c;
    c.OutBits = OutBitLaser;
    TStepEnv slow{nullptr, 32};
    EXPECT_EQ(RunStepKind(49, c, slow), TStepOps{Out(0xCAAA0222)});
    EXPECT_EQ(RunStepKind(54, c, slow), TStepOps{Out(0x8AAA0EFB)});
    EXPECT_EQ(RunStepKind(49, c, env), TStepOps{Out(0xC0000222)}); // high speed: slFast, default 0
    Set("Stepper", "slFast", "40");
    EXPECT_EQ(RunStepKind(50, c, env), TStepOps{Out(0x8FFF0333)});

    // Stop, hold and on.
    EXPECT_EQ(RunStepKind(55, c, env), TStepOps{Out(0x0FFF0000)});
    Set("Coarse", "SlowZ", "5");
    EXPECT_EQ(RunStepKind(56, c, env), (TStepOps{Out(0x8FFF0000), Op::Sleep(5)}));
    EXPECT_EQ(RunStepKind(57, c, slow), (TStepOps{Out(0x8FFF000C), Op::Sleep(20)}));
}

TEST_F(StepKindsTest, MotorCommandsFlipBit31OnEveryWord)
{
    s.MotorRegBase = MotorRegBaseType24;
    // 88: (400 and 0x1FFF) << 16 + 0x40007D00, first with bit 31 set.
    EXPECT_EQ(Run(88), TStepOps{Op::Write(52, static_cast<int32_t>(0xC1907D00))});
    EXPECT_EQ(Run(88), TStepOps{Op::Write(52, 0x41907D00)});
    Set("Coarse", "HighSpeed", "1");
    EXPECT_EQ(Run(89), TStepOps{Op::Write(52, static_cast<int32_t>(0x8FA07D00))});

    // 58 waits for the ready bits first, then moves all three motors.
    EXPECT_EQ(Run(58), (TStepOps{Op::PollReady(32 + RegMotorStatusOffset), Op::Write(52, 0x01030064),
                                 Op::Write(53, static_cast<int32_t>(0x81030064)),
                                 Op::Write(54, static_cast<int32_t>(0x81030064))}));
    EXPECT_EQ(Run(60), (TStepOps{Op::Write(52, static_cast<int32_t>(0xFF0303E8)), Op::Write(53, 0x010303E8)}));
    EXPECT_EQ(Run(64),
              (TStepOps{Op::Write(52, 1000), Op::Write(53, static_cast<int32_t>(0x800003E8)), Op::Write(54, 1000)}));
    EXPECT_EQ(Run(85), TStepOps{Op::Write(53, 0x7F0303E8)});

    // The same value twice differs only in bit 31; channels outside 0..7 send nothing.
    TStepOps ops;
    SendMotorCommand(s, 0, 0x12345678, ops);
    SendMotorCommand(s, 0, 0x12345678, ops);
    SendMotorCommand(s, 8, 1, ops);
    SendMotorCommand(s, -1, 1, ops);
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(static_cast<uint32_t>(ops[0].Value ^ ops[1].Value), 0x80000000u);

    EXPECT_EQ(MotorRegBaseFor({22}), MotorRegBaseCard);
    EXPECT_EQ(MotorRegBaseFor({24}), 48);
    EXPECT_EQ(MotorRegBaseFor({26}), 48);
    EXPECT_EQ(MotorRegBaseFor({27}), 42);
    EXPECT_EQ(MotorRegBaseFor({29}), 272);
}

// Each field of a motor word from the settings is taken at both ends of its
// range and kept there one step beyond, so no stored number spills into the
// direction or mode bits beside it.
TEST_F(StepKindsTest, MotorWordFieldsFromTheSettingsStayInsideTheirBits)
{
    struct TCase {
        int Stored;
        int Speed825, Time825;     // speed 0..255, time 0..63
        int SpeedDrive, TimeDrive; // speed 0..255, time 0..127
        int Code;                  // 0..15 in each nibble
    };
    const TCase cases[] = {{255, 255, 63, 255, 127, 15}, {256, 255, 63, 255, 127, 15}, {63, 63, 63, 63, 63, 15},
                           {64, 64, 63, 64, 64, 15},     {127, 127, 63, 127, 127, 15}, {128, 128, 63, 128, 127, 15},
                           {15, 15, 15, 15, 15, 15},     {16, 16, 16, 16, 16, 15},     {0, 0, 0, 0, 0, 0},
                           {-1, 0, 0, 0, 0, 0},          {-100000, 0, 0, 0, 0, 0}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Stored);
        const QString v = QString::number(c.Stored);
        Set("Coarse", "Z825B_Speed48", v);
        Set("Coarse", "Z825B_Time", v);
        TStepOps ops = Run(48);
        ASSERT_EQ(ops.size(), 1u);
        EXPECT_EQ((static_cast<uint32_t>(ops[0].Value) >> 16) & 0x7FFFu,
                  0x4000u | static_cast<uint32_t>(c.Speed825) << 6 | static_cast<uint32_t>(c.Time825));

        Set("Coarse", "Z825B_Speed73", v);
        Set("Coarse", "Z825B_Time73", v);
        ops = Run(73);
        ASSERT_EQ(ops.size(), 1u);
        EXPECT_EQ(ops[0].Reg, 274);
        EXPECT_EQ(static_cast<uint32_t>(ops[0].Value) & 0x7FFFu,
                  static_cast<uint32_t>(c.SpeedDrive) << 7 | static_cast<uint32_t>(c.TimeDrive));

        Set("Stepper", "slSlow", v);
        TStepperState codes;
        ops = RunStepKind(49, codes, TStepEnv{&ini, 32});
        ASSERT_FALSE(ops.empty());
        EXPECT_EQ((static_cast<uint32_t>(ops[0].Value) >> 16) & 0xFFFu, static_cast<uint32_t>(c.Code) * 0x111u);
    }
}

TEST_F(StepKindsTest, DriveRegisterKindsReadTheirOwnKeys)
{
    EXPECT_EQ(Run(70), TStepOps{Op::Write(272, 0xB23F)});
    EXPECT_EQ(Run(69), TStepOps{Op::Write(272, 0x323F)});
    Set("Coarse", "Z825B_Speed73", "300");
    Set("Coarse", "Z825B_Time73", "200");
    EXPECT_EQ(Run(73), TStepOps{Op::Write(274, 0x7FFF)});
    // High speed uses the "_HighSpeed" keys, time falling back to "Z825B_Time".
    Set("Coarse", "HighSpeed", "1");
    Set("Coarse", "Z825B_Time", "10");
    Set("Coarse", "Z825B_Speed72_HighSpeed", "1");
    EXPECT_EQ(Run(72), TStepOps{Op::Write(273, 0x808A)});

    TStepOps ops;
    WriteDriveRegister(3, 1, 1, 1, ops);
    WriteDriveRegister(-1, 1, 1, 1, ops);
    EXPECT_TRUE(ops.empty());
}

TEST_F(StepKindsTest, DacPulseAndStickSlipKindsAskForTheirMoves)
{
    EXPECT_EQ(Run(86), (TStepOps{Op::Dac(4, 10.0), Op::Wait(0), Op::Dac(4, 0.0)}));
    Set("Coarse", "HighSpeed", "1");
    Set("Stepper", "slFast", "2,5");
    Set("Stepper", "OnTime", "40");
    EXPECT_EQ(Run(87), (TStepOps{Op::Dac(4, -2.5), Op::Wait(40), Op::Dac(4, 0.0)}));

    EXPECT_EQ(Run(29), (TStepOps{Op::Move(1, 160000000, 0), Op::Move(2000, 0, 0)}));
    Set("Coarse", "PIAmpl", "1000");
    EXPECT_EQ(Run(31), (TStepOps{Op::Move(2000, 0, 1000), Op::Move(1, 0, 0)}));
    EXPECT_EQ(Run(32), (TStepOps{Op::Move(1, 0, 1000), Op::Move(2000, 0, 0)}));
}

TEST(StepKinds, KindsWithoutARoutineActAsKindOne)
{
    for (int kind : {0, 1, 80, 81, -5, 120})
        EXPECT_EQ(NormalizeStepKind(kind), 1) << kind;
    for (int kind : {2, 40, 79, 82, 89})
        EXPECT_EQ(NormalizeStepKind(kind), kind);

    TStepperState a;
    TStepperState b;
    const TStepEnv env;
    EXPECT_EQ(RunStepKind(81, a, env), RunStepKind(1, b, env));
    for (int kind : {40, 46, 75, 79}) {
        EXPECT_TRUE(IsSerialStepKind(kind));
        EXPECT_TRUE(RunStepKind(kind, a, env).empty());
    }
    EXPECT_FALSE(IsSerialStepKind(47));
}

TEST(StepKinds, ZCounterClampsAndCountsBack)
{
    EXPECT_EQ(CountZStep(999999, 1), 1000000);
    EXPECT_EQ(CountZStep(1000000, 1), 1000000);
    EXPECT_EQ(CountZStep(1000000, -1), 999999);
    EXPECT_EQ(CountZStep(-1000000, -1), -1000000);
    EXPECT_EQ(CountZStep(-1000000, 1), -999999);
}

TEST(StepKinds, ClickSoundIsTheFiftyTwoByteWave)
{
    const QByteArray expected = QByteArray::fromHex("52494646"
                                                    "2c000000"
                                                    "57415645"
                                                    "666d7420"
                                                    "10000000"
                                                    "0100"
                                                    "0100"
                                                    "22560000"
                                                    "22560000"
                                                    "0100"
                                                    "0800"
                                                    "64617461"
                                                    "08000000"
                                                    "80aaad875a5072a1");
    EXPECT_EQ(BuildClickSound().toHex(), expected.toHex());
}
