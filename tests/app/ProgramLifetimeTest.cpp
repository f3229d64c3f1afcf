// The program started as lab automation starts it (no screen, driven through
// the local command server, ended by SIGTERM) and ended every way there is.

#include "support/TestSupport.h"

#include "app/CreateForms.h"
#include "app/Program.h"
#include "app/ProgramInProcess.h"
#include "app/QvtApplication.h"
#include "app/SimulatorFactory.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/DriverOpen.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "motion/CoarseForm.h"
#include "optics/LEDForm.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "support/Xvfb.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace qvt;
using namespace qvt::test;

namespace {

using Clock = std::chrono::steady_clock;

// Bounds that only prove a wait ends: a start takes a few seconds, an end well under one.
constexpr int StartBoundMs = 120000;
constexpr int EndBoundMs = 10000;

// One copy of the program in a folder of its own, with the bundled settings
// and a private runtime folder for its lock and sockets.
class RunningQvt {
public:
    TempDir dir;
    QTemporaryDir runtime;
    QProcess process;
    // Standard error kept for the test (a start writes little there) instead of passed on.
    bool keepErrors = false;

    RunningQvt()
    {
        EXPECT_TRUE(CopyBundledSettings(dir));
        // The program finds its settings beside itself.
        const QString exe = dir.Path() + "qvt";
        if (::link(QVT_EXECUTABLE, QFile::encodeName(exe).constData()) != 0) {
            EXPECT_TRUE(QFile::copy(QVT_EXECUTABLE, exe));
        }
    }
    ~RunningQvt()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(EndBoundMs);
        }
    }

    QString Ini() const { return QString::fromUtf8(dir.ReadFile("ini/qvt.ini")); }
    void Edit(const QString& name, const QByteArray& from, const QByteArray& to) const
    {
        QByteArray text = dir.ReadFile(name);
        ASSERT_TRUE(text.contains(from)) << name.toStdString();
        dir.WriteFile(name, text.replace(from, to));
    }
    QString RuntimeFile(const char* suffix) const { return runtime.path() + "/qvt-SIM" + suffix; }

    void Start(const QString& platform = "offscreen", const QString& display = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // No platform at all: as from ssh, a service or cron.
        if (platform.isEmpty())
            env.remove("QT_QPA_PLATFORM");
        else
            env.insert("QT_QPA_PLATFORM", platform);
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        // No display to make an OpenGL context on unless the test brings its
        // own screen: the 3D view goes without.
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        if (!display.isEmpty())
            env.insert("DISPLAY", display);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(keepErrors ? QProcess::SeparateChannels : QProcess::ForwardedErrorChannel);
        process.start(dir.Path() + "qvt", {});
        ASSERT_TRUE(process.waitForStarted(EndBoundMs));
    }

    // The running program wrote this setting.
    bool WaitForSetting(const QString& section, const QString& key)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(StartBoundMs);
        while (Clock::now() < end && process.state() == QProcess::Running) {
            if (!Setting(Ini(), section, key).isEmpty())
                return true;
            QThread::msleep(20);
        }
        return false;
    }

    // StartUp ran to its end: the communication test wrote its result.
    bool WaitStarted() { return WaitForSetting("Main", "DeviceDriverIOCTLFreq"); }

    // A connection to the command server.
    bool Connect(QLocalSocket& socket)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(StartBoundMs);
        do {
            socket.connectToServer(RuntimeFile(".dde"));
            if (socket.waitForConnected(1000))
                return true;
            QThread::msleep(20);
        } while (Clock::now() < end);
        return false;
    }

    // The next `lines` reply lines on `socket`; fewer once it is closed.
    static QStringList Replies(QLocalSocket& socket, int lines)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(StartBoundMs);
        QStringList replies;
        while (replies.size() < lines && Clock::now() < end) {
            if (socket.canReadLine())
                replies << QString::fromUtf8(socket.readLine()).trimmed();
            else if (!socket.waitForReadyRead(1000) && socket.state() != QLocalSocket::ConnectedState)
                break;
        }
        return replies;
    }

    // Sends request lines to the command server and gives the reply lines
    // (`lines` of them).
    QStringList Ask(const QByteArray& requests, int lines)
    {
        QLocalSocket socket;
        if (!Connect(socket))
            return {"not connected"};
        socket.write(requests);
        socket.waitForBytesWritten(EndBoundMs);
        return Replies(socket, lines);
    }

    // SIGTERM: the whole program ends in order, in time.
    void Terminate()
    {
        ASSERT_EQ(process.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        const auto begin = Clock::now();
        ASSERT_TRUE(process.waitForFinished(EndBoundMs)) << "still running after SIGTERM";
        EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(EndBoundMs));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        for (const char* suffix : {".dde", ".instance", ".lock"})
            EXPECT_FALSE(QFileInfo::exists(RuntimeFile(suffix))) << suffix << " left behind";
    }
};

} // namespace

