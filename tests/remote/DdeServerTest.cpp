#include "remote/DdeServer.h"

#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/LocalCommandServer.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "support/DriverLinkFixture.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QListWidget>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QThread>
#include <QToolButton>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>

using namespace qvt;
using namespace qvt::test;

namespace {

using qvt::test::PumpUntil;

void Pump(int ms)
{
    PumpUntil([] { return false; }, ms);
}

// Another program: one request line out, the reply lines back.
class Client {
public:
    explicit Client(const QString& path)
    {
        socket_.connectToServer(path);
        PumpUntil([this] { return socket_.state() != QLocalSocket::ConnectingState; });
    }
    bool Connected() const { return socket_.state() == QLocalSocket::ConnectedState; }
    void Send(const QByteArray& bytes)
    {
        socket_.write(bytes);
        socket_.flush();
    }
    QString ReadLine()
    {
        if (!PumpUntil([this] { return socket_.canReadLine(); }))
            return "<no reply>";
        return QString::fromUtf8(socket_.readLine().chopped(1));
    }
    QString Ask(const QString& request)
    {
        Send(request.toUtf8() + "\n");
        return ReadLine();
    }
    // REQUEST: the lines up to the closing ".".
    QStringList AskItem(const QString& request)
    {
        Send(request.toUtf8() + "\n");
        QStringList lines;
        for (QString line = ReadLine(); line != "." && line != "<no reply>"; line = ReadLine())
            lines << line;
        return lines;
    }
    QLocalSocket& Socket() { return socket_; }

private:
    QLocalSocket socket_;
};

const QString ErrorReply = "ERROR DdeServer raised Error!";

class DdeServerTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedRuntime_ = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.Path().chopped(1)));
        savedPixels_ = ScanParams.Pixels;
        savedRange_ = ScanParams.Range;
        savedSpeed_ = ScanParams.Speed;
        savedLine_ = ScanParams.CurrentLine;
    }

    void TearDown() override
    {
        dde_.reset();
        para_.reset();
        if (main_)
            main_->FormDestroy();
        if (form_) {
            if (workers_)
                workers_->FormDestroy();
            workers_.reset();
            form_->FormDestroy();
            form_.reset();
        }
        main_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->GuardViolationCount(), 0);
        }
        ScanParams.Pixels = savedPixels_;
        ScanParams.Range = savedRange_;
        ScanParams.Speed = savedSpeed_;
        ScanParams.CurrentLine = savedLine_;
        qputenv("XDG_RUNTIME_DIR", savedRuntime_);
        DriverLinkFixture::TearDown();
    }

    // The device window on the simulator, the parameter window sending to it,
    // and the server switched on.
    void Open(sim::SimConfig config = FastConfig())
    {
        config.AdcNoise = 0.0;
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        TIOScale& bias = ChannelTable[SlotBias];
        bias.Factor = 0.001f; // 1 mV a digit
        bias.Offset = 0.0f;
        bias.Invers = false;
        bias.UnitName = "V";
        MicroscopeState.FeedbackMode = 0;
        para_ = std::make_unique<TScanParaForm>();
        para_->SetDevice(form_.get());
        para_->SetWorkers(workers_.get());
        para_->ShowChannelUnits();
        dde_ = std::make_unique<TDDEForm>();
        ASSERT_TRUE(dde_->SetServerOn(true)) << dde_->ServerError().toStdString();
    }

    // The same behind the main window, wired as the program wires them.
    void OpenWithMainWindow()
    {
        dir_.WriteFile("qvt.ini", "[Main]\r\nDeviceDriverName=SIM\r\n");
        dir_.WriteFile("user.ini", "[Main]\r\n");
        dir_.WriteFile("QVT_Manual.html", "");
        main_ = std::make_unique<TMainQVTForm>();
        ASSERT_TRUE(main_->FormCreate("qvt"));
        Open();
        main_->ConnectDevice(workers_.get());
        TMainQVTForm* main = main_.get();
        dde_->SetScanButton = [main](bool down) {
            main->ScanButton()->setChecked(down);
            main->Scan(TScanSender::User);
            return main->ScanButtonDown() == down;
        };
        dde_->ServerStateChanged = [main](bool on) { main->ShowDdeServerState(on); };
        ScanParams.Pixels = 16;
        ScanParams.Range = 3200.0f;
        ScanParams.Speed = 100.0f;
        ScanParams.CurrentLine = 1;
    }

    QString Path() const { return CommandServerSocketPath(DeviceDriverName); }

    TempDir runtime_;
    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> para_;
    std::unique_ptr<TDDEForm> dde_;
    std::unique_ptr<TMainQVTForm> main_;

