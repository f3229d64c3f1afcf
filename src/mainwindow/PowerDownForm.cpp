#include "mainwindow/PowerDownForm.h"

#include "core/SharedState.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace qvt {

TPowerDownForm* PowerDownForm = nullptr;

TPowerDownForm::TPowerDownForm(QWidget* anchor) : QWidget(anchor, Qt::Tool), anchor_(anchor)
{
    setObjectName("PowerDownForm");
    setWindowTitle("PowerDown");
    auto* layout = new QVBoxLayout(this);
    label1_ = new QLabel("Microscope will power down in", this);
    label1_->setObjectName("Label1");
    label2_ = new QLabel("0 minutes", this);
    label2_->setObjectName("Label2");
    auto* reset = new QPushButton("Reset", this);
    reset->setObjectName("Button1");
    layout->addWidget(label1_);
    layout->addWidget(label2_);
    layout->addWidget(reset);
    connect(reset, &QPushButton::clicked, this, &TPowerDownForm::Button1Click);
    if (PowerDownForm == nullptr)
        PowerDownForm = this;
}

TPowerDownForm::~TPowerDownForm()
{
    if (PowerDownForm == this)
        PowerDownForm = nullptr;
}

void TPowerDownForm::SetLabels(const QString& first, const QString& second)
{
    label1_->setText(first);
    label2_->setText(second);
}

void TPowerDownForm::ShowView()
{
    if (isVisible())
        return;
    adjustSize();
    if (anchor_ != nullptr) {
        const QRect frame = anchor_->frameGeometry();
        move(frame.right() - frameGeometry().width() + 1, frame.bottom() - frameGeometry().height() + 1);
    }
    show();
}

void TPowerDownForm::Button1Click()
{
    if (ResetIdleClock)
        ResetIdleClock();
    if (MicroscopeState.ZState.load() == ZPoweredDown && PowerUp)
        PowerUp();
    hide();
}

} // namespace qvt
