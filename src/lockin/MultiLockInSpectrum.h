#pragma once
// The arithmetic of the multi lock-in spectrum: point count and step, the
// per-reading wait, running means over repeated sweeps, the range history
// and the names of saved spectra.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

class TQVTIniFile;

// The name spectra are saved under ("MultiLockinOpt" SaveName, quotes
// dropped, read as a path here): unset, "noname" in the save folder.
QString SpectrumSaveName(const TQVTIniFile* mainIni);

int ClampSpectrumPoints(int n);                             // 32..4096
double SpectrumStep(double start, double stop, int points); // (Stop − Start)/(N − 1)
int32_t SpectrumReadingWait(double settleSeconds);          // max(round(settle × 10^5), 26) units
constexpr int32_t SpectrumMinimumWait = 26;
constexpr int SpectrumMinimumReadings = 10;

// "name0012.txt" for a numbered save (numbers above 9999 all write 9999), else "name.txt".
QString SpectrumFileName(const QString& name, bool numbered, int number, const QString& ext);
// "%1" + "-" + "%2", 4 significant digits each.
QString SpectrumRangeText(double start, double stop);
// The parts before and after the first "-" ("&" dropped); false unless both are numbers.
bool ParseSpectrumRange(const QString& text, double& start, double& stop);
// Items 1..3 of the range menu after adding `text` as the newest (item 3).
void AddSpectrumRangeHistory(QStringList& items, const QString& text);

// The running means of the four channels over repeated sweeps; the sweep
// counter is the spectrum's own, apart from the spectroscopy's.
class TSpectrumMeans {
public:
    void Resize(int points);
    // Repetition n ≥ 1 weighs v into the stored mean and returns it; otherwise v.
    double Add(int channel, int index, double value, int32_t repetition);
    double Stored(int channel, int index) const;
    int Points() const { return static_cast<int>(stored_[0].size()); }

private:
    std::array<std::vector<double>, 4> stored_;
};

} // namespace qvt
