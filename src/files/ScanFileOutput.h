#pragma once
// Saving a scan: one set of files in the save directory under a numbered base
// name ("NoName07"): the parameter file, a raw data file per acquired buffer
// and a bitmap per image window. Nothing here needs a window: the caller
// hands over the buffers, the pictures of its image windows and the values
// of the parameter file, and shows the caption it gets back.
//
// Every file is written under a temporary name, flushed to disk and moved to
// its final name only when complete, never over a file that exists, so a
// failed write leaves no half-written file and nothing is ever overwritten.
// Temporary files of a save that was killed are swept at the next save.

#include "files/ParameterFile.h"
#include "images/ColorPalette.h"
#include "scan/ImageBuffers.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace qvt {

class TIndexedBitmap;
class TQVTIniFile;

inline const char* const DirectoryMissingText = "Directory does not exists!\rSave not complete!";
inline const char* const FileExistsText = "File already exists!\rSave not complete!";
inline const char* const FileAccessErrorText = "File access error\rSave not complete!";
// "Filename <directory/name> already exists!\rSave not complete!"
QString NameExistsText(const QString& pathWithoutExtension);

// Base name and number of the last save, program-wide (window thread).
extern QString SaveBaseName;

// ---- names ---------------------------------------------------------------------------

// A label as part of a file name: path separators and control characters
// become "_"; everything else stays.
QString FileNamePart(const QString& text);
// Base + number with at least two digits ("NoName07", "NoName100").
QString NumberedBaseName(const QString& base, int number);
// Numbers tried before the search gives up.
constexpr int MaxSaveNumber = 100000;
// The first number that no file of a set under `base` in `directory` holds:
// no parameter file "<base><NN>.txt", no raw image or picture
// "<base><NN><label>.int/.bmp" (images left without their parameter file by
// a save that was killed count too). -1 when all MaxSaveNumber are taken.
int NextFreeFileNumber(const QString& directory, const QString& base);

// The file name of a buffer before collisions are settled: save base name,
// label and direction suffix ("NoName07TopographyFwd").
QString ChannelFileName(const TDaten& buffer, const QString& saveBaseName = SaveBaseName);

// What a save writes, planned before the first byte so that two buffers or
// windows of the same name within one save cannot stop it: the later one
// gets its channel name ("_ADC3") and, failing that, a count appended.
struct TPlannedFile {
    QString Stem;    // file name without directory and extension
    QString Caption; // the text the parameter file shows for it
    int BufferIndex = -1;
    TImageMatrixPtr Matrix; // the buffer's readings when planned (buffers only)
};
struct TImageWindowPicture {
    TImageWindowPicture() = default;
    TImageWindowPicture(QString caption, int bufferIndex, const TIndexedBitmap* bitmap, const TColorTable* table)
        : Caption(std::move(caption)), BufferIndex(bufferIndex), Bitmap(bitmap), Table(table)
    {
    }

    QString Caption; // window caption (label, two blanks, suffix)
    int BufferIndex = -1;
    const TIndexedBitmap* Bitmap = nullptr; // as shown
    const TColorTable* Table = nullptr;     // the window's colour table as shown
    // Set by PictureCopy: Bitmap and Table point here.
    std::shared_ptr<const TIndexedBitmap> OwnedBitmap;
    std::shared_ptr<const TColorTable> OwnedTable;
};
// A picture holding its own copy of the bitmap and colours, so the save
// writes what was shown when it began, whatever the window does meanwhile.
TImageWindowPicture PictureCopy(const QString& caption, int bufferIndex, const TIndexedBitmap& bitmap,
                                const TColorTable& table);
struct TSavePlan {
    std::vector<TPlannedFile> Buffers; // buffers with data, in buffer order
    std::vector<TPlannedFile> Windows; // one per window, in window order
};
// A buffer as a save writes it: its readings and the scale they were read with.
struct TSaveBuffer {
    TImageMatrixPtr Matrix;
    const TIOScale* Scale = nullptr;
};
// The buffers of a frame by index; empty for a buffer that is no part of it.
using TFrameBuffers = std::function<std::optional<TSaveBuffer>(int index)>;
// `frame` set: only its buffers, with its readings.
TSavePlan PlanSaveNames(const QString& baseName, const TImageChannels& channels,
                        const std::vector<TImageWindowPicture>& windows, const TFrameBuffers& frame = {});

