#include "motion/CoarseForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <QAbstractButton>
#include <QActionGroup>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <algorithm>
#include <utility>

namespace qvt {

TCoarseForm* CoarseForm = nullptr;

namespace {

constexpr const char* CoarseSection = "Coarse";
constexpr const char* StepperSection = "Stepper";
constexpr int DefaultSlow = 200;
constexpr int DefaultFast = 20;
constexpr int StepButtonWidth = 40;

struct DelayEdit {
    const char* Name;
    const char* Key;
    int Default;
};
constexpr DelayEdit DelayEdits[] = {
    {"Edit1", "SlowX", DefaultSlow}, {"Edit2", "FastX", DefaultFast}, {"Edit7", "SlowY", DefaultSlow},
    {"Edit8", "FastY", DefaultFast}, {"Edit4", "SlowZ", DefaultSlow}, {"Edit5", "FastZ", DefaultFast},
};

QColor StateColor(TDelayEditState state)
{
    switch (state) {
    case TDelayEditState::Typing:
        return QColor(0xC0, 0xC0, 0xC0);
    case TDelayEditState::Refused:
        return Qt::red;
    case TDelayEditState::Taken:
        break;
    }
    return Qt::white;
}

} // namespace

TCoarseForm::TCoarseForm(QWidget* parent) : QWidget(parent)
{
    setObjectName("CoarseForm");
    setWindowTitle("Coarse Move");
    setWindowFlags(windowFlags() | Qt::Tool);
    clock_.start();
    NowMs = [this] { return clock_.elapsed(); };
    // Restarted after each burst, so the period is the delay plus the burst.
    repeatTimer_.setSingleShot(true);
    repeatTimer_.setTimerType(Qt::PreciseTimer);
    connect(&repeatTimer_, &QTimer::timeout, this, &TCoarseForm::Timer1DXTimer);
    BuildControls();
    if (CoarseForm == nullptr)
        CoarseForm = this;
}

TCoarseForm::~TCoarseForm()
{
    // A hold still under way ends here, while the window is whole: the
    // controls go after this body, and a held button's lost focus then
    // emits its release, which must not reach the window any more.
    StopRepeat();
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
    if (TStepper* s = StepperInUse(); s != nullptr && s->CoarseStatus == this)
        s->CoarseStatus = nullptr;
    if (CoarseForm == this)
        CoarseForm = nullptr;
}

TStepper* TCoarseForm::StepperInUse() const
{
    return stepper_ != nullptr ? stepper_ : Stepper;
}

int TCoarseForm::Setting(const char* section, const char* key, int def) const
{
    return MainIni ? MainIni->ReadInteger(section, key, def) : def;
}

int TCoarseForm::DelaySetting(const char* key, int def) const
{
    // A delay stored by hand beyond what the edits take repeats no faster or slower than they allow.
    return std::clamp(Setting(CoarseSection, key, def), CoarseDelayMin, CoarseDelayMax);
}

void TCoarseForm::BuildControls()
{
    // The simple layout shows the buttons only; the advanced one adds the delays.
    auto* outer = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    outer->addLayout(row);
    auto* buttonsPanel = new QWidget(this);
    auto* grid = new QGridLayout(buttonsPanel);
    grid->setContentsMargins(0, 0, 0, 0);
    row->addWidget(buttonsPanel);
    delayPanel_ = new QWidget(this);
    auto* delays = new QGridLayout(delayPanel_);
    delays->setContentsMargins(0, 0, 0, 0);
    row->addWidget(delayPanel_);
    struct ButtonPlace {
        int Number;
        const char* Text;
        const char* Hint;
        int Row, Col;
    };
    const ButtonPlace places[] = {
        {1, "v", "approach (fast:+shift)", 1, 1},
        {2, "^", "retract (fast:+shift)", 0, 1},
        {3, "<", "left", 3, 0},
        {4, ">", "right", 3, 2},
        {5, "F", "forward", 2, 1},
        {6, "B", "backward", 4, 1},
        {7, "off", "stepper off", 0, 2},
        {8, "BU", "level: back up", 5, 0},
        {9, "BD", "level: back down", 5, 1},
        {10, "RULD", "level: right up, left down", 6, 0},
        {11, "RDLU", "level: right down, left up", 6, 1},
    };
    for (const ButtonPlace& s : places) {
        auto* b = new QPushButton(s.Text, buttonsPanel);
        b->setObjectName(QString("BitBtn%1").arg(s.Number));
        b->setToolTip(s.Hint);
        b->setAutoDefault(false);
        b->setFixedWidth(StepButtonWidth);
        buttons_[static_cast<size_t>(s.Number)] = b;
        grid->addWidget(b, s.Row, s.Col);
        const int number = s.Number;
        if (number == 7) {
            connect(b, &QPushButton::clicked, this, [this] { StepButtonClick(7); });
            continue;
        }
        connect(b, &QPushButton::pressed, this, [this, number] {
            PressStepButton(number, QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier), true);
        });
        // Qt emits released, then clicked only when the pointer is still on
        // the button: that click is the release's one extra burst.
        connect(b, &QPushButton::released, this, [this] { clickPending_ = EndHold(); });
        connect(b, &QPushButton::clicked, this, [this, number] {
            if (std::exchange(clickPending_, false))
                StepButtonClick(number);
            ShowZPosition();
        });
    }