TEST(ProgramLifetime, StartsWithoutAScreenAndEndsInOrderOnSigterm)
{
    RunningQvt qvt;
    qvt.Start();
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    EXPECT_EQ(qvt.Ask("REQUEST DdeItem DdeQVTControl\n", 1).value(0), ".");
    // A command that fails says so and holds up nobody: there is no screen for its box.
    EXPECT_EQ(qvt.Ask("EXECUTE DdeItem BIAS:nan\nEXECUTE DdeItem BIAS:0.5\n", 2),
              (QStringList{"ERROR DdeServer raised Error!", "OK"}));
    EXPECT_TRUE(QFileInfo::exists(qvt.RuntimeFile(".instance")));
    EXPECT_TRUE(QFileInfo::exists(qvt.RuntimeFile(".lock")));
    qvt.Terminate();
    // The main window's exit wrote what it keeps.
    EXPECT_FALSE(Setting(qvt.Ini(), "Main", "FormHeight").isEmpty());
}

TEST(ProgramLifetime, WithNoDisplayToReachItRunsWithoutAScreenAndSaysSoOnce)
{
    // No display at all (ssh, a service, cron), one named that is not there,
    // and the X platform asked for without a display.
    const std::vector<std::pair<QString, QString>> starts = {{"", ""}, {"", ":4711"}, {"xcb", ""}};
    for (const auto& [platform, display] : starts) {
        SCOPED_TRACE((platform + " " + display).toStdString());
        RunningQvt qvt;
        qvt.keepErrors = true;
        qvt.dir.WriteFile("error.log", "");
        qvt.Start(platform, display);
        ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished, status " << qvt.process.exitCode() << ": "
                                       << qvt.process.readAllStandardError().toStdString();
        EXPECT_EQ(qvt.Ask("REQUEST DdeItem DdeQVTControl\n", 1).value(0), ".");
        qvt.Terminate();
        const auto said = [](const QString& text) {
            return text.split('\n').filter("No display: running without a screen").size();
        };
        EXPECT_EQ(said(QString::fromLocal8Bit(qvt.process.readAllStandardError())), 1);
        EXPECT_EQ(said(QString::fromUtf8(qvt.dir.ReadFile("error.log"))), 1);
    }
}

TEST(ProgramLifetime, ATypeTwentyNineControllerWithItsLandingPanelStartsAndEndsOnSigterm)
{
    RunningQvt qvt;
    qvt.Edit("ini/sim.ini", "Type=26", "Type=29");
    qvt.Edit("ini/sim.ini", "\nAttached=0", "\nAttached=1");
    qvt.Edit("ini/qvt.ini", "[Main]", "[Software]\r\nMainFrame=1\r\n\r\n[Main]");
    // What the panel keeps is not there before: only its exit can write it.
    for (const char* key : {"afmState", "Edit1"})
        ASSERT_TRUE(Setting(qvt.Ini(), "MainFrame", key).isEmpty()) << key;
    ASSERT_TRUE(Setting(qvt.Ini(), "Main", "FormHeight").isEmpty());
    qvt.Start();
    // The scanner window's Z-scale information went to the log; nobody had to click it.
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    EXPECT_EQ(qvt.Ask("REQUEST DdeItem DdeQVTControl\n", 1).value(0), ".");
    qvt.Terminate();
    // The panel writes its state and edits only as it goes.
    const QString ini = qvt.Ini();
    EXPECT_FALSE(Setting(ini, "MainFrame", "afmState").isEmpty()) << "the landing panel's settings were lost";
    EXPECT_FALSE(Setting(ini, "MainFrame", "Edit1").isEmpty()) << "the landing panel's settings were lost";
    EXPECT_FALSE(Setting(ini, "Main", "FormHeight").isEmpty());
}

