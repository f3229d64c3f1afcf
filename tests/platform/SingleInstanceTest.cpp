#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using qvt::SingleInstance;

namespace {
QString UniqueName(const char* tag) { return QString("TEST%1_%2").arg(tag).arg(::getpid()); }
} // namespace

TEST(SingleInstance, SameNameIsRefusedAndTheFirstIsAskedToRestore)
{
    const QString name = UniqueName("same");
    SingleInstance first(name);
    ASSERT_TRUE(first.Acquire());
    int restores = 0;
    QObject::connect(&first, &SingleInstance::restoreRequested, [&] { ++restores; });

    // A second start is another process: flock locks belong to open files, so
    // a child that opens the lock file anew sees it taken.
    pid_t child = ::fork();
    if (child == 0) {
        SingleInstance second(name);
        ::_exit(second.Acquire() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the second start must find the lock taken";

    std::atomic<bool> asked{false};
    std::thread client([&] { asked = SingleInstance::AskRunningInstanceToRestore(name); });
    for (int i = 0; i < 3000 && restores == 0; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    client.join();
    EXPECT_TRUE(asked.load());
    EXPECT_EQ(restores, 1);
}

TEST(SingleInstance, DifferentNamesRunSideBySideAndEmptyNameTakesNoLock)
{
    SingleInstance a(UniqueName("a"));
    SingleInstance b(UniqueName("b"));
    EXPECT_TRUE(a.Acquire());
    EXPECT_TRUE(b.Acquire());
    SingleInstance e1(""), e2("");
    EXPECT_TRUE(e1.Acquire());
    EXPECT_TRUE(e2.Acquire());
}

TEST(SingleInstance, AKilledInstanceDoesNotBlockARestart)
{
    const QString name = UniqueName("killed");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        SingleInstance held(name);
        const char ok = held.Acquire() ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    SingleInstance restart(name);
    EXPECT_TRUE(restart.Acquire());
}
