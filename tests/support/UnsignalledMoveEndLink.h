#pragma once
// A link to a simulated controller whose driver never signals a move's end
// by itself, as a driver whose stop does not complete the stopped move: its
// GoXYWaitEvent is set only by the program. A move waiting on a stopped one
// is released by the program's own wake-up or not at all (until its time-out).

#include "platform/DeviceDriver.h"
#include "sim/SimController.h"

#include <memory>
#include <utility>

namespace qvt::test {

class UnsignalledMoveEndLink : public DeviceDriver {
public:
    explicit UnsignalledMoveEndLink(std::shared_ptr<sim::SimController> sim) : sim_(std::move(sim)) {}

    bool Control(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize, size_t* returned) override
    {
        return sim_->Control(code, in, inSize, out, outSize, returned);
    }
    size_t BulkRead(void* buffer, size_t size, int timeoutMs) override
    {
        return sim_->BulkRead(buffer, size, timeoutMs);
    }
    ManualResetEvent& GoXYWaitEvent() override { return moveEnded_; }

private:
    std::shared_ptr<sim::SimController> sim_;
    ManualResetEvent moveEnded_;
};

} // namespace qvt::test