TEST(ProgramLifetime, SigtermEndsTheProgramWhileABoxIsOpenOnTheScreen)
{
    // A screen nobody looks at: the box stays open until someone ends the program.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    RunningQvt qvt;
    qvt.Start(QString("vnc:port=%1").arg(port));
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    // The link's echo test at the start is timed by the machine's clock: on a
    // busy machine the simulated link falls short of a sound link's round
    // trips, and that box is then on the screen already, named in the reply.
    const bool linkBoxUp = Setting(qvt.Ini(), "Main", "DeviceDriverIOCTLFreq").toInt() < 1000;
    const QString refused = qvt.Ask("EXECUTE DdeItem BIAS:nan\n", 1).value(0);
    if (linkBoxUp) {
        EXPECT_TRUE(refused.startsWith("ERROR DdeServer raised Error! | Communication with SPM-Box unstable! ("))
            << refused.toStdString();
    } else {
        EXPECT_EQ(refused, "ERROR DdeServer raised Error!");
    }
    // Answered from inside the box's loop: the box is up.
    EXPECT_EQ(qvt.Ask("REQUEST DdeItem DdeQVTControl\n", 1).value(0), ".");
    qvt.Terminate();
    EXPECT_FALSE(Setting(qvt.Ini(), "Main", "FormHeight").isEmpty());
}

namespace {

// Where a step button of the coarse window lies in the window (the same
// layout in every process).
QPoint CoarseButtonInWindow(int number)
{
    TCoarseForm form;
    form.FormCreate();
    form.show();
    QPushButton* b = form.BitBtn(number);
    return b->mapTo(&form, b->rect().center());
}

} // namespace

TEST(ProgramLifetime, SigtermWhileACoarseButtonIsHeldEndsInOrderAndKeepsTheSteps)
{
    ASSERT_EQ(MainIni, nullptr);
    const QString xdotool = QStandardPaths::findExecutable("xdotool");
    if (!test::XvfbScreen::Available() || xdotool.isEmpty())
        GTEST_SKIP() << "no Xvfb or xdotool here (tools/install-deps.sh installs them)";
    test::XvfbScreen screen("2400x1400");
    ASSERT_FALSE(screen.Display().isEmpty()) << "Xvfb named no display";
    const QPoint window(2100, 1100);
    const QPoint button = window + CoarseButtonInWindow(1);
    RunningQvt qvt;
    // The coarse window comes up with the program, clear of the others; the
    // sample far from the tip, the approach button repeating quickly.
    qvt.Edit("user.ini", "[Main]\r\n", "[Main]\r\nCoarseButton=1\r\n");
    qvt.Edit("ini/qvt.ini", "[Coarse]\r\nFormPosLeft=1030\r\nFormPosTop=40\r\n",
             "[Coarse]\r\nFormPosLeft=2100\r\nFormPosTop=1100\r\nSlowZ=10\r\n");
    qvt.Edit("ini/sim.ini", "Gap=0", "Gap=100000");
    qvt.Start("xcb", screen.Display());
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    // "v" held down with the operator's pointer (it takes the focus, whose
    // loss the shutdown brings): the motor steps on until the program ends.
    QProcess mouse;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", screen.Display());
    mouse.setProcessEnvironment(env);
    mouse.start(xdotool, {"mousemove", QString::number(button.x()), QString::number(button.y()), "mousedown", "1"});
    ASSERT_TRUE(mouse.waitForFinished(EndBoundMs));
    QThread::msleep(2000);
    qvt.Terminate();
    const QString steps = Setting(qvt.Ini(), "Stepper", "zCoarsePos");
    ASSERT_FALSE(steps.isEmpty()) << "the stepper's position was not written";
    EXPECT_LT(steps.toInt(), 0) << "no steps toward the sample counted";
}

// The motions below run on the instrument's own clock (the bundled simulator
// keeps real time) and are set up so that they cannot end by themselves for
// many minutes: however fast or busy the machine, each is still under way
// when the signal lands, and only the exit can end it.

