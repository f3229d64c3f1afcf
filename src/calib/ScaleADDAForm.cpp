#include "calib/ScaleADDAForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace qvt {

TScaleADDAForm* ScaleADDAForm = nullptr;

namespace {
const QString TestMic = "TestMic";
constexpr int TimerMs = 300;

const char* const Instructions =
    "1. Choose the DAC and the ADC of its sensor. Set the test voltage to the top of the range and enter the "
    "meter's reading of the DAC output: the scale.\n"
    "2. Set the test voltage to 0 and enter the reading again: the offset. Repeat 1 and 2 once more.\n"
    "3. Set a test voltage, enter the amplifier's output reading and the piezo's sensitivity.\n"
    "4. Choose Ramp and enter the sensor's travel as measured.\n"
    "5. In AD mode apply 0 V and enter 0, then a known voltage and enter what the display should show.";

QString Num(double v)
{
    return GeneralText(v, 6);
}
} // namespace

TScaleADDAForm::TScaleADDAForm(TInOutForm& link, QWidget* parent)
    : QWidget(parent, Qt::Window), link_(link),
      chain_({[&link](int32_t reg, int32_t value) { link.WriteReg(reg, value); },
              [&link](int32_t reg) { return link.ReadReg(reg); },
              [&link](int slot) { return static_cast<double>(link.ReadChannelPhys(slot)); }})
{
    setObjectName("ScaleADDAForm");
    setWindowTitle("Scale AD/DA");
    auto* top = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    top->addLayout(left);

    auto* select = new QGridLayout;
    left->addLayout(select);
    testCombo_ = new QComboBox(this);
    testCombo_->setObjectName("TestChannelCombo");
    dmsCombo_ = new QComboBox(this);
    dmsCombo_->setObjectName("DMSChannelCombo");
    select->addWidget(new QLabel("DAC:", this), 0, 0);
    select->addWidget(testCombo_, 0, 1);
    select->addWidget(new QLabel("ADC:", this), 1, 0);
    select->addWidget(dmsCombo_, 1, 1);
    auto* scaleGroup = new QGroupBox("Scale", this);
    auto* sg = new QHBoxLayout(scaleGroup);
    daRadio_ = new QRadioButton("DA", scaleGroup);
    adRadio_ = new QRadioButton("AD", scaleGroup);
    daRadio_->setChecked(true);
    sg->addWidget(daRadio_);
    sg->addWidget(adRadio_);
    select->addWidget(scaleGroup, 0, 2);
    auto* modeGroup = new QGroupBox("Mode", this);
    auto* mg = new QHBoxLayout(modeGroup);
    staticRadio_ = new QRadioButton("static", modeGroup);
    rampRadio_ = new QRadioButton("Ramp", modeGroup);
    staticRadio_->setChecked(true);
    mg->addWidget(staticRadio_);
    mg->addWidget(rampRadio_);
    select->addWidget(modeGroup, 1, 2);

    auto* chainGroup = new QGroupBox("Chain", this);
    auto* cg = new QGridLayout(chainGroup);
    const char* chainNames[6] = {"test voltage [V]", "measured DAC [V]", "measured HVA [V]",
                                 "piezo [nm/V]",     "measured travel",  "display should show"};
    for (int tag = 1; tag <= 6; ++tag) {
        auto* edit = new TNumericEdit("ChainEdit" + QString::number(tag), chainGroup);
        edit->setProperty("Tag", tag);
        edit->OnKey = [this, tag](EditKey key) {
            if (key == EditKey::Enter)
                EditKeyPress(tag);
            else
                ShowCalibration();
        };
        chainEdits_[static_cast<size_t>(tag - 1)] = edit;
        cg->addWidget(new QLabel(chainNames[tag - 1], chainGroup), tag - 1, 0);
        cg->addWidget(edit, tag - 1, 1);
    }
    for (int tag = 1; tag <= 2; ++tag) {
        auto* edit = new TNumericEdit(tag == 1 ? "MinEdit" : "MaxEdit", chainGroup);
        edit->OnKey = [this, tag](EditKey key) {
            if (key == EditKey::Enter)
                MinMaxEditKeyPress(tag);
            else
                ShowCalibration();
        };
        minMaxEdits_[static_cast<size_t>(tag - 1)] = edit;
        cg->addWidget(new QLabel(tag == 1 ? "Min: [V]" : "Max: [V]", chainGroup), 6 + tag, 0);
        cg->addWidget(edit, 6 + tag, 1);
    }
    sgDiffLabel_ = new QLabel(chainGroup);
    sgDiffLabel_->setObjectName("SGDiffLabel");
    cg->addWidget(new QLabel("sensor travel:", chainGroup), 9, 0);
    cg->addWidget(sgDiffLabel_, 9, 1);
    left->addWidget(chainGroup);
    chainText_ = new QLabel(this);
    chainText_->setObjectName("ChainLabel");
    chainText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    left->addWidget(chainText_);
    impossible_ = new QLabel("Scaling impossible for now", this);
    impossible_->setObjectName("ImpossibleLabel");
    impossible_->setStyleSheet("color: red");
    impossible_->hide();
    left->addWidget(impossible_);

    auto* scales = new QGroupBox("Channel scales (unit, scale, min, max, offset)", this);
    auto* sc = new QGridLayout(scales);
    sc->addWidget(new QLabel("DAC", scales), 0, 0);
    sc->addWidget(new QLabel("ADC", scales), 1, 0);
    for (int tag = 1; tag <= 5; ++tag) {
        auto* d = new QLineEdit(scales);
        d->setObjectName("ScaleEdit" + QString::number(tag));
        auto* a = new QLineEdit(scales);
        a->setObjectName("SGScaleEdit" + QString::number(tag));
        connect(d, &QLineEdit::returnPressed, this, [this, tag] { ScaleEditKeyPress(tag); });
        connect(a, &QLineEdit::returnPressed, this, [this, tag] { SGScaleEditKeyPress(tag); });
        connect(d, &QLineEdit::textEdited, this, [this, d] { Paint(d, "silver"); });
        connect(a, &QLineEdit::textEdited, this, [this, a] { Paint(a, "silver"); });
        d->setMinimumWidth(tag == 1 ? 40 : 80);
        a->setMinimumWidth(tag == 1 ? 40 : 80);
        dacEdits_[static_cast<size_t>(tag - 1)] = d;
        adcEdits_[static_cast<size_t>(tag - 1)] = a;
        sc->addWidget(d, 0, tag);
        sc->addWidget(a, 1, tag);
    }
    dacInvers_ = new QCheckBox("Invers", scales);
    dacInvers_->setObjectName("InversCheck");
    adcInvers_ = new QCheckBox("Invers", scales);
    adcInvers_->setObjectName("SGInversCheck");
    sc->addWidget(dacInvers_, 0, 6);
    sc->addWidget(adcInvers_, 1, 6);
    left->addWidget(scales);
    auto* defaults = new QPushButton("Default", this);
    defaults->setObjectName("DefaultButton");
    left->addWidget(defaults);

    auto* right = new QVBoxLayout;
    top->addLayout(right);
    grid_ = new QTableWidget(8, 4, this);
    grid_->setObjectName("RegisterGrid");
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    grid_->setMinimumWidth(380);
    grid_->setMinimumHeight(270);
    right->addWidget(grid_);
    auto* memo = new QPlainTextEdit(QString::fromLatin1(Instructions), this);
    memo->setObjectName("Memo1");
    memo->setReadOnly(true);
    memo->setMinimumWidth(380);
    right->addWidget(memo);
    chainText_->setMinimumHeight(110);
    chainText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    timer1_ = new QTimer(this);
    timer1_->setInterval(TimerMs);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(testCombo_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling_)
            TestChannelComboChange(i);
    });
    connect(dmsCombo_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling_)
            DMSChannelComboChange(i);
    });
    connect(adRadio_, &QRadioButton::toggled, this, [this](bool on) { RadioGroup2Click(on); });
    connect(rampRadio_, &QRadioButton::toggled, this, [this](bool on) { RadioGroup1Click(on); });
    connect(defaults, &QPushButton::clicked, this, [this] { DefaultButtonClick(); });
    connect(dacInvers_, &QCheckBox::clicked, this, [this](bool on) {
        ChannelTable[chain_.DacSlot()].Invers = on;
        SaveDacScale();
    });
    connect(adcInvers_, &QCheckBox::clicked, this, [this](bool on) {
        ChannelTable[chain_.ADChannelSlot].Invers = on;
        SaveAdcScale();
    });
    if (ScaleADDAForm == nullptr)
        ScaleADDAForm = this;
}

