#include "lockin/DncOptions.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <algorithm>
#include <array>

namespace qvt {

namespace {

enum class Home { Options, Tool, User }; // [dncopt], [dnc], [dncopt] of the user file

struct TKeyEntry {
    TDncOptions::Key Key;
    const char* Name;
    const char* Default;
    Home Where = Home::Options;
};

// Every key with its default; SyncPeriode has none (the drive frequency gives it).
constexpr std::array<TKeyEntry, TDncOptions::All> Keys = {{
    {TDncOptions::DataPoints, "datapoints", "512"},
    {TDncOptions::Average, "average", "0"},
    {TDncOptions::ContAverage, "ContAverage", "-1"},
    {TDncOptions::Wobbel, "Wobbel", "0"},
    {TDncOptions::Harmonic, "harmonic", "1"},
    {TDncOptions::Phase, "phase", "0"},
    {TDncOptions::AutoPhase, "AutoPhase", "0"},
    {TDncOptions::Ac, "ac", "0"},
    {TDncOptions::SyncFilter, "SyncFilter", "0"},
    {TDncOptions::SyncPeriode, "SyncPeriode", "0"},
    {TDncOptions::History, "history", "0"},
    {TDncOptions::Vector, "vector", "1"},
    {TDncOptions::ShowWarning, "ShowWarning", "1"},
    {TDncOptions::ShowPhase, "ShowPhase", "0"},
    {TDncOptions::ScaleY, "ScaleY", "0"},
    {TDncOptions::ShowX, "ShowX", "0"},
    {TDncOptions::QEnabled, "QEnabled", "0"},
    {TDncOptions::TrackBar1Pos, "TrackBar1Pos", "100", Home::User},
    {TDncOptions::QDelay, "QDelay", "10"},
    {TDncOptions::QSpecAtChange, "QSpecAtChange", "0"},
    {TDncOptions::FitShoAlways, "fitSHOalways", "0"},
    {TDncOptions::FitShoWidth, "fitSHOwidth", "1"},
    {TDncOptions::FitShoColor, "fitSHOcolor", "0"},
    {TDncOptions::AutoTuneOn, "AutoTuneOn", "0"},
    {TDncOptions::AutoTuneStartF, "AutoTuneStartF", "10000"},
    {TDncOptions::AutoTuneStopF, "AutoTuneStopF", "30000"},
    {TDncOptions::Tag, "Tag", "0"},
    {TDncOptions::AutoTuneStep, "AutoTuneStep", "5"},
    {TDncOptions::AutoTuneOffset, "AutoTuneOffset", "0.35"},
    {TDncOptions::SaveName, "SaveName", "c:\\temp\\noname"},
    {TDncOptions::SaveExt, "SaveExt", "txt"},
    {TDncOptions::DelimiterSave, "DelimiterSave", "0"},
    {TDncOptions::SaveNumbered, "SaveNumbered", "0"},
    {TDncOptions::NextNumber, "NextNumber", "0"},
    {TDncOptions::SaveComment, "SaveComment", "0"},
    {TDncOptions::Comment, "Comment", ""},
    {TDncOptions::XAxis, "xAxis", "1"},
    {TDncOptions::SavePhase, "SavePhase", "0"},
    {TDncOptions::AutoSave, "AutoSave", "0"},
    {TDncOptions::BeepOnOverload, "BeepOnOverload", "1"},
    {TDncOptions::BeepOnQClip, "BeepOnQClip", "0"},
    {TDncOptions::ShowOnError, "ShowOnError", "0"},
    {TDncOptions::ActiveTab, "activeTab", "0"},
    {TDncOptions::FormPosLeft, "FormPosLeft", "10"},
    {TDncOptions::FormPosTop, "FormPosTop", "1"},
    {TDncOptions::LastSaveName, "LastSaveName", ""},
    {TDncOptions::Popup0, "Popup0", "20k-400k", Home::Tool},
}};

constexpr bool TableInKeyOrder()
{
    for (size_t i = 0; i < Keys.size(); ++i)
        if (static_cast<size_t>(Keys[i].Key) != i)
            return false;
    return true;
}
static_assert(TableInKeyOrder(), "one entry per key, in the order of the enum");

const TKeyEntry* Entry(TDncOptions::Key key)
{
    return key >= 0 && key < TDncOptions::All ? &Keys[static_cast<size_t>(key)] : nullptr;
}

TQVTIniFile* FileOf(const TKeyEntry& e)
{
    return e.Where == Home::User ? UserIni : MainIni;
}

QString SectionOf(const TKeyEntry& e)
{
    return e.Where == Home::Tool ? QStringLiteral("dnc") : QStringLiteral("dncopt");
}

} // namespace

TDncOptions::TDncOptions(QObject* parent) : QObject(parent) {}

namespace {
// Runs `use(file, section, name, default text)` on a key's place; `none` for no key.
template <typename T, typename Use> T AtKey(TDncOptions::Key key, T none, Use use)
{
    const TKeyEntry* e = Entry(key);
    return e ? use(FileOf(*e), SectionOf(*e), QString::fromLatin1(e->Name), QString::fromLatin1(e->Default)) : none;
}
} // namespace

QString TDncOptions::Text(Key key) const
{
    return AtKey(key, QString(), [](TQVTIniFile* ini, const QString& section, const QString& name, const QString& def) {
        return ini ? ini->ReadString(section, name, def) : def;
    });
}

int TDncOptions::Integer(Key key) const
{
    return AtKey(key, 0, [](TQVTIniFile* ini, const QString& section, const QString& name, const QString& def) {
        return ini ? ini->ReadInteger(section, name, def.toInt()) : def.toInt();
    });
}

double TDncOptions::Number(Key key) const
{
    return AtKey(key, 0.0, [](TQVTIniFile* ini, const QString& section, const QString& name, const QString& def) {
        return ini ? ini->ReadFloat(section, name, def.toDouble()) : def.toDouble();
    });
}

bool TDncOptions::Flag(Key key) const
{
    return Integer(key) != 0;
}

bool TDncOptions::Stored(Key key) const
{
    return AtKey(key, false, [](TQVTIniFile* ini, const QString& section, const QString& name, const QString&) {
        return ini && ini->ValueExists(section, name);
    });
}

int TDncOptions::FormLeft() const
{
    const TKeyEntry& e = Keys[FormPosLeft];
    const int def = QString::fromLatin1(e.Default).toInt();
    return MainIni ? MainIni->ReadFormPosLeft(SectionOf(e), def) : def;
}

void TDncOptions::Write(Key key, QObject* by,
                        const std::function<void(TQVTIniFile&, const QString&, const QString&)>& write)
{
    const TKeyEntry* e = Entry(key);
    if (!e)
        return;
    if (TQVTIniFile* ini = FileOf(*e))
        write(*ini, SectionOf(*e), QString::fromLatin1(e->Name));
    Notify(key, by);
}

void TDncOptions::WriteText(Key key, const QString& value, QObject* by)
{
    Write(key, by, [&value](TQVTIniFile& ini, const QString& section, const QString& name) {
        ini.WriteString(section, name, value);
    });
}

void TDncOptions::WriteInteger(Key key, int value, QObject* by)
{
    Write(key, by, [value](TQVTIniFile& ini, const QString& section, const QString& name) {
        ini.WriteInteger(section, name, value);
    });
}

void TDncOptions::WriteFloat(Key key, double value, QObject* by)
{
    Write(key, by, [value](TQVTIniFile& ini, const QString& section, const QString& name) {
        ini.WriteFloat(section, name, value);
    });
}

void TDncOptions::WriteBool(Key key, bool value, QObject* by)
{
    WriteInteger(key, value ? 1 : 0, by);
}

void TDncOptions::Announce(Key key, QObject* by)
{
    if (key == All || Entry(key))
        Notify(key, by);
}

void TDncOptions::Notify(Key key, QObject* by)
{
    if (batchDepth_ == 0) {
        emit changed(key, by);
        return;
    }
    const auto same = [key](const std::pair<Key, QObject*>& h) { return h.first == key; };
    if (std::none_of(held_.begin(), held_.end(), same))
        held_.emplace_back(key, by);
}

TDncOptions::TBatch::TBatch(TDncOptions& options) : options_(options)
{
    ++options_.batchDepth_;
}

TDncOptions::TBatch::~TBatch()
{
    if (--options_.batchDepth_ > 0)
        return;
    std::vector<std::pair<Key, QObject*>> held;
    held.swap(options_.held_);
    const auto all = std::find_if(held.begin(), held.end(), [](const auto& h) { return h.first == All; });
    if (all != held.end()) {
        emit options_.changed(All, all->second);
        return;
    }
    for (const auto& [key, by] : held)
        emit options_.changed(key, by);
}

} // namespace qvt