private:
    QByteArray savedRuntime_;
    int16_t savedPixels_ = 0;
    float savedRange_ = 0;
    float savedSpeed_ = 0;
    int16_t savedLine_ = 0;
};

} // namespace

TEST(DdeConversation, CommandsRequestsAndItemLinesFollowTheConversationRules)
{
    // Split at the first ":"; an argument keeps its case.
    TDdeCommandLine c = SplitDdeCommandLine("Scan:Ab:c");
    EXPECT_EQ(c.Command, "SCAN");
    EXPECT_EQ(c.Argument, "Ab:c");
    EXPECT_TRUE(SplitDdeCommandLine("HARDLINPARA").Command.isEmpty());

    EXPECT_EQ(SplitMacroLines("SCAN:1\rBIAS:2\r\nX"), (QStringList{"SCAN:1", "BIAS:2", "X"}));
    EXPECT_EQ(SplitMacroLines("SCAN:1\r"), QStringList{"SCAN:1"});
    EXPECT_TRUE(SplitMacroLines("").isEmpty());

    TDdeRequest r = ParseDdeRequest("EXECUTE DdeItem SCAN:1");
    EXPECT_EQ(r.Verb, TDdeRequest::Execute);
    EXPECT_EQ(r.Macro, "SCAN:1");
    r = ParseDdeRequest("execute ddeitem  bias: 2 ");
    EXPECT_EQ(r.Verb, TDdeRequest::Execute);
    EXPECT_EQ(r.Macro, " bias: 2 "); // everything after the single blank
    EXPECT_EQ(ParseDdeRequest("EXECUTE DdeItem").Verb, TDdeRequest::Execute);
    EXPECT_EQ(ParseDdeRequest("REQUEST DdeItem DdeQVTControl").Verb, TDdeRequest::Request);
    EXPECT_EQ(ParseDdeRequest("request DDEITEM ddeqvtcontrol ").Verb, TDdeRequest::Request);
    for (const char* bad : {"", "EXECUTE", "EXECUTE Other SCAN:1", " EXECUTE DdeItem SCAN:1", "REQUEST DdeItem Other",
                            "REQUEST DdeItem", "POKE DdeItem DdeQVTControl", "HELLO"})
        EXPECT_EQ(ParseDdeRequest(bad).Verb, TDdeRequest::Unknown) << bad;

    // A line of its own that is "." must not end the item early.
    EXPECT_EQ(DdeItemReply({"100.000", ".", ".5"}), (QStringList{"100.000", "..", "..5", "."}));
    EXPECT_EQ(DdeItemReply({}), QStringList{"."});
}