    // One row per axis: slow and fast delay (ms).
    delays->addWidget(new QLabel("slow", delayPanel_), 0, 1);
    delays->addWidget(new QLabel("fast", delayPanel_), 0, 2);
    const char* axes[] = {"x", "y", "z"};
    for (int axis = 0; axis < 3; ++axis) {
        delays->addWidget(new QLabel(axes[axis], delayPanel_), axis + 1, 0);
        delays->addWidget(MakeEdit(DelayEdits[2 * axis].Name), axis + 1, 1);
        delays->addWidget(MakeEdit(DelayEdits[2 * axis + 1].Name), axis + 1, 2);
    }
    const int line = 4;
    pulseLabel_ = new QLabel("pulses", delayPanel_);
    delays->addWidget(pulseLabel_, line, 0);
    delays->addWidget(MakeEdit("Edit3"), line, 1);
    soundCheckBox_ = new QCheckBox("Play Sound on Step", this);
    soundCheckBox_->setObjectName("SoundCheckBox");
    delays->addWidget(soundCheckBox_, line + 1, 0, 1, 3);
    connect(soundCheckBox_, &QCheckBox::clicked, this, [this](bool on) {
        if (MainIni)
            MainIni->WriteBool(CoarseSection, "Sound", on);
        if (TStepper* s = StepperInUse())
            s->Sound = on;
    });
    checkBox1_ = new QCheckBox("High Speed", this);
    checkBox1_->setObjectName("CheckBox1");
    delays->addWidget(checkBox1_, line + 2, 0, 1, 3);
    connect(checkBox1_, &QCheckBox::clicked, this, [this](bool on) {
        if (MainIni)
            MainIni->WriteBool(CoarseSection, "HighSpeed", on);
        if (TStepper* s = StepperInUse())
            s->SetHighSpeed(on);
    });
    cancelButton_ = new QPushButton("Cancel", buttonsPanel);
    cancelButton_->setObjectName("CancelButton");
    cancelButton_->setAutoDefault(false);
    connect(cancelButton_, &QPushButton::clicked, this, &QWidget::close);
    grid->addWidget(cancelButton_, 7, 0, 1, 3);
    grid->setRowStretch(8, 1);
    statusBar_ = new QLabel(this);
    statusBar_->setObjectName("StatusBar1");
    statusBar_->setToolTip("DblClick to set zero.");
    statusBar_->setFrameShape(QFrame::Panel);
    statusBar_->installEventFilter(this);
    outer->addWidget(statusBar_);

    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName("PopupMenu1");
    auto* group = new QActionGroup(popupMenu1_);
    QAction* simple = popupMenu1_->addAction("&simple");
    QAction* advanced = popupMenu1_->addAction("&advanced");
    for (QAction* a : {simple, advanced}) {
        a->setCheckable(true);
        group->addAction(a);
    }
    simple->setChecked(true);
    connect(simple, &QAction::triggered, this, [this] { SetAdvanced(false); });
    connect(advanced, &QAction::triggered, this, [this] { SetAdvanced(true); });
}

