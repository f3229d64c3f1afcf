#include "images/ColorPalette.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "images/PaletteMenu.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qvt;

namespace {

// Blue, green, red of the built-in ramp, worked out with exact decimals.
constexpr uint8_t GoldenRamp[256][3] = {
    {24, 0, 12},     {24, 0, 14},     {24, 0, 17},     {24, 0, 19},     {24, 0, 22},     {24, 1, 25},
    {24, 1, 27},     {24, 1, 30},     {24, 1, 33},     {24, 2, 35},     {24, 2, 38},     {24, 3, 41},
    {24, 3, 43},     {24, 3, 46},     {24, 4, 48},     {24, 4, 51},     {24, 5, 54},     {24, 5, 56},
    {24, 6, 59},     {24, 6, 62},     {24, 7, 64},     {24, 7, 67},     {24, 8, 70},     {24, 9, 72},
    {24, 9, 75},     {24, 10, 77},    {24, 10, 80},    {24, 11, 83},    {24, 12, 85},    {24, 12, 88},
    {24, 13, 91},    {24, 14, 93},    {24, 15, 96},    {24, 15, 99},    {24, 16, 101},   {24, 17, 104},
    {24, 18, 106},   {24, 19, 109},   {24, 19, 112},   {24, 20, 114},   {24, 21, 117},   {24, 22, 120},
    {24, 23, 122},   {24, 24, 125},   {24, 25, 128},   {24, 26, 130},   {24, 26, 133},   {24, 27, 135},
    {28, 28, 138},   {28, 29, 141},   {28, 30, 143},   {28, 31, 146},   {28, 32, 149},   {28, 33, 151},
    {28, 34, 154},   {28, 35, 157},   {28, 37, 159},   {28, 38, 161},   {28, 39, 162},   {28, 40, 163},
    {28, 41, 165},   {28, 42, 166},   {28, 43, 167},   {28, 44, 168},   {28, 45, 170},   {28, 47, 171},
    {28, 48, 172},   {32, 49, 173},   {32, 50, 174},   {32, 51, 176},   {32, 52, 177},   {32, 54, 178},
    {32, 55, 179},   {32, 56, 180},   {32, 57, 181},   {32, 59, 182},   {32, 60, 183},   {32, 61, 185},
    {32, 62, 186},   {32, 64, 187},   {32, 65, 188},   {32, 66, 189},   {32, 68, 190},   {36, 69, 191},
    {36, 70, 192},   {36, 71, 193},   {36, 73, 194},   {36, 74, 195},   {36, 75, 196},   {36, 77, 197},
    {36, 78, 197},   {36, 80, 198},   {36, 81, 199},   {36, 82, 200},   {36, 84, 201},   {40, 85, 202},
    {40, 86, 203},   {40, 88, 204},   {40, 89, 204},   {40, 91, 205},   {40, 92, 206},   {40, 93, 207},
    {40, 95, 207},   {40, 96, 208},   {40, 98, 209},   {40, 99, 210},   {44, 100, 210},  {44, 102, 211},
    {44, 103, 212},  {44, 105, 213},  {44, 106, 213},  {44, 107, 214},  {44, 109, 215},  {44, 110, 215},
    {44, 112, 216},  {44, 113, 216},  {44, 115, 217},  {48, 116, 218},  {48, 117, 218},  {48, 119, 219},
    {48, 120, 219},  {48, 122, 220},  {48, 123, 220},  {48, 125, 221},  {48, 126, 221},  {48, 128, 222},
    {52, 129, 222},  {52, 130, 223},  {52, 132, 223},  {52, 133, 224},  {52, 135, 224},  {52, 136, 225},
    {52, 138, 225},  {52, 139, 225},  {56, 140, 226},  {56, 142, 226},  {56, 143, 226},  {56, 145, 227},
    {56, 146, 227},  {56, 148, 227},  {56, 149, 228},  {56, 150, 228},  {56, 152, 228},  {60, 153, 229},
    {60, 155, 229},  {60, 156, 229},  {60, 157, 229},  {60, 159, 230},  {60, 160, 230},  {60, 161, 230},
    {64, 163, 230},  {64, 164, 230},  {64, 166, 231},  {64, 167, 231},  {64, 168, 231},  {64, 170, 231},
    {64, 171, 231},  {64, 172, 231},  {68, 174, 231},  {68, 175, 231},  {68, 176, 231},  {68, 178, 231},
    {68, 179, 231},  {68, 180, 231},  {68, 181, 231},  {72, 183, 234},  {72, 184, 234},  {72, 185, 234},
    {72, 187, 234},  {72, 188, 234},  {72, 189, 234},  {76, 190, 234},  {76, 192, 234},  {76, 193, 234},
    {76, 194, 234},  {76, 195, 234},  {76, 196, 234},  {76, 198, 234},  {80, 199, 234},  {80, 200, 234},
    {80, 201, 234},  {80, 202, 234},  {80, 203, 234},  {80, 204, 234},  {84, 206, 234},  {84, 207, 234},
    {84, 208, 234},  {84, 209, 234},  {84, 210, 234},  {84, 211, 234},  {88, 212, 234},  {88, 213, 234},
    {88, 214, 235},  {88, 215, 235},  {88, 216, 235},  {88, 217, 235},  {92, 218, 235},  {92, 219, 235},
    {92, 220, 235},  {92, 221, 235},  {92, 222, 235},  {96, 223, 235},  {96, 224, 235},  {96, 225, 235},
    {96, 225, 235},  {96, 226, 235},  {96, 227, 235},  {100, 228, 235}, {100, 229, 235}, {100, 230, 235},
    {100, 230, 235}, {100, 231, 235}, {104, 232, 235}, {104, 233, 235}, {104, 233, 235}, {104, 234, 235},
    {104, 235, 235}, {104, 235, 235}, {108, 236, 235}, {108, 237, 235}, {108, 237, 235}, {108, 238, 235},
    {108, 239, 235}, {112, 239, 235}, {112, 240, 235}, {112, 240, 235}, {112, 241, 235}, {112, 241, 235},
    {116, 242, 235}, {116, 242, 235}, {116, 243, 235}, {116, 243, 235}, {116, 244, 235}, {120, 244, 235},
    {120, 244, 235}, {120, 245, 235}, {120, 245, 235}, {124, 245, 235}, {124, 246, 235}, {124, 246, 235},
    {124, 246, 235}, {124, 247, 235}, {128, 247, 235}, {128, 247, 235}, {128, 247, 235}, {128, 247, 235},
    {128, 247, 235}, {132, 248, 235}, {132, 248, 235}, {132, 248, 235}, {132, 248, 235}, {136, 248, 235},
    {136, 248, 235}, {136, 248, 235}, {136, 248, 235}, {136, 248, 236},
};

// A palette whose entry k is red k, green 255 − k, blue k / 2.
QByteArray RampFile(const char* lineEnd, int entries = 256)
{
    QByteArray text = QByteArray("JASC-PAL") + lineEnd + "0100" + lineEnd + "256" + lineEnd;
    for (int k = 0; k < entries; ++k)
        text += QByteArray::number(k) + ' ' + QByteArray::number(255 - k) + ' ' + QByteArray::number(k / 2) + lineEnd;
    return text;
}

TPaletteReadResult Parse(const QByteArray& text, TColorTable& table)
{
    table = FormulaPalette();
    return ParseJascPalette(text, table);
}

// A JASC file whose first entry line is `entry`.
QByteArray WithFirstEntry(const QByteArray& entry)
{
    QByteArray text = RampFile("\r\n");
    const int start = text.indexOf("\r\n256\r\n") + 7;
    const int end = text.indexOf("\r\n", start);
    return text.left(start) + entry + text.mid(end);
}

// Settings and the palette menu see this file as UserIni for their lifetime.
struct UserIniScope {
    test::TempDir dir;
    TQVTIniFile ini{dir.Path() + "user.ini"};
    TQVTIniFile* previous = UserIni;
    UserIniScope() { UserIni = &ini; }
    ~UserIniScope() { UserIni = previous; }
};

} // namespace

