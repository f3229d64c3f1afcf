#include "files/ScanFileOutput.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "files/SavePath.h"
#include "images/ImageRender.h"
#include "platform/CheckedWrite.h"
#include "platform/MessageBoxes.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qvt {

QString SaveBaseName;

namespace {

std::function<void(int, const QString&)> renameHook; // window thread

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

// Flushes the directory itself, so a move into it survives a power cut.
// File systems that cannot flush a directory (EINVAL) count as flushed.
bool SyncDirectory(const QByteArray& directory)
{
    const int fd = ::open(directory.isEmpty() ? "." : directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

// A file that appears under its final name only when complete: written under
// a short hidden temporary name in the same directory (so a legal long final
// name never grows past the name limit), flushed to disk, then moved without
// replacing anything, and the directory flushed after the move.
class TNewFile {
public:
    explicit TNewFile(const QString& path) : final_(QFile::encodeName(path))
    {
        const qsizetype slash = final_.lastIndexOf('/');
        dir_ = final_.left(slash + 1);
        for (int k = 0; k < MaxTempAttempts && fd_ < 0; ++k) {
            temp_ = dir_ + QFile::encodeName(TempSaveFileName(::getpid(), k));
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

    // On disk and closed, still under the temporary name: after a power cut
    // the final name never stands for an empty or partial file.
    bool Finish()
    {
        if (closed_)
            return !failed_;
        if (fd_ < 0 || failed_)
            return false;
        const bool synced = ::fsync(fd_) == 0;
        const int closeResult = ::close(fd_);
        fd_ = -1;
        closed_ = true;
        failed_ = !synced || closeResult != 0;
        return !failed_;
    }

    // Under its final name, the directory not yet flushed: a set moves all
    // its files first and flushes the directory once.
    TWriteStatus Move()
    {
        if (!Finish())
            return TWriteStatus::AccessError;
        const int moved = qvt::MoveNoReplace(temp_, final_);
        if (moved != 0)
            return moved == EEXIST ? TWriteStatus::Exists : TWriteStatus::AccessError;
        committed_ = true;
        return TWriteStatus::Written;
    }

    TWriteStatus Commit()
    {
        const TWriteStatus status = Move();
        if (status != TWriteStatus::Written)
            return status;
        return SyncDirectory(dir_) ? TWriteStatus::Written : TWriteStatus::AccessError;
    }

private:
    static constexpr int MaxTempAttempts = 1000;

    QByteArray final_;
    QByteArray dir_;
    QByteArray temp_;
    int fd_ = -1;
    bool closed_ = false;
    bool failed_ = false;
    bool committed_ = false;
};

// When this process started, on the wall clock; none when the system does
// not tell. From the start tick of /proc/self/stat, which counts boot time.
std::optional<timespec> ProcessStartTime()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // The command name may hold blanks and parentheses: count from its end.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    constexpr int StartTimeField = 19; // field 22 of the line, the third after the name
    bool ok = false;
    const qulonglong ticks = fields.size() > StartTimeField ? fields[StartTimeField].toULongLong(&ok) : 0;
    const long hz = ::sysconf(_SC_CLK_TCK);
    timespec boot{};
    timespec now{};
    if (!ok || hz <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0)
        return std::nullopt;
    const int64_t ns = int64_t(1000000000);
    const int64_t sinceStart =
        (int64_t(boot.tv_sec) * ns + boot.tv_nsec) - int64_t(ticks / hz) * ns - int64_t(ticks % hz) * ns / hz;
    const int64_t start = int64_t(now.tv_sec) * ns + now.tv_nsec - sinceStart;
    return timespec{static_cast<time_t>(start / ns), static_cast<long>(start % ns)};
}

bool Before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

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

QString TempSaveFileName(qint64 pid, int attempt)
{
    return ".qvt" + QString::number(pid) + "_" + QString::number(attempt) + ".part";
}

bool IsTempSaveFileName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.qvt[0-9]{1,10}_[0-9]{1,3}\\.part$"));
    return pattern.match(name).hasMatch();
}

int SweepStaleTempFiles(const QString& directory)
{
    const std::optional<timespec> started = ProcessStartTime();
    if (!started)
        return 0;
    const QByteArray dirName = QFile::encodeName(directory);
    DIR* dir = ::opendir(dirName.isEmpty() ? "." : dirName.constData());
    if (dir == nullptr)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsTempSaveFileName(QFile::decodeName(entry->d_name)))
            continue;
        // Only what a save that ended before this process began left behind:
        // a save of a running instance is younger.
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            !Before(st.st_mtim, *started))
            continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

QString NumberedBaseName(const QString& base, int number)
{
    return base + QString("%1").arg(number, 2, 10, QChar('0'));
}

namespace {

bool IsDigit(QChar ch)
{
    return ch >= '0' && ch <= '9';
}

// What follows "<base><NN>" in a file of a set: ".txt" for the parameter
// file, a label and ".int" or ".bmp" for an image.
bool IsSetFileTail(QStringView tail)
{
    return tail.compare(u".txt", Qt::CaseInsensitive) == 0 || tail.endsWith(u".int", Qt::CaseInsensitive) ||
           tail.endsWith(u".bmp", Qt::CaseInsensitive);
}

// The numbers held by any file of a set under `base` in `directory`. A
// save killed between its moves leaves images without their parameter
// file: their number is taken all the same, or every later save would stop
// on their names. A label that begins with digits makes the number
// ambiguous ("NoName1234X.int" may be 12, 123 or 1234): each reading counts,
// as a skipped number costs nothing and a reused one a save.
QSet<int> TakenSaveNumbers(const QString& directory, const QString& base)
{
    constexpr qsizetype MaxDigits = 5; // of the highest number tried
    static_assert(MaxSaveNumber <= 100000);
    QSet<int> taken;
    const QByteArray dirName = QFile::encodeName(directory);
    DIR* dir = ::opendir(dirName.isEmpty() ? "." : dirName.constData());
    if (dir == nullptr)
        return taken;
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        // Case does not separate names on every disk a set may be saved to.
        if (!name.startsWith(base, Qt::CaseInsensitive))
            continue;
        const QStringView rest = QStringView(name).mid(base.size());
        qsizetype digits = 0;
        while (digits < rest.size() && digits < MaxDigits && IsDigit(rest[digits]))
            ++digits;
        // At least two digits; a leading zero only in "00".."09".
        for (qsizetype length = 2; length <= digits && (length == 2 || rest[0] != '0'); ++length)
            if (IsSetFileTail(rest.mid(length)))
                taken.insert(rest.left(length).toInt());
    }
    ::closedir(dir);
    return taken;
}

} // namespace

int NextFreeFileNumber(const QString& directory, const QString& base)
{
    const QSet<int> taken = TakenSaveNumbers(directory, base);
    // A directory that cannot be listed still answers for each name.
    for (int nn = 0; nn < MaxSaveNumber; ++nn)
        if (!taken.contains(nn) && !PathExists(JoinPath(directory, NumberedBaseName(base, nn) + ".txt")))
            return nn;
    return -1;
}

QString ChannelFileName(const TDaten& buffer, const QString& saveBaseName)
{
    return saveBaseName + FileNamePart(buffer.Name) + FileNamePart(buffer.Suffix);
}

TSavePlan PlanSaveNames(const QString& baseName, const TImageChannels& channels,
                        const std::vector<TImageWindowPicture>& windows, const TFrameBuffers& frame)
{
    TSavePlan plan;
    QSet<QString> used;
    for (int i = 0; i < TImageChannels::Count(); ++i) {
        const TDaten& d = channels[i];
        TImageMatrixPtr matrix = d.Data();
        if (frame) {
            const std::optional<TSaveBuffer> b = frame(i);
            matrix = b ? b->Matrix : nullptr;
        }
        if (!matrix)
            continue;
        const QString stem = ChannelFileName(d, baseName);
        plan.Buffers.push_back({UniqueStem(used, stem, i), d.Name + d.Suffix, i, std::move(matrix)});
    }
    for (const TImageWindowPicture& w : windows) {
        const QString stem = baseName + FileNamePart(w.Caption);
        plan.Windows.push_back({UniqueStem(used, stem, w.BufferIndex), w.Caption, w.BufferIndex, nullptr});
    }
    return plan;
}

TImageWindowPicture PictureCopy(const QString& caption, int bufferIndex, const TIndexedBitmap& bitmap,
                                const TColorTable& table)
{
    TImageWindowPicture picture;
    picture.Caption = caption;
    picture.BufferIndex = bufferIndex;
    picture.OwnedBitmap = std::make_shared<const TIndexedBitmap>(bitmap);
    picture.OwnedTable = std::make_shared<const TColorTable>(table);
    picture.Bitmap = picture.OwnedBitmap.get();
    picture.Table = picture.OwnedTable.get();
    return picture;
}

TWriteStatus WriteNewFile(const QString& path, const QByteArray& bytes)
{
    TNewFile file(path);
    file.Write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return file.Commit();
}

namespace {

// The raw data into `file`, finished under its temporary name.
bool WriteIntData(TNewFile& file, const TImageMatrix& matrix)
{
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
    return file.Finish();
}

} // namespace

TWriteStatus WriteIntFile(const QString& path, const TImageMatrix& matrix)
{
    TNewFile file(path);
    WriteIntData(file, matrix);
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
    // What saves killed half-way (power cut, crash) left behind.
    SweepStaleTempFiles(dir);

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
    const TSavePlan plan = PlanSaveNames(SaveBaseName, channels, request.Windows, request.Frame);

    bool accessErrorShown = false;
    // A full disk or a lost mount fails every file alike: one box is enough.
    const auto accessError = [&accessErrorShown] {
        if (!accessErrorShown)
            ShowMessage(MsgKind::Warning, FileAccessErrorText);
        accessErrorShown = true;
    };

    // The parameter file's values; whatever becomes of it, the data files follow.
    TParameterFileValues& values = request.Values;
    const QDateTime now = request.Environment.Now ? request.Environment.Now() : QDateTime::currentDateTime();
    const QLocale locale = request.Environment.Locale.value_or(QLocale());
    values.Date = SaveDateText(now, locale);
    values.Time = SaveTimeText(now, locale);
    values.UserName = request.Environment.UserName ? request.Environment.UserName() : GetLoginUserName();
    values.Files.clear();
    for (const TPlannedFile& f : plan.Buffers)
        values.Files.push_back(
            DescribeFile(f.Stem + ".int", f.Caption,
                         request.Frame ? request.Frame(f.BufferIndex)->Scale : channels[f.BufferIndex].Scale));
    const QString textName = SaveBaseName + ".txt";
    // Every file of the set is written under a temporary name first and
    // takes its own name only when all are on disk, the parameter file last:
    // a save killed half-way leaves temporary files only, which hold no
    // number and are never taken for a set, and never a parameter file that
    // names images which are not there.
    TNewFile parameterFile(JoinPath(dir, textName));
    const QByteArray parameterText = EncodeParameterFile(ParameterFileText(values));
    parameterFile.Write(parameterText.constData(), static_cast<std::size_t>(parameterText.size()));
    parameterFile.Finish();

    // A save that ends early leaves nothing of its set: raw images without
    // their parameter file would be no set, and would take the names of the
    // next save under the same number.
    const auto removeWritten = [&] {
        for (const QString& name : std::as_const(out.Written))
            QFile::remove(JoinPath(dir, name));
        out.Written.clear();
    };
    const auto stop = [&](const QString& path) {
        ShowMessage(MsgKind::Information, NameExistsText(path));
        removeWritten();
        return out;
    };
    struct TPending {
        QString Name; // within the directory
        QString Path; // without extension, for the message
        std::unique_ptr<TNewFile> File;
    };

    // Raw data; a name taken before this save ends it, as nothing may be
    // overwritten, and so does a raw image that cannot be written.
    std::vector<TPending> raw;
    for (const TPlannedFile& f : plan.Buffers) {
        const QString path = JoinPath(dir, f.Stem);
        if (PathExists(path + ".bmp") || PathExists(path + ".int"))
            return stop(path);
        // The matrix taken when the save was planned: a channel switched
        // off meanwhile (while a message box is open) is still written whole.
        if (!f.Matrix)
            continue;
        auto file = std::make_unique<TNewFile>(path + ".int");
        if (!WriteIntData(*file, *f.Matrix)) {
            accessError();
            return out;
        }
        raw.push_back({f.Stem + ".int", path, std::move(file)});
    }

    // Pictures; a taken name or a failed write only skips that window.
    std::vector<TPending> pictures;
    for (std::size_t i = 0; i < plan.Windows.size(); ++i) {
        const TImageWindowPicture& w = request.Windows[i];
        const TPlannedFile& f = plan.Windows[i];
        if (w.Bitmap == nullptr || w.Table == nullptr)
            continue;
        const QString path = JoinPath(dir, f.Stem);
        if (PathExists(path + ".bmp") || PathExists(path + ".int")) {
            ShowMessage(MsgKind::Information, NameExistsText(path));
            continue;
        }
        auto file = std::make_unique<TNewFile>(path + ".bmp");
        const QByteArray bytes = BitmapFileImage(*w.Bitmap, *w.Table);
        file->Write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        if (!file->Finish()) {
            accessError();
            continue;
        }
        pictures.push_back({f.Stem + ".bmp", path, std::move(file)});
    }

    // Into place: the raw images, the pictures, the parameter file, one
    // move after the other with nothing written in between, so a kill finds
    // the set whole, absent, or without its parameter file only.
    int moves = 0;
    const auto move = [&](TNewFile& file, const QString& name) {
        if (renameHook)
            renameHook(moves, JoinPath(dir, name));
        ++moves;
        return file.Move();
    };
    for (TPending& p : raw) {
        const TWriteStatus status = move(*p.File, p.Name);
        if (status == TWriteStatus::Exists)
            return stop(p.Path);
        if (status == TWriteStatus::AccessError) {
            accessError();
            removeWritten();
            return out;
        }
        out.Written << p.Name;
    }
    for (TPending& p : pictures) {
        const TWriteStatus status = move(*p.File, p.Name);
        if (status == TWriteStatus::Exists)
            ShowMessage(MsgKind::Information, NameExistsText(p.Path));
        else if (status == TWriteStatus::AccessError)
            accessError();
        else
            out.Written << p.Name;
    }

    // The data files' moves reach the disk before the parameter file's, so
    // a power cut cannot leave a parameter file naming files that are gone.
    if (!SyncDirectory(QFile::encodeName(dir)))
        accessError();
    bool parameterFileWritten = false;
    switch (move(parameterFile, textName)) {
    case TWriteStatus::Written:
        out.Written.prepend(textName);
        parameterFileWritten = true;
        break;
    case TWriteStatus::Exists:
        ShowMessage(MsgKind::Information, FileExistsText);
        removeWritten();
        break;
    case TWriteStatus::AccessError:
        accessError();
        removeWritten();
        break;
    }
    // The second flush makes the parameter file's move last.
    if (!SyncDirectory(QFile::encodeName(dir)))
        accessError();

    out.Complete = true;
    // The set is named after its parameter file: without one there is no
    // set to open, and the last one written stays the one named.
    if (parameterFileWritten) {
        out.Caption = "QVT   " + JoinPath(dir, SaveBaseName);
        ini.WriteString("Save", "LastFile", '"' + SaveBaseName + '"');
    }
    return out;
}

void SetSaveRenameHookForTests(std::function<void(int rename, const QString& path)> hook)
{
    renameHook = std::move(hook);
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
