#include "core/IniFile.h"

#include "core/Startup.h"
#include "platform/MessageBoxes.h"
#include "support/FullDisk.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using qvt::TQVTIniFile;
using qvt::test::TempDir;

namespace {
const QString kMicro = QString(QChar(0x00B5));
}

TEST(IniFile, ReadsCaseInsensitivelyTrimmedAndUnquoted)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "; header comment\n"
                                                "[Main]\n"
                                                "  DeviceDriverName =  SIM  \n"
                                                "Label28Pre=\"  Z: \"\n"
                                                "Empty=\n"
                                                "Dup=first\n"
                                                "DUP=second\n"
                                                "[main]\n"
                                                "Other=later section\n");
    TQVTIniFile ini(path);
    EXPECT_TRUE(ini.Exists());
    EXPECT_EQ(ini.ReadString("MAIN", "devicedrivername", "x"), "SIM");
    EXPECT_EQ(ini.ReadString("Main", "Label28Pre", "x"), "  Z: ");
    EXPECT_EQ(ini.ReadString("Main", "Empty", "x"), "");
    EXPECT_EQ(ini.ReadString("Main", "dup", "x"), "first");
    EXPECT_EQ(ini.ReadString("Main", "Other", "x"), "x"); // the first of duplicate sections wins
    EXPECT_EQ(ini.ReadString("Nope", "Dup", "x"), "x");
    EXPECT_EQ(ini.ReadSections(), QStringList({"Main"}));
    EXPECT_EQ(ini.ReadSection("MAIN"), QStringList({"DeviceDriverName", "Label28Pre", "Empty", "Dup"}));
    EXPECT_TRUE(ini.SectionExists("mAiN"));
    EXPECT_TRUE(ini.ValueExists("main", "EMPTY"));
    EXPECT_FALSE(ini.ValueExists("main", "Missing"));
}

TEST(IniFile, KeepsCommentsOrderAndSpellingOnWrite)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "; settings\n"
                                                "[Main]\n"
                                                "Width=10\n"
                                                "; about height\n"
                                                "Height=\"20\"\n"
                                                "\n"
                                                "[Scan]\n"
                                                "Speed=1\n");
    TQVTIniFile ini(path);
    ini.WriteInteger("MAIN", "width", 11);
    ini.WriteString("Main", "Depth", "5");
    ini.WriteFloat("New", "Gain", 2.5);
    ini.WriteBool("Scan", "Fast", true);
    EXPECT_EQ(dir.ReadFile("a.ini"), QByteArray("; settings\r\n"
                                                "[Main]\r\n"
                                                "Width=11\r\n"
                                                "; about height\r\n"
                                                "Height=\"20\"\r\n"
                                                "Depth=5\r\n"
                                                "\r\n"
                                                "[Scan]\r\n"
                                                "Speed=1\r\n"
                                                "Fast=1\r\n"
                                                "\r\n"
                                                "[New]\r\n"
                                                "Gain=2.5\r\n"));
    EXPECT_EQ(ini.ReadInteger("Main", "Height", 0), 20);

    ini.DeleteKey("main", "HEIGHT");
    ini.EraseSection("scan");
    EXPECT_EQ(dir.ReadFile("a.ini"), QByteArray("; settings\r\n"
                                                "[Main]\r\n"
                                                "Width=11\r\n"
                                                "; about height\r\n"
                                                "Depth=5\r\n"
                                                "\r\n"
                                                "[New]\r\n"
                                                "Gain=2.5\r\n"));

    // A line break in a value would plant a key of its own.
    ini.WriteString("Main", "Note", "a\r\nInjected=1");
    EXPECT_FALSE(ini.ValueExists("Main", "Injected"));
    EXPECT_EQ(TQVTIniFile(path).ReadString("Main", "Note", ""), "a  Injected=1");
}

