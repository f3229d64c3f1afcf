#include "remote/DdeServer.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "platform/LocalCommandServer.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanParaLogic.h"
#include "widgets/NumericEdit.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace qvt {

TDDEForm* DDEForm = nullptr;

namespace {

// The history is kept for the operator to look at, not without end.
constexpr int HistoryLines = 10000;

const char* const BiasCommand = "BIAS";
const char* const HardLinParaCommand = "HARDLINPARA";
const char* const ScanCommand = "SCAN";

const char* const OkReply = "OK";
const char* const ServerNotStartedText = "DdeServer not started!";
const char* const ServerStoppedText = "DdeServer stopped!";
// Between the error reply and the text of the box the request met.
const char* const BoxTextSeparator = " | ";
const char* const UnknownRequestReply = "ERROR unknown request";

bool SameName(const QString& a, const char* b)
{
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

} // namespace

// ---- the conversation ----------------------------------------------------------------------

TDdeCommandLine SplitDdeCommandLine(const QString& line)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0)
        return {};
    return {line.left(colon).toUpper(), line.mid(colon + 1, DdeArgumentLength)};
}

QStringList SplitMacroLines(const QString& macro)
{
    if (macro.isEmpty())
        return {};
    static const QRegularExpression lineBreak("\r\n|\n|\r");
    QStringList lines = macro.split(lineBreak);
    // A break at the very end ends the last line; it starts no new one.
    if (lines.size() > 1 && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

TDdeRequest ParseDdeRequest(const QString& line)
{
    const qsizetype verbEnd = line.indexOf(' ');
    if (verbEnd <= 0)
        return {};
    const QString verb = line.left(verbEnd);
    const qsizetype topicEnd = line.indexOf(' ', verbEnd + 1);
    const QString topic = line.mid(verbEnd + 1, topicEnd < 0 ? -1 : topicEnd - verbEnd - 1);
    const QString rest = topicEnd < 0 ? QString() : line.mid(topicEnd + 1);
    if (!SameName(topic, DdeTopicName))
        return {};
    if (SameName(verb, "EXECUTE"))
        return {TDdeRequest::Execute, rest};
    if (SameName(verb, "REQUEST") && SameName(rest.trimmed(), DdeItemName))
        return {TDdeRequest::Request, {}};
    return {};
}

QStringList DdeItemReply(const QStringList& itemLines)
{
    QStringList reply;
    for (const QString& line : itemLines)
        reply << (line.startsWith('.') ? "." + line : line);
    reply << ".";
    return reply;
}

// ---- the window ----------------------------------------------------------------------------

TDDEForm::TDDEForm(QWidget* parent) : QWidget(parent)
{
    setObjectName("DDEForm");
    setWindowTitle("DDEForm");

    auto* historyLabel = new QLabel("Command History", this);
    memo1_ = new QPlainTextEdit(this);
    memo1_->setObjectName("Memo1");
    memo1_->setReadOnly(true);
    memo1_->setMaximumBlockCount(HistoryLines);
    commandListBox_ = new QListWidget(this);
    commandListBox_->setObjectName("CommandListBox");
    commandListBox_->addItems({BiasCommand, HardLinParaCommand, ScanCommand});
    memo2_ = new QPlainTextEdit(this);
    memo2_->setObjectName("Memo2");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(historyLabel);
    layout->addWidget(memo1_, 2);
    layout->addWidget(commandListBox_, 1);
    layout->addWidget(memo2_, 1);
    resize(320, 400);

    server_ = std::make_unique<LocalCommandServer>([this](const QString& line) { return HandleRequest(line); });
    // A server that lost its socket is off: the menu says so and the operator is told why.
    connect(server_.get(), &LocalCommandServer::ListenerFailed, this, [this](const QString& why) {
        qWarning("Command server stopped: %s", qPrintable(why));
        if (ServerStateChanged)
            ServerStateChanged(false);
        PostToWindowThread([why] { ShowMessage(MsgKind::Warning, QString(ServerStoppedText) + "\r" + why); });
    });
    if (DDEForm == nullptr)
        DDEForm = this;
}

TDDEForm::~TDDEForm()
{
    server_.reset();
    if (DDEForm == this)
        DDEForm = nullptr;
}

void TDDEForm::FormCreate()
{
    SetServerOn(MainIni != nullptr && MainIni->ReadBool("Main", "DDEServerOn", false));
}

bool TDDEForm::SetServerOn(bool on)
{
    if (!on) {
        server_->Stop();
        if (ServerStateChanged)
            ServerStateChanged(false);
        return true;
    }
    QString folderProblem;
    const QString path = CommandServerSocketPath(DeviceDriverName, &folderProblem);
    if (server_->IsListening() && server_->Path() == path)
        return true;
    if (!path.isEmpty() && server_->Start(path)) {
        if (ServerStateChanged)
            ServerStateChanged(true);
        return true;
    }
    const QString why = path.isEmpty() ? folderProblem : server_->ErrorString();
    qWarning("Command server not started: %s", qPrintable(why));
    if (ServerStateChanged)
        ServerStateChanged(false);
    // Posted, so a start-up that switches the server on goes on meanwhile.
    PostToWindowThread([why] { ShowMessage(MsgKind::Information, QString(ServerNotStartedText) + "\r" + why); });
    return false;
}

bool TDDEForm::ServerOn() const
{
    return server_->IsListening();
}

QString TDDEForm::SocketPath() const
{
    return server_->Path();
}

QString TDDEForm::ServerError() const
{
    return server_->ErrorString();
}

QStringList TDDEForm::DdeQVTControlLines() const
{
    const QString text = memo2_->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QStringList TDDEForm::HandleRequest(const QString& line)
{
    const TDdeRequest request = ParseDdeRequest(line);
    switch (request.Verb) {
    case TDdeRequest::Execute: {
        QStringList boxTexts;
        if (DdeItemExecuteMacro(SplitMacroLines(request.Macro), &boxTexts))
            return {OkReply};
        QString reply = QString("ERROR ") + DdeErrorText;
        for (const QString& text : boxTexts)
            reply += BoxTextSeparator + text.simplified();
        return {reply};
    }
    case TDdeRequest::Request:
        return DdeItemReply(DdeQVTControlLines());
    case TDdeRequest::Unknown:
        break;
    }
    return {UnknownRequestReply};
}

bool TDDEForm::DdeItemExecuteMacro(const QStringList& macroLines, QStringList* boxTexts)
{
    if (macroLines.isEmpty())
        return true;
    const QString line = macroLines.front();
    memo1_->appendPlainText(line);
    bool ok = false;
    // A box already waiting for the operator (the scan held at its frame's
    // end, say) keeps whatever the request asks from happening: the client
    // is told so, with the box's text, rather than an OK for nothing.
    if (const QStringList waiting = WaitingBoxTexts(); !waiting.isEmpty()) {
        if (boxTexts != nullptr)
            *boxTexts = waiting;
        ReportError();
        return false;
    }
    {
        // A box inside a request would stall every client until someone at
        // the instrument clicks it ("Scan was not paused!?" on a second
        // SCAN:1): the request fails instead and the client learns why.
        TNoModalBoxes noBoxes;
        try {
            ok = ExecuteCommand(SplitDdeCommandLine(line));
        } catch (...) {
            ok = false;
        }
        if (!noBoxes.Texts().isEmpty()) {
            ok = false;
            if (boxTexts != nullptr)
                *boxTexts = noBoxes.Texts();
        }
    }
    if (!ok)
        ReportError();
    return ok;
}

bool TDDEForm::ExecuteCommand(const TDdeCommandLine& command)
{
    for (int i = 0; i < commandListBox_->count(); ++i) {
        const QString name = commandListBox_->item(i)->text();
        if (command.Command != name)
            continue;
        if (name == BiasCommand)
            return Bias(command.Argument);
        if (name == HardLinParaCommand)
            return HardLinPara();
        if (name == ScanCommand)
            return Scan(command.Argument);
    }
    return true; // not a command of ours: ignored
}

bool TDDEForm::Bias(const QString& argument)
{
    const QString text = argument.trimmed();
    // Typed into the bias edit and entered, so the parameter window shows
    // and keeps what the controller got.
    if (ScanParaForm != nullptr)
        return ScanParaForm->EnterText("Edit2", text);
    double value = 0.0;
    if (InOutForm == nullptr || !ParseNumber(text, value))
        return false;
    InOutForm->SetBias(value);
    return true;
}

bool TDDEForm::HardLinPara()
{
    QString bx;
    QString cx;
    if (!ScannerLinLabels || !ScannerLinLabels(bx, cx))
        return true; // without the scanner window there is nothing to report
    // The stored range, as its box shows it once taken: a refused value still
    // typed in the box is not the range the coefficients belong to.
    memo2_->setPlainText(QStringList{RangeText(ScanParams.Range.load()), bx, cx}.join('\n'));
    return true;
}

bool TDDEForm::Scan(const QString& argument)
{
    const QString choice = argument.trimmed();
    if (choice != "0" && choice != "1")
        return true; // any other argument does nothing
    const bool down = choice == "1";
    if (SetScanButton)
        return SetScanButton(down);
    if (DeviceWorkers == nullptr)
        return false;
    if (!down) {
        DeviceWorkers->PauseScan();
        return true;
    }
    return !DeviceWorkers->GoXYThread().Suspended() || DeviceWorkers->StartScan();
}

void TDDEForm::ReportError()
{
    // The client has its reply and the server goes on while the operator
    // reads the box; errors arriving meanwhile only beep, so a stream of bad
    // requests cannot pile boxes on top of each other.
    if (errorBoxOpen_) {
        Beep();
        return;
    }
    // The box stands beside the program: a box it met stays clickable.
    errorBoxOpen_ = true;
    const QPointer<TDDEForm> self(this);
    ShowMessageAside(MsgKind::Information, DdeErrorText, [self] {
        Beep();
        if (self)
            self->errorBoxOpen_ = false;
    });
}

} // namespace qvt
