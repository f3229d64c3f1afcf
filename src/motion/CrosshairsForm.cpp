#include "motion/CrosshairsForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace qvt {

TCrosshairsForm* CrosshairsForm = nullptr;
TCrosshairsOptionForm* CrosshairsOptionForm = nullptr;

namespace {

const char* const Section = "Crosshairs";
const char* const OptSection = "CrosshairsOpt";
constexpr int TimerMs = 100;
constexpr int HeightWithValues = 378;
constexpr int HeightWithoutValues = 336;

const TIOScale& ScaleOf(int channel)
{
    const int slot = IsValidChannelIndex(channel) ? SlotOfChannelIndex(channel) : FirstAdcSlot;
    return ChannelTable[static_cast<size_t>(slot)];
}

QString ValueText(double v)
{
    return FixedPointText(v, 6, 0);
}

} // namespace

// ---- options ------------------------------------------------------------------------------

TCrosshairsOptionForm::TCrosshairsOptionForm(TCrosshairsForm& owner)
    : QDialog(&owner, Qt::Tool | Qt::WindowStaysOnTopHint), owner_(owner)
{
    CrosshairsOptionForm = this;
    setWindowTitle("Crosshairs Options");
    auto* layout = new QVBoxLayout(this);
    showVals_ = new QCheckBox("Show values", this);
    showVals_->setObjectName("ShowValsCheckbox");
    layout->addWidget(showVals_);
    auto* group = new QGroupBox(" Gain ", this);
    group->setObjectName("RadioGroup1");
    auto* gl = new QVBoxLayout(group);
    auto* buttons = new QButtonGroup(this);
    const char* const items[] = {"* 1", "* 10", "* 100", "Auto"};
    for (int i = 0; i < 4; ++i) {
        gains_[static_cast<size_t>(i)] = new QRadioButton(items[i], group);
        gl->addWidget(gains_[static_cast<size_t>(i)]);
        buttons->addButton(gains_[static_cast<size_t>(i)], i);
    }
    layout->addWidget(group);
    if (MainIni != nullptr) {
        showVals_->setChecked(MainIni->ReadBool(OptSection, "ShowValues", true));
        const int gain = MainIni->ReadInteger(OptSection, "Gain", 0);
        if (gain >= 0 && gain < 4)
            gains_[static_cast<size_t>(gain)]->setChecked(true);
        move(MainIni->ReadFormPosLeft(OptSection, 10), MainIni->ReadInteger(OptSection, "FormPosTop", 10));
    }
    connect(showVals_, &QCheckBox::clicked, this, [this](bool on) {
        if (MainIni != nullptr)
            MainIni->WriteBool(OptSection, "ShowValues", on);
        owner_.ApplyOptions();
    });
    connect(buttons, &QButtonGroup::idClicked, this, [this](int id) {
        if (MainIni != nullptr)
            MainIni->WriteInteger(OptSection, "Gain", id);
        owner_.ApplyOptions();
    });
}

TCrosshairsOptionForm::~TCrosshairsOptionForm()
{
    if (MainIni != nullptr) {
        MainIni->WriteInteger(OptSection, "FormPosLeft", x());
        MainIni->WriteInteger(OptSection, "FormPosTop", y());
    }
    if (CrosshairsOptionForm == this)
        CrosshairsOptionForm = nullptr;
}

// ---- the display --------------------------------------------------------------------------

