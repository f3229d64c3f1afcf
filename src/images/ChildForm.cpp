#include "images/ChildForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/ImageTools.h"
#include "images/ImageTouch.h"
#include "images/PaletteMenu.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanParaForm.h"
#include "scan/ShowThread.h"

#include <QAbstractButton>
#include <QActionGroup>
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

// Under the image: the plot bitmap of the cross-section, painted as it is.
class TCrossSectionArea : public QWidget {
public:
    TCrossSectionArea(const QImage& image, QWidget* parent) : QWidget(parent), image_(image)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::white);
        painter.drawImage(0, 0, image_);
    }

private:
    const QImage& image_;
};

constexpr int PlotLabelHeight = 15;

} // namespace

std::function<bool()> TChildForm::ScanRunning;
std::function<void(TChildForm&)> TChildForm::PictureChanged;
std::function<void(bool, double, double)> TChildForm::ShowManualGainBoxes;

// ---- TPaintablePanel -------------------------------------------------------------------

namespace {
// Every live panel: a drag's data names one by address, and only a live one counts.
QList<TPaintablePanel*>& AllPanels()
{
    static QList<TPaintablePanel*> panels;
    return panels;
}

QByteArray PanelToken(const TPaintablePanel* panel)
{
    return QByteArray::number(QCoreApplication::applicationPid()) + ':' +
           QByteArray::number(reinterpret_cast<quintptr>(panel));
}
} // namespace

const char* const TPaintablePanel::ImageDragFormat = "application/x-qvt-image-window";
std::function<void(QDrag& drag)> TPaintablePanel::RunDrag;

TPaintablePanel::TPaintablePanel(TChildForm* form) : QWidget(form), form_(form)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setContextMenuPolicy(Qt::CustomContextMenu);
    AllPanels().push_back(this);
}

TPaintablePanel::~TPaintablePanel()
{
    AllPanels().removeAll(this);
}

bool TPaintablePanel::DragModeAutomatic()
{
    return ScanParaForm != nullptr && ScanParaForm->UsedTool() == ToolDrag;
}

TPaintablePanel* TPaintablePanel::FromMimeData(const QMimeData* data)
{
    if (data == nullptr || !data->hasFormat(ImageDragFormat))
        return nullptr;
    const QByteArray token = data->data(ImageDragFormat);
    for (TPaintablePanel* panel : AllPanels())
        if (PanelToken(panel) == token)
            return panel;
    return nullptr;
}

void TPaintablePanel::StartImageDrag()
{
    auto* drag = new QDrag(this);
    auto* data = new QMimeData;
    data->setData(ImageDragFormat, PanelToken(this));
    drag->setMimeData(data);
    drag->setPixmap(QPixmap::fromImage(form_->Image().scaled(48, 48)));
    if (RunDrag) {
        RunDrag(*drag);
        drag->deleteLater();
    } else {
        // Qt frees the drag when it ends.
        drag->exec(Qt::CopyAction);
    }
}

void TPaintablePanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    if (!Dragging)
        painter.drawImage(QRect(DrawnLeft, DrawnTop, DrawnWidth, DrawnHeight), form_->Image());
    // By line number over the drawn height, so it fits any pixel count.
    const std::optional<int> y =
        ScanLineMarkerY(form_->ShowLine(), form_->renderer_.Bitmap().Height(), DrawnTop, DrawnHeight);
    if (y) {
        painter.setPen(Qt::white);
        painter.drawLine(0, *y, width(), *y);
        painter.setPen(Qt::black);
        painter.drawLine(0, *y + 1, width(), *y + 1);
    }
    form_->PaintOverlays(painter);
}

void TPaintablePanel::mousePressEvent(QMouseEvent* event)
{
    // The right button opens the pop-up menu (custom context menu).
    if (event->button() != Qt::RightButton)
        form_->Panel2MouseDown(event);
    dragPending_ = event->button() == Qt::LeftButton && DragModeAutomatic();
    dragStart_ = event->position().toPoint();
}

