#pragma once
// The input offset measurement: the zero reading of the feedback input with
// the tip away, proposed as that channel's new offset.

#include <QString>

#include <cstdint>

namespace qvt {

class TIOScale;

// The offset (raw digits) that brings a mean reading to zero: the reading's
// negative, or the reading itself on an inverted channel.
int32_t ProposedOffset(int32_t averageReading, bool invers);
// "Old Offset"/"New Offset" text: raw × Factor, fixed point with 3 decimals.
QString OffsetText(double raw, const TIOScale& scale);

struct TOffsetUse {
    bool Stored = false; // false: the text was no number, nothing written
    int32_t Raw = 0;     // round(value / Factor)
    double Value = 0.0;  // as typed
};
// The operator's (possibly edited) proposal turned back into digits.
TOffsetUse ParseOffsetText(const QString& text, const TIOScale& scale);

} // namespace qvt