QLineEdit* TCoarseForm::MakeEdit(const QString& name)
{
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setAutoFillBackground(true);
    edit->setFixedWidth(56);
    edits_[name] = edit;
    connect(edit, &QLineEdit::textEdited, this, [this, edit] { SetEditState(edit, TDelayEditState::Typing); });
    connect(edit, &QLineEdit::returnPressed, this, [this, name] { EditEnter(name); });
    return edit;
}

void TCoarseForm::SetEditState(QLineEdit* edit, TDelayEditState state)
{
    edit->setProperty("editState", static_cast<int>(state));
    QPalette p = edit->palette();
    p.setColor(QPalette::Base, StateColor(state));
    edit->setPalette(p);
}

TDelayEditState TCoarseForm::EditState(const QString& name) const
{
    const QLineEdit* edit = Edit(name);
    return edit ? static_cast<TDelayEditState>(edit->property("editState").toInt()) : TDelayEditState::Taken;
}

QLineEdit* TCoarseForm::Edit(const QString& name) const
{
    const auto it = edits_.find(name);
    return it == edits_.end() ? nullptr : it->second;
}

QPushButton* TCoarseForm::BitBtn(int number) const
{
    return number >= 1 && number <= ButtonCount ? buttons_[static_cast<size_t>(number)] : nullptr;
}

// ---- life ------------------------------------------------------------------------------------

void TCoarseForm::FormCreate()
{
    const int left = MainIni ? MainIni->ReadFormPosLeft(CoarseSection, 1) : 1;
    move(left, Setting(CoarseSection, "FormPosTop", 1));
    SetAdvanced(false);
    LoadDelays();
    const bool xy = MainIni && MainIni->ReadBool(CoarseSection, "xyTranslator", false);
    for (int n = 3; n <= 6; ++n)
        BitBtn(n)->setEnabled(xy);
    soundCheckBox_->setChecked(!MainIni || MainIni->ReadBool(CoarseSection, "Sound", true));
    if (TStepper* s = StepperInUse())
        s->Sound = soundCheckBox_->isChecked();
    const bool level = MainIni && MainIni->ReadBool(CoarseSection, "LevelStation", false);
    for (int n = 8; n <= 11; ++n)
        BitBtn(n)->setVisible(level);
    if (!level)
        setFixedHeight(CoarseHeightWithoutLevel);
    checkBox1_->setChecked(!MainIni || MainIni->ReadBool(CoarseSection, "HighSpeed", true));
    Edit("Edit3")->setText(QString::number(Setting(StepperSection, "slSteps", 1)));
    const bool pulses = MainIni && MainIni->ReadBool(StepperSection, "slStepsVisible", false);
    Edit("Edit3")->setVisible(pulses);
    pulseLabel_->setVisible(pulses);
    if (Setting(StepperSection, "zCoarseEncoderChannel", 0) != 0)
        statusBar_->setToolTip(QString());
    if (TStepper* s = StepperInUse())
        s->CoarseStatus = this;
    ShowZPosition();
    if (UserIni && UserIni->ReadBool("Main", "CoarseButton", false))
        show();
}

void TCoarseForm::FormDestroy()
{
    StopRepeat();
    if (MainIni) {
        MainIni->WriteInteger(CoarseSection, "FormPosLeft", x());
        MainIni->WriteInteger(CoarseSection, "FormPosTop", y());
    }
    if (TStepper* s = StepperInUse()) {
        s->PowerOff();
        if (s->CoarseStatus == this)
            s->CoarseStatus = nullptr;
    }
}

void TCoarseForm::FormActivate()
{
    const bool xy = MainIni && MainIni->ReadBool(CoarseSection, "xyTranslator", false);
    const TCoarseEnable e = CoarseEnableRules(xy, MicroscopeState.ZState.load());
    for (int n = 3; n <= 6; ++n)
        BitBtn(n)->setEnabled(e.XY);
    for (int n = 8; n <= 11; ++n)
        BitBtn(n)->setEnabled(e.Level);
}