TEST(ColorPalette, FormulaRampMatchesTheGoldenTable)
{
    const TColorTable table = FormulaPalette();
    for (int i = 0; i < PaletteSize; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(table[i].Blue, GoldenRamp[i][0]);
        EXPECT_EQ(table[i].Green, GoldenRamp[i][1]);
        EXPECT_EQ(table[i].Red, GoldenRamp[i][2]);
        EXPECT_EQ(table[i].Reserved, 0);
    }
    EXPECT_EQ(table[0], (TPaletteEntry{24, 0, 12, 0}));
    EXPECT_EQ(table[128], (TPaletteEntry{52, 132, 223, 0}));
    EXPECT_EQ(table[255], (TPaletteEntry{136, 248, 236, 0}));
}

TEST(ColorPalette, ReversedAxisTurnsTheRampButKeepsTheMarkerColours)
{
    const TColorTable formula = FormulaPalette();
    const TPaletteEntry blue{255, 0, 0, 0}, red{0, 0, 255, 0}, green{0, 200, 0, 0};

    const TWindowPalette normal = BuildWindowPalette(TPaletteSetting{}, false);
    EXPECT_EQ(normal.Plain, formula);
    for (int i = 0; i <= 252; ++i)
        EXPECT_EQ(normal.Table[i], formula[i]) << i;
    EXPECT_FALSE(normal.UserPaletteFailed);

    const TWindowPalette reversed = BuildWindowPalette(TPaletteSetting{}, true);
    for (int i = 0; i < PaletteSize; ++i)
        EXPECT_EQ(reversed.Plain[i], formula[255 - i]) << i;
    for (int i = 0; i <= MaxDataIndex; ++i)
        EXPECT_EQ(reversed.Table[i], formula[255 - i]) << i;
    for (const TWindowPalette* p : {&normal, &reversed}) {
        EXPECT_EQ(p->Table[PaletteMarkerBlue], blue);
        EXPECT_EQ(p->Table[PaletteMarkerRed], red);
        EXPECT_EQ(p->Table[PaletteMarkerGreen], green);
    }
}

