#pragma once
// Every file dialog of the program goes through here. Like a message box, a
// file dialog nobody can answer (no screen: the offscreen platform, no
// display; the program ending; a request from another program) is not shown:
// the error log gets one line naming its title and the dialog answers as
// cancelled at once, so nothing waits on it.

#include <QString>

class QWidget;

namespace qvt {

struct TFileDialogAsk {
    enum class Kind { Open, Save, Directory };
    Kind What = Kind::Open;
    // Empty: the dialog's own title ("Open", "Save As", "Find Directory").
    QString Title;
    // The folder shown, or a file name in it to propose.
    QString Start;
    // Qt's name filters, ";;" between them; `Filter` is the one selected first.
    QString Filters;
    QString Filter;
    QString DefaultSuffix;
};

struct TFileDialogChoice {
    QString Path;   // empty: cancelled
    QString Filter; // the name filter the operator chose
};

// Shows the dialog modally (from any thread: the window thread shows it).
TFileDialogChoice AskFile(QWidget* parent, const TFileDialogAsk& ask);
// The dialogs most windows need; an empty name is the cancel.
QString GetOpenFileName(QWidget* parent, const QString& title, const QString& start, const QString& filters);
QString GetSaveFileName(QWidget* parent, const QString& title, const QString& start, const QString& filters);
QString GetExistingDirectory(QWidget* parent, const QString& title, const QString& start);
// The title a dialog is shown with.
QString FileDialogTitle(const TFileDialogAsk& ask);

// For tests: while one lives, file dialogs are shown with no screen too, for
// the test answers them as the operator would (a name typed, Save pressed).
class TFileDialogsAnswered {
public:
    TFileDialogsAnswered();
    ~TFileDialogsAnswered();
    TFileDialogsAnswered(const TFileDialogsAnswered&) = delete;
    TFileDialogsAnswered& operator=(const TFileDialogsAnswered&) = delete;
};

} // namespace qvt
