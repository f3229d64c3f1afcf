#include "core/IniFile.h"

#include "core/NumberText.h"
#include "platform/CheckedWrite.h"
#include "platform/MessageBoxes.h"
#include "platform/RegularFile.h"
#include "platform/WindowThread.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QScreen>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <tuple>

namespace qvt {

namespace {

std::atomic<int> desktopWidthOverride{0};

int DesktopWidth()
{
    const int forced = desktopWidthOverride.load();
    if (forced > 0)
        return forced;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return 0;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->virtualGeometry().width() : 0;
}

int64_t Nanoseconds(const timespec& t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int64_t WallClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

// What one stat() tells about the file; any difference means "reread".
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0; // an atomic rewrite by another program gives a new inode
    off_t size = 0;
    int64_t modified = 0;
    int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StatFile(const QString& fileName)
{
    FileStamp stamp;
    struct stat st {};
    if (::stat(QFile::encodeName(fileName).constData(), &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = Nanoseconds(st.st_mtim);
        stamp.changed = Nanoseconds(st.st_ctim);
    }
    return stamp;
}

// A settings file is a few kilobytes; anything far larger is none.
constexpr qint64 SettingsFileMaxBytes = 16 * 1024 * 1024;

// File systems stamp times coarsely; an edit within the same tick and of the
// same size would look unchanged. Until the file is this much older than our
// last look at it, the content itself is compared as well.
constexpr int64_t kStampResolutionNs = 2'000'000'000;

// Windows-1252 at 0x80..0x9F; the five unassigned bytes map to the C1 code
// point of the same value so that every byte survives a round trip.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString DecodeCp1252(const QByteArray& bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        *out++ = (b >= 0x80 && b < 0xA0) ? QChar(kCp1252High[b - 0x80]) : QChar(b);
    }
    return text;
}

// False when the text holds a character Windows-1252 cannot store.
bool EncodeCp1252(const QString& text, QByteArray& bytes)
{
    bytes.resize(text.size());
    char* out = bytes.data();
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            *out++ = char(u);
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == u)
                found = i;
        if (found < 0)
            return false;
        *out++ = char(0x80 + found);
    }
    return true;
}

bool IsAscii(const QByteArray& bytes)
{
    for (const char ch : bytes)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

bool HasLoneSurrogate(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

// Settings text holds no control characters besides tabs and line ends (and
// the end-of-file mark old editors leave); a file that does is some other
// file, or a damaged one, and is kept as it is for the operator to recover.
bool IsSettingsText(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f' && u != 0x1A)
            return false;
    }
    return true;
}

// What a settings file that is no regular file is, for the operator's message.
QString NonFileKind(const QString& fileName)
{
    struct stat st {};
    if (::stat(QFile::encodeName(fileName).constData(), &st) != 0)
        return QString();
    if (S_ISFIFO(st.st_mode))
        return "a pipe (FIFO)";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "a device";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISDIR(st.st_mode))
        return "a folder";
    return QString();
}

// A line break in a key or value would split the line and plant other keys.
QString OneLine(QString text)
{
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

QString Fold(const QString& name)
{
    return name.trimmed().toCaseFolded();
}

bool ParseInteger(const QString& text, int& out)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    int base = 10;
    if (t.mid(i, 2).compare(QLatin1String("0x"), Qt::CaseInsensitive) == 0) {
        base = 16;
        i += 2;
    } else if (i < t.size() && t[i] == '$') {
        base = 16;
        i += 1;
    }
    if (i == t.size())
        return false;
    uint64_t magnitude = 0;
    const uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 2147483648u : 2147483647u);
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return false;
    }
    // Hex spans the full 32 bits, as a register value is written.
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative)
        bits = 0u - bits;
    out = static_cast<int32_t>(bits);
    return true;
}

// What a window's place or size key holds.
enum class TPlaceAxis { None = -1, Top, Left, Height, Width };

// Edges and sizes the screen made of stored ones: {axis, stored, shown}.
std::mutex screenMadeMutex;
std::set<std::tuple<int, int, int>> screenMade;

void NoteScreenMade(TPlaceAxis axis, int stored, int shown)
{
    if (stored == shown)
        return;
    std::lock_guard lock(screenMadeMutex);
    screenMade.insert({static_cast<int>(axis), stored, shown});
}

