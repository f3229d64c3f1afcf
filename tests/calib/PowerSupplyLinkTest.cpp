// The supply link against a simulated supply unit on the other end of a
// pseudo-terminal: the program's side opens the slave like a serial device.

#include "calib/PowerSupplyLink.h"
#include "core/IniFile.h"
#include "platform/SerialPort.h"
#include "sim/SimSerialPeer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qvt {
namespace {

// The supply unit: reads the host's command bytes, sends replies.
class SimSupply : public sim::SimSerialPeer {
public:
    // Every command byte that arrives within `ms` after the first (or none).
    QByteArray Commands(int ms = 200)
    {
        WaitForBytes(1, 2000);
        QByteArray got = Received();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            const QByteArray now = Received();
            if (now.size() == got.size())
                break;
            got = now;
        }
        Clear();
        return got;
    }
    static QByteArray Reply(char letter, uint8_t flags, int16_t w1, int16_t w2, int16_t w3)
    {
        QByteArray r;
        r.append(letter);
        r.append(static_cast<char>(flags));
        for (int16_t w : {w1, w2, w3}) {
            r.append(static_cast<char>(w & 0xff));
            r.append(static_cast<char>((w >> 8) & 0xff));
        }
        return r;
    }
    void Send(const QByteArray& bytes) { ASSERT_TRUE(SimSerialPeer::Send(bytes)); }
};

class PowerSupplyLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(unit_.Ok());
        TSerialSettings s;
        s.Device = unit_.SlavePath();
        ASSERT_TRUE(port_.Open(s));
        link_.Opened(now_);
        EXPECT_EQ(unit_.Commands(), "s");
    }
    // Delivers bytes and lets one tick see them (the pty may hand them over
    // a moment later; the wait only ends early).
    bool Deliver(const QByteArray& bytes)
    {
        unit_.Send(bytes);
        test::PumpUntil([&] { return port_.BytesWaiting() >= static_cast<int>(bytes.size()); }, 2000);
        now_ += 100;
        return link_.Poll(now_);
    }

    SimSupply unit_;
    TSerialPort port_;
    TPowerSupplyLink link_{port_};
    int64_t now_ = 0;
};

TEST_F(PowerSupplyLinkTest, ReplyShowsVoltagesAndAsksAgain)
{
    ASSERT_TRUE(Deliver(SimSupply::Reply('A', 0x30, 0, 1747, -253)));
    EXPECT_EQ(link_.VoltagesA(), "2.439 V\r19.281 V\r0.000 V");
    EXPECT_EQ(link_.Button(), TPowerSupplyLink::ButtonColor::Green);
    EXPECT_TRUE(link_.Message().isEmpty());
    EXPECT_EQ(unit_.Commands(), "s");
    ASSERT_TRUE(Deliver(SimSupply::Reply('B', 0x10, 0, 0, 0)));
    EXPECT_EQ(link_.VoltagesB(), "2.439 V\r2.439 V\r2.439 V");
    EXPECT_EQ(link_.Button(), TPowerSupplyLink::ButtonColor::Face);
}

TEST_F(PowerSupplyLinkTest, OnOffAndKeepAlive)
{
    link_.Activate();
    EXPECT_EQ(unit_.Commands(), "L");
    QByteArray sent;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(Deliver(SimSupply::Reply('A', 0x50, 0, 0, 0)));
        EXPECT_EQ(link_.Button(), TPowerSupplyLink::ButtonColor::Yellow);
        sent += unit_.Commands();
    }
    // The fourth keep-alive reply brings exactly one 'R'.
    EXPECT_EQ(sent, "sssRsss");
    link_.SwitchOff();
    EXPECT_EQ(unit_.Commands(), "r");
}

TEST_F(PowerSupplyLinkTest, UnpluggedHeadSwitchesOffOnce)
{
    link_.Activate();
    unit_.Commands();
    ASSERT_TRUE(Deliver(SimSupply::Reply('A', 0x00, 0, 0, 0)));
    EXPECT_EQ(link_.Message(), HeadUnpluggedText);
    EXPECT_FALSE(link_.ActiveChosen());
    EXPECT_EQ(unit_.Commands(), "rs");
    ASSERT_TRUE(Deliver(SimSupply::Reply('A', 0x00, 0, 0, 0)));
    EXPECT_EQ(unit_.Commands(), "s");
}

TEST_F(PowerSupplyLinkTest, SplitRepliesWaitForTheRestAndNoiseIsSkipped)
{
    link_.Activate();
    unit_.Commands();
    const QByteArray reply = SimSupply::Reply('A', 0x30, 100, 200, 300);
    // Half a reply is no reply: it must not read as "head unplugged".
    EXPECT_FALSE(Deliver(reply.left(3)));
    EXPECT_TRUE(link_.ActiveChosen());
    EXPECT_TRUE(link_.Message().isEmpty());
    EXPECT_TRUE(Deliver(reply.mid(3)));
    EXPECT_EQ(link_.Button(), TPowerSupplyLink::ButtonColor::Green);
    EXPECT_EQ(unit_.Commands(), "s");
    // Stray bytes before a record are dropped; two records in one read are both taken.
    EXPECT_TRUE(Deliver(QByteArray("\x01\x02", 2) + SimSupply::Reply('B', 0x10, 0, 0, 0) +
                        SimSupply::Reply('A', 0x30, 0, 0, 0)));
    EXPECT_EQ(link_.VoltagesB(), "2.439 V\r2.439 V\r2.439 V");
    EXPECT_EQ(unit_.Commands(), "ss");
}

TEST_F(PowerSupplyLinkTest, LostReplyIsAskedForAgainAfterASecond)
{
    now_ += 500;
    EXPECT_FALSE(link_.Poll(now_));
    now_ += 499;
    EXPECT_FALSE(link_.Poll(now_));
    now_ += 1;
    EXPECT_FALSE(link_.Poll(now_));
    EXPECT_EQ(unit_.Commands(), "s");
    ASSERT_TRUE(Deliver(SimSupply::Reply('A', 0x10, 0, 0, 0)));
    EXPECT_EQ(unit_.Commands(), "s");
}

TEST(SerialPort, OpenIsExclusiveAndSettingsComeFromThePowerSection)
{
    SimSupply unit;
    ASSERT_TRUE(unit.Ok());
    TSerialSettings s;
    s.Device = unit.SlavePath();
    TSerialPort first;
    ASSERT_TRUE(first.Open(s));
    TSerialPort second;
    if (geteuid() != 0) { // root may open an exclusive terminal anyway
        EXPECT_FALSE(second.Open(s));
    }
    first.Close();
    EXPECT_TRUE(second.Open(s));

    TSerialPort missing;
    s.Device = "/dev/does-not-exist-qvt";
    EXPECT_FALSE(missing.Open(s));

    test::TempDir dir;
    TQVTIniFile ini(dir.WriteFile("qvt.ini", "[PowerFkt1]\nComPort=2\nBaud=19200\n"));
    int com = 0;
    const TSerialSettings read = ReadPowerSerialSettings(ini, com);
    EXPECT_EQ(com, 2);
    EXPECT_EQ(read.Device, "/dev/ttyS1");
    EXPECT_EQ(read.Baud, 19200);
    EXPECT_EQ(read.DataBits, 8);
    EXPECT_EQ(read.Parity, 'N');
}

} // namespace
} // namespace qvt