void TPaintablePanel::mouseMoveEvent(QMouseEvent* event)
{
    if (dragPending_ && event->buttons().testFlag(Qt::LeftButton) &&
        (event->position().toPoint() - dragStart_).manhattanLength() >= QApplication::startDragDistance()) {
        dragPending_ = false;
        StartImageDrag();
        return;
    }
    form_->Panel2MouseMove(event);
}

void TPaintablePanel::mouseReleaseEvent(QMouseEvent* event)
{
    dragPending_ = false;
    if (event->button() != Qt::RightButton)
        form_->Panel2MouseUp(event);
}

// ---- TChildForm --------------------------------------------------------------------------

TChildForm::TChildForm(TDaten& buffer, int bufferIndex, TShowThread* showThread, QWidget* parent)
    : QWidget(parent), buffer_(buffer), bufferIndex_(bufferIndex), showThread_(showThread),
      renderer_(ScanParams.Pixels.load(), ScanParams.Pixels.load())
{
    setObjectName("ChildForm");
    setWindowTitle("empty");
    renderer_.Scale = buffer_.Scale;

    panel_ = new TPaintablePanel(this);
    panel_->setObjectName("Panel2");
    plotArea_ = new TCrossSectionArea(plotImage_, this);
    plotArea_->setObjectName("Image2");
    plotArea_->hide();
    tools_ = new TImageTools(*this);
    BuildPopupMenu();
    tools_->AddMenuItems(*popupMenu_);
    connect(panel_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        tools_->MenuAt(pos);
        popupMenu_->popup(panel_->mapToGlobal(pos));
    });

    if (showThread != nullptr) {
        connect(showThread, &TShowThread::updateDisplay, this, &TChildForm::WMUpdateDisplay);
        connect(showThread, &TShowThread::refreshAll, this, &TChildForm::RecalcPictureRange);
    }

    InitColorTable();
    resize(256, 256);
    FormResize();
    InstallImageTouch(*this);
}

TChildForm::~TChildForm() = default;

QMdiSubWindow* TChildForm::AddToMdiArea(QMdiArea* area)
{
    QMdiSubWindow* sub = area->addSubWindow(this);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    subWindow_ = sub;
    connect(area, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* active) {
        if (active != nullptr && active == subWindow_)
            FormActivate();
    });
    return sub;
}

QMdiSubWindow* TChildForm::SubWindow() const
{
    return subWindow_;
}

void TChildForm::Release()
{
    if (showThread_ != nullptr)
        disconnect(showThread_, nullptr, this, nullptr);
    if (subWindow_ != nullptr) {
        subWindow_->hide();
        subWindow_->deleteLater();
    } else {
        hide();
        deleteLater();
    }
}

int TChildForm::ShowLine() const
{
    return showThread_ != nullptr ? showThread_->Line.load() : 0;
}

QImage TChildForm::Image() const
{
    const TIndexedBitmap& bitmap = renderer_.Bitmap();
    QImage image(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), QImage::Format_Indexed8);
    image.setColorTable(colorTable_);
    return image;
}

void TChildForm::InitColorTable()
{
    const bool negative = buffer_.Scale != nullptr && buffer_.Scale->FactorNegative.load();
    palette_ = BuildWindowPalette(ReadPaletteSetting(UserIni), negative);
    // The message was shown once; from now on every window reads "Standard".
    if (palette_.UserPaletteFailed)
        TPaletteChoice::Instance().FallBackToStandard();
    colorTable_.resize(PaletteSize);
    for (int i = 0; i < PaletteSize; ++i) {
        const TPaletteEntry& e = palette_.Table[i];
        colorTable_[i] = qRgb(e.Red, e.Green, e.Blue);
    }
    panel_->update();
}

void TChildForm::ResizeImage()
{
    InitColorTable();
    renderer_.Scale = buffer_.Scale;
    int rows = buffer_.Rows();
    int cols = buffer_.Cols();
    if (rows < 1 || cols < 1) {
        rows = renderer_.Bitmap().Height();
        cols = renderer_.Bitmap().Width();
    }
    renderer_.ResizeImage(rows, cols);
    zoomFactor_ = static_cast<int>(Round(panel_->width() / double(cols) + 1.5));
    panel_->update();
    NotifyPictureChanged();
}

