#pragma once
// The checks behind the spectroscopy options window: what its edits accept
// and how the stored cycle and the colour sketch are read.

#include <QString>

#include <optional>

namespace qvt {

// The cycle count N typed: an integer, kept to 1..15.
std::optional<int> SpektCycleCount(const QString& text);
// Data points typed: 5 <= N < 1024, else nothing.
std::optional<int> SpektPointCount(const QString& text);
// Curves averaged typed: an integer, 0 taken as 1.
std::optional<int> SpektAverageCount(const QString& text);
// "inf." for a count of 0 or less.
QString SpektAverageText(int count);

enum class TSpektCycleChoice { Ramp, Half, Full, N };
// Negative: a loaded ramp; 0.5 half; 1 full; above 1 N cycles.
TSpektCycleChoice SpektCycleChoice(double cycle);

// Which of the four segment colours a click at x of the sketch picks; −1 none.
int SpektColourBand(int x);

} // namespace qvt
