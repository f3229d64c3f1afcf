#pragma once
// The 3D view's own thread: it builds the surface from a copy of the
// picture and draws it into an offscreen OpenGL buffer, so neither a
// 2048 × 2048 surface nor its software drawing ever holds up the window
// thread. Requests replace the ones still waiting, so a scan that brings
// new lines faster than a surface can be built only makes the thread build
// the newest picture next; nothing queues up.

#include "images/ColorPalette.h"
#include "images/ImageRender.h"
#include "view3d/A3DMesh.h"
#include "view3d/A3DView.h"

#include <QImage>
#include <QSize>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QOffscreenSurface;

namespace qvt {

class TA3DSurfaceThread {
public:
    // `ready` is called on this thread whenever a surface or a scene is done;
    // the owner then takes it with Take() on its own thread.
    explicit TA3DSurfaceThread(std::function<void()> ready);
    ~TA3DSurfaceThread(); // finishes the work in hand and joins
    TA3DSurfaceThread(const TA3DSurfaceThread&) = delete;
    TA3DSurfaceThread& operator=(const TA3DSurfaceThread&) = delete;

    // A new surface from `picture`; `tag` comes back with it.
    void Build(TIndexedBitmap picture, int gain, const TColorTable& palette, uint64_t tag);
    // No surface (the source went); also comes back tagged.
    void Clear(uint64_t tag);
    // The current surface drawn as `view` sees it, `size` pixels big, with a
    // context made current on `surface` (made on the window thread, which
    // keeps it until this object is gone).
    void Draw(const TA3DView& view, QOffscreenSurface* surface, QSize size);

    struct TResult {
        std::shared_ptr<const TA3DMesh> Mesh; // set when a new surface came
        uint64_t Tag = 0;
        double Seconds = 0.0; // the time that surface took to build and draw
        QImage Scene;         // set when a new drawing came
    };
    // What came since the last call.
    TResult Take();
    // Nothing waiting, nothing in hand and nothing left to take.
    bool Settled() const;

private:
    struct TBuild {
        TIndexedBitmap Picture; // empty: no surface
        int Gain = 0;
        TColorTable Palette{};
        uint64_t Tag = 0;
    };
    struct TDraw {
        TA3DView View;
        QOffscreenSurface* Surface = nullptr;
        QSize Size;
    };
    void Run();

    std::function<void()> ready_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<TBuild> build_;
    std::optional<TDraw> draw_;
    TDraw lastDraw_;
    bool drawnOnce_ = false;
    bool busy_ = false;
    bool stop_ = false;
    TResult result_;
    bool resultWaiting_ = false;
    std::thread thread_;
};

} // namespace qvt
