#include "platform/RegularFile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvt {

TFileRead ReadRegularFile(const QString& fileName, qint64 maxBytes, QByteArray& bytes)
{
    bytes.clear();
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return TFileRead::Missing;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxBytes;
    bool failed = false;
    if (ok) {
        // Up to one byte past the limit: a file that grew meanwhile is refused too.
        bytes.resize(info.st_size + 1 <= maxBytes ? info.st_size + 1 : maxBytes + 1);
        qsizetype got = 0;
        for (;;) {
            if (got == bytes.size()) {
                if (got > maxBytes)
                    break;
                bytes.resize(qMin<qint64>(maxBytes + 1, 2 * got));
            }
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            failed = n < 0;
            if (n <= 0)
                break;
            got += n;
        }
        bytes.resize(got);
        ok = got <= maxBytes;
    }
    ::close(fd);
    if (failed) {
        bytes.clear();
        return TFileRead::Missing;
    }
    if (!ok) {
        bytes.clear();
        return TFileRead::Refused;
    }
    return TFileRead::Read;
}

QString RefusedFileText(const QString& what, const QString& fileName, qint64 maxBytes)
{
    return what + " " + fileName + " refused: only a regular file of at most " +
           QString::number(maxBytes / (1024 * 1024)) + " MB is read.";
}

} // namespace qvt
