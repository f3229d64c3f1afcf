// The instrument and window statements on the fake device: what reaches the
// controls, the link and the data file, and the errors of their arguments.

#include "script/ScriptFakeDevice.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <gtest/gtest.h>

using namespace qvt;
using namespace qvt::test;

namespace {

QByteArray Program(const QByteArray& body)
{
    return "BEGIN\r\n" + body + "\r\nEND.\r\n";
}

bool Logged(const TFakeScriptDevice& device, const QString& line)
{
    return device.Log().contains(line);
}

} // namespace

TEST(ScriptControls, ControlsAreReachedByNameAndAMissingOrRedOneIsError31)
{
    TFakeScriptRig rig;
    ArrangeWindows(rig.Device);

    SCOPED_TRACE("each scan and feedback name reaches its edit");
    EXPECT_EQ(rig.RunText(Program("SCANPARA('range', 2000); SCANPARA('Pixel', 64); FEEDPARA('ki', 3.5); "
                                  "MOVE('Y', -20);")),
              0);
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::ScanPara + "/Edit3"], "2000");
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::ScanPara + "/ComboBox1"], "64");
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::ScanPara + "/Edit5"], "3.5");
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::ScanPara + "/Edit8"], "-20");

    // A window that does not exist yet fails cleanly.
    rig.Device.Controls.erase(ScriptWindows::Spekt + "/Edit3");
    EXPECT_EQ(rig.RunText(Program("SPECTPARA(3, 1);")), ErrOutOfRange);
    rig.Device.RedControls.insert(ScriptWindows::ScanPara + "/Edit4");
    EXPECT_EQ(rig.RunText(Program("SCANPARA('SPEED', -1);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("SCANPARA('ZOOM', 1);")), ErrFirstParameter);
    EXPECT_EQ(rig.RunText(Program("FEEDPARA('GAIN', 1);")), ErrFirstParameter);

    SCOPED_TRACE("SPECTPARA: 0..100, an unknown name does nothing");
    EXPECT_EQ(rig.RunText(Program("SPECTPARA(101, 1);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("SPECTPARA('COLOUR', 1); SPECTPARA(0, 2.4);")), 0);
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::Spekt + "/ComboBox1"], "2");

    SCOPED_TRACE("menus: a separator or a negative item is error 31");
    EXPECT_EQ(rig.RunText(Program("MOVE('APPROACH', 4);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("MOVE('APPROACH', -1);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("MOVE('RETRACT', 2);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("MOVE('retract', 1); SCANPARA('1D', 0);")), 0);
    EXPECT_TRUE(Logged(rig.Device, "menu ScanParaForm/PopupMenu2 One Step"));
    EXPECT_TRUE(Logged(rig.Device, "menu MainQVTForm/ScanPopup 2D"));

    SCOPED_TRACE("GETFEEDPARA takes the edit's text as a number");
    rig.Device.Controls[ScriptWindows::ScanPara + "/Edit2"] = "1,5";
    EXPECT_EQ(rig.RunText(Program("GETFEEDPARA('BIAS'); WRITELN(C);")), 0);
    EXPECT_EQ(rig.Device.Memo().last(), "1.5");
    rig.Device.Controls[ScriptWindows::ScanPara + "/Edit2"] = "high";
    EXPECT_EQ(rig.RunText(Program("GETFEEDPARA('BIAS');")), ErrNoFloat);
    EXPECT_EQ(rig.RunText(Program("GETFEEDPARA('SPEED');")), ErrFirstParameter);
}

TEST(ScriptControls, AutoSaveStoresTheSettingAndClicksTheSaveButton)
{
    TFakeScriptRig rig;
    ArrangeWindows(rig.Device);
    ASSERT_NE(UserIni, &rig.Ini());
    EXPECT_EQ(rig.RunText(Program("SCANPARA('AUTOSAVE', 1); DNCPARA('autosave', 1);")), 0);
    EXPECT_TRUE(rig.Ini().ReadBool("Save", "AutoSaveScan", false));
    EXPECT_TRUE(rig.Ini().ReadBool("dncopt", "AutoSave", false));
    // The click carries no state: the button's own handler sets it from the setting.
    EXPECT_TRUE(Logged(rig.Device, "set MainQVTForm/SaveButton "));
    EXPECT_TRUE(Logged(rig.Device, "set dncForm/SaveButton "));

    SCOPED_TRACE("a frame that was not saved (refused, or the script stopped) is not noted as saved");
    rig.Ini().WriteString("Save", "Path", "D:\\scans");
    rig.Ini().WriteString("Save", "LastFile", "img0006");
    EXPECT_EQ(rig.RunText(Program("SCANIMAGE;")), 0);
    EXPECT_EQ(rig.DataLines(), QStringList{});

    SCOPED_TRACE("a scan whose frame was saved at its end notes the image in the data file");
    rig.Device.OnFrame = [&rig] { rig.Ini().WriteString("Save", "LastFile", "img0007"); };
    EXPECT_EQ(rig.RunText(Program("SCANIMAGE;")), 0);
    EXPECT_EQ(rig.DataLines(), QStringList{"#Saved Image as: \"D:\\scans\\img0007.txt"});
}

TEST(ScriptInstrument, ChannelsPulsesAndMoves)
{
    TFakeScriptRig rig;
    ArrangeWindows(rig.Device);
    const TChannelTable saved = ChannelTable;
    ChannelTable[FirstAdcSlot + 4].Address = 12;
    ChannelTable[FirstAdcSlot + 4].Offset = 100;
    ChannelTable[FirstAdcSlot + 4].Factor = 0.5f;
    ChannelTable[3].Offset = -10;
    ChannelTable[3].Factor = 2.0f;
    rig.Device.Registers[12] = 300;
    rig.Device.Registers[7] = 42;
    rig.Device.Registers[-3] = 30;

    SCOPED_TRACE("GETCHANNEL: the ADC of that address, the raw value, a DAC");
    EXPECT_EQ(rig.RunText(Program("GETCHANNEL(12); WRITELN(C); GETCHANNEL(7); WRITELN(C); GETCHANNEL(-3); "
                                  "WRITELN(C);")),
              0);
    EXPECT_EQ(rig.Device.Memo(), (QStringList{"200", "42", "40"}));
    EXPECT_EQ(rig.RunText(Program("GETCHANNEL(-30);")), ErrParameter);
    ChannelTable = saved;

    SCOPED_TRACE("SETCHANNEL 9 writes register 41 limited to 0..511");
    EXPECT_EQ(rig.RunText(Program("SETCHANNEL(9, 600); SETCHANNEL(9, -4); SETCHANNEL(3, 0.75);")), 0);
    EXPECT_TRUE(Logged(rig.Device, "write 41 511"));
    EXPECT_TRUE(Logged(rig.Device, "write 41 0"));
    EXPECT_TRUE(Logged(rig.Device, "dac 3 0.75"));

    SCOPED_TRACE("VPULSE: t = 0 leaves U applied, a negative time is none, a long pulse restores the bias");
    EXPECT_EQ(rig.RunText(Program("VPULSE(0, 1.5);")), 0);
    QStringList log = rig.Device.Log();
    EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"bias 1.5", "delay 0"}));
    EXPECT_EQ(rig.RunText(Program("VPULSE(-2, 1);")), 0);
    log = rig.Device.Log();
    EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"bias 1", "delay 0"}));
    const double before = rig.Device.Clock();
    EXPECT_EQ(rig.RunText(Program("VPULSE(0.5, 2);")), 0);
    log = rig.Device.Log();
    EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"bias 2", "bias 0.25"}));
    EXPECT_NEAR(rig.Device.Clock() - before, 0.5, 1e-9);

    SCOPED_TRACE("GOXY inside the frame; MOVE steps the coarse motor");
    EXPECT_EQ(rig.RunText(Program("GOXY(0.25, 1); MOVE('cx', -7); MOVE('CZ', 2000000);")), 0);
    EXPECT_TRUE(Logged(rig.Device, "goxy 250 1000"));
    EXPECT_TRUE(Logged(rig.Device, "steps X -7"));
    EXPECT_TRUE(Logged(rig.Device, "steps Z 1000000"));
    EXPECT_EQ(rig.RunText(Program("GOXY(0.5, -0.1);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("MOVE('CQ', 1);")), ErrFirstParameter);

    SCOPED_TRACE("DNCPARA: input gain 100 only where the lock-in has it");
    rig.Device.Hidden.insert(ScriptWindows::Dnc + "/InputRadio100");
    EXPECT_EQ(rig.RunText(Program("DNCPARA('INPUTGAIN', 100);")), ErrInputGain);
    EXPECT_EQ(rig.RunText(Program("DNCPARA('INPUTGAIN', 10); DNCPARA(5, 1); DNCPARA(50, 1);")), 0);
    EXPECT_EQ(rig.Device.Controls[ScriptWindows::Dnc + "/InputRadio10"], "1");
    EXPECT_EQ(rig.RunText(Program("DNCPARA(0, 1);")), ErrOutOfRange);
}

// Every statement whose number has a range takes the limit itself and refuses
// (error 31 or 18) or limits one step beyond, as its rule says.
TEST(ScriptInstrument, NumbersAreTakenAtTheirLimitsAndNotOneStepBeyond)
{
    TFakeScriptRig rig;
    ArrangeWindows(rig.Device);
    rig.Device.Controls[ScriptWindows::Spekt + "/Edit100"] = "0";
    const int16_t pixels = ScanParams.Pixels;
    const int16_t line = ScanParams.CurrentLine;
    ScanParams.Pixels = 128;

    struct TCase {
        const char* Statement;
        int Error;
        const char* Logged; // the last line the device saw, when it was reached
    };
    const TCase cases[] = {
        {"GOXY(0, 0);", 0, "goxy 0 0"},
        {"GOXY(1, 1);", 0, "goxy 1000 1000"},
        {"GOXY(1.0001, 0.5);", ErrOutOfRange, nullptr},
        {"GOXY(-0.0001, 0.5);", ErrOutOfRange, nullptr},
        {"GOXY(0.5, 1.0001);", ErrOutOfRange, nullptr},
        {"GOXY(0.5, -0.0001);", ErrOutOfRange, nullptr},
        {"SPECTPARA(100, 2);", 0, "set SpektForm/Edit100 2"},
        {"SPECTPARA(100.4, 3);", ErrOutOfRange, nullptr},
        {"SPECTPARA(0, 1);", 0, "set SpektForm/ComboBox1 1"},
        {"SPECTPARA(-0.1, 1);", ErrOutOfRange, nullptr},
        {"DNCPARA(1, 5);", 0, "set dncForm/Edit1 5"},
        {"DNCPARA(0.9, 5);", ErrOutOfRange, nullptr},
        {"DNCPARA(100, 5);", 0, nullptr},
        {"DNCPARA(100.1, 5);", ErrOutOfRange, nullptr},
        {"MOVE('APPROACH', 0);", 0, "menu ScanParaForm/PopupMenu1 Piezo"},
        {"MOVE('APPROACH', -0.1);", ErrOutOfRange, nullptr},
        {"MOVE('APPROACH', 3);", 0, "menu ScanParaForm/PopupMenu1 Fast Approach"},
        {"SETCHANNEL(9, 511);", 0, "write 41 511"},
        {"SETCHANNEL(9, 512);", 0, "write 41 511"},
        {"SETCHANNEL(9, 0);", 0, "write 41 0"},
        {"SETCHANNEL(9, -1);", 0, "write 41 0"},
        {"GETCHANNEL(-25);", 0, "read -25"},
        {"GETCHANNEL(-26);", ErrParameter, nullptr},
        {"SCANPARA('LINENR', 10);", 0, nullptr},
        {"SCANPARA('LINENR', 127);", 0, nullptr},
        {"SCANPARA('LINENR', 9.99);", 0, nullptr},
        {"SCANPARA('LINENR', 9);", ErrOutOfRange, nullptr},
        {"SCANPARA('LINENR', 127.99);", 0, nullptr},
        {"SCANPARA('LINENR', 128);", ErrOutOfRange, nullptr},
        // Pulses shorter than 10 ms are the controller's delay; from 10 ms on the thread sleeps.
        {"VPULSE(0.0099, 1);", 0, "bias 0.25"},
        {"VPULSE(0.01, 1);", 0, "bias 0.25"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Statement);
        const qsizetype before = rig.Device.Log().size();
        EXPECT_EQ(rig.RunText(Program(c.Statement)), c.Error);
        const QStringList log = rig.Device.Log();
        if (c.Logged != nullptr) {
            ASSERT_GT(log.size(), before);
            EXPECT_EQ(log.last(), c.Logged);
        }
        if (c.Error != 0) {
            EXPECT_EQ(log.size(), before) << "nothing reached the device";
        }
    }

    // The line number is taken as given: 10 and 127 both.
    EXPECT_EQ(rig.RunText(Program("SCANPARA('LINENR', 127);")), 0);
    EXPECT_EQ(ScanParams.CurrentLine.load(), 127);
    EXPECT_EQ(rig.RunText(Program("SCANPARA('LINENR', 10);")), 0);
    EXPECT_EQ(ScanParams.CurrentLine.load(), 10);

    // Where a pulse goes: 9.9 ms to the controller's delay, 10 ms to a sleep.
    EXPECT_EQ(rig.RunText(Program("VPULSE(0.0099, 1);")), 0);
    QStringList log = rig.Device.Log();
    EXPECT_EQ(log.mid(log.size() - 3), (QStringList{"bias 1", "delay 9900", "bias 0.25"}));
    const double before = rig.Device.Clock();
    EXPECT_EQ(rig.RunText(Program("VPULSE(0.01, 1);")), 0);
    log = rig.Device.Log();
    EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"bias 1", "bias 0.25"}));
    EXPECT_NEAR(rig.Device.Clock() - before, 0.01, 1e-9);

    ScanParams.Pixels = pixels;
    ScanParams.CurrentLine = line;
}

