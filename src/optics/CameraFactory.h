#pragma once
// The camera the program uses: chosen here, apart from the interface, so the
// interface and the test card do not know the video implementation.

#include "optics/CameraBackend.h"

#include <memory>

namespace qvt {

// The machine's video inputs when it has any, else the test card.
std::unique_ptr<ICameraBackend> MakeCameraBackend();

} // namespace qvt
