#pragma once
// The operator's answer to a file dialog: while one lives, each Qt file
// dialog that opens is given the folder, the file name and the file type,
// and its own accept, as the operator types a name and presses Save. The
// question whether to replace a file that is there is answered yes.

#include "support/TestSupport.h"

#include "platform/FileDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace qvt::test {

class FileDialogAnswer {
public:
    explicit FileDialogAnswer(const QString& path, const QString& nameFilter = QString())
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this, path, nameFilter] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal);
                box != nullptr && qobject_cast<QFileDialog*>(box->parentWidget()) != nullptr) {
                if (QAbstractButton* yes = box->button(QMessageBox::Yes))
                    yes->click();
                return;
            }
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog == nullptr || dialog == answered_)
                return;
            answered_ = dialog;
            ++count_;
            if (!nameFilter.isEmpty())
                dialog->selectNameFilter(nameFilter);
            // The operator's yes to replacing a file that is there; the
            // dialog's own question would wait in a loop of its own.
            dialog->setOption(QFileDialog::DontConfirmOverwrite);
            dialog->setDirectory(QFileInfo(path).path());
            dialog->selectFile(QFileInfo(path).fileName());
            // A name that is there already is only selected once the folder
            // has been read; the operator's typing puts it in the name box.
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
                name->setText(QFileInfo(path).fileName());
            // The dialog's own Save, once this call has returned: the question
            // it may ask is answered by the next tick of this timer.
            QMetaObject::invokeMethod(static_cast<QDialog*>(dialog), &QDialog::accept, Qt::QueuedConnection);
        });
        timer_.start();
    }
    FileDialogAnswer(const FileDialogAnswer&) = delete;
    FileDialogAnswer& operator=(const FileDialogAnswer&) = delete;

    // How many dialogs were answered.
    int Count() const { return count_; }

private:
    UnrecordedByThreadSanitizer unrecorded_;
    // The dialogs are shown with no screen too: this answers them.
    TFileDialogsAnswered shown_;
    QTimer timer_;
    QPointer<QFileDialog> answered_;
    int count_ = 0;
};

} // namespace qvt::test
