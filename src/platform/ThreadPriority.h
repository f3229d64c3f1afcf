#pragma once
// Priorities of the program's worker threads, relative to the window thread.
//
// On Linux a thread's priority is its nice value. Lowering it is always
// allowed; raising it above the process's needs privileges the program does
// not ask for, so "higher" and "time-critical" threads run at the process's
// own priority, which is the best an unprivileged program can give them.

namespace qvt {

enum class ThreadPriority { Lower, Normal, Higher, TimeCritical };

// Nice steps a "lower" thread runs below the process.
constexpr int LowerNiceSteps = 5;

// Gives the calling thread `priority` (see above); true when it has it.
bool SetCurrentThreadPriority(ThreadPriority priority);
// The nice value of the calling thread, and of the process (its main thread).
int CurrentThreadNice();
int ProcessNice();

} // namespace qvt
