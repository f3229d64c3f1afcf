#include "lockin/LockinForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/DriverOpen.h"
#include "device/InOutForm.h"
#include "platform/DeviceDriver.h"
#include "platform/MessageBoxes.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cmath>
#include <numbers>

namespace qvt {

namespace {

const QString Section = "Lockin";
const char* const Quantities[] = {"X", "Y", "R", "Phi"};
const char* const TimeConstantTexts[] = {"0.2 ms", "0.5 ms", "1 ms",   "2 ms",   "5 ms", "10 ms", "20 ms",
                                         "50 ms",  "100ms",  "200 ms", "500 ms", "1 s",  "2 s",   "5 s"};

double UnitFactor(int tag)
{
    switch (tag) {
    case -1:
        return 0.001;
    case 1:
        return 1000.0;
    case 2:
        return 1.0e6;
    default:
        return 1.0;
    }
}

bool Send(DeviceDriver* device, uint32_t code, int32_t word)
{
    return device && device->Control(code, &word, 4, nullptr, 0, nullptr);
}

} // namespace

TLockinForm* LockinForm = nullptr;

TLockinForm::TLockinForm(QWidget* parent) : QWidget(parent)
{
    LockinForm = this;
    setWindowTitle("LockIn");
    BuildUi();
}

TLockinForm::~TLockinForm()
{
    if (LockinForm == this)
        LockinForm = nullptr;
}

void TLockinForm::BuildUi()
{
    auto* grid = new QGridLayout(this);
    const char* names[] = {"", "Frequency", "Amplitude", "Phase", "Harmonic"};
    const char* unitTexts[] = {"", "Hz", "V", "grd", ""};
    for (int e = 1; e <= 4; ++e) {
        grid->addWidget(new QLabel(names[e], this), e - 1, 0);
        edits_[e] = new QLineEdit(this);
        edits_[e]->setObjectName(QString("Edit%1").arg(e));
        grid->addWidget(edits_[e], e - 1, 1);
        units_[e] = new QLabel(unitTexts[e], this);
        grid->addWidget(units_[e], e - 1, 2);
        connect(edits_[e], &QLineEdit::returnPressed, this, [this, e] { EnterText(e, edits_[e]->text()); });
        connect(edits_[e], &QLineEdit::textEdited, this,
                [this, e] { edits_[e]->setStyleSheet("background-color: silver"); });
    }
    for (int e = 1; e <= 2; ++e) {
        auto* unitButton = new QPushButton(units_[e]->text(), this);
        unitButton->setFlat(true);
        delete grid->replaceWidget(units_[e], unitButton); // the old item is ours to free
        units_[e]->hide();
        connect(unitButton, &QPushButton::clicked, this, [this, e] { UnitLabelClick(e); });
        unitButtons_[e] = unitButton;
    }
    // The frequency's context menu: the external reference cannot be chosen
    // on this amplifier, so the item stays disabled.
    extReference_ = new QAction("ext. Referenz", this);
    extReference_->setCheckable(true);
    extReference_->setEnabled(false);
    connect(extReference_, &QAction::triggered, this, &TLockinForm::ItemExtInputClick);
    edits_[1]->setContextMenuPolicy(Qt::ActionsContextMenu);
    edits_[1]->addAction(extReference_);
    beepItem_ = new QAction("on overload: beep", this);
    colourItem_ = new QAction("on overload: change color", this);
    for (QAction* a : {beepItem_, colourItem_}) {
        a->setCheckable(true);
        addAction(a);
    }
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(beepItem_, &QAction::triggered, this, &TLockinForm::SetOverloadBeep);
    connect(colourItem_, &QAction::triggered, this, &TLockinForm::SetOverloadColour);
    const char* gains[] = {"high", "normal", "low"};
    const int gainValues[] = {1, 10, 100};
    for (int g = 0; g < 3; ++g) {
        gain_[g] = new QRadioButton(gains[g], this);
        grid->addWidget(gain_[g], 4, g);
        const int value = gainValues[g];
        connect(gain_[g], &QRadioButton::clicked, this, [this, value] {
            SetGain(value);
            StoreGainRadios();
        });
    }
    timeConstant_ = new QComboBox(this);
    timeConstant_->setObjectName("TimeConstBox");
    for (const char* t : TimeConstantTexts)
        timeConstant_->addItem(t);
    rollOff_ = new QComboBox(this);
    rollOff_->setObjectName("RollOffBox");
    rollOff_->addItems({"6 db/oct", "12 db/oct", "24 db/oct"});
    grid->addWidget(timeConstant_, 5, 0);
    grid->addWidget(rollOff_, 5, 1);
    auto filterChange = [this] { SetFilter(timeConstant_->currentIndex(), rollOff_->currentIndex()); };
    connect(timeConstant_, &QComboBox::activated, this, filterChange);
    connect(rollOff_, &QComboBox::activated, this, filterChange);
    for (int s = 0; s < 2; ++s) {
        quantities_[s] = new QComboBox(this);
        for (const char* q : Quantities)
            quantities_[s]->addItem(q);
        values_[s] = new QLabel(this);
        values_[s]->setMinimumWidth(140);
        grid->addWidget(quantities_[s], 6 + s, 0);
        grid->addWidget(values_[s], 6 + s, 1, 1, 2);
        connect(quantities_[s], &QComboBox::activated, this, [this, s](int q) { SetDisplayQuantity(s, q); });
        values_[s]->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(values_[s], &QLabel::customContextMenuRequested, this,
                [this, s](const QPoint&) { FormatMenu(s, values_[s]->mapToGlobal(QPoint(0, values_[s]->height()))); });
    }
    timer_ = new QTimer(this);
    timer_->setInterval(100);
    connect(timer_, &QTimer::timeout, this, &TLockinForm::Timer1Timer);
}

bool TLockinForm::FilterRecord(int timeConstant, int slope, TSetFilterRecord& out) const
{
    return tables_.Record(timeConstant, slope, out);
}

void TLockinForm::FormCreate(TInOutForm* link)
{
    link_ = link;
    TQVTIniFile* ini = MainIni;
    if (ini) {
        for (int i = 0; i < 4; ++i) {
            ranges_.Scale[i] = ini->ReadFloat(Section, QString("Scale%1").arg(i), 1.0);
            ranges_.Switch[i] = ini->ReadFloat(Section, QString("Switch%1").arg(i), ranges_.Switch[i]);
        }
    }
    // With the built-in multi lock-in this window has no role; left running it
    // would rescale the multi lock-in's LIA 1 X/Y channels and reload its filters.
    if (MultiLockInPresent) {
        hide();
        return;
    }
    device_ = OpenLockInDevice();
    if (!device_) {
        hide();
        return;
    }
    if (ini) {
        move(ini->ReadFormPosLeft(Section, 10), ini->ReadInteger(Section, "FormPosTop", 10));
        freq_ = ini->ReadFloat(Section, "freq", 40000.0);
        // A frequency no word holds is never sent; the default is, and the
        // settings say so rather than bringing the other back at every start.
        if (!LockinFrequencyWord(freq_).Ok) {
            freq_ = 40000.0;
            ini->WriteFloat(Section, "Freq", freq_);
        }
        ampl_ = ini->ReadFloat(Section, "Ampl", 100.0);
        phase_ = ini->ReadFloat(Section, "Phase", 0.0);
        pll_ = ini->ReadInteger(Section, "PLLOn", 0) != 0;
        harm_ = ini->ReadInteger(Section, "Harm", 1);
        for (int s = 0; s < 2; ++s) {
            format_[s] = ini->ReadInteger(Section, QString("Dispplay%1ActivMenuItem").arg(s), 0);
            SetDisplayQuantity(s, std::clamp(ini->ReadInteger(Section, QString("Displ%1Ch").arg(s + 1), s), 0, 3));
        }
        timeConstant_->setCurrentIndex(std::clamp(ini->ReadInteger(Section, "TimeConst", 0), 0, 13));
        rollOff_->setCurrentIndex(std::clamp(ini->ReadInteger(Section, "RollOff", 0), 0, 2));
        statusRed_ = ini->ReadBool(Section, "InputStatusRed", true);
        statusBeep_ = ini->ReadBool(Section, "InputStatusBeep", true);
        unit_[1] = ini->ReadInteger(Section, "Label2Tag", 0);
        unit_[2] = ini->ReadInteger(Section, "Label3Tag", 0);
    }
    beepItem_->setChecked(statusBeep_);
    colourItem_->setChecked(statusRed_);
    extReference_->setChecked(pll_);
    edits_[1]->setEnabled(!pll_);
    const int gain = ini && ini->ReadBool(Section, "InputRadio1", false)     ? 1
                     : ini && ini->ReadBool(Section, "InputRadio10", false)  ? 10
                     : ini && ini->ReadBool(Section, "InputRadio100", false) ? 100
                                                                             : 10;
    gain_[gain == 1 ? 0 : gain == 10 ? 1 : 2]->setChecked(true);
    SetGain(gain);
    const double storedAmpl = ampl_;
    const int storedHarm = harm_;
    ApplySettings();
    // Shown and kept as sent: a limited amplitude or harmonic replaces the stored one.
    if (ini && ampl_ != storedAmpl)
        ini->WriteFloat(Section, "Ampl", ampl_);
    if (ini && harm_ != storedHarm)
        ini->WriteInteger(Section, "Harm", harm_);
    ShowSettings();
    timer_->start();
    // Shown at start as the operator left it: the main window keeps its
    // toolbar buttons under [Main]; an older [Software] entry still counts.
    const bool shown =
        UserIni && UserIni->ReadBool("Main", "LockinButton", UserIni->ReadBool("Software", "LockinButton", false));
    setVisible(shown);
    if (SetMainButton)
        SetMainButton(shown);
}

void TLockinForm::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (SetMainButton)
        SetMainButton(false);
}

