#include "platform/LocalCommandServer.h"

#include "platform/MessageBoxes.h"
#include "platform/SingleInstance.h"
#include "platform/WindowThread.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
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

namespace {

// Another program on its own thread, speaking through a plain socket as
// `echo ... | socat` does: it sends, shuts down its sending side, and reads
// until the server closes.
class RawClient {
public:
    explicit RawClient(const QString& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Connected() const { return fd_ >= 0; }
    bool Send(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }
    void ShutdownSending() { ::shutdown(fd_, SHUT_WR); }
    // The server has answered or closed the connection (nothing is read).
    bool Answered() const
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // Everything until the server closes (or `timeoutMs` passes without a byte).
    QByteArray ReadToEnd(int timeoutMs = 60000)
    {
        QByteArray all;
        char buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                return all + "<timeout>";
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return all;
            all.append(buffer, n);
        }
    }

private:
    int fd_ = -1;
};

} // namespace

TEST_F(CommandServerTest, EveryClientThatHalfClosesGetsItsReply)
{
    const QString path = CommandServerSocketPath("SIM");
    int executed = 0;
    LocalCommandServer server([&](const QString& line) {
        ++executed;
        // Busy for a moment, running the event loop: clients connect, send
        // and shut down their sending side meanwhile.
        PumpUntil([] { return false; }, 1);
        return QStringList{"OK " + line};
    });
    ASSERT_TRUE(server.Start(path));

    constexpr int Clients = 100;
    std::vector<QByteArray> replies(Clients);
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i) {
        threads.emplace_back([&, i] {
            RawClient client(path);
            if (client.Connected() && client.Send(QString("EXECUTE DdeItem SCAN:%1\n").arg(i).toUtf8())) {
                client.ShutdownSending();
                replies[size_t(i)] = client.ReadToEnd();
            }
            ++finished;
        });
    }
    EXPECT_TRUE(PumpUntil([&] { return finished.load() == Clients; }, 120000));
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < Clients; ++i)
        EXPECT_EQ(replies[size_t(i)], QString("OK EXECUTE DdeItem SCAN:%1\n").arg(i).toUtf8()) << i;
    EXPECT_EQ(executed, Clients);
    EXPECT_TRUE(PumpUntil([&] { return server.ClientCount() == 0; })); // each connection closed when answered

    // A client that sends a request, half a line and goes: the request runs
    // and is answered, the half line is dropped.
    RawClient partial(path);
    ASSERT_TRUE(partial.Send("whole\nhal"));
    partial.ShutdownSending();
    QByteArray got;
    std::thread reader([&] { got = partial.ReadToEnd(); });
    EXPECT_TRUE(PumpUntil([&] { return server.ClientCount() == 0 && executed == Clients + 1; }));
    reader.join();
    EXPECT_EQ(got, QByteArray("OK whole\n"));
}

TEST_F(CommandServerTest, AFloodWhileAHandlerIsBusyIsRefusedNotKept)
{
    const QString path = CommandServerSocketPath("SIM");
    constexpr int Flood = 20000;
    const QByteArray line = QByteArray(99, 'x') + '\n'; // 2 MB in all
    std::atomic<bool> busy{false};
    int queuedWhileBusy = -1;
    qint64 refusedWhileBusy = -1;
    std::unique_ptr<LocalCommandServer> server;
    server = std::make_unique<LocalCommandServer>([&](const QString& request) {
        if (request != "block")
            return QStringList{"done"};
        // Like a box the operator has not clicked yet: the event loop runs on.
        busy = true;
        PumpUntil([&] { return server->RefusedCount() >= Flood - LocalCommandServer::MaxQueuedPerClient; }, 120000);
        queuedWhileBusy = server->QueuedCount();
        refusedWhileBusy = server->RefusedCount();
        return QStringList{"released"};
    });
    ASSERT_TRUE(server->Start(path));

    QByteArray floodReplies;
    std::thread flooder([&] {
        RawClient client(path);
        while (!busy.load())
            std::this_thread::yield();
        QByteArray all;
        for (int i = 0; i < Flood; ++i)
            all += line;
        if (client.Send(all)) {
            client.ShutdownSending();
            floodReplies = client.ReadToEnd();
        }
    });
    Client blocker(path);
    blocker.Send("block\n");
    EXPECT_EQ(blocker.ReadLine(120000), QByteArray("released"));
    EXPECT_TRUE(PumpUntil([&] { return server->ClientCount() == 1; }, 120000)); // the flooder is answered and gone
    flooder.join();

    // While the handler was busy only the allowed number of lines waited.
    EXPECT_EQ(queuedWhileBusy, LocalCommandServer::MaxQueuedPerClient);
    EXPECT_EQ(refusedWhileBusy, Flood - LocalCommandServer::MaxQueuedPerClient);
    // Every line got its reply in its place: the queued ones ran, the rest were refused.
    const QList<QByteArray> replies = floodReplies.split('\n');
    ASSERT_EQ(replies.size(), Flood + 1); // and the empty rest after the last LF
    for (int i = 0; i < Flood; ++i) {
        const QByteArray expected =
            i < LocalCommandServer::MaxQueuedPerClient ? QByteArray("done") : QByteArray(LocalCommandServer::BusyReply);
        ASSERT_EQ(replies[i], expected) << i;
    }

    // Once the handler is free, a pipelined burst is served whole.
    Client after(path);
    QByteArray burst;
    for (int i = 0; i < 500; ++i)
        burst += "again\n";
    after.Send(burst);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(after.ReadLine(), QByteArray("done")) << i;
    EXPECT_EQ(server->QueuedCount(), 0);
}

