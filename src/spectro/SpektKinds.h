#pragma once
// The ten kinds of spectroscopy curve: the Kind bit mask each hands to the
// controller, the parameter edits each shows, and the channel choice of the
// current kind. Plain logic; the spectroscopy window shows it.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

class TQVTIniFile;

// Kind bits.
constexpr int32_t SpektBitListed = 1;
constexpr int32_t SpektBitFeedbackOn = 2;
constexpr int32_t SpektBitZExcited = 4;
constexpr int32_t SpektBitBiasExcited = 8;
constexpr int32_t SpektBitZDifferences = 16;
// Any other name: feedback on, nothing excited (also the stop value).
constexpr int32_t SpektKindOther = 2;

// The parameter edits besides X, Y, delay1 and delay2.
enum TSpektEdits : unsigned {
    SpektEditDz1 = 1u << 0, // Edit5 as "dz1"
    SpektEditDz = 1u << 1,  // Edit5 as "dz"
    SpektEditDz2 = 1u << 2, // Edit6
    SpektEditU1 = 1u << 3,  // Edit8
    SpektEditU2 = 1u << 4,  // Edit7
    SpektEditRef = 1u << 5, // Edit5 as "Ref": set point of feedback set 3
};

struct TSpektKindInfo {
    const char* Name;
    int32_t Kind;
    unsigned Edits;
};

inline constexpr const char* SpektMassSpecName = "MassSpec";
inline constexpr const char* SpektZNoiseName = "X(t) z-noise";
inline constexpr const char* SpektConstantHeightName = "cmAFM X(U)";

// All ten, in the selector's order.
const std::array<TSpektKindInfo, 10>& SpektKindTable();
// The selector's names; "MassSpec" only when the main settings allow it.
QStringList SpektKindNames(bool massSpec);
// The kind's bit mask; SpektKindOther for a name not in the table.
int32_t SpektKindValue(const QString& name);
// The edits the kind shows; none for a name not in the table.
unsigned SpektVisibleEdits(const QString& name);

// One entry of the channel list: a listed channel's slot and its text.
struct TSpektChannelEntry {
    int Slot = 0;
    QString Text;
};
// Every listed channel (ChannelTable `Listed`), in slot order, shown by its
// label or, without one, by its name ("DAC3", "ADC1").
std::vector<TSpektChannelEntry> SpektChannelList();

// The channel set-up of a kind: how many channels are recorded and which
// list entry each of them takes.
struct TSpektChannelSetup {
    int Count = 1;              // 1..4
    std::array<int, 4> Entry{}; // index in the channel list; -1 for a channel beyond Count
};
// Reads CountCh (outside 1..4 written back as 1) and Channel0..3 (clipped
// to the list) of the kind's section.
TSpektChannelSetup ReadSpektChannelSetup(TQVTIniFile& user, const QString& section, int listSize);

} // namespace qvt
