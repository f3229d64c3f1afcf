#pragma once
// Every file the program writes whole (settings, exports, records) goes to
// disk through here: the data is written under a temporary name in the same
// folder, flushed to the disk with every error checked, and only then moved
// over the final name. On any failure the temporary file is removed and the
// file that was there stays exactly as it was; a full disk never empties it.

#include <QByteArray>
#include <QString>

class QImage;

#include <functional>

namespace qvt {

// Whether the final name may already stand for a file.
enum class TFinalName {
    Replace,   // the old file is replaced, keeping its access rights
    NoReplace, // an existing file is never replaced: the commit fails with EEXIST
};

// A file written in pieces that appears under its final name only when
// complete. A link as the final name is followed: its target is replaced.
class TCheckedFile {
public:
    explicit TCheckedFile(const QString& path, TFinalName finalName = TFinalName::Replace);
    ~TCheckedFile(); // removes the temporary file unless committed
    TCheckedFile(const TCheckedFile&) = delete;
    TCheckedFile& operator=(const TCheckedFile&) = delete;

    bool Write(const QByteArray& bytes) { return Write(bytes.constData(), size_t(bytes.size())); }
    bool Write(const void* data, size_t size);
    // Flushes, closes and moves the file into place; false with Error() set
    // when any step failed (the old file then stays as it was).
    bool Commit();
    // errno of the first failure, 0 while none.
    int ErrorNumber() const { return errno_; }
    // The system's words for the first failure, empty while none.
    QString Error() const;

private:
    bool Fail(int error);
    bool Finish();
    int Move();

    QByteArray final_;
    QByteArray temp_;
    QByteArray dir_;
    TFinalName finalName_;
    int fd_ = -1;
    int errno_ = 0;
    bool committed_ = false;
};

// Moves `from` to `to` unless `to` names a file already: 0, EEXIST when it
// does, else the errno of the failure. Works on file systems without the
// no-replace rename too.
int MoveNoReplace(const QByteArray& from, const QByteArray& to);

// Writes `bytes` as the whole file `path`; empty when done, else why not.
QString WriteFileWhole(const QString& path, const QByteArray& bytes, TFinalName finalName = TFinalName::Replace);

// Writes `image` encoded as `format` (e.g. "BMP") as the whole file `path`:
// encoded in memory first, since an image writer writes in place and a
// failure halfway would leave a torn file. Empty when done, else why not.
QString WriteImageWhole(const QString& path, const QImage& image, const char* format);

// Whether the trouble of one file is shown, logged or left out: the first
// trouble of each file is shown in a box, each other kind of trouble after it
// is logged once, a kind already told is not told again. A window writing a
// dozen keys to a read-only file must not bring a dozen boxes, nor a dozen
// log lines.
enum class TTelling { Show, Log, Quiet };
TTelling TellingOf(const QString& fileName, const QString& kind);
// Shows `text` (a warning) or logs it as TellingOf says; any thread.
void TellFileTrouble(const QString& fileName, const QString& kind, const QString& text);

// For tests: called with the final name before a file is flushed; a result
// other than 0 fails the flush with that errno (ENOSPC: a full disk). An
// empty function removes the hook.
void SetWriteFaultForTests(std::function<int(const QString& path)> fault);

} // namespace qvt
