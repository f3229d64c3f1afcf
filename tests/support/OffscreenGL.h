#pragma once
// A software OpenGL context with no window system: Mesa's EGL and llvmpipe
// drawing into an offscreen buffer, current on the thread that made it. The
// 3D view's drawing is checked and timed in it wherever the tests run.

#include "view3d/A3DRenderer.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <QImage>

namespace qvt::test {

class OffscreenGL {
public:
    OffscreenGL(int width, int height) : width_(width), height_(height)
    {
        auto getDisplay =
            reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
        if (getDisplay == nullptr)
            return;
        display_ = getDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, nullptr, nullptr))
            return;
        const EGLint attributes[] = {EGL_SURFACE_TYPE,
                                     EGL_PBUFFER_BIT,
                                     EGL_RENDERABLE_TYPE,
                                     EGL_OPENGL_BIT,
                                     EGL_RED_SIZE,
                                     8,
                                     EGL_GREEN_SIZE,
                                     8,
                                     EGL_BLUE_SIZE,
                                     8,
                                     EGL_DEPTH_SIZE,
                                     24,
                                     EGL_NONE};
        EGLConfig config = nullptr;
        EGLint count = 0;
        if (!eglChooseConfig(display_, attributes, &config, 1, &count) || count < 1)
            return;
        const EGLint size[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
        surface_ = eglCreatePbufferSurface(display_, config, size);
        eglBindAPI(EGL_OPENGL_API);
        context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, nullptr);
        ok_ = surface_ != EGL_NO_SURFACE && context_ != EGL_NO_CONTEXT &&
              eglMakeCurrent(display_, surface_, surface_, context_);
    }
    ~OffscreenGL()
    {
        if (display_ == EGL_NO_DISPLAY)
            return;
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        if (context_ != EGL_NO_CONTEXT)
            eglDestroyContext(display_, context_);
        if (surface_ != EGL_NO_SURFACE)
            eglDestroySurface(display_, surface_);
        // The display is not terminated: the driver stays loaded, so what it
        // keeps for the process is named (and let be) by the leak checker.
    }
    bool Ok() const { return ok_; }

    QImage Draw(const TA3DMesh& mesh, const TA3DView& view)
    {
        A3DInitGLState();
        A3DRender(mesh, view, width_, height_);
        glFinish();
        QImage image(width_, height_, QImage::Format_RGBA8888);
        glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
        return image.mirrored(false, true); // OpenGL's rows start at the bottom
    }

private:
    int width_;
    int height_;
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLSurface surface_ = EGL_NO_SURFACE;
    EGLContext context_ = EGL_NO_CONTEXT;
    bool ok_ = false;
};

} // namespace qvt::test
