#include "platform/WindowThread.h"
#include "platform/MessageBoxes.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QEvent>
#include <QString>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace qvt;

namespace {
// Lets the window thread handle queued calls until `done` holds.
using qvt::test::PumpUntil;
} // namespace

TEST(WindowThread, PostedAndSentCallsRunInTheWindowThread)
{
    EXPECT_EQ(WM_RESTORE_INSTANCE, 0x400);
    EXPECT_EQ(WM_FAST_SCAN_FRAME, 0x407);

    std::atomic<bool> postedInWindowThread{false};
    std::atomic<bool> sentInWindowThread{false};
    std::atomic<bool> sendReturned{false};
    const test::HangWatch watch("a call sent to the window thread", 10000);
    std::thread worker([&] {
        PostToWindowThread([&] { postedInWindowThread = IsWindowThread(); });
        SendToWindowThread([&] { sentInWindowThread = IsWindowThread(); });
        sendReturned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return sendReturned.load(); }));
    worker.join();
    EXPECT_TRUE(postedInWindowThread.load());
    EXPECT_TRUE(sentInWindowThread.load());

    // From the window thread itself a sent call runs at once.
    bool direct = false;
    SendToWindowThread([&] { direct = true; });
    EXPECT_TRUE(direct);
}

TEST(WindowThread, SentCallGivesUpWhenItsSenderIsStopped)
{
    std::atomic<bool> stop{false};
    std::atomic<bool> ran{false};
    bool delivered = true;
    std::thread worker([&] { delivered = SendToWindowThread([&] { ran = true; }, [&] { return stop.load(); }); });
    // The window thread is "busy" (not pumping) and decides to stop the worker.
    stop = true;
    worker.join();
    EXPECT_FALSE(delivered);
    QCoreApplication::processEvents(); // the abandoned call must not run late
    EXPECT_FALSE(ran.load());

    // A call already running is waited for: it may use what the sender's stack holds.
    std::atomic<bool> inside{false};
    std::atomic<int> askedWhileInside{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> returned{false};
    int onSendersStack = 0;
    std::thread sender([&] {
        delivered = SendToWindowThread(
            [&] {
                inside = true;
                // Runs on until the sender has wanted to give up twice (or gave up).
                while (askedWhileInside < 2 && !returned)
                    std::this_thread::yield();
                if (!returned)
                    onSendersStack = 7;
                finished = true;
            },
            [&] {
                if (inside)
                    ++askedWhileInside;
                return inside.load();
            });
        returned = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    sender.join();
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(onSendersStack, 7);
}

TEST(WindowThread, PostedCallsCarryWhatTheirWorkerWroteInOrder)
{
    // An application-wide filter, as the scan parameter window installs, looks
    // at each queued call's event before the call runs.
    struct CountCalls : QObject {
        int Seen = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            Seen += event->type() == QEvent::MetaCall ? 1 : 0;
            return false;
        }
    } filter;
    qApp->installEventFilter(&filter);

    // Plain data on both sides, no lock: the post is the hand-over.
    std::vector<QString> received;
    QString last;
    bool sentSawLast = false;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 40; ++i)
            PostToWindowThread([&received, text = QString::number(i)] { received.push_back(text); });
        last = QStringLiteral("end");
        SendToWindowThread([&] { sentSawLast = last == "end"; });
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    qApp->removeEventFilter(&filter);

    ASSERT_EQ(received.size(), 40U);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(received[static_cast<size_t>(i)], QString::number(i));
    EXPECT_TRUE(sentSawLast);
    EXPECT_GE(filter.Seen, 41);
}

TEST(MessageBoxes, ResponderRecordsTextsAndAnswersFromAnyThread)
{
    ScriptedMessageResponder responder;
    responder.QueueAnswer(MsgResult::No);
    EXPECT_EQ(ShowMessage(MsgKind::Confirmation, "Really?", MsgButtons::YesNo), MsgResult::No);
    EXPECT_EQ(ShowMessage(MsgKind::Confirmation, "Again?", MsgButtons::YesNo), MsgResult::Yes);
    std::thread worker([] { ShowMessage(MsgKind::Error, "from worker"); });
    worker.join();
    Beep();
    EXPECT_EQ(responder.Texts(), (QStringList{"Really?", "Again?", "from worker"}));
    EXPECT_EQ(responder.Kinds().back(), MsgKind::Error);
    EXPECT_EQ(responder.BeepCount(), 1);
}
