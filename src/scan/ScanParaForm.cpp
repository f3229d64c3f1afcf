#include "scan/ScanParaForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "scan/ApproachMenus.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastZPage.h"
#include "scan/FeedbackSets.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "scan/LevelPage.h"
#include "scan/ScanGeometry.h"
#include "scan/ScanParaLogic.h"
#include "scan/ScanStatus.h"
#include "scan/ShowThread.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <array>
#include <chrono>
#include <exception>
#include <mutex>

namespace qvt {

TScanParaForm* ScanParaForm = nullptr;

namespace {

constexpr const char* ScanParaSection = "ScanPara";
constexpr int DefaultFormPos = 10;
constexpr int InstanceWindowHeight = 320;
constexpr int WenigWichtigIntervalMs = 100;

QString ReadText(const QString& section, const QString& key, const QString& def)
{
    return MainIni ? MainIni->ReadString(section, key, def) : def;
}

void WriteText(const QString& section, const QString& key, const QString& value)
{
    if (MainIni)
        MainIni->WriteString(section, key, value);
}

double NowInDays()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count() / 86400.0;
}

const TIOScale& ChannelScale(int channelIndex, int fallback)
{
    return ChannelTable[SlotOfChannelIndex(IsValidChannelIndex(channelIndex) ? channelIndex : fallback)];
}

// The unit of the channel the amplitude loop reads ("dnc"/"channel").
QString ResonanceInputUnit()
{
    const int channel = MainIni ? MainIni->ReadInteger("dnc", "channel", DefaultResonanceSlot) : DefaultResonanceSlot;
    return ChannelTable[ResonanceInputSlot(channel)].UnitName;
}

void SetLabelBackground(QLabel* label, const QColor& color)
{
    QPalette p = label->palette();
    p.setColor(QPalette::Window, color);
    label->setPalette(p);
}

} // namespace

// ---- construction ------------------------------------------------------------------------

TScanParaForm::TScanParaForm(QWidget* parent) : QWidget(parent)
{
    setObjectName("ScanParaForm");
    if (parent != nullptr)
        setWindowFlags(windowFlags() | Qt::Tool);
    setWindowTitle("Parameter");
    BuildControls();

    timer1_.setInterval(StepRepeatMs);
    connect(&timer1_, &QTimer::timeout, this, &TScanParaForm::Timer1Timer);
    wenigWichtigTimer_.setInterval(WenigWichtigIntervalMs);
    connect(&wenigWichtigTimer_, &QTimer::timeout, this, &TScanParaForm::WenigWichtigTimerTimer);

    // Wheel, Esc and label clicks are the window's before they are a control's.
    qApp->installEventFilter(this);
    if (ScanParaForm == nullptr)
        ScanParaForm = this;
}

TScanParaForm::~TScanParaForm()
{
    // A held arrow loses its focus as its window goes and emits its release:
    // the repeat ends here, and no control reaches the window any more.
    timer1_.stop();
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
    if (qApp != nullptr)
        qApp->removeEventFilter(this);
    if (ScanParaForm == this)
        ScanParaForm = nullptr;
}

TInOutForm* TScanParaForm::Device() const
{
    return device_ != nullptr ? device_ : InOutForm;
}

TDeviceWorkers* TScanParaForm::Workers() const
{
    return workers_ != nullptr ? workers_ : DeviceWorkers;
}

TNumericEdit* TScanParaForm::MakeEdit(const QString& name, void (TScanParaForm::*handler)(EditKey))
{
    auto* edit = new TNumericEdit(name, this);
    edit->OnKey = [this, handler](EditKey key) { (this->*handler)(key); };
    edits_[name] = edit;
    return edit;
}

QAbstractButton* TScanParaForm::MakeStepButton(const QString& name, const QString& text, void (TScanParaForm::*click)())
{
    auto* button = new QPushButton(text, this);
    button->setObjectName(name);
    button->setFixedWidth(24);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, click);
    connect(button, &QPushButton::pressed, this, [this, button] {
        BitBtnMouseDown(button, QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier));
    });
    connect(button, &QPushButton::released, this, &TScanParaForm::BitBtnMouseUp);
    buttons_[name] = button;
    stepClicks_[button] = click;
    return button;
}

