#include "files/ScanFileOutput.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "files/SavePath.h"
#include "images/ImageRender.h"
#include "platform/MessageBoxes.h"

#include <QFile>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvt {

QString SaveBaseName;

namespace {

constexpr int MaxUserNameLength = 256;

QString JoinPath(const QString& directory, const QString& name)
{
    return directory.endsWith('/') ? directory + name : directory + '/' + name;
}

bool PathExists(const QByteArray& path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool PathExists(const QString& path)
{
    return PathExists(QFile::encodeName(path));
}

// A file that appears under its final name only when complete: written under
// a hidden temporary name beside it, then moved without replacing anything.
class TNewFile {
public:
    explicit TNewFile(const QString& path) : final_(QFile::encodeName(path))
    {
        const qsizetype slash = final_.lastIndexOf('/');
        const QByteArray dir = final_.left(slash + 1);
        const QByteArray name = final_.mid(slash + 1);
        for (int k = 0; k < 100 && fd_ < 0; ++k) {
            temp_ = dir + '.' + name + ".part" + QByteArray::number(k);
            fd_ = ::open(temp_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST)
                break;
        }
    }
    ~TNewFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!committed_ && opened())
            ::unlink(temp_.constData());
    }
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    bool opened() const { return fd_ >= 0 || closed_; }

    bool Write(const void* data, std::size_t size)
    {
        const char* p = static_cast<const char*>(data);
        while (size > 0 && fd_ >= 0) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return failed_ = true, false;
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return fd_ >= 0 && !failed_;
    }

    TWriteStatus Commit()
    {
        if (fd_ < 0 || failed_)
            return TWriteStatus::AccessError;
        const int closeResult = ::close(fd_);
        fd_ = -1;
        closed_ = true;
        if (closeResult != 0)
            return TWriteStatus::AccessError;
        const int moved = MoveNoReplace();
        if (moved == 0) {
            committed_ = true;
            return TWriteStatus::Written;
        }
        return moved == EEXIST ? TWriteStatus::Exists : TWriteStatus::AccessError;
    }

private:
    // 0 or the errno of the failure; EEXIST when the final name is taken.
    int MoveNoReplace()
    {
        if (::renameat2(AT_FDCWD, temp_.constData(), AT_FDCWD, final_.constData(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
        // File systems without the no-replace move: a hard link refuses an
        // existing name just the same.
        if (::link(temp_.constData(), final_.constData()) == 0) {
            ::unlink(temp_.constData());
            return 0;
        }
        if (errno == EEXIST)
            return EEXIST;
        // Nor hard links (some network and FAT mounts): look, then move.
        if (PathExists(final_))
            return EEXIST;
        return ::rename(temp_.constData(), final_.constData()) == 0 ? 0 : errno;
    }

    QByteArray final_;
    QByteArray temp_;
    int fd_ = -1;
    bool closed_ = false;
    bool failed_ = false;
    bool committed_ = false;
};

// Drops the zone name from a time format ("HH:mm:ss t" → "HH:mm:ss"); quoted
// text stays.
QString WithoutTimeZone(const QString& format)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar ch = format.at(i);
        if (ch == '\'')
            quoted = !quoted;
        if (!quoted && ch == 't') {
            while (!out.isEmpty() && out.back().isSpace())
                out.chop(1);
            continue;
        }
        out += ch;
    }
    return out.trimmed();
}

QString UniqueStem(QSet<QString>& used, const QString& stem, int bufferIndex)
{
    const auto take = [&used](const QString& candidate) {
        // Case does not separate names: the set may be copied to a disk that ignores it.
        const QString key = candidate.toCaseFolded();
        if (used.contains(key))
            return false;
        used.insert(key);
        return true;
    };
    if (take(stem))
        return stem;
    const QString channel =
        IsValidImageChannel(bufferIndex) ? stem + '_' + ChannelName(bufferIndex / ImagePlaneCount) : stem;
    if (channel != stem && take(channel))
        return channel;
    for (int n = 2;; ++n) {
        const QString counted = channel + '_' + QString::number(n);
        if (take(counted))
            return counted;
    }
}

} // namespace

QString NameExistsText(const QString& pathWithoutExtension)
{
    return "Filename " + pathWithoutExtension + " already exists!\rSave not complete!";
}

QString FileNamePart(const QString& text)
{
    QString out = text;
    for (QChar& ch : out) {
        const char16_t u = ch.unicode();
        if (u == '/' || u == '\\' || u < 0x20 || (u >= 0x7F && u < 0xA0))
            ch = '_';
    }
    return out;
}

