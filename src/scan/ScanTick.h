#pragma once
// The scan's 100 ms heartbeat in the window thread, standing in for the scan
// parameter window's status timer until that window exists: while a scan
// runs it wakes the display thread for one pass, and after a pause it takes
// the position back from the controller once the scan thread has parked.

#include <QObject>
#include <QTimer>

namespace qvt {

class TGoXYThread;
class TShowThread;

class TScanTick : public QObject {
    Q_OBJECT

public:
    static constexpr int IntervalMs = 100;

    // Both threads must outlive the tick. Starts at once.
    TScanTick(TGoXYThread& scan, TShowThread* show, QObject* parent = nullptr);
    void Stop() { timer_.stop(); }

    // One tick (the timer calls it; tests may too).
    void Tick();

private:
    TGoXYThread& scan_;
    TShowThread* show_;
    QTimer timer_;
};

} // namespace qvt