TEST(ProgramLifetime, SigtermDuringAnApproachAnswersTheRequestsBeforeItInOrderAndStopsTheApproach)
{
    RunningQvt qvt;
    // The landing panel, left in its approach state, starts the automatic
    // approach as the program comes up; the surface lies far beyond the
    // steps the approach may make.
    qvt.Edit("ini/qvt.ini", "[Main]", "[Software]\r\nMainFrame=1\r\n\r\n[Main]");
    qvt.Edit("ini/qvt.ini", "[MainFrame]\r\n", "[MainFrame]\r\nafmState=3\r\n");
    qvt.Edit("ini/qvt.ini", "AppMaxSteps=30", "AppMaxSteps=10000");
    qvt.Edit("ini/sim.ini", "Gap=0", "Gap=100000");
    qvt.dir.WriteFile("error.log", ""); // a box nobody can see is logged
    qvt.Start();
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    // The approach switched the loop to its approach gain as it began.
    ASSERT_TRUE(qvt.WaitForSetting("FeedPara", "Edit5_3Approach")) << "no approach started";

    EXPECT_EQ(qvt.Ask("EXECUTE DdeItem BIAS:0.3\nREQUEST DdeItem DdeQVTControl\nEXECUTE DdeItem BIAS:nan\n", 3),
              (QStringList{"OK", ".", "ERROR DdeServer raised Error!"}));

    // Requests that came, on a new connection, just before the signal are
    // answered, in their order, before the program goes.
    QLocalSocket client;
    ASSERT_TRUE(qvt.Connect(client));
    client.write("EXECUTE DdeItem BIAS:nan\nEXECUTE DdeItem BIAS:0.4\nREQUEST DdeItem DdeQVTControl\n");
    ASSERT_TRUE(client.waitForBytesWritten(EndBoundMs));
    qvt.Terminate();
    EXPECT_EQ(RunningQvt::Replies(client, 3), (QStringList{"ERROR DdeServer raised Error!", "OK", "."}));

    const QString ini = qvt.Ini();
    // Stopped as the operator's stop stops it: no end of its own (each would
    // have said why in a box), the steps it had made counted and kept.
    const QString log = QString::fromUtf8(qvt.dir.ReadFile("error.log"));
    for (TApproachEnd end : {TApproachEnd::OutOfReach, TApproachEnd::WrongPolarity, TApproachEnd::Stalled})
        EXPECT_FALSE(log.contains(ApproachFailureText(end))) << log.toStdString();
    const QString steps = Setting(ini, "Stepper", "zCoarsePos");
    ASSERT_FALSE(steps.isEmpty()) << "the stepper's position was not written";
    EXPECT_LE(steps.toInt(), 0);
    EXPECT_GT(steps.toInt(), -10000);
    EXPECT_EQ(Setting(ini, "MainFrame", "afmState"), "3") << "the panel saw a landing";
    EXPECT_FALSE(Setting(ini, "Main", "FormHeight").isEmpty());
}

TEST(ProgramLifetime, SigtermDuringALongScanMoveStopsTheMoveAndEndsInOrder)
{
    RunningQvt qvt;
    // A ten-thousandth of a line per second: each pixel of a line is a move
    // of 40 s, a line takes hours.
    qvt.Edit("ini/qvt.ini", "Edit4=4", "Edit4=0.0001");
    qvt.dir.WriteFile("error.log", "");
    qvt.Start();
    ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
    ASSERT_EQ(qvt.Ask("EXECUTE DdeItem SCAN:1\n", 1).value(0), "OK");
    // Answered in order while the tip moves: a second start is refused, the scan still runs.
    EXPECT_EQ(qvt.Ask("EXECUTE DdeItem BIAS:0.3\nEXECUTE DdeItem SCAN:1\nEXECUTE DdeItem BIAS:0.25\n", 3),
              (QStringList{"OK", "ERROR DdeServer raised Error! | Scan was not paused!?", "OK"}));
    // The exit stops the move as the operator's stop does, rather than wait
    // for it or refuse to close over a scan that will not stop.
    qvt.Terminate();
    const QString log = QString::fromUtf8(qvt.dir.ReadFile("error.log"));
    EXPECT_FALSE(log.contains("Please stop scan first!")) << log.toStdString();
    EXPECT_FALSE(Setting(qvt.Ini(), "Main", "FormHeight").isEmpty());
}