TCrosshairsForm::TCrosshairsForm(TInOutForm& link, QWidget* parent) : QWidget(parent), link_(link)
{
    CrosshairsForm = this;
    setWindowTitle("Crosshairs");
    setObjectName("CrosshairsForm");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    // The picture, the values and the buttons fit the window's two heights.
    layout->setSpacing(2);
    imageLabel_ = new QLabel(this);
    imageLabel_->setObjectName("Image1");
    imageLabel_->setFixedSize(AlignmentImageSize, AlignmentImageSize);
    layout->addWidget(imageLabel_);

    valuesPanel_ = new QWidget(this);
    valuesPanel_->setObjectName("ValuesPanel");
    auto* vl = new QHBoxLayout(valuesPanel_);
    vl->setContentsMargins(0, 0, 0, 0);
    for (size_t i = 0; i < values_.size(); ++i) {
        values_[i] = new QLabel("0", valuesPanel_);
        values_[i]->setObjectName(QString("Label%1").arg(4 + i));
        units_[i] = new QLabel(valuesPanel_);
        units_[i]->setObjectName(QString("Label%1").arg(7 + i));
        vl->addWidget(values_[i]);
        vl->addSpacing(3);
        vl->addWidget(units_[i]);
        vl->addStretch();
    }
    layout->addWidget(valuesPanel_);
    // Room left over goes between the values and the buttons: the picture stays where it is.
    layout->addStretch();

    auto* bar = new QHBoxLayout;
    laserButton_ = new QToolButton(this);
    laserButton_->setObjectName("LaserButton");
    laserButton_->setToolTip("Laser");
    laserButton_->setText("Laser");
    laserButton_->setCheckable(true);
    connect(laserButton_, &QToolButton::clicked, this, [this] { LaserButtonClick(); });
    auto* optBtn = new QToolButton(this);
    optBtn->setObjectName("CrosshairsOptBtn");
    optBtn->setToolTip("Options");
    optBtn->setText("...");
    auto* esc = new QToolButton(this);
    esc->setObjectName("Beenden");
    esc->setText("ESC");
    connect(esc, &QToolButton::clicked, this, [this] { close(); });
    bar->addWidget(laserButton_);
    bar->addWidget(optBtn);
    bar->addStretch();
    bar->addWidget(esc);
    layout->addLayout(bar);

    setFixedWidth(AlignmentImageSize + 4);
    options_ = new TCrosshairsOptionForm(*this);
    connect(optBtn, &QToolButton::clicked, this, [this] {
        options_->show();
        options_->raise();
    });

    timer_ = new QTimer(this);
    timer_->setInterval(TimerMs);
    connect(timer_, &QTimer::timeout, this, [this] { daten(); });

    image_ = QImage(AlignmentImageSize, AlignmentImageSize, QImage::Format_RGB32);
    image_.fill(Face());
    DisplayBackground();
}

TCrosshairsForm::~TCrosshairsForm()
{
    if (CrosshairsForm == this)
        CrosshairsForm = nullptr;
}

QColor TCrosshairsForm::Face() const
{
    return palette().color(QPalette::Window);
}

void TCrosshairsForm::FormCreate()
{
    created_ = true;
    if (MainIni != nullptr) {
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
        ChannelX = MainIni->ReadInteger(Section, "ChannelX", 2);
        ChannelY = MainIni->ReadInteger(Section, "ChannelY", 3);
        ChannelZ = MainIni->ReadInteger(Section, "ChannelZ", 4);
    }
    image_.fill(Face());
    DisplayBackground();
    ShowPicture();
    UpdateChannelLabels();
    ApplyOptions();
    ShowLaserState();
    if (UserIni != nullptr && UserIni->ReadBool("Main", "Crosshairsbutton", false))
        show();
}

void TCrosshairsForm::FormDestroy()
{
    timer_->stop();
    if (!created_)
        return;
    created_ = false;
    if (SetLaser)
        SetLaser(false);
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger(Section, "ChannelX", ChannelX);
    MainIni->WriteInteger(Section, "ChannelY", ChannelY);
    MainIni->WriteInteger(Section, "ChannelZ", ChannelZ);
}

void TCrosshairsForm::ApplyOptions()
{
    const bool show = MainIni == nullptr || MainIni->ReadBool(OptSection, "ShowValues", true);
    valuesPanel_->setVisible(show);
    setFixedHeight(show ? HeightWithValues : HeightWithoutValues);
    model_.ApplyGain(MainIni != nullptr ? MainIni->ReadInteger(OptSection, "Gain", 0) : 0);
}

