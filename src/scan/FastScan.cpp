#include "scan/FastScan.h"

#include "core/NumberText.h"
#include "scan/ImageBuffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace qvt {

namespace {

int32_t ToWord(double v)
{
    const double r = Round(v);
    if (!(r == r))
        return 0;
    return static_cast<int32_t>(std::clamp(r, -2147483648.0, 2147483647.0));
}

double Trunc(double v)
{
    return std::trunc(v);
}

} // namespace

// ---- stream -------------------------------------------------------------------------------

void TFastStreamParser::Configure(const TConfig& config)
{
    config_ = config;
    config_.ChannelCount = std::clamp(config_.ChannelCount, 0, FastMaxChannels);
    targets_.fill(nullptr);
    const size_t entries = static_cast<size_t>(std::max(0, 4 * config_.Pixels));
    StatSums.assign(entries, 0.0);
    StatCounts.assign(entries, 0);
    statsStarted_ = false;
    channel_ = 0;
    row_ = -1;
    storing_ = false;
    Measured.Reset(config_.Pixels);
}

void TFastStreamParser::SetTarget(int c, TImageMatrix* matrix)
{
    if (c < 0 || c >= FastMaxChannels)
        return;
    targets_[static_cast<size_t>(c)] = matrix;
    colLimit_[static_cast<size_t>(c)] = matrix ? std::min(config_.Pixels, matrix->Cols()) : 0;
    RowTargets();
}

void TFastStreamParser::ClearStatistics()
{
    std::fill(StatSums.begin(), StatSums.end(), 0.0);
    std::fill(StatCounts.begin(), StatCounts.end(), 0);
}

void TFastStreamParser::BeginFrame()
{
    PreviousDownward = Downward;
    Pixel = 1;
    storing_ = false;
    Measured.Clear();
}

void TFastStreamParser::RowTargets()
{
    // The row every buffer takes; each buffer's own row count bounds it below.
    row_ = (FastLine >= 1 && FastLine <= config_.Pixels) ? FastLine - 1 : -1;
}

void TFastStreamParser::Marker(int32_t word)
{
    // The line the marker ends counts when every pixel of its row came in.
    if (row_ >= 0 && Pixel > config_.Pixels)
        Measured.Mark(row_);
    LastLine = FastLine;
    Downward = (static_cast<uint32_t>(word) & FastMarkerDownBit) != 0 ? 1 : 0;
    FastLine += Downward ? -1 : 1;
    if (Downward != PreviousDownward)
        FastLine = Downward ? config_.Pixels + config_.TurnLines : -config_.TurnLines;
    Pixel = config_.StartPixel;
    channel_ = 0;
    ++Lines;
    if (!Downward && FastLine == 1)
        statsStarted_ = true;
    RowTargets();
}

size_t TFastStreamParser::Feed(const int32_t* words, size_t count, bool& frameEnded)
{
    frameEnded = false;
    const int channels = config_.ChannelCount;
    const int pixels = config_.Pixels;
    const bool stats = StatsOn && config_.StatsChannel >= 0 && !StatSums.empty();
    const int64_t statEntries = static_cast<int64_t>(StatSums.size());
    for (size_t i = 0; i < count; ++i) {
        const int32_t w = words[i];
        if (IsFastMarker(w)) {
            Marker(w);
            if (Downward != PreviousDownward) {
                frameEnded = true;
                return i + 1;
            }
            continue;
        }
        if (channels <= 0)
            continue;
        if (row_ >= 0 && Pixel >= 1 && Pixel <= pixels) {
            TImageMatrix* m = targets_[static_cast<size_t>(channel_)];
            if (m != nullptr && row_ < m->Rows() && Pixel <= colLimit_[static_cast<size_t>(channel_)]) {
                if (!storing_) {
                    storing_ = true;
                    if (StoresBegin)
                        StoresBegin();
                }
                m->Store(row_, Pixel - 1, w);
            }
        }
        if (stats && statsStarted_ && channel_ == config_.StatsChannel) {
            const int64_t k = static_cast<int64_t>(Pixel) - config_.StartPixel;
            // Positions outside the arrays (a pixel change, a long line) are ignored.
            if (k >= 0 && k < statEntries) {
                StatSums[static_cast<size_t>(k)] += w;
                ++StatCounts[static_cast<size_t>(k)];
            }
        }
        if (++channel_ >= channels) {
            channel_ = 0;
            ++Pixel;
        }
    }
    return count;
}