void TLockinForm::FormDestroy()
{
    timer_->stop();
    if (device_ && MainIni) {
        MainIni->WriteInteger(Section, "FormPosLeft", x());
        MainIni->WriteInteger(Section, "FormPosTop", y());
        MainIni->WriteInteger(Section, "Displ1Ch", quantity_[0]);
        MainIni->WriteInteger(Section, "Displ2Ch", quantity_[1]);
        MainIni->WriteInteger(Section, "TimeConst", timeConstant_->currentIndex());
        MainIni->WriteInteger(Section, "RollOff", rollOff_->currentIndex());
    }
    device_.reset();
}

void TLockinForm::ApplySettings()
{
    SetAmplitude(ampl_);
    SetFrequency(freq_);
    SetHarmonicPhase();
    SetFilter(timeConstant_->currentIndex(), rollOff_->currentIndex());
}

void TLockinForm::SetAmplitude(double volts)
{
    const TLockinAmplitude a = LockinAmplitudeWord(volts, ranges_);
    ampl_ = a.Volts;
    control_ = (control_ & ~LockinRangeMask) | a.RangeBits;
    Send(device_.get(), IOCTL_LOCKIN_CONTROL, control_);
    if (a.Clipped)
        ShowMessage(MsgKind::Warning, "Scalefactor from reference-amplitude probeably wrong!\r                     "
                                      "Check ini-file!  ");
    Send(device_.get(), IOCTL_LOCKIN_AMPLITUDE, a.Word);
}

