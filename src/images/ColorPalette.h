#pragma once
// Colour tables of the image windows. Display indexes 0..250 come from the
// data; the table is the built-in dark-blue-to-copper ramp or a user palette
// in JASC text format, reversed for channels whose axis is reversed, and the
// three top entries are fixed marker colours.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

namespace qvt {

class TQVTIniFile;

// One entry as a device-independent bitmap palette holds it: blue, green,
// red and a zero byte.
struct TPaletteEntry {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    uint8_t Reserved = 0;
    bool operator==(const TPaletteEntry&) const = default;
};
static_assert(sizeof(TPaletteEntry) == 4, "a palette entry is four bytes");

constexpr int PaletteSize = 256;
using TColorTable = std::array<TPaletteEntry, PaletteSize>;

// Data never map above this index, so the marker entries stay free.
constexpr int MaxDataIndex = 250;
constexpr int PaletteMarkerBlue = 253;  // pure blue
constexpr int PaletteMarkerRed = 254;   // pure red
constexpr int PaletteMarkerGreen = 255; // green

// The built-in ramp (before the marker entries are written).
TColorTable FormulaPalette();
// Swaps entries i and 255 − i, the whole table.
void ReversePalette(TColorTable& table);
// Writes the three marker colours into 253..255.
void SetReservedEntries(TColorTable& table);

inline const char* const PaletteTooShortText = "Palette file too short.";
inline const char* const PaletteNoJascText = "No JASC-Palette.";
inline const char* const PaletteWrongVersionText = "Wrong Version.";
inline const char* const PaletteNot256Text = "Not a 256 Color Palette.";

struct TPaletteReadResult {
    bool Ok = false;
    // The text the operator is shown; empty for a failure that has none
    // (an entry that is no colour, too few entries).
    QString Message;
    int Entries = 0; // colour lines taken into the table
};

// Reads JASC-PAL text into `table`. Lines end in CR LF, LF or CR. Entries
// read before a failure stay in the table.
TPaletteReadResult ParseJascPalette(const QByteArray& text, TColorTable& table);

// A 256-entry palette is a few kilobytes; anything much larger is no palette.
constexpr qint64 PaletteFileMaxBytes = 1024 * 1024;

// Reads a palette file when it is a regular file of at most
// PaletteFileMaxBytes, without waiting on a device or pipe; otherwise false
// and `refusal` is the operator's message. A file that cannot be opened reads
// as empty (true, no bytes).
bool ReadPaletteFile(const QString& fileName, QByteArray& text, QString& refusal);

// Reads the palette file, showing the failure's message if it has one. A
// file that cannot be read counts as too short. 0 on success, 1 on failure.
int LoadPalette(const QString& fileName, TColorTable& table);

// UserIni [Main] UseUserColorPalette and UserColorPalette.
struct TPaletteSetting {
    bool UseUser = false;
    QString FileName;
    // The user palette is to be tried.
    bool WantsUserPalette() const { return UseUser && !FileName.isEmpty(); }
};
// No settings file gives the standard palette.
TPaletteSetting ReadPaletteSetting(const TQVTIniFile* userIni);
// "Standard": UseUserColorPalette := false, the file name stays.
void WriteStandardPaletteSetting(TQVTIniFile& userIni);
// "User...": the file name in double quotes, UseUserColorPalette := true.
void WriteUserPaletteSetting(TQVTIniFile& userIni, const QString& fileName);

// The tables of one image window.
struct TWindowPalette {
    TColorTable Table; // with the marker entries, used for drawing
    TColorTable Plain; // the same before the marker entries (3D view)
    // The user palette was wanted but could not be loaded; the formula
    // palette was used instead.
    bool UserPaletteFailed = false;
};

// Builds the tables of a window: the user palette when the setting asks for
// it and it loads (its message shown otherwise), else the formula palette;
// reversed for a reversed axis; then the plain copy and the marker entries.
TWindowPalette BuildWindowPalette(const TPaletteSetting& setting, bool factorNegative);

} // namespace qvt
