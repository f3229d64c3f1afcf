#include "optics/LEDForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "optics/LedWords.h"
#include "protocol/ControlCodes.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace qvt {

bool CameraOffDuringScan = false;
TLEDForm* LEDForm = nullptr;

namespace {
constexpr const char* Section = "LED";
constexpr int BarMax[3] = {31, 127, 255};
const char* const BarKeys[3] = {"ScollBar1", "ScollBar2", "ScollBar3"};
} // namespace

TLEDForm::TLEDForm(TInOutForm& link, QWidget* parent) : QWidget(parent, Qt::Tool), link_(link)
{
    LEDForm = this;
    setObjectName("LEDForm");
    setWindowTitle("LEDs");
    auto* grid = new QGridLayout(this);
    label1_ = new QLabel("green", this);
    label2_ = new QLabel("white", this);
    label4_ = new QLabel("Power", this);
    for (int i = 0; i < 3; ++i) {
        bars_[i] = new QScrollBar(Qt::Vertical, this);
        bars_[i]->setObjectName(QString("ScrollBar%1").arg(i + 1));
        bars_[i]->setRange(0, BarMax[i]);
        bars_[i]->setMinimumHeight(150);
        connect(bars_[i], &QScrollBar::valueChanged, this, [this, i] { BarChanged(i); });
    }
    grid->addWidget(label1_, 0, 0);
    grid->addWidget(label2_, 0, 1);
    grid->addWidget(label4_, 0, 2);
    grid->addWidget(bars_[0], 1, 0);
    grid->addWidget(bars_[1], 1, 1);
    grid->addWidget(bars_[2], 1, 2);
    checkBox1_ = new QCheckBox("Camera off", this);
    checkBox1_->setToolTip("during Scan");
    grid->addWidget(checkBox1_, 2, 0, 1, 3);
    connect(checkBox1_, &QCheckBox::clicked, this, [this](bool checked) {
        CameraOffDuringScan = checked;
        if (MainIni != nullptr)
            MainIni->WriteBool(Section, "CheckBox1", checked);
    });
}

TLEDForm::~TLEDForm()
{
    if (LEDForm == this)
        LEDForm = nullptr;
}

QScrollBar* TLEDForm::ScrollBar(int i) const
{
    return i >= 1 && i <= 3 ? bars_[i - 1] : nullptr;
}

void TLEDForm::FormCreate()
{
    loading_ = true;
    const bool usePwm = MainIni != nullptr && MainIni->ReadBool(Section, "UsePWM", false);
    const bool useI2c = MainIni == nullptr || MainIni->ReadBool(Section, "UseI2C", true);
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
    auto* grid = static_cast<QGridLayout*>(layout());
    if (!usePwm) {
        label4_->hide();
        bars_[2]->hide();
    }
    if (!useI2c) {
        for (QWidget* w : {static_cast<QWidget*>(label1_), static_cast<QWidget*>(label2_),
                           static_cast<QWidget*>(bars_[0]), static_cast<QWidget*>(bars_[1])})
            w->hide();
        // The power bar takes the place of the green one.
        label4_->show();
        bars_[2]->show();
        grid->addWidget(label4_, 0, 0);
        grid->addWidget(bars_[2], 1, 0);
    }
    if (UserIni != nullptr)
        for (int i = 0; i < 3; ++i)
            bars_[i]->setValue(UserIni->ReadInteger(Section, BarKeys[i], 0));
    const bool off = MainIni != nullptr && MainIni->ReadBool(Section, "CheckBox1", false);
    checkBox1_->setChecked(off);
    CameraOffDuringScan = off;
    loading_ = false;
    SendLEDs(true);
}

void TLEDForm::FormDestroy()
{
    if (UserIni != nullptr)
        for (int i = 0; i < 3; ++i)
            UserIni->WriteInteger(Section, BarKeys[i], bars_[i]->value());
    if (MainIni != nullptr) {
        MainIni->WriteInteger(Section, "FormPosLeft", x());
        MainIni->WriteInteger(Section, "FormPosTop", y());
    }
}

void TLEDForm::SendLEDs(bool on)
{
    if (loading_)
        return;
    const int green = on ? BarBrightness(BarMax[0], bars_[0]->value()) : 0;
    const int white = on ? BarBrightness(BarMax[1], bars_[1]->value()) : 0;
    const auto g = LedTransfer(LedChannelGreen, green);
    const auto w = LedTransfer(LedChannelWhite, white);
    const int32_t words[6] = {g[0], g[1], g[2], w[0], w[1], w[2]};
    link_.WriteLedValues(6, words);
}

void TLEDForm::SetPower(bool on)
{
    const int v = on ? std::clamp(BarBrightness(BarMax[2], bars_[2]->value()), 0, 255) : 0;
    link_.WriteReg(AuxRegisterBase + RegLedPowerOffset, v);
}

void TLEDForm::BarChanged(int i)
{
    if (i == 2) {
        SetPower(true);
        return;
    }
    const int v = BarBrightness(BarMax[i], bars_[i]->value());
    bars_[i]->setToolTip(QString::number(std::nearbyint(100.0 * v / BarMax[i])) + " %");
    SendLEDs(true);
}

void TLEDForm::showEvent(QShowEvent* event)
{
    realised_ = true;
    QWidget::showEvent(event);
}

void TLEDForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace qvt
