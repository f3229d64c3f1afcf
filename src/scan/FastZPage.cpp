#include "scan/FastZPage.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "widgets/NumericEdit.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr const char* Section = "ScanPara";

// Clicks on a prefix label; Shift picks the larger prefix.
class TPrefixClicks : public QObject {
public:
    TPrefixClicks(TFastZPage* page, QLabel* label) : QObject(label), page_(page), label_(label)
    {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == label_ && event->type() == QEvent::MouseButtonPress) {
            const auto* m = static_cast<QMouseEvent*>(event);
            page_->PrefixLabelMouseDown(label_, (m->modifiers() & Qt::ShiftModifier) != 0);
            return true;
        }
        return false;
    }

private:
    TFastZPage* page_;
    QLabel* label_;
};

class TClick : public QObject {
public:
    TClick(QLabel* label, std::function<void()> fn, std::function<void()> dbl)
        : QObject(label), fn_(std::move(fn)), dbl_(std::move(dbl))
    {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress) {
            fn_();
            return true;
        }
        if (event->type() == QEvent::MouseButtonDblClick) {
            dbl_();
            return true;
        }
        return false;
    }

private:
    std::function<void()> fn_, dbl_;
};

} // namespace

TFastZPage::TFastZPage(QGridLayout* layout, std::function<TInOutForm*()> device, QObject* parent)
    : QObject(parent), device_(std::move(device))
{
    auto label = [](const QString& text, const char* name) {
        auto* l = new QLabel(text);
        l->setObjectName(name);
        return l;
    };
    Edit20 = new TNumericEdit("Edit20");
    Edit17 = new TNumericEdit("Edit17");
    Edit13 = new TNumericEdit("Edit13");
    Label39 = label(" ", "Label39");
    Label40 = label(" ", "Label40");
    Label35 = label("Td", "Label35");
    Label38 = label(" ", "Label38");
    Label29 = label("Ki", "Label29");
    const int row = layout->rowCount();
    layout->addWidget(Label29, row, 0);
    layout->addWidget(Edit20, row, 1);
    layout->addWidget(Label39, row, 2);
    layout->addWidget(label("Kp", "Label34"), row + 1, 0);
    layout->addWidget(Edit17, row + 1, 1);
    layout->addWidget(Label40, row + 1, 2);
    layout->addWidget(Label35, row + 2, 0);
    layout->addWidget(Edit13, row + 2, 1);
    layout->addWidget(Label38, row + 2, 2);
    for (TNumericEdit* e : {Edit17, Edit20})
        e->OnKey = [this, e](EditKey key) { EditFastzKeyPress(e, key == EditKey::Enter); };
    Edit13->OnKey = [this](EditKey key) { Edit13KeyPress(key == EditKey::Enter); };
    new TPrefixClicks(this, Label39);
    new TPrefixClicks(this, Label40);
    new TClick(
        Label29,
        [this] {
            if (Label29Click)
                Label29Click();
        },
        [] {});
    new TClick(
        Label35, [this] { Label35Click(); },
        [this] {
            if (Label35DblClick)
                Label35DblClick();
        });
}

int TFastZPage::Tag(QLabel* label) const
{
    return label->property("Tag").toInt();
}

void TFastZPage::SetTag(QLabel* label, int tag)
{
    label->setProperty("Tag", tag);
    label->setText(PrefixGlyph(tag));
}

void TFastZPage::FormCreate()
{
    if (MainIni == nullptr)
        return;
    Edit20->setText(MainIni->ReadString(Section, "Edit20Text", "0"));
    Edit17->setText(MainIni->ReadString(Section, "Edit17Text", "0"));
    SetTag(Label39, MainIni->ReadInteger(Section, "Label39Tag", 0));
    SetTag(Label40, MainIni->ReadInteger(Section, "Label40Tag", 0));
    Edit13->setText(MainIni->ReadString(Section, "Edit13TextTd", "0"));
    Edit13->MarkAccepted();
}

