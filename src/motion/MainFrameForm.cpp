#include "motion/MainFrameForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <cstdlib>

namespace qvt {

TMainFrameForm* MainFrameForm = nullptr;

namespace {

const char* const Section = "MainFrame";
constexpr int TimerMs = 100;
constexpr int PictureW = 120;
constexpr int PictureH = 90;

struct EditInfo {
    const char* Hint;
    const char* Default;
};
constexpr std::array<EditInfo, 5> EditTable{{
    {"Speed [Hz]", "1"},
    {"Mode (1=Steps 2=Sensor) ", "2"},
    {"Landing Reference [mV]", "3"},
    {"MaxNrOfSteps", "4"},
    {"ExtraSteps", "5"},
}};

// The picture of a state: the frame, the sample carrier where the state puts
// it, and the tip over it.
QPixmap StatePicture(int state)
{
    QPixmap pm(PictureW, PictureH);
    pm.fill(Qt::white);
    QPainter p(&pm);
    // Sample height: up (picked up / idle), on the frame (landed and later).
    const bool onFrame = state >= FrameLanded && state <= FrameScanning;
    const bool moving = state == FrameLanding || state == FramePickingUp;
    const int sampleY = onFrame ? 56 : (moving ? 40 : 24);
    p.setPen(Qt::black);
    p.setBrush(QColor(0xC0, 0xC0, 0xC0));
    p.drawRect(10, 66, PictureW - 20, 10); // the frame
    p.setBrush(moving ? QColor(0xFF, 0xCC, 0x33) : QColor(0x66, 0x99, 0xFF));
    p.drawRect(35, sampleY, 50, 10); // the sample carrier
    // The tip: far away until the approach, then down on the sample.
    const int tipY = state >= FrameApproached && state <= FrameScanning ? sampleY - 14 : 2;
    p.setBrush(state == FrameScanning ? QColor(0x33, 0xAA, 0x33) : QColor(0x40, 0x40, 0x40));
    const QPoint tip[3] = {QPoint(54, tipY), QPoint(66, tipY), QPoint(60, tipY + 12)};
    p.drawPolygon(tip, 3);
    p.drawText(QRect(0, 78, PictureW, 12), Qt::AlignCenter, QString("State %1").arg(state));
    return pm;
}

} // namespace

TMainFrameForm::TMainFrameForm(TInOutForm& link, QWidget* parent) : QWidget(parent), link_(link)
{
    MainFrameForm = this;
    setWindowTitle("MainFrame");
    setObjectName("MainFrameForm");
    auto* grid = new QGridLayout(this);
    image_ = new QLabel(this);
    image_->setObjectName("Image1");
    image_->setFixedSize(PictureW, PictureH + 1);
    grid->addWidget(image_, 0, 0, 3, 1);
    const char* const captions[] = {"Landing", "PickUp", "Approach", "Retract", "Scan"};
    for (int i = 0; i < 5; ++i) {
        auto* b = new QPushButton(captions[i], this);
        b->setObjectName(QString("Button%1").arg(i + 1));
        grid->addWidget(b, i / 3, 1 + i % 3);
        if (i == 0)
            connect(b, &QPushButton::clicked, this, [this] { Button1Click(); });
        else if (i == 1)
            connect(b, &QPushButton::clicked, this, [this] { Button2Click(); });
        else if (i == 2)
            connect(b, &QPushButton::clicked, this, [this] { Button3Click(); });
        else if (i == 4)
            connect(b, &QPushButton::clicked, this, [this] { Button5Click(); });
        // "Retract" has no action.
    }
    for (size_t i = 0; i < edits_.size(); ++i) {
        auto* e = new QLineEdit(EditTable[i].Default, this);
        e->setObjectName(QString("Edit%1").arg(i + 1));
        e->setToolTip(EditTable[i].Hint);
        e->setMaximumWidth(70);
        grid->addWidget(e, 2 + static_cast<int>(i) / 3, 1 + static_cast<int>(i) % 3);
        edits_[i] = e;
    }
    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName("Memo1");
    memo_->setReadOnly(true);
    grid->addWidget(memo_, 4, 0, 1, 4);
    timer_ = new QTimer(this);
    timer_->setInterval(TimerMs);
    connect(timer_, &QTimer::timeout, this, [this] { Timer1Timer(); });
    hide();
}

TMainFrameForm::~TMainFrameForm()
{
    if (MainFrameForm == this)
        MainFrameForm = nullptr;
}

void TMainFrameForm::FormCreate()
{
    if (MainIni == nullptr || !MainIni->ReadBool("Software", "MainFrame", false))
        return;
    created_ = true;
    move(MainIni->ReadFormPosLeft(Section, 1), MainIni->ReadInteger(Section, "FormPosTop", 1));
    seq_.ShownState = -1;
    seq_.FrameState = MainIni->ReadInteger(Section, "afmState", 0);
    memo_->clear();
    for (size_t i = 0; i < edits_.size(); ++i)
        edits_[i]->setText(MainIni->ReadString(Section, QString("Edit%1").arg(i + 1), EditTable[i].Default));
    show();
    timer_->start();
}

void TMainFrameForm::FormDestroy()
{
    timer_->stop();
    if (!created_ || MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger(Section, "afmState", seq_.FrameState);
    for (size_t i = 0; i < edits_.size(); ++i)
        MainIni->WriteString(Section, QString("Edit%1").arg(i + 1), edits_[i]->text());
    created_ = false;
}

bool TMainFrameForm::ReadEdits(std::array<int32_t, 5>& values)
{
    for (size_t i = 0; i < edits_.size(); ++i) {
        bool ok = false;
        values[i] = edits_[i]->text().trimmed().toInt(&ok);
        if (!ok) {
            // Nothing is sent with a value the operator did not mean.
            ShowMessage(MsgKind::Error, QString("'%1' is not a valid integer value").arg(edits_[i]->text()),
                        MsgButtons::Ok);
            edits_[i]->setFocus();
            return false;
        }
    }
    return true;
}

void TMainFrameForm::StartMove(bool landing)
{
    std::array<int32_t, 5> v{};
    if (!ReadEdits(v))
        return;
    seq_.UpIs88 = MainIni != nullptr && MainIni->ReadInteger("Stepper", "Up", 5) == 88;
    seq_.SWInverse = MainIni != nullptr && MainIni->ReadInteger(Section, "SWInverse", 0) != 0;
    // |INT_MIN| does not exist: such a count is held one step short.
    const int32_t extra = v[4] == INT32_MIN ? INT32_MAX : std::abs(v[4]);
    const int32_t count = v[3] == INT32_MIN ? INT32_MAX : std::abs(v[3]);
    Apply(seq_.StartMove(v[1], v[2], landing ? -extra : extra, landing ? -count : count, v[0]));
}

void TMainFrameForm::Button1Click()
{
    StartMove(true);
}

void TMainFrameForm::Button2Click()
{
    StartMove(false);
}

void TMainFrameForm::Button3Click()
{
    bool ok = false;
    const int mode = edits_[1]->text().trimmed().toInt(&ok);
    int32_t z = MicroscopeState.ZState;
    seq_.StartApproach(ok && mode == 1, z);
    MicroscopeState.ZState = z;
}

void TMainFrameForm::Button5Click()
{
    seq_.StartScan();
    if (ClickScanButton && !(ScanButtonDown && ScanButtonDown()))
        ClickScanButton();
}

void TMainFrameForm::Timer1Timer()
{
    Apply(seq_.Tick([this] { return link_.ReadReg(RegFrameProgress); }, MicroscopeState.ZState));
}

void TMainFrameForm::Apply(const TFrameActions& actions)
{
    for (const TFrameWrite& w : actions.Writes)
        link_.WriteReg(w.Reg, static_cast<int32_t>(w.Value));
    if (!actions.StateShown)
        return;
    DrawState();
    memo_->appendPlainText(QString("State %1").arg(seq_.ShownState));
    // The approach waits with the window's events running, so this timer
    // ticks on inside it; the state was taken above, so it starts once.
    if (actions.StartApproach && RunApproach)
        RunApproach(seq_.FastApproach);
}

void TMainFrameForm::DrawState()
{
    image_->setPixmap(StatePicture(seq_.ShownState));
}

} // namespace qvt
