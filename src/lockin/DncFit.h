#pragma once
// The oscillator fit of a resonance curve and the arithmetic of auto tune,
// apart from the window. The fit works on power (the amplitude squared): a
// median of five smooths it, the peak and the half-power width give the first
// guess, then f0 is moved one frequency step at a time until the linear fits
// left and right of the peak agree, and Q is searched with a shrinking step
// on the residual of the power model. Arithmetic failures (a 0/0 fit, a
// non-finite or non-positive f0 or Q) end the fit as a math error, so a
// caller that iterates on its result always ends.

#include <QString>

#include <vector>

namespace qvt {

class TDncCurves;

constexpr int FitMaxInnerSteps = 1000;
constexpr int FitInnerChanges = 6; // direction changes of f0 per inner search
constexpr int FitQRounds = 11;

struct TShoFit {
    std::vector<double> FitFrequency; // points 0..n−1
    std::vector<double> FitPower;
    std::vector<double> FitCurve; // fitted amplitude, drawn over the curves
    double FitOffset = 0.0;
    double FitAmplitude = 0.0;
    double FitPeakFrequency = 0.0;
    double FitQ = 0.0;
    int PeakIndex = 1;
    bool MathError = false;
    bool NoiseError = false;
    // How the search went (inner steps over the whole fit, Q rounds).
    int InnerSteps = 0;
    int QRounds = 0;
};

// In-phase display (feedback mode 5): the drawn curve is the projection of
// the fitted response onto the phase at the peak.
struct TShoProjection {
    bool Enabled = false;
    const std::vector<double>* PhaseCurve = nullptr; // millidegrees
};

// FitFrequency[i] := i × step + start, FitPower[i] := newest[i]² for i = 0..n−1.
void FillShoFit(TShoFit& fit, const std::vector<double>& newest, int dataPoints, double step, double start);

// The whole fit on the filled arrays; `newest` is the amplitude curve the
// peak is searched in. `aborted` is looked at between iterations.
void FitSho(TShoFit& fit, const std::vector<double>& newest, int dataPoints, const TShoProjection& projection = {},
            const bool* aborted = nullptr);

// The normalised and the power model of a simple harmonic oscillator.
double ShoModel(double f, double f0, double q);
double ShoPower(double f, double f0, double q, double amplitude, double offset);

// "Q: 200 | fPeak: 21000 Hz | tau: 9524 µs"
// With `resolved` false the Q is marked as an estimate and the text says so.
QString ShoStatusText(double q, double f0, bool resolved = true);
// A peak is resolved when at least this many sweep points lie within its
// width f0 / Q; with fewer the fitted or half-power Q is an estimate.
constexpr double DncResolvedPoints = 5.0;
bool DncPeakResolved(double f0, double q, double step);
inline const char* const DncUnresolvedText = "sweep does not resolve the peak";

// ---- auto tune ------------------------------------------------------------------------------

struct TAutoTuneSettings {
    double StartF = 10000.0;
    double StopF = 30000.0;
    double Step = 5.0;    // done once the range is narrower than Step × f0 / Q
    double Offset = 0.35; // operating frequency f0 − Offset × f0 / Q
};

// f0 − offset × f0 / Q.
double AutoTuneOperatingFrequency(double f0, double q, double offset);

// After an acquisition: the range shrinks threefold around the data peak,
// never beyond the auto-tune limits; Done when it was already narrow enough.
struct TAutoTuneStep {
    bool Done = false;
    double Start = 0.0;
    double Stop = 0.0;
};
TAutoTuneStep AutoTuneNarrow(double rangeStart, double rangeStop, double f0, double q, int peakIndex, double sweepStep,
                             double sweepStart, const TAutoTuneSettings& s);

// The column of the operating frequency for the set-point carry-over, or
// none when it lies outside the swept points 0..dataPoints.
bool AutoTuneColumn(double operatingFrequency, double sweepStart, double sweepStep, int dataPoints, int pointShift,
                    int& column);

} // namespace qvt
