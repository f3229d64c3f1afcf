#include "sim/SimMoveGenerator.h"

#include <algorithm>

namespace qvt::sim {

bool SimMoveGenerator::Submit(int64_t nowNs, int32_t x, int32_t y, int32_t stepX, int32_t stepY, int32_t steps,
                              Position from)
{
    if (count_ >= Capacity || steps < 0)
        return false;
    Move m;
    m.StartNs = std::max(nowNs, EndNs());
    m.X = x;
    m.Y = y;
    if (steps == 0) {
        // The step of a jump is the whole way from where the tip then is.
        const Position origin = count_ > 0 ? EndPosition() : from;
        m.StepX = static_cast<int32_t>(std::clamp<int64_t>(x - origin.X, INT32_MIN, INT32_MAX));
        m.StepY = static_cast<int32_t>(std::clamp<int64_t>(y - origin.Y, INT32_MIN, INT32_MAX));
    } else {
        m.StepX = stepX;
        m.StepY = stepY;
    }
    m.Steps = steps;
    m.EndNs = m.StartNs + static_cast<int64_t>(steps) * TickNs;
    moves_[(head_ + count_) % Capacity] = m;
    ++count_;
    return true;
}

SimMoveGenerator::Position SimMoveGenerator::Stop(int64_t nowNs, Position current)
{
    if (count_ > 0)
        current = At(nowNs);
    Clear();
    current.StepX = current.StepY = 0;
    return current;
}

SimMoveGenerator::Position SimMoveGenerator::EndPosition() const
{
    if (count_ == 0)
        return {};
    const Move& m = Queued(count_ - 1);
    return PositionIn(m, m.EndNs);
}

SimMoveGenerator::Position SimMoveGenerator::PositionIn(const Move& m, int64_t nowNs)
{
    if (m.Steps == 0)
        return {m.X, m.Y, m.StepX, m.StepY};
    const int64_t k = std::clamp<int64_t>((nowNs - m.StartNs) / TickNs, 0, m.Steps);
    return {m.X + k * m.StepX, m.Y + k * m.StepY, m.StepX, m.StepY};
}

SimMoveGenerator::Position SimMoveGenerator::At(int64_t nowNs)
{
    // Retire every move that has ended; the last of them gives the position
    // until the next one starts.
    while (count_ > 0 && nowNs >= Queued(0).EndNs) {
        const Move& m = Queued(0);
        last_ = PositionIn(m, m.EndNs);
        head_ = (head_ + 1) % Capacity;
        --count_;
    }
    if (count_ > 0 && nowNs >= Queued(0).StartNs)
        return PositionIn(Queued(0), nowNs);
    return last_;
}

SimMoveGenerator::Position SimMoveGenerator::PeekAt(int64_t nowNs) const
{
    Position p = last_;
    for (int i = 0; i < count_; ++i) {
        const Move& m = Queued(i);
        if (nowNs < m.StartNs)
            return p;
        if (nowNs < m.EndNs)
            return PositionIn(m, nowNs);
        p = PositionIn(m, m.EndNs);
    }
    return p;
}

int64_t SimMoveGenerator::NsUntilPendingAtMost(int64_t nowNs, int pending) const
{
    if (count_ <= pending)
        return 0;
    return std::max<int64_t>(0, Queued(count_ - pending - 1).EndNs - nowNs);
}

} // namespace qvt::sim
