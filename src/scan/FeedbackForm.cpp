#include "scan/FeedbackForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "scan/FastScanThread.h"
#include "scan/ScanParaForm.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

namespace qvt {

TfeedbackForm* feedbackForm = nullptr;

namespace {

constexpr const char* Section = "Microscope";

} // namespace

QStringList FeedbackFormulaLines(int listIndex, int address)
{
    const QString in = "temp:=IN" + QString::number(address);
    const QString zNew = "z_new:=z_old+delta_new*(Ki+Kp)-delta_old*Kp";
    const QString dOld = "delta_old:=delta_new";
    switch (listIndex) {
    case 1:
        return {in, "if Bias<0 then temp:=-temp", "delta_new:=temp-setpoint", zNew, dOld};
    case 2:
        return {in,  "if Bias<0 then temp:=-temp", "if delta_new <0 then temp:=0", "delta_new:=temp-setpoint", zNew,
                dOld};
    case 3:
        return {in,
                "if Bias<0 then temp:=-temp",
                "delta_new:=temp-setpoint",
                "delta_new:=delta_new shr ln(setpoint)",
                zNew,
                dOld};
    case 4:
        return {"delta_new:=IN" + QString::number(address) + "-setpoint", in, zNew, dOld};
    case 5:
        return {"delta_new:=Amplitude-Setpoint", zNew, dOld};
    case 6:
        return {"delta_new:=LIA (X) -Setpoint", zNew, dOld};
    case 7:
        return {"feedback on delta f + PLL"};
    default:
        return {};
    }
}

TLockInBox LockInBoxFor(int mode, bool savedEnable)
{
    if (mode >= FeedbackNcAFMR)
        return {true, false};
    return {savedEnable, true};
}

uint32_t LockInOnAfter(uint32_t lockInOn, int mode, bool checked)
{
    if (!checked)
        return 0;
    return mode < FeedbackNcAFMR ? 3u : (lockInOn | 1u);
}

TfeedbackForm::TfeedbackForm(TInOutForm& form, TScanParaForm* scanPara, TFastScanThread* fast, QWidget* parent)
    : QWidget(parent, Qt::Tool), form_(form), scanPara_(scanPara), fast_(fast)
{
    setObjectName("feedbackForm");
    setWindowTitle("Feedback");
    auto* layout = new QGridLayout(this);
    comboBox1_ = new QComboBox;
    comboBox1_->setObjectName("ComboBox1");
    for (const TFeedbackModeInfo& info : FeedbackModeTable)
        comboBox1_->addItem(QString::fromUtf8(info.ListText));
    connect(comboBox1_, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    memo1_ = new QPlainTextEdit;
    memo1_->setObjectName("Memo1");
    memo1_->setReadOnly(true);
    edit1_ = new TNumericEdit("Edit1");
    edit1_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            Edit1KeyPress();
        else
            edit1_->setText(QString::number(CantileverParams.SpringConstant));
    };
    checkBox1_ = new QCheckBox("Kelvin Menu On");
    checkBox2_ = new QCheckBox("Enable Lockin");
    checkBox3_ = new QCheckBox("z:=z+s*error");
    checkBox3_->setToolTip("correct z by error signal");
    checkBox1_->setObjectName("CheckBox1");
    checkBox2_->setObjectName("CheckBox2");
    checkBox3_->setObjectName("CheckBox3");
    connect(checkBox1_, &QCheckBox::clicked, this, [this] { CheckBox1Click(); });
    connect(checkBox2_, &QCheckBox::clicked, this, [this] { CheckBox2Click(); });
    connect(checkBox3_, &QCheckBox::clicked, this, [this] { CheckBox3Click(); });
    auto* esc = new QPushButton("Cancel");
    esc->setObjectName("ESCButton");
    connect(esc, &QPushButton::clicked, this, &QWidget::close);
    layout->addWidget(comboBox1_, 0, 0, 1, 3);
    layout->addWidget(memo1_, 1, 0, 1, 3);
    layout->addWidget(new QLabel("Spring Constant"), 2, 0);
    layout->addWidget(edit1_, 2, 1);
    layout->addWidget(new QLabel("N/m"), 2, 2);
    layout->addWidget(checkBox1_, 3, 0, 1, 3);
    layout->addWidget(checkBox2_, 4, 0, 1, 3);
    layout->addWidget(checkBox3_, 5, 0, 1, 3);
    layout->addWidget(esc, 6, 2);
    checkBox3_->hide();
    if (feedbackForm == nullptr)
        feedbackForm = this;
}

TfeedbackForm::~TfeedbackForm()
{
    if (feedbackForm == this)
        feedbackForm = nullptr;
}

QCheckBox* TfeedbackForm::CheckBox(int n) const
{
    return n == 1 ? checkBox1_ : n == 2 ? checkBox2_ : n == 3 ? checkBox3_ : nullptr;
}

void TfeedbackForm::SetPageVisible(const char* objectName, bool visible)
{
    if (scanPara_ == nullptr)
        return;
    QTabWidget* pages = scanPara_->PageControl();
    if (QWidget* page = pages->findChild<QWidget*>(objectName))
        pages->setTabVisible(pages->indexOf(page), visible);
}

void TfeedbackForm::FormCreate()
{
    if (MainIni) {
        move(MainIni->ReadInteger(Section, "FormPosLeft", 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
        checkBox2_->setVisible(MainIni->ReadBool("Software", "dncButton", true));
    }
    comboBox1_->setCurrentIndex(ValidFeedbackMode(MicroscopeState.FeedbackMode.load()) + 1);
    ComboBox1Change();
    checkBox1_->setChecked(MainIni && MainIni->ReadBool(Section, "KelvinFeedback", false));
    CheckBox1Click();
    edit1_->setText(MainIni ? MainIni->ReadString(Section, "SpringConstant", "1") : "1");
    Edit1KeyPress();
    if (MainIni) {
        CantileverParams.CantileverScaleNCAFM = MainIni->ReadFloat(Section, "CantileverScaleNCAFM", 1.0);
        CantileverParams.CantileverScaleCMAFM = MainIni->ReadFloat(Section, "CantileverScaleCMAFM", 1.0);
    }
    if (scanPara_)
        scanPara_->ShowFeedbackParams();
    if (form_.Caps.Type29()) {
        checkBox3_->show();
        checkBox3_->setChecked(MainIni && MainIni->ReadBool(Section, "CorrectZ", false));
        CheckBox3Click();
    }
}

void TfeedbackForm::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    if (edit1_->Color() == EditColor::White)
        MainIni->WriteString(Section, "SpringConstant", edit1_->text());
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
}

void TfeedbackForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    checkBox1_->setVisible(!LockInButtonVisible || LockInButtonVisible());
}

void TfeedbackForm::ComboBox1Change()
{
    SetPageVisible("AmplPage", false);
    SetPageVisible("FreqPage", false);
    const int i = std::max(0, comboBox1_->currentIndex());
    const int mode = i - 1;
    const int address = MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(mode))].InputAddr;
    memo1_->setPlainText(FeedbackFormulaLines(i, address).join('\n'));
    if (mode == FeedbackNcAFMPLL) {
        SetPageVisible("AmplPage", true);
        SetPageVisible("FreqPage", true);
    }
    MicroscopeState.FeedbackMode = mode;
    if (MainIni)
        MainIni->WriteInteger(Section, "Feedback", mode);
    const TLockInBox box = LockInBoxFor(mode, MainIni && MainIni->ReadBool(Section, "enableLockin", false));
    const bool wasChecked = checkBox2_->isChecked();
    checkBox2_->setEnabled(box.Enabled);
    checkBox2_->setChecked(box.Checked);
    // A box the mode ticks or clears does all a click on it does (the
    // excitation and the resonance window): a dynamic mode without its drive
    // has no signal to hold.
    if (box.Checked != wasChecked)
        CheckBox2Click();
    if (scanPara_)
        scanPara_->ShowFeedbackParams();
    // The mode stays chosen whatever the sending does. Its own bias goes to
    // the output with the record, so the bias shown is the bias applied and
    // the loop's polarity follows the bias the tip really has.
    try {
        float bias = 0.0f;
        {
            std::lock_guard lock(form_.FeedbackState.Mutex);
            bias = MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(mode))].Bias;
        }
        form_.SetBias(bias);
        if (scanPara_) {
            scanPara_->ShowFeedbackParams();
            scanPara_->ClearFeedbackEditMarks();
            scanPara_->StoreKeptFeedbackSet();
        }
    } catch (...) {
    }
}

