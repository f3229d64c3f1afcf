#pragma once
// The arithmetic of the DAC sliders, the test raster and the waveform test
// signals: values ↔ raw digits, the drag, the raster's request sequence and
// its false colours. No widgets here.

#include <QRgb>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace qvt {

class TIOScale;

constexpr int TrackWidth = 200; // pointer positions 0..200 on the track
constexpr int TrackMiddle = 100;
constexpr int RasterSize = 256;
constexpr int32_t RasterReadAddress = -16;
constexpr int32_t RasterRegX = 36; // DAC5
constexpr int32_t RasterRegY = 37; // DAC6
constexpr int RasterForwardWaitUs = 200;
constexpr int RasterReturnWaitUs = 100;
constexpr double RasterSpanVolts = 18.0;
constexpr int32_t RegWaveControl = 290;
constexpr int32_t RegWaveData = 289;
constexpr int32_t RegWaveLevel = 280;
constexpr int32_t WaveLevelStep = 8320000;

// One slider's output: the value's digits, or nothing when it is outside the channel's range.
struct TSliderWrite {
    bool Write = false;
    int32_t Raw = 0;
};
TSliderWrite SliderRaw(double value, const TIOScale& scale);
// The knob at zoom 1 for a value.
int KnobPosition(double value, const TIOScale& scale);

// One drag step: the value for pointer x, clipped with a beep at the range's ends.
struct TDragResult {
    double Value = 0.0;
    int Knob = 0; // where the knob is drawn (−2 or 202 when clipped)
    bool Clipped = false;
};
// At zoom 1 the track spans the channel's range; at zoom 10 or 100 it spans a
// tenth or a hundredth of it around `centre`, the value at mouse down, so the
// value does not jump on the press whatever the range.
TDragResult DragValue(int x, double zoom, double centre, const TIOScale& scale);

// The raster's picture: the false colour of a grey level 0..255.
QRgb RasterColour(int g);
// Grey levels of the samples: min..max spread over 0..255, all 0 when they are equal.
std::vector<uint8_t> RasterGreyLevels(const std::vector<int32_t>& samples);

// What the raster does to the controller.
struct TRasterIo {
    std::function<void(int32_t reg, int32_t value)> WriteReg;
    std::function<void(int32_t us)> DelayUs;
    std::function<int32_t(int32_t reg)> ReadReg;
};
// The digits of raster step i (0..255) on an output with `factor` (±9 V over the raster).
int32_t RasterDigits(int i, double factor);
// Row by row over DAC5, column by column over DAC6 with a read at each point,
// then a return stroke without reads. `progress` gets the row under way;
// `cancel` ends the raster after the current point. Samples are row-major
// (sample[r * 256 + c]); false when cancelled.
bool RunRaster(const TRasterIo& io, double factorX, double factorY, std::vector<int32_t>& samples,
               std::atomic<int>* progress, const std::atomic<bool>* cancel);

// The waveform generator's sample words: one period of the 10 kHz sawtooth
// (4 V from −2 V, 14 samples rising, 2 falling) at 156250 samples per second.
std::vector<int32_t> SawtoothWords();
int32_t WaveWord(double volts);

} // namespace qvt