// Whether `shown` came from `stored` by the screen's moves (one or several:
// the stored left is cut to the desktop, then the window moved fully onto it).
bool IsScreenMade(TPlaceAxis placeAxis, int stored, int shown)
{
    const int axis = static_cast<int>(placeAxis);
    std::lock_guard lock(screenMadeMutex);
    QSet<int> reached{stored};
    QList<int> next{stored};
    while (!next.isEmpty()) {
        const int from = next.takeFirst();
        for (auto it = screenMade.lower_bound({axis, from, INT_MIN});
             it != screenMade.end() && std::get<0>(*it) == axis && std::get<1>(*it) == from; ++it) {
            const int to = std::get<2>(*it);
            if (to == shown)
                return true;
            if (!reached.contains(to)) {
                reached.insert(to);
                next.append(to);
            }
        }
    }
    return false;
}

// Whether the screen made `shown` of some stored place: where none was
// stored, the window stood at its default, which the screen moved.
bool IsScreenMade(TPlaceAxis placeAxis, int shown)
{
    const int axis = static_cast<int>(placeAxis);
    std::lock_guard lock(screenMadeMutex);
    return std::any_of(screenMade.cbegin(), screenMade.cend(), [axis, shown](const auto& made) {
        return std::get<0>(made) == axis && std::get<2>(made) == shown;
    });
}

TPlaceAxis PlaceAxis(const QString& key)
{
    const QString folded = Fold(key);
    if (folded == QLatin1String("formposleft") || folded == QLatin1String("formleft"))
        return TPlaceAxis::Left;
    if (folded == QLatin1String("formpostop") || folded == QLatin1String("formtop"))
        return TPlaceAxis::Top;
    if (folded == QLatin1String("formwidth") || folded == QLatin1String("formposwidth"))
        return TPlaceAxis::Width;
    if (folded == QLatin1String("formheight") || folded == QLatin1String("formposheight"))
        return TPlaceAxis::Height;
    return TPlaceAxis::None;
}

} // namespace

struct TQVTIniFile::Content {
    enum class Encoding { Cp1252, Utf8, Utf16LE, Utf16BE };
    struct Key {
        QString name;
        QString value;
        int line;
    };
    struct Section {
        QString name;
        int header;
        int end; // one past the section's last line
        QList<Key> keys;
        QHash<QString, int> firstKey; // folded name -> index into keys
    };

    bool loaded = false;
    bool unreadable = false; // present but could not be read: never overwrite it
    bool garbled = false;    // read, but could not be written back byte for byte
    bool foreign = false;    // read, but no settings text: never overwrite it
    FileStamp stamp;
    int64_t lookedAtNs = 0;
    QByteArray raw;
    Encoding encoding = Encoding::Cp1252;
    bool byteOrderMark = false;
    QStringList lines;
    QList<Section> sections; // duplicates included, for erasing
    QHash<QString, int> firstSection;

    void Decode(const QByteArray& bytes)
    {
        raw = bytes;
        byteOrderMark = bytes.startsWith("\xEF\xBB\xBF");
        QString text;
        // Editors on Windows save "Unicode" text as UTF-16 with a byte-order
        // mark; read byte-wise, every other byte would be a NUL.
        const bool utf16le = bytes.startsWith("\xFF\xFE");
        const bool utf16be = bytes.startsWith("\xFE\xFF");
        if (utf16le || utf16be) {
            byteOrderMark = true;
            encoding = utf16le ? Encoding::Utf16LE : Encoding::Utf16BE;
            QStringDecoder utf16(utf16le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                                 QStringConverter::Flag::Stateless);
            text = utf16.decode(bytes.mid(2));
            // A broken sequence would not come back byte for byte.
            garbled = utf16.hasError() || bytes.size() % 2 != 0 || HasLoneSurrogate(text);
        } else if (byteOrderMark) {
            encoding = Encoding::Utf8;
            text = QString::fromUtf8(bytes.mid(3));
        } else if (IsAscii(bytes)) {
            encoding = Encoding::Cp1252;
            text = QString::fromLatin1(bytes);
        } else {
            QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
            text = utf8.decode(bytes);
            encoding = Encoding::Utf8;
            if (utf8.hasError()) {
                encoding = Encoding::Cp1252;
                text = DecodeCp1252(bytes);
            }
        }
        foreign = !IsSettingsText(text);
        lines = text.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast(); // the final line end
        for (QString& line : lines)
            if (line.endsWith('\r'))
                line.chop(1);
        Index();
    }