TEST(ProgramLifetime, APaletteOrSettingsFileThatIsNoRegularFileIsRefusedAndTheStartCompletes)
{
    for (const QString& palette : {QString("/dev/zero"), QString("fifo.pal")}) {
        SCOPED_TRACE(palette.toStdString());
        RunningQvt qvt;
        const QString fifo = qvt.dir.Path() + "fifo.pal";
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString paletteFile = palette.startsWith('/') ? palette : fifo;
        qvt.Edit("user.ini", "[Main]\r\n",
                 "[Main]\r\nUseUserColorPalette=1\r\nUserColorPalette=" + QFile::encodeName(paletteFile) + "\r\n");
        // The scanner's settings file is a pipe nobody writes to.
        const QString scannerFile = qvt.dir.Path() + "SoftLin.ini";
        ASSERT_TRUE(QFile::remove(scannerFile));
        ASSERT_EQ(::mkfifo(QFile::encodeName(scannerFile).constData(), 0600), 0);
        qvt.dir.WriteFile("error.log", ""); // present: logging is on
        qvt.Start();
        ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
        EXPECT_EQ(qvt.Ask("REQUEST DdeItem DdeQVTControl\n", 1).value(0), ".");
        qvt.Terminate();
        const QString log = QString::fromUtf8(qvt.dir.ReadFile("error.log"));
        EXPECT_EQ(log.count("Palette file " + paletteFile + " refused: only a regular file of at most 1 MB is read."),
                  1)
            << log.toStdString();
        EXPECT_GE(log.count("Settings file " + scannerFile + " refused"), 1) << log.toStdString();
        EXPECT_FALSE(log.contains("Please select a Scanner File")) << "the pipe was taken for a missing file";
        EXPECT_FALSE(QFileInfo(scannerFile).isFile()) << "the pipe was replaced by a file";
    }
}

TEST(ProgramLifetime, ASettingsFileThatCannotBeWrittenOrReadIsLoggedOncePerKindOfTroubleInARun)
{
    RunningQvt qvt;
    // The operator made the main settings read-only; the user's settings are a pipe.
    const QString mainIni = qvt.dir.Path() + "ini/qvt.ini";
    const QString userIni = qvt.dir.Path() + "user.ini";
    ASSERT_EQ(::chmod(QFile::encodeName(mainIni).constData(), 0444), 0);
    ASSERT_TRUE(QFile::remove(userIni));
    ASSERT_EQ(::mkfifo(QFile::encodeName(userIni).constData(), 0600), 0);
    qvt.dir.WriteFile("error.log", ""); // present: logging is on
    qvt.Start();
    // Started and working, with every window writing its settings as it goes.
    EXPECT_EQ(qvt.Ask("EXECUTE DdeItem BIAS:0.3\nREQUEST DdeItem DdeQVTControl\n", 2), (QStringList{"OK", "."}));
    qvt.Terminate();

    const QStringList log = QString::fromUtf8(qvt.dir.ReadFile("error.log")).split("\r\n", Qt::SkipEmptyParts);
    // Each trouble of a file is one line, however many keys the windows wrote
    // to it or read from it.
    QMap<QString, int> told;
    for (const QString& line : log) {
        if (line.contains(mainIni) || line.contains(userIni))
            ++told[line.section('\t', 1)];
    }
    EXPECT_FALSE(told.isEmpty()) << "neither file's trouble was told";
    bool mainTold = false;
    bool userTold = false;
    for (auto it = told.cbegin(); it != told.cend(); ++it) {
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        EXPECT_FALSE(it.key().contains(" times from ")) << "told again and counted: " << it.key().toStdString();
        mainTold = mainTold || it.key().contains(mainIni + " cannot be written: the file is read-only");
        userTold = userTold || it.key().contains(userIni + " refused");
    }
    EXPECT_TRUE(mainTold) << QStringList(told.keys()).join("\n").toStdString();
    EXPECT_TRUE(userTold) << QStringList(told.keys()).join("\n").toStdString();
    EXPECT_EQ(QFileInfo(mainIni).permissions() & QFileDevice::WriteOwner, 0) << "the read-only file was replaced";
}