TEST(IniFile, DeletingRemovesEveryDuplicate)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "[A]\r\nK=1\r\nk=2\r\n[B]\r\nX=1\r\n[a]\r\nK=3\r\n");
    TQVTIniFile ini(path);
    ini.DeleteKey("A", "K");
    EXPECT_FALSE(ini.ValueExists("A", "K"));
    ini.EraseSection("A");
    EXPECT_FALSE(ini.SectionExists("A"));
    EXPECT_EQ(dir.ReadFile("a.ini"), QByteArray("[B]\r\nX=1\r\n"));
}

TEST(IniFile, ReadsNumbersWithEitherSeparatorAndFallsBackOnBadText)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "[N]\r\n"
                                                "Comma=2,5\r\nPoint=2.5\r\nBlanks= 2.5 \r\nExp=1e-3\r\n"
                                                "Text=abc\r\nGrouped=1.234,5\r\nInf=inf\r\nNan=nan\r\nHex=0x1p3\r\n"
                                                "Int=-42\r\nHexInt=0x1F\r\nDollar=$FF\r\nAllBits=0xFFFFFFFF\r\n"
                                                "Big=2147483648\r\nMin=-2147483648\r\nIntGarbage=12abc\r\n"
                                                "On=1\r\nOff=0\r\nWord=true\r\nMinusOne=-1\r\nTwo=2\r\n");
    TQVTIniFile ini(path);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "Comma", -1), 2.5);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "Point", -1), 2.5);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "Blanks", -1), 2.5);
    EXPECT_DOUBLE_EQ(ini.ReadFloat("N", "Exp", -1), 1e-3);
    for (const char* key : {"Text", "Grouped", "Inf", "Nan", "Hex", "Missing"})
        EXPECT_EQ(ini.ReadFloat("N", key, -1), -1) << key;

    EXPECT_EQ(ini.ReadInteger("N", "Int", 0), -42);
    EXPECT_EQ(ini.ReadInteger("N", "HexInt", 0), 31);
    EXPECT_EQ(ini.ReadInteger("N", "Dollar", 0), 255);
    EXPECT_EQ(ini.ReadInteger("N", "AllBits", 0), -1);
    EXPECT_EQ(ini.ReadInteger("N", "Big", 7), 7);
    EXPECT_EQ(ini.ReadInteger("N", "Min", 7), -2147483647 - 1);
    EXPECT_EQ(ini.ReadInteger("N", "IntGarbage", 7), 7);
    EXPECT_EQ(ini.ReadInteger("N", "Comma", 7), 7);

    EXPECT_TRUE(ini.ReadBool("N", "On", false));
    EXPECT_FALSE(ini.ReadBool("N", "Off", true));
    // Any number but 0 is on: a switch written as -1 (true of older programs) or 2 is on.
    EXPECT_TRUE(ini.ReadBool("N", "MinusOne", false));
    EXPECT_TRUE(ini.ReadBool("N", "Two", false));
    EXPECT_TRUE(ini.ReadBool("N", "Word", true));
    EXPECT_FALSE(ini.ReadBool("N", "Word", false));

    ini.WriteFloat("N", "Written", 0.1);
    EXPECT_TRUE(dir.ReadFile("a.ini").contains("\r\nWritten=0.1\r\n"));
    EXPECT_EQ(ini.ReadFloat("N", "Written", 0), 0.1);
}

TEST(IniFile, PicksUpEditsMadeOutsideTheProgram)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "[S]\r\nStep=10\r\n");
    TQVTIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("S", "Step", 0), 10);

    dir.WriteFile("a.ini", "[S]\r\nStep=11\r\n"); // same size, same moment, in place
    EXPECT_EQ(ini.ReadInteger("S", "Step", 0), 11);

    // Another program's atomic rewrite.
    dir.WriteFile("b.ini", "[S]\r\nStep=123\r\n");
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(dir.Path() + "b.ini", path));
    EXPECT_EQ(ini.ReadInteger("S", "Step", 0), 123);

    // Our write keeps the other program's edit of another key.
    dir.WriteFile("a.ini", "[S]\r\nStep=123\r\nSpeed=4\r\n");
    ini.WriteInteger("S", "Step", 124);
    EXPECT_EQ(dir.ReadFile("a.ini"), QByteArray("[S]\r\nStep=124\r\nSpeed=4\r\n"));

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_FALSE(ini.Exists());
    EXPECT_EQ(ini.ReadInteger("S", "Step", -1), -1);
}

