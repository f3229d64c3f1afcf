#include "platform/Launcher.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <gtest/gtest.h>

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
    test::TempDir dir;
    const QString out = dir.Path() + "niceness";
    ASSERT_TRUE(StartProgram("/bin/sh", {"-c", "nice > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"", "sh", out}, ".", true));
    ASSERT_TRUE(WaitForFile(out));
    EXPECT_EQ(dir.ReadFile("niceness").trimmed(), "19");
}