size_t TFastStreamParser::FeedBytes(const uint8_t* bytes, size_t count, bool& frameEnded)
{
    frameEnded = false;
    // Drop what was consumed, then queue the new bytes behind what a frame end left.
    if (pendingPos_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pendingPos_));
        pendingPos_ = 0;
    }
    size_t i = 0;
    if (partialBytes_ > 0) {
        while (partialBytes_ < 4 && i < count)
            partial_[partialBytes_++] = bytes[i++];
        if (partialBytes_ == 4) {
            int32_t w = 0;
            std::memcpy(&w, partial_.data(), 4);
            pending_.push_back(w);
            partialBytes_ = 0;
        }
    }
    const size_t whole = (count - i) / 4;
    const size_t old = pending_.size();
    pending_.resize(old + whole);
    if (whole > 0)
        std::memcpy(pending_.data() + old, bytes + i, whole * 4);
    i += whole * 4;
    while (i < count)
        partial_[partialBytes_++] = bytes[i++];

    pendingPos_ = Feed(pending_.data(), pending_.size(), frameEnded);
    if (pendingPos_ >= pending_.size()) {
        pending_.clear();
        pendingPos_ = 0;
    }
    return count;
}

// ---- the scan generator's set-up ----------------------------------------------------------

TFastPrepareResult PrepareFastScan(const TFastPrepareInput& in)
{
    TFastPrepareResult r;
    const int p = in.Pixels;
    auto write = [&r](int32_t reg, double value) { r.Writes.emplace_back(reg, ToWord(value)); };

    r.DPixel = ToWord(in.Speed * 27793.454932584);
    write(129, in.Negative129 ? -std::abs(static_cast<double>(r.DPixel)) : std::abs(static_cast<double>(r.DPixel)));
    r.DLine = ToWord(r.DPixel / (p + 0.5 + 2.0 * std::abs(in.TurnLines)) * 0.5);
    write(145, in.Negative145 ? -std::abs(static_cast<double>(r.DLine)) : std::abs(static_cast<double>(r.DLine)));

    r.LineFrequency = p * (1.0 + in.OverScan / 100.0) * 2.0 * in.Speed;
    const double s = (p < 1 || r.DLine < 1) ? 1.0 : static_cast<double>(r.DPixel) / r.DLine / p * 0.5;
    const double t = 1.0 + in.OverScan / 100.0;
    const double x0 = in.XCenter / in.XSensitivity / 8.0;
    const double y0 = in.YCenter / in.YSensitivity / 8.0;
    if (x0 >= in.XMin && x0 <= in.XMax && y0 >= in.YMin && y0 <= in.YMax) {
        const TLinCoefficients& k = in.Lin;
        const double th = in.Angle;
        const double range = in.Range;
        // The overscan lengthens the fast line only: the lines are spread by
        // the range (s adds the turn lines), or the frame would be taller
        // than the range by the overscan.
        // X slow
        const double sx = Trunc(std::sin(th) * range / in.FactorX);
        {
            const double q = sx > 0 ? k.X2F : k.X2B, c = sx > 0 ? k.X3F : k.X3B;
            write(134, -Trunc(sx * q));
            write(135, Trunc(sx * c));
        }
        double c159 = 0;
        {
            const double q = sx >= 0 ? k.X2B : k.X2F, c = sx >= 0 ? k.X3B : k.X3F;
            write(158, Trunc(sx * q));
            c159 = Trunc(sx * c);
            write(159, c159);
        }
        write(136, in.LineScan ? 0.0 : (sx - c159 / 4.0) * s);
        // X fast
        const double fx = Trunc(std::cos(th) * t * range / in.FactorX);
        const double qx = fx > 0 ? k.X2F : k.X2B, cx = fx > 0 ? k.X3F : k.X3B;
        const double a2 = -Trunc(fx * qx), a3 = Trunc(fx * cx);
        write(130, x0 - 0.03 * a2);
        const double r137 = fx - a3 / 4.0;
        write(137, r137);
        write(138, a2);
        write(133, a3);
        // Y slow
        const double sy = -Trunc(std::cos(th) * range / in.FactorY) * s;
        {
            const double q = sy >= 0 ? -k.Y2B : -k.Y2F, c = sy >= 0 ? k.Y3B : k.Y3F;
            write(150, Trunc(sy * q));
            write(151, Trunc(sy * c));
        }
        double c157 = 0;
        {
            const double q = sy > 0 ? -k.Y2F : -k.Y2B, c = sy > 0 ? k.Y3F : k.Y3B;
            write(156, -Trunc(sy * q));
            c157 = Trunc(sy * c);
            write(157, c157);
        }
        write(152, in.LineScan ? 0.0 : sy - c157 / 4.0);
        // Y fast
        const double fy = Trunc(std::sin(th) * t * range / in.FactorY);
        const double qy = fy > 0 ? -k.Y2F : -k.Y2B, cy = fy > 0 ? k.Y3F : k.Y3B;
        const double b2 = Trunc(fy * qy), b3 = Trunc(fy * cy);
        const double r153 = fy - b3 / 4.0;
        write(153, r153);
        write(154, b2);
        write(149, b3);
        write(146, y0 - 0.03 * b2);
        const double a =
            std::max(std::abs(static_cast<double>(ToWord(r137))), std::abs(static_cast<double>(ToWord(r153))));
        write(143, std::min(r.DPixel * a / 2.0e9 * 5.0, 1.0e8));
        r.PageWritten = true;
    }
    // A pixel count of 0 has no line to wrap the delay into.
    r.StartPixel = p > 0 ? -static_cast<int32_t>(static_cast<int64_t>(Round(r.LineFrequency * in.StreamDelay)) % p) : 0;
    return r;
}