// ---- temporary files -----------------------------------------------------------------------

// The hidden name a file is written under before it takes its own:
// ".qvt<pid>_<attempt>.part", short whatever the final name.
QString TempSaveFileName(qint64 pid, int attempt);
// Exactly that pattern.
bool IsTempSaveFileName(const QString& name);
// Removes the temporary files of this program in `directory` that were last
// written before this process started (a save that was killed); nothing
// else. Returns how many went.
int SweepStaleTempFiles(const QString& directory);

// ---- single files ------------------------------------------------------------------------

enum class TWriteStatus { Written, Exists, AccessError };

// Writes `bytes` to `path` unless a file of that name exists. The bytes go to
// a temporary file in the same directory that takes the final name only when
// complete.
TWriteStatus WriteNewFile(const QString& path, const QByteArray& bytes);
// The raw data file: Cols × Rows signed 32-bit little-endian readings, row 0
// (scan line 1) first, nothing else.
TWriteStatus WriteIntFile(const QString& path, const TImageMatrix& matrix);
// The picture as an 8-bit palette bitmap file.
TWriteStatus WriteBitmapFile(const QString& path, const TIndexedBitmap& bitmap, const TColorTable& table);

// ---- the save ------------------------------------------------------------------------------

// The login name from the user database, else $USER; at most 256 characters.
QString GetLoginUserName();

// Clock, locale and user of the date, time and user lines; tests fix them.
struct TSaveEnvironment {
    std::function<QDateTime()> Now;    // unset: the current local time
    std::function<QString()> UserName; // unset: GetLoginUserName
    std::optional<QLocale> Locale;     // unset: the current locale
};
// Date and time text of the parameter file: the locale's short date and long
// time format; the time without a zone name (hours, minutes, seconds as the
// desktop shows them).
QString SaveDateText(const QDateTime& when, const QLocale& locale);
QString SaveTimeText(const QDateTime& when, const QLocale& locale);

struct TSaveRequest {
    TQVTIniFile* Ini = nullptr;               // [Save] Path, BasisName, Nummer, LastFile
    const TImageChannels* Channels = nullptr; // may be null: no raw data files
    std::vector<TImageWindowPicture> Windows;
    TParameterFileValues Values; // date, time, user and file blocks are filled in here
    TSaveEnvironment Environment;
    // The save directory check; unset: CheckSavePath on [Save] Path.
    std::function<bool()> CheckPath;
    // The frame saved: only its buffers, its readings and scales. Unset:
    // every buffer of Channels with data, as it is now.
    TFrameBuffers Frame;
};

struct TSaveOutcome {
    bool DirectoryOk = false;
    bool Complete = false; // ran to the end
    QString Directory;     // without a trailing "/"
    QString BaseName;      // "NoName07"
    // "QVT   <directory>/<base>" once complete with the parameter file
    // written (then [Save] LastFile names the set too); empty otherwise.
    QString Caption;
    QStringList Written; // file names written, in order
};

// The whole save in its order: directory check, number, parameter file, raw
// data files, bitmaps, [Save] LastFile. Problems are shown as message boxes;
// files written stay.
TSaveOutcome SaveScanFileSet(TSaveRequest request);

// For tests: called before each move of a set's file to its final name,
// with the move's place in the save (0 first) and the final path. An empty
// function removes the hook.
void SetSaveRenameHookForTests(std::function<void(int rename, const QString& path)> hook);

// "Save As": the chosen file's directory becomes [Save] Path, the rest of
// the name (extension included) [Save] BasisName.
void ApplySaveAsName(TQVTIniFile& ini, const QString& chosenFile);

} // namespace qvt
