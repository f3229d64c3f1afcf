#pragma once
// The remote-control service other programs of the same user reach the
// running program through: they set the bias, read the scanner's
// linearisation values and start or stop scans. The conversation is the topic
// "DdeItem" with the item "DdeQVTControl"; a client sends a macro whose first
// line is one command such as "SCAN:1" or "BIAS:0.5".
//
// The transport is a private Unix socket (LocalCommandServer), one text line
// per request (docs/local-command-server.md):
//   EXECUTE DdeItem <macro>        → "OK" or "ERROR DdeServer raised Error!"
//   REQUEST DdeItem DdeQVTControl  → the item's lines, then "."
//   anything else                  → "ERROR unknown request"
//
// The window "DDEForm" stays hidden unless the operator opens it; it shows
// the command history, the known commands and the item's lines.

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QListWidget;
class QPlainTextEdit;

namespace qvt {

class LocalCommandServer;

// ---- the conversation, free of widgets -------------------------------------------------

inline constexpr const char* DdeTopicName = "DdeItem";
inline constexpr const char* DdeItemName = "DdeQVTControl";
inline constexpr const char* DdeErrorText = "DdeServer raised Error!";
inline constexpr int DdeArgumentLength = 20;

struct TDdeCommandLine {
    QString Command;  // the text before the first ":", upper-cased; empty without ":"
    QString Argument; // at most DdeArgumentLength characters after it, as sent
};
TDdeCommandLine SplitDdeCommandLine(const QString& line);

// The lines of a macro (CR LF, LF or CR between them); none for an empty macro.
QStringList SplitMacroLines(const QString& macro);

struct TDdeRequest {
    enum Kind { Unknown, Execute, Request };
    Kind Verb = Unknown;
    QString Macro; // Execute: everything after "EXECUTE DdeItem "
};
// One request line. Verb, topic and item are matched without regard to case
// (DDE names never had case); single blanks separate them.
TDdeRequest ParseDdeRequest(const QString& line);

// Reply lines of an item: each line, a line starting with "." given one more
// ".", then the terminating ".".
QStringList DdeItemReply(const QStringList& itemLines);

// ---- the window ----------------------------------------------------------------------------

class TDDEForm : public QWidget {
    Q_OBJECT

public:
    explicit TDDEForm(QWidget* parent = nullptr);
    ~TDDEForm() override; // the socket goes with the window

    // Switches the server on when "Main"/"DDEServerOn" says so.
    void FormCreate();
    // Listens on CommandServerSocketPath(DeviceDriverName), or stops and
    // removes the socket. False when it could not listen (ServerError says why).
    bool SetServerOn(bool on);
    bool ServerOn() const;
    QString SocketPath() const;
    QString ServerError() const;

    // The execute request: the first line is one command. False when the
    // command failed; the operator has then been told (a message that does
    // not hold up further requests) and has heard a beep.
    bool DdeItemExecuteMacro(const QStringList& macroLines);
    // The lines of the item "DdeQVTControl" (Memo2).
    QStringList DdeQVTControlLines() const;
    // One request line of the socket → its reply lines.
    QStringList HandleRequest(const QString& line);

    QPlainTextEdit* Memo1() const { return memo1_; } // command history
    QListWidget* CommandListBox() const { return commandListBox_; }
    QPlainTextEdit* Memo2() const { return memo2_; } // the item's lines

    // ---- what the commands reach in other windows ----------------------------------------
    // The main window sets its Scan button down (true) or up and runs its
    // Scan handler; returns true when the button is in that state afterwards.
    // Unset, the device window starts or pauses the scan directly.
    std::function<bool(bool down)> SetScanButton;
    // The scanner window's BXLabel and CXLabel captions; unset, or false,
    // while that window does not exist.
    std::function<bool(QString& bx, QString& cx)> ScannerLinLabels;

private:
    bool ExecuteCommand(const TDdeCommandLine& command);
    bool Bias(const QString& argument);
    bool HardLinPara();
    bool Scan(const QString& argument);
    void ReportError();

    QPlainTextEdit* memo1_ = nullptr;
    QListWidget* commandListBox_ = nullptr;
    QPlainTextEdit* memo2_ = nullptr;
    std::unique_ptr<LocalCommandServer> server_;
    bool errorBoxOpen_ = false;
};

extern TDDEForm* DDEForm;

} // namespace qvt
