#include "scan/LevelPage.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "widgets/NumericEdit.h"
#include "widgets/SteadyLayout.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace qvt {

namespace {

constexpr const char* Section = "ScanPara";
constexpr int SliderWidth = 145; // the knob rests at 72
constexpr int KnobWidth = 11;

// The slider image: a groove and the knob, with the mouse handed to the page.
class TLevelSlider : public QWidget {
public:
    explicit TLevelSlider(TLevelPage* page) : page_(page)
    {
        setObjectName("Image3");
        setFixedSize(SliderWidth, 16);
    }
    int Knob = SliderWidth / 2;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), isEnabled() ? Qt::white : Qt::lightGray);
        p.drawLine(0, height() / 2, width(), height() / 2);
        p.fillRect(Knob - KnobWidth / 2, 1, KnobWidth, height() - 2, isEnabled() ? Qt::darkBlue : Qt::gray);
    }
    void mousePressEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            page_->Image3MouseDown(static_cast<int>(e->position().x()));
    }
    void mouseMoveEvent(QMouseEvent* e) override { page_->Image3MouseMove(static_cast<int>(e->position().x())); }
    void mouseReleaseEvent(QMouseEvent* e) override { page_->Image3MouseUp(static_cast<int>(e->position().x())); }

private:
    TLevelPage* page_;
};

class TLabelClicks : public QObject {
public:
    TLabelClicks(QLabel* label, std::function<void()> click, std::function<void()> dbl)
        : QObject(label), click_(std::move(click)), dbl_(std::move(dbl))
    {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::MouseButtonPress)
            click_();
        else if (e->type() == QEvent::MouseButtonDblClick)
            dbl_();
        else
            return false;
        return true;
    }

private:
    std::function<void()> click_, dbl_;
};

} // namespace

TLevelPage::TLevelPage(QTabWidget* pages, std::function<TInOutForm*()> device, std::function<TDeviceWorkers*()> workers,
                       QObject* parent)
    : QObject(parent), device_(std::move(device)), workers_(std::move(workers)), pages_(pages)
{
    auto* level = new QWidget;
    level->setObjectName("LevelPage");
    auto* grid = new QGridLayout(level);
    auto* group = new QGroupBox("Active Level");
    group->setObjectName("RadioGroup1");
    auto* g = new QVBoxLayout(group);
    const char* captions[] = {"off", "fixed", "auto"};
    for (int i = 0; i < 3; ++i) {
        Modes[static_cast<size_t>(i)] = new QRadioButton(captions[i]);
        g->addWidget(Modes[static_cast<size_t>(i)]);
        connect(Modes[static_cast<size_t>(i)], &QRadioButton::clicked, this, [this, i] { LevelRadioGroup1Click(i); });
    }
    Label18 = new QLabel("dz/dx=0");
    Label18->setObjectName("Label18");
    Label22 = new QLabel("dz/dy=0");
    Label22->setObjectName("Label22");
    new TLabelClicks(
        Label18, [this] { Label18Click(); }, [this] { LabelDblClick(18); });
    new TLabelClicks(
        Label22, [this] { Label22Click(); }, [this] { LabelDblClick(22); });
    Edit12 = new TNumericEdit("Edit12");
    // The slope's edit comes and goes under the labels; its room stays, so
    // the labels and the slider keep their place.
    KeepPlaceWhenHidden(Edit12);
    Edit12->hide();
    Edit12->OnKey = [this](EditKey key) { Edit12KeyPress(key == EditKey::Enter); };
    Image3 = new TLevelSlider(this);
    grid->addWidget(group, 0, 0, 3, 1);
    grid->addWidget(Label18, 0, 1);
    grid->addWidget(Label22, 1, 1);
    grid->addWidget(Edit12, 2, 1);
    grid->addWidget(Image3, 3, 0, 1, 2);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(2, 1);
    pages->addTab(level, "Level");

    flyPage_ = new QWidget;
    flyPage_->setObjectName("FlyPage");
    auto* fly = new QGridLayout(flyPage_);
    Edit14 = new TNumericEdit("Edit14");
    Edit14->OnKey = [this](EditKey key) { Edit14KeyPress(key == EditKey::Enter); };
    fly->addWidget(new QLabel("Fly height"), 0, 0);
    fly->addWidget(Edit14, 0, 1);
    const char* flyCaptions[] = {"Off", "Line wise", "Now"};
    for (int i = 0; i < 3; ++i) {
        FlyModes[static_cast<size_t>(i)] = new QRadioButton(flyCaptions[i]);
        FlyModes[static_cast<size_t>(i)]->setObjectName(QString("RadioButton%1").arg(i + 1));
        fly->addWidget(FlyModes[static_cast<size_t>(i)], 1 + i, 0, 1, 2);
        connect(FlyModes[static_cast<size_t>(i)], &QRadioButton::clicked, this, [this, i] { RadioButtonClick(i); });
    }
    fly->setRowStretch(4, 1);
    fly->setColumnStretch(2, 1);
    FlyModes[0]->setChecked(true);
    pages->addTab(flyPage_, "Fly");
}

