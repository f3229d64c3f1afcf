#include "scan/ScanStatus.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double FastZFullScale = 2147483640.0;
constexpr int BarWidth = 20;
constexpr int BarPoint = 10;
constexpr int BarPixels = 50;

// The bar's shape from pixel `top` down to `bottom`: a band ending in a point.
QPainterPath BarShape(int top, int bottom, int left, int width)
{
    QPainterPath p;
    p.moveTo(left, top);
    p.lineTo(left + width, top);
    p.lineTo(left + width, bottom);
    p.lineTo(left + width / 2, bottom + BarPoint);
    p.lineTo(left, bottom);
    p.closeSubpath();
    return p;
}

} // namespace

QString ImageTimeText(double seconds)
{
    QString text;
    double rest = seconds;
    const auto hours = static_cast<int64_t>(rest / 3600.0);
    if (hours >= 1) {
        text += QString::number(hours) + "h ";
        rest -= static_cast<double>(hours) * 3600.0;
    }
    const auto minutes = static_cast<int64_t>(rest / 60.0);
    if (minutes >= 1) {
        text += QString::number(minutes) + "min ";
        rest -= static_cast<double>(minutes) * 60.0;
    }
    if (rest > 9.0)
        text += QString::number(static_cast<int64_t>(rest));
    else if (rest > 1.0)
        text += QString::number(rest, 'f', 1);
    else
        text += QString::number(rest, 'f', 3);
    text += "s";
    if (seconds <= 0.5 && seconds > 0.001)
        text += " ~ " + QString::number(1.0 / seconds, 'f', 1) + " frames per sec";
    return text;
}

QString ImageTimeHint(bool scanRunning, int64_t lineTicks, int pixels, int currentLine, int direction,
                      int64_t perfFrequency)
{
    int64_t ticks = lineTicks * pixels;
    QString text = "Time per Image: ";
    if (scanRunning) {
        // The line counter passes the last line while the frame end is handled
        // (a save box may wait): nothing is left then, not less than nothing.
        const int linesLeft = direction == 1 ? pixels - currentLine : currentLine;
        ticks = lineTicks * std::clamp(linesLeft, 0, std::max(pixels, 0));
        text = "Time remaining: ";
    }
    const double seconds = perfFrequency > 0 ? static_cast<double>(ticks) / static_cast<double>(perfFrequency) : 0.0;
    return text + ImageTimeText(seconds);
}

QString ZStateText(int32_t zState)
{
    switch (zState) {
    case ZApproached:
        return "Approached";
    case ZPiezoRetracted:
        return "Piezo Retracted";
    case ZCoarseRetracted:
        return "Coarse Retracted";
    default:
        return QString();
    }
}

int ZBarPercent(int32_t raw, int32_t minRaw, int32_t maxRaw)
{
    if (maxRaw == minRaw)
        return 0;
    return static_cast<int>(std::lround((static_cast<double>(raw) - minRaw) * 100.0 / (double(maxRaw) - minRaw)));
}

int FastZBarPercent(int32_t raw)
{
    return static_cast<int>(std::lround(raw * 100.0 / FastZFullScale));
}

QColor ZBarColour(int lo, int hi, int32_t zState)
{
    // The bar draws in half percent: the thresholds are on its pixels.
    const int l = std::clamp(lo, 0, 100) / 2;
    const int h = std::clamp(hi, 0, 100) / 2;
    QColor c(0, 255, 0);
    if (h > 45)
        c = QColor(255, 255, 0);
    if (l < 5)
        c = QColor(255, 0, 0);
    if (zState == ZPiezoRetracted)
        c = QColor(128, 128, 128);
    return c;
}

// ---- TZBar -----------------------------------------------------------------------------------

TZBar::TZBar(QWidget* parent) : QWidget(parent)
{
    setObjectName("Image1");
    setFixedSize(BarWidth + 4, BarPixels + BarPoint + 4);
}

void TZBar::ShowZBar(int lo, int hi)
{
    lo_ = lo;
    hi_ = hi;
    fastLo_ = fastHi_ = -1;
    update();
}

void TZBar::ShowZBarDual(int lo, int hi, int fastLo, int fastHi)
{
    lo_ = lo;
    hi_ = hi;
    fastLo_ = fastLo;
    fastHi_ = fastHi;
    update();
}

QColor TZBar::FillColour() const
{
    return ZBarColour(lo_, hi_, MicroscopeState.ZState.load());
}

void TZBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().button());
    p.setRenderHint(QPainter::Antialiasing);
    const int lo = std::clamp(lo_, 0, 100) / 2;
    const int hi = std::clamp(hi_, 0, 100) / 2;
    p.setPen(Qt::black);
    if (lo + 2 < hi) {
        p.setBrush(ZBandColour);
        p.drawPath(BarShape(1, 1 + hi, 2, BarWidth));
    }
    p.setBrush(FillColour());
    p.drawPath(BarShape(1, 1 + lo, 2, BarWidth));
    if (fastLo_ >= 0) {
        // The fast module's range inside the slow bar, 2 to 18 pixels across.
        const int a = std::clamp(fastLo_, 0, 100) * 16 / 100;
        const int b = std::clamp(fastHi_, 0, 100) * 16 / 100;
        p.setBrush(Qt::black);
        p.drawRect(QRect(2 + 2 + a, 1 + lo / 2, std::max(1, b - a), 3));
    }
}

// ---- TToolButtons ----------------------------------------------------------------------------

TToolButtons::TToolButtons(QWidget* parent) : QWidget(parent)
{
    setObjectName("Panel1");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    group_ = new QButtonGroup(this);
    group_->setExclusive(true);
    const char* names[] = {"DragSpeedBtn", "MoveSpeedBtn", "MeasureSpeedBtn", "ZoomSpeedBtn", "ZoomCenteredSpeedBtn"};
    const char* hints[] = {"Drag", "Move", "Measure", "Zoom", "Zoom Centered"};
    const char* texts[] = {"D", "M", "R", "Z", "ZC"};
    for (int i = 0; i < 5; ++i) {
        auto* b = new QToolButton(this);
        b->setObjectName(names[i]);
        b->setToolTip(hints[i]);
        b->setText(texts[i]);
        b->setCheckable(true);
        group_->addButton(b, i);
        row->addWidget(b);
        buttons_[static_cast<size_t>(i)] = b;
    }
    connect(group_, &QButtonGroup::idClicked, this, &TToolButtons::SetUsedTool);
}

void TToolButtons::Load()
{
    const int tool = MainIni ? MainIni->ReadInteger("ScanPara", "UsedTool", 0) : 0;
    usedTool_ = tool >= 0 && tool < 5 ? tool : 0;
    buttons_[static_cast<size_t>(usedTool_)]->setChecked(true);
}

void TToolButtons::SetUsedTool(int tool)
{
    if (tool < 0 || tool >= 5)
        return;
    usedTool_ = tool;
    buttons_[static_cast<size_t>(tool)]->setChecked(true);
    if (MainIni)
        MainIni->WriteInteger("ScanPara", "UsedTool", tool);
    if (RefreshImageWindowCursors)
        RefreshImageWindowCursors();
}

} // namespace qvt
