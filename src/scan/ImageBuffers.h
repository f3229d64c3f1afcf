#pragma once
// Image data of the scanned channels: one TDaten per channel and scan
// direction, a matrix of raw readings with one row per scan line.
//
// The scan thread writes one cell per pixel and channel while the image
// windows, the 3D view and the file output read the same matrix. Nobody holds
// a bare pointer into a matrix: every user takes a shared snapshot of it
// (the writer once per line), so freeing or reallocating a channel only drops
// the object's own reference and the memory goes when the last user lets go.
// Cells are read and written as relaxed atomics; on the usual machines that
// is a plain load or store.

#include "device/ChannelTable.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qvt {

class TIOScale;

// The row table of an image holds this many rows (the largest pixel count).
constexpr int ImageMaxRows = 2048;
// Far beyond any line the scan makes; keeps the slope sums exact in 64 bits.
constexpr int ImageMaxCols = 65536;

enum ImagePlane : int {
    PlaneFwd = 0,
    PlaneBwd = 1,
    PlaneFly = 2, // lift pass
};
constexpr int ImagePlaneCount = 3;
constexpr int ImageChannelCount = ChannelSlotCount * ImagePlaneCount; // 177
constexpr int ImageChannelIndex(int slot, int plane)
{
    return slot * ImagePlaneCount + plane;
}
constexpr bool IsValidImageChannel(int index)
{
    return index >= 0 && index < ImageChannelCount;
}

// "Fwd", "Bwd", "fly"; empty for a bad plane.
QString PlaneSuffix(int plane);

// Rows × Cols signed readings in one contiguous block, row r starting at
// r × Cols, plus one spare cell at the end.
class TImageMatrix {
public:
    TImageMatrix(int rows, int cols); // throws std::bad_alloc when memory is short
    TImageMatrix(const TImageMatrix&) = delete;
    TImageMatrix& operator=(const TImageMatrix&) = delete;

    int Rows() const { return rows_; }
    int Cols() const { return cols_; }
    // Different for every matrix the program makes, so a user can tell a
    // new buffer from the one it drew before, wherever it lies in memory.
    uint64_t Id() const { return id_; }

    int32_t At(int row, int col) const
    {
        return std::atomic_ref<int32_t>(cells_[Offset(row, col)]).load(std::memory_order_relaxed);
    }
    void Store(int row, int col, int32_t value)
    {
        std::atomic_ref<int32_t>(cells_[Offset(row, col)]).store(value, std::memory_order_relaxed);
    }

    // One line of the image, same access rules as the matrix.
    class RowRef {
    public:
        int Size() const { return size_; }
        int32_t operator[](int col) const
        {
            return std::atomic_ref<int32_t>(cells_[col]).load(std::memory_order_relaxed);
        }
        void Store(int col, int32_t value) const
        {
            std::atomic_ref<int32_t>(cells_[col]).store(value, std::memory_order_relaxed);
        }

    private:
        friend class TImageMatrix;
        RowRef(int32_t* cells, int size) : cells_(cells), size_(size) {}
        int32_t* cells_;
        int size_;
    };
    RowRef Row(int row) const { return RowRef(&cells_[Offset(row, 0)], cols_); }

    // Copies row `row` into `out` (Cols values).
    void CopyRow(int row, int32_t* out) const;

private:
    std::size_t Offset(int row, int col) const { return static_cast<std::size_t>(row) * cols_ + col; }

    int rows_;
    int cols_;
    uint64_t id_;
    // Mutable: std::atomic_ref needs a non-const object even for a load.
    mutable std::vector<int32_t> cells_;
};

using TImageMatrixPtr = std::shared_ptr<TImageMatrix>;

// The data of one channel in one scan direction. Name, Suffix and Scale are
// fixed by the owner before any worker thread runs.
class TDaten {
public:
    TDaten() = default;
    ~TDaten() = default;
    TDaten(const TDaten&) = delete;
    TDaten& operator=(const TDaten&) = delete;

    QString Name;              // "DAC1".."DAC26", "ADC1".."ADC33"
    QString Suffix;            // "Fwd", "Bwd" or "fly"
    TIOScale* Scale = nullptr; // not owned
    std::atomic<int32_t> ListIndex{-1};
    // Least-squares slopes of the first matrix along a row and along a
    // column, raw digits per pixel.
    std::atomic<double> SlopeX{0.0};
    std::atomic<double> SlopeY{0.0};