TScaleADDAForm::~TScaleADDAForm()
{
    if (ScaleADDAForm == this)
        ScaleADDAForm = nullptr;
}

void TScaleADDAForm::FormCreate()
{
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft(TestMic, 10), MainIni->ReadInteger(TestMic, "FormPosTop", 10));
    QStringList rows;
    for (int r = 0; r < 8; ++r)
        rows << QString::number(r);
    grid_->setVerticalHeaderLabels(rows);
    grid_->setHorizontalHeaderLabels({"+0x0", "+0x8", "+0x10", "+0x18"});
    grid_->setCornerButtonEnabled(false);
    grid_->setToolTip("Addr");
}

void TScaleADDAForm::FormDestroy()
{
    if (MainIni != nullptr) {
        MainIni->WriteInteger(TestMic, "FormPosLeft", x());
        MainIni->WriteInteger(TestMic, "FormPosTop", y());
    }
}

void TScaleADDAForm::FormActivate()
{
    filling_ = true;
    testCombo_->clear();
    for (int slot = 0; slot < 8; ++slot)
        testCombo_->addItem(ChannelTable[slot].Label);
    dmsCombo_->clear();
    for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot)
        dmsCombo_->addItem(ChannelTable[slot].Label);
    int index = MainIni ? MainIni->ReadInteger(TestMic, "TestChannelCombo", 0) : 0;
    if (index < 0 || index >= 8)
        index = 0;
    testCombo_->setCurrentIndex(index);
    filling_ = false;
    TestChannelComboChange(index);
}