void TLevelPage::DegreeScale()
{
    inDegrees_ = false;
    const TIOScale& z = ChannelTable[SlotZ];
    const TIOScale& x = ChannelTable[SlotX];
    const TIOScale& y = ChannelTable[SlotY];
    double fx = 0, fy = 0;
    if (LevelAngleFactor(z.UnitName, z.Factor.load(), x.UnitName, x.Factor.load(), fx) &&
        LevelAngleFactor(z.UnitName, z.Factor.load(), y.UnitName, y.Factor.load(), fy)) {
        angleX_ = fx;
        angleY_ = fy;
        inDegrees_ = true;
    }
}

void TLevelPage::FormCreate()
{
    DegreeScale();
    mode_ = std::clamp(MainIni ? MainIni->ReadInteger(Section, "Level", 0) : 0, 0, 2);
    Modes[static_cast<size_t>(mode_)]->setChecked(true);
    if (mode_ == LevelFixed && MainIni) {
        dx_ = MainIni->ReadFloat(Section, "dxdz", 0.0);
        dy_ = MainIni->ReadFloat(Section, "dydz", 0.0);
    } else {
        dx_ = dy_ = 0;
    }
    const bool manual = mode_ != LevelAuto;
    for (QWidget* w : {static_cast<QWidget*>(Label18), static_cast<QWidget*>(Label22), Image3})
        w->setEnabled(manual);
    Label22Click();
    Label18Click();
    UpdateLevel();
    const QString fly = MainIni ? MainIni->ReadString("Window", "FlyHeight", "0") : "0";
    Edit14->setText(fly);
    // The stored height goes to the moves, so the lift the scan adds is the
    // one the edit, the settings and the files state; one beyond what the
    // moves take is stored as the height they took.
    TDeviceWorkers* workers = workers_ ? workers_() : nullptr;
    double stored = 0.0;
    if (ParseNumber(fly, stored) && workers != nullptr) {
        flyApplied_ = workers->SetFlyHeight(stored);
        const QString applied = FixedPointText(flyApplied_, 5, 3);
        if (applied != FixedPointText(stored, 5, 3)) {
            Edit14->setText(applied);
            if (MainIni)
                MainIni->WriteString("Window", "FlyHeight", Edit14->text());
        }
    } else {
        flyApplied_ = stored;
    }
}

void TLevelPage::FormDestroy()
{
    if (MainIni)
        MainIni->WriteInteger(Section, "Level", mode_);
}

double& TLevelPage::Active()
{
    return yActive_ ? dy_ : dx_;
}

void TLevelPage::Show()
{
    const TLevelShown sx = ShowLevelSlope("x", dx_, inDegrees_, angleX_);
    const TLevelShown sy = ShowLevelSlope("y", dy_, inDegrees_, angleY_);
    dx_ = sx.Slope;
    dy_ = sy.Slope;
    Label18->setText(sx.Text);
    Label22->setText(sy.Text);
}

void TLevelPage::UpdateLevel()
{
    // In auto mode the scan has fitted new slopes into ScanParams.
    if (mode_ == LevelAuto) {
        dx_ = ScanParams.LevelDxDz.load();
        dy_ = ScanParams.LevelDyDz.load();
    }
    Show();
    ScanParams.LevelDxDz = dx_;
    ScanParams.LevelDyDz = dy_;
    if (TInOutForm* form = device_ ? device_() : nullptr)
        form->SetSlopeCompensation(mode_ != LevelOff);
    if (mode_ == LevelFixed && MainIni) {
        MainIni->WriteFloat(Section, "dxdz", dx_);
        MainIni->WriteFloat(Section, "dydz", dy_);
    }
}

void TLevelPage::LevelRadioGroup1Click(int mode)
{
    Edit12->hide();
    mode_ = std::clamp(mode, 0, 2);
    if (mode_ == LevelOff) {
        dx_ = dy_ = 0;
        UpdateLevel();
    } else if (mode_ == LevelFixed) {
        if (MainIni) {
            dx_ = MainIni->ReadFloat(Section, "dxdz", dx_);
            dy_ = MainIni->ReadFloat(Section, "dydz", dy_);
        }
        UpdateLevel();
    }
    const bool manual = mode_ != LevelAuto;
    for (QWidget* w : {static_cast<QWidget*>(Label18), static_cast<QWidget*>(Label22), Image3})
        w->setEnabled(manual);
}

