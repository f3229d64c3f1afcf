#pragma once
// The cells of the channel scale editor: one row per channel, each cell named
// by the channel and a suffix, which is also its [Scale] key.

#include <QString>

#include <array>

namespace qvt {

class TIOScale;

enum class ScaleCellKind {
    Number, // parsed, written as a number, then the scales reload
    Text,   // written as typed, then the scales reload
    Label,  // written as typed, no reload
    Check,  // written, no reload
    CheckReload,
};

struct TScaleCell {
    const char* Suffix;
    int X;
    int Width;
    bool InputsOnly;
    ScaleCellKind Kind;
};

// "Edit0", "CheckBoxFast", "CheckBox1", "Label2", "Edit1" .. "Edit5", "CheckBox2".
extern const std::array<TScaleCell, 10> ScaleCells;

// Row r's top: 7 + 23 r, and 13 more from the first input row on.
int ScaleRowY(int row);
// "OUT" + r for outputs, "IN" + (r − 26) for inputs.
QString ScaleRowCaption(int row);
// The cell's [Scale] key: the channel's name and the suffix.
QString ScaleCellKey(int row, const char* suffix);
// What a number cell shows from the channel table ("Edit2".."Edit5").
QString ScaleNumberText(const TIOScale& scale, const QString& suffix);
// The number a typed text stores into cell `suffix`: general format, 7
// digits, "." always; false for text that is no number, and for a factor
// ("Edit2") of 0, which the table would replace by 1.
bool ScaleNumberToStore(const QString& typed, QString& stored, const QString& suffix = QString());
// The widest text a number cell can show (general format, 6 digits).
QString ScaleWidestNumberText();

} // namespace qvt
