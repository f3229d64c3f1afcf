#pragma once
// The "3D View" window: one image window's picture as a lit, coloured height
// surface that the operator turns, shifts and zooms with the mouse, the
// wheel or the fingers. Created hidden at start; the main window's
// "&View 3D" shows it. During a scan the display thread's repaint rebuilds
// the surface. Without OpenGL the window says so once at start and stays
// empty; the rest of the program runs on.
//
// The surface (TA3DMesh), the view and its mouse modes (TA3DView) and the
// drawing (A3DRender) live beside this class and need no window. Surfaces
// are built and drawn on the view's own thread (TA3DSurfaceThread); the
// window only shows the finished drawing.

#include "images/TouchGesture.h"
#include "view3d/A3DMesh.h"
#include "view3d/A3DView.h"

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QOffscreenSurface;
class QScrollBar;

namespace qvt {

class TA3DForm;
class TA3DSurfaceThread;
class TChildForm;

// The drawing surface: shows the scene the view's thread drew last.
class TMyPanel : public QWidget {
    Q_OBJECT

public:
    explicit TMyPanel(TA3DForm* form);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    TA3DForm* form_;
};

class TA3DForm : public QWidget {
    Q_OBJECT

public:
    explicit TA3DForm(QWidget* parent = nullptr);
    ~TA3DForm() override;

    // Whether OpenGL can draw here; asked once at creation. Unset: a context
    // is made and thrown away.
    static std::function<bool()> OpenGLAvailable;
    // The image windows of the main window.
    std::function<QList<TChildForm*>()> ImageWindows;
    // The main window's "&View 3D" check mark.
    std::function<void(bool)> SetMenuChecked;

    // InitOpenGL, the view keys and the toolbar state.
    void FormCreate();
    // Geometry, toolbar and view into [A3D].
    void FormDestroy();
    bool GLAvailable() const { return glAvailable_; }

    // "&View 3D": shown, raised and drawn anew.
    void ShowView();
    // The image windows whose acquisition box is checked; the one of
    // [A3D] Channel becomes the source.
    void FillChannelList();
    void ChannelComboBoxChange(int index);
    void SetSource(TChildForm* window);
    TChildForm* Source() const;
    // The surface built anew from the source's picture, then drawn; both
    // on the view's thread.
    void Rebuild();
    // The surface drawn anew as the view now looks at it.
    void Render();

    void ScrollBar1Change(int position);
    void BCPanelClick();
    void HideToolbarItemClick();
    void CancelBtnClick();
    bool ToolbarShown() const { return toolbarShown_; }

    // The panel's mouse (also replayed from one finger).
    void PanelMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint pos);
    void PanelMouseMove(QPoint pos);
    void PanelMouseUp();
    void PanelMouseWheel(int delta);
    void PanelTouch(const std::vector<TTouchPoint>& points);
    bool TouchActive() const { return touch_.Active(); }

    const TA3DView& View() const { return view_; }
    // The surface shown (the last one built).
    const TA3DMesh& Mesh() const;
    QWidget* Panel() const { return panel_; }
    // The scene as last drawn (a null image without OpenGL).
    QImage GrabScene() const { return scene_; }
    // Whether every surface and drawing asked for has come and is shown.
    bool SurfaceSettled() const;

public slots:
    // The display thread's repaint: the surface is built anew.
    void WMUpdateDisplay(bool newLinesOnly);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TMyPanel;
    void InitOpenGL();
    void SetPanel(QWidget* panel);
    void ShowToolbar(bool shown);
    void LayoutControls();
    void ShowBGColor();
    void Activated();
    TA3DSurfaceThread& SurfaceThread();
    // A finished surface or drawing of the view's thread taken over.
    void SurfaceReady();

    TA3DView view_;
    std::shared_ptr<const TA3DMesh> mesh_;
    QImage scene_;
    // Where the view's thread draws; made the first time the view is drawn.
    std::unique_ptr<QOffscreenSurface> glSurface_;
    std::unique_ptr<TA3DSurfaceThread> surfaceThread_;
    TA3DTouchGesture touch_;
    QPointer<TChildForm> source_;
    // The source's drawing the surface was last asked for (see WMUpdateDisplay).
    const TChildForm* builtFrom_ = nullptr;
    uint64_t builtDrawing_ = 0;
    uint64_t buildTag_ = 0;
    // A scan's new lines are followed at a pace that leaves the view's
    // thread idle three times as long as its last surface took, so a large
    // frame does not keep a core busy with surfaces no one can look at that
    // fast; the last lines of a frame are always shown.
    QTimer followTimer_;
    QElapsedTimer sinceFollow_;
    double lastSurfaceSeconds_ = 0.0;
    bool glAvailable_ = false;
    bool toolbarShown_ = true;

    QWidget* panel_ = nullptr;
    TMyPanel* glPanel_ = nullptr;
    QComboBox* channelComboBox_ = nullptr;
    QLabel* gainLabel_ = nullptr;
    QScrollBar* scrollBar1_ = nullptr;
    QLabel* bgLabel_ = nullptr;
    QFrame* bcPanel_ = nullptr;
    QMenu* popupMenu_ = nullptr;
    QAction* hideToolbarItem_ = nullptr;
};

extern TA3DForm* A3DForm;

} // namespace qvt