    // Replaces any existing buffer by a zeroed rows × cols matrix. All or
    // nothing: on failure (no memory, more than ImageMaxRows rows or
    // ImageMaxCols columns, a size below 1) the object is left without a
    // buffer and false is returned.
    bool AllocBuffers(int rows, int cols);
    // Drops the buffers; users holding a snapshot keep theirs until they let go.
    void FreeBuffers();
    // Sets SlopeX and SlopeY from the first matrix; needs at least 10 columns,
    // otherwise nothing changes.
    void ComputeSlopes();

    // −1 when there is no buffer. A user that reads cells takes the sizes
    // from its snapshot, which cannot change under it.
    int Rows() const { return rows_.load(); }
    int Cols() const { return cols_.load(); }
    bool HasBuffer() const { return cols_.load() >= 0; }

    // A snapshot of the first matrix; null when the channel is not acquired.
    TImageMatrixPtr Data() const;
    // The second matrix, same shape, made at its first use. Null when there is
    // no first matrix or memory is short.
    TImageMatrixPtr Data2();

    // Tests make allocations fail through this: called with the size of each
    // matrix about to be made, a true answer fails it. Empty = no hook.
    static void SetAllocationFailureHook(std::function<bool(std::size_t cells)> hook);

private:
    static TImageMatrixPtr MakeMatrix(int rows, int cols);

    // Held only to copy or swap the pointers, never while cells are touched.
    mutable std::mutex mutex_;
    TImageMatrixPtr data_;
    TImageMatrixPtr data2_;
    std::atomic<int32_t> rows_{-1};
    std::atomic<int32_t> cols_{-1};
};

// The two slopes of a matrix, as ComputeSlopes finds them.
struct TPlaneSlopes {
    double X = 0.0;
    double Y = 0.0;
};
// Mean least-squares slope of the rows (X) and of the columns (Y). A divisor
// at most 1e-9 in magnitude is not divided by: the slope takes its value.
TPlaneSlopes ComputePlaneSlopes(const TImageMatrix& matrix);

// The 177 image buffers of the scan, index slot × 3 + plane.
class TImageChannels {
public:
    // Names each object after its slot and plane and gives it the slot's scale.
    explicit TImageChannels(TChannelTable* scales = &ChannelTable);
    TImageChannels(const TImageChannels&) = delete;
    TImageChannels& operator=(const TImageChannels&) = delete;

    TDaten& operator[](int index) { return channels_[index]; }
    const TDaten& operator[](int index) const { return channels_[index]; }
    static constexpr int Count() { return ImageChannelCount; }

    // A square buffer of the current pixel count for object `index`.
    bool AllocChannelBuffer(int index);
    // Frees object `index`, then lets the main window refresh its channel menus.
    void FreeChannelBuffer(int index);

    // Run after a buffer was freed (the main window's channel menus).
    std::function<void()> ChannelsChanged;

private:
    std::array<TDaten, ImageChannelCount> channels_;
};

// The rows of one frame that were measured: a frame is a frame only when
// every one of its rows was. Both scans keep one, so a frame that began
// part-way or did not end is never handed on as a whole one.
class TMeasuredRows {
public:
    // `rows` rows, none measured yet.
    void Reset(int rows) { measured_.assign(static_cast<std::size_t>(rows > 0 ? rows : 0), uint8_t{0}); }
    // A new frame over the same rows.
    void Clear() { measured_.assign(measured_.size(), uint8_t{0}); }
    // Rows outside the frame (turn lines) are no part of it.
    void Mark(int row)
    {
        if (row >= 0 && row < static_cast<int>(measured_.size()))
            measured_[static_cast<std::size_t>(row)] = 1;
    }
    bool Whole() const;

private:
    std::vector<uint8_t> measured_;
};

// What the guarded buffer operations need from the scan: whether the scan or
// the fast-scan thread is running (not suspended), and the scan's pause.
class IScanControl {
public:
    virtual ~IScanControl() = default;
    virtual bool ScanActive() const = 0;
    virtual void PauseScan() = 0;
};

inline const char* const ScanNotPausedText = "Scan is not paused!\r Please stop scan first.";
inline const char* const NotEnoughMemoryText = "Not enough memory!";

// The channel selection window's forms. Allocating is refused while a scan
// runs; freeing pauses the scan first and is refused when it does not stop.
bool GuardedAllocChannelBuffer(TImageChannels& channels, IScanControl& scan, int index);
bool GuardedFreeChannelBuffer(TImageChannels& channels, IScanControl& scan, int index);

} // namespace qvt
