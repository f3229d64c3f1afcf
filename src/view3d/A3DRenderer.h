#pragma once
// Draws the 3D view's surface with the fixed-function pipeline into
// whatever OpenGL context is current: the window's, or an offscreen one.

namespace qvt {

class TA3DMesh;
class TA3DView;

// Depth test, lighting with light 0 and colour material, two-sided lighting
// with a local viewer. Once per context.
void A3DInitGLState();

// The scene in a viewport of `width` × `height` pixels; an empty mesh gives
// only the background.
void A3DRender(const TA3DMesh& mesh, const TA3DView& view, int width, int height);

} // namespace qvt
