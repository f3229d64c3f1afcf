#include "platform/LocalCommandServer.h"

#include "platform/WindowThread.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qvt;

namespace {

using qvt::test::PumpUntil;

// A client in the same thread as the server, so the event loop is pumped while it waits.
class Client {
public:
    explicit Client(const QString& path)
    {
        socket_.connectToServer(path);
        PumpUntil([this] { return socket_.state() == QLocalSocket::ConnectedState; });
    }
    bool Connected() const { return socket_.state() == QLocalSocket::ConnectedState; }
    void Send(const QByteArray& bytes)
    {
        socket_.write(bytes);
        socket_.flush();
    }
    std::optional<QByteArray> ReadLine(int timeoutMs = 5000)
    {
        if (!PumpUntil([this] { return socket_.canReadLine(); }, timeoutMs))
            return std::nullopt;
        return socket_.readLine().chopped(1);
    }
    QLocalSocket& Socket() { return socket_; }

private:
    QLocalSocket socket_;
};

mode_t ModeOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode;
}

// A socket file with nobody behind it, as a killed program leaves it.
void MakeStaleSocket(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

class CommandServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedRuntime_ = qgetenv("XDG_RUNTIME_DIR");
        runtime_ = dir_.Path().chopped(1);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_));
    }
    void TearDown() override { qputenv("XDG_RUNTIME_DIR", savedRuntime_); }

    static LocalCommandServer::Handler Echo()
    {
        return [](const QString& line) { return QStringList{"echo " + line}; };
    }

    test::TempDir dir_;
    QString runtime_;
    QByteArray savedRuntime_;
};

} // namespace

TEST(LineFramer, CutsLinesAtLfDropsTheCrBeforeItAndRefusesLongLines)
{
    TLineFramer f;
    auto items = f.Feed("SCAN:1\r\nBI");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Line, "SCAN:1");
    items = f.Feed("AS:2\na\rb\nx\r\r\n\n");
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Line, "BIAS:2"); // completed across two reads
    EXPECT_EQ(items[1].Line, "a\rb");   // only the CR right before LF goes
    EXPECT_EQ(items[2].Line, "x\r");
    EXPECT_TRUE(items[3].Line.isEmpty()); // an empty line is a request too
    EXPECT_FALSE(items[3].TooLong);

    // Exactly the limit, with CR LF: accepted; one byte more: refused.
    const QByteArray full(TLineFramer::MaxLineBytes, 'a');
    items = f.Feed(full + "\r\n" + full + "b\n");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Line, full);
    EXPECT_TRUE(items[1].TooLong);

    // A flood without LF is refused once, as soon as it is known, and not kept.
    items = f.Feed(QByteArray(3 * TLineFramer::MaxLineBytes, 'z'));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].TooLong);
    EXPECT_EQ(f.Pending(), 0);
    EXPECT_TRUE(f.Feed(QByteArray(100000, 'z')).empty());
    items = f.Feed("zzz\nnext\n"); // the rest of the long line is skipped
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Line, "next");
}