    void Index()
    {
        sections.clear();
        firstSection.clear();
        for (int i = 0; i < lines.size(); ++i) {
            const QString t = lines[i].trimmed();
            if (t.isEmpty() || t.startsWith(';'))
                continue;
            if (t.startsWith('[')) {
                const qsizetype close = t.indexOf(']');
                const QString name = (close < 0 ? t.mid(1) : t.mid(1, close - 1)).trimmed();
                if (!sections.isEmpty())
                    sections.last().end = i;
                sections.append(Section{name, i, int(lines.size()), {}, {}});
                continue;
            }
            if (sections.isEmpty())
                continue; // text before the first section belongs to none
            const qsizetype eq = t.indexOf('=');
            if (eq <= 0)
                continue;
            const QString name = t.left(eq).trimmed();
            if (name.isEmpty())
                continue;
            QString value = t.mid(eq + 1).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            Section& s = sections.last();
            s.keys.append(Key{name, value, i});
            const QString folded = name.toCaseFolded();
            if (!s.firstKey.contains(folded))
                s.firstKey.insert(folded, int(s.keys.size() - 1));
        }
        // The first of duplicate sections wins.
        for (int i = 0; i < sections.size(); ++i) {
            const QString folded = Fold(sections[i].name);
            if (!firstSection.contains(folded))
                firstSection.insert(folded, i);
        }
    }

    const Section* Find(const QString& section) const
    {
        const auto it = firstSection.constFind(Fold(section));
        return it == firstSection.constEnd() ? nullptr : &sections[*it];
    }

    const Key* Find(const QString& section, const QString& key) const
    {
        const Section* s = Find(section);
        if (!s)
            return nullptr;
        const auto it = s->firstKey.constFind(Fold(key));
        return it == s->firstKey.constEnd() ? nullptr : &s->keys[*it];
    }
};

TQVTIniFile::TQVTIniFile(const QString& fileName) : fileName_(fileName), content_(std::make_unique<Content>()) {}

TQVTIniFile::~TQVTIniFile() = default;

QString TQVTIniFile::FileName() const
{
    return fileName_;
}

bool TQVTIniFile::Exists() const
{
    return QFileInfo(fileName_).isFile();
}

void TQVTIniFile::SetDesktopWidthForTests(int width)
{
    desktopWidthOverride.store(width > 0 ? width : 0);
}

void TQVTIniFile::RefreshLocked() const
{
    Content& c = *content_;
    const FileStamp stamp = StatFile(fileName_);
    const int64_t now = WallClockNs();
    if (c.loaded && stamp == c.stamp) {
        if (!stamp.exists || c.unreadable)
            return;
        if (c.lookedAtNs - stamp.modified >= kStampResolutionNs)
            return; // the stamp alone is trustworthy
    }

    auto fresh = std::make_unique<Content>();
    fresh->loaded = true;
    fresh->stamp = stamp;
    fresh->lookedAtNs = now;
    if (stamp.exists) {
        QByteArray bytes;
        const TFileRead read = ReadRegularFile(fileName_, SettingsFileMaxBytes, bytes);
        if (read == TFileRead::Refused) {
            // Told from the window thread's loop: a box must not stand while
            // this file's lock is held.
            const QString kind = NonFileKind(fileName_);
            const QString text = kind.isEmpty() ? RefusedFileText("Settings file", fileName_, SettingsFileMaxBytes)
                                                : "Settings file " + fileName_ + " refused: it is " + kind +
                                                      ", no settings file; it is neither read nor written.";
            const TTelling telling = TellingOf(fileName_, text);
            if (telling == TTelling::Show)
                PostToWindowThread([text] { ShowMessage(MsgKind::Warning, text); });
            else if (telling == TTelling::Log)
                LogMessage(MsgKind::Warning, text);
        }
        if (read != TFileRead::Read) {
            fresh->unreadable = true;
        } else if (c.loaded && !c.unreadable && bytes == c.raw) {
            c.stamp = stamp; // same text, only the stamp moved on
            c.lookedAtNs = now;
            return;
        } else {
            fresh->Decode(bytes);
        }
    }
    content_ = std::move(fresh);
}