void TFastZPage::SendFastZParams()
{
    TInOutForm* form = device_ ? device_() : nullptr;
    if (form == nullptr || !form->Caps.Type29())
        return;
    const bool retracted = form->RetractFlag.load();
    const int32_t s = OsziRequest.HighSpeedControl.load();
    if (retracted) {
        // Module DMA, feedback and scan off while the loop is retracted.
        OsziRequest.HighSpeedControl =
            (s & ~(HscDmaOn | HscFeedbackOn | HscScanOn | HscApplyRequest)) + HscApplyRequest;
        form->OsziTimerTimer();
    }
    TFastZInput in;
    in.Mode = MicroscopeState.FeedbackMode.load();
    in.Retracted = retracted;
    const int slot = std::clamp(MicroscopeState.FeedbackChannel.load() + DacCount, 0, ChannelSlotCount - 1);
    const TIOScale& ch = ChannelTable[slot];
    in.InputInverted = ch.Invers.load();
    if (in.Mode >= FeedbackCmAFM && in.Mode <= FeedbackNcAFMX) {
        double v = MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(in.Mode))].Setpoint;
        if (in.Mode == FeedbackNcAFMR)
            v = v / 100.0 * MicroscopeState.NC100ProcentAmpl;
        const double f = ch.Factor.load() != 0.0f ? ch.Factor.load() : 1.0;
        in.SetpointDigits =
            static_cast<int32_t>(std::clamp(Round(v / f - ch.Offset.load()), -2147483647.0, 2147483647.0));
    }
    in.LockInGainHigh = LockInState.LockInGain >= 1;
    double kp = 0, ki = 0;
    const bool kpOk = ParseNumber(Edit17->text(), kp);
    const bool kiOk = ParseNumber(Edit20->text(), ki);
    in.Kp = kp * PrefixFactor(Tag(Label40));
    in.Ki = ki * PrefixFactor(Tag(Label39));
    in.Td = (MainIni ? MainIni->ReadFloat(Section, "Edit13TextTd", 0.0) : 0.0) * 1e-6;
    in.Alpha = MainIni ? MainIni->ReadFloat(Section, "Edit13Text", 10.0) : 10.0;
    const TFastZWords w = ComputeFastZWords(in);
    // Coefficients the module cannot hold refuse the Ki edit (and the set is
    // not sent), judged as the loop runs once engaged: a retracted loop runs
    // fixed gains. A Kp beyond them on its own is refused too. A refused
    // gain is not stored.
    TFastZInput typed = in;
    typed.Retracted = false;
    const bool fits = !ComputeFastZWords(typed).Overflow;
    typed.Ki = 0.0;
    typed.Td = 0.0;
    const bool kpFits = !ComputeFastZWords(typed).Overflow;
    const auto judge = [this](TNumericEdit* edit, bool ok, const char* key) {
        if (!ok) {
            edit->MarkRefused();
            return;
        }
        edit->MarkAccepted();
        if (MainIni)
            MainIni->WriteString(Section, key, edit->text());
    };
    judge(Edit17, kpOk && kpFits, "Edit17Text");
    judge(Edit20, kiOk && fits, "Edit20Text");
    form->WriteReg(65, w.Setpoint);
    form->WriteReg(82, w.ModeCode);
    if (w.BadAlpha && !tdMode_)
        Edit13->MarkRefused();
    if (!w.Overflow && fits && kpFits && kpOk && kiOk) {
        form->WriteReg(67, w.B1);
        form->WriteReg(68, w.B2);
        form->WriteReg(83, w.Q0);
        form->WriteReg(84, w.Q1);
        form->WriteReg(85, w.Q2);
    }
    if (retracted) {
        OsziRequest.HighSpeedControl = s | HscApplyRequest;
        if (s != 0)
            form->OsziTimerTimer();
    }
}

void TFastZPage::EditFastzKeyPress(TNumericEdit* edit, bool enter)
{
    if (enter) {
        SendFastZParams();
        return;
    }
    if (MainIni) {
        Edit17->setText(MainIni->ReadString(Section, "Edit17Text", "0"));
        Edit20->setText(MainIni->ReadString(Section, "Edit20Text", "0"));
    }
    (void)edit;
    SendFastZParams();
}

void TFastZPage::Edit13KeyPress(bool enter)
{
    const char* key = tdMode_ ? "Edit13TextTd" : "Edit13Text";
    if (!enter) {
        Edit13->setText(MainIni ? MainIni->ReadString(Section, key, tdMode_ ? "0" : "10") : "0");
        Edit13->SetColor(EditColor::White);
        return;
    }
    double v = 0;
    // alpha divides Td: zero or a negative ratio has no filter.
    if (!ParseNumber(Edit13->text(), v) || (!tdMode_ && !(v > 0))) {
        Edit13->MarkRefused();
        return;
    }
    Edit13->MarkAccepted();
    if (MainIni)
        MainIni->WriteString(Section, key, Edit13->text());
    SendFastZParams();
}

void TFastZPage::Label35Click()
{
    if (Edit13->Color() != EditColor::White)
        return;
    tdMode_ = !tdMode_;
    Label35->setText(tdMode_ ? "Td" : "alpha");
    Label38->setText(tdMode_ ? " " : "(3..20)");
    Edit13->setText(MainIni ? MainIni->ReadString(Section, tdMode_ ? "Edit13TextTd" : "Edit13Text", "10") : "10");
    Edit13->MarkAccepted();
}

void TFastZPage::PrefixLabelMouseDown(QLabel* label, bool shift)
{
    const int old = Tag(label);
    const int t = WrapPrefixTag(old + (shift ? 1 : -1));
    TNumericEdit* edit = label == Label39 ? Edit20 : Edit17;
    double v = 0;
    if (ParseNumber(edit->text(), v))
        edit->setText(QString::number(v * std::pow(1000.0, old - t), 'g', 12));
    SetTag(label, t);
    SendFastZParams();
    if (MainIni)
        MainIni->WriteInteger(Section, label == Label39 ? "Label39Tag" : "Label40Tag", t);
}

} // namespace qvt