void TChildForm::RecalcPictureRange()
{
    const TImageMatrixPtr data = buffer_.Data();
    if (!data)
        return;
    renderer_.Scale = buffer_.Scale;
    renderer_.RecalcPictureRange(*data, ShowLine());
    if (renderer_.CrossSecMode == CrossSectionLastThree)
        DrawCrossSection();
    panel_->update();
    NotifyPictureChanged();
}

void TChildForm::RedrawPictureInFrame(const TPanelFrame& from, const TPanelFrame& to)
{
    if (from.Range == to.Range && from.Angle == to.Angle && from.XCenter == to.XCenter && from.YCenter == to.YCenter)
        return;
    TIndexedBitmap& bitmap = renderer_.EditBitmap();
    const int w = bitmap.Width();
    const int h = bitmap.Height();
    const uint8_t black = BlackIndex();
    const TIndexedBitmap old = bitmap;
    const std::vector<int> source = ReframePixels(w, h, from, to);
    std::size_t k = 0;
    for (int row = 0; row < h; ++row) {
        uint8_t* out = bitmap.Row(row);
        for (int col = 0; col < w; ++col, ++k) {
            const int at = source[k];
            out[col] = at < 0 ? black : old.At(at % w, at / w);
        }
    }
    panel_->update();
    NotifyPictureChanged();
}

uint8_t TChildForm::BlackIndex() const
{
    // The darkest entry the data use stands for black.
    uint8_t black = 0;
    int darkest = 3 * 256;
    for (int i = 0; i < colorTable_.size() && i < PaletteMarkerBlue; ++i) {
        const QRgb c = colorTable_[i];
        if (qRed(c) + qGreen(c) + qBlue(c) < darkest) {
            darkest = qRed(c) + qGreen(c) + qBlue(c);
            black = static_cast<uint8_t>(i);
        }
    }
    return black;
}

void TChildForm::PreviewInView(const QRect& view)
{
    TIndexedBitmap& bitmap = renderer_.EditBitmap();
    const int w = bitmap.Width();
    const int h = bitmap.Height();
    const double pw = std::max(panel_->width(), 1);
    const double ph = std::max(panel_->height(), 1);
    if (w > 0 && h > 0 && view.width() > 0 && view.height() > 0) {
        const uint8_t black = BlackIndex();
        const TIndexedBitmap old = bitmap;
        // Each pixel's middle on the panel; inside the view it shows the
        // old picture stretched over the view, outside it is black.
        for (int row = 0; row < h; ++row) {
            uint8_t* out = bitmap.Row(row);
            const double y = (row + 0.5) * ph / h - view.top();
            const int from = static_cast<int>(std::floor(y * h / view.height()));
            for (int col = 0; col < w; ++col) {
                const double x = (col + 0.5) * pw / w - view.left();
                const int at = static_cast<int>(std::floor(x * w / view.width()));
                out[col] = x < 0 || y < 0 || at >= w || from >= h ? black : old.At(at, from);
            }
        }
    }
    ResyncShowLine();
    panel_->update();
    NotifyPictureChanged();
}

void TChildForm::NotifyPictureChanged()
{
    if (PictureChanged)
        PictureChanged(*this);
}

void TChildForm::ResyncShowLine()
{
    // The lines drawn next start where the scan is now, over the preview.
    if (showThread_ != nullptr)
        showThread_->FirstLine = std::min<int32_t>(showThread_->Line.load(), buffer_.Rows());
}

void TChildForm::DrawNewLines()
{
    if (showThread_ == nullptr)
        return;
    const TImageMatrixPtr data = buffer_.Data();
    if (!data)
        return;
    renderer_.Scale = buffer_.Scale;
    if (!renderer_.DrawNewLines(*data, showThread_->Line.load(), showThread_->FirstLine.load()))
        return;
    if (renderer_.CrossSecMode == CrossSectionLastThree)
        DrawCrossSection();
    panel_->update();
}

void TChildForm::RefreshDisplay()
{
    hint_ = renderer_.LineText();
    if (renderer_.CrossSecMode == CrossSectionLastThree)
        DrawCrossSection();
    UpdateRangeText();
    panel_->setToolTip(hint_);
    panel_->setStatusTip(hint_);
    panel_->update();
}

