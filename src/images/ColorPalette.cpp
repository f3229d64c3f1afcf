#include "images/ColorPalette.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "platform/MessageBoxes.h"
#include "platform/RegularFile.h"

#include <QFile>
#include <QStringList>

#include <cmath>
#include <utility>

namespace qvt {

namespace {

// Each colour component is at most 8 bits; the formulas stay within 0..255.
uint8_t Component(double value)
{
    return static_cast<uint8_t>(std::trunc(value));
}

// Lines as a text list splits them: CR LF, LF or a lone CR end a line, and a
// final line end does not start another line.
QStringList SplitLines(const QByteArray& text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        lines << QString::fromLatin1(text.constData() + start, i - start);
        if (c == '\r' && i + 1 < n && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines << QString::fromLatin1(text.constData() + start, n - start);
    return lines;
}

// One colour component: blank text counts as "0"; the number is rounded and
// must lie within 0..255.
bool ParseComponent(const QString& text, uint8_t& out)
{
    double value = 0.0;
    if (!text.isEmpty() && !ParseNumber(text, value))
        return false;
    value = Round(value);
    if (!(value >= 0.0 && value <= 255.0))
        return false;
    out = static_cast<uint8_t>(value);
    return true;
}

// "R G B": red before the first blank, green up to the second, blue the rest.
bool ParseEntry(const QString& line, TPaletteEntry& entry)
{
    const qsizetype first = line.indexOf(' ');
    const QString red = first < 0 ? line : line.left(first);
    QString green;
    QString blue;
    if (first >= 0) {
        const qsizetype second = line.indexOf(' ', first + 1);
        green = second < 0 ? line.mid(first + 1) : line.mid(first + 1, second - first - 1);
        if (second >= 0)
            blue = line.mid(second + 1, 100);
    }
    TPaletteEntry read;
    if (!ParseComponent(red, read.Red) || !ParseComponent(green, read.Green) || !ParseComponent(blue, read.Blue))
        return false;
    entry = read;
    return true;
}

constexpr int FirstEntryLine = 3; // after "JASC-PAL", "0100", "256"

} // namespace

TColorTable FormulaPalette()
{
    TColorTable table;
    for (int i = 0; i < PaletteSize; ++i) {
        const double x = i;
        TPaletteEntry& e = table[i];
        e.Blue = static_cast<uint8_t>(4 * Component(6.0 + 0.0004457 * x * x));
        e.Green = Component(4.0 * (-0.0000071 * x * x * x + 0.0026 * x * x + 0.042 * x));
        if (i < 56)
            e.Red = Component(4.0 * (0.65954 * x + 3.0));
        else if (i >= 165)
            e.Red = Component(4.0 * (0.0039216 * x + 58.0));
        else
            e.Red = Component(4.0 * (0.5027 * x + 16.6 - 0.001526 * x * x));
        e.Reserved = 0;
    }
    return table;
}

void ReversePalette(TColorTable& table)
{
    for (int i = 0; i < PaletteSize / 2; ++i)
        std::swap(table[i], table[PaletteSize - 1 - i]);
}

void SetReservedEntries(TColorTable& table)
{
    table[PaletteMarkerBlue] = TPaletteEntry{255, 0, 0, 0};
    table[PaletteMarkerRed] = TPaletteEntry{0, 0, 255, 0};
    table[PaletteMarkerGreen] = TPaletteEntry{0, 200, 0, 0};
}

TPaletteReadResult ParseJascPalette(const QByteArray& text, TColorTable& table)
{
    TPaletteReadResult result;
    const QStringList lines = SplitLines(text);
    if (lines.size() < 4) {
        result.Message = QString::fromLatin1(PaletteTooShortText);
        return result;
    }
    // Compared as they stand: "JASC-PAL " is no palette.
    if (lines[0] != QLatin1String("JASC-PAL")) {
        result.Message = QString::fromLatin1(PaletteNoJascText);
        return result;
    }
    if (lines[1] != QLatin1String("0100")) {
        result.Message = QString::fromLatin1(PaletteWrongVersionText);
        return result;
    }
    if (lines[2] != QLatin1String("256")) {
        result.Message = QString::fromLatin1(PaletteNot256Text);
        return result;
    }
    for (int k = 0; k < PaletteSize && FirstEntryLine + k < lines.size(); ++k) {
        const QString& line = lines[FirstEntryLine + k];
        if (line.size() < 3 || !ParseEntry(line, table[k]))
            return result;
        table[k].Reserved = 0;
        result.Entries = k + 1;
    }
    result.Ok = result.Entries == PaletteSize;
    return result;
}

bool ReadPaletteFile(const QString& fileName, QByteArray& text, QString& refusal)
{
    if (ReadRegularFile(fileName, PaletteFileMaxBytes, text) != TFileRead::Refused)
        return true;
    refusal = RefusedFileText("Palette file", fileName, PaletteFileMaxBytes);
    return false;
}

int LoadPalette(const QString& fileName, TColorTable& table)
{
    QByteArray text;
    QString refusal;
    if (!ReadPaletteFile(fileName, text, refusal)) {
        ShowMessage(MsgKind::Information, refusal);
        return 1;
    }
    const TPaletteReadResult result = ParseJascPalette(text, table);
    if (!result.Message.isEmpty())
        ShowMessage(MsgKind::Information, result.Message);
    return result.Ok ? 0 : 1;
}

TPaletteSetting ReadPaletteSetting(const TQVTIniFile* userIni)
{
    TPaletteSetting setting;
    if (userIni == nullptr)
        return setting;
    setting.UseUser = userIni->ReadBool("Main", "UseUserColorPalette", false);
    setting.FileName = userIni->ReadString("Main", "UserColorPalette", QString());
    return setting;
}

void WriteStandardPaletteSetting(TQVTIniFile& userIni)
{
    userIni.WriteBool("Main", "UseUserColorPalette", false);
}

void WriteUserPaletteSetting(TQVTIniFile& userIni, const QString& fileName)
{
    userIni.WriteString("Main", "UserColorPalette", '"' + fileName + '"');
    userIni.WriteBool("Main", "UseUserColorPalette", true);
}

TWindowPalette BuildWindowPalette(const TPaletteSetting& setting, bool factorNegative)
{
    TWindowPalette palette;
    bool loaded = false;
    if (setting.WantsUserPalette()) {
        loaded = LoadPalette(setting.FileName, palette.Table) == 0;
        palette.UserPaletteFailed = !loaded;
    }
    if (!loaded)
        palette.Table = FormulaPalette();
    if (factorNegative)
        ReversePalette(palette.Table);
    palette.Plain = palette.Table;
    SetReservedEntries(palette.Table);
    return palette;
}

} // namespace qvt