QString NumberedBaseName(const QString& base, int number)
{
    return base + QString("%1").arg(number, 2, 10, QChar('0'));
}

int NextFreeFileNumber(const QString& directory, const QString& base)
{
    for (int nn = 0; nn < MaxSaveNumber; ++nn)
        if (!PathExists(JoinPath(directory, NumberedBaseName(base, nn) + ".txt")))
            return nn;
    return -1;
}

QString ChannelFileName(const TDaten& buffer, const QString& saveBaseName)
{
    return saveBaseName + FileNamePart(buffer.Name) + FileNamePart(buffer.Suffix);
}

TSavePlan PlanSaveNames(const QString& baseName, const TImageChannels& channels,
                        const std::vector<TImageWindowPicture>& windows)
{
    TSavePlan plan;
    QSet<QString> used;
    for (int i = 0; i < TImageChannels::Count(); ++i) {
        const TDaten& d = channels[i];
        if (!d.Data())
            continue;
        const QString stem = ChannelFileName(d, baseName);
        plan.Buffers.push_back({UniqueStem(used, stem, i), d.Name + d.Suffix, i});
    }
    for (const TImageWindowPicture& w : windows) {
        const QString stem = baseName + FileNamePart(w.Caption);
        plan.Windows.push_back({UniqueStem(used, stem, w.BufferIndex), w.Caption, w.BufferIndex});
    }
    return plan;
}

TWriteStatus WriteNewFile(const QString& path, const QByteArray& bytes)
{
    TNewFile file(path);
    file.Write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return file.Commit();
}

TWriteStatus WriteParameterFile(const QString& pathWithoutExtension, const TParameterFileValues& values)
{
    return WriteNewFile(pathWithoutExtension + ".txt", EncodeParameterFile(ParameterFileText(values)));
}

TWriteStatus WriteIntFile(const QString& path, const TImageMatrix& matrix)
{
    TNewFile file(path);
    const int cols = matrix.Cols();
    const int rows = matrix.Rows();
    // Cell by cell, as the cells are atomics (a manual save may run while the
    // scan writes), in blocks of whole rows that stay in the cache on their
    // way to the kernel.
    const int rowsPerBlock = std::max(1, (1 << 18) / std::max(1, cols));
    std::vector<int32_t> block(static_cast<std::size_t>(rowsPerBlock) * cols);
    for (int r = 0; r < rows && file.opened(); r += rowsPerBlock) {
        const int n = std::min(rowsPerBlock, rows - r);
        int32_t* out = block.data();
        for (int k = 0; k < n; ++k, out += cols) {
            const TImageMatrix::RowRef row = matrix.Row(r + k);
            for (int c = 0; c < cols; ++c)
                out[c] = row[c];
        }
        const std::size_t cells = static_cast<std::size_t>(n) * cols;
        if constexpr (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
            qToLittleEndian<int32_t>(block.data(), static_cast<qsizetype>(cells), block.data());
        if (!file.Write(block.data(), cells * sizeof(int32_t)))
            break;
    }
    return file.Commit();
}

TWriteStatus WriteBitmapFile(const QString& path, const TIndexedBitmap& bitmap, const TColorTable& table)
{
    return WriteNewFile(path, BitmapFileImage(bitmap, table));
}

QString GetLoginUserName()
{
    QString name;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    struct passwd pw;
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr)
        name = QString::fromLocal8Bit(found->pw_name);
    if (name.isEmpty())
        name = qEnvironmentVariable("USER");
    return name.left(MaxUserNameLength);
}

QString SaveDateText(const QDateTime& when, const QLocale& locale)
{
    return locale.toString(when.date(), QLocale::ShortFormat);
}