void TChildForm::UpdateRangeText()
{
    if (ScanRunning && ScanRunning())
        return;
    if (buffer_.Scale == nullptr)
        return;
    renderer_.Scale = buffer_.Scale;
    hint_ = renderer_.RangeText();
    panel_->setToolTip(hint_);
    panel_->setStatusTip(hint_);
}

void TChildForm::WMUpdateDisplay(bool newLinesOnly)
{
    if (!isVisible())
        return;
    if (newLinesOnly)
        DrawNewLines();
    else
        RefreshDisplay();
}

void TChildForm::DrawCrossSection()
{
    if (plotImage_.isNull() || plotImage_.height() <= PlotLabelHeight)
        return;
    const int h = plotImage_.height() - PlotLabelHeight;
    const int width = plotImage_.width();
    const double low = renderer_.CrossMin();
    const double high = renderer_.CrossMax();
    const double scale = high != low ? h / (high - low) : 1.0;

    QPainter painter(&plotImage_);
    painter.fillRect(plotImage_.rect(), Qt::white);
    painter.setPen(QPen(QColor(128, 128, 128), 0, Qt::DotLine));
    for (int k = 0; k <= 5; ++k) {
        const int x = k * (width - 1) / 5;
        const int y = k * h / 5;
        painter.drawLine(x, 0, x, h);
        painter.drawLine(0, y, width, y);
    }
    painter.setPen(Qt::black);
    painter.drawText(QRect(5, h + 2, width - 5, PlotLabelHeight - 2), Qt::AlignLeft | Qt::AlignTop,
                     renderer_.CrossSectionLabel());

    // The third line red, the second green, the current line blue on top.
    const QColor colours[3] = {Qt::blue, QColor(0, 128, 0), Qt::red};
    const int cols = static_cast<int>(renderer_.CrossSection(0).size());
    for (int k = 2; k >= 0; --k) {
        const std::vector<double>& values = renderer_.CrossSection(k);
        QPolygon line(cols);
        for (int i = 0; i < cols; ++i) {
            const int x = static_cast<int>(Round(i / (double(cols) / width)));
            const double y = h - Round((values[i] - low) * scale);
            line[i] = QPoint(x, static_cast<int>(std::clamp(y, -1.0e6, 1.0e6)));
        }
        painter.setPen(colours[k]);
        painter.drawPolyline(line);
    }
    plotArea_->update();
}

void TChildForm::closeEvent(QCloseEvent* event)
{
    // The window lives exactly as long as its box is checked: closing it
    // unchecks the box, which frees the buffer and closes every window of
    // it. Queued, so that work (it waits for the threads) does not run inside
    // the frame's close.
    auto* box = qobject_cast<QAbstractButton*>(CheckBox.data());
    if (box != nullptr && box->isChecked()) {
        event->ignore();
        QMetaObject::invokeMethod(
            box, [box] { box->setChecked(false); }, Qt::QueuedConnection);
        return;
    }
    QWidget::closeEvent(event);
}

void TChildForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    FormResize();
}

void TChildForm::SetClientHeight(int height)
{
    if (height == this->height())
        return;
    if (subWindow_ != nullptr)
        subWindow_->resize(subWindow_->width(), subWindow_->height() + height - this->height());
    else
        resize(width(), height);
}

void TChildForm::FormResize()
{
    if (inFormResize_)
        return;
    inFormResize_ = true;
    const int w = std::max(width(), 1);
    SetClientHeight(w + std::clamp(height() - w, 0, w / 3));
    const int plotHeight = std::clamp(height() - w, 0, w / 3);

    panel_->setGeometry(0, 0, w, w);
    panel_->DrawnLeft = 0;
    panel_->DrawnTop = 0;
    panel_->DrawnWidth = w;
    panel_->DrawnHeight = w;
    plotArea_->setGeometry(0, w, w, plotHeight);
    plotArea_->setVisible(plotHeight > 0);
    if (plotHeight > 0) {
        plotImage_ = QImage(w, plotHeight, QImage::Format_RGB32);
        plotImage_.fill(Qt::white);
    } else {
        plotImage_ = QImage();
    }
    zoomFactor_ = static_cast<int>(Round(w / double(std::max(renderer_.Bitmap().Width(), 1)) + 1.5));
    inFormResize_ = false;

    if (plotHeight > 0) {
        if (renderer_.CrossSecMode != CrossSectionLastThree) {
            // A plot area made by enlarging the window shows the last three lines.
            renderer_.CrossSecMode = CrossSectionLastThree;
            UpdateModeChecks();
            if (buffer_.HasBuffer()) {
                RecalcPictureRange();
                RefreshDisplay();
            }
        } else {
            DrawCrossSection();
        }
    } else if (renderer_.CrossSecMode != CrossSectionNone) {
        renderer_.CrossSecMode = CrossSectionNone;
        UpdateModeChecks();
    }
}