TEST(ProgramLifetime, ASettingsFileThatIsNoneIsToldForWhatItIsAndNeverRewritten)
{
    QByteArray noise;
    for (int i = 0; i < 6000; ++i)
        noise += char((i * 7919 + 13) % 256);
    struct Case {
        const char* file;   // in the program's folder
        const char* stands; // "fifo", "zero" (a link to /dev/zero) or "noise" (random bytes)
        const char* told;   // the words the operator reads, empty for none
    };
    for (const Case& c :
         {Case{"user.ini", "fifo", "it is a pipe (FIFO), no settings file"},
          Case{"user.ini", "zero", "it is a device, no settings file"},
          Case{"ini/qvt.ini", "fifo", "it is a pipe (FIFO), no settings file"},
          Case{"ini/qvt.ini", "zero", "it is a device, no settings file"}, Case{"ini/qvt.ini", "noise", ""}}) {
        SCOPED_TRACE(std::string(c.file) + " " + c.stands);
        RunningQvt qvt;
        qvt.keepErrors = true;
        const QString path = qvt.dir.Path() + c.file;
        const QByteArray native = QFile::encodeName(path);
        ASSERT_TRUE(QFile::remove(path));
        const QString stands = c.stands;
        if (stands == "fifo")
            ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
        else if (stands == "zero")
            ASSERT_EQ(::symlink("/dev/zero", native.constData()), 0);
        else
            qvt.dir.WriteFile(c.file, noise);
        qvt.dir.WriteFile("error.log", ""); // present: logging is on
        qvt.Start();
        if (QString(c.file) == "user.ini") {
            // The main settings are whole: the start goes on without the user's.
            ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
            qvt.Terminate();
        } else {
            // Without its main settings the program has no controller to run.
            EXPECT_TRUE(qvt.process.waitForFinished(StartBoundMs)) << "the start did not end";
        }
        const QString told = QString::fromLocal8Bit(qvt.process.readAllStandardError()) +
                             QString::fromUtf8(qvt.dir.ReadFile("error.log"));
        EXPECT_FALSE(told.contains(path + " not found")) << told.toStdString();
        if (*c.told != 0) {
            bool named = false;
            for (const QString& line : told.split('\n'))
                named = named || (line.contains("Settings file " + path + " ") && line.contains(QString(c.told)));
            EXPECT_TRUE(named) << told.toStdString();
        }
        struct stat st {};
        ASSERT_EQ(::lstat(native.constData(), &st), 0);
        if (stands == "fifo")
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced";
        else if (stands == "zero")
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
        else
            EXPECT_EQ(qvt.dir.ReadFile(c.file), noise) << "the damaged file is no longer there to recover from";
    }
}

TEST(ProgramLifetime, AnErrorWithoutAScreenIsLoggedOnce)
{
    // The program's handler of errors that reach the message loop, in the
    // started program: its box has no screen, so the text goes to standard
    // error and one line to the error log, with the sender.
    TempDir dir;
    ASSERT_TRUE(CopyBundledSettings(dir));
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    dir.WriteFile("error.log", "");
    InstallShutdownOnSignals();
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (MainQVTForm == nullptr || MainIni == nullptr || !MainIni->ValueExists("Main", "DeviceDriverIOCTLFreq"))
            return;
        poll.stop();
        ReportAppException("Range check error", MainQVTForm);
        ::kill(::getpid(), SIGTERM);
    });
    poll.start();
    EXPECT_EQ(RunProgram(dir.Path(), {"qvt"}), 0);
    const QString log = QString::fromUtf8(dir.ReadFile("error.log"));
    EXPECT_EQ(log.count("Range check error"), 1) << log.toStdString();
    EXPECT_TRUE(log.contains("\tRange check error\tMainQVTForm\t")) << log.toStdString();
}

TEST_F(ProgramInProcess, SigtermEndsItWithToolWindowsAndWindowsWithoutAParentOpen)
{
    const auto ran = Run([] {
        for (const char* item :
             {"ScannerItem", "FeedbackItem", "MiscItem", "ScaleItem", "HighSpeedItem", "ScaleADDAItem", "DNCItem"})
            Open(item);
        ::kill(::getpid(), SIGTERM);
    });
    EXPECT_LT(ran, std::chrono::milliseconds(EndBoundMs));
    const QString ini = QString::fromUtf8(dir_.ReadFile("ini/qvt.ini"));
    EXPECT_FALSE(Setting(ini, "ScannerWin", "FormPosTop").isEmpty()) << "the scanner window's settings were lost";
    EXPECT_FALSE(Setting(ini, "Main", "FormHeight").isEmpty());
}

