#include "platform/Episodes.h"

#include <QDateTime>

#include <algorithm>

namespace qvt {

TEpisodes::TEpisodes(int64_t quietNs, int64_t summaryNs) : quietNs_(quietNs), summaryNs_(summaryNs) {}

bool TEpisodes::Note(uint64_t key, int64_t nowNs, const std::function<QString()>& text, QStringList& lines,
                     int64_t times)
{
    if (times <= 0)
        return false;
    const auto found = open_.find(key);
    if (found != open_.end() && nowNs - found->second.LastNs < quietNs_) {
        TEpisode& e = found->second;
        e.Count += times;
        e.LastNs = std::max(e.LastNs, nowNs);
        Tick(nowNs, lines);
        return false;
    }
    // Ends this key's episode too when it has been quiet long enough.
    Tick(nowNs, lines);
    TEpisode& e = open_[key];
    e.Text = text();
    e.FirstNs = nowNs;
    e.LastNs = nowNs;
    e.SummaryDueNs = nowNs + summaryNs_;
    e.FirstWallMs = QDateTime::currentMSecsSinceEpoch();
    e.Count = times;
    lines.push_back(e.Text);
    return true;
}

void TEpisodes::Tick(int64_t nowNs, QStringList& lines)
{
    for (auto it = open_.begin(); it != open_.end();) {
        TEpisode& e = it->second;
        if (nowNs - e.LastNs >= quietNs_) {
            Summarise(e, false, lines);
            it = open_.erase(it);
            continue;
        }
        if (nowNs >= e.SummaryDueNs)
            Summarise(e, true, lines);
        ++it;
    }
}

void TEpisodes::EndAll(QStringList& lines)
{
    for (auto& [key, e] : open_)
        Summarise(e, false, lines);
    open_.clear();
}

void TEpisodes::Summarise(TEpisode& e, bool ongoing, QStringList& lines) const
{
    // A single occurrence was told whole as it came; a summary that says
    // nothing new is left out.
    if (e.Count > e.CountTold) {
        const qint64 lastMs = e.FirstWallMs + (e.LastNs - e.FirstNs) / 1'000'000;
        lines.push_back(SummaryText(e.Text, e.Count, e.FirstWallMs, lastMs, ongoing));
        e.CountTold = e.Count;
    }
    e.SummaryDueNs = e.LastNs + summaryNs_;
}

QString TEpisodes::SummaryText(const QString& text, int64_t count, qint64 firstMs, qint64 lastMs, bool ongoing)
{
    const auto clock = [](qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss.zzz"); };
    return QStringLiteral("%1: %2 times from %3 to %4%5")
        .arg(text)
        .arg(count)
        .arg(clock(firstMs), clock(lastMs), ongoing ? QStringLiteral(" so far") : QString());
}

} // namespace qvt
