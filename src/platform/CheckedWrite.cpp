#include "platform/CheckedWrite.h"

#include "platform/MessageBoxes.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvt {

namespace {

std::mutex faultMutex;
std::function<int(const QString&)> faultHook;

int InjectedFault(const QByteArray& finalName)
{
    std::lock_guard lock(faultMutex);
    return faultHook ? faultHook(QFile::decodeName(finalName)) : 0;
}

// The same short hidden name the scan saves use, so one sweep finds what a
// killed program left of either.
QByteArray TempName(int attempt)
{
    return QFile::encodeName(".qvt" + QString::number(::getpid()) + "_" + QString::number(attempt) + ".part");
}

constexpr int MaxTempAttempts = 1000;

// Flushes the folder itself, so the move survives a power cut. File systems
// that cannot flush a folder (EINVAL) count as flushed.
int SyncDirectory(const QByteArray& directory)
{
    const int fd = ::open(directory.isEmpty() ? "." : directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    return result;
}

} // namespace

TCheckedFile::TCheckedFile(const QString& path, TFinalName finalName) : finalName_(finalName)
{
    // A link stays a link: its target is what gets replaced.
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    final_ = QFile::encodeName(target.isEmpty() ? path : target);
    dir_ = final_.left(final_.lastIndexOf('/') + 1);
    struct stat old {};
    const bool replacing = finalName_ == TFinalName::Replace && ::stat(final_.constData(), &old) == 0;
    for (int k = 0; k < MaxTempAttempts && fd_ < 0; ++k) {
        temp_ = dir_ + TempName(k);
        fd_ = ::open(temp_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    if (fd_ < 0) {
        temp_.clear();
        Fail(errno);
        return;
    }
    // The operator's rights on the old file outlive its replacement.
    if (replacing && S_ISREG(old.st_mode))
        ::fchmod(fd_, old.st_mode & 07777);
}

TCheckedFile::~TCheckedFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !temp_.isEmpty())
        ::unlink(temp_.constData());
}

bool TCheckedFile::Fail(int error)
{
    if (errno_ == 0)
        errno_ = error != 0 ? error : EIO;
    return false;
}

QString TCheckedFile::Error() const
{
    return errno_ == 0 ? QString() : QString::fromLocal8Bit(std::strerror(errno_));
}

bool TCheckedFile::Write(const void* data, size_t size)
{
    if (errno_ != 0 || fd_ < 0)
        return Fail(EBADF);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail(n < 0 ? errno : ENOSPC);
        p += n;
        size -= size_t(n);
    }
    return true;
}

// On disk and closed, still under the temporary name. A file system may take
// the data into its cache and refuse it only at the flush or the close (a full
// disk over NFS, a quota): both are checked.
bool TCheckedFile::Finish()
{
    if (errno_ != 0 || fd_ < 0)
        return Fail(EBADF);
    if (const int injected = InjectedFault(final_))
        return Fail(injected);
    if (::fsync(fd_) != 0)
        return Fail(errno);
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || Fail(errno);
}

int MoveNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // File systems without the no-replace move: a hard link refuses an
    // existing name just the same.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Nor hard links (some network and FAT mounts): look, then move.
    struct stat st {};
    if (::lstat(to.constData(), &st) == 0)
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

int TCheckedFile::Move()
{
    if (finalName_ == TFinalName::Replace)
        return ::rename(temp_.constData(), final_.constData()) == 0 ? 0 : errno;
    return MoveNoReplace(temp_, final_);
}

bool TCheckedFile::Commit()
{
    if (committed_)
        return true;
    if (!Finish())
        return false;
    if (const int moved = Move())
        return Fail(moved);
    committed_ = true;
    // The file is whole under its name; a folder that cannot be flushed is
    // still reported, since a power cut could undo the move.
    if (const int synced = SyncDirectory(dir_))
        return Fail(synced);
    return true;
}

QString WriteFileWhole(const QString& path, const QByteArray& bytes, TFinalName finalName)
{
    TCheckedFile file(path, finalName);
    file.Write(bytes);
    file.Commit();
    return file.Error();
}

QString WriteImageWhole(const QString& path, const QImage& image, const char* format)
{
    if (image.isNull())
        return "no picture to save";
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format))
        return QString("the picture cannot be encoded as ") + format;
    return WriteFileWhole(path, bytes);
}

TTelling TellingOf(const QString& fileName, const QString& kind)
{
    static std::mutex toldMutex;
    static QSet<QString> files;
    static QSet<QString> kinds;
    std::lock_guard lock(toldMutex);
    const QString key = fileName + QChar(0) + kind;
    if (kinds.contains(key))
        return TTelling::Quiet;
    kinds.insert(key);
    if (files.contains(fileName))
        return TTelling::Log;
    files.insert(fileName);
    return TTelling::Show;
}

void TellFileTrouble(const QString& fileName, const QString& kind, const QString& text)
{
    switch (TellingOf(fileName, kind)) {
    case TTelling::Show:
        ShowMessage(MsgKind::Warning, text);
        break;
    case TTelling::Log:
        LogMessage(MsgKind::Warning, text);
        break;
    case TTelling::Quiet:
        break;
    }
}

void SetWriteFaultForTests(std::function<int(const QString& path)> fault)
{
    std::lock_guard lock(faultMutex);
    faultHook = std::move(fault);
}

} // namespace qvt