TEST(JascPalette, ReadsCompleteFilesWhateverTheLineEnds)
{
    TColorTable table;
    for (const char* lineEnd : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(QByteArray(lineEnd).toHex().constData());
        const TPaletteReadResult result = Parse(RampFile(lineEnd), table);
        EXPECT_TRUE(result.Ok);
        EXPECT_TRUE(result.Message.isEmpty());
        EXPECT_EQ(result.Entries, 256);
        EXPECT_EQ(table[0], (TPaletteEntry{0, 255, 0, 0}));
        EXPECT_EQ(table[200], (TPaletteEntry{100, 55, 200, 0}));
        EXPECT_EQ(table[255], (TPaletteEntry{127, 0, 255, 0}));
    }
    // Lines after the 256th entry and a missing last line end do not matter.
    EXPECT_TRUE(Parse(RampFile("\r\n") + "garbage\r\n", table).Ok);
    EXPECT_TRUE(Parse(RampFile("\n").chopped(1), table).Ok);

    // Either decimal separator, rounding half to even, empty parts are 0.
    EXPECT_TRUE(Parse(WithFirstEntry("12,0 13.5 14.5"), table).Ok);
    EXPECT_EQ(table[0], (TPaletteEntry{14, 14, 12, 0}));
    EXPECT_TRUE(Parse(WithFirstEntry(" 7 "), table).Ok);
    EXPECT_EQ(table[0], (TPaletteEntry{0, 7, 0, 0}));
    EXPECT_TRUE(Parse(WithFirstEntry("255"), table).Ok);
    EXPECT_EQ(table[0], (TPaletteEntry{0, 0, 255, 0}));
}

