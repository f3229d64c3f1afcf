#pragma once
// A fault that repeats is told as one episode, not once per repeat: its first
// occurrence at once, while it goes on at most one summary per SummaryNs,
// and once it has been quiet for QuietNs a last summary with its count and
// its first and last time. A loop that rings or a client that keeps failing
// thus costs a few log lines, however many times it fails.
//
// Time is the caller's (any clock in nanoseconds that only runs forward:
// the instrument's, the machine's steady clock); the times shown are the
// wall time at the episode's start moved on by that clock. Not thread-safe:
// the owner holds its own lock around it.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <unordered_map>

namespace qvt {

class TEpisodes {
public:
    static constexpr int64_t DefaultQuietNs = 2'000'000'000;
    static constexpr int64_t DefaultSummaryNs = 30'000'000'000;

    explicit TEpisodes(int64_t quietNs = DefaultQuietNs, int64_t summaryNs = DefaultSummaryNs);

    // `times` more occurrences of the fault `key` at `nowNs`. The first of an
    // episode adds `text()` to `lines` (asked for only then); a summary that
    // has fallen due is added too. Quiet episodes end first (Tick). True
    // when this began an episode.
    bool Note(uint64_t key, int64_t nowNs, const std::function<QString()>& text, QStringList& lines, int64_t times = 1);
    // Ends the episodes quiet since QuietNs, adding the summary of each that
    // repeated; adds the summary of each that goes on and is due.
    void Tick(int64_t nowNs, QStringList& lines);
    // Ends every episode now (the program or the source ends).
    void EndAll(QStringList& lines);
    bool Empty() const { return open_.empty(); }

    // "<text>: <count> times from <first> to <last>", " so far" while it goes on.
    static QString SummaryText(const QString& text, int64_t count, qint64 firstMs, qint64 lastMs, bool ongoing);

private:
    struct TEpisode {
        QString Text;
        int64_t FirstNs = 0;
        int64_t LastNs = 0;
        int64_t SummaryDueNs = 0;
        qint64 FirstWallMs = 0; // the wall clock at FirstNs
        int64_t Count = 0;
        int64_t CountTold = 1; // the first occurrence is told as it comes
    };
    void Summarise(TEpisode& e, bool ongoing, QStringList& lines) const;

    int64_t quietNs_;
    int64_t summaryNs_;
    std::unordered_map<uint64_t, TEpisode> open_;
};

} // namespace qvt