void TLevelPage::Label18Click()
{
    yActive_ = false;
    Label18->setStyleSheet("color: black");
    Label22->setStyleSheet("color: gray");
    static_cast<TLevelSlider*>(Image3)->Knob = SliderWidth / 2;
    Image3->update();
}

void TLevelPage::Label22Click()
{
    yActive_ = true;
    Label22->setStyleSheet("color: black");
    Label18->setStyleSheet("color: gray");
    static_cast<TLevelSlider*>(Image3)->Knob = SliderWidth / 2;
    Image3->update();
}

void TLevelPage::LabelDblClick(int tag)
{
    edit12Tag_ = tag;
    QString text = (tag == 18 ? Label18 : Label22)->text();
    text = text.mid(text.indexOf('=') + 1);
    if (text.endsWith(QString::fromUtf8("°")))
        text.chop(1);
    Edit12->setText(text);
    Edit12->SetColor(EditColor::White);
    Edit12->show();
    Edit12->setFocus();
}

void TLevelPage::Edit12KeyPress(bool enter)
{
    if (!enter) {
        Show();
        Edit12->hide();
        return;
    }
    QString text = Edit12->text();
    text.replace(QString::fromUtf8("°"), " ");
    double v = 0;
    if (!ParseNumber(text, v)) {
        Edit12->MarkRefused();
        return;
    }
    const double slope = TypedLevelSlope(v, inDegrees_, edit12Tag_ == 22 ? angleY_ : angleX_);
    (edit12Tag_ == 22 ? dy_ : dx_) = slope;
    Edit12->hide();
    UpdateLevel();
}

void TLevelPage::Image3MouseDown(int x)
{
    if (!Image3->isEnabled())
        return;
    const double stored = MainIni ? MainIni->ReadFloat(Section, "dxdz", LevelDefaultDragBase) : LevelDefaultDragBase;
    dragBase_ = LevelDragBaseFor(Active(), stored != 0.0 ? stored : LevelDefaultDragBase);
    dragging_ = true;
    Image3MouseMove(x);
}

void TLevelPage::Image3MouseMove(int x)
{
    if (!dragging_)
        return;
    Active() = DraggedLevelSlope(x, dragBase_);
    static_cast<TLevelSlider*>(Image3)->Knob = std::clamp(x, 0, SliderWidth);
    Image3->update();
    UpdateLevel();
}

void TLevelPage::Image3MouseUp(int x)
{
    if (!dragging_)
        return;
    Image3MouseMove(x);
    dragging_ = false;
    static_cast<TLevelSlider*>(Image3)->Knob = SliderWidth / 2;
    Image3->update();
}

void TLevelPage::Edit14KeyPress(bool enter)
{
    if (!enter) {
        Edit14->setText(FixedPointText(flyApplied_, 5, 3));
        Edit14->SetColor(EditColor::White);
        return;
    }
    double v = 0;
    TDeviceWorkers* workers = workers_ ? workers_() : nullptr;
    if (!ParseNumber(Edit14->text(), v) || workers == nullptr) {
        Edit14->MarkRefused();
        return;
    }
    flyApplied_ = workers->SetFlyHeight(v);
    Edit14->setText(FixedPointText(flyApplied_, 5, 3));
    Edit14->MarkAccepted();
    if (MainIni)
        MainIni->WriteString("Window", "FlyHeight", Edit14->text());
}

void TLevelPage::ReapplyFlyHeight()
{
    TDeviceWorkers* workers = workers_ ? workers_() : nullptr;
    if (workers == nullptr)
        return;
    const double before = flyApplied_;
    flyApplied_ = workers->SetFlyHeight(before);
    if (flyApplied_ == before)
        return;
    Edit14->setText(FixedPointText(flyApplied_, 5, 3));
    Edit14->SetColor(EditColor::White);
    if (MainIni)
        MainIni->WriteString("Window", "FlyHeight", Edit14->text());
}

void TLevelPage::RadioButtonClick(int mode)
{
    TDeviceWorkers* workers = workers_ ? workers_() : nullptr;
    const int flyTab = pages_->indexOf(flyPage_);
    if (mode == 2) {
        if (workers != nullptr && !workers->GoXYThread().Suspended()) {
            ShowMessage(MsgKind::Information, "Please Switch Scan Off first!");
            FlyModes[0]->setChecked(true);
            mode = 0;
        } else {
            pages_->tabBar()->setTabTextColor(flyTab, Qt::red);
            if (workers)
                workers->SetScanMode(2);
            return;
        }
    }
    pages_->tabBar()->setTabTextColor(flyTab, QColor());
    if (workers)
        workers->SetScanMode(mode);
}

} // namespace qvt
