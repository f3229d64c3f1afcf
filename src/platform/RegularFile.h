#pragma once
// Files the program reads whole on its own (settings, palettes): only a
// regular file of a sane size is read, so a device (/dev/zero), a pipe that
// nobody writes or a huge file cannot hold up or swamp a start.

#include <QByteArray>
#include <QString>

namespace qvt {

enum class TFileRead {
    Read,    // `bytes` holds the whole file
    Missing, // it could not be opened (absent, no permission): nothing read
    Refused, // no regular file, or larger than allowed: nothing read
};

// Opens without waiting (a FIFO would block the open) and examines the file
// as opened, so what is read is what was examined; a file that grows past
// `maxBytes` while being read is refused too.
TFileRead ReadRegularFile(const QString& fileName, qint64 maxBytes, QByteArray& bytes);

// The operator's message for a refused file: "<what> <file> refused: only a
// regular file of at most <n> MB is read."
QString RefusedFileText(const QString& what, const QString& fileName, qint64 maxBytes);

} // namespace qvt