TEST(IniFile, KeepsTheEncodingTheFileWasReadIn)
{
    TempDir dir;
    // Windows-1252: the micro sign is the single byte 0xB5.
    const QString legacy = dir.WriteFile("legacy.ini", "[Unit]\r\nName=\xB5m\r\n");
    TQVTIniFile ini(legacy);
    EXPECT_EQ(ini.ReadString("Unit", "Name", ""), kMicro + "m");
    ini.WriteString("Unit", "Other", kMicro + "V");
    EXPECT_EQ(dir.ReadFile("legacy.ini"), QByteArray("[Unit]\r\nName=\xB5m\r\nOther=\xB5V\r\n"));

    // A character Windows-1252 lacks switches the file to UTF-8 instead of losing it.
    const QString omega = QString(QChar(0x03A9));
    ini.WriteString("Unit", "R", omega);
    EXPECT_EQ(dir.ReadFile("legacy.ini"), QByteArray("[Unit]\r\nName=\xC2\xB5m\r\nOther=\xC2\xB5V\r\nR=\xCE\xA9\r\n"));
    EXPECT_EQ(TQVTIniFile(legacy).ReadString("Unit", "Name", ""), kMicro + "m");
    EXPECT_EQ(TQVTIniFile(legacy).ReadString("Unit", "R", ""), omega);

    // UTF-8 stays UTF-8.
    const QString modern = dir.WriteFile("modern.ini", "[Unit]\nName=\xC2\xB5m\n");
    TQVTIniFile utf8(modern);
    EXPECT_EQ(utf8.ReadString("Unit", "Name", ""), kMicro + "m");
    utf8.WriteString("Unit", "Other", kMicro + "V");
    EXPECT_EQ(dir.ReadFile("modern.ini"), QByteArray("[Unit]\r\nName=\xC2\xB5m\r\nOther=\xC2\xB5V\r\n"));

    // New files are Windows-1252, bytes 0x80..0x9F included.
    TQVTIniFile fresh(dir.Path() + "new.ini");
    fresh.WriteString("Unit", "Name", kMicro + "m " + QChar(0x20AC));
    EXPECT_EQ(dir.ReadFile("new.ini"), QByteArray("[Unit]\r\nName=\xB5m \x80\r\n"));
}

TEST(IniFile, UnicodeFilesWithAByteOrderMarkStayUtf16)
{
    const auto utf16 = [](const QString& text, bool littleEndian) {
        QByteArray bytes = littleEndian ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
        for (const QChar c : text) {
            const char hi = char(c.unicode() >> 8);
            const char lo = char(c.unicode() & 0xFF);
            bytes += littleEndian ? QByteArray{&lo, 1} + QByteArray{&hi, 1} : QByteArray{&hi, 1} + QByteArray{&lo, 1};
        }
        return bytes;
    };
    // 0x0A0A holds two LF bytes: a byte-wise reader would split lines there.
    const QString odd = QString(QChar(0x0A0A));
    const QString before = "; edited in Notepad\r\n[Unit]\r\nName=" + kMicro + "m\r\nTag=" + odd + "\r\n";
    for (const bool littleEndian : {true, false}) {
        TempDir dir;
        const QString path = dir.WriteFile("u.ini", utf16(before, littleEndian));
        TQVTIniFile ini(path);
        EXPECT_EQ(ini.ReadString("Unit", "Name", ""), kMicro + "m");
        EXPECT_EQ(ini.ReadString("Unit", "Tag", ""), odd);
        ini.WriteString("Unit", "Other", kMicro + "V");
        EXPECT_EQ(dir.ReadFile("u.ini"), utf16(before + "Other=" + kMicro + "V\r\n", littleEndian)) << littleEndian;
        EXPECT_EQ(TQVTIniFile(path).ReadString("Unit", "Other", ""), kMicro + "V");
    }

    // A broken file (an odd number of bytes, a lone surrogate) is read, but
    // never written over.
    TempDir dir;
    for (const QByteArray& broken :
         {utf16("[Unit]\r\nName=x\r\n", true) + 'y',
          utf16("[Unit]\r\nName=", true) + QByteArray("\x00\xD8", 2) + utf16("x\r\n", true).mid(2)}) {
        const QString path = dir.WriteFile("broken.ini", broken);
        TQVTIniFile ini(path);
        EXPECT_EQ(ini.ReadString("Unit", "Missing", "def"), "def");
        ini.WriteString("Unit", "Other", "1");
        EXPECT_EQ(dir.ReadFile("broken.ini"), broken);
    }
}