void TCoarseForm::LoadDelays()
{
    for (const DelayEdit& d : DelayEdits) {
        QLineEdit* edit = Edit(d.Name);
        const int delay = DelaySetting(d.Key, d.Default);
        edit->setText(QString::number(delay));
        SetEditState(edit, TDelayEditState::Taken);
        // The settings say the delay the buttons repeat at.
        if (MainIni && delay != Setting(CoarseSection, d.Key, d.Default))
            MainIni->WriteInteger(CoarseSection, d.Key, delay);
    }
}

void TCoarseForm::SaveDelays()
{
    if (MainIni == nullptr)
        return;
    for (const DelayEdit& d : DelayEdits) {
        bool ok = false;
        const int v = Edit(d.Name)->text().toInt(&ok);
        if (ok)
            MainIni->WriteInteger(CoarseSection, d.Key, v);
    }
}

void TCoarseForm::EditEnter(const QString& name)
{
    QLineEdit* edit = Edit(name);
    if (edit == nullptr)
        return;
    const bool pulse = name == "Edit3";
    const std::optional<int> v = pulse ? TakeDelayText(edit->text(), CoarsePulseMin, CoarsePulseMax)
                                       : TakeDelayText(edit->text(), CoarseDelayMin, CoarseDelayMax);
    if (!v) {
        SetEditState(edit, TDelayEditState::Refused);
        return;
    }
    edit->setText(QString::number(*v));
    if (pulse) {
        if (MainIni)
            MainIni->WriteInteger(StepperSection, "slSteps", *v);
    } else {
        SaveDelays();
        LoadDelays();
    }
    SetEditState(edit, TDelayEditState::Taken);
}

// ---- step buttons ----------------------------------------------------------------------------

std::optional<TCoarseForm::AxisKeys> TCoarseForm::KeysOf(int number)
{
    if (number == 1 || number == 2)
        return AxisKeys{"SlowZ", "FastZ", true};
    if (number == 3 || number == 4)
        return AxisKeys{"SlowX", "FastX", true};
    if (number == 5 || number == 6)
        return AxisKeys{"SlowY", "FastY", true};
    if (number >= 8 && number <= 11)
        return AxisKeys{"SlowLevel", "FastLevel", false};
    return std::nullopt;
}

void TCoarseForm::PressStepButton(int number, bool fast, bool byMouse)
{
    const std::optional<AxisKeys> keys = KeysOf(number);
    if (!keys)
        return;
    const int slow = DelaySetting(keys->Slow, DefaultSlow);
    const int quick = DelaySetting(keys->Fast, DefaultFast);
    if (keys->SetsRepeat) {
        RepeatFast = quick;
        RepeatSlow = slow;
    }
    held_ = number;
    repeat_.Press(NowMs(), fast ? quick : slow, byMouse);
    StartRepeatTimer();
}

bool TCoarseForm::EndHold()
{
    repeatTimer_.stop();
    const bool wasHeld = repeat_.Release(true);
    ShowZPosition();
    return wasHeld;
}

void TCoarseForm::ReleaseStepButton(bool pointerOnButton)
{
    if (EndHold() && pointerOnButton)
        StepButtonClick(held_);
    ShowZPosition();
}

void TCoarseForm::SetRepeatFromDeflection(int d)
{
    repeat_.SetInterval(RepeatIntervalFromDeflection(d, RepeatFast, RepeatSlow));
    if (repeat_.Active())
        StartRepeatTimer();
}

void TCoarseForm::StartRepeatTimer()
{
    const int64_t wait = repeat_.MsUntilDue(NowMs());
    if (wait < 0)
        repeatTimer_.stop();
    else
        repeatTimer_.start(static_cast<int>(wait));
}

void TCoarseForm::Timer1DXTimer()
{
    if (!repeat_.Active())
        return;
    if (!repeat_.Due(NowMs())) {
        StartRepeatTimer();
        return;
    }
    StepButtonClick(held_);
    ShowZPosition();
    // The burst may have ended the hold (a box, a lost focus).
    if (!repeat_.Active())
        return;
    repeat_.BurstDone(NowMs());
    StartRepeatTimer();
}

