#include "platform/FileDialogs.h"

#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"

#include <QApplication>
#include <QFileDialog>

#include <atomic>

namespace qvt {

namespace {
std::atomic<int> answeredByTests{0};

// Window thread only.
TFileDialogChoice ShowDialog(QWidget* parent, const TFileDialogAsk& ask)
{
    QFileDialog dialog(parent, ask.Title, ask.Start, ask.Filters);
    switch (ask.What) {
    case TFileDialogAsk::Kind::Open:
        dialog.setFileMode(QFileDialog::ExistingFile);
        break;
    case TFileDialogAsk::Kind::Save:
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        break;
    case TFileDialogAsk::Kind::Directory:
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        break;
    }
    if (!ask.Filter.isEmpty())
        dialog.selectNameFilter(ask.Filter);
    if (!ask.DefaultSuffix.isEmpty())
        dialog.setDefaultSuffix(ask.DefaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty() || BoxesStopped())
        return {};
    return {dialog.selectedFiles().first(), dialog.selectedNameFilter()};
}

// Why nobody could answer the dialog; empty when it can be shown. Window thread only.
QString WhyUnanswerable(bool refusedByCaller)
{
    if (refusedByCaller)
        return QStringLiteral("a request from another program");
    if (BoxesStopped())
        return QStringLiteral("the program is ending");
    if (answeredByTests.load() == 0 && NoScreen())
        return QStringLiteral("no screen");
    return {};
}
} // namespace

QString FileDialogTitle(const TFileDialogAsk& ask)
{
    if (!ask.Title.isEmpty())
        return ask.Title;
    switch (ask.What) {
    case TFileDialogAsk::Kind::Open:
        return QStringLiteral("Open");
    case TFileDialogAsk::Kind::Save:
        return QStringLiteral("Save As");
    case TFileDialogAsk::Kind::Directory:
        return QStringLiteral("Find Directory");
    }
    return {};
}

TFileDialogChoice AskFile(QWidget* parent, const TFileDialogAsk& ask)
{
    // A request from another program is refused by the thread it runs on.
    const bool refused = ModalBoxesRefused();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return {};
    TFileDialogChoice choice;
    SendToWindowThread([&] {
        const QString why = WhyUnanswerable(refused);
        if (why.isEmpty()) {
            choice = ShowDialog(parent, ask);
            return;
        }
        LogMessage(MsgKind::Warning,
                   "File dialog \"" + FileDialogTitle(ask) + "\" not shown (" + why + "): taken as cancelled");
    });
    return choice;
}

QString GetOpenFileName(QWidget* parent, const QString& title, const QString& start, const QString& filters)
{
    return AskFile(parent, {TFileDialogAsk::Kind::Open, title, start, filters, {}, {}}).Path;
}

QString GetSaveFileName(QWidget* parent, const QString& title, const QString& start, const QString& filters)
{
    return AskFile(parent, {TFileDialogAsk::Kind::Save, title, start, filters, {}, {}}).Path;
}

QString GetExistingDirectory(QWidget* parent, const QString& title, const QString& start)
{
    return AskFile(parent, {TFileDialogAsk::Kind::Directory, title, start, {}, {}, {}}).Path;
}

TFileDialogsAnswered::TFileDialogsAnswered()
{
    ++answeredByTests;
}

TFileDialogsAnswered::~TFileDialogsAnswered()
{
    --answeredByTests;
}

} // namespace qvt