// A second start of the program finds it running: it leaves at once and the
// running one's main window, minimized by the operator, comes back.
TEST_F(ProgramInProcess, ASecondStartLeavesAndBringsTheMinimizedMainWindowBack)
{
    const QString exe = dir_.Path() + "qvt";
    if (::link(QVT_EXECUTABLE, QFile::encodeName(exe).constData()) != 0)
        ASSERT_TRUE(QFile::copy(QVT_EXECUTABLE, exe));
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    bool minimized = false;
    std::optional<bool> minimizedAfter;
    const auto ran = Run([&] {
        MainQVTForm->showMinimized();
        minimized = MainQVTForm->isMinimized();
        QObject::connect(&second, &QProcess::finished, [&] {
            minimizedAfter = MainQVTForm->isMinimized();
            ::kill(::getpid(), SIGTERM);
        });
        second.start(exe, {});
    });
    EXPECT_LT(ran, std::chrono::milliseconds(StartBoundMs));
    ASSERT_TRUE(minimized) << "the main window could not be minimized";
    ASSERT_TRUE(minimizedAfter.has_value()) << "the second start never ended";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_FALSE(*minimizedAfter) << "the running program's main window stayed minimized";
}

// SIGTERM takes the way out File › Exit takes: the main window's close step
// pauses the scan and ramps the tip home before the windows go. Only that
// step ramps home; the end of the windows leaves the tip where the scan had it.
TEST_F(ProgramInProcess, SigtermDuringAScanPausesItAndRampsTheTipHome)
{
    sim::SimConfig config = LoadSimConfig(dir_.Path() + "ini/sim.ini");
    config.ConfiguredLimits = ConfiguredDacLimits;
    const auto simulator = std::make_shared<sim::SimController>(config);
    PlugInDevice("SIM", simulator);
    bool away = false;
    const auto ran = Run([&] {
        MainQVTForm->ScanButton()->click();
        // Under way: the tip has left home for the frame.
        away = PumpUntil([&] { return simulator->Dac(3) != 0 || simulator->Dac(4) != 0; });
        ::kill(::getpid(), SIGTERM);
    });
    UnplugDevice("SIM");
    EXPECT_LT(ran, std::chrono::milliseconds(EndBoundMs));
    ASSERT_TRUE(away) << "the scan never moved the tip";
    EXPECT_EQ(simulator->Dac(3), 0) << "X not ramped home";
    EXPECT_EQ(simulator->Dac(4), 0) << "Y not ramped home";
    EXPECT_EQ(simulator->CrashCount(), 0);
    EXPECT_EQ(simulator->GuardViolationCount(), 0);
}

TEST_F(ProgramInProcess, FileExitEndsItWithWindowsWithoutAParentOpen)
{
    const auto ran = Run([] {
        for (const char* item : {"ScannerItem", "ScaleADDAItem", "DNCItem"})
            Open(item);
        Open("FileExitItem");
    });
    EXPECT_LT(ran, std::chrono::milliseconds(EndBoundMs));
    const QString ini = QString::fromUtf8(dir_.ReadFile("ini/qvt.ini"));
    EXPECT_FALSE(Setting(ini, "ScannerWin", "FormPosTop").isEmpty());
}

