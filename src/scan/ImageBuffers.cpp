#include "scan/ImageBuffers.h"

#include "core/SharedState.h"
#include "platform/MessageBoxes.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

namespace qvt {

namespace {

std::mutex hookMutex;
std::function<bool(std::size_t)> allocationFailureHook;

bool AllocationShallFail(std::size_t cells)
{
    std::lock_guard lock(hookMutex);
    return allocationFailureHook && allocationFailureHook(cells);
}

} // namespace

QString PlaneSuffix(int plane)
{
    switch (plane) {
    case PlaneFwd:
        return QStringLiteral("Fwd");
    case PlaneBwd:
        return QStringLiteral("Bwd");
    case PlaneFly:
        return QStringLiteral("fly");
    default:
        return QString();
    }
}

// ---- TImageMatrix ----------------------------------------------------------------

namespace {
std::atomic<uint64_t> lastMatrixId{0};
} // namespace

TImageMatrix::TImageMatrix(int rows, int cols)
    : rows_(rows), cols_(cols), id_(lastMatrixId.fetch_add(1, std::memory_order_relaxed) + 1), cells_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) + 1, 0)
{
}

void TImageMatrix::CopyRow(int row, int32_t* out) const
{
    const RowRef line = Row(row);
    for (int c = 0; c < cols_; ++c)
        out[c] = line[c];
}

// ---- TDaten ------------------------------------------------------------------------

void TDaten::SetAllocationFailureHook(std::function<bool(std::size_t cells)> hook)
{
    std::lock_guard lock(hookMutex);
    allocationFailureHook = std::move(hook);
}

TImageMatrixPtr TDaten::MakeMatrix(int rows, int cols)
{
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) + 1;
    if (AllocationShallFail(cells))
        return nullptr;
    try {
        return std::make_shared<TImageMatrix>(rows, cols);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

bool TDaten::AllocBuffers(int rows, int cols)
{
    if (HasBuffer())
        FreeBuffers();
    if (rows < 1 || cols < 1 || rows > ImageMaxRows || cols > ImageMaxCols)
        return false;
    TImageMatrixPtr matrix = MakeMatrix(rows, cols);
    if (!matrix)
        return false;
    std::lock_guard lock(mutex_);
    data_ = std::move(matrix);
    data2_.reset();
    rows_ = rows;
    cols_ = cols;
    return true;
}

void TDaten::FreeBuffers()
{
    TImageMatrixPtr first;
    TImageMatrixPtr second;
    {
        std::lock_guard lock(mutex_);
        first = std::move(data_);
        second = std::move(data2_);
        data_.reset();
        data2_.reset();
        cols_ = -1;
        rows_ = -1;
    }
    // The matrices are released here, outside the lock, unless a user still
    // holds a snapshot; then they go with its last reference.
}

TImageMatrixPtr TDaten::Data() const
{
    std::lock_guard lock(mutex_);
    return data_;
}

TImageMatrixPtr TDaten::Data2()
{
    std::unique_lock lock(mutex_);
    if (data2_ || !data_)
        return data2_;
    const TImageMatrixPtr first = data_;
    lock.unlock();
    // Made outside the lock: the writer's snapshot copies must not wait for it.
    TImageMatrixPtr second = MakeMatrix(first->Rows(), first->Cols());
    lock.lock();
    // Only if the buffer was not replaced meanwhile.
    if (second && data_ == first && !data2_)
        data2_ = std::move(second);
    return data_ == first ? data2_ : nullptr;
}

void TDaten::ComputeSlopes()
{
    const TImageMatrixPtr matrix = Data();
    if (!matrix || matrix->Cols() < 10)
        return;
    const TPlaneSlopes slopes = ComputePlaneSlopes(*matrix);
    SlopeX = slopes.X;
    SlopeY = slopes.Y;
}

TPlaneSlopes ComputePlaneSlopes(const TImageMatrix& matrix)
{
    // With positions 1..n, n·Σ i·z − Σ z·Σ i equals (n/2)·Σ (2i − n − 1)·z. The
    // weights 2i − n − 1 are small integers, so each line's weighted sum is
    // exact in 64 bits even for readings near ±2^31, and the large nearly
    // equal products of the textbook form never have to be subtracted.
    const int rows = matrix.Rows();
    const int cols = matrix.Cols();
    const double c = cols;
    const double r = rows;

    double rowNumerators = 0.0; // Σ over rows of Σ_c (2c − C − 1)·z
    double colNumerators = 0.0; // Σ over rows of (2r − R − 1)·Σ_c z
    for (int row = 0; row < rows; ++row) {
        const TImageMatrix::RowRef line = matrix.Row(row);
        int64_t weighted = 0;
        int64_t sum = 0;
        for (int col = 0; col < cols; ++col) {
            const int64_t z = line[col];
            weighted += (2 * int64_t(col + 1) - cols - 1) * z;
            sum += z;
        }
        rowNumerators += static_cast<double>(weighted);
        colNumerators += static_cast<double>(2 * int64_t(row + 1) - rows - 1) * static_cast<double>(sum);
    }

    // n·Σ i² − (Σ i)² = n²(n² − 1)/12
    const double divisorX = c * c * (c * c - 1.0) / 12.0 * r;
    const double divisorY = r * r * (r * r - 1.0) / 12.0 * c;
    const double numeratorX = c / 2.0 * rowNumerators;
    const double numeratorY = r / 2.0 * colNumerators;

    TPlaneSlopes slopes;
    slopes.X = std::fabs(divisorX) <= 1e-9 ? divisorX : numeratorX / divisorX;
    slopes.Y = std::fabs(divisorY) <= 1e-9 ? divisorY : numeratorY / divisorY;
    return slopes;
}

// ---- TImageChannels ------------------------------------------------------------------

TImageChannels::TImageChannels(TChannelTable* scales)
{
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        for (int plane = 0; plane < ImagePlaneCount; ++plane) {
            TDaten& channel = channels_[ImageChannelIndex(slot, plane)];
            channel.Name = ChannelName(slot);
            channel.Suffix = PlaneSuffix(plane);
            channel.Scale = scales != nullptr ? &(*scales)[slot] : nullptr;
        }
    }
}