void TfeedbackForm::CheckBox1Click()
{
    if (LockInButtonVisible && !LockInButtonVisible())
        checkBox1_->setChecked(false);
    const bool on = checkBox1_->isChecked();
    if (MainIni)
        MainIni->WriteBool(Section, "KelvinFeedback", on);
    SetPageVisible("KelvinPage", on);
    if (scanPara_)
        scanPara_->CheckBox1Click();
    if (!on) {
        MicroscopeState.KelvinKi = 0;
        MicroscopeState.KelvinOn = 0;
        form_.UpdateFeedback();
        if (scanPara_)
            scanPara_->Edit2KeyPress(EditKey::Enter);
    }
}

void TfeedbackForm::CheckBox2Click()
{
    const int mode = MicroscopeState.FeedbackMode.load();
    const bool on = checkBox2_->isChecked();
    if (mode < FeedbackNcAFMR && MainIni)
        MainIni->WriteBool(Section, "enableLockin", on);
    ApplyLockIn(mode, on);
    if (ShowResonanceWindow)
        ShowResonanceWindow(on);
}

void TfeedbackForm::ApplyLockIn(int mode, bool on)
{
    MicroscopeState.LockInOn = LockInOnAfter(MicroscopeState.LockInOn.load(), mode, on);
    form_.SetDriveAmplitude(on && MainIni ? MainIni->ReadFloat("dnc", "Ampl", 0.0) : 0.0);
}

void TfeedbackForm::CheckBox3Click()
{
    if (fast_)
        fast_->CorrectZ = checkBox3_->isChecked();
    if (MainIni)
        MainIni->WriteBool(Section, "CorrectZ", checkBox3_->isChecked());
}

void TfeedbackForm::Edit1KeyPress()
{
    double k = 0;
    if (!ParseNumber(edit1_->text(), k)) {
        edit1_->MarkRefused();
        return;
    }
    CantileverParams.SpringConstant = k;
    edit1_->MarkAccepted();
}

} // namespace qvt