void TCrosshairsForm::UpdateChannelLabels()
{
    const int channels[3] = {ChannelX, ChannelY, ChannelZ};
    for (size_t i = 0; i < 3; ++i) {
        const TIOScale& scale = ScaleOf(channels[i]);
        units_[i]->setText(scale.UnitName);
        values_[i]->setToolTip(scale.Label);
        units_[i]->setToolTip(scale.Label);
    }
}

void TCrosshairsForm::LaserButtonClick()
{
    if (SetLaser)
        SetLaser(laserButton_->isChecked());
}

void TCrosshairsForm::ShowLaserState()
{
    if (LaserOn)
        laserButton_->setChecked(LaserOn());
}

void TCrosshairsForm::DisplayBackground()
{
    QPainter p(&image_);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 1));
    // Bounding boxes (2,2)-(298,298), (50,50)-(250,250), (100,100)-(200,200).
    p.drawEllipse(QRect(QPoint(2, 2), QPoint(297, 297)));
    p.drawEllipse(QRect(QPoint(50, 50), QPoint(249, 249)));
    p.drawEllipse(QRect(QPoint(100, 100), QPoint(199, 199)));
    p.drawLine(3, 150, 296, 150);
    p.drawLine(150, 3, 150, 296);
}

void TCrosshairsForm::ShowPicture()
{
    imageLabel_->setPixmap(QPixmap::fromImage(image_));
}

void TCrosshairsForm::daten()
{
    ShowLaserState();
    const TIOScale& sx = ScaleOf(ChannelX);
    const TIOScale& sy = ScaleOf(ChannelY);
    const TIOScale& sz = ScaleOf(ChannelZ);
    double x = link_.ReadReg(sx.Address);
    double y = link_.ReadReg(sy.Address);
    const double s = std::abs(static_cast<double>(link_.ReadReg(sz.Address)));
    if (sx.FactorNegative)
        x = -x;
    if (sy.FactorNegative)
        y = -y;
    if (!valuesPanel_->isHidden()) {
        values_[0]->setText(ValueText(sx.ToPhys(x)));
        values_[1]->setText(ValueText(sy.ToPhys(y)));
        values_[2]->setText(ValueText(sz.ToPhys(s)));
    }
    const double setpoint = ContactSetpoint ? ContactSetpoint() : 0.0;
    const TAlignmentTick t = model_.Tick(x, y, s, sy.MaxRaw, sy.ToRaw(setpoint));

    QPainter p(&image_);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor face = Face();
    p.setPen(face);
    p.setBrush(face);
    p.drawEllipse(QPoint(t.EraseX, t.EraseY), AlignmentDotRadius, AlignmentDotRadius);
    const QColor dot = AlignmentColourTable()[static_cast<size_t>(t.Colour)];
    p.setPen(dot);
    p.setBrush(dot);
    p.drawEllipse(QPoint(t.X, t.Y), AlignmentDotRadius, AlignmentDotRadius);
    if (t.ChordRedrawn) {
        p.setPen(face);
        p.drawLine(AlignmentCentre - t.OldHalfWidth, t.OldLineY, AlignmentCentre + t.OldHalfWidth, t.OldLineY);
        p.setPen(QColor(0x80, 0x80, 0x80));
        p.drawLine(AlignmentCentre - t.HalfWidth, t.LineY, AlignmentCentre + t.HalfWidth, t.LineY);
    }
    p.end();
    if (t.RedrawBackground)
        DisplayBackground();
    ShowPicture();
}

void TCrosshairsForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ShowLaserState();
    timer_->start();
    if (SetMainButton)
        SetMainButton(true);
}

void TCrosshairsForm::closeEvent(QCloseEvent* event)
{
    // Closing hides; the poll goes on.
    if (SetMainButton)
        SetMainButton(false);
    event->accept();
}

void TCrosshairsForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace qvt
