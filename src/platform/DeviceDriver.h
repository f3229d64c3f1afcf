#pragma once
// The driver interface: everything the program asks of the controller's
// device driver. The simulated controller implements it; a backend for real
// hardware on Linux would plug in here too.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ManualResetEvent.h"

namespace qvt {

class DeviceDriver {
public:
    virtual ~DeviceDriver() = default;

    // One synchronous device-control request. `in`/`out` may be null when their
    // size is 0. `returned` receives the number of output bytes written.
    // Returns false when the driver refused or failed the request.
    virtual bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                         size_t* returned) = 0;

    // Bulk read of the fast-scan stream: at most `size` bytes, waiting up to
    // `timeoutMs`. Returns the bytes read (0 when nothing came).
    virtual size_t BulkRead(void* buffer, size_t size, int timeoutMs) = 0;

    // The manual-reset event the driver sets when a move has ended ("GoXYWait").
    virtual ManualResetEvent& GoXYWaitEvent() = 0;
};

} // namespace qvt