void TScanParaForm::BuildControls()
{
    const auto label = [this](const QString& text, const QString& name = QString()) {
        auto* l = new QLabel(text, this);
        if (!name.isEmpty()) {
            l->setObjectName(name);
            labels_[name] = l;
        }
        return l;
    };

    // Scan geometry.
    auto* geometry = new QGridLayout;
    comboBox1_ = new QComboBox(this);
    comboBox1_->setObjectName("ComboBox1");
    comboBox1_->setEditable(true);
    comboBox1_->setInsertPolicy(QComboBox::NoInsert);
    pixelEdit_ = new TNumericEdit("ComboBox1Edit", comboBox1_);
    pixelEdit_->OnKey = [this](EditKey key) { ComboBox1KeyPress(key); };
    comboBox1_->setLineEdit(pixelEdit_);
    comboBox1_->setCompleter(nullptr); // a typed "1" must stay "1"
    comboBox1_->addItems({"32", "64", "128", "256", "512"});
    connect(comboBox1_, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    geometry->addWidget(label("Pixel"), 0, 0);
    geometry->addWidget(comboBox1_, 0, 1);
    geometry->addWidget(label("Range"), 1, 0);
    geometry->addWidget(MakeEdit("Edit3", &TScanParaForm::Edit3KeyPress), 1, 1);
    geometry->addWidget(label("", "Label6"), 1, 2);
    geometry->addWidget(label("Speed"), 2, 0);
    geometry->addWidget(MakeEdit("Edit4", &TScanParaForm::Edit4KeyPress), 2, 1);
    geometry->addWidget(label("Lines/ sec"), 2, 2);
    geometry->addWidget(label("x-Center"), 3, 0);
    geometry->addWidget(MakeEdit("Edit7", &TScanParaForm::Edit7KeyPress), 3, 1);
    geometry->addWidget(label("", "Label14"), 3, 2);
    geometry->addWidget(label("y-Center"), 4, 0);
    geometry->addWidget(MakeEdit("Edit8", &TScanParaForm::Edit8KeyPress), 4, 1);
    geometry->addWidget(label("", "Label13"), 4, 2);
    geometry->addWidget(label("Angle"), 5, 0);
    geometry->addWidget(MakeEdit("Edit9", &TScanParaForm::Edit9KeyPress), 5, 1);
    geometry->addWidget(label(QString(QChar(0x00B0))), 5, 2);
    // The approach and retract buttons, the z bar and the mouse-tool buttons
    // take the row between the geometry and the pages.

    pageControl_ = new QTabWidget(this);
    // Every tab in view: a bar that scrolls moves the tabs under the pointer.
    pageControl_->setUsesScrollButtons(false);
    pageControl_->setElideMode(Qt::ElideRight);
    pageControl_->setObjectName("PageControl");

    // "z": the active feedback set, with the step buttons.
    auto* zPage = new QWidget;
    zPage->setObjectName("ZPage");
    auto* z = new QGridLayout(zPage);
    z->addWidget(label("Ref."), 0, 0);
    z->addWidget(MakeStepButton("BitBtn3", "<", &TScanParaForm::LBitBtn1Click), 0, 1);
    z->addWidget(MakeEdit("Edit1", &TScanParaForm::Edit1KeyPress), 0, 2);
    z->addWidget(MakeStepButton("BitBtn7", ">", &TScanParaForm::RBitBtn1Click), 0, 3);
    z->addWidget(label("", "Label21"), 0, 4);
    z->addWidget(label("Bias", "Label11"), 1, 0);
    z->addWidget(MakeStepButton("BitBtn6", "<", &TScanParaForm::LBitBtn2Click), 1, 1);
    z->addWidget(MakeEdit("Edit2", &TScanParaForm::Edit2KeyPress), 1, 2);
    z->addWidget(MakeStepButton("BitBtn10", ">", &TScanParaForm::RBitBtn2Click), 1, 3);
    z->addWidget(label("", "Label23"), 1, 4);
    z->addWidget(label("Ki", "Label19"), 2, 0);
    z->addWidget(MakeStepButton("BitBtn4", "<", &TScanParaForm::LBitBtn5Click), 2, 1);
    z->addWidget(MakeEdit("Edit5", &TScanParaForm::Edit5KeyPress), 2, 2);
    z->addWidget(MakeStepButton("BitBtn8", ">", &TScanParaForm::RBitBtn5Click), 2, 3);
    z->addWidget(label("Kp"), 3, 0);
    z->addWidget(MakeStepButton("BitBtn5", "<", &TScanParaForm::LBitBtn6Click), 3, 1);
    z->addWidget(MakeEdit("Edit6", &TScanParaForm::Edit6KeyPress), 3, 2);
    z->addWidget(MakeStepButton("BitBtn9", ">", &TScanParaForm::RBitBtn6Click), 3, 3);
    pageControl_->addTab(zPage, "z");

    auto* amplPage = new QWidget;
    amplPage->setObjectName("AmplPage");
    auto* ampl = new QGridLayout(amplPage);
    ampl->addWidget(label("Ref."), 0, 0);
    ampl->addWidget(MakeEdit("Edit18", &TScanParaForm::Edit18KeyPress), 0, 1);
    ampl->addWidget(label(" ", "Label28"), 0, 2);
    ampl->addWidget(label("Ki"), 1, 0);
    ampl->addWidget(MakeEdit("Edit16", &TScanParaForm::Edit16KeyPress), 1, 1);
    ampl->addWidget(label("Kp"), 2, 0);
    ampl->addWidget(MakeEdit("Edit15", &TScanParaForm::Edit15KeyPress), 2, 1);
    pageControl_->addTab(amplPage, "ampl.");

    auto* freqPage = new QWidget;
    freqPage->setObjectName("FreqPage");
    auto* freq = new QGridLayout(freqPage);
    freq->addWidget(label("Ref."), 0, 0);
    freq->addWidget(MakeEdit("Edit22", &TScanParaForm::Edit22KeyPress), 0, 1);
    freq->addWidget(label("Hz"), 0, 2);
    freq->addWidget(label("Kp"), 1, 0);
    freq->addWidget(MakeEdit("Edit19", &TScanParaForm::Edit19KeyPress), 1, 1);
    pageControl_->addTab(freqPage, "freq.");
    edits_["Edit22"]->Rules.Min = FreqSetpointMin;
    edits_["Edit22"]->Rules.Max = FreqSetpointMax;

    auto* kelvinPage = new QWidget;
    kelvinPage->setObjectName("KelvinPage");
    auto* kelvin = new QGridLayout(kelvinPage);
    checkBox1_ = new QCheckBox("Feedback On", kelvinPage);
    checkBox1_->setObjectName("CheckBox1");
    connect(checkBox1_, &QCheckBox::toggled, this, [this] { CheckBox1Click(); });
    kelvin->addWidget(checkBox1_, 0, 0, 1, 3);
    kelvin->addWidget(label("Ki"), 1, 0);
    kelvin->addWidget(MakeEdit("Edit10", &TScanParaForm::Edit10KeyPress), 1, 1);
    kelvin->addWidget(label("Ref.", "Label4"), 2, 0);
    kelvin->addWidget(MakeEdit("Edit11", &TScanParaForm::Edit11KeyPress), 2, 1);
    kelvin->addWidget(label("V", "Label5"), 2, 2);
    pageControl_->addTab(kelvinPage, "Kelvin");
    edits_["Edit10"]->Rules.Min = -KelvinKiLimit;
    edits_["Edit10"]->Rules.Max = KelvinKiLimit;
    edits_["Edit11"]->Rules.Min = -KelvinRefLimit;
    edits_["Edit11"]->Rules.Max = KelvinRefLimit;

    // "FastZ" (type 29 controllers): the setpoint mirror here; the fast loop's
    // own edits (Kp, Ki, Td/alpha and their prefixes) join it with that loop.
    fastZPage_ = new QWidget;
    fastZPage_->setObjectName("FastZPage");
    auto* fastZ = new QGridLayout(fastZPage_);
    fastZ->addWidget(label("Ref."), 0, 0);
    auto* edit21 = MakeEdit("Edit21", &TScanParaForm::Edit21KeyPress);
    // Every key typed here reaches Edit1 as well.
    connect(edit21, &QLineEdit::textEdited, this, [this, edit21] {
        TNumericEdit* edit1 = edits_.at("Edit1");
        edit1->setText(edit21->text());
        edit1->SetColor(edit21->Color());
    });
    fastZ->addWidget(edit21, 0, 1);
    fastZ->addWidget(label("", "Label37"), 0, 2);
    fastZ_ = new TFastZPage(
        fastZ, [this] { return Device(); }, this);
    fastZ_->Label35DblClick = [this] { Label11DblClick(); };
    fastZ_->Label29Click = [this] { Label19Click(); };
    pageControl_->addTab(fastZPage_, "FastZ");
    levelPage_ = new TLevelPage(
        pageControl_, [this] { return Device(); }, [this] { return Workers(); }, this);

    for (const char* name : {"Label19", "Label11", "Label28"})
        labels_.at(name)->setAutoFillBackground(true);
    // The rows of each page sit together at its top left, as on the
    // geometry rows above; the space left over stays below and to the right.
    for (QGridLayout* page : {z, ampl, freq, kelvin, fastZ}) {
        page->setRowStretch(page->rowCount(), 1);
        page->setColumnStretch(page->columnCount(), 1);
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(geometry);
    layout->addWidget(pageControl_);
    BuildStatusControls(layout);
    // The status line goes below the pages with the status display.
}

TNumericEdit* TScanParaForm::Edit(const QString& name) const
{
    if (name == "ComboBox1")
        return pixelEdit_;
    const auto it = edits_.find(name);
    return it != edits_.end() ? it->second : nullptr;
}

bool TScanParaForm::EnterText(const QString& name, const QString& text)
{
    TNumericEdit* edit = Edit(name);
    return edit != nullptr && edit->Apply(text);
}

QLabel* TScanParaForm::Label(const QString& name) const
{
    const auto it = labels_.find(name);
    return it != labels_.end() ? it->second : nullptr;
}

QAbstractButton* TScanParaForm::Button(const QString& name) const
{
    const auto it = buttons_.find(name);
    return it != buttons_.end() ? it->second : nullptr;
}

// ---- start and exit ---------------------------------------------------------------------

void TScanParaForm::FormCreate()
{
    if (TDeviceWorkers* workers = Workers())
        connect(&workers->GoXYThread(), &TGoXYThread::rangeClamped, this, &TScanParaForm::WMRangeClamped,
                Qt::UniqueConnection);
    TInOutForm* device = Device();
    if (device != nullptr) {
        connect(device, &TInOutForm::scalesReloaded, this, &TScanParaForm::ScalesReloaded, Qt::UniqueConnection);
    }

    if (MainIni)
        move(MainIni->ReadFormPosLeft(ScanParaSection, DefaultFormPos),
             MainIni->ReadInteger(ScanParaSection, "FormPosTop", DefaultFormPos));
    ShowChannelUnits();
    for (auto& [name, edit] : edits_)
        edit->setText("0");

    // The fast-z loop's saved edits and prefixes are restored here on a type 29 controller.
    const bool type29 = device != nullptr && device->Caps.Type29();
    pageControl_->setTabVisible(pageControl_->indexOf(fastZPage_), type29);
    fastZ_->FormCreate();
    levelPage_->FormCreate();

    LoadFeedbackSets();
    EnterText("Edit2", ReadText(FeedParaSection, "Edit2", "100"));
    labels_.at("Label28")->setText(ReadText(FeedParaSection, "Label28Pre", " ") + ResonanceInputUnit());

    EnterText("Edit16", ReadText(FeedParaSection, "Edit16", "1"));
    edits_.at("Edit18")->setText(ReadText(FeedParaSection, "Edit18", "0"));
    edit18Tag_ = MainIni ? MainIni->ReadInteger(FeedParaSection, "Edit18Tag", 0) : 0;
    Edit18KeyPress(EditKey::Enter);
    EnterText("Edit15", ReadText(FeedParaSection, "Edit15", "0"));
    EnterText("Edit22", ReadText(FeedParaSection, "Edit22", "0"));
    EnterText("Edit19", ReadText(FeedParaSection, "Edit19", "0"));

    const bool kelvinOffset = MainIni && MainIni->ReadBool(FeedParaSection, "KelvinOffset", false);
    if (kelvinOffset) {
        EnterText("Edit11", ReadText(FeedParaSection, "Edit11", "0"));
    } else {
        EnterText("Edit11", "0");
        for (const char* name : {"Label4", "Label5"})
            labels_.at(name)->hide();
        edits_.at("Edit11")->hide();
    }
    EnterText("Edit10", ReadText(FeedParaSection, "Edit10", "0"));

    // Full frames from the first line.
    ScanParams.LineScan = false;
    ScanParams.CurrentLine = 1;
    // The saved values come one at a time: on their way to the saved frame
    // the geometry may pass through one that does not fit, so only a value
    // that makes the frame worse is refused here.
    replaying_ = true;
    EnterText("ComboBox1", ReadText(ScanParaSection, "ComboBox1", "128"));
    EnterText("Edit7", ReadText(ScanParaSection, "Edit7", "100"));
    EnterText("Edit8", ReadText(ScanParaSection, "Edit8", "1"));
    EnterText("Edit4", ReadText(ScanParaSection, "Edit4", "1"));
    EnterText("Edit3", ReadText(ScanParaSection, "Edit3", "100"));
    EnterText("Edit9", ReadText(ScanParaSection, "Edit9", "0"));
    replaying_ = false;
    StepFactor = StepFactorCoarse;

    toolButtons_->Load();
    BuildApproachMenus();
    // Still to come with their pieces: the fly height, the level mode and slopes.
    pageControl_->setCurrentIndex(0);

    // A second try once every other value is in place.
    if (pixelEdit_->Color() == EditColor::Red)
        ComboBox1KeyPress(EditKey::Enter);
    if (edits_.at("Edit3")->Color() == EditColor::Red)
        Edit3KeyPress(EditKey::Enter);

    if (device != nullptr && device->InstanceNumber >= 0) {
        resize(width(), InstanceWindowHeight);
        edits_.at("Edit3")->hide();
        QGuiApplication::setApplicationDisplayName("QVT " + QString::number(device->InstanceNumber));
    }

    wenigWichtigTimer_.start();
    created_ = true;
}

void TScanParaForm::FormDestroy()
{
    wenigWichtigTimer_.stop();
    timer1_.stop();
    if (!created_ || MainIni == nullptr)
        return;
    levelPage_->FormDestroy();
    for (const char* name : {"Edit2", "Edit18", "Edit16", "Edit15", "Edit22", "Edit19"}) {
        const TNumericEdit* edit = edits_.at(name);
        if (edit->Color() != EditColor::White)
            continue;
        MainIni->WriteString(FeedParaSection, name, edit->text());
        if (edit->objectName() == "Edit18")
            MainIni->WriteInteger(FeedParaSection, "Edit18Tag", edit18Tag_);
    }
    // "ScanPara"/"Level" is written here once the level page exists.
    MainIni->WriteInteger(ScanParaSection, "FormPosLeft", x());
    MainIni->WriteInteger(ScanParaSection, "FormPosTop", y());
}

// ---- common parts -------------------------------------------------------------------------

bool TScanParaForm::ParseEdit(TNumericEdit* edit, double& value)
{
    return ParseEditValue(edit->text(), edit->Rules, value);
}

void TScanParaForm::SaveText(const char* section, const QString& key, TNumericEdit* edit)
{
    WriteText(section, key, edit->text());
}

bool TScanParaForm::PrepareScan()
{
    TDeviceWorkers* device = Workers();
    return device == nullptr || device->PrepareScan();
}

int TScanParaForm::ActiveMode() const
{
    return ValidFeedbackMode(MicroscopeState.FeedbackMode);
}

TFeedbackSet TScanParaForm::ActiveSet() const
{
    TInOutForm* device = Device();
    if (device == nullptr)
        return MicroscopeState.FeedbackSets[FeedbackSetIndex(ActiveMode())];
    std::lock_guard lock(device->FeedbackState.Mutex);
    return MicroscopeState.FeedbackSets[FeedbackSetIndex(ActiveMode())];
}

void TScanParaForm::SetActiveSetField(float TFeedbackSet::*field, double value)
{
    // Other threads send the record from the active set (the scan thread
    // twice per lift-pass line), under the record's lock.
    TInOutForm* device = Device();
    if (device == nullptr) {
        MicroscopeState.FeedbackSets[FeedbackSetIndex(ActiveMode())].*field = static_cast<float>(value);
        return;
    }
    std::lock_guard lock(device->FeedbackState.Mutex);
    MicroscopeState.FeedbackSets[FeedbackSetIndex(ActiveMode())].*field = static_cast<float>(value);
}

void TScanParaForm::UpdateFeedback()
{
    if (TInOutForm* device = Device())
        device->UpdateFeedback();
}

// ---- geometry -------------------------------------------------------------------------------

void TScanParaForm::ShowChannelUnits()
{
    labels_.at("Label23")->setText(ChannelTable[SlotBias].UnitName);
    labels_.at("Label6")->setText(ChannelTable[SlotX].UnitName);
    labels_.at("Label14")->setText(ChannelTable[SlotX].UnitName);
    labels_.at("Label13")->setText(ChannelTable[SlotY].UnitName);
}

void TScanParaForm::ScalesReloaded()
{
    // The range goes through the new X/Y factors again, so the running scan
    // and the range shown follow the reloaded table.
    Edit3KeyPress(EditKey::Enter);
    ShowChannelUnits();
    ReapplyScaledLimits();
}

void TScanParaForm::ReapplyScaledLimits()
{
    // The record's words are made from the new scales and limited as at
    // Enter: a setpoint beyond its input's new range, and the Ki it scales, a
    // Kelvin reference beyond its new word and an amplitude setpoint beyond
    // its input are kept as the limits the controller now runs; the edits
    // show them and the settings keep them.
    const int m = ActiveMode();
    const TFeedbackSet before = ActiveSet();
    const float kelvinBefore = MicroscopeState.KelvinRef;
    UpdateFeedback();
    ShowFeedbackParams();
    ShowKelvinParams();
    ShowAmplParams();
    if (ActiveSet().Setpoint != before.Setpoint)
        WriteText(FeedParaSection, FeedbackSetKey("Edit1", m), edits_.at("Edit1")->text());
    if (ActiveSet().Ki != before.Ki)
        WriteText(FeedParaSection, Edit5Key(m), edits_.at("Edit5")->text());
    if (MicroscopeState.KelvinRef != kelvinBefore)
        SaveText(FeedParaSection, "Edit11", edits_.at("Edit11"));
    MirrorEdit1ToEdit21();
    // The lift rides on Z: its reach is Z's new span.
    levelPage_->ReapplyFlyHeight();
}

void TScanParaForm::ShowScanParams()
{
    edits_.at("Edit3")->setText(RangeText(ScanParams.Range.load()));
    edits_.at("Edit4")->setText(SpeedText(ScanParams.Speed.load()));
    edits_.at("Edit7")->setText(RangeText(ScanParams.XCenter.load()));
    edits_.at("Edit8")->setText(RangeText(ScanParams.YCenter.load()));
    edits_.at("Edit9")->setText(AngleText(ScanAngleToDegrees(ScanParams.Angle.load(), OffsAngle(MainIni))));
}

bool TScanParaForm::AcceptGeometry(TNumericEdit* edit, const std::function<void(TScanSetup&)>& propose)
{
    // Judged by the geometry the value makes, whatever the one before was:
    // an invalid frame is no licence for another invalid value (except on
    // the way through the saved values at start-up).
    const TScanSetup current = CurrentScanSetup(ScanParams);
    TScanSetup proposed = current;
    propose(proposed);
    const TScanPlan plan = PlanScan(proposed, 0);
    if (plan.Ok() || (replaying_ && !PlanScan(current, 0).Ok())) {
        edit->setToolTip(QString());
        return true;
    }
    edit->setToolTip(QString::fromLatin1(ScanRefusalText(plan)));
    edit->MarkRefused();
    return false;
}

void TScanParaForm::GeometryEdit(TNumericEdit* edit, EditKey key,
                                 const std::function<void(TScanSetup&, double)>& propose,
                                 const std::function<void(double)>& store)
{
    if (key == EditKey::Escape) {
        ShowScanParams();
        edit->SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
        return;
    }
    if (!AcceptGeometry(edit, [&](TScanSetup& s) { propose(s, value); }))
        return;
    try {
        store(value);
        PrepareScan();
        ShowScanParams();
        edit->MarkAccepted();
        SaveText(ScanParaSection, edit->objectName(), edit);
    } catch (const std::exception&) {
        edit->MarkRefused();
    }
}

void TScanParaForm::StoreRange(double range)
{
    // The factors and the linearisation are read from the stored range: it
    // goes first.
    ScanParams.Range = static_cast<float>(range);
    if (SetScanRange)
        SetScanRange(range);
}

bool TScanParaForm::TakeArea(const TScanArea& area)
{
    TNumericEdit* edit = edits_.at("Edit3");
    // A range of 0 or below would turn the image inside out.
    if (area.Range <= 0.0) {
        edit->MarkRefused();
        return false;
    }
    // Judged with the calibrated sensitivities of the new range; nothing is
    // taken before it is accepted.
    if (!AcceptGeometry(edit, [&](TScanSetup& s) {
            s.Area = area;
            if (ProposeRangeFactors)
                ProposeRangeFactors(area.Range, s);
        }))
        return false;
    try {
        // A running scan takes the frame from its next line, with the
        // coefficients of its range (not the ones before).
        TDeviceWorkers* device = Workers();
        const TGoXYThread::TChange change(device != nullptr ? &device->GoXYThread() : nullptr);
        ScanParams.XCenter = static_cast<float>(area.XCenter);
        ScanParams.YCenter = static_cast<float>(area.YCenter);
        StoreRange(area.Range);
        // White first: a range the scan cannot take turns it red meanwhile.
        edit->SetColor(EditColor::White);
        PrepareScan();
        return edit->Color() == EditColor::White;
    } catch (const std::exception&) {
        edit->MarkRefused();
        return false;
    }
}

void TScanParaForm::Edit3KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit3");
    if (key == EditKey::Escape) {
        ShowScanParams();
        edit->SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
        return;
    }
    if (!TakeArea({value, ScanParams.XCenter.load(), ScanParams.YCenter.load()}))
        return;
    ShowScanParams();
    edit->MarkAccepted();
    SaveText(ScanParaSection, "Edit3", edit);
}

void TScanParaForm::ReenterRange()
{
    if (TakeArea({ScanParams.Range.load(), ScanParams.XCenter.load(), ScanParams.YCenter.load()}))
        ShowScanParams();
}

bool TScanParaForm::EnterScanArea()
{
    const std::array<TNumericEdit*, 3> edits = {edits_.at("Edit7"), edits_.at("Edit8"), edits_.at("Edit3")};
    std::array<double, 3> v{};
    bool parsed = true;
    for (size_t i = 0; i < edits.size(); ++i)
        if (!ParseEdit(edits[i], v[i])) {
            edits[i]->MarkRefused();
            parsed = false;
        }
    if (!parsed || !TakeArea({v[2], v[0], v[1]}))
        return false;
    ShowScanParams();
    for (TNumericEdit* edit : edits) {
        edit->MarkAccepted();
        SaveText(ScanParaSection, edit->objectName(), edit);
    }
    return true;
}

void TScanParaForm::Edit4KeyPress(EditKey key)
{
    GeometryEdit(
        edits_.at("Edit4"), key, [](TScanSetup& s, double v) { s.Speed = static_cast<float>(v); },
        [](double v) { ScanParams.Speed = static_cast<float>(v); });
}

void TScanParaForm::Edit7KeyPress(EditKey key)
{
    GeometryEdit(
        edits_.at("Edit7"), key, [](TScanSetup& s, double v) { s.Area.XCenter = static_cast<float>(v); },
        [](double v) { ScanParams.XCenter = static_cast<float>(v); });
}

void TScanParaForm::Edit7Enter(TNumericEdit* sender)
{
    sender->setFrame(false);
}

void TScanParaForm::Edit7Exit(TNumericEdit* sender)
{
    sender->setFrame(true);
}

void TScanParaForm::Edit8KeyPress(EditKey key)
{
    GeometryEdit(
        edits_.at("Edit8"), key, [](TScanSetup& s, double v) { s.Area.YCenter = static_cast<float>(v); },
        [](double v) { ScanParams.YCenter = static_cast<float>(v); });
}

void TScanParaForm::Edit9KeyPress(EditKey key)
{
    const auto angle = [](double v) { return static_cast<float>(ScanAngleFromDegrees(v, OffsAngle(MainIni))); };
    GeometryEdit(
        edits_.at("Edit9"), key, [angle](TScanSetup& s, double v) { s.Angle = angle(v); },
        [angle](double v) { ScanParams.Angle = angle(v); });
}

void TScanParaForm::ComboBox1KeyPress(EditKey key)
{
    if (key == EditKey::Escape) {
        comboBox1_->setEditText(QString::number(ScanParams.Pixels.load()));
        pixelEdit_->SetColor(EditColor::White);
        return;
    }
    const TPixelEntry entry = ParsePixelEntry(pixelEdit_->text());
    if (entry.Result != TPixelEntry::Ok) {
        pixelEdit_->MarkRefused();
        return;
    }
    comboBox1_->setEditText(QString::number(entry.Pixels));
    if (entry.Pixels == ScanParams.Pixels.load()) {
        pixelEdit_->MarkAccepted();
        return;
    }
    // Judged before the scan is paused: a refused count leaves it running.
    if (!AcceptGeometry(pixelEdit_, [&](TScanSetup& s) { s.Pixels = entry.Pixels; }))
        return;
    if (ChangePixels(entry.Pixels))
        pixelEdit_->MarkAccepted();
    else
        pixelEdit_->MarkRefused();
}

void TScanParaForm::ComboBox1Change()
{
    if (pixelEdit_->Color() != EditColor::Silver)
        ComboBox1KeyPress(EditKey::Enter);
}

bool TScanParaForm::ChangePixels(int pixels)
{
    TDeviceWorkers* device = Workers();
    // The scan thread reads the pixel count and the buffers while it runs.
    const bool running = device != nullptr && device->PauseScan();

    const int old = ScanParams.Pixels.load();
    if (old > 0) {
        ScanParams.CurrentLine = static_cast<int16_t>(RescaleLineCounter(ScanParams.CurrentLine.load(), pixels, old));
        if (device != nullptr) {
            TShowThread& show = device->ShowThread();
            show.FirstLine = RescaleLineCounter(show.FirstLine.load(), pixels, old);
            show.Line = RescaleLineCounter(show.Line.load(), pixels, old);
        }
        // The fast scan's line counter is rescaled here too once the fast scan exists.
    }
    ScanParams.Pixels = static_cast<int16_t>(pixels);
    if (MainIni)
        MainIni->WriteInteger(ScanParaSection, "ComboBox1", pixels);
    comboBox1_->setEditText(QString::number(pixels));
    comboBox1_->repaint();

    PrepareScan();
    bool allocated = true;
    if (device != nullptr) {
        TImageChannels& channels = device->GoXYThread().Channels;
        for (int i = 0; i < TImageChannels::Count(); ++i) {
            if (channels[i].HasBuffer() && !channels[i].AllocBuffers(pixels, pixels))
                allocated = false;
        }
    }
    if (!allocated)
        ShowMessage(MsgKind::Information, NotEnoughMemoryText);
    if (ResizeImageWindows)
        ResizeImageWindows();
    if (running)
        device->StartScan();
    return allocated;
}

void TScanParaForm::WMRangeClamped()
{
    edits_.at("Edit3")->MarkRefused();
}

void TScanParaForm::WMSetPixels(int pixels)
{
    comboBox1_->setEditText(QString::number(pixels));
    ComboBox1KeyPress(EditKey::Enter);
}

// ---- feedback sets ------------------------------------------------------------------------

void TScanParaForm::LoadFeedbackSets()
{
    if (MainIni) {
        TInOutForm* device = Device();
        std::unique_lock<std::mutex> lock;
        if (device != nullptr)
            lock = std::unique_lock(device->FeedbackState.Mutex);
        ReadFeedbackSets(*MainIni, MicroscopeState);
    }
    const int m = ActiveMode();
    EnterText("Edit1", ReadText(FeedParaSection, FeedbackSetKey("Edit1", m), "0"));
    EnterText("Edit5", ReadText(FeedParaSection, FeedbackSetKey("Edit5", m), "0"));
    EnterText("Edit6", ReadText(FeedParaSection, FeedbackSetKey("Edit6", m), "0"));
    EnterText("Edit2", ReadText(FeedParaSection, FeedbackSetKey("Edit2", m), "0"));
    MicroscopeState.NC100ProcentAmpl =
        static_cast<float>(MainIni ? MainIni->ReadFloat(FeedParaSection, "NC100ProcentAmpl", DefaultNC100ProcentAmpl)
                                   : DefaultNC100ProcentAmpl);
}

void TScanParaForm::StoreKeptFeedbackSet()
{
    if (!MainIni)
        return;
    // A setting the controller could not run (a gain beyond 1e9, a setpoint
    // beyond the input) was kept as what it runs when the set went out: the
    // settings say that, as they do for a typed value.
    const int m = ActiveMode();
    const TFeedbackSet set = ActiveSet();
    struct TField {
        const char* Edit;
        QString Key;
        float Value;
    };
    for (const TField& f : {TField{"Edit1", FeedbackSetKey("Edit1", m), set.Setpoint},
                            TField{"Edit5", Edit5Key(m), set.Ki}, TField{"Edit6", FeedbackSetKey("Edit6", m), set.Kp}})
        if (static_cast<float>(MainIni->ReadFloat(FeedParaSection, f.Key, f.Value)) != f.Value)
            WriteText(FeedParaSection, f.Key, edits_.at(f.Edit)->text());
}

void TScanParaForm::ClearFeedbackEditMarks()
{
    // The values shown are those of the new mode: nothing is pending any more.
    for (const char* name : {"Edit1", "Edit21", "Edit2", "Edit5", "Edit6"})
        edits_.at(name)->SetColor(EditColor::White);
}

void TScanParaForm::ShowFeedbackParams()
{
    const int mode = ActiveMode();
    const TFeedbackSet set = ActiveSet();
    const QString setpoint = GeneralText(set.Setpoint, 5);
    edits_.at("Edit1")->setText(setpoint);
    edits_.at("Edit21")->setText(setpoint);
    labels_.at("Label21")->setText(MicroscopeState.ModeUnit);
    labels_.at("Label37")->setText(MicroscopeState.ModeUnit);
    const int biasDecimals = labels_.at("Label23")->text() == "V" ? 3 : 0;
    edits_.at("Edit2")->setText(FixedPointText(set.Bias, 5, biasDecimals));
    edits_.at("Edit5")->setText(GeneralText(set.Ki, 6));
    edits_.at("Edit6")->setText(GeneralText(set.Kp, 6));
    setWindowTitle("Parameter " + MicroscopeState.ModeName);

    TFeedbackHintInput in;
    in.Mode = mode;
    in.Setpoint = set.Setpoint;
    in.Ki = set.Ki;
    in.NC100ProcentAmpl = MicroscopeState.NC100ProcentAmpl;
    in.Cantilever = CantileverParams;
    const TIOScale& input = ChannelScale(MicroscopeState.FeedbackChannel.load(), DefaultFeedbackInput(mode));
    in.InputUnit = input.UnitName;
    in.InputFactor = input.Factor.load();
    in.ZUnit = ChannelTable[SlotZ].UnitName;
    in.ZFactor = ChannelTable[SlotZ].Factor.load();
    const TFeedbackHints hints = FeedbackHints(in);
    if (hints.SetpointChanged)
        edits_.at("Edit1")->setToolTip(hints.Setpoint);
    if (hints.KiChanged)
        edits_.at("Edit5")->setToolTip(hints.Ki);
}

void TScanParaForm::MirrorEdit1ToEdit21()
{
    const TNumericEdit* edit1 = edits_.at("Edit1");
    TNumericEdit* edit21 = edits_.at("Edit21");
    edit21->setText(edit1->text());
    edit21->SetColor(edit1->Color());
}

void TScanParaForm::Edit1KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit1");
    double value = 0.0;
    if (key == EditKey::Escape) {
        ShowFeedbackParams();
        edit->SetColor(EditColor::White);
    } else if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
    } else {
        const int m = ActiveMode();
        const float kiBefore = ActiveSet().Ki;
        SetActiveSetField(&TFeedbackSet::Setpoint, value);
        UpdateFeedback();
        ShowFeedbackParams();
        edit->MarkAccepted();
        // Ki is scaled by the setpoint: one the new setpoint takes beyond the
        // controller's limit is kept, and stored, as the limit it runs.
        if (ActiveSet().Ki != kiBefore)
            WriteText(FeedParaSection, Edit5Key(m), edits_.at("Edit5")->text());
        if ((m == FeedbackNcAFMR || m == FeedbackNcAFMX) && DrawResonance) {
            DrawResonance();
            if (MainIni)
                MainIni->WriteFloat(FeedParaSection, "NC100ProcentAmpl", MicroscopeState.NC100ProcentAmpl);
        }
        WriteText(FeedParaSection, FeedbackSetKey("Edit1", m), edit->text());
    }
    MirrorEdit1ToEdit21();
}

