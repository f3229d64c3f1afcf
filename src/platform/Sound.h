#pragma once
// Short sounds from memory. The step click is a complete WAVE file held by the
// stepper; it is played asynchronously and never cuts off a sound that is
// still playing (the new one is dropped instead), so a burst of steps gives a
// train of clicks rather than a stutter. Where the machine has no player or no
// audio device, nothing is heard and nothing is reported.

#include <QByteArray>

#include <mutex>
#include <vector>

namespace qvt {

// Starts `wav` (a whole WAVE file) and returns at once. False when it was
// dropped: another sound still plays, no player is available, or the program
// has no window thread to run the player from.
bool PlayWavFromMemory(const QByteArray& wav);

// Installed for its lifetime: sounds are recorded instead of played. Each
// recorded sound counts as finished at once unless Busy is set.
class RecordedSounds {
public:
    RecordedSounds();
    ~RecordedSounds();
    RecordedSounds(const RecordedSounds&) = delete;
    RecordedSounds& operator=(const RecordedSounds&) = delete;

    // While true, a sound counts as still playing and new ones are dropped.
    void SetBusy(bool busy);
    std::vector<QByteArray> Played() const;
    int Dropped() const;

    // Used by PlayWavFromMemory.
    bool Play(const QByteArray& wav);

private:
    mutable std::mutex mutex_;
    bool busy_ = false;
    std::vector<QByteArray> played_;
    int dropped_ = 0;
};

} // namespace qvt