TEST(IniFile, MissingOrGarbledFilesGiveDefaults)
{
    TempDir dir;
    TQVTIniFile missing(dir.Path() + "none.ini");
    EXPECT_FALSE(missing.Exists());
    EXPECT_EQ(missing.ReadString("Main", "Key", "def"), "def");
    EXPECT_EQ(missing.ReadFloat("Main", "Key", 1.5), 1.5);
    EXPECT_TRUE(missing.ReadSections().isEmpty());
    EXPECT_TRUE(missing.ReadSection("Main").isEmpty());

    static const char kHead[] = "\x00\xFF\xFE[\x01=\x02\n=novalue\n[unterminated\nkey\n\xC3(\n";
    QByteArray garbage(kHead, sizeof kHead - 1);
    for (int i = 0; i < 2000; ++i)
        garbage += char((i * 7919) % 256);
    TQVTIniFile garbled(dir.WriteFile("garbage.ini", garbage));
    EXPECT_EQ(garbled.ReadInteger("Main", "Key", 3), 3);
    EXPECT_FALSE(garbled.SectionExists("Main"));

    // A file cut off in the middle of its last line still gives what is there.
    TQVTIniFile truncated(dir.WriteFile("cut.ini", "[Main]\r\nKey=12\r\nOther=3"));
    EXPECT_EQ(truncated.ReadInteger("Main", "Key", 0), 12);
    EXPECT_EQ(truncated.ReadInteger("Main", "Other", 0), 3);

    // Writes that cannot reach the disk are dropped without harm.
    TQVTIniFile nowhere(dir.Path() + "no/such/dir/x.ini");
    nowhere.WriteString("Main", "Key", "1");
    EXPECT_EQ(nowhere.ReadString("Main", "Key", "def"), "def");
    ASSERT_TRUE(QDir().mkpath(dir.Path() + "folder.ini"));
    TQVTIniFile folder(dir.Path() + "folder.ini");
    folder.WriteString("Main", "Key", "1");
    EXPECT_EQ(folder.ReadString("Main", "Key", "def"), "def");
    EXPECT_TRUE(QFileInfo(dir.Path() + "folder.ini").isDir());
}

TEST(IniFile, FormPosLeftStaysOnTheDesktop)
{
    TempDir dir;
    TQVTIniFile ini(dir.WriteFile("a.ini", "[Wide]\r\nFormPosLeft=1400\r\n[Left]\r\nFormPosLeft=-50\r\n"
                                           "[Fits]\r\nFormPosLeft=100\r\n"));
    TQVTIniFile::SetDesktopWidthForTests(1280);
    EXPECT_EQ(ini.ReadFormPosLeft("Wide", 0), 1250);
    EXPECT_EQ(ini.ReadFormPosLeft("Left", 0), -50);
    EXPECT_EQ(ini.ReadFormPosLeft("Fits", 0), 100);
    EXPECT_EQ(ini.ReadFormPosLeft("Missing", 2000), 1250);
    TQVTIniFile::SetDesktopWidthForTests(0);
}