void TScanParaForm::Edit21KeyPress(EditKey key)
{
    TNumericEdit* edit1 = edits_.at("Edit1");
    edit1->setText(edits_.at("Edit21")->text());
    Edit1KeyPress(key);
}

void TScanParaForm::Edit2KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit2");
    if (key == EditKey::Escape) {
        ShowFeedbackParams();
        edit->SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
        return;
    }
    // The device window quantises the bias, sends it and keeps it in the set.
    if (TInOutForm* device = Device())
        device->SetBias(value);
    else
        SetActiveSetField(&TFeedbackSet::Bias, value);
    ShowFeedbackParams();
    edit->MarkAccepted();
}

void TScanParaForm::FeedbackGainEdit(TNumericEdit* edit, EditKey key, float TFeedbackSet::*field,
                                     const std::function<QString(int)>& settingsKey)
{
    if (key == EditKey::Escape) {
        ShowFeedbackParams();
        edit->SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
        return;
    }
    const int m = ActiveMode();
    SetActiveSetField(field, value);
    UpdateFeedback();
    ShowFeedbackParams();
    edit->MarkAccepted();
    WriteText(FeedParaSection, settingsKey(m), edit->text());
}

void TScanParaForm::Edit5KeyPress(EditKey key)
{
    FeedbackGainEdit(edits_.at("Edit5"), key, &TFeedbackSet::Ki, [this](int m) { return Edit5Key(m); });
}

