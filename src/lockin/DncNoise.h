#pragma once
// The thermal-noise spectrum of the resonance tool, apart from the window:
// 512 in-phase and quadrature samples of the undriven lock-in around the
// reference frequency are windowed, transformed, corrected for the
// controller's decimation filter and mapped onto the points of the sweep, so
// the thermal resonance shows where a driven sweep would show it.

#include <array>
#include <cstdint>

namespace qvt {

class TDncCurves;

constexpr int NoiseSamples = 512;
constexpr double NoiseCorrectionLimit = 500.0;

// d = round(39062.5 / span), at least 2.
int32_t NoiseDecimation(double span);
// The bin width 39062.5 / (512 × d); 1 when d < 1.
double NoiseBinWidth(int32_t d);
// How long a measurement may wait for its frame: the frame's own time and 2 s.
double NoiseTimeoutSeconds(int32_t d);

// Magnitudes of the Hann-windowed transform of X + iY, as whole numbers;
// sample 255 holds the reference frequency, the offsets run from the highest
// at sample 0 to the lowest at sample 511. False when the transform fails.
bool ComputeNoiseFft(const int32_t* inPhase, const int32_t* quadrature, std::array<double, NoiseSamples>& magnitudes);

// The decimator's correction of bin i (1..512): 1 at the centre, at most 500.
double NoiseCorrection(int bin, int32_t d);
// spectrum[i − 1] := magnitudes[i − 1] × correction(i); false when a value is not finite.
bool ComputeAmplitudeCorrection(const std::array<double, NoiseSamples>& magnitudes, int32_t d,
                                std::array<double, NoiseSamples>& spectrum);

// Bin (1..512) of a frequency: the nearest bin to its offset from the centre,
// points outside the transform's band take the edge bins.
int NoiseBin(double frequency, double centre, double binWidth);

struct TNoiseMapping {
    double SweepStart = 0.0;
    double SweepStop = 0.0;
    double SweepStep = 0.0;
    int DataPoints = 512;
    int32_t Decimation = 2;
    double Factor = 1.0;      // of the amplitude channel
    int32_t ContAverage = -1; // running mean over L spectra when ≥ 1
};
// Points 0..DataPoints of the newest curve from the spectrum (X takes the
// value, Y zero; the phase stays).
void MapNoiseSpectrum(const std::array<double, NoiseSamples>& spectrum, const TNoiseMapping& m, TDncCurves& curves);

// The wait of one measurement: it ends with a full frame, an abort or the time-out.
enum class NoiseWaitState { Waiting, Ready, Aborted, TimedOut };
NoiseWaitState NoiseWaitStep(int32_t samples, bool abortRequested, double elapsedSeconds, int32_t d);

} // namespace qvt
