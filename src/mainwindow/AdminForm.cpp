#include "mainwindow/AdminForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <QFormLayout>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

namespace qvt {

namespace {

QString Reversed(QString text)
{
    std::reverse(text.begin(), text.end());
    return text;
}

} // namespace

int AdminLevelForPassword(const QString& entered, const QString& wordPass, const QString& wordPassSetup)
{
    if (entered.size() != wordPass.size() && entered.size() != wordPassSetup.size())
        return -1;
    if (entered.size() == wordPass.size() && entered == Reversed(wordPass))
        return 1;
    if (entered == Reversed(wordPassSetup))
        return 2;
    return 0;
}

TAdminForm::TAdminForm(QWidget* anchor) : QDialog(anchor)
{
    setObjectName("AdminForm");
    setWindowTitle("Make me Admin");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QFormLayout(this);
    edit1_ = new QLineEdit(this);
    edit1_->setObjectName("Edit1");
    edit1_->setEchoMode(QLineEdit::Password);
    layout->addRow("Password", edit1_);
    edit1_->clear();
    // A password typed while another window holds the keyboard would go to
    // that window's edits (and so to the instrument): the box is modal and
    // its edit has the focus from the start.
    setModal(true);
    setFocusProxy(edit1_);
    edit1_->setFocus();
    setMinimumWidth(260);
    if (anchor != nullptr)
        move(anchor->pos() + QPoint(70, 20));
}

void TAdminForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    activateWindow();
    edit1_->setFocus(Qt::ActiveWindowFocusReason);
}

void TAdminForm::Edit1KeyPress()
{
    edit1_->setStyleSheet("background-color: red");
    const QString wordPass = UserIni ? UserIni->ReadString("Admin", "WordPass", QString()) : QString();
    const QString wordPassSetup =
        UserIni ? UserIni->ReadString("Admin", "WordPassSetup", "lorimed") : QString("lorimed");
    const int level = AdminLevelForPassword(edit1_->text(), wordPass, wordPassSetup);
    if (level <= 0)
        return;
    if (GrantLevel)
        GrantLevel(level);
    close();
}

void TAdminForm::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Edit1KeyPress();
        return;
    case Qt::Key_Escape:
        close();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

} // namespace qvt