QString TScanParaForm::Edit5Key(int mode) const
{
    return approachKi_ ? ApproachKiKey(mode) : FeedbackSetKey("Edit5", mode);
}

void TScanParaForm::Edit6KeyPress(EditKey key)
{
    FeedbackGainEdit(edits_.at("Edit6"), key, &TFeedbackSet::Kp, [](int m) { return FeedbackSetKey("Edit6", m); });
}

void TScanParaForm::Label19Click()
{
    const int m = ActiveMode();
    TNumericEdit* edit = edits_.at("Edit5");
    if (!approachKi_) {
        WriteText(FeedParaSection, FeedbackSetKey("Edit5", m), edit->text());
        edit->setText(ReadText(FeedParaSection, ApproachKiKey(m), "20"));
    } else {
        WriteText(FeedParaSection, ApproachKiKey(m), edit->text());
        edit->setText(ReadText(FeedParaSection, FeedbackSetKey("Edit5", m), "20"));
    }
    approachKi_ = !approachKi_;
    SetLabelBackground(labels_.at("Label19"), approachKi_ ? QColor(Qt::blue) : palette().color(QPalette::Button));
    Edit5KeyPress(EditKey::Enter);
}

void TScanParaForm::Label11Click()
{
    TNumericEdit* edit = edits_.at("Edit2");
    if (edit->Color() != EditColor::White)
        return;
    const int m = ActiveMode();
    if (!pulseBias_) {
        WriteText(FeedParaSection, FeedbackSetKey("Edit2", m), edit->text());
        edit->setText(ReadText(FeedParaSection, "Edit2Pulse", "0"));
    } else {
        WriteText(FeedParaSection, "Edit2Pulse", edit->text());
        edit->setText(ReadText(FeedParaSection, FeedbackSetKey("Edit2", m), "0"));
    }
    pulseBias_ = !pulseBias_;
    SetLabelBackground(labels_.at("Label11"), pulseBias_ ? QColor(Qt::blue) : palette().color(QPalette::Button));
    Edit2KeyPress(EditKey::Enter);
}