void TChildForm::ShowPlotArea(bool shown)
{
    const int w = std::max(width(), 1);
    inFormResize_ = true; // the mode is being set by the menu, not by the size
    SetClientHeight(shown ? w + w / 3 : w);
    inFormResize_ = false;
    const int plotHeight = shown ? std::clamp(height() - w, 0, w / 3) : 0;
    plotArea_->setGeometry(0, w, w, plotHeight);
    plotArea_->setVisible(plotHeight > 0);
    plotImage_ = plotHeight > 0 ? QImage(w, plotHeight, QImage::Format_RGB32) : QImage();
    if (!plotImage_.isNull())
        plotImage_.fill(Qt::white);
    plotArea_->update();
}

void TChildForm::BuildPopupMenu()
{
    popupMenu_ = new QMenu(this);
    popupMenu_->setObjectName("PopupMenu1");
    auto addGroup = [this](const QString& title, const QStringList& texts, const QStringList& names,
                           QList<QAction*>& items, void (TChildForm::*handler)(int)) {
        QMenu* sub = popupMenu_->addMenu(title);
        auto* group = new QActionGroup(sub);
        for (int i = 0; i < texts.size(); ++i) {
            QAction* action = sub->addAction(texts[i]);
            action->setObjectName(names[i]);
            action->setCheckable(true);
            group->addAction(action);
            connect(action, &QAction::triggered, this, [this, handler, i] { (this->*handler)(i); });
            items << action;
        }
    };
    addGroup("Gain", {"Every Line", "Last Picture", "Current Picture", "Manual"},
             {"GainEveryLineItem", "GainLastPictureItem", "GainCurrentPictureItem", "GainManualItem"}, gainItems_,
             &TChildForm::SetGainMode);
    addGroup("Slope", {"None", "Every Line", "Last Picture", "Current Picture"},
             {"SlopeNoneItem", "SlopeEveryLineItem", "SlopeLastPictureItem", "SlopeCurrentPictureItem"}, slopeItems_,
             &TChildForm::SetSlopeMode);
    addGroup("Cross Section", {"None", "Last Line", "Last Three Lines"},
             {"CrossSectionNone", "CrossSectionLast", "CrossSectionLastThree"}, crossItems_,
             &TChildForm::SetCrossSectionMode);
    UpdateModeChecks();
}

void TChildForm::UpdateModeChecks()
{
    renderer_.ValidateModes();
    gainItems_[renderer_.GainMode]->setChecked(true);
    slopeItems_[renderer_.SlopeMode]->setChecked(true);
    crossItems_[renderer_.CrossSecMode]->setChecked(true);
}

void TChildForm::FormActivate()
{
    UpdateModeChecks();
    ShowPlotArea(renderer_.CrossSecMode != CrossSectionNone);
    FormResize();
    ShowGainBoxes();
}

void TChildForm::ShowGainBoxes()
{
    if (!ShowManualGainBoxes)
        return;
    if (renderer_.GainMode == GainManual)
        ShowManualGainBoxes(true, GetManualOffset(), GetManualRange());
    else
        ShowManualGainBoxes(false, 0.0, 0.0);
}

void TChildForm::SetGainMode(int mode)
{
    renderer_.GainMode = mode;
    if (mode == GainManual)
        renderer_.InitManualRange();
    UpdateModeChecks();
    RecalcPictureRange();
    RefreshDisplay();
    ShowGainBoxes();
}