TEST_F(DdeServerTest, BiasIsTypedIntoTheParameterWindowAndReachesTheController)
{
    Open();
    const mode_t socketMode = [&] {
        struct stat info {};
        ::stat(QFile::encodeName(Path()).constData(), &info);
        return info.st_mode & 07777;
    }();
    EXPECT_EQ(socketMode, mode_t(0600));
    Client client(Path());

    EXPECT_EQ(client.Ask("EXECUTE DdeItem BIAS:1.5"), "OK");
    EXPECT_EQ(sim_->Dac(2), 1500);
    EXPECT_EQ(para_->Edit("Edit2")->text(), "1.500"); // shown as the window shows a bias
    EXPECT_EQ(para_->Edit("Edit2")->Color(), EditColor::White);
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(0)].Bias, 1.5f);

    // Lower case, a decimal comma, blanks around the number.
    EXPECT_EQ(client.Ask("EXECUTE DdeItem bias: -0,25 "), "OK");
    EXPECT_EQ(sim_->Dac(2), -250);
    // 25 characters: what lies beyond the 20th is never seen.
    EXPECT_EQ(client.Ask("EXECUTE DdeItem BIAS:2.5" + QString(17, ' ') + "junk!"), "OK");
    EXPECT_EQ(sim_->Dac(2), 2500);
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    // No number: nothing sent, the client and the operator are told. The
    // message does not hold up the server, and a burst of failures arriving
    // while it is up gives that one message and a beep each.
    const QStringList bad{"BIAS:abc", "BIAS:", "BIAS:inf", "BIAS:nan", "BIAS:0x10"};
    client.Send(("EXECUTE DdeItem " + bad.join("\nEXECUTE DdeItem ") + "\n").toUtf8());
    for (const QString& b : bad)
        EXPECT_EQ(client.ReadLine(), ErrorReply) << b.toStdString();
    EXPECT_EQ(sim_->Dac(2), 2500);
    EXPECT_EQ(para_->Edit("Edit2")->Color(), EditColor::Red);
    EXPECT_TRUE(PumpUntil([&] { return boxes_.BeepCount() == 5; }));
    EXPECT_EQ(boxes_.Texts(), QStringList{"DdeServer raised Error!"});
    EXPECT_EQ(boxes_.Kinds(), QList<MsgKind>{MsgKind::Information});
    EXPECT_FALSE(dde_->DdeItemExecuteMacro({"BIAS:x"}));
    EXPECT_TRUE(PumpUntil([&] { return boxes_.Texts().size() == 2; })); // the next failure is told again

    EXPECT_TRUE(dde_->Memo1()->toPlainText().startsWith("BIAS:1.5\nbias: -0,25 \nBIAS:2.5"));
    QStringList names;
    for (int i = 0; i < dde_->CommandListBox()->count(); ++i)
        names << dde_->CommandListBox()->item(i)->text();
    EXPECT_EQ(names, (QStringList{"BIAS", "HARDLINPARA", "SCAN"}));
}

TEST_F(DdeServerTest, ClientStartsAndStopsAScanOnTheSimulator)
{
    sim::SimConfig config = FastConfig();
    config.Clock = sim::ClockMode::RealTime;
    config.Surface.Base = 5000.0; // a surface the Z image cannot mistake for "not yet scanned"
    config.Surface.TiltX = 0.5;
    Open(config);
    TGoXYThread& scan = workers_->GoXYThread();
    ScanParams.Pixels = 64;
    ScanParams.Range = 39168.0f;
    ScanParams.Speed = 2.0f; // half a minute a frame
    ScanParams.CurrentLine = 1;
    ASSERT_TRUE(scan.Channels[ImageChannelIndex(SlotZ, PlaneFwd)].AllocBuffers(64, 64));
    const TImageMatrixPtr z = scan.Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data();
    Client client(Path());

    EXPECT_EQ(client.Ask("EXECUTE DdeItem scan:1"), "OK");
    EXPECT_TRUE(scan.Running);
    ASSERT_TRUE(PumpUntil([&] { return z->At(0, 5) != 0; })); // the tip is scanning
    EXPECT_GT(CountCode(*sim_, IOCTL_GO_XY), 0);
    EXPECT_EQ(client.Ask("EXECUTE DdeItem SCAN:2"), "OK"); // does nothing
    EXPECT_EQ(client.Ask("EXECUTE DdeItem SCAN:1"), "OK"); // already running
    EXPECT_FALSE(scan.Suspended());

    EXPECT_EQ(client.Ask("EXECUTE DdeItem SCAN:0"), "OK");
    EXPECT_FALSE(scan.Running);
    EXPECT_TRUE(PumpUntil([&] { return scan.Suspended(); }));
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.LastText().toStdString();
    EXPECT_EQ(dde_->Memo1()->toPlainText(), "scan:1\nSCAN:2\nSCAN:1\nSCAN:0");
}