void TCoarseForm::StepButtonClick(int number)
{
    TStepper* s = StepperInUse();
    QPushButton* b = BitBtn(number);
    if (s == nullptr || b == nullptr || !b->isEnabled())
        return;
    // The counts are read at every click, so an edited setting counts at once.
    const int z = Setting(CoarseSection, "StepsZ", 1);
    const int x = Setting(CoarseSection, "StepsX", 1);
    const int y = Setting(CoarseSection, "StepsY", 1);
    const int level = Setting(CoarseSection, "StepsLevel", 1);
    const int32_t lost = s->LinkLosses;
    switch (number) {
    case 1:
        s->StepsDown(z);
        break;
    case 2:
        s->StepsUp(z);
        break;
    case 3:
        s->StepsLeft(x);
        break;
    case 4:
        s->StepsRight(x);
        break;
    case 5:
        s->StepsForward(y);
        break;
    case 6:
        s->StepsBackward(y);
        break;
    case 7:
        StopRepeat();
        s->PowerOff();
        break;
    case 8:
        s->StepsBU(level);
        break;
    case 9:
        s->StepsBD(level);
        break;
    case 10:
        s->StepsRULD(level);
        break;
    case 11:
        s->StepsRDLU(level);
        break;
    default:
        break;
    }
    // A held button's run ends with the stepper's port, which has told why.
    if (s->LinkLosses != lost)
        StopRepeat();
}

void TCoarseForm::StopRepeat()
{
    repeatTimer_.stop();
    repeat_.Cancel();
}

// ---- status bar ------------------------------------------------------------------------------

void TCoarseForm::SetStatusText(const QString& text)
{
    statusBar_->setText(text);
}

void TCoarseForm::ShowZPosition()
{
    if (TStepper* s = StepperInUse())
        SetStatusText("z: " + s->FormatZPosition());
}

void TCoarseForm::StatusBarDblClick()
{
    if (TStepper* s = StepperInUse())
        s->zCoarsePos = 0;
    ShowZPosition();
}

void TCoarseForm::SetAdvanced(bool advanced)
{
    delayPanel_->setVisible(advanced);
    setFixedWidth(advanced ? CoarseAdvancedWidth : CoarseSimpleWidth(StepButtonWidth));
}

// ---- window events ---------------------------------------------------------------------------

bool TCoarseForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == statusBar_ && event->type() == QEvent::MouseButtonDblClick) {
        StatusBarDblClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TCoarseForm::contextMenuEvent(QContextMenuEvent* event)
{
    // On the background only: the controls keep their own menus.
    QWidget* under = childAt(event->pos());
    if (qobject_cast<QAbstractButton*>(under) == nullptr && qobject_cast<QLineEdit*>(under) == nullptr)
        popupMenu1_->popup(event->globalPos());
}

void TCoarseForm::keyPressEvent(QKeyEvent* event)
{
    // Esc is the Cancel button's.
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TCoarseForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FormActivate();
    if (SetCoarseButton)
        SetCoarseButton(true);
}

void TCoarseForm::hideEvent(QHideEvent* event)
{
    // A hold whose mouse-up never comes must not step on behind a hidden window.
    if (repeat_.MouseStarted())
        StopRepeat();
    QWidget::hideEvent(event);
}

void TCoarseForm::closeEvent(QCloseEvent* event)
{
    if (SetCoarseButton)
        SetCoarseButton(false);
    StopRepeat();
    if (TStepper* s = StepperInUse())
        s->PowerOff();
    QWidget::closeEvent(event);
}

void TCoarseForm::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange)
        return;
    if (isActiveWindow()) {
        FormActivate();
        return;
    }
    // Focus gone in the middle of a hold (a box came up): the mouse-up will
    // not reach the button, so the repeat stops here, and the stepper stays off.
    if (repeat_.MouseStarted())
        StopRepeat();
    if (TStepper* s = StepperInUse())
        s->PowerOff();
}

} // namespace qvt
