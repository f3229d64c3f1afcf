#pragma once
// The display thread: while a scan runs it tells the image windows when to
// repaint, no more often than the line rate makes worthwhile. Each resume
// (the scan window's status timer, the fast scan's finished frame) starts one
// pass; then the thread suspends itself again.
//
// It never touches a window. A pass only posts: the signals below are emitted
// in the window thread, from where the image windows and the 3D view receive
// them.

#include "core/SharedState.h"
#include "platform/WorkerThread.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace qvt {

// Whether a pass repaints the new lines: only while `pixels` ≥ `speed` / 2,
// and when the lines since the nearer end of the frame,
// k = min(line, pixels − line), took at least 0.1 s (lineTime · k in ticks of
// `perfFrequency`).
bool ShouldRepaint(int pixels, double speed, int line, int64_t lineTime, int64_t perfFrequency);

// Created (in the window thread) suspended, like every worker.
class TShowThread : public QObject {
    Q_OBJECT

public:
    explicit TShowThread(TScanParams& params = ScanParams, QObject* parent = nullptr);
    ~TShowThread() override; // stops and joins the thread
    TShowThread(const TShowThread&) = delete;
    TShowThread& operator=(const TShowThread&) = delete;

    std::atomic<int32_t> FirstLine{1}; // first line of the current frame
    std::atomic<int32_t> Line{0};      // the line just finished
    std::atomic<bool> RedrawAll{false};
    // While set, a resume does not start a pass.
    std::atomic<bool> HoldSuspended{false};

    // Starts one pass (none while HoldSuspended). A resume that arrives during
    // a pass gives one more pass after it.
    void Resume();
    bool Suspended() const { return worker_.Suspended(); }

    // Sets HoldSuspended and waits until the thread is parked; the wait
    // delivers no events. False when the thread did not park within
    // `timeoutMs`.
    bool Hold(int timeoutMs = 5000);
    // Clears HoldSuspended; the next resume makes a pass again.
    void Release();

    // Ends the thread and waits for it.
    void Terminate();

signals:
    // The image windows refresh their whole content.
    void refreshAll();
    // Image windows: redraw the new lines only (true) or everything (false).
    // The 3D view redraws everything on either.
    void updateDisplay(bool newLinesOnly);

private slots:
    // Run in the window thread for each pass that posted.
    void DeliverRedrawAll();
    void DeliverNewLines();

private:
    void Execute(WorkerThread& thread);
    void Pass();
    void Post(const char* slot);

    TScanParams& params_;
    WorkerThread worker_;
};

} // namespace qvt