TEST(IniFile, ConcurrentReadersSeeWholeWrites)
{
    TempDir dir;
    const QString path = dir.WriteFile("a.ini", "; shared\r\n[Stepper]\r\nCount=0\r\nTwin=0\r\n");
    TQVTIniFile ini(path);
    TQVTIniFile otherObject(path);
    constexpr int kWrites = 60;
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    auto reader = [&](const TQVTIniFile& file) {
        int last = 0;
        while (!done.load()) {
            const int value = file.ReadInteger("Stepper", "Count", -1);
            if (value < last || value > kWrites || !file.SectionExists("Stepper"))
                ++failures;
            last = std::max(last, value);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back(reader, std::cref(ini));
    threads.emplace_back(reader, std::cref(otherObject));
    std::thread writer([&] {
        for (int i = 1; i <= kWrites; ++i) {
            ini.WriteInteger("Stepper", "Count", i);
            ini.WriteInteger("stepper", "twin", i);
        }
    });
    writer.join();
    done = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(otherObject.ReadInteger("Stepper", "Count", -1), kWrites);
    EXPECT_EQ(dir.ReadFile("a.ini"), QByteArray("; shared\r\n[Stepper]\r\nCount=60\r\nTwin=60\r\n"));
}

TEST(IniFile, AWriteThatCannotBeMadeIsToldOnceAndAReadOnlyFileStaysAsItIs)
{
    qvt::ScriptedMessageResponder boxes;
    TempDir dir;
    const QByteArray original = "[Main]\r\nDDEServerOn=0\r\n";
    const QString path = dir.WriteFile("readonly.ini", original);
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    {
        TQVTIniFile ini(path);
        ini.WriteBool("Main", "DDEServerOn", true);
        ini.WriteInteger("Main", "FormWidth", 800);
        ini.DeleteKey("Main", "DDEServerOn");
        // One box naming the file and why; the rest only goes to the log.
        ASSERT_EQ(boxes.Texts().size(), 1);
        EXPECT_EQ(boxes.Kinds().front(), qvt::MsgKind::Warning);
        EXPECT_EQ(boxes.LastText(), "Settings file " + path + " cannot be written: the file is read-only");
        EXPECT_FALSE(ini.ReadBool("Main", "DDEServerOn", true));
    }
    // Untouched, also for root, whom the system would let replace it.
    EXPECT_EQ(dir.ReadFile("readonly.ini"), original);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(QFileInfo(path).permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther), 0);

    // A file that cannot be written for another reason is told once as well.
    TQVTIniFile nowhere(dir.Path() + "missing/folder/qvt.ini");
    boxes.Clear();
    nowhere.WriteString("Main", "A", "1");
    nowhere.WriteString("Main", "B", "2");
    ASSERT_EQ(boxes.Texts().size(), 1);
    EXPECT_TRUE(
        boxes.LastText().startsWith("Settings file " + dir.Path() + "missing/folder/qvt.ini cannot be written: "));
}

TEST(IniFile, AFullDiskLeavesTheSettingsFileByteForByteAndIsToldOnce)
{
    qvt::ScriptedMessageResponder boxes;
    QStringList logged;
    qvt::SetMessageLog([&logged](const QString& line) { logged << line; });
    TempDir dir;
    const QByteArray original = "; the operator's settings\r\n[Main]\r\nDeviceDriverName=SIM\r\n"
                                "[Feedback]\r\nSet1=0.5\r\n";
    const QString path = dir.WriteFile("full.ini", original);
    {
        TQVTIniFile ini(path);
        const qvt::test::FullDisk full([path](const QString& written) { return written == path; });
        ini.WriteString("Main", "FormWidth", "800");
        ini.WriteInteger("Main", "FormHeight", 600);
        ini.DeleteKey("Main", "DeviceDriverName");
        ini.EraseSection("Feedback");
        EXPECT_EQ(dir.ReadFile("full.ini"), original);
        EXPECT_TRUE(qvt::test::HiddenFiles(dir.Path()).isEmpty()) << "a temporary file was left";
        ASSERT_EQ(boxes.Texts().size(), 1);
        EXPECT_EQ(boxes.LastText(),
                  "Settings file " + path + " cannot be written: " + QString::fromLocal8Bit(strerror(ENOSPC)));
        EXPECT_TRUE(logged.isEmpty()) << "the same trouble again is neither shown nor logged";
        EXPECT_EQ(ini.ReadString("Main", "DeviceDriverName", ""), "SIM");

        // Another kind of trouble with the same file goes to the log, once.
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner));
        ini.WriteString("Main", "FormWidth", "801");
        ini.WriteString("Main", "FormWidth", "802");
        EXPECT_EQ(boxes.Texts().size(), 1);
        EXPECT_EQ(logged.size(), 1);
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    }
    qvt::SetMessageLog({});
    // Room on the disk again: the write lands, everything else kept.
    TQVTIniFile ini(path);
    ini.WriteString("Main", "FormWidth", "800");
    EXPECT_EQ(dir.ReadFile("full.ini"),
              "; the operator's settings\r\n[Main]\r\nDeviceDriverName=SIM\r\nFormWidth=800\r\n"
              "[Feedback]\r\nSet1=0.5\r\n");
    EXPECT_TRUE(qvt::test::HiddenFiles(dir.Path()).isEmpty());
}