TEST_F(CommandServerTest, ListensOwnerOnlyAtTheDriverPathAndRemovesTheSocketWhenStopped)
{
    const QString path = CommandServerSocketPath("SIM");
    EXPECT_EQ(path, runtime_ + "/qvt-SIM.dde");
    EXPECT_EQ(CommandServerSocketPath("\\\\.\\QVT/x"), runtime_ + "/qvt-__._QVT_x.dde"); // no way out of the directory

    LocalCommandServer server(Echo());
    ASSERT_TRUE(server.Start(path)) << server.ErrorString().toStdString();
    EXPECT_TRUE(server.IsListening());
    EXPECT_EQ(server.Path(), path);
    const mode_t mode = ModeOf(path);
    EXPECT_TRUE(S_ISSOCK(mode));
    EXPECT_EQ(mode & 07777, mode_t(0600));
    {
        Client c(path);
        c.Send("hello\n");
        EXPECT_EQ(c.ReadLine(), QByteArray("echo hello"));
    }

    server.Stop();
    EXPECT_FALSE(server.IsListening());
    EXPECT_FALSE(QFile::exists(path));
    // Switched on again, then the program ends: the socket goes with it.
    {
        LocalCommandServer again(Echo());
        ASSERT_TRUE(again.Start(path));
        EXPECT_TRUE(QFile::exists(path));
    }
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(CommandServerTest, ReplacesAStaleSocketButNeverALiveOneAFileOrAnOpenDirectory)
{
    const QString path = CommandServerSocketPath("SIM");
    MakeStaleSocket(path);
    ASSERT_TRUE(S_ISSOCK(ModeOf(path)));
    LocalCommandServer first(Echo());
    ASSERT_TRUE(first.Start(path)) << first.ErrorString().toStdString();
    EXPECT_EQ(Client(path).Connected(), true);

    // A live server keeps its socket and its clients.
    LocalCommandServer second(Echo());
    EXPECT_FALSE(second.Start(path));
    EXPECT_FALSE(second.ErrorString().isEmpty());
    Client c(path);
    c.Send("still\n");
    EXPECT_EQ(c.ReadLine(), QByteArray("echo still"));

    // Something that is no socket is not ours to delete.
    const QString filePath = dir_.WriteFile("qvt-FILE.dde", "data");
    EXPECT_FALSE(second.Start(filePath));
    EXPECT_EQ(dir_.ReadFile("qvt-FILE.dde"), QByteArray("data"));

    // Where others may write, they could swap the socket for theirs.
    const QString open = runtime_ + "/open";
    ASSERT_TRUE(QDir().mkdir(open));
    ::chmod(QFile::encodeName(open).constData(), 0777);
    EXPECT_FALSE(second.Start(open + "/qvt-SIM.dde"));
    EXPECT_FALSE(QFile::exists(open + "/qvt-SIM.dde"));
}

TEST_F(CommandServerTest, LineRulesHoldOverTheSocket)
{
    const QString path = CommandServerSocketPath("SIM");
    LocalCommandServer server([](const QString& line) -> QStringList {
        if (line == "throw")
            throw std::runtime_error("handler failed");
        return {"echo " + line};
    });
    ASSERT_TRUE(server.Start(path));
    Client c(path);
    // Several requests in one write, a CR LF line, a CR inside a line, a line
    // that is too long and one after it.
    c.Send("a\r\nb\nc\rd\n" + QByteArray(5000, 'x') + "\nafter\n");
    EXPECT_EQ(c.ReadLine(), QByteArray("echo a"));
    EXPECT_EQ(c.ReadLine(), QByteArray("echo b"));
    EXPECT_EQ(c.ReadLine(), QByteArray("echo c d")); // a reply cannot break the framing
    EXPECT_EQ(c.ReadLine(), QByteArray("ERROR line too long"));
    EXPECT_EQ(c.ReadLine(), QByteArray("echo after"));

    // A line sent in pieces is one request; non-UTF-8 bytes do no harm.
    c.Send("pi");
    PumpUntil([] { return false; }, 20);
    c.Send("ece\xff\n");
    EXPECT_EQ(c.ReadLine(), QString("echo piece\uFFFD").toUtf8());

    // A failing handler costs its request, not the server.
    c.Send("throw\nfine\n");
    EXPECT_EQ(c.ReadLine(), QByteArray(LocalCommandServer::HandlerFailedReply));
    EXPECT_EQ(c.ReadLine(), QByteArray("echo fine"));
}

TEST_F(CommandServerTest, SeveralClientsAreServedOneRequestAtATimeInArrivalOrder)
{
    const QString path = CommandServerSocketPath("SIM");
    int depth = 0;
    int deepest = 0;
    bool allInWindowThread = true;
    QStringList executed;
    LocalCommandServer server([&](const QString& line) {
        ++depth;
        deepest = std::max(deepest, depth);
        allInWindowThread = allInWindowThread && IsWindowThread();
        executed << line;
        // Like a scan pause, the handler runs the event loop while it waits.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        while (std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents();
        --depth;
        return QStringList{"done " + line};
    });
    ASSERT_TRUE(server.Start(path));
    Client a(path);
    Client b(path);
    ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == 2; }));
    for (int i = 0; i < 10; ++i) {
        a.Send(QString("a%1\n").arg(i).toUtf8());
        b.Send(QString("b%1\n").arg(i).toUtf8());
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(a.ReadLine(), QString("done a%1").arg(i).toUtf8());
        EXPECT_EQ(b.ReadLine(), QString("done b%1").arg(i).toUtf8());
    }
    EXPECT_EQ(deepest, 1); // never one request inside another
    EXPECT_TRUE(allInWindowThread);
    ASSERT_EQ(executed.size(), 20);
    QStringList fromA = executed.filter("a");
    QStringList fromB = executed.filter("b");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(fromA[i], QString("a%1").arg(i));
        EXPECT_EQ(fromB[i], QString("b%1").arg(i));
    }
}
