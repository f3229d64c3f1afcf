#include "platform/ThreadPriority.h"

#include <algorithm>
#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qvt {

namespace {
constexpr int WeakestNice = 19;

id_t ThreadId()
{
    return static_cast<id_t>(syscall(SYS_gettid));
}

int NiceOf(id_t id)
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, id);
    return errno == 0 ? nice : 0;
}
} // namespace

int CurrentThreadNice()
{
    return NiceOf(ThreadId());
}

int ProcessNice()
{
    // The process id names its main thread, whose nice the others start from.
    return NiceOf(static_cast<id_t>(getpid()));
}

bool SetCurrentThreadPriority(ThreadPriority priority)
{
    if (priority != ThreadPriority::Lower) {
        // A thread inherits its creator's nice: one started from a lowered
        // thread is brought back to the process's, where that is allowed.
        const int process = ProcessNice();
        if (CurrentThreadNice() > process)
            setpriority(PRIO_PROCESS, ThreadId(), process);
        return priority == ThreadPriority::Normal && CurrentThreadNice() == process;
    }
    // Relative to the process: a program started under "nice" keeps its
    // threads' order instead of having its script thread raised back.
    const int want = std::min(ProcessNice() + LowerNiceSteps, WeakestNice);
    return setpriority(PRIO_PROCESS, ThreadId(), want) == 0;
}

} // namespace qvt
