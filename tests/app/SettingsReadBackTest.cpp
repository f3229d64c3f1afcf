// Every setting the program writes at exit is one it reads at the next start:
// a first run opens every window and exits, each stored value is then moved to
// another valid one in the files, a second run starts and exits, and every
// value must still be the moved one. A value written but never read comes back
// as the program's own, which is a setting the operator loses at each restart.

#include "app/ProgramInProcess.h"

#include <QMap>
#include <QRegularExpression>

#include <cmath>

using namespace qvt;
using namespace qvt::test;

namespace {

// The files that hold what the windows keep.
const QStringList kSettingsFiles = {"ini/qvt.ini", "user.ini"};

// "file [section] key" -> value, of every key in a settings text.
QMap<QString, QString> Keys(const QString& file, const QString& text)
{
    QMap<QString, QString> keys;
    QString section;
    for (QString line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[') && line.endsWith(']'))
            section = line.mid(1, line.size() - 2);
        else if (line.contains('=') && !line.startsWith(';'))
            keys.insert(QString("%1 [%2] %3").arg(file, section, line.section('=', 0, 0).trimmed()),
                        line.section('=', 1));
    }
    return keys;
}

QMap<QString, QString> AllKeys(TempDir& dir)
{
    QMap<QString, QString> all;
    for (const QString& file : kSettingsFiles)
        all.insert(Keys(file, QString::fromLatin1(dir.ReadFile(file))));
    return all;
}

// The text with `key` in `section` given `value`, added to the section when
// it is not there.
QString WithSetting(const QString& text, const QString& section, const QString& key, const QString& value)
{
    QStringList lines = text.split('\n');
    QString current;
    int header = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QString t = lines[i].trimmed();
        if (t.startsWith('[') && t.endsWith(']')) {
            current = t.mid(1, t.size() - 2);
            if (current == section && header < 0)
                header = i;
        } else if (current == section && t.section('=', 0, 0).trimmed() == key) {
            lines[i] = key + "=" + value + (lines[i].endsWith('\r') ? "\r" : "");
            return lines.join('\n');
        }
    }
    if (header < 0)
        return text + "\r\n[" + section + "]\r\n" + key + "=" + value + "\r\n";
    lines.insert(header + 1, key + "=" + value + "\r");
    return lines.join('\n');
}

// Choices that decide whether other values are read at all: set so that they
// are, and kept while the others move.
struct TGate {
    const char* File;
    const char* Section;
    const char* Key;
    const char* Value;
};
const TGate kGates[] = {
    {"ini/qvt.ini", "ScanPara", "Level", "1"},        // fixed slopes: dxdz and dydz are read
    {"ini/qvt.ini", "FeedPara", "KelvinOffset", "1"}, // the Kelvin reference is read
};

bool IsGate(const QString& key)
{
    for (const TGate& g : kGates)
        if (key == QString("%1 [%2] %3").arg(g.File, g.Section, g.Key))
            return true;
    return false;
}

// Another value of the same kind, one way or the other: a number or an index
// one higher or lower, a real number an eighth larger or smaller. A value at
// its limit cannot move one way, so a key counts as lost only when neither way
// comes back. Texts are left as they are: most name files, folders or devices
// that must exist.
QString Moved(const QString& value, int way)
{
    bool isInt = false;
    const qlonglong n = value.trimmed().toLongLong(&isInt);
    if (isInt)
        return QString::number(n + way);
    bool isReal = false;
    const double d = value.trimmed().toDouble(&isReal);
    if (isReal)
        return d == 0 ? QString::number(way) : QString::number(d * (1 + way / 8.0), 'g', 12);
    return QString();
}

// The same value, as far as the digits written show it.
bool SameValue(const QString& written, const QString& moved)
{
    bool okA = false;
    bool okB = false;
    const double x = written.trimmed().toDouble(&okA);
    const double y = moved.trimmed().toDouble(&okB);
    if (!okA || !okB)
        return written.trimmed() == moved.trimmed();
    const QString mantissa = written.trimmed().section(QRegularExpression("[eE]"), 0, 0);
    const int decimals = mantissa.contains('.') ? int(mantissa.size() - mantissa.indexOf('.') - 1) : 0;
    const int exponent = written.contains(QRegularExpression("[eE]"))
                             ? written.trimmed().section(QRegularExpression("[eE]"), 1, 1).toInt()
                             : 0;
    return std::abs(x - y) <= 0.5 * std::pow(10.0, exponent - decimals) + 1e-9 * std::abs(y);
}

// Whether the value written at the second exit is the moved one read: as
// moved, or moved less far where a limit stopped it.
bool ReadBack(const QString& stored, const QString& moved, const QString& written)
{
    if (SameValue(written, moved))
        return true;
    // A switch takes any number but 0 as on, and writes it back as 1.
    const QStringList switchValues = {"0", "1"};
    if (switchValues.contains(stored.trimmed()) && switchValues.contains(written.trimmed()) &&
        (moved.trimmed().toLongLong() != 0) == (written.trimmed() == "1"))
        return true;
    const double from = stored.trimmed().toDouble();
    const double to = moved.trimmed().toDouble();
    const double now = written.trimmed().toDouble();
    return !SameValue(written, stored) && std::min(from, to) < now && now < std::max(from, to);
}