int32_t FastStartLineWord(int currentLine, int pixels)
{
    const double u = pixels > 0 ? std::clamp(static_cast<double>(currentLine) / pixels - 0.5, -0.5, 0.5) : 0.0;
    return ToWord(u * 2.147483e9);
}

// ---- statistics -----------------------------------------------------------------------------

TFastStatistics ComputeFastStatistics(const std::vector<double>& sums, const std::vector<int32_t>& counts, double speed)
{
    TFastStatistics s;
    const size_t size = std::min(sums.size(), counts.size());
    std::vector<double> m(size, 0.0);
    std::vector<bool> valid(size, false);
    double total = 0.0;
    int valids = 0;
    double lo = std::numeric_limits<double>::max(), hi = std::numeric_limits<double>::lowest();
    for (size_t i = 0; i < size; ++i) {
        if (counts[i] > 10) {
            m[i] = sums[i] / counts[i];
            valid[i] = true;
            total += m[i];
            ++valids;
            lo = std::min(lo, m[i]);
            hi = std::max(hi, m[i]);
            s.N = static_cast<int>(i);
        }
    }
    if (valids == 0 || s.N < 1)
        return s;
    const double mean = total / valids;
    const int n = s.N;
    const double shift = 2.0 * std::numbers::pi * 9e-5 * speed + std::numbers::pi / 2.0;
    for (int k = 1; k <= n; ++k) {
        // A position with too few samples contributes its mean, that is nothing.
        const double d = valid[static_cast<size_t>(k)] ? m[static_cast<size_t>(k)] - mean : 0.0;
        const double phi = 2.0 * std::numbers::pi * (k - 1) / n - shift;
        s.X += d * std::numbers::sqrt2 * std::sin(phi) / n;
        s.Y += d * std::numbers::sqrt2 * std::cos(phi) / n;
    }
    s.HalfSpan = (hi - lo) / 2.0;
    s.Valid = true;
    return s;
}

QString FastStatisticsText(double speed, const TFastStatistics& s)
{
    return FixedPointText(speed, 9, 3) + '\t' + FixedPointText(s.X, 9, 6) + '\t' + FixedPointText(s.Y, 9, 6) + '\t' +
           FixedPointText(s.HalfSpan, 9, 6);
}

// ---- channel list ---------------------------------------------------------------------------

std::vector<int32_t> FastOsziIds(const std::vector<int32_t>& addresses, int32_t maxId)
{
    std::vector<int32_t> ids;
    for (int32_t a : addresses) {
        if (static_cast<int>(ids.size()) >= FastMaxStreamChannels)
            break;
        ids.push_back(std::clamp(a - 8, 0, maxId));
    }
    ids.push_back(13);
    return ids;
}

} // namespace qvt
