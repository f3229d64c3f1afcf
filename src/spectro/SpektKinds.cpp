#include "spectro/SpektKinds.h"

#include "core/IniFile.h"
#include "device/ChannelTable.h"

#include <algorithm>

namespace qvt {

namespace {
constexpr int MaxRecordedChannels = 4;

const std::array<TSpektKindInfo, 10> Kinds = {{
    {"X(z)", 5, SpektEditDz1 | SpektEditDz2},
    {"X(U)", 9, SpektEditDz | SpektEditU1 | SpektEditU2},
    {"X(U) CL", 11, SpektEditU1 | SpektEditU2},
    {"X(t) z-Step", 21, SpektEditDz},
    {"X(t) z-step CL", 23, SpektEditDz},
    {"X(t) U-Step", 9, SpektEditDz | SpektEditU1 | SpektEditU2},
    {"X(t) U-Step CL", 11, SpektEditU1 | SpektEditU2},
    {SpektMassSpecName, 5, SpektEditDz1 | SpektEditDz2},
    {SpektConstantHeightName, 11, SpektEditU1 | SpektEditU2 | SpektEditRef},
    {SpektZNoiseName, 5, SpektEditDz},
}};

const TSpektKindInfo* Find(const QString& name)
{
    for (const TSpektKindInfo& k : Kinds)
        if (name == QLatin1String(k.Name))
            return &k;
    return nullptr;
}
} // namespace

const std::array<TSpektKindInfo, 10>& SpektKindTable()
{
    return Kinds;
}

QStringList SpektKindNames(bool massSpec)
{
    QStringList names;
    for (const TSpektKindInfo& k : Kinds)
        if (massSpec || QLatin1String(k.Name) != QLatin1String(SpektMassSpecName))
            names << k.Name;
    return names;
}

int32_t SpektKindValue(const QString& name)
{
    const TSpektKindInfo* k = Find(name);
    return k ? k->Kind : SpektKindOther;
}

unsigned SpektVisibleEdits(const QString& name)
{
    const TSpektKindInfo* k = Find(name);
    return k ? k->Edits : 0u;
}

std::vector<TSpektChannelEntry> SpektChannelList()
{
    std::vector<TSpektChannelEntry> list;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        const TIOScale& scale = ChannelTable[slot];
        if (!scale.Listed.load())
            continue;
        list.push_back({slot, scale.Label.isEmpty() ? ChannelName(slot) : scale.Label});
    }
    return list;
}

TSpektChannelSetup ReadSpektChannelSetup(TQVTIniFile& user, const QString& section, int listSize)
{
    TSpektChannelSetup setup;
    setup.Count = user.ReadInteger(section, "CountCh", 1);
    if (setup.Count < 1 || setup.Count > MaxRecordedChannels) {
        setup.Count = 1;
        user.WriteInteger(section, "CountCh", 1);
    }
    for (int c = 0; c < MaxRecordedChannels; ++c) {
        if (c >= setup.Count || listSize <= 0) {
            setup.Entry[c] = -1;
            continue;
        }
        const int entry = user.ReadInteger(section, QString("Channel%1").arg(c), 0);
        setup.Entry[c] = std::clamp(entry, 0, listSize - 1);
    }
    return setup;
}

} // namespace qvt
