// QV_TCPWAKER: the stop request of one connection thread and every wait that
// thread makes. A stop sets the stop flag and makes the wake eventfd
// readable; a nudge makes the nudge eventfd readable. Every wait of the
// thread watches the wake eventfd, so a stop ends it at once; the pauses of
// the relay and of the peer wait also watch the nudge eventfd, so that an
// inbound packet or the peer's answer is acted on without waiting out the
// pause.
//
// Owned by a QV_SOCKETTCP, which passes it by reference to the parts that
// wait. Threads: requestStop, stopRequested and nudge are safe from any
// thread (the flag is atomic, the eventfds are written whole). rearm and
// drainWake are for the owner while no connection thread runs. The waits
// are for the thread that does the socket work: the connection thread, or
// the owner while none runs; only they read the nudge eventfd.
#pragma once

#include <atomic>
#include <cstdint>

class QV_TCPWAKER {
public:
    QV_TCPWAKER();
    ~QV_TCPWAKER();
    QV_TCPWAKER(const QV_TCPWAKER&) = delete;
    QV_TCPWAKER& operator=(const QV_TCPWAKER&) = delete;

    // Sets the stop flag, then wakes every wait until drainWake.
    void requestStop();
    bool stopRequested() const { return stop != 0; }
    // Before a thread starts: clears the stop flag and a pending wake-up.
    void rearm();
    // Takes back a pending wake-up; the stop flag stays as it is.
    void drainWake();
    // Ends the thread's current or next pause that watches nudges.
    void nudge();

    // Waits until fd is ready for `events`: 1 ready, 0 timed out, -1 stopped.
    int32_t waitReady(int fd, short events, int timeoutMs);
    // A pause that a stop cuts short.
    void pauseMs(int ms);
    // A pause that a stop or a nudge cuts short.
    void pauseOrNudgeMs(int ms);
    // A pause that a stop, a nudge or data to read on dataFd cuts short;
    // true when data (or its end) is there to read.
    bool pauseForDataMs(int dataFd, int ms);

private:
    void takeNudge();

    std::atomic<int32_t> stop{0};
    int wakeFd = -1;   // eventfd, readable while a stop is pending
    int nudgeFd = -1;  // eventfd, readable after a nudge until the next pause
};