TEST_F(DdeServerTest, ScanGoesThroughTheMainWindowsButtonAndOnlyTheFirstMacroLineCounts)
{
    Open();
    const int32_t bias = sim_->Dac(2);
    std::vector<bool> presses;
    bool buttonFollows = true;
    dde_->SetScanButton = [&](bool down) {
        presses.push_back(down);
        return buttonFollows;
    };
    Client client(Path());

    EXPECT_EQ(client.Ask("EXECUTE DdeItem SCAN:1\rSCAN:0"), "OK"); // a macro of two lines
    EXPECT_EQ(client.Ask("EXECUTE DdeItem Scan: 0 "), "OK");
    for (const char* nothing : {"SCAN:2", "SCAN:", "SCAN:10", "SCAN", "SCAN1", "SCANNER:1", "FOO:1", "BIAS1.0", ""})
        EXPECT_EQ(client.Ask(QString("EXECUTE DdeItem ") + nothing), "OK") << nothing;
    EXPECT_EQ(presses, (std::vector<bool>{true, false}));
    EXPECT_EQ(dde_->Memo1()->toPlainText().split('\n').first(), "SCAN:1");

    // The scan refused to start: the button went back up.
    buttonFollows = false;
    EXPECT_EQ(client.Ask("EXECUTE DdeItem SCAN:1"), ErrorReply);
    EXPECT_EQ(sim_->Dac(2), bias); // nothing else was touched
}

TEST_F(DdeServerTest, HardLinParaAnswersOnlyWithTheScannerWindow)
{
    Open();
    Client client(Path());
    // The range reported is the stored one, not what the box holds typed.
    const float range = ScanParams.Range.load();
    ScanParams.Range = 250.0f;
    para_->Edit("Edit3")->setText("7e9");

    // No scanner window: nothing happens, the item stays as it was.
    EXPECT_EQ(client.Ask("EXECUTE DdeItem HARDLINPARA:"), "OK");
    EXPECT_TRUE(client.AskItem("REQUEST DdeItem DdeQVTControl").isEmpty());

    int asked = 0;
    dde_->ScannerLinLabels = [&](QString& bx, QString& cx) {
        ++asked;
        bx = "Bx = 1.2";
        cx = ".5";
        return true;
    };
    EXPECT_EQ(client.Ask("EXECUTE DdeItem HARDLINPARA"), "OK"); // no ":": nothing
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(client.Ask("EXECUTE DdeItem hardlinpara:"), "OK");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(dde_->DdeQVTControlLines(), (QStringList{"250.000", "Bx = 1.2", ".5"}));
    EXPECT_EQ(client.AskItem("request DdeItem DdeQVTControl"), (QStringList{"250.000", "Bx = 1.2", "..5"}));
    ScanParams.Range = range;
}

TEST_F(DdeServerTest, MalformedRequestsAndClientsLeaveTheServerRunning)
{
    Open();
    {
        Client gone(Path());
        gone.Send("EXECUTE DdeItem BIAS:9");
        Pump(20);
        gone.Socket().abort(); // left mid-line: the half request is dropped
    }
    Client client(Path());
    EXPECT_EQ(client.Ask("HELLO"), "ERROR unknown request");
    EXPECT_EQ(client.Ask("EXECUTE Other SCAN:1"), "ERROR unknown request");
    EXPECT_EQ(client.Ask("REQUEST DdeItem Other"), "ERROR unknown request");
    EXPECT_EQ(client.Ask("EXECUTE DdeItem BIAS:" + QString(5000, '1')), "ERROR line too long");
    static const char raw[] = "EXECUTE DdeItem BIAS:\0\x01\xff\n";
    client.Send(QByteArray(raw, sizeof raw - 1));
    EXPECT_EQ(client.ReadLine(), ErrorReply);
    EXPECT_EQ(client.Ask("EXECUTE DdeItem BIAS:0.1"), "OK");
    EXPECT_EQ(sim_->Dac(2), 100); // the abandoned "BIAS:9" never ran
    EXPECT_TRUE(dde_->ServerOn());
}

