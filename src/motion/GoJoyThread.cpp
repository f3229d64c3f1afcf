#include "motion/GoJoyThread.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "motion/MoveEngine.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

namespace qvt {

int64_t JoyStep(int32_t velocity, int32_t maxStep)
{
    return static_cast<int64_t>(Round(static_cast<double>(velocity) / JoyVelocityUnit * maxStep));
}

TGoJoyThread::TGoJoyThread(TInOutForm& form, TMoveEngine& moves)
    : form_(form), moves_(moves), worker_([this](WorkerThread& thread) { Execute(thread); }, ThreadPriority::Higher)
{
}

TGoJoyThread::~TGoJoyThread()
{
    Terminate();
}

void TGoJoyThread::Start(int32_t vx, int32_t vy, int32_t vz)
{
    VelocityX = vx;
    VelocityY = vy;
    VelocityZ = vz;
    worker_.Resume();
}

void TGoJoyThread::Terminate()
{
    stopping_ = true;
    worker_.Terminate();
    worker_.Join();
}

void TGoJoyThread::Execute(WorkerThread& thread)
{
    while (!thread.Terminated()) {
        bool park = false;
        try {
            park = Tick();
        } catch (...) {
            park = true; // a failed tick parks the thread until the next velocity
        }
        if (park && !thread.SuspendSelf())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(JoyTickMs));
    }
}

bool TGoJoyThread::Tick()
{
    TMoveEngine& moves = moves_;
    const int32_t maxStep = moves.MaxStep.load();
    const int32_t vx = VelocityX.load();
    const int32_t vy = VelocityY.load();
    if (vx != 0 || vy != 0) {
        int32_t x = 0;
        int32_t y = 0;
        moves.Position(x, y);
        moves.GoTo(x + JoyStep(vx, maxStep), y + JoyStep(vy, maxStep), &stopping_);
    }
    const int32_t vz = VelocityZ.load();
    if (vz != 0) {
        const int64_t z = form_.ReadReg(ChannelTable[SlotZ].Address.load());
        const int64_t next = std::clamp<int64_t>(z + JoyStep(vz, maxStep), INT32_MIN, INT32_MAX);
        form_.WriteReg(RegZ, static_cast<int32_t>(next)); // held inside DAC1's limits there
    }
    return VelocityX.load() == 0 && VelocityY.load() == 0 && VelocityZ.load() == 0;
}

} // namespace qvt
