#include "scan/ScanTick.h"

#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"

namespace qvt {

TScanTick::TScanTick(TGoXYThread& scan, TShowThread* show, QObject* parent) : QObject(parent), scan_(scan), show_(show)
{
    timer_.setInterval(IntervalMs);
    connect(&timer_, &QTimer::timeout, this, &TScanTick::Tick);
    timer_.start();
}

void TScanTick::Tick()
{
    if (scan_.StopMessageShown())
        scan_.CompletePause();
    if (show_ != nullptr && scan_.ScanActive())
        show_->Resume();
}

} // namespace qvt
