#pragma once
// The box's move generator: the X/Y outputs walk to a target in equal steps,
// one step per tick of the 39062.5 Hz sample clock. Moves queue in the order
// they arrive; each starts when the one before it has ended.
//
// What a scientist would see: the tip glides in straight lines at the step
// rate the program asked for; a jump lands at once; a stop leaves the tip
// where it was at that moment and drops whatever was still queued.
//
// Pure state, no lock and no allocation: the controller's lock covers it.
// Times are nanoseconds of the controller's clock.

#include <array>
#include <cstdint>

namespace qvt::sim {

class SimMoveGenerator {
public:
    static constexpr int64_t TickNs = 25600; // one tick of the 39062.5 Hz clock
    static constexpr int Capacity = 256;

    struct Position {
        int64_t X = 0;
        int64_t Y = 0;
        int32_t StepX = 0; // step under way (0 when idle)
        int32_t StepY = 0;
    };

    // Queues a move that starts at (x, y) and makes `steps` steps of
    // (stepX, stepY); 0 steps jump to (x, y). `from` is where the outputs are
    // now, the origin of a jump made while idle. Returns false when the queue
    // is full. The end of the new move is EndNs().
    bool Submit(int64_t nowNs, int32_t x, int32_t y, int32_t stepX, int32_t stepY, int32_t steps, Position from);
    // Stops at once: the outputs stay where the move in progress has them.
    // Returns that position.
    Position Stop(int64_t nowNs, Position current);
    // Drops every queued move (the outputs were written directly).
    void Clear() { head_ = count_ = 0; }

    // True while a move has not yet been retired (it may have ended meanwhile).
    bool Active() const { return count_ > 0; }
    // True while a queued move has not ended by `nowNs`.
    bool Busy(int64_t nowNs) const { return count_ > 0 && nowNs < EndNs(); }
    int Pending() const { return count_; }
    // End of the last queued move.
    int64_t EndNs() const { return count_ > 0 ? Queued(count_ - 1).EndNs : 0; }
    // End point and step of the last queued move.
    Position EndPosition() const;

    // Where the outputs are at `nowNs`; retires the moves that have ended.
    // Only meaningful while Active().
    Position At(int64_t nowNs);
    // Where the outputs are (or will be) at `nowNs`, retiring nothing.
    Position PeekAt(int64_t nowNs) const;
    // How long until at most `pending` moves are left unfinished.
    int64_t NsUntilPendingAtMost(int64_t nowNs, int pending) const;

private:
    struct Move {
        int64_t StartNs = 0;
        int64_t EndNs = 0;
        int64_t X = 0;
        int64_t Y = 0;
        int32_t StepX = 0;
        int32_t StepY = 0;
        int32_t Steps = 0;
    };
    const Move& Queued(int i) const { return moves_[(head_ + i) % Capacity]; }
    static Position PositionIn(const Move& m, int64_t nowNs);

    std::array<Move, Capacity> moves_{};
    int head_ = 0;
    int count_ = 0;
    Position last_; // end of the move retired last
};

} // namespace qvt::sim