TEST_F(DdeServerTest, SettingSwitchesTheServerAndEachDriverNameHasItsOwnSocket)
{
    PlugSim(FastConfig());
    MainIni->WriteBool("Main", "DDEServerOn", false);
    TDDEForm off;
    off.FormCreate();
    EXPECT_FALSE(off.ServerOn());
    EXPECT_FALSE(QFile::exists(Path()));

    MainIni->WriteBool("Main", "DDEServerOn", true);
    TDDEForm first;
    first.FormCreate();
    ASSERT_TRUE(first.ServerOn()) << first.ServerError().toStdString();
    const QString firstPath = Path();
    EXPECT_EQ(first.SocketPath(), firstPath);
    EXPECT_TRUE(firstPath.endsWith("/qvt-SIM.dde"));

    DeviceDriverName = "SIMUSB2"; // a second instance on another controller
    TDDEForm second;
    second.FormCreate();
    ASSERT_TRUE(second.ServerOn()) << second.ServerError().toStdString();
    EXPECT_TRUE(second.SocketPath().endsWith("/qvt-SIMUSB2.dde"));
    EXPECT_TRUE(QFile::exists(firstPath));
    EXPECT_TRUE(QFile::exists(second.SocketPath()));
    first.Memo2()->setPlainText("first");
    second.Memo2()->setPlainText("second");
    EXPECT_EQ(Client(firstPath).AskItem("REQUEST DdeItem DdeQVTControl"), QStringList{"first"});
    EXPECT_EQ(Client(second.SocketPath()).AskItem("REQUEST DdeItem DdeQVTControl"), QStringList{"second"});

    // Switched off: the socket is gone and nobody can connect.
    EXPECT_TRUE(first.SetServerOn(false));
    EXPECT_FALSE(first.ServerOn());
    EXPECT_FALSE(QFile::exists(firstPath));
    EXPECT_FALSE(Client(firstPath).Connected());
    EXPECT_TRUE(second.SetServerOn(false));
    EXPECT_FALSE(QFile::exists(CommandServerSocketPath("SIMUSB2")));
}

TEST_F(DdeServerTest, ARequestThatWouldOpenABoxIsAnsweredAtOnceAndOthersAreServed)
{
    Open();
    std::vector<MsgResult> answers;
    dde_->SetScanButton = [&](bool) {
        // What the main window does on SCAN:1 while the scan still runs; a
        // question would be declined for the operator, never confirmed.
        answers.push_back(ShowMessage(MsgKind::Information, "Scan was not paused!? "));
        answers.push_back(ShowMessage(MsgKind::Confirmation, "Really?", MsgButtons::YesNo));
        return true;
    };
    Client a(Path());
    Client b(Path());
    const QString boxed = ErrorReply + " | Scan was not paused!? | Really?";
    EXPECT_EQ(a.Ask("EXECUTE DdeItem SCAN:1"), boxed);
    EXPECT_EQ(a.Ask("EXECUTE DdeItem SCAN:1"), boxed);
    EXPECT_EQ(b.Ask("EXECUTE DdeItem BIAS:0.2"), "OK");
    EXPECT_EQ(sim_->Dac(2), 200);
    EXPECT_EQ(answers, (std::vector<MsgResult>{MsgResult::Ok, MsgResult::No, MsgResult::Ok, MsgResult::No}));
    // The operator is told that requests failed, but no box of the command was shown.
    EXPECT_TRUE(PumpUntil([&] { return boxes_.BeepCount() == 2; }));
    EXPECT_TRUE(boxes_.Texts().contains("DdeServer raised Error!"));
    EXPECT_EQ(boxes_.Texts().filter("DdeServer raised Error!").size(), boxes_.Texts().size());

    // Outside a request the same call shows its box as ever.
    answers.clear();
    dde_->SetScanButton(true);
    EXPECT_TRUE(boxes_.Texts().contains("Scan was not paused!? "));
}

TEST_F(DdeServerTest, AServerThatCannotStartSaysWhyOnceAndReportsItselfOff)
{
    PlugSim(FastConfig());
    // Something that is no socket sits where the socket belongs.
    ASSERT_TRUE(QFile::exists(runtime_.WriteFile("qvt-SIM.dde", "not a socket")));
    MainIni->WriteBool("Main", "DDEServerOn", true);
    TDDEForm dde;
    std::vector<bool> states;
    dde.ServerStateChanged = [&](bool on) { states.push_back(on); };
    dde.FormCreate();
    EXPECT_FALSE(dde.ServerOn());
    EXPECT_EQ(states, std::vector<bool>{false});
    ASSERT_TRUE(PumpUntil([&] { return !boxes_.Texts().isEmpty(); }));
    Pump(20);
    ASSERT_EQ(boxes_.Texts().size(), 1);
    EXPECT_TRUE(boxes_.LastText().startsWith("DdeServer not started!\r")) << boxes_.LastText().toStdString();
    EXPECT_TRUE(boxes_.LastText().contains("no socket"));
    EXPECT_EQ(runtime_.ReadFile("qvt-SIM.dde"), QByteArray("not a socket"));

    // Once the way is clear, switching it on works and is reported.
    QFile::remove(runtime_.Path() + "qvt-SIM.dde");
    EXPECT_TRUE(dde.SetServerOn(true));
    EXPECT_EQ(states, (std::vector<bool>{false, true}));
}