TEST_F(CommandServerTest, TheSharedLimitHoldsAcrossClients)
{
    const QString path = CommandServerSocketPath("SIM");
    constexpr int Clients = 5;
    constexpr int Lines = 100;
    std::atomic<bool> busy{false};
    int queuedWhileBusy = -1;
    std::unique_ptr<LocalCommandServer> server;
    server = std::make_unique<LocalCommandServer>([&](const QString& request) {
        if (request != "block")
            return QStringList{"done"};
        busy = true;
        PumpUntil([&] { return server->RefusedCount() >= Clients * Lines - LocalCommandServer::MaxQueuedTotal; },
                  120000);
        queuedWhileBusy = server->QueuedCount();
        return QStringList{"released"};
    });
    ASSERT_TRUE(server->Start(path));
    std::vector<QByteArray> replies(Clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < Clients; ++c) {
        threads.emplace_back([&, c] {
            RawClient client(path);
            while (!busy.load())
                std::this_thread::yield();
            if (client.Send(QByteArray("x\n").repeated(Lines))) {
                client.ShutdownSending();
                replies[size_t(c)] = client.ReadToEnd();
            }
        });
    }
    Client blocker(path);
    blocker.Send("block\n");
    EXPECT_EQ(blocker.ReadLine(120000), QByteArray("released"));
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(queuedWhileBusy, LocalCommandServer::MaxQueuedTotal);
    int done = 0;
    for (const QByteArray& r : replies) {
        const QList<QByteArray> lines = r.split('\n');
        ASSERT_EQ(lines.size(), Lines + 1);
        // Per client the ones that waited come first, then the refusals.
        int i = 0;
        for (; i < Lines && lines[i] == "done"; ++i)
            ++done;
        for (; i < Lines; ++i)
            EXPECT_EQ(lines[i], QByteArray(LocalCommandServer::BusyReply));
    }
    EXPECT_EQ(done, LocalCommandServer::MaxQueuedTotal);
}

TEST_F(CommandServerTest, ClientsBeyondTheCapAreRefusedWhileTheServerKeepsAnswering)
{
    // Written out: the number of connections a leaking client may hold.
    constexpr int Cap = 128;
    struct LogScope {
        QStringList lines;
        // The log's clock stands still: however slow the machine, the pile is one episode.
        LogScope()
        {
            SetMessageLog([this](const QString& line) { lines << line; });
            SetMessageClockForTests([] { return int64_t{0}; });
        }
        ~LogScope()
        {
            SetMessageClockForTests({});
            SetMessageLog({});
        }
    } log;
    const QString path = CommandServerSocketPath("SIM");
    LocalCommandServer server(Echo());
    ASSERT_TRUE(server.Start(path));
    Client good(path);
    good.Send("first\n");
    EXPECT_EQ(good.ReadLine(), QByteArray("echo first"));
    std::vector<std::unique_ptr<RawClient>> leaking;
    for (int i = 1; i < Cap; ++i) {
        leaking.push_back(std::make_unique<RawClient>(path));
        ASSERT_TRUE(leaking.back()->Connected());
        ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == i + 1; }));
    }
    // One beyond the cap is told so and closed; the ones within stay.
    RawClient beyond(path);
    ASSERT_TRUE(beyond.Connected());
    PumpUntil([&] { return beyond.Answered(); });
    EXPECT_EQ(beyond.ReadToEnd(5000), QByteArray("ERROR too many clients\n"));
    EXPECT_EQ(server.ClientCount(), Cap);
    EXPECT_FALSE(leaking.front()->Answered());
    // Every refusal is logged, and a pile of them is one line, then its count.
    for (int i = 0; i < 20; ++i) {
        RawClient more(path);
        ASSERT_TRUE(more.Connected());
        ASSERT_TRUE(PumpUntil([&] { return more.Answered(); }));
    }
    const QString refused = "Warning: Command server refused a client: all 128 places are taken.";
    EXPECT_EQ(log.lines, QStringList{refused});
    TellMessageEpisodes(true);
    EXPECT_EQ(log.lines.size(), 2);
    EXPECT_TRUE(log.lines.value(1).startsWith(refused + ": 21 times from ")) << log.lines.value(1).toStdString();
    // The well-behaved client is served all along, and the socket stays.
    good.Send("again\n");
    EXPECT_EQ(good.ReadLine(), QByteArray("echo again"));
    EXPECT_TRUE(server.IsListening());
    EXPECT_TRUE(S_ISSOCK(ModeOf(path)));
    // A place that comes free is taken by the next client.
    leaking.pop_back();
    ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == Cap - 1; }));
    Client next(path);
    next.Send("next\n");
    EXPECT_EQ(next.ReadLine(), QByteArray("echo next"));
}

