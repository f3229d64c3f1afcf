#pragma once
// The arithmetic of the oscilloscopes: the three-trace frame as it is shown
// (offset, spectrum), the scale modes, the pixel rows, the long-term ring, the
// time base and the text files; and the single-trace scaling of the feedback
// oscilloscope. No window here: the windows call these and draw.
//
// The frame the driver link fetched stays untouched; every view is derived
// from it, so redrawing a stopped frame in another view gives the same picture.

#include "core/SharedState.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qvt {

using TOsziBuffers = std::array<TOsziBuffer, 4>;

constexpr int OsziTraceCount = 3;
constexpr int OsziPlotWidth = 512;
constexpr int OsziPlotHeight = 300;
constexpr int OsziZeroMax = 300;
constexpr int OsziZoomMax = 149;
constexpr int OsziDivisionPixels = 30;
constexpr int OsziSamplesPerDivision = 64;
constexpr int32_t OsziTimeStampAddress = -26;         // buffer 0 reads time stamps
constexpr int32_t OsziLinePositionAddress = -25;      // buffer 0 reads the position in the scan line
constexpr int64_t OsziLongTermMaxPoints = 50'000'000; // four doubles each: 1.6 GB

enum class TOsziScaleMode { ZeroMax = 0, ZeroFixed = 1, ZeroAuto = 2, AutoAuto = 3 };
enum class TOsziView { Time, Freq, Line };

// What a trace's channel adds to its samples.
struct TOsziTraceScale {
    int32_t Offset = 0;
    bool FactorNegative = false;
};

// The frame as shown: offsets applied (saturating), and in the frequency view
// with a full frame the spectrum magnitudes in place of the samples.
TOsziBuffers PrepareFrame(const TOsziBuffers& raw, const std::array<TOsziTraceScale, OsziTraceCount>& scales,
                          TOsziView view, bool logFFT);
bool FullFrame(const TOsziBuffers& frame);

// Hann window, 512-point transform, |X(k)|/100 rounded into samples 2k and
// 2k+1; with logFFT 1000 log10(|s| + 1).
void ComputeFFT(int32_t* samples, bool logFFT);

struct TOsziStats {
    int32_t Min = 0;
    int32_t Max = 0;
    int32_t Mean = 0;
};
// Minimum, maximum and rounded mean of the first `count` samples (the sum in 64 bits).
TOsziStats FrameStats(const int32_t* samples, int count);

struct TOsziGain {
    double Gain = 1.0; // pixels per digit
    int32_t Centre = 0;
};
// The trace spans about ±50 pixels about its zero line.
TOsziGain ScaleTrace(TOsziScaleMode mode, int32_t minRaw, int32_t maxRaw, int zoom, const TOsziStats& stats);

// y := zero − round((sample − centre) × gain), kept to a range a painter takes.
int32_t TraceY(int32_t sample, int zero, int32_t centre, double gain);

// Line view: x of a sample at `position` of a line of `pixels` (below 1: 1);
// false for the positions not drawn (outside 1..pixels − 2).
bool LineViewX(int32_t position, int pixels, int& x);

// "1.6m" style text of the time base for the applied sample time.
QString TimeBaseText(double sampleTime);
// Seconds per division typed; a trailing "m" means milliseconds. Empty when
// no number.
std::optional<double> ParseTimeBase(const QString& text);

// "GMk mµnpfa" text of a value with about three digits.
QString FormatValue(double value, const QString& unit);

// Captions of the used traces (empty: "empty slot", not written).
using TOsziCaptions = std::array<QString, OsziTraceCount>;

// What a frame was taken with: the traces' channels with their names, units
// and scales, the sample time and what buffer 0 held. Two frames belong in
// one long-term record only when these are equal.
struct TOsziRecordSetup {
    std::array<int, OsziTraceCount> Slots{-1, -1, -1};
    TOsziCaptions Captions;
    std::array<QString, OsziTraceCount> Units;
    std::array<double, OsziTraceCount> Factors{1.0, 1.0, 1.0};
    std::array<TOsziTraceScale, OsziTraceCount> Scales{};
    double SampleTime = 0.0;
    bool TimeStamps = true; // buffer 0 held time stamps, not line positions
    bool operator==(const TOsziRecordSetup& other) const;
};