void TScanParaForm::Label11DblClick()
{
    Beep();
    Label11Click();
}

// ---- loop pages -----------------------------------------------------------------------------

void TScanParaForm::PageEdit(TNumericEdit* edit, EditKey key, const std::function<void(double)>& store,
                             const std::function<void()>& show, bool send)
{
    if (key == EditKey::Escape) {
        show();
        edit->SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    if (!ParseEdit(edit, value)) {
        edit->MarkRefused();
        return;
    }
    store(value);
    if (send)
        UpdateFeedback();
    show();
    edit->MarkAccepted();
}

void TScanParaForm::ShowAmplParams()
{
    edit18Tag_ = AmplPrefixTag(labels_.at("Label28")->text());
    edits_.at("Edit18")->setText(AmplSetpointText(MicroscopeState.AmplSetpoint, edit18Tag_));
    edits_.at("Edit16")->setText(GeneralText(MicroscopeState.AmplKi, 5));
    edits_.at("Edit15")->setText(GeneralText(MicroscopeState.AmplKp, 5));
}

void TScanParaForm::ShowFreqParams()
{
    edits_.at("Edit22")->setText(FixedPointText(MicroscopeState.FreqSetpoint, 8, 2));
    edits_.at("Edit19")->setText(GeneralText(MicroscopeState.FreqKp, 5));
}

void TScanParaForm::ShowKelvinParams()
{
    edits_.at("Edit10")->setText(GeneralText(MicroscopeState.KelvinKi, 6));
    edits_.at("Edit11")->setText(GeneralText(MicroscopeState.KelvinRef, 6));
}

void TScanParaForm::Edit18KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit18");
    PageEdit(
        edit, key,
        [this](double v) { MicroscopeState.AmplSetpoint = static_cast<float>(AmplSetpointFromTyped(v, edit18Tag_)); },
        [this] { ShowAmplParams(); });
    // In mode 6 this is the setpoint the resonance tool marks on its spectrum.
    if (key == EditKey::Enter && edit->Color() == EditColor::White && ActiveMode() == FeedbackNcAFMPLL && DrawResonance)
        DrawResonance();
}