TEST(IniFile, AFileThatIsNoSettingsTextIsNeverRewrittenAndAPipeOrDeviceIsCalledWhatItIs)
{
    qvt::ScriptedMessageResponder boxes;
    TempDir dir;
    // Random bytes where the settings were: read as none, kept for recovery.
    QByteArray noise;
    for (int i = 0; i < 6000; ++i)
        noise += char((i * 7919 + 13) % 256);
    const QString noisePath = dir.WriteFile("noise.ini", noise);
    {
        TQVTIniFile ini(noisePath);
        EXPECT_EQ(ini.ReadString("Main", "DeviceDriverName", "none"), "none");
        ini.WriteInteger("MainForm", "FormPosLeft", 10);
        ini.WriteInteger("MainForm", "FormPosTop", 10);
        EXPECT_EQ(dir.ReadFile("noise.ini"), noise);
        ASSERT_EQ(boxes.Texts().size(), 1);
        EXPECT_EQ(boxes.LastText(), "Settings file " + noisePath +
                                        " cannot be written: it holds no settings text, so it is left as it is");
    }

    // A pipe or a link to a device as the main settings file is the one a
    // start takes, and the operator learns what it is, once.
    ASSERT_TRUE(QDir().mkpath(dir.Path() + "ini"));
    const QString fifo = dir.Path() + "ini/qvt.ini";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(qvt::ResolveSettingsFile(dir.Path(), "qvt"), fifo);
    const QString zero = dir.Path() + "zero.ini";
    ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(zero).constData()), 0);
    EXPECT_EQ(qvt::ResolveSettingsFile(dir.Path(), "zero"), zero);
    boxes.Clear();
    {
        TQVTIniFile pipe(fifo);
        TQVTIniFile device(zero);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(pipe.ReadString("Main", "DeviceDriverName", "QVT"), "QVT");
            EXPECT_EQ(device.ReadString("Main", "DeviceDriverName", "QVT"), "QVT");
        }
        pipe.WriteString("Main", "Key", "1");
        device.WriteString("Main", "Key", "1");
        // Boxes other tests' files posted may arrive meanwhile: only these files' count.
        const auto ours = [&boxes, &dir] { return boxes.Texts().filter(dir.Path()); };
        ASSERT_TRUE(qvt::test::PumpUntil([&ours] { return ours().size() >= 2; }));
        qvt::test::PumpUntil([] { return false; }, 50);
        EXPECT_EQ(ours(),
                  QStringList({"Settings file " + fifo +
                                   " refused: it is a pipe (FIFO), no settings file; it is neither read nor written.",
                               "Settings file " + zero +
                                   " refused: it is a device, no settings file; it is neither read nor written."}));
    }
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(QFile::encodeName(zero).constData(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(IniFile, APlaceTheScreenMadeIsNotWrittenOverTheStoredOne)
{
    TempDir dir;
    TQVTIniFile ini(dir.WriteFile("places.ini", "[Tool]\r\nFormPosLeft=1640\r\nFormPosTop=930\r\n"
                                                "[Other]\r\nFormLeft=1644\r\nFormTop=20\r\n"));
    // An 800 px screen cuts the left edge, then the window is moved wholly onto it.
    TQVTIniFile::SetDesktopWidthForTests(800);
    EXPECT_EQ(ini.ReadFormPosLeft("Tool", 0), 770);
    TQVTIniFile::SetDesktopWidthForTests(0);
    TQVTIniFile::NoteScreenMadePlace(true, 770, 560);
    TQVTIniFile::NoteScreenMadePlace(false, 930, 400);
    ini.WriteInteger("Tool", "FormPosLeft", 770);
    ini.WriteInteger("Tool", "FormPosLeft", 560);
    ini.WriteInteger("Tool", "FormPosTop", 400);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosLeft", 0), 1640);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosTop", 0), 930);
    // The move was only the screen's for the place it was made from.
    ini.WriteInteger("Other", "FormLeft", 560);
    ini.WriteInteger("Other", "FormTop", 400);
    EXPECT_EQ(ini.ReadInteger("Other", "FormLeft", 0), 560);
    EXPECT_EQ(ini.ReadInteger("Other", "FormTop", 0), 400);
    // Where the operator puts the window is kept, also on that screen.
    ini.WriteInteger("Tool", "FormPosLeft", 300);
    ini.WriteInteger("Tool", "FormPosTop", 401);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosLeft", 0), 300);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosTop", 0), 401);
}

