#include "mainwindow/HistoryBox.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

namespace qvt {

THistoryBox* HistoryBox = nullptr;

const char* const HistoryText = "2026-12  Source tree by subsystem; misc, password and power-down windows;\n"
                                "         position navigator and script interpreter.\n"
                                "2026-11  Spectroscopy, oscilloscope and lock-in requests; chart control.\n"
                                "2026-10  Scan files, command server, stepper, approach and power saver.\n"
                                "2026-09  Scan thread, parameter window, main window, image windows.\n";

THistoryBox::THistoryBox(QWidget* parent) : QDialog(parent)
{
    setObjectName("HistoryBox");
    setWindowTitle("History");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QPlainTextEdit(QString::fromLatin1(HistoryText), this);
    text->setObjectName("Memo1");
    text->setReadOnly(true);
    text->setMinimumSize(520, 200);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    if (HistoryBox == nullptr)
        HistoryBox = this;
}

THistoryBox::~THistoryBox()
{
    if (HistoryBox == this)
        HistoryBox = nullptr;
}

} // namespace qvt