void TLockinForm::SetFrequency(double hz)
{
    const TLockinFrequency f = LockinFrequencyWord(hz);
    if (!f.Ok)
        return;
    Send(device_.get(), IOCTL_LOCKIN_FREQUENCY, static_cast<int32_t>(f.Word));
    freq_ = f.Hz;
}

void TLockinForm::SetHarmonicPhase()
{
    harm_ = std::clamp(harm_, 0, 15);
    phase_ = LockinPhaseDegrees(LockinPhaseCode(phase_));
    Send(device_.get(), IOCTL_LOCKIN_PHASE, static_cast<int32_t>(LockinHarmonicPhaseWord(harm_, pll_, phase_)));
}

bool TLockinForm::SetGain(int gain)
{
    int32_t bits = 0;
    const bool known = LockinGainBits(gain, bits);
    if (!known) {
        ShowMessage(MsgKind::Warning, "Gain does not exist!");
        gain = 1;
    }
    control_ = (control_ & ~LockinGainMask) | bits;
    Send(device_.get(), IOCTL_LOCKIN_CONTROL, control_);
    const char* key = gain == 1 ? "hundred" : gain == 10 ? "ten" : "one";
    const double def = gain == 1 ? 100.0 : gain == 10 ? 10.0 : 1.0;
    inputScale_ = MainIni ? MainIni->ReadFloat("LOCKIN", key, def) : def;
    if (inputScale_ > 0.0 && std::isfinite(inputScale_)) {
        ChannelTable[14].Factor = static_cast<float>(inputScale_);
        ChannelTable[15].Factor = static_cast<float>(inputScale_);
    }
    if (InputScaleChanged)
        InputScaleChanged();
    return known;
}

