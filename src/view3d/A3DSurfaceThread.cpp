#include "view3d/A3DSurfaceThread.h"

#include "view3d/A3DRenderer.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>

#include <chrono>

namespace qvt {

TA3DSurfaceThread::TA3DSurfaceThread(std::function<void()> ready) : ready_(std::move(ready)), thread_([this] { Run(); })
{
}

TA3DSurfaceThread::~TA3DSurfaceThread()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TA3DSurfaceThread::Build(TIndexedBitmap picture, int gain, const TColorTable& palette, uint64_t tag)
{
    {
        const std::lock_guard lock(mutex_);
        build_ = TBuild{std::move(picture), gain, palette, tag};
    }
    wake_.notify_all();
}

void TA3DSurfaceThread::Clear(uint64_t tag)
{
    Build(TIndexedBitmap(), 0, TColorTable{}, tag);
}

void TA3DSurfaceThread::Draw(const TA3DView& view, QOffscreenSurface* surface, QSize size)
{
    {
        const std::lock_guard lock(mutex_);
        draw_ = TDraw{view, surface, size};
    }
    wake_.notify_all();
}

TA3DSurfaceThread::TResult TA3DSurfaceThread::Take()
{
    const std::lock_guard lock(mutex_);
    TResult taken = std::move(result_);
    result_ = TResult();
    resultWaiting_ = false;
    return taken;
}

bool TA3DSurfaceThread::Settled() const
{
    const std::lock_guard lock(mutex_);
    return !build_ && !draw_ && !busy_ && !resultWaiting_;
}

namespace {
// The drawing context of the thread, made when first needed.
struct TGLTarget {
    std::unique_ptr<QOpenGLContext> Context;
    QOffscreenSurface* Surface = nullptr;
    std::unique_ptr<QOpenGLFramebufferObject> Buffer;
    bool Failed = false;

    // The scene drawn, or a null image when OpenGL cannot draw here.
    QImage Draw(const TA3DMesh& mesh, const TA3DView& view, QOffscreenSurface* surface, QSize size)
    {
        if (surface == nullptr || size.isEmpty())
            return {};
        if (!Context && !Failed) {
            Surface = surface;
            Context = std::make_unique<QOpenGLContext>();
            Context->setFormat(surface->format());
            Failed = !Context->create() || !Context->makeCurrent(surface);
            if (!Failed)
                A3DInitGLState();
        }
        if (Failed || !Context->makeCurrent(surface))
            return {};
        Surface = surface;
        if (!Buffer || Buffer->size() != size)
            Buffer = std::make_unique<QOpenGLFramebufferObject>(size, QOpenGLFramebufferObject::CombinedDepthStencil);
        if (!Buffer->isValid() || !Buffer->bind())
            return {};
        A3DRender(mesh, view, size.width(), size.height());
        QImage scene = Buffer->toImage();
        Buffer->release();
        return scene;
    }

    ~TGLTarget()
    {
        if (Context && !Failed && Context->makeCurrent(Surface)) {
            Buffer.reset();
            Context->doneCurrent();
        }
    }
};
} // namespace

void TA3DSurfaceThread::Run()
{
    TGLTarget gl;
    auto surface = std::make_shared<const TA3DMesh>();
    for (;;) {
        std::optional<TBuild> build;
        std::optional<TDraw> draw;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || build_ || draw_; });
            if (stop_)
                break;
            build.swap(build_);
            draw.swap(draw_);
            busy_ = true;
            // A new surface is drawn as the last drawing looked.
            if (build && !draw && drawnOnce_)
                draw = lastDraw_;
        }
        const auto started = std::chrono::steady_clock::now();
        if (build) {
            auto mesh = std::make_shared<TA3DMesh>();
            if (build->Picture.Height() > 0)
                mesh->Build(build->Picture, build->Gain, build->Palette);
            surface = std::move(mesh);
        }
        const QImage scene = draw ? gl.Draw(*surface, draw->View, draw->Surface, draw->Size) : QImage();
        {
            const std::lock_guard lock(mutex_);
            if (build) {
                result_.Mesh = surface;
                result_.Tag = build->Tag;
                result_.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            }
            if (draw) {
                lastDraw_ = *draw;
                drawnOnce_ = true;
            }
            if (!scene.isNull())
                result_.Scene = scene;
            resultWaiting_ = resultWaiting_ || build || !scene.isNull();
            busy_ = false;
        }
        if (build || !scene.isNull())
            ready_();
    }
}

} // namespace qvt