TEST_F(ProgramInProcess, SigtermWhileAControlIsHeldEndsTheHoldBeforeItsWindowGoes)
{
    // Each control that repeats or drags while the mouse holds it, held down
    // when the signal comes: its hold ends as a lost focus ends it, while its
    // window is still whole, and the program ends in order.
    struct Held {
        const char* Window;
        const char* Item;
        std::function<QWidget*()> Control;
    };
    const Held held[] = {
        {"coarse step button", "CoarseItem", [] { return CoarseForm->BitBtn(1); }},
        {"parameter window arrow", nullptr, [] { return ScanParaForm->Button("BitBtn3"); }},
        {"LED scroll bar", "LEDItem",
         []() -> QWidget* {
             for (int i = 1; i <= 3; ++i)
                 if (!LEDForm->ScrollBar(i)->isHidden())
                     return LEDForm->ScrollBar(i);
             return nullptr;
         }},
    };
    for (const Held& h : held) {
        SCOPED_TRACE(h.Window);
        InstallShutdownOnSignals(); // armed afresh for each run
        bool wasDown = false;
        std::optional<bool> releasedWhole; // buttons only
        const auto ran = Run([&] {
            if (h.Item != nullptr)
                Open(h.Item);
            QWidget* control = h.Control();
            if (control != nullptr) {
                control->window()->show();
                auto* bar = qobject_cast<QScrollBar*>(control);
                const int before = bar != nullptr ? bar->value() : 0;
                QTest::mousePress(control, Qt::LeftButton, {}, control->rect().center());
                if (auto* b = qobject_cast<QAbstractButton*>(control)) {
                    wasDown = b->isDown();
                    // A window being freed is a plain widget by then.
                    const QByteArray kind = b->window()->metaObject()->className();
                    releasedWhole = false;
                    QObject::connect(b, &QAbstractButton::released, [b, kind, &releasedWhole] {
                        releasedWhole = b->window()->metaObject()->className() == kind;
                    });
                }
                if (bar != nullptr)
                    wasDown = bar->isSliderDown() || bar->value() != before;
            }
            ::kill(::getpid(), SIGTERM);
        });
        EXPECT_TRUE(wasDown) << "the press did not take";
        EXPECT_NE(releasedWhole, std::optional<bool>(false)) << "a button's release came as its window was freed";
        EXPECT_LT(ran, std::chrono::milliseconds(EndBoundMs));
        EXPECT_FALSE(Setting(QString::fromUtf8(dir_.ReadFile("ini/qvt.ini")), "Stepper", "zCoarsePos").isEmpty())
            << "the stepper's position was not written";
    }
}

namespace {

// Every window place the settings text holds: "section/key" -> value.
QMap<QString, QString> StoredPlaces(const QString& text)
{
    static const QStringList keys = {"FormPosLeft", "FormPosTop", "FormLeft",     "FormTop",
                                     "FormWidth",   "FormHeight", "FormPosWidth", "FormPosHeight"};
    QMap<QString, QString> places;
    QString section;
    for (QString line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('['))
            section = line.mid(1, line.indexOf(']') - 1);
        else if (keys.contains(line.section('=', 0, 0).trimmed(), Qt::CaseInsensitive))
            places.insert(section + "/" + line.section('=', 0, 0).trimmed(), line.section('=', 1).trimmed());
    }
    return places;
}

} // namespace

TEST(ProgramLifetime, ARunWithoutAScreenLeavesTheStoredWindowPlacesAsTheyWere)
{
    // As shipped (the main window at its default size), and with the main
    // window stored wider than the 800 px offscreen screen leaves it.
    for (const QByteArray mainPlace : {QByteArray(), QByteArray("FormPosLeft=300\r\nFormWidth=1200\r\n")}) {
        SCOPED_TRACE(mainPlace.toStdString());
        RunningQvt qvt;
        if (!mainPlace.isEmpty())
            qvt.Edit("ini/qvt.ini", "[Main]\r\n", "[Main]\r\n" + mainPlace);
        const QMap<QString, QString> main = StoredPlaces(qvt.Ini());
        const QMap<QString, QString> user = StoredPlaces(QString::fromUtf8(qvt.dir.ReadFile("user.ini")));
        ASSERT_GT(main.size(), 20);
        qvt.Start();
        ASSERT_TRUE(qvt.WaitStarted()) << "StartUp never finished";
        qvt.Terminate();
        // The offscreen screen is 800 px wide: places beyond it were shown
        // elsewhere, and are still where the operator put them.
        const QMap<QString, QString> mainAfter = StoredPlaces(qvt.Ini());
        for (auto it = main.cbegin(); it != main.cend(); ++it)
            EXPECT_EQ(mainAfter.value(it.key()).toStdString(), it.value().toStdString())
                << "qvt.ini " << it.key().toStdString();
        const QMap<QString, QString> userAfter = StoredPlaces(QString::fromUtf8(qvt.dir.ReadFile("user.ini")));
        for (auto it = user.cbegin(); it != user.cend(); ++it)
            EXPECT_EQ(userAfter.value(it.key()).toStdString(), it.value().toStdString())
                << "user.ini " << it.key().toStdString();
        // Where no width was stored, none cut by the screen is stored now.
        if (mainPlace.isEmpty())
            EXPECT_EQ(mainAfter.value("Main/FormWidth", "1000").toStdString(), "1000");
    }
}