void TScaleADDAForm::TestChannelComboChange(int index)
{
    chain_.TestChannel = std::clamp(index, 0, 7);
    if (MainIni != nullptr)
        MainIni->WriteInteger(TestMic, "TestChannelCombo", chain_.TestChannel);
    RefreshChannel();
}

void TScaleADDAForm::DMSChannelComboChange(int index)
{
    if (index < 0)
        return;
    chain_.ADChannelSlot = index + FirstAdcSlot;
    if (MainIni != nullptr) {
        const int ch = chain_.TestChannel;
        if (!chain_.ADMode && (ch == 0 || ch == 2 || ch == 3))
            MainIni->WriteInteger("HardLin", ch == 0 ? "InZ" : ch == 2 ? "InX" : "InY", index);
        else
            MainIni->WriteInteger(TestMic, "ADChannel", index);
    }
    RefreshChannel();
}

void TScaleADDAForm::RadioGroup2Click(bool adMode)
{
    chain_.ADMode = adMode;
    RefreshChannel();
}

void TScaleADDAForm::RadioGroup1Click(bool ramp)
{
    chain_.RampMode = ramp;
    if (ramp && chain_.OutputRefused())
        ShowMessage(MsgKind::Warning, "Not possible now!\nPlease retract first!", MsgButtons::Ok);
    if (ramp)
        chain_.StartRamp();
    else
        chain_.SetTestVolt(chain_.TestVolt);
}

bool TScaleADDAForm::AdcShown() const
{
    return chain_.ADMode || (chain_.DrivesPiezo() && HardLinActive && HardLinActive());
}

double TScaleADDAForm::UnitPrefix() const
{
    return SIPrefixFactor(ChannelTable[chain_.DacSlot()].UnitName);
}