void TScanParaForm::Edit16KeyPress(EditKey key)
{
    PageEdit(
        edits_.at("Edit16"), key, [](double v) { MicroscopeState.AmplKi = static_cast<float>(v); },
        [this] { ShowAmplParams(); });
}

void TScanParaForm::Edit15KeyPress(EditKey key)
{
    PageEdit(
        edits_.at("Edit15"), key, [](double v) { MicroscopeState.AmplKp = static_cast<float>(v); },
        [this] { ShowAmplParams(); });
}

void TScanParaForm::Edit22KeyPress(EditKey key)
{
    PageEdit(
        edits_.at("Edit22"), key,
        [](double v) { MicroscopeState.FreqSetpoint = static_cast<float>(LimitFreqSetpoint(v)); },
        [this] { ShowFreqParams(); });
}

void TScanParaForm::Edit19KeyPress(EditKey key)
{
    PageEdit(
        edits_.at("Edit19"), key, [](double v) { MicroscopeState.FreqKp = static_cast<float>(v); },
        [this] { ShowFreqParams(); });
}

void TScanParaForm::Edit10KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit10");
    // The Kelvin loop's gain goes to the controller only while the loop is on.
    PageEdit(
        edit, key, [](double v) { MicroscopeState.KelvinKi = static_cast<float>(v); }, [this] { ShowKelvinParams(); },
        checkBox1_->isChecked());
    if (key == EditKey::Enter && edit->Color() == EditColor::White)
        SaveText(FeedParaSection, "Edit10", edit);
}

