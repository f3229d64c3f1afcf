// Faults that repeat are told as episodes: the first at once, then their
// count at a bounded rate, and a last count once they have stopped.

#include "platform/Episodes.h"
#include "platform/MessageBoxes.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

#include <atomic>

using namespace qvt;

namespace {

constexpr int64_t Second = 1'000'000'000;

QString Text(const char* text)
{
    return QString::fromLatin1(text);
}

} // namespace

TEST(Episodes, ARepeatIsCountedAndToldAtTheQuietEndAndAtMostOncePerSummaryInterval)
{
    TEpisodes episodes(2 * Second, 30 * Second);
    QStringList lines;
    // The first occurrence is told whole and at once; its repeats only counted.
    EXPECT_TRUE(episodes.Note(
        7, 0, [] { return Text("tip crashed"); }, lines));
    int asked = 0;
    for (int64_t t = 1; t <= 1000; ++t)
        EXPECT_FALSE(episodes.Note(
            7, t * 1'000'000, [&] { return ++asked, Text("other"); }, lines));
    EXPECT_EQ(asked, 0) << "a repeat's text is never made";
    EXPECT_EQ(lines, QStringList{"tip crashed"});

    // Quiet for one nanosecond less than the quiet interval: it goes on.
    const int64_t last = 1000 * 1'000'000;
    episodes.Tick(last + 2 * Second - 1, lines);
    EXPECT_EQ(lines.size(), 1);
    // Quiet for the interval: it ends with its count, the repeats included.
    episodes.Tick(last + 2 * Second, lines);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith("tip crashed: 1001 times from ")) << lines[1].toStdString();
    EXPECT_FALSE(lines[1].endsWith("so far"));
    EXPECT_TRUE(episodes.Empty());

    // A single occurrence has nothing more to tell; the next one begins anew.
    lines.clear();
    EXPECT_TRUE(episodes.Note(
        7, 10 * Second, [] { return Text("tip crashed"); }, lines));
    episodes.Tick(20 * Second, lines);
    EXPECT_EQ(lines, QStringList{"tip crashed"});
    EXPECT_TRUE(episodes.Note(
        7, 20 * Second, [] { return Text("tip crashed"); }, lines));
    EXPECT_EQ(lines.size(), 2);

    // A fault that never stops: one summary per interval, the count so far.
    lines.clear();
    TEpisodes ringing(2 * Second, 30 * Second);
    for (int64_t ms = 0; ms <= 95'000; ++ms)
        ringing.Note(
            1, ms * 1'000'000, [] { return Text("ring"); }, lines);
    ASSERT_EQ(lines.size(), 4) << lines.join(" / ").toStdString();
    EXPECT_TRUE(lines[1].startsWith("ring: 30001 times from ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(" so far"));
    EXPECT_TRUE(lines[3].startsWith("ring: 90001 times from ")) << lines[3].toStdString();
    ringing.EndAll(lines);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[4].startsWith("ring: 95001 times from ")) << lines[4].toStdString();

    // Kinds apart are episodes apart; several at once count as several.
    lines.clear();
    TEpisodes kinds;
    EXPECT_TRUE(kinds.Note(
        1, 0, [] { return Text("a"); }, lines, 5));
    EXPECT_TRUE(kinds.Note(
        2, 0, [] { return Text("b"); }, lines));
    kinds.EndAll(lines);
    EXPECT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.contains("a") && lines.contains("b")) << lines.join(" / ").toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^a: 5 times from \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d to ")).size(), 1)
        << lines.join(" / ").toStdString();
}

TEST(Episodes, TheSameLogLineAgainAndAgainIsOneLineWithItsCount)
{
    QStringList log;
    SetMessageLog([&log](const QString& line) { log << line; });
    std::atomic<int64_t> now{0};
    SetMessageClockForTests([&now] { return now.load(); });

    for (int i = 0; i < 5000; ++i) {
        LogMessage(MsgKind::Warning, "Command server refused a client: all 128 places are taken.");
        now += 1'000'000;
    }
    LogMessage(MsgKind::Information, "something else");
    EXPECT_EQ(log, (QStringList{"Warning: Command server refused a client: all 128 places are taken.",
                                "Information: something else"}));
    now += TEpisodes::DefaultQuietNs;
    TellMessageEpisodes();
    ASSERT_EQ(log.size(), 3);
    EXPECT_TRUE(log[2].startsWith("Warning: Command server refused a client: all 128 places are taken.: 5000 times "))
        << log[2].toStdString();

    // The end of the program tells what is still counting.
    LogMessage(MsgKind::Information, "something else");
    LogMessage(MsgKind::Information, "something else");
    TellMessageEpisodes(true);
    ASSERT_EQ(log.size(), 5);
    EXPECT_TRUE(log[4].startsWith("Information: something else: 2 times ")) << log[4].toStdString();

    SetMessageClockForTests({});
    SetMessageLog({});
}