QString TQVTIniFile::SaveLocked(QStringList lines)
{
    Content& c = *content_;
    if (c.unreadable) {
        // Said again here, since a start that ends early never shows what the reading posted.
        const QString kind = NonFileKind(fileName_);
        return kind.isEmpty() ? QStringLiteral("it cannot be read, so it is not written")
                              : "it is " + kind + ", no settings file, so it is not written";
    }
    if (c.garbled)
        return "it is no valid UTF-16, so it is left as it is";
    if (c.foreign)
        return "it holds no settings text, so it is left as it is";
    // A file the operator made read-only stays as it is, also for root,
    // whom the system would let replace it.
    struct stat info {};
    if (::stat(QFile::encodeName(fileName_).constData(), &info) == 0 && (info.st_mode & 0222) == 0)
        return "the file is read-only";
    QString text = lines.join(QStringLiteral("\r\n"));
    if (!lines.isEmpty())
        text += QStringLiteral("\r\n");

    Content::Encoding encoding = c.encoding;
    QByteArray bytes;
    // A character Windows-1252 lacks turns the file into UTF-8 rather than being lost.
    if (encoding == Content::Encoding::Cp1252 && !EncodeCp1252(text, bytes))
        encoding = Content::Encoding::Utf8;
    if (encoding == Content::Encoding::Utf8)
        bytes = (c.byteOrderMark ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + text.toUtf8();
    if (encoding == Content::Encoding::Utf16LE || encoding == Content::Encoding::Utf16BE) {
        // Written back as it came, mark included, so the editor that made it still reads it.
        const bool le = encoding == Content::Encoding::Utf16LE;
        QStringEncoder utf16(le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                             QStringConverter::Flag::Stateless);
        bytes = QByteArray(le ? "\xFF\xFE" : "\xFE\xFF", 2) + QByteArray(utf16.encode(text));
    }

    if (const QString failure = WriteFileWhole(fileName_, bytes); !failure.isEmpty())
        return failure;
    c.raw = bytes;
    c.stamp = StatFile(fileName_);
    c.lookedAtNs = WallClockNs();
    c.encoding = encoding;
    c.lines = std::move(lines);
    c.Index();
    return QString();
}

void TQVTIniFile::TellWriteFailure(const QString& reason) const
{
    if (reason.isEmpty())
        return;
    // Told outside the file's lock, since a box lets the window thread read
    // this file meanwhile.
    TellFileTrouble(fileName_, reason, "Settings file " + fileName_ + " cannot be written: " + reason);
}

bool TQVTIniFile::LookupLocked(const QString& section, const QString& key, QString& value) const
{
    RefreshLocked();
    const Content::Key* k = content_->Find(section, key);
    if (!k)
        return false;
    value = k->value;
    return true;
}

QString TQVTIniFile::ReadString(const QString& section, const QString& key, const QString& def) const
{
    std::lock_guard lock(mutex_);
    QString value;
    return LookupLocked(section, key, value) ? value : def;
}

int TQVTIniFile::ReadInteger(const QString& section, const QString& key, int def) const
{
    int value = def;
    return ParseInteger(ReadString(section, key, QString()), value) ? value : def;
}

bool TQVTIniFile::ReadBool(const QString& section, const QString& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

double TQVTIniFile::ReadFloat(const QString& section, const QString& key, double def) const
{
    double value = def;
    return ParseNumber(ReadString(section, key, QString()), value) ? value : def;
}

int TQVTIniFile::ReadFormPosLeft(const QString& section, int def) const
{
    const int left = ReadInteger(section, QStringLiteral("FormPosLeft"), def);
    const int width = DesktopWidth();
    if (width > 0 && left > width - 30) {
        NoteScreenMade(TPlaceAxis::Left, left, width - 30);
        return width - 30;
    }
    return left;
}

void TQVTIniFile::NoteScreenMadePlace(bool horizontal, int stored, int shown)
{
    NoteScreenMade(horizontal ? TPlaceAxis::Left : TPlaceAxis::Top, stored, shown);
}

void TQVTIniFile::NoteScreenMadeSize(bool horizontal, int stored, int shown)
{
    NoteScreenMade(horizontal ? TPlaceAxis::Width : TPlaceAxis::Height, stored, shown);
}

void TQVTIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    QString failure;
    {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        const Content& c = *content_;
        QStringList lines = c.lines;
        const QString cleanValue = OneLine(value);
        const Content::Section* s = c.Find(section);
        const Content::Key* k = s != nullptr ? c.Find(section, key) : nullptr;
        // The screen's place or size, not the operator's, goes over no stored one.
        const TPlaceAxis axis = PlaceAxis(key);
        int shown = 0;
        if (axis != TPlaceAxis::None && ParseInteger(value, shown)) {
            int stored = 0;
            if (k == nullptr ? IsScreenMade(axis, shown)
                             : ParseInteger(k->value, stored) && IsScreenMade(axis, stored, shown))
                return;
        }
        if (!s) {
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
                lines.append(QString());
            lines.append('[' + OneLine(section).trimmed() + ']');
            lines.append(OneLine(key).trimmed() + '=' + cleanValue);
        } else if (k != nullptr) {
            const QString line = k->name + '=' + cleanValue;
            if (lines[k->line] == line)
                return; // already on disk as it would be written
            lines[k->line] = line;
        } else {
            const int at = s->keys.isEmpty() ? s->header + 1 : s->keys.last().line + 1;
            lines.insert(at, OneLine(key).trimmed() + '=' + cleanValue);
        }
        failure = SaveLocked(std::move(lines));
    }
    TellWriteFailure(failure);
}

void TQVTIniFile::WriteInteger(const QString& section, const QString& key, int value)
{
    WriteString(section, key, QString::number(value));
}

void TQVTIniFile::WriteBool(const QString& section, const QString& key, bool value)
{
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TQVTIniFile::WriteFloat(const QString& section, const QString& key, double value)
{
    WriteString(section, key, FloatToText(value));
}

bool TQVTIniFile::SectionExists(const QString& section) const
{
    std::lock_guard lock(mutex_);
    RefreshLocked();
    return content_->Find(section) != nullptr;
}

bool TQVTIniFile::ValueExists(const QString& section, const QString& key) const
{
    std::lock_guard lock(mutex_);
    QString value;
    return LookupLocked(section, key, value);
}

QStringList TQVTIniFile::ReadSection(const QString& section) const
{
    std::lock_guard lock(mutex_);
    RefreshLocked();
    QStringList names;
    if (const Content::Section* s = content_->Find(section))
        for (const Content::Key& k : s->keys)
            if (s->keys[s->firstKey.value(k.name.toCaseFolded())].line == k.line)
                names.append(k.name);
    return names;
}

QStringList TQVTIniFile::ReadSections() const
{
    std::lock_guard lock(mutex_);
    RefreshLocked();
    QStringList names;
    const Content& c = *content_;
    for (int i = 0; i < c.sections.size(); ++i)
        if (c.firstSection.value(Fold(c.sections[i].name)) == i)
            names.append(c.sections[i].name);
    return names;
}

void TQVTIniFile::EraseSection(const QString& section)
{
    QString failure;
    {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        const Content& c = *content_;
        if (!c.Find(section))
            return;
        QStringList lines = c.lines;
        const QString folded = Fold(section);
        for (auto s = c.sections.crbegin(); s != c.sections.crend(); ++s)
            if (Fold(s->name) == folded)
                lines.remove(s->header, s->end - s->header);
        failure = SaveLocked(std::move(lines));
    }
    TellWriteFailure(failure);
}

void TQVTIniFile::DeleteKey(const QString& section, const QString& key)
{
    QString failure;
    {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        const Content& c = *content_;
        const Content::Section* s = c.Find(section);
        if (!s || !c.Find(section, key))
            return;
        // Every copy goes, so a later duplicate does not surface as the value.
        QStringList lines = c.lines;
        const QString folded = Fold(key);
        for (auto k = s->keys.crbegin(); k != s->keys.crend(); ++k)
            if (k->name.toCaseFolded() == folded)
                lines.removeAt(k->line);
        failure = SaveLocked(std::move(lines));
    }
    TellWriteFailure(failure);
}

} // namespace qvt
