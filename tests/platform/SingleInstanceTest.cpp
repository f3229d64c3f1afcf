#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
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

namespace {

// XDG_RUNTIME_DIR set to `path` for the scope, the test process's own put back.
struct RuntimeDirScope {
    QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    explicit RuntimeDirScope(const QString& path) { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path)); }
    ~RuntimeDirScope() { qputenv("XDG_RUNTIME_DIR", saved); }
};

QString Fallback()
{
    return QString("/tmp/qvt-%1").arg(::getuid());
}

} // namespace

TEST(SingleInstance, AForeignRuntimeFolderIsNeverUsedForTheLockOrTheSocket)
{
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const QString mine = base.path() + "/mine";
    ASSERT_EQ(::mkdir(QFile::encodeName(mine).constData(), 0700), 0);
    const QString link = base.path() + "/link";
    ASSERT_EQ(::symlink(QFile::encodeName(mine).constData(), QFile::encodeName(link).constData()), 0);
    const QString shared = base.path() + "/shared";
    ASSERT_EQ(::mkdir(QFile::encodeName(shared).constData(), 0700), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    QStringList foreign = {link, shared, "relative/path"};
    const QString others = base.path() + "/others";
    if (::geteuid() == 0) {
        // Only root can give a folder away.
        ASSERT_EQ(::mkdir(QFile::encodeName(others).constData(), 0700), 0);
        ASSERT_EQ(::chown(QFile::encodeName(others).constData(), 65534, 65534), 0);
        foreign << others;
    }

    for (const QString& dir : foreign) {
        RuntimeDirScope scope(dir);
        QString why;
        const QString used = qvt::RuntimeDirectory(&why);
        EXPECT_EQ(used, Fallback()) << dir.toStdString() << ": " << why.toStdString();
        const QString name = UniqueName("foreign");
        {
            SingleInstance instance(name);
            EXPECT_TRUE(instance.Acquire(&why));
            EXPECT_TRUE(why.isEmpty()) << why.toStdString();
            EXPECT_TRUE(QFileInfo::exists(Fallback() + "/qvt-" + name + ".lock"));
            EXPECT_TRUE(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).isEmpty())
                << "something was put in " << dir.toStdString();
        }
        // Both go with the program.
        EXPECT_FALSE(QFileInfo::exists(Fallback() + "/qvt-" + name + ".lock"));
        EXPECT_FALSE(QFileInfo::exists(Fallback() + "/qvt-" + name + ".instance"));
    }

    // A private folder of the user's own is used as it is.
    RuntimeDirScope scope(mine + "/");
    EXPECT_EQ(qvt::RuntimeDirectory(), mine);
}

TEST(SingleInstance, ALinkPlantedAtTheLockIsNotFollowed)
{
    QTemporaryDir runtime;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(runtime.isValid() && elsewhere.isValid());
    RuntimeDirScope scope(runtime.path());
    const QString name = UniqueName("planted");
    const QString target = elsewhere.path() + "/victim";
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                        QFile::encodeName(runtime.path() + "/qvt-" + name + ".lock").constData()),
              0);
    SingleInstance instance(name);
    QString why;
    // The program runs, unlocked, and says why.
    EXPECT_TRUE(instance.Acquire(&why));
    EXPECT_TRUE(why.startsWith("Single-instance lock skipped")) << why.toStdString();
    EXPECT_FALSE(QFileInfo::exists(target)) << "the link was followed";
}
