#pragma once
// The fast scan's arithmetic, apart from its thread: the stream parser that
// sorts the controller's bulk words into image rows by their line markers,
// the scan generator's register set-up, the entry into the fast mode and the
// statistics a waiting script asks for.

#include "scan/LineAcquisition.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace qvt {

class TImageMatrix;

// ---- stream -------------------------------------------------------------------------------

constexpr int32_t FastMarkerLowByte = 0x0D;
constexpr int32_t FastMarkerDownBit = 0x100;
constexpr size_t FastReadBytes = 268802; // one driver read
constexpr size_t FastReadWords = 67201;
constexpr int FastMaxChannels = 30;
// The oscilloscope request holds 15 ids, the terminator included.
constexpr int FastMaxStreamChannels = 14;
constexpr int32_t FastStatsAddressMode3 = 8;
constexpr int32_t FastStatsAddressMode4 = 11;

inline bool IsFastMarker(int32_t word)
{
    return (static_cast<uint32_t>(word) & 0xFFu) == static_cast<uint32_t>(FastMarkerLowByte);
}

// Sorts stream words into the image buffers. One group of ChannelCount
// samples per pixel; a marker starts the next line. Stores are bounded by
// each buffer's own rows and columns as well as by the pixel count, so a
// pixel change under way never writes outside a buffer.
class TFastStreamParser {
public:
    struct TConfig {
        int Pixels = 0;
        int ChannelCount = 0;
        int TurnLines = 0;
        int StartPixel = 1;
        // Stream position (0-based) of the channel whose samples are summed, -1 none.
        int StatsChannel = -1;
    };

    void Configure(const TConfig& config);
    const TConfig& Config() const { return config_; }
    // Buffer of stream position c (null: not stored). Matrices must outlive the parser's use.
    void SetTarget(int c, TImageMatrix* matrix);

    // The frame loop's start of a frame: the previous direction is noted, the pixel counter reset.
    void BeginFrame();
    // Parses whole words; returns the number consumed. Stops right after a
    // marker that reversed the direction (frameEnded := true); the words left
    // belong to the next frame.
    size_t Feed(const int32_t* words, size_t count, bool& frameEnded);
    // Bytes as the driver hands them; a word split across two reads is kept
    // until its last byte comes. Words not consumed at a frame end stay queued
    // for the next call (with no new bytes).
    size_t FeedBytes(const uint8_t* bytes, size_t count, bool& frameEnded);
    bool HasPending() const { return pendingPos_ < pending_.size(); }

    // The line of the stream now (display: the line just finished is LastLine).
    int FastLine = 0;
    int LastLine = 0;
    int Downward = 0;
    int PreviousDownward = 0;
    int Pixel = 1;
    int64_t Lines = 0; // markers seen
    // The rows of the frame under way whose every pixel came in.
    TMeasuredRows Measured;
    // Called before the first reading of a frame (or of a new set-up) goes
    // into a buffer: what the buffers held as a frame is over from then on.
    std::function<void()> StoresBegin;

    // Statistics: sums and counts per sample position (4 × Pixels entries).
    bool StatsOn = false;
    std::vector<double> StatSums;
    std::vector<int32_t> StatCounts;
    void ClearStatistics();

private:
    void Marker(int32_t word);
    void RowTargets();

    TConfig config_;
    std::array<TImageMatrix*, FastMaxChannels> targets_{};
    std::array<int, FastMaxChannels> colLimit_{};
    int row_ = -1; // row of the current line in every buffer, -1: not stored
    int channel_ = 0;
    bool statsStarted_ = false;
    bool storing_ = false; // StoresBegin was called for this frame
    std::vector<int32_t> pending_;
    size_t pendingPos_ = 0;
    std::array<uint8_t, 4> partial_{};
    size_t partialBytes_ = 0;
};

// ---- the scan generator's set-up ----------------------------------------------------------

struct TFastPrepareInput {
    double Speed = 1.0; // lines per second
    int Pixels = 256;
    int TurnLines = 0;
    double OverScan = 5.0; // percent
    double XCenter = 0.0, YCenter = 0.0;
    double XSensitivity = 1.0, YSensitivity = 1.0;
    double Angle = 0.0; // radians
    double Range = 1000.0;
    double FactorX = 1.0, FactorY = 1.0; // X and Y output factors
    int32_t XMin = -2147483647, XMax = 2147483647;
    int32_t YMin = -2147483647, YMax = 2147483647;
    TLinCoefficients Lin;
    bool LineScan = false;
    bool Negative129 = false; // registers 129 and 145 keep their sign
    bool Negative145 = false;
    double StreamDelay = 0.0; // s
};

struct TFastPrepareResult {
    std::vector<std::pair<int32_t, int32_t>> Writes; // (register, value) in order
    int32_t DPixel = 0;
    int32_t DLine = 0;
    double LineFrequency = 0.0;
    int32_t StartPixel = 0;
    bool PageWritten = false;
};
TFastPrepareResult PrepareFastScan(const TFastPrepareInput& in);

// Register 144: the start line of the generator for line `currentLine` of `pixels`.
int32_t FastStartLineWord(int currentLine, int pixels);

// ---- statistics for a script --------------------------------------------------------------

struct TFastStatistics {
    bool Valid = false;
    double X = 0.0, Y = 0.0, HalfSpan = 0.0;
    int N = 0;
};
TFastStatistics ComputeFastStatistics(const std::vector<double>& sums, const std::vector<int32_t>& counts,
                                      double speed);
QString FastStatisticsText(double speed, const TFastStatistics& s);

// ---- channel list ----------------------------------------------------------------------

// Oscilloscope ids of the streamed channels: address − 8 within 0..maxId,
// then the terminator. At most FastMaxStreamChannels are taken.
std::vector<int32_t> FastOsziIds(const std::vector<int32_t>& addresses, int32_t maxId);

} // namespace qvt