void TScaleADDAForm::RefreshChannel()
{
    for (TNumericEdit* e : chainEdits_)
        e->SetColor(EditColor::White);
    // The input paired with this output: the sensor of Z, X or Y in DA mode.
    const int ch = chain_.TestChannel;
    int adcIndex = 0;
    if (MainIni != nullptr) {
        if (!chain_.ADMode && (ch == 0 || ch == 2 || ch == 3))
            adcIndex = MainIni->ReadInteger("HardLin", ch == 0 ? "InZ" : ch == 2 ? "InX" : "InY", 0);
        else
            adcIndex = MainIni->ReadInteger(TestMic, "ADChannel", 0);
    }
    adcIndex = std::clamp(adcIndex, 0, AdcCount - 1);
    chain_.ADChannelSlot = adcIndex + FirstAdcSlot;
    filling_ = true;
    dmsCombo_->setCurrentIndex(adcIndex);
    filling_ = false;
    chain_.LoadCalibration(MainIni, ScannerIni ? ScannerIni() : nullptr);
    const int dncChannel = MainIni ? MainIni->ReadInteger("dnc", "channel", 12) : 12;
    impossible_->setVisible(adcIndex == dncChannel || ChannelTable[chain_.ADChannelSlot].Address.load() == 11);
    const TIOScale& dac = ChannelTable[chain_.DacSlot()];
    const TIOScale& adc = ChannelTable[chain_.ADChannelSlot];
    dacEdits_[0]->setText(dac.UnitName);
    dacEdits_[2]->setText(QString::number(dac.MinRaw.load()));
    dacEdits_[3]->setText(QString::number(dac.MaxRaw.load()));
    dacInvers_->setChecked(dac.Invers.load());
    adcEdits_[0]->setText(adc.UnitName);
    adcEdits_[2]->setText(QString::number(adc.MinRaw.load()));
    adcEdits_[3]->setText(QString::number(adc.MaxRaw.load()));
    adcInvers_->setChecked(adc.Invers.load());
    for (QLineEdit* e : dacEdits_)
        Paint(e, "white");
    for (QLineEdit* e : adcEdits_)
        Paint(e, "white");
    ShowCalibration();
    if (!chain_.ADMode)
        chain_.SetTestVolt(chain_.TestVolt);
}

void TScaleADDAForm::ShowCalibration()
{
    const double p = UnitPrefix();
    const TIOScale& dac = ChannelTable[chain_.DacSlot()];
    QString text = QString("Min: %1 V  Max: %2 V\nDAC: %3 V/digit, offset %4 V, out %5 V")
                       .arg(Num(chain_.MinVolt), Num(chain_.MaxVolt), Num(chain_.DAScale), Num(chain_.DAOffset),
                            Num(chain_.TestVolt));
    if (chain_.DrivesPiezo() && !chain_.ADMode) {
        const double hva = chain_.TestVolt * chain_.HvaGain;
        text += QString("\nHVA: gain %1, out %2 V\nPiezo: %3 nm/V, travel %4 nm")
                    .arg(Num(chain_.HvaGain), Num(hva), Num(chain_.PiezoSens), Num(hva * chain_.PiezoSens));
    }
    if (AdcShown())
        text += QString("\nADC: %1 %3/digit, offset %2 %3")
                    .arg(Num(chain_.AdcScaleValue()), Num(chain_.AdcOffsetValue()),
                         ChannelTable[chain_.ADChannelSlot].UnitName);
    chainText_->setText(text);
    dacEdits_[1]->setText(Num(chain_.DacScaleValue(p)));
    dacEdits_[4]->setText(Num(chain_.DacOffsetValue(p)));
    adcEdits_[1]->setText(Num(chain_.AdcScaleValue()));
    adcEdits_[4]->setText(Num(chain_.AdcOffsetValue()));
    Q_UNUSED(dac);
    sgDiffLabel_->setText(Num(chain_.SGDiff));
    chainEdits_[0]->setText(Num(chain_.TestVolt));
    minMaxEdits_[0]->setText(Num(chain_.MinVolt));
    minMaxEdits_[1]->setText(Num(chain_.MaxVolt));
    // A zero test voltage measures offsets: their labels show it.
    chainEdits_[1]->setStyleSheet(chain_.TestVolt == 0.0 ? "QLineEdit { border: 2px solid lightblue; }" : "");
}