TEST(IniFile, ASizeTheScreenMadeIsNotWrittenOverTheStoredOneNorWhereNoneWasStored)
{
    TempDir dir;
    TQVTIniFile ini(dir.WriteFile("sizes.ini", "[Main]\r\nFormWidth=1900\r\nFormHeight=1100\r\nFormPosLeft=1900\r\n"
                                               "[Tool]\r\nFormPosTop=5\r\n"));
    TQVTIniFile::NoteScreenMadeSize(true, 1900, 791);
    TQVTIniFile::NoteScreenMadeSize(false, 1100, 583);
    ini.WriteInteger("Main", "FormWidth", 791);
    ini.WriteInteger("Main", "FormHeight", 583);
    EXPECT_EQ(ini.ReadInteger("Main", "FormWidth", 0), 1900);
    EXPECT_EQ(ini.ReadInteger("Main", "FormHeight", 0), 1100);
    // A cut width is no left edge.
    ini.WriteInteger("Main", "FormPosLeft", 791);
    EXPECT_EQ(ini.ReadInteger("Main", "FormPosLeft", 0), 791);
    // A window with no stored size stood at its default, which the screen cut:
    // the default stays, in a section of its own or not.
    ini.WriteInteger("Tool", "FormPosWidth", 791);
    ini.WriteInteger("Tool", "FormPosHeight", 583);
    ini.WriteInteger("New", "FormWidth", 791);
    EXPECT_FALSE(ini.ValueExists("Tool", "FormPosWidth"));
    EXPECT_FALSE(ini.ValueExists("Tool", "FormPosHeight"));
    EXPECT_FALSE(ini.SectionExists("New"));
    // The operator's own size is kept.
    ini.WriteInteger("Main", "FormWidth", 790);
    ini.WriteInteger("Tool", "FormPosHeight", 584);
    EXPECT_EQ(ini.ReadInteger("Main", "FormWidth", 0), 790);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosHeight", 0), 584);
}