// The long-term ring: time and the three scaled traces, all of one set-up.
// It holds at most size − 1 entries; the oldest goes when it is full.
class TOsziLongTerm {
public:
    struct Row {
        double Time = 0.0;
        std::array<double, OsziTraceCount> Values{};
    };
    // False (ring off) for a size outside 2..OsziLongTermMaxPoints or when
    // the memory cannot be had. A ring that is on keeps its newest entries
    // and its set-up as far as they fit.
    bool Allocate(int64_t size);
    void Free();
    bool On() const { return on_; }
    int64_t Size() const { return static_cast<int64_t>(rows_.size()); }
    int64_t Count() const;
    void Clear()
    {
        read_ = write_;
        ended_ = false;
    }
    // One full frame of time-domain samples (offsets applied), scaled by the
    // set-up's factors. With time stamps in buffer 0 they give the times;
    // otherwise the times go on from the last one by the sample time. A frame
    // of another set-up than the entries held ends the record: it and every
    // later frame are refused (false) until the record is taken or cleared.
    bool Store(const TOsziBuffers& frame, const TOsziRecordSetup& setup);
    // The record ended at a set-up change and holds only what came before.
    bool Ended() const { return ended_; }
    const TOsziRecordSetup& Setup() const { return setup_; }
    // Every entry, oldest first, left in the ring.
    std::vector<Row> Rows() const;
    // Takes every entry out, oldest first; the next frame starts a new record.
    std::vector<Row> Take();

private:
    std::vector<Row> rows_;
    int64_t read_ = 0;
    int64_t write_ = 0;
    double lastTime_ = 0.0;
    bool on_ = false;
    bool ended_ = false;
    TOsziRecordSetup setup_;
};

struct TOsziSaveOptions {
    int Delimiter = 0; // 0 none, 1 TAB, 2 space, 3 ",", 4 "."
    bool Header = false;
    bool XAxis = true;
    bool Comment = false;
    QString CommentText;
};

// The frame as shown: in the frequency view the x column is each bin's
// frequency, else the sample time. Lines end CR LF.
QString OsziFrameText(const TOsziSaveOptions& options, const TOsziCaptions& captions, const TOsziBuffers& shown,
                      const std::array<double, OsziTraceCount>& factors, double sampleTime, bool spectrum);
QString OsziLongTermText(const TOsziSaveOptions& options, const TOsziCaptions& captions,
                         const std::vector<TOsziLongTerm::Row>& rows);

// The save name offered before any was chosen: "noname" in the home folder.
QString DefaultSaveName();

// ---- the single-trace oscilloscope of the feedback input -----------------------------

constexpr int SimpleScopeSamples = 256;
enum class TSimpleScopeMode { Fixed = 0, Max = 1, AutoMax = 2, AutoMinMax = 3 };

struct TSimpleScopeScale {
    double M = 100.0;
    double C = 0.0;
    double Gain = 0.0;
};
// mode < 0 or unknown: M 100, C 0.
TSimpleScopeScale SimpleScopeScale(int mode, double scaleValue, double factor, int32_t maxRaw, const int32_t* values,
                                   int count);

struct TSimpleScopePoint {
    int Y = 0;
    int Clip = 0; // 0 inside, −1 left the top (red mark at row 0), +1 left the bottom (row 255)
};
// y := round((v − C) × gain) + 128, the product kept in double range first.
TSimpleScopePoint SimpleScopeY(int32_t value, const TSimpleScopeScale& scale);
// The typed full scale; 200 when it is no number.
double ParseScopeScale(const QString& text);

} // namespace qvt