void TLockinForm::SetFilter(int timeConstant, int rollOff)
{
    if (!link_)
        return;
    for (int filter = 0; filter < 2; ++filter)
        link_->SetLockInFilter(filter, timeConstant, rollOff);
}

int32_t TLockinForm::ReadStatus(bool* ok)
{
    int32_t status = 0;
    const bool done = device_ && device_->Control(IOCTL_LOCKIN_STATUS, nullptr, 0, &status, 4, nullptr);
    if (ok)
        *ok = done;
    return done ? status : -1;
}

void TLockinForm::Timer1Timer()
{
    if (!link_ || !device_)
        return;
    const double x = link_->ReadReg(-14) * inputScale_;
    const double y = link_->ReadReg(-15) * inputScale_;
    const double v[4] = {x, y, std::hypot(x, y), std::atan2(y, x) * 180.0 / std::numbers::pi};
    for (int s = 0; s < 2; ++s) {
        const TLockinDisplayFormat& f = display_[s];
        values_[s]->setText(FixedPointText(v[quantity_[s]] * f.Multiplier, f.Precision, f.Digits) + " " + f.Unit);
    }
    const int32_t status = ReadStatus();
    if ((status & LockInStatusOverload) && statusBeep_)
        Beep();
    if (status == lastStatus_)
        return;
    lastStatus_ = status;
    if (status & LockInStatusFault) {
        Beep();
        timer_->stop();
        ShowMessage(MsgKind::Error, "Problems with device driver - or no hardware found!");
    }
    for (QRadioButton* r : gain_)
        r->setStyleSheet("");
    if (statusRed_ && (status & (LockInStatusOverload | LockInStatusFault))) {
        for (QRadioButton* r : gain_)
            if (r->isChecked())
                r->setStyleSheet("color: red");
    }
}

bool TLockinForm::EnterText(int edit, const QString& input)
{
    if (edit < 1 || edit > 4)
        return false;
    QString text = input;
    if (text.contains('k')) {
        unit_[edit] = 1;
        text.remove('k');
    }
    if (text.contains('m')) {
        unit_[edit] = -1;
        text.remove('m');
    }
    if (text.contains('M')) {
        unit_[edit] = 2;
        text.remove('M');
    }
    double value = 0.0;
    if (!ParseNumber(text, value)) {
        edits_[edit]->setStyleSheet("background-color: red");
        return false;
    }
    value *= UnitFactor(edit == 1 || edit == 2 ? unit_[edit] : 0);
    // A frequency no word holds is refused: nothing would be sent.
    if (edit == 1 && !LockinFrequencyWord(value).Ok) {
        edits_[edit]->setStyleSheet("background-color: red");
        return false;
    }
    const char* key = edit == 1 ? "Freq" : edit == 2 ? "Ampl" : edit == 3 ? "Phase" : "Harm";
    if (edit == 1)
        freq_ = value;
    else if (edit == 2)
        ampl_ = value;
    else if (edit == 3)
        phase_ = value;
    else
        harm_ = static_cast<int>(std::clamp(Round(value), -1.0e6, 1.0e6));
    edits_[edit]->setStyleSheet("");
    ApplySettings();
    // Stored as sent: the amplitude and harmonic limited, the frequency and
    // phase those of their words.
    const double applied = edit == 1 ? freq_ : edit == 2 ? ampl_ : edit == 3 ? phase_ : harm_;
    if (MainIni)
        MainIni->WriteFloat(Section, key, applied);
    ShowSettings();
    return true;
}

void TLockinForm::ShowSettings()
{
    unit_[1] = std::clamp(unit_[1], -1, 2);
    unit_[2] = std::clamp(unit_[2], -1, 0);
    static const char* fUnits[] = {"mHz", "Hz", "kHz", "MHz"};
    const int fu = unit_[1];
    const double f = freq_ / UnitFactor(fu);
    edits_[1]->setText(fu == -1  ? FixedPointText(f, 6, 0)
                       : fu == 0 ? FixedPointText(f, 9, 3)
                                 : FixedPointText(f, 7, 6));
    units_[1]->setText(fUnits[fu + 1]);
    unitButtons_[1]->setText(fUnits[fu + 1]);
    const bool mv = unit_[2] == -1;
    edits_[2]->setText(mv ? FixedPointText(ampl_ * 1000.0, 4, 0) : FixedPointText(ampl_, 4, 3));
    units_[2]->setText(mv ? "mV" : "V");
    unitButtons_[2]->setText(mv ? "mV" : "V");
    edits_[3]->setText(FixedPointText(phase_, 4, 1));
    edits_[4]->setText(QString::number(harm_));
}