bool TImageChannels::AllocChannelBuffer(int index)
{
    if (!IsValidImageChannel(index))
        return false;
    const int pixels = ScanParams.Pixels.load();
    return channels_[index].AllocBuffers(pixels, pixels);
}

void TImageChannels::FreeChannelBuffer(int index)
{
    if (!IsValidImageChannel(index))
        return;
    channels_[index].FreeBuffers();
    if (ChannelsChanged)
        ChannelsChanged();
}

// ---- guarded forms -----------------------------------------------------------------

bool GuardedAllocChannelBuffer(TImageChannels& channels, IScanControl& scan, int index)
{
    if (scan.ScanActive()) {
        ShowMessage(MsgKind::Information, QString::fromLatin1(ScanNotPausedText));
        return false;
    }
    if (!channels.AllocChannelBuffer(index)) {
        ShowMessage(MsgKind::Error, QString::fromLatin1(NotEnoughMemoryText));
        return false;
    }
    return true;
}

bool GuardedFreeChannelBuffer(TImageChannels& channels, IScanControl& scan, int index)
{
    if (!IsValidImageChannel(index) || !channels[index].HasBuffer())
        return true;
    scan.PauseScan();
    if (scan.ScanActive()) {
        ShowMessage(MsgKind::Information, QString::fromLatin1(ScanNotPausedText));
        return false;
    }
    channels.FreeChannelBuffer(index);
    return true;
}

bool TMeasuredRows::Whole() const
{
    return !measured_.empty() && std::all_of(measured_.begin(), measured_.end(), [](uint8_t m) { return m != 0; });
}

} // namespace qvt
