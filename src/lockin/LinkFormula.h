#pragma once
// Frequency words of the three multi lock-in oscillators and the link
// formulas that tie one oscillator to the others or to the resonance.
// Every value is a frequency word (Hz × 2^32 / 10^7); a literal in a formula
// is a frequency in Hz and enters scaled as a word wherever it stands, which
// stored presets rely on.

#include <QString>

#include <cstdint>

namespace qvt {

constexpr double MultiLockInWordScale = 429.4967296; // 2^32 / 10^7

// Variables of a formula: F0/FR the resonance word, F1, F2/FM1, F3/FM2 the
// oscillators' words.
struct TLinkVariables {
    long double F0 = 0;
    long double F1 = 0;
    long double F2 = 0;
    long double F3 = 0;
};

struct TLinkResult {
    bool Ok = false;
    int64_t Word = 0;
    QString Error; // "Out of Range", "Operand missing!", ...
};

// Nesting beyond this (brackets, powers) is refused rather than recursed into.
constexpr int LinkFormulaMaxDepth = 200;

// The value of a formula (the text after the first ":" when there is one),
// rounded to a word that must lie in 0..2^32 − 1.
TLinkResult EvalLinkFormula(const QString& text, const TLinkVariables& vars);

// A typed frequency the oscillator runs: 0 (stopped) up to the highest word.
bool MultiLockInFrequencyFits(double hz);

// What a link box gives: an empty text 0, "no link" the typed frequency
// (refused unless it fits), otherwise the formula.
TLinkResult EvalLinkFrequency(const QString& boxText, double typedHz, const TLinkVariables& vars);

// The at most three passes over LIA 1..3 that let chains of formulas settle.
// A failing oscillator ends the pass; the later ones keep their words.
struct TFrequencyPasses {
    int32_t Words[3] = {};
    bool Failed[3] = {};
    int Passes = 0;
};
// `write(k, word)` sends oscillator k's word (k = 0..2); `boxes` and `typed`
// are the link texts and typed frequencies.
template <typename Write>
TFrequencyPasses RunFrequencyPasses(const QString (&boxes)[3], const double (&typed)[3], int32_t resonanceWord,
                                    const int32_t (&previous)[3], Write&& write);

// ---- link presets ------------------------------------------------------------------

// The stored items of one link box ("no link" first), kept under
// <box>Count, <box>1..<box>Count−1 and <box> (the selected index).
class TQVTIniFile;
constexpr int LinkPresetMaxItems = 8;
QStringList LoadLinkPresets(const TQVTIniFile& ini, const QString& box, int& selected);
// Appends `text`; false when the list is full or the text is empty.
bool StoreLinkPreset(TQVTIniFile& ini, const QString& box, QStringList& items, const QString& text, int& selected);
// Removes item `index` (1..); never writes the numbered key 0, which for
// "ComboBox1" would be the selected-index key of "ComboBox10".
bool DeleteLinkPreset(TQVTIniFile& ini, const QString& box, QStringList& items, int index, int& selected);

// ---- template body ---------------------------------------------------------------------

template <typename Write>
TFrequencyPasses RunFrequencyPasses(const QString (&boxes)[3], const double (&typed)[3], int32_t resonanceWord,
                                    const int32_t (&previous)[3], Write&& write)
{
    TFrequencyPasses r;
    TLinkVariables v;
    for (int k = 0; k < 3; ++k)
        r.Words[k] = previous[k];
    v.F1 = static_cast<uint32_t>(previous[0]);
    v.F2 = static_cast<uint32_t>(previous[1]);
    v.F3 = static_cast<uint32_t>(previous[2]);
    for (int pass = 0; pass < 3; ++pass) {
        ++r.Passes;
        v.F0 = static_cast<uint32_t>(resonanceWord);
        bool failed = false;
        for (int k = 0; k < 3; ++k)
            r.Failed[k] = false;
        for (int k = 0; k < 3 && !failed; ++k) {
            const TLinkResult res = EvalLinkFrequency(boxes[k], typed[k], v);
            if (!res.Ok) {
                r.Failed[k] = failed = true;
                break;
            }
            const auto word = static_cast<int32_t>(static_cast<uint32_t>(res.Word));
            (k == 0 ? v.F1 : k == 1 ? v.F2 : v.F3) = static_cast<long double>(res.Word);
            r.Words[k] = word;
            write(k, word);
        }
        if (failed)
            break;
    }
    return r;
}

} // namespace qvt
