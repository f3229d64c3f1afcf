#pragma once
// The picture area of an image window, and the image window as its mouse
// tools and touch input see it: they reach the window through this, not
// through the window's own class.

#include <QPoint>
#include <QWidget>

#include <functional>

class QDrag;
class QMdiSubWindow;
class QMimeData;
class QMouseEvent;

namespace qvt {

class TChildForm;
class TDaten;
struct TPanelFrame;

// The picture area: stretches the bitmap over the drawn rectangle and lays
// the scan-line marker (and the tools' overlays) over it.
class TPaintablePanel : public QWidget {
    Q_OBJECT

public:
    explicit TPaintablePanel(TChildForm* form);
    ~TPaintablePanel() override;

    // While the parameter window's Drag tool is down, pulling the picture
    // starts a drag of the whole image (the navigator takes it).
    static bool DragModeAutomatic();
    // The data a picture drag carries: which panel of this program it came from.
    static const char* const ImageDragFormat;
    // The live panel `data` names; null for any other drag.
    static TPaintablePanel* FromMimeData(const QMimeData* data);
    // Runs a started drag; unset, QDrag::exec (a test delivers the drop itself).
    static std::function<void(QDrag& drag)> RunDrag;
    TChildForm* Form() const { return form_; }

    // Where the picture is drawn; left and top move while the picture is
    // dragged, width and height follow the panel size.
    int DrawnLeft = 0;
    int DrawnTop = 0;
    int DrawnWidth = 0;
    int DrawnHeight = 0;
    // Suppresses the picture while a tool draws its own.
    bool Dragging = false;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void StartImageDrag();

    TChildForm* form_;
    QPoint dragStart_;
    bool dragPending_ = false;
};

// The image window as its tools and touch input see it.
class IPictureWindow {
public:
    virtual TPaintablePanel* Panel2() const = 0;
    virtual TDaten& Buffer() const = 0;
    virtual QMdiSubWindow* SubWindow() const = 0;
    // The picture shown in frame `from` redrawn where frame `to` puts it.
    virtual void RedrawPictureInFrame(const TPanelFrame& from, const TPanelFrame& to) = 0;
    // The picture as a pinch left it: black, with the old picture stretched
    // into `view` (panel pixels); the next lines drawn start at the scan's.
    virtual void PreviewInView(const QRect& view) = 0;
    // The display's first line of the frame set to the line just scanned.
    virtual void ResyncShowLine() = 0;
    virtual QWidget& Window() = 0;
    virtual const QWidget& Window() const = 0;
    // Whether a scan is running (the main window's scan button).
    virtual bool ScanIsRunning() const = 0;

protected:
    ~IPictureWindow() = default;
};

} // namespace qvt
