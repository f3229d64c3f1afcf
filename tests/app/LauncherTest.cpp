#include "platform/Launcher.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace qvt;

namespace {

bool WaitForFile(const QString& path, int ms = 5000)
{
    for (int i = 0; i < ms / 10 && !QFileInfo(path).isFile(); ++i)
        QThread::msleep(10);
    return QFileInfo(path).isFile();
}

} // namespace

TEST(Launcher, PassesSettingsTextAsPlainArgumentsNeverToAShell)
{
    test::TempDir dir;
    // Were this a command line for a shell, it would make a second file.
    const QString name = "a b;touch injected";
    ASSERT_TRUE(StartProgram("touch", {name}, dir.Path()));
    EXPECT_TRUE(WaitForFile(dir.Path() + name));
    QThread::msleep(100);
    EXPECT_FALSE(QFileInfo::exists(dir.Path() + "injected"));

    EXPECT_FALSE(StartProgram("no-such-program-qvt", {}));
    EXPECT_FALSE(StartProgram(dir.Path() + "missing/viewer", {}));
}

TEST(Launcher, StartsAtIdlePriorityWhenAsked)
{
    // Idle is the lowest priority whatever ours is: also from a program
    // that runs above the normal one (where this process may raise itself).
    const int own = getpriority(PRIO_PROCESS, 0);
    for (const int ours : {own, -5}) {
        SCOPED_TRACE(ours);
        if (ours != own && setpriority(PRIO_PROCESS, 0, ours) != 0)
            continue;
        test::TempDir dir;
        const QString out = dir.Path() + "niceness";
        const bool started =
            StartProgram("/bin/sh", {"-c", "nice > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"", "sh", out}, ".", true);
        setpriority(PRIO_PROCESS, 0, own);
        ASSERT_TRUE(started);
        ASSERT_TRUE(WaitForFile(out));
        EXPECT_EQ(dir.ReadFile("niceness").trimmed(), "19");
    }
}
