#pragma once
// What the navigator needs of the thread that runs scripts: the thread
// implements it, the navigator starts and stops runs through it.

#include <QString>

namespace qvt {

class IScriptRunner {
public:
    virtual ~IScriptRunner() = default;
    // The thread is working on a run (not parked).
    virtual bool Active() const = 0;
    // Hands over the script's name and folder, sets the run flag and wakes the thread.
    virtual void Start(const QString& name, const QString& path) = 0;
    // Clears the run flag; the statement in progress finishes first.
    virtual void RequestStop() = 0;
};

} // namespace qvt
