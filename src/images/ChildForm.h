#pragma once
// The image window of one acquisition buffer (one channel, one pass:
// forward, backward or lift). It draws the buffer's readings as an 8-bit
// palette picture while lines arrive, with the contrast and slope modes of
// its pop-up menu, and an optional cross-section plot of the newest lines
// underneath. The arithmetic lives in TImageRenderer; this class holds the
// controls, the colour table and the settings of the window.
//
// Created by the channel choice for buffer slot × 3 + plane, as a child of
// the main window's document area. The display thread only signals; every
// drawing happens in the window thread.

#include "images/ColorPalette.h"
#include "images/ImageRender.h"
#include "images/ImageTools.h"
#include "images/PaintablePanel.h"

#include <QImage>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>

class QDrag;
class QMdiArea;
class QMdiSubWindow;
class QMimeData;
class QMenu;
class QMouseEvent;
class QPainter;

namespace qvt {

class TChildForm;
class TDaten;
class TImageTools;
class TQVTIniFile;
class TShowThread;

class TChildForm : public QWidget, public IPictureWindow {
    Q_OBJECT

public:
    // `buffer` must outlive the window; `showThread` (may be null) gives the
    // scan line and frame start and delivers the repaint signals.
    TChildForm(TDaten& buffer, int bufferIndex, TShowThread* showThread = nullptr, QWidget* parent = nullptr);
    ~TChildForm() override;

    TDaten& Buffer() const override { return buffer_; }
    int BufferIndex() const { return bufferIndex_; }
    // UserIni section of the window, channel name + "_" + plane ("ADC1_0").
    QString Section;
    // The channel choice's box that owns this window (not owned). Closing the
    // window while it is checked unchecks it instead.
    QPointer<QObject> CheckBox;

    TImageRenderer& Renderer() { return renderer_; }
    const TImageRenderer& Renderer() const { return renderer_; }

    // Puts the window into the main window's document area.
    QMdiSubWindow* AddToMdiArea(QMdiArea* area);
    QMdiSubWindow* SubWindow() const override;
    // Hides the window and deletes it (with its frame) once control returns
    // to the event loop, so it may be called from the window's own handlers.
    void Release();

    // Colour table from the palette setting and the channel's axis direction.
    void InitColorTable();
    // Bitmap and arrays for the buffer's current size; the old picture is
    // stretched into the new one.
    void ResizeImage();
    // Whole-picture ranges and a full redraw.
    void RecalcPictureRange();
    // The picture shown in frame `from` redrawn where frame `to` puts it.
    void RedrawPictureInFrame(const TPanelFrame& from, const TPanelFrame& to) override;
    void PreviewInView(const QRect& view) override;
    void ResyncShowLine() override;
    // The new lines of the running frame.
    void DrawNewLines();
    void RefreshDisplay();
    void UpdateRangeText();
    void DrawCrossSection();
    // Check marks from the mode bytes, the plot area shown or hidden, and the
    // main window's manual gain boxes for this window.
    void FormActivate();
    // Square picture area over the full width; the plot gets the rest, at
    // most a third of the picture height.
    void FormResize();

    // The pop-up menu's commands.
    void SetGainMode(int mode);
    void SetSlopeMode(int mode);
    void SetCrossSectionMode(int mode);

    // Manual contrast in physical units of the channel.
    void SetManualOffset(double value);
    double GetManualOffset() const;
    void SetManualRange(double value);
    double GetManualRange() const;
    // An offset or range typed or wheeled in the main window, then the
    // picture drawn with it.
    void ApplyManualGain(bool isRange, double value);

    // SlopeGain, SlopeSlop, CrossSec, ManualOffset and ManualRange of the
    // window's section.
    void ReadSettings(const TQVTIniFile& ini);
    // Those, and Left, Top, Width and Height (size not while minimised).
    void WriteSettings(TQVTIniFile& ini) const;

    // The picture as drawn: indexes with the colour table, sharing the bitmap.
    QImage Image() const;
    const QImage& CrossSectionImage() const { return plotImage_; }
    const TColorTable& ColorTable() const { return palette_.Table; }
    // Without the marker colours (3D view).
    const TColorTable& PlainColorTable() const { return palette_.Plain; }
    QString Hint() const { return hint_; }
    int ZoomFactor() const { return zoomFactor_; }
    TPaintablePanel* Panel2() const override { return panel_; }
    QWidget& Window() override { return *this; }
    const QWidget& Window() const override { return *this; }
    bool ScanIsRunning() const override { return ScanRunning && ScanRunning(); }
    QWidget* Image2() const { return plotArea_; }
    QMenu* PopupMenu1() const { return popupMenu_; }
    TImageTools& Tools() const { return *tools_; }
    // While a touch gesture holds the picture, the mouse events Qt makes
    // from the touches are not the tools' (the touch input drives them).
    bool TouchHoldsImage() const { return touchHoldsImage_; }
    void SetTouchHoldsImage(bool held) { touchHoldsImage_ = held; }

    // After the picture changed outside the display thread's repaints (a new
    // size, a mode, a moved frame, a pinch): the 3D view follows. Unset: nothing.
    static std::function<void(TChildForm& window)> PictureChanged;
    // Whether a scan is running (the main window's scan button); the range
    // text of the whole picture is shown only while none runs. Unset: none.
    static std::function<bool()> ScanRunning;
    // The main window's manual offset and range boxes: shown with the
    // window's values (physical units) while it is active in "Manual" gain,
    // hidden otherwise. Unset: there are none.
    static std::function<void(bool shown, double offset, double range)> ShowManualGainBoxes;

public slots:
    // The display thread's repaint: the new lines, or everything.
    void WMUpdateDisplay(bool newLinesOnly);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    friend class TPaintablePanel;

    void BuildPopupMenu();
    void NotifyPictureChanged();
    // The palette entry the preview paints where nothing was scanned.
    uint8_t BlackIndex() const;
    void UpdateModeChecks();
    // The main window's gain boxes after this window's modes.
    void ShowGainBoxes();
    // Client height `height`, growing the document frame around it if there is one.
    void SetClientHeight(int height);
    void ShowPlotArea(bool shown);
    int ShowLine() const;

    // Mouse on the picture and overlays after the scan-line marker: the
    // places of the picture tools (move, zoom, measure, scan from here).
    void Panel2MouseDown(QMouseEvent* event);
    void Panel2MouseMove(QMouseEvent* event);
    void Panel2MouseUp(QMouseEvent* event);
    void PaintOverlays(QPainter& painter);

    TDaten& buffer_;
    const int bufferIndex_;
    QPointer<TShowThread> showThread_;
    QPointer<QMdiSubWindow> subWindow_;

    TImageRenderer renderer_;
    TWindowPalette palette_;
    QList<QRgb> colorTable_;

    TPaintablePanel* panel_ = nullptr;
    QWidget* plotArea_ = nullptr;
    QImage plotImage_;
    QMenu* popupMenu_ = nullptr;
    QList<QAction*> gainItems_;
    QList<QAction*> slopeItems_;
    QList<QAction*> crossItems_;

    TImageTools* tools_ = nullptr;
    bool touchHoldsImage_ = false;
    // True when the event is one Qt made from a touch the gesture holds.
    bool HeldByTouch(const QMouseEvent* event) const;
    QString hint_;
    int zoomFactor_ = 1;
    bool inFormResize_ = false;
};

} // namespace qvt
