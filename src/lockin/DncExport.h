#pragma once
// The resonance curves as delimited text, apart from the window: the file
// name with its optional four-digit number, the lines of a file and of the
// clipboard copy, and a write that never replaces an existing file.

#include <QByteArray>
#include <QString>

namespace qvt {

class TDncCurves;

constexpr int DncMaxSaveNumber = 9999;

// A stored name as a path here: "\" becomes "/", a drive letter goes, and a
// relative name is taken from the program's directory.
QString DncLocalPath(const QString& stored);

// SaveName [+ NNNN] + "." + SaveExt. With numbering, n = nextNumber (at most
// 9999) is used and nextNumber becomes n + 1.
QString DncSaveFileName(const QString& saveName, const QString& ext, bool numbered, int& nextNumber);

struct TDncExportColumns {
    bool XAxis = true;
    bool Phase = false;
    QString Delimiter;
    bool WithComment = false;
    QString Comment;
};
// Points 1..n: [frequency][phase] then curves 0..HistoryDepth, newest first;
// each line ends with CR LF.
QByteArray DncExportText(const TDncCurves& curves, int dataPoints, double step, double start,
                         const TDncExportColumns& columns);
// Points 1..n: frequency + delimiter + the newest value (fixed, 10 digits, 9 decimals).
QString DncClipboardText(const TDncCurves& curves, int dataPoints, double step, double start, const QString& delimiter);

enum class DncSaveResult { Saved, NoDirectory, Exists, AccessError };
// Writes the text as a new file, whole or not at all; an existing file is never replaced.
DncSaveResult WriteDncExport(const QString& path, const QByteArray& text);

} // namespace qvt
