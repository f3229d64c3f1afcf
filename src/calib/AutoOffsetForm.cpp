#include "calib/AutoOffsetForm.h"

#include "calib/AutoOffset.h"
#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "widgets/NumericEdit.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace qvt {

TAutoOffsetForm* AutoOffsetForm = nullptr;

namespace {
const QString Section = "AutoOffset";
}

TAutoOffsetForm::TAutoOffsetForm(TInOutForm& link, QWidget* parent) : QDialog(parent), link_(link)
{
    setObjectName("AutoOffset");
    setWindowTitle("AutoOffset");
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Old Offset: ", this), 0, 0);
    edit1_ = new TNumericEdit("Edit1", this);
    edit1_->setReadOnly(true);
    grid->addWidget(edit1_, 0, 1);
    label3_ = new QLabel(this);
    label3_->setObjectName("Label3");
    grid->addWidget(label3_, 0, 2);
    grid->addWidget(new QLabel("New Offset: ", this), 1, 0);
    edit2_ = new TNumericEdit("Edit2", this);
    // Enter in the proposal does what "Use New" does.
    edit2_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            UseButtonClick();
    };
    grid->addWidget(edit2_, 1, 1);
    label4_ = new QLabel(this);
    label4_->setObjectName("Label4");
    grid->addWidget(label4_, 1, 2);
    auto* det = new QPushButton("Det. Offset", this);
    det->setObjectName("Button1");
    auto* use = new QPushButton("Use New", this);
    use->setObjectName("UseButton");
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("CancelButton");
    grid->addWidget(det, 2, 0);
    grid->addWidget(use, 2, 1);
    grid->addWidget(cancel, 2, 2);
    connect(det, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(use, &QPushButton::clicked, this, [this] { UseButtonClick(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::close);
    if (AutoOffsetForm == nullptr)
        AutoOffsetForm = this;
}

TAutoOffsetForm::~TAutoOffsetForm()
{
    if (AutoOffsetForm == this)
        AutoOffsetForm = nullptr;
}

void TAutoOffsetForm::FormCreate()
{
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
}

int TAutoOffsetForm::Slot() const
{
    const int index = MicroscopeState.FeedbackChannel;
    return IsValidChannelIndex(index) ? SlotOfChannelIndex(index) : FirstAdcSlot;
}

void TAutoOffsetForm::FormActivate()
{
    const TIOScale& scale = ChannelTable[Slot()];
    edit1_->setText(OffsetText(scale.Offset.load(), scale));
    label3_->setText(scale.UnitName);
    label4_->setText(scale.UnitName);
}

void TAutoOffsetForm::Button1Click()
{
    FormActivate();
    const TIOScale& scale = ChannelTable[Slot()];
    MeasuredOffset = ProposedOffset(link_.AverageChannel(), scale.Invers.load());
    edit2_->setText(OffsetText(MeasuredOffset, scale));
    edit2_->SetColor(EditColor::White);
}

void TAutoOffsetForm::UseButtonClick()
{
    // With the tip approached the reading holds the tip–sample signal.
    if (MicroscopeState.ZState == ZApproached) {
        ShowMessage(MsgKind::Warning, "Not possible now!\nPlease retract first!", MsgButtons::Ok);
        return;
    }
    const int slot = Slot();
    TIOScale& scale = ChannelTable[slot];
    const TOffsetUse use = ParseOffsetText(edit2_->text(), scale);
    if (use.Stored) {
        edit2_->SetColor(EditColor::White);
        if (MainIni != nullptr)
            MainIni->WriteString("Scale", ChannelName(slot) + "Edit5", FloatToText(use.Value));
        scale.Offset = use.Raw;
        edit1_->setText(OffsetText(use.Raw, scale));
    } else {
        edit2_->MarkRefused();
    }
    link_.ReloadScales();
    link_.UpdateFeedback();
}

void TAutoOffsetForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormActivate();
}

void TAutoOffsetForm::FormDestroy()
{
    if (MainIni != nullptr) {
        MainIni->WriteInteger(Section, "FormPosLeft", x());
        MainIni->WriteInteger(Section, "FormPosTop", y());
    }
}

void TAutoOffsetForm::closeEvent(QCloseEvent* event)
{
    FormDestroy();
    QDialog::closeEvent(event);
}

} // namespace qvt