TEST(JascPalette, RefusesMalformedFilesWithTheirMessages)
{
    TColorTable table;
    auto message = [&](const QByteArray& text) {
        const TPaletteReadResult result = Parse(text, table);
        EXPECT_FALSE(result.Ok);
        return result.Message;
    };
    EXPECT_EQ(message(""), "Palette file too short.");
    EXPECT_EQ(message("JASC-PAL\r\n0100\r\n256\r\n"), "Palette file too short.");
    EXPECT_EQ(message("JASC-PAL \r\n0100\r\n256\r\n0 0 0\r\n"), "No JASC-Palette.");
    EXPECT_EQ(message("jasc-pal\r\n0100\r\n256\r\n0 0 0\r\n"), "No JASC-Palette.");
    EXPECT_EQ(message("JASC-PAL\r\n0101\r\n256\r\n0 0 0\r\n"), "Wrong Version.");
    EXPECT_EQ(message("JASC-PAL\r\n0100\r\n16\r\n0 0 0\r\n"), "Not a 256 Color Palette.");

    // Entries that are no colour end the reading without a message; what was
    // read before stays in the table.
    const TPaletteReadResult shortFile = Parse(RampFile("\r\n", 255), table);
    EXPECT_FALSE(shortFile.Ok);
    EXPECT_TRUE(shortFile.Message.isEmpty());
    EXPECT_EQ(shortFile.Entries, 255);
    EXPECT_EQ(table[254], (TPaletteEntry{127, 1, 254, 0}));

    for (const char* bad : {"12  34 56", "256 0 0", "0 -1 0", "0 0 x", "1e999 0 0", "12", "0 0 nan"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(message(WithFirstEntry(bad)), QString());
        EXPECT_EQ(Parse(WithFirstEntry(bad), table).Entries, 0);
    }
}

TEST(JascPalette, UnreadableFileCountsAsTooShort)
{
    ScriptedMessageResponder responder;
    test::TempDir dir;
    TColorTable table;
    EXPECT_EQ(LoadPalette(dir.Path() + "missing.pal", table), 1);
    EXPECT_EQ(responder.Texts(), QStringList{"Palette file too short."});

    responder.Clear();
    EXPECT_EQ(LoadPalette(dir.WriteFile("good.pal", RampFile("\r\n")), table), 0);
    EXPECT_TRUE(responder.Texts().isEmpty());

    const TPaletteSetting user{true, dir.Path() + "missing.pal"};
    const TWindowPalette palette = BuildWindowPalette(user, false);
    EXPECT_TRUE(palette.UserPaletteFailed);
    EXPECT_EQ(palette.Plain, FormulaPalette());
}

TEST(PaletteMenu, ChecksFollowTheSettingAndTheChoiceRebuildsTheWindows)
{
    UserIniScope scope;
    int rebuilds = 0;
    QMenu menu;
    TPaletteMenu palette(&menu, [&] { ++rebuilds; });
    EXPECT_TRUE(palette.StandardPalette()->isChecked());
    EXPECT_FALSE(palette.User1()->isChecked());
    EXPECT_EQ(palette.User1()->text(), "User...");

    palette.UseUserFile("/data/palettes/rainbow.pal");
    EXPECT_TRUE(palette.User1()->isChecked());
    EXPECT_FALSE(palette.StandardPalette()->isChecked());
    EXPECT_EQ(palette.User1()->text(), "User--> /data/palettes/rainbow.pal");
    EXPECT_TRUE(scope.ini.ReadBool("Main", "UseUserColorPalette", false));
    EXPECT_EQ(scope.ini.ReadString("Main", "UserColorPalette", ""), "/data/palettes/rainbow.pal");
    EXPECT_TRUE(scope.dir.ReadFile("user.ini").contains("UserColorPalette=\"/data/palettes/rainbow.pal\""));
    EXPECT_EQ(rebuilds, 1);

    // A window that cannot load the file switches the choice back, but
    // rebuilds nothing.
    TPaletteChoice::Instance().FallBackToStandard();
    EXPECT_TRUE(palette.StandardPalette()->isChecked());
    EXPECT_FALSE(palette.User1()->isChecked());
    EXPECT_FALSE(scope.ini.ReadBool("Main", "UseUserColorPalette", true));
    EXPECT_EQ(rebuilds, 1);

    palette.UseUserFile("/data/palettes/rainbow.pal");
    palette.StandardPaletteClick();
    EXPECT_TRUE(palette.StandardPalette()->isChecked());
    EXPECT_FALSE(scope.ini.ReadBool("Main", "UseUserColorPalette", true));
    EXPECT_EQ(rebuilds, 3);

    // A second menu made at start-up shows the stored choice.
    palette.UseUserFile("/data/palettes/rainbow.pal");
    QMenu other;
    TPaletteMenu reopened(&other, {});
    EXPECT_TRUE(reopened.User1()->isChecked());
    EXPECT_EQ(reopened.User1()->text(), "User--> /data/palettes/rainbow.pal");
}

TEST(JascPalette, OnlyARegularFileOfSaneSizeIsRead)
{
    ScriptedMessageResponder responder;
    test::TempDir dir;
    const QString fifo = dir.Path() + "pipe.pal";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString huge = dir.WriteFile("huge.pal", RampFile("\r\n"));
    ASSERT_TRUE(QFile::resize(huge, PaletteFileMaxBytes + 1));
    // Endless, blocking, or far too big: each is refused at once with its message.
    for (const QString& name : {QString("/dev/zero"), fifo, huge, dir.Path()}) {
        SCOPED_TRACE(name.toStdString());
        responder.Clear();
        TColorTable table;
        EXPECT_EQ(LoadPalette(name, table), 1);
        ASSERT_EQ(responder.Texts().size(), 1);
        EXPECT_TRUE(responder.LastText().startsWith("Palette file " + name + " refused"));
        const TWindowPalette palette = BuildWindowPalette(TPaletteSetting{true, name}, false);
        EXPECT_TRUE(palette.UserPaletteFailed);
        EXPECT_EQ(palette.Plain, FormulaPalette());
    }
}

TEST(PaletteMenu, TheDialogsChoiceOfAFileFarTooBigIsRefused)
{
    UserIniScope scope;
    ScriptedMessageResponder responder;
    int rebuilds = 0;
    QMenu menu;
    TPaletteMenu palette(&menu, [&] { ++rebuilds; });
    const QString huge = scope.dir.WriteFile("huge.pal", RampFile("\r\n"));
    ASSERT_TRUE(QFile::resize(huge, PaletteFileMaxBytes + 1));
    // The operator picks it in the open dialog.
    const TFileDialogsAnswered shown;
    QTimer pick;
    pick.setInterval(10);
    QObject::connect(&pick, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            pick.stop();
            dialog->setDirectory(scope.dir.Path());
            dialog->selectFile("huge.pal");
            static_cast<QDialog*>(dialog)->accept(); // the dialog's own Open
        }
    });
    pick.start();
    {
        const test::UnrecordedByThreadSanitizer dialogsModelThread;
        palette.User1()->trigger();
    }
    ASSERT_EQ(responder.Texts().size(), 1);
    EXPECT_TRUE(responder.LastText().startsWith("Palette file " + huge + " refused")) << responder.LastText().toStdString();
    EXPECT_TRUE(palette.StandardPalette()->isChecked());
    EXPECT_FALSE(palette.User1()->isChecked());
    EXPECT_FALSE(scope.ini.ReadBool("Main", "UseUserColorPalette", false));
    EXPECT_EQ(rebuilds, 0);
}
