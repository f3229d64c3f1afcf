#include "optics/CameraFactory.h"

#ifdef QVT_HAVE_QT_MULTIMEDIA
#include "optics/video/QtCameraBackend.h"
#endif

namespace qvt {

std::unique_ptr<ICameraBackend> MakeCameraBackend()
{
#ifdef QVT_HAVE_QT_MULTIMEDIA
    auto inputs = std::make_unique<TQtCameraBackend>();
    if (!inputs->Drivers().empty())
        return inputs;
#endif
    return std::make_unique<TTestPatternCamera>();
}

} // namespace qvt
