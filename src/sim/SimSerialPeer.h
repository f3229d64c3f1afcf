#pragma once
// Serial devices on the far end of a pseudo-terminal pair. The program opens
// the slave path as it would open /dev/ttyS0; the device keeps the master,
// records every byte it receives with the time it came, and never answers
// unless told to. The line settings the program chose are those of the pair,
// so a device can tell at which speed it was spoken to.
//
// SimPositioner is the piezo positioner controller: it sees text lines ending
// in "\r\n". SimLaserBox is the serial box: single letters, "L" and "l"
// switching its laser.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qvt::sim {

class SimSerialPeer {
public:
    struct Chunk {
        QByteArray Bytes;
        std::chrono::steady_clock::time_point At;
    };

    SimSerialPeer();
    virtual ~SimSerialPeer();
    SimSerialPeer(const SimSerialPeer&) = delete;
    SimSerialPeer& operator=(const SimSerialPeer&) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.isEmpty(); }
    QString SlavePath() const { return slave_; }

    // Everything received so far, and in the pieces it came in.
    QByteArray Received() const;
    std::vector<Chunk> Chunks() const;
    void Clear();
    // Waits (at most `timeoutMs`) until `count` bytes have been received in all.
    bool WaitForBytes(int count, int timeoutMs) const;
    // The speed the program set on the line, in baud (0 when unknown).
    int Baud() const;
    // Sends bytes to the program.
    bool Send(const QByteArray& bytes);
    // The device stops taking bytes (true) or takes them again, as one that
    // holds its clear-to-send line low: the program's writes find no room.
    bool HoldLine(bool hold);

private:
    void ReadLoop();

    int master_ = -1;
    int slaveKeep_ = -1; // keeps the pair up while the program has it closed
    QString slave_;
    mutable std::mutex mutex_;
    std::vector<Chunk> chunks_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

class SimPositioner : public SimSerialPeer {
public:
    struct Line {
        QString Text; // without "\r\n"
        std::chrono::steady_clock::time_point At;
    };
    // The complete lines received, in order, each with the time its end came.
    std::vector<Line> Lines() const;
    QStringList LineTexts() const;
};

class SimLaserBox : public SimSerialPeer {
public:
    // The last of "L" (on) and "l" (off) received; off before either.
    bool LaserOn() const;
};

} // namespace qvt::sim