void TScanParaForm::Edit11KeyPress(EditKey key)
{
    TNumericEdit* edit = edits_.at("Edit11");
    PageEdit(
        edit, key, [](double v) { MicroscopeState.KelvinRef = static_cast<float>(v); }, [this] { ShowKelvinParams(); });
    if (key == EditKey::Enter && edit->Color() == EditColor::White)
        SaveText(FeedParaSection, "Edit11", edit);
}

void TScanParaForm::Label28Click()
{
    QLabel* label = labels_.at("Label28");
    if (label->text().isEmpty())
        return;
    const QString prefix = NextAmplPrefix(label->text());
    WriteText(FeedParaSection, "Label28Pre", '"' + prefix + '"');
    label->setText(prefix + ResonanceInputUnit());
    Edit18KeyPress(EditKey::Enter);
}

void TScanParaForm::CheckBox1Click()
{
    TNumericEdit* bias = edits_.at("Edit2");
    if (checkBox1_->isChecked()) {
        // The Kelvin loop drives the bias while it is on.
        bias->setEnabled(false);
        MicroscopeState.KelvinOn = 1;
        Edit10KeyPress(EditKey::Enter);
    } else {
        MicroscopeState.KelvinKi = 0.0f;
        MicroscopeState.KelvinOn = 0;
        UpdateFeedback();
        bias->setEnabled(true);
        Edit2KeyPress(EditKey::Enter);
    }
}