TEST(ScriptScans, WaitsForTheFrameAndPausesAFastScanThatTookTooLong)
{
    TFakeScriptRig rig;
    const int16_t pixels = ScanParams.Pixels;
    const float speed = ScanParams.Speed;
    const int16_t line = ScanParams.CurrentLine;
    ScanParams.Pixels = 128;
    ScanParams.Speed = 2.0f;

    EXPECT_EQ(rig.RunText(Program("SCANIMAGE; WRITELN('next');")), 0);
    EXPECT_EQ(rig.Device.WaitTimeout(), 128 / 2 * 4000 + 1000);
    EXPECT_EQ(rig.Device.Memo(), QStringList{"next"});

    SCOPED_TRACE("a crawl waits without limit; SCANLINE too, then the scan pauses");
    ScanParams.Speed = 0.05f;
    EXPECT_EQ(rig.RunText(Program("SCANIMAGE;")), 0);
    EXPECT_EQ(rig.Device.WaitTimeout(), -1);
    ScanParams.Speed = 50.0f;
    EXPECT_EQ(rig.RunText(Program("SCANLINE(3);")), 0);
    EXPECT_EQ(rig.Device.WaitTimeout(), -1);
    EXPECT_EQ(ScanParams.LinesLeft.load(), 3);
    EXPECT_EQ(rig.Device.Log().last(), "pause");

    SCOPED_TRACE("a start the program refuses is error 31, its words in the memo, and nothing waits");
    rig.Device.Starts = false;
    rig.Device.Refusal = "Scan was not paused!?";
    for (const char* statement : {"SCANLINE(3);", "SCANIMAGE;", "SPECTSTART;", "DNCSTART;"}) {
        const int before = static_cast<int>(rig.Device.Log().size());
        EXPECT_EQ(rig.RunText(Program(QByteArray(statement) + " WRITELN('next');")), ErrOutOfRange) << statement;
        EXPECT_EQ(rig.Device.Memo().mid(rig.Device.Memo().size() - 2, 1), QStringList{"Scan was not paused!?"});
        EXPECT_EQ(rig.Device.Log().size(), before + 1) << statement << ": no wait, no pause";
    }
    rig.Device.Starts = true;
    rig.Device.Refusal.clear();

    SCOPED_TRACE("the fast scan's time-out stops the scan it reports as stopped");
    rig.Device.FastButton = true;
    rig.Device.FrameArrives = false;
    EXPECT_EQ(rig.RunText(Program("SCANIMAGE;")), 0);
    EXPECT_EQ(rig.Device.Log().last(), "pause");
    EXPECT_EQ(rig.Device.Memo().last(), "Fast Scan took too long! Scan was stopped!");

    SCOPED_TRACE("LINENR lies between 9 and the pixel count");
    EXPECT_EQ(rig.RunText(Program("SCANPARA('LINENR', 40);")), 0);
    EXPECT_EQ(ScanParams.CurrentLine.load(), 40);
    EXPECT_EQ(rig.RunText(Program("SCANPARA('LINENR', 9);")), ErrOutOfRange);
    EXPECT_EQ(rig.RunText(Program("SCANPARA('LINENR', 128);")), ErrOutOfRange);

    ScanParams.Pixels = pixels;
    ScanParams.Speed = speed;
    ScanParams.CurrentLine = line;
    ScanParams.LinesLeft = 0;
}

TEST(ScriptDataFiles, FileNameStampsTheNameAndStartsANewFile)
{
    TFakeScriptRig rig;
    // 2 January 2026, 03:04:05: day 46024 since 30 December 1899.
    const qint64 stamp = 46024LL * 86400 + 3 * 3600 + 4 * 60 + 5;
    EXPECT_EQ(StampedDataName("run", rig.Device.Now), "run_" + QString::number(stamp));
    EXPECT_EQ(rig.RunText(Program("WRITELN('first'); FILENAME('run'); WRITELN('second'); LINE('t', 1, 2);")), 0);
    EXPECT_EQ(rig.Thread().DataName(), "run_" + QString::number(stamp));
    EXPECT_EQ(rig.DataLines(), (QStringList{"second", "# Point, LineIndex, Time, Ukelvin, X, Y, Z, Slope", QString()}));
    QFile first(rig.Folder() + "data/NoName.txt");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll(), "first\r\n");

    SCOPED_TRACE("WAIT follows the clock");
    const double before = rig.Device.Clock();
    EXPECT_EQ(rig.RunText(Program("WAIT(2.5);")), 0);
    EXPECT_NEAR(rig.Device.Clock() - before, 2.5, 1e-9);
}