void TScaleADDAForm::EditKeyPress(int tag)
{
    TNumericEdit* edit = ChainEdit(tag);
    double value = 0.0;
    bool ok = ParseNumber(edit->text(), value);
    if (ok) {
        switch (tag) {
        case 1:
            if (chain_.OutputRefused()) {
                ShowMessage(MsgKind::Warning, "Not possible now!\nPlease retract first!", MsgButtons::Ok);
                ok = false;
                break;
            }
            ok = chain_.SetTestVolt(value);
            break;
        case 2: {
            double lo = 0.0;
            double hi = 0.0;
            const bool readable = ParseNumber(dacEdits_[2]->text(), lo) && ParseNumber(dacEdits_[3]->text(), hi);
            ok = chain_.MeasuredDacVolts(value, readable, lo, hi);
            if (ok && chain_.TestVolt != 0.0 && MainIni != nullptr)
                MainIni->WriteFloat(TestMic, "DAScale" + QString::number(chain_.TestChannel), chain_.DAScale);
            break;
        }
        case 3:
            ok = chain_.MeasuredHvaVolts(value);
            if (ok && MainIni != nullptr)
                MainIni->WriteFloat(TestMic, "Gain" + QString::number(chain_.TestChannel), chain_.HvaGain);
            break;
        case 4: {
            ok = chain_.SetPiezoSens(value);
            const int ch = chain_.TestChannel;
            TQVTIniFile* scanner = ScannerIni ? ScannerIni() : nullptr;
            if (ok && scanner != nullptr && (ch == 0 || ch == 2 || ch == 3))
                scanner->WriteFloat("Gains", ch == 0 ? "ZGain" : ch == 2 ? "XGain" : "YGain", chain_.PiezoSens);
            break;
        }
        case 5:
            ok = chain_.MeasuredTravel(value);
            break;
        case 6:
            ok = chain_.DisplayShould(value);
            break;
        default:
            ok = false;
        }
    }
    if (!ok) {
        edit->MarkRefused();
        return;
    }
    edit->MarkAccepted();
    ShowCalibration();
    if (tag > 1)
        SaveDacScale();
    if (tag >= 5 && AdcShown())
        SaveAdcScale();
}

void TScaleADDAForm::ScaleEditKeyPress(int tag)
{
    QLineEdit* edit = DacEdit(tag);
    TIOScale& dac = ChannelTable[chain_.DacSlot()];
    if (tag == 1) {
        // Z, X and Y: the output's unit is the sensor's, or the chain does not close.
        if (chain_.DrivesPiezo() && AdcShown() && edit->text() != adcEdits_[0]->text()) {
            Paint(edit, "red");
            Paint(adcEdits_[0], "red");
            return;
        }
        dac.UnitName = edit->text().left(4);
    } else {
        double value = 0.0;
        if (!ParseNumber(edit->text(), value)) {
            Paint(edit, "red");
            return;
        }
        const double p = UnitPrefix() == 0.0 ? 1.0 : UnitPrefix();
        switch (tag) {
        case 2:
            if (!chain_.DrivesPiezo())
                chain_.DAScale = value * p;
            break;
        case 3:
        case 4:
            (tag == 3 ? chain_.MinVolt : chain_.MaxVolt) = chain_.SignedVolts(value);
            break;
        case 5: {
            // Z, X and Y: the offset in the channel's unit goes back through the channel's factor.
            double scale = chain_.DacScaleValue(p);
            if (chain_.DrivesPiezo() && !ParseNumber(dacEdits_[1]->text(), scale))
                scale = 0.0;
            if (scale == 0.0) {
                Paint(edit, "red");
                return;
            }
            chain_.DAOffset = chain_.DrivesPiezo() ? value * chain_.DAScale / scale : value * p;
            break;
        }
        default:
            break;
        }
    }
    Paint(edit, "white");
    SaveDacScale();
    // A factor typed for Z, X or Y is the channel's own, not the chain's: it stays shown.
    if ((tag == 2 && !chain_.DrivesPiezo()) || tag == 3 || tag == 4)
        ShowCalibration();
}