TEST_F(DdeServerTest, ScanRequestsNeverWaitOnTheScanButtonsBoxWhileTheOperatorKeepsIt)
{
    OpenWithMainWindow();
    dde_->SetServerOn(false);
    EXPECT_FALSE(main_->MenuItem("DDESever1")->isChecked());
    ASSERT_TRUE(dde_->SetServerOn(true)) << dde_->ServerError().toStdString();
    EXPECT_TRUE(main_->MenuItem("DDESever1")->isChecked());

    const auto ask = [](QLocalSocket& socket, const QByteArray& request) {
        socket.write(request + "\n");
        socket.flush();
        if (!PumpUntil([&] { return socket.canReadLine(); }))
            return QByteArray("<no reply>");
        return socket.readLine().chopped(1);
    };
    QLocalSocket a;
    QLocalSocket b;
    a.connectToServer(dde_->SocketPath());
    b.connectToServer(dde_->SocketPath());
    ASSERT_TRUE(PumpUntil(
        [&] { return a.state() == QLocalSocket::ConnectedState && b.state() == QLocalSocket::ConnectedState; }));

    main_->RepeatButton()->setChecked(true);
    EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:1"), "OK");
    ASSERT_TRUE(PumpUntil([this] { return !workers_->GoXYThread().Suspended(); }));
    // Twice while it scans: refused at once, the box's text in the reply, no box.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:1"), "ERROR DdeServer raised Error! | Scan was not paused!?");
    EXPECT_EQ(ask(b, "REQUEST DdeItem DdeQVTControl"), "."); // another client is served meanwhile
    EXPECT_TRUE(main_->ScanButtonDown());
    EXPECT_FALSE(boxes_.Texts().contains("Scan was not paused!? "));

    // The operator's own button keeps its box.
    main_->ScanButton()->setChecked(true);
    main_->Scan(TScanSender::User);
    EXPECT_EQ(boxes_.LastText(), "Scan was not paused!? ");

    EXPECT_EQ(ask(a, "EXECUTE DdeItem SCAN:0"), "OK");
    ASSERT_TRUE(PumpUntil([this] { return workers_->GoXYThread().Suspended() && !main_->ScanButtonDown(); }));
    EXPECT_TRUE(PumpUntil([&] { return boxes_.Texts().contains("DdeServer raised Error!"); }));

    // Switched off from the menu: the item follows.
    dde_->SetServerOn(false);
    EXPECT_FALSE(main_->MenuItem("DDESever1")->isChecked());
}

TEST_F(DdeServerTest, ARequestWhileABoxWaitsIsAnsweredWithTheErrorAndTheBoxsText)
{
    Open();
    Client client(Path());
    // The frame's automatic save met a box: the scan waits at its end for the operator.
    QString reply;
    boxes_.WhileOpen = [&](const QString&) { reply = client.Ask("EXECUTE DdeItem BIAS:1.5"); };
    ShowMessage(MsgKind::Warning, "Directory does not exists!\rSave not complete!");
    boxes_.WhileOpen = nullptr;
    EXPECT_EQ(reply, "ERROR DdeServer raised Error! | Directory does not exists! Save not complete!");
    EXPECT_EQ(sim_->Dac(2), 0);
    EXPECT_TRUE(WaitingBoxTexts().isEmpty());

    // Answered, the box no longer stands in the way.
    EXPECT_EQ(client.Ask("EXECUTE DdeItem BIAS:1.5"), "OK");
    EXPECT_EQ(sim_->Dac(2), 1500);
    // The server's own box came while the other stood open; it keeps nothing from being clicked.
    EXPECT_EQ(boxes_.Texts(),
              (QStringList{"DdeServer raised Error!", "Directory does not exists!\rSave not complete!"}));
}