TEST_F(CommandServerTest, RunningOutOfDescriptorsNeitherEndsTheServerNorRemovesItsSocket)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers check memory through a pipe of their own: with every
    // descriptor taken they report sound objects as broken.
    GTEST_SKIP() << "runs in the build without sanitizers";
#endif
    const QString path = CommandServerSocketPath("SIM");
    LocalCommandServer server(Echo());
    ASSERT_TRUE(server.Start(path));
    std::vector<std::unique_ptr<RawClient>> leaking;
    {
        // Few descriptors left, then the clients take them all, so the
        // server's accept finds none.
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int inUse = int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(inUse + 16);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        for (int i = 0; i < 64; ++i) {
            auto client = std::make_unique<RawClient>(path);
            if (!client->Connected())
                break;
            leaking.push_back(std::move(client));
        }
        const bool exhausted = int(leaking.size()) < 64;
        // Until the server has met the lack: it stopped, or an idle client gave way.
        PumpUntil([&] { return !server.IsListening() || leaking.front()->Answered(); });
        const bool listening = server.IsListening();
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_TRUE(exhausted);
        EXPECT_TRUE(listening);
    }
    EXPECT_TRUE(server.IsListening());
    EXPECT_TRUE(S_ISSOCK(ModeOf(path)));
    leaking.clear();
    Client good(path);
    good.Send("after\n");
    EXPECT_EQ(good.ReadLine(), QByteArray("echo after"));
}

TEST(RuntimeFolder, IsMadePrivateAndAPlantedLinkOrForeignFolderIsRefused)
{
    test::TempDir dir;
    const QString fresh = dir.Path() + "qvt-fresh";
    QString why;
    EXPECT_TRUE(PrivateDirectory(fresh, &why)) << why.toStdString();
    EXPECT_EQ(ModeOf(fresh) & 07777, mode_t(0700));
    EXPECT_TRUE(PrivateDirectory(fresh)); // found again as it was made

    // A link planted where the folder should be, pointing at someone's open
    // folder: refused, and the folder it points to keeps its rights.
    const QString victim = dir.Path() + "victim";
    ASSERT_TRUE(QDir().mkdir(victim));
    ::chmod(QFile::encodeName(victim).constData(), 0755);
    const QString planted = dir.Path() + "qvt-planted";
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(planted).constData()), 0);
    EXPECT_FALSE(PrivateDirectory(planted, &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_EQ(ModeOf(victim) & 07777, mode_t(0755));
    EXPECT_TRUE(S_ISLNK(ModeOf(planted)));

    // A file, or a folder others may enter, is not used either (and not changed).
    EXPECT_FALSE(PrivateDirectory(dir.WriteFile("qvt-file", "x")));
    EXPECT_FALSE(PrivateDirectory(victim));
    EXPECT_EQ(ModeOf(victim) & 07777, mode_t(0755));

    // Without XDG_RUNTIME_DIR the runtime folder is checked the same way; when
    // it is refused, no socket path is offered.
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    const QString runtime = RuntimeDirectory(&why);
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
    if (!runtime.isEmpty()) {
        EXPECT_EQ(runtime, QString("/tmp/qvt-%1").arg(::getuid()));
        EXPECT_EQ(ModeOf(runtime) & 07777, mode_t(0700));
        EXPECT_FALSE(S_ISLNK(ModeOf(runtime)));
    }
    LocalCommandServer server([](const QString&) { return QStringList{}; });
    EXPECT_FALSE(server.Start(QString()));
    EXPECT_FALSE(server.ErrorString().isEmpty());
}