void TScaleADDAForm::SGScaleEditKeyPress(int tag)
{
    QLineEdit* edit = AdcEdit(tag);
    if (tag != 1) {
        double value = 0.0;
        if (!ParseNumber(edit->text(), value)) {
            Paint(edit, "red");
            return;
        }
        double& scale = chain_.ADMode ? chain_.ADScale : chain_.SGScale;
        double& offset = chain_.ADMode ? chain_.ADOffset : chain_.SGOffset;
        if (tag == 2)
            scale = value;
        else if (tag == 5)
            offset = value;
    }
    Paint(edit, "white");
    SaveAdcScale();
}

namespace {
// The five scale edits and the invert box as the channel's [Scale] keys; the
// file gets "." whatever was typed, and digit limits as whole numbers.
void WriteScaleKeys(const QString& name, const std::array<QLineEdit*, 5>& edits, bool invers)
{
    MainIni->WriteString("Scale", name + "Edit1", edits[0]->text());
    for (int i = 1; i < 5; ++i) {
        double v = 0.0;
        if (!ParseNumber(edits[static_cast<size_t>(i)]->text(), v))
            continue;
        MainIni->WriteString("Scale", name + "Edit" + QString::number(i + 1),
                             FloatToText(i == 2 || i == 3 ? Round(v) : v));
    }
    MainIni->WriteBool("Scale", name + "CheckBox2", invers);
}
} // namespace

void TScaleADDAForm::SaveDacScale()
{
    if (MainIni == nullptr)
        return;
    WriteScaleKeys(ScaleKeyPrefix(chain_.DacSlot()), dacEdits_, dacInvers_->isChecked());
    link_.ReloadScales();
}

void TScaleADDAForm::SaveAdcScale()
{
    if (MainIni == nullptr)
        return;
    WriteScaleKeys(ScaleKeyPrefix(chain_.ADChannelSlot), adcEdits_, adcInvers_->isChecked());
    link_.ReloadScales();
}

void TScaleADDAForm::MinMaxEditKeyPress(int tag)
{
    TNumericEdit* edit = MinMaxEdit(tag);
    double volts = 0.0;
    if (!ParseNumber(edit->text(), volts) || chain_.DAScale == 0.0) {
        edit->MarkRefused();
        return;
    }
    (tag == 1 ? chain_.MinVolt : chain_.MaxVolt) = volts;
    // The digit edits follow: volts / DAScale, negated for a negative scale.
    const double digits = chain_.DAScale < 0 ? -volts / chain_.DAScale : volts / chain_.DAScale;
    dacEdits_[tag == 1 ? 2 : 3]->setText(GeneralText(digits, 6));
    edit->MarkAccepted();
    ShowCalibration();
}

void TScaleADDAForm::DefaultButtonClick()
{
    dacEdits_[0]->setText("V");
    chain_.HvaGain = 8.0;
    chain_.PiezoSens = 100.0;
    chain_.DAScale = 9.9e-9;
    chain_.DAOffset = 0.0;
    chain_.MinVolt = -10.0;
    chain_.MaxVolt = 10.0;
    dacInvers_->setChecked(false);
    ShowCalibration();
}

void TScaleADDAForm::Timer1Timer()
{
    if (chain_.RampMode) {
        chain_.RampTick();
        sgDiffLabel_->setText(Num(chain_.SGDiff));
    }
    for (int c = 1; c <= 4; ++c) {
        for (int r = 1; r <= 8; ++r) {
            const auto word = static_cast<uint32_t>(link_.ReadReg(RegisterGridAddress(link_.Caps, c, r)));
            auto* item = new QTableWidgetItem(QString("%1").arg(word, 8, 16, QChar('0')).toUpper());
            grid_->setItem(r - 1, c - 1, item);
        }
    }
}

void TScaleADDAForm::Paint(QLineEdit* edit, const char* color)
{
    edit->setStyleSheet(QString("QLineEdit { background: %1; }").arg(color));
    edit->setProperty("Color", QString(color));
}

void TScaleADDAForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FormActivate();
    timer1_->start();
}

void TScaleADDAForm::hideEvent(QHideEvent* event)
{
    timer1_->stop();
    QWidget::hideEvent(event);
}

} // namespace qvt