void TChildForm::SetSlopeMode(int mode)
{
    // The new slope mode first, so the manual contrast comes from its ranges.
    renderer_.SlopeMode = mode;
    if (renderer_.GainMode == GainManual)
        renderer_.InitManualRange();
    UpdateModeChecks();
    RecalcPictureRange();
    RefreshDisplay();
    ShowGainBoxes();
}

void TChildForm::SetCrossSectionMode(int mode)
{
    renderer_.CrossSecMode = mode;
    renderer_.ValidateModes();
    UpdateModeChecks();
    ShowPlotArea(renderer_.CrossSecMode != CrossSectionNone);
    if (renderer_.CrossSecMode == CrossSectionLastThree) {
        RecalcPictureRange();
        RefreshDisplay();
    }
}

void TChildForm::SetManualOffset(double value)
{
    renderer_.Scale = buffer_.Scale;
    renderer_.SetManualOffset(value);
}

double TChildForm::GetManualOffset() const
{
    return renderer_.GetManualOffset();
}

void TChildForm::SetManualRange(double value)
{
    renderer_.Scale = buffer_.Scale;
    renderer_.SetManualRange(value);
}

double TChildForm::GetManualRange() const
{
    return renderer_.GetManualRange();
}

void TChildForm::ApplyManualGain(bool isRange, double value)
{
    if (isRange)
        SetManualRange(value);
    else
        SetManualOffset(value);
    RecalcPictureRange();
    RefreshDisplay();
}

void TChildForm::ReadSettings(const TQVTIniFile& ini)
{
    renderer_.GainMode = ini.ReadInteger(Section, "SlopeGain", 0);
    renderer_.SlopeMode = ini.ReadInteger(Section, "SlopeSlop", 0);
    renderer_.CrossSecMode = ini.ReadInteger(Section, "CrossSec", 0);
    SetManualOffset(ini.ReadFloat(Section, "ManualOffset", 0.0));
    SetManualRange(ini.ReadFloat(Section, "ManualRange", 1.0));
    UpdateModeChecks();
}

void TChildForm::WriteSettings(TQVTIniFile& ini) const
{
    const QWidget* frame = subWindow_ != nullptr ? static_cast<const QWidget*>(subWindow_.data()) : this;
    ini.WriteInteger(Section, "SlopeGain", renderer_.GainMode);
    ini.WriteInteger(Section, "SlopeSlop", renderer_.SlopeMode);
    ini.WriteInteger(Section, "CrossSec", renderer_.CrossSecMode);
    ini.WriteInteger(Section, "Left", frame->x());
    ini.WriteInteger(Section, "Top", frame->y());
    if (!frame->isMinimized()) {
        ini.WriteInteger(Section, "Width", frame->width());
        ini.WriteInteger(Section, "Height", frame->height());
    }
    ini.WriteFloat(Section, "ManualOffset", GetManualOffset());
    ini.WriteFloat(Section, "ManualRange", GetManualRange());
}

bool TChildForm::HeldByTouch(const QMouseEvent* event) const
{
    return (touchHoldsImage_ || ImageTouchActive(*this)) && event->source() != Qt::MouseEventNotSynthesized;
}

void TChildForm::Panel2MouseDown(QMouseEvent* event)
{
    if (!HeldByTouch(event))
        tools_->MouseDown(event->position().toPoint(), event->button(), event->buttons().testFlag(Qt::LeftButton));
}

void TChildForm::Panel2MouseMove(QMouseEvent* event)
{
    if (!HeldByTouch(event))
        tools_->MouseMove(event->position().toPoint(), event->buttons().testFlag(Qt::LeftButton));
}

void TChildForm::Panel2MouseUp(QMouseEvent* event)
{
    if (!HeldByTouch(event))
        tools_->MouseUp(event->position().toPoint());
}

void TChildForm::PaintOverlays(QPainter& painter)
{
    tools_->Paint(painter);
}

void TChildForm::keyPressEvent(QKeyEvent* event)
{
    if (!tools_->KeyDown(event->key(), event->modifiers()))
        QWidget::keyPressEvent(event); // on to the document area, as before
}

void TChildForm::wheelEvent(QWheelEvent* event)
{
    // The wheel over a picture means nothing; it must not scroll the area.
    event->accept();
}

} // namespace qvt