void TLockinForm::StoreGainRadios()
{
    if (!MainIni)
        return;
    MainIni->WriteBool(Section, "InputRadio1", gain_[0]->isChecked());
    MainIni->WriteBool(Section, "InputRadio10", gain_[1]->isChecked());
    MainIni->WriteBool(Section, "InputRadio100", gain_[2]->isChecked());
}

void TLockinForm::SetDisplayQuantity(int slot, int quantity)
{
    if (slot < 0 || slot > 1 || quantity < 0 || quantity > 3)
        return;
    quantity_[slot] = quantity;
    quantities_[slot]->setCurrentIndex(quantity);
    if (quantity == 3) {
        display_[slot] = {QString::fromUtf8("°"), 1.0, 6, 3};
        return;
    }
    display_[slot] = {ChannelTable[14].UnitName, 1.0, 11, 0};
    if (display_[slot].Unit.endsWith('V'))
        SetDisplayFormat(slot, format_[slot]);
}

void TLockinForm::SetDisplayFormat(int slot, int item)
{
    if (slot < 0 || slot > 1)
        return;
    format_[slot] = item;
    display_[slot] = LockinDisplayFormat(item, ChannelTable[13].UnitName);
    if (MainIni)
        MainIni->WriteInteger(Section, QString("Dispplay%1ActivMenuItem").arg(slot), item);
}

QString TLockinForm::DisplayText(int slot) const
{
    return slot >= 0 && slot < 2 ? values_[slot]->text() : QString();
}

bool TLockinForm::TimerActive() const
{
    return timer_->isActive();
}

void TLockinForm::UnitLabelClick(int edit)
{
    if (edit != 1 && edit != 2)
        return;
    const int last = edit == 1 ? 2 : 0;
    unit_[edit] = unit_[edit] >= last ? -1 : unit_[edit] + 1;
    if (MainIni)
        MainIni->WriteInteger(Section, edit == 1 ? "Label2Tag" : "Label3Tag", unit_[edit]);
    ShowSettings();
}

QString TLockinForm::UnitText(int edit) const
{
    return edit == 1 || edit == 2 ? unitButtons_[edit]->text() : QString();
}

void TLockinForm::ItemExtInputClick()
{
    pll_ = !pll_;
    extReference_->setChecked(pll_);
    if (MainIni)
        MainIni->WriteInteger(Section, "PLLOn", pll_ ? 1 : 0);
    edits_[1]->setEnabled(!pll_);
    ApplySettings();
    if (!pll_) {
        freq_ = MainIni ? MainIni->ReadFloat(Section, "freq", 1000.0) : 1000.0;
        ShowSettings();
    }
}

void TLockinForm::SetOverloadBeep(bool on)
{
    statusBeep_ = on;
    beepItem_->setChecked(on);
    if (MainIni)
        MainIni->WriteBool(Section, "InputStatusBeep", on);
}

void TLockinForm::SetOverloadColour(bool on)
{
    statusRed_ = on;
    colourItem_->setChecked(on);
    if (MainIni)
        MainIni->WriteBool(Section, "InputStatusRed", on);
}

bool TLockinForm::FormatMenuShown(int slot) const
{
    return slot >= 0 && slot < 2 && display_[slot].Unit.trimmed().endsWith('V');
}

void TLockinForm::FormatMenu(int slot, const QPoint& at)
{
    static const char* const items[] = {"#.#### V",       "###.## mV",      "##.### mV",     "#.#### mV",
                                        "###.## \u00B5V", "##.### \u00B5V", "#.### \u00B5V", "full"};
    QMenu menu;
    if (FormatMenuShown(slot)) {
        for (int i = 0; i < 8; ++i) {
            QAction* a =
                menu.addAction(QString::fromUtf8(items[i]), this, [this, slot, i] { SetDisplayFormat(slot, i); });
            a->setCheckable(true);
            a->setChecked(format_[slot] == i);
        }
    }
    if (!menu.isEmpty())
        menu.exec(at);
}

} // namespace qvt