QString SaveTimeText(const QDateTime& when, const QLocale& locale)
{
    QString text = locale.toString(when.time(), WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    // Newer locale data put a narrow no-break space before AM/PM.
    text.replace(QChar(0x202F), QChar(' '));
    return text;
}

TSaveOutcome SaveScanFileSet(TSaveRequest request)
{
    TSaveOutcome out;
    TQVTIniFile& ini = *request.Ini;
    const bool pathOk =
        request.CheckPath ? request.CheckPath() : CheckSavePath(ini, ini.ReadString("Save", "Path", AppDir));
    if (!pathOk) {
        ShowMessage(MsgKind::Warning, DirectoryMissingText);
        return out;
    }
    out.DirectoryOk = true;
    const QString dir = SaveDirectory(ini);
    out.Directory = dir;

    // The base name must not lead out of the save directory either.
    const QString base = FileNamePart(ini.ReadString("Save", "BasisName", "NoName"));
    const int number = NextFreeFileNumber(dir, base);
    if (number < 0) {
        ShowMessage(MsgKind::Information, FileExistsText);
        return out;
    }
    ini.WriteInteger("Save", "Nummer", number + 1);
    SaveBaseName = NumberedBaseName(base, number);
    out.BaseName = SaveBaseName;

    static const TImageChannels noChannels(nullptr);
    const TImageChannels& channels = request.Channels ? *request.Channels : noChannels;
    const TSavePlan plan = PlanSaveNames(SaveBaseName, channels, request.Windows);

    bool accessErrorShown = false;
    // A full disk or a lost mount fails every file alike: one box is enough.
    const auto accessError = [&accessErrorShown] {
        if (!accessErrorShown)
            ShowMessage(MsgKind::Warning, FileAccessErrorText);
        accessErrorShown = true;
    };

    // Parameter file; whatever becomes of it, the data files follow.
    TParameterFileValues& values = request.Values;
    const QDateTime now = request.Environment.Now ? request.Environment.Now() : QDateTime::currentDateTime();
    const QLocale locale = request.Environment.Locale.value_or(QLocale());
    values.Date = SaveDateText(now, locale);
    values.Time = SaveTimeText(now, locale);
    values.UserName = request.Environment.UserName ? request.Environment.UserName() : GetLoginUserName();
    values.Files.clear();
    for (const TPlannedFile& f : plan.Buffers)
        values.Files.push_back(DescribeFile(f.Stem + ".int", f.Caption, channels[f.BufferIndex].Scale));
    const QString textName = SaveBaseName + ".txt";
    switch (WriteParameterFile(JoinPath(dir, SaveBaseName), values)) {
    case TWriteStatus::Written:
        out.Written << textName;
        break;
    case TWriteStatus::Exists:
        ShowMessage(MsgKind::Information, FileExistsText);
        break;
    case TWriteStatus::AccessError:
        accessError();
        break;
    }

    // Raw data; a name taken before this save ends it, as nothing may be overwritten.
    for (const TPlannedFile& f : plan.Buffers) {
        const QString path = JoinPath(dir, f.Stem);
        if (PathExists(path + ".bmp") || PathExists(path + ".int")) {
            ShowMessage(MsgKind::Information, NameExistsText(path));
            return out;
        }
        const TImageMatrixPtr matrix = channels[f.BufferIndex].Data();
        if (!matrix)
            continue;
        const TWriteStatus status = WriteIntFile(path + ".int", *matrix);
        if (status == TWriteStatus::Exists) {
            ShowMessage(MsgKind::Information, NameExistsText(path));
            return out;
        }
        if (status == TWriteStatus::AccessError)
            accessError();
        else
            out.Written << f.Stem + ".int";
    }

    // Pictures; a taken name only skips that window.
    for (std::size_t i = 0; i < plan.Windows.size(); ++i) {
        const TImageWindowPicture& w = request.Windows[i];
        const TPlannedFile& f = plan.Windows[i];
        if (w.Bitmap == nullptr || w.Table == nullptr)
            continue;
        const QString path = JoinPath(dir, f.Stem);
        TWriteStatus status = TWriteStatus::Exists;
        if (!PathExists(path + ".bmp") && !PathExists(path + ".int"))
            status = WriteBitmapFile(path + ".bmp", *w.Bitmap, *w.Table);
        if (status == TWriteStatus::Exists)
            ShowMessage(MsgKind::Information, NameExistsText(path));
        else if (status == TWriteStatus::AccessError)
            accessError();
        else
            out.Written << f.Stem + ".bmp";
    }

    out.Caption = "QVT   " + JoinPath(dir, SaveBaseName);
    ini.WriteString("Save", "LastFile", '"' + SaveBaseName + '"');
    out.Complete = true;
    return out;
}

void ApplySaveAsName(TQVTIniFile& ini, const QString& chosenFile)
{
    QString path = chosenFile;
    path.replace('\\', '/');
    const qsizetype slash = path.lastIndexOf('/');
    if (slash >= 0)
        ini.WriteString("Save", "Path", slash == 0 ? QStringLiteral("/") : path.left(slash));
    ini.WriteString("Save", "BasisName", path.mid(slash + 1));
}

} // namespace qvt