// ---- step buttons and wheel -------------------------------------------------------------

void TScanParaForm::StepSet(const char* editName, float TFeedbackSet::*field, double value)
{
    SetActiveSetField(field, value);
    TNumericEdit* edit = edits_.at(editName);
    edit->setText(FloatText(value));
    edit->PressKey(EditKey::Enter);
}

void TScanParaForm::LBitBtn1Click()
{
    StepSet("Edit1", &TFeedbackSet::Setpoint, StepSetpoint(ActiveSet().Setpoint, StepFactor, StepDirection::Down));
}

void TScanParaForm::RBitBtn1Click()
{
    StepSet("Edit1", &TFeedbackSet::Setpoint, StepSetpoint(ActiveSet().Setpoint, StepFactor, StepDirection::Up));
}

void TScanParaForm::LBitBtn5Click()
{
    StepSet("Edit5", &TFeedbackSet::Ki, StepGain(ActiveSet().Ki, StepFactor, StepDirection::Down));
}

void TScanParaForm::RBitBtn5Click()
{
    StepSet("Edit5", &TFeedbackSet::Ki, StepGain(ActiveSet().Ki, StepFactor, StepDirection::Up));
}

void TScanParaForm::LBitBtn6Click()
{
    StepSet("Edit6", &TFeedbackSet::Kp, StepGain(ActiveSet().Kp, StepFactor, StepDirection::Down));
}

void TScanParaForm::RBitBtn6Click()
{
    StepSet("Edit6", &TFeedbackSet::Kp, StepGain(ActiveSet().Kp, StepFactor, StepDirection::Up));
}

void TScanParaForm::LBitBtn2Click()
{
    const double d = BiasStepQuantum(ChannelTable[SlotBias]);
    StepSet("Edit2", &TFeedbackSet::Bias, StepBias(ActiveSet().Bias, StepFactor, d, StepDirection::Down));
}

void TScanParaForm::RBitBtn2Click()
{
    const double d = BiasStepQuantum(ChannelTable[SlotBias]);
    StepSet("Edit2", &TFeedbackSet::Bias, StepBias(ActiveSet().Bias, StepFactor, d, StepDirection::Up));
}

void TScanParaForm::BitBtnMouseDown(QAbstractButton* button, bool shift)
{
    repeatButton_ = button;
    StepFactor = StepFactorFor(shift);
    timer1_.start(StepRepeatMs);
}

void TScanParaForm::BitBtnMouseUp()
{
    timer1_.stop();
}

void TScanParaForm::Timer1Timer()
{
    const auto it = stepClicks_.find(repeatButton_);
    if (it != stepClicks_.end())
        (this->*(it->second))();
}

void TScanParaForm::FormMouseWheel(int delta, bool shift, QWidget* focused, double nowDays)
{
    StepFactor = StepFactorFor(shift);
    const auto is = [&](const char* name) { return focused != nullptr && focused == edits_.at(name); };
    if (is("Edit1")) {
        delta > 0 ? RBitBtn1Click() : LBitBtn1Click();
    } else if (is("Edit5")) {
        delta > 0 ? RBitBtn5Click() : LBitBtn5Click();
    } else if (is("Edit6")) {
        delta > 0 ? RBitBtn6Click() : LBitBtn6Click();
    } else if (is("Edit2")) {
        delta > 0 ? RBitBtn2Click() : LBitBtn2Click();
    } else if (is("Edit4") || is("Edit21") ||
               (fastZ_ != nullptr && focused != nullptr &&
                (focused == fastZ_->Edit20 || focused == fastZ_->Edit17 || focused == fastZ_->Edit13))) {
        // The FastZ page's Kp, Ki and Td/alpha edits apply through their own key handler.
        auto* edit = static_cast<TNumericEdit*>(focused);
        const double f = WheelRate(nowDays - lastWheelTime_);
        double v = 0.0;
        if (!ParseEditValue(edit->text(), edit->Rules, v))
            v = 0.0;
        edit->setText(FloatText(WheelStep(v, f, delta)));
        edit->PressKey(EditKey::Enter);
    }
    lastWheelTime_ = nowDays;
}

// ---- status timer ------------------------------------------------------------------------

void TScanParaForm::WenigWichtigTimerTimer()
{
    TDeviceWorkers* device = Workers();
    if (device == nullptr)
        return;
    // The Z bar, the status line, the image time and the scan button's hint.
    StatusDisplayTick();
    if (ShowHardLinCoeff)
        ShowHardLinCoeff();
    if (ShowNavigatorPosition)
        ShowNavigatorPosition();
    device->PowerSaverTick();
    // Completes a pause once the scan thread has parked, and gives the
    // display one pass per tick while a scan runs (the fast scan's too, once
    // it exists).
    device->GoXYThread().StatusTick();
}

// ---- window events ------------------------------------------------------------------------

bool TScanParaForm::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
        // The filter is in place before the edits exist.
        for (const char* name : {"Edit7", "Edit8"}) {
            const auto it = edits_.find(name);
            if (it == edits_.end() || watched != it->second)
                continue;
            if (type == QEvent::FocusIn)
                Edit7Enter(it->second);
            else
                Edit7Exit(it->second);
        }
        return false;
    }
    if (type != QEvent::Wheel && type != QEvent::KeyPress && type != QEvent::MouseButtonPress &&
        type != QEvent::MouseButtonDblClick)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || (widget != this && !isAncestorOf(widget)))
        return false;

    switch (type) {
    case QEvent::Wheel: {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const int delta = wheel->angleDelta().y();
        if (delta != 0)
            FormMouseWheel(delta, wheel->modifiers().testFlag(Qt::ShiftModifier), QApplication::focusWidget(),
                           NowInDays());
        return true;
    }
    case QEvent::KeyPress:
        // Esc anywhere in the window stops a running approach or script.
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            AbortFlag = true;
            StopMotions();
        }
        return false;
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            return false;
        if (watched == labels_.at("Label19"))
            Label19Click();
        else if (watched == labels_.at("Label11"))
            Label11Click();
        else if (watched == labels_.at("Label28"))
            Label28Click();
        return false;
    case QEvent::MouseButtonDblClick:
        if (watched == labels_.at("Label11") && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            Label11DblClick();
        return false;
    default:
        return false;
    }
}

} // namespace qvt
