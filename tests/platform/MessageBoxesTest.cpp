#include "platform/MessageBoxes.h"

#include "support/MessageLog.h"
#include "support/TestSupport.h"

#include <QThread>
#include <gtest/gtest.h>

#include <thread>

using namespace qvt;

namespace {

// The log the program writes unshown boxes to, caught for the test.
using LogScope = test::MessageLogScope;

} // namespace

TEST(MessageBoxes, WithoutAScreenABoxIsLoggedWithItsKindAndAnswersAtOnce)
{
    // The tests run on the offscreen platform: no screen anybody could click on.
    LogScope log;
    EXPECT_EQ(ShowMessage(MsgKind::Error, "No OpenGL installed!"), MsgResult::Ok);
    EXPECT_EQ(ShowMessage(MsgKind::Confirmation, "Delete?\rReally?", MsgButtons::YesNo), MsgResult::No);
    // From a worker too, which the window thread would otherwise have shown it for.
    MsgResult fromWorker = MsgResult::Yes;
    std::thread worker([&] { fromWorker = ShowMessage(MsgKind::Warning, "Careful", MsgButtons::OkCancel); });
    EXPECT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 3; }));
    worker.join();
    EXPECT_EQ(fromWorker, MsgResult::Cancel);
    EXPECT_EQ(log.Lines,
              (QStringList{"Error: No OpenGL installed!", "Confirmation: Delete? Really?", "Warning: Careful"}));
}

TEST(MessageBoxes, OnceTheProgramEndsNoBoxIsShownAnyMore)
{
    LogScope log;
    StopShowingBoxes();
    EXPECT_EQ(ShowMessage(MsgKind::Information, "Please stop scan first!", MsgButtons::YesNoCancel),
              MsgResult::Cancel);
    StopShowingBoxes(false);
    EXPECT_EQ(log.Lines, QStringList{"Information: Please stop scan first!"});
}