// Keys the program writes that are not a choice read back as it stands: each
// with the reason.
bool NotReadBack(const QString& key)
{
    static const QList<std::pair<QRegularExpression, const char*>> kinds = {
        // Measured or worked out at each start, never taken from the file.
        {QRegularExpression(R"(\[Main\] DeviceDriverIOCTLFreq$)"), "the link's speed, measured at each start"},
        {QRegularExpression(R"(\[Scale\] DAC\d+Edit2$)"), "an output's step, worked out from its range"},
        {QRegularExpression(R"(\[FeedPara\] Edit18Tag$)"), "the amplitude's prefix, taken from its unit"},
        {QRegularExpression(R"(\[dncopt\] ScaleY$)"), "the read-out scale, off at every start"},
        // One of a group of radio buttons: a single key moved alone is no
        // valid choice; the choices are read back in KeptAcrossRestart.
        {QRegularExpression(R"(Radio\d+$)"), "one button of a radio group"},
        // Two-valued tags: any value but 0 is the other choice, written as its tag.
        {QRegularExpression(R"(\[MultiLockin\] Label2[56]Tag$)"), "a route's tag"},
        // Indexes into the channels the scale table lists, which the same
        // round moves too.
        {QRegularExpression(R"(\[Oszi2\] Channel\d$)"), "an index into the listed channels"},
        // Placed by the main window, not by themselves.
        {QRegularExpression(R"(\[ScanPara\] FormPos(Left|Top)$)"), "docked in the main window"},
        // What the controller has not got is written as off.
        {QRegularExpression(R"(\[Main\] FastSpeedButton$)"), "the fast scan, only on controllers that have it"},
    };
    for (const auto& [pattern, why] : kinds)
        if (pattern.match(key).hasMatch())
            return true;
    return false;
}

class SettingsReadBack : public ProgramInProcess {
protected:
    // Opens every window the program makes, as the operator can, and exits.
    void RunAndExit()
    {
        InstallShutdownOnSignals();
        Run([] {
            for (const char* item : {"AutoOffsetItem", "ScaleItem"})
                Open(item);
            Open("FileExitItem");
        });
    }

    // The keys whose moved value came back as the program's own, moving each
    // stored value `way`.
    QMap<QString, QString> CameBack(const QMap<QString, QString>& first, const QMap<QString, QString>& texts, int way)
    {
        QMap<QString, QString> moved;
        QMap<QString, QString> edited = texts;
        static const QRegularExpression id(R"(^(\S+) \[(.*)\] (.*)$)");
        for (auto it = first.cbegin(); it != first.cend(); ++it) {
            const QString value = Moved(it.value(), way);
            if (value.isEmpty() || IsGate(it.key()))
                continue;
            const QRegularExpressionMatch m = id.match(it.key());
            edited[m.captured(1)] = WithSetting(edited[m.captured(1)], m.captured(2), m.captured(3), value);
            moved[it.key()] = value;
        }
        for (const QString& file : kSettingsFiles)
            dir_.WriteFile(file, edited[file].toLatin1());
        RunAndExit();
        const QMap<QString, QString> second = AllKeys(dir_);
        QMap<QString, QString> lost;
        for (auto it = moved.cbegin(); it != moved.cend(); ++it)
            if (!ReadBack(first.value(it.key()), it.value(), second.value(it.key())))
                lost[it.key()] = QString("moved to %1, came back %2").arg(it.value(), second.value(it.key()));
        return lost;
    }

    // The keys that came back as the program's own whichever way they moved.
    QStringList Lost()
    {
        for (const TGate& g : kGates)
            dir_.WriteFile(
                g.File, WithSetting(QString::fromLatin1(dir_.ReadFile(g.File)), g.Section, g.Key, g.Value).toLatin1());
        RunAndExit();
        const QMap<QString, QString> first = AllKeys(dir_);
        EXPECT_GT(first.size(), 300);
        QMap<QString, QString> texts;
        for (const QString& file : kSettingsFiles)
            texts[file] = QString::fromLatin1(dir_.ReadFile(file));

        const QMap<QString, QString> down = CameBack(first, texts, -1);
        const QMap<QString, QString> up = CameBack(first, texts, +1);
        QStringList lost;
        for (auto it = down.cbegin(); it != down.cend(); ++it)
            if (up.contains(it.key()) && !NotReadBack(it.key()))
                lost << QString("%1: stored %2; %3; %4")
                            .arg(it.key(), first.value(it.key()), it.value(), up.value(it.key()));
        return lost;
    }
};

} // namespace

TEST_F(SettingsReadBack, EveryValueStoredAtExitIsTheOneReadAtTheNextStart)
{
    const QStringList lost = Lost();
    EXPECT_TRUE(lost.isEmpty()) << lost.join('\n').toStdString();
}

TEST_F(SettingsReadBack, EveryValueOfATypeTwentyNineControllerWithItsLandingPanel)
{
    // The high-speed window, the fast scan and the landing panel keep theirs too.
    dir_.WriteFile("ini/sim.ini",
                   dir_.ReadFile("ini/sim.ini").replace("Type=26", "Type=29").replace("\nAttached=0", "\nAttached=1"));
    dir_.WriteFile("ini/qvt.ini",
                   dir_.ReadFile("ini/qvt.ini").replace("[Main]", "[Software]\r\nMainFrame=1\r\n\r\n[Main]"));
    const QStringList lost = Lost();
    EXPECT_TRUE(lost.isEmpty()) << lost.join('\n').toStdString();
}

TEST_F(SettingsReadBack, EveryValueOfAControllerWithTheSecondLockIn)
{
    dir_.WriteFile("ini/sim.ini", dir_.ReadFile("ini/sim.ini").replace("Type=26", "Type=25"));
    const QStringList lost = Lost();
    EXPECT_TRUE(lost.isEmpty()) << lost.join('\n').toStdString();
}
