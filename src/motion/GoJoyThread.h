#pragma once
// The joystick thread: moves the tip continuously at a set velocity, one step
// every 10 ms, while the joystick or a position window holds a velocity, and
// parks itself when all velocities are 0. Created (suspended) with the device
// window; TDeviceWorkers::StartJoyMove sets the velocities and resumes it.
//
// Its moves wait for arrival by polling (it never runs the window thread's
// messages) and end early only on its own stop, never on the operator's
// global abort meant for another operation.

#include "platform/WorkerThread.h"

#include <atomic>
#include <cstdint>

namespace qvt {

class TInOutForm;
class TMoveEngine;

// 256 means one MaxStep per tick.
constexpr int32_t JoyVelocityUnit = 256;
constexpr int JoyTickMs = 10;

// The step a velocity makes per tick: round(v / 256 × MaxStep).
int64_t JoyStep(int32_t velocity, int32_t maxStep);

class TGoJoyThread {
public:
    TGoJoyThread(TInOutForm& form, TMoveEngine& moves);
    ~TGoJoyThread(); // stops and joins the thread
    TGoJoyThread(const TGoJoyThread&) = delete;
    TGoJoyThread& operator=(const TGoJoyThread&) = delete;

    std::atomic<int32_t> VelocityX{0};
    std::atomic<int32_t> VelocityY{0};
    std::atomic<int32_t> VelocityZ{0};

    // Sets the three velocities and resumes the thread (a resume while it is
    // still finishing a tick is kept, so it never parks on a new velocity).
    void Start(int32_t vx, int32_t vy, int32_t vz);
    bool Suspended() const { return worker_.Suspended(); }
    // Waits until the thread has parked; false on time-out.
    bool WaitParked(int timeoutMs) const { return worker_.WaitSuspended(timeoutMs); }
    // Ends the thread (a move under way stops where it is) and waits for it.
    void Terminate();

private:
    void Execute(WorkerThread& thread);
    // One tick; true when all velocities are 0.
    bool Tick();

    TInOutForm& form_;
    TMoveEngine& moves_;
    std::atomic<bool> stopping_{false};
    WorkerThread worker_;
};

} // namespace qvt
