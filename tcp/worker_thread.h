// QV_WORKERTHREAD: the life of one connection thread: starting it with the
// short hand-shake that waits until its body runs, and joining it. A thread
// is always joined, never abandoned: launch first reaps a thread that is
// still there, and the destructor stops and joins one that still runs.
//
// Owned by a QV_SOCKETTCP. Threads: launch, reap, join and joinable are for
// the owner on the event-loop thread; the body marks itself running and
// ended on the connection thread; isRunning may be read anywhere (atomic).
// The waker must outlive the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "tcp/tcp_waker.h"

class QV_WORKERTHREAD {
public:
    explicit QV_WORKERTHREAD(QV_TCPWAKER& waker);
    ~QV_WORKERTHREAD();
    QV_WORKERTHREAD(const QV_WORKERTHREAD&) = delete;
    QV_WORKERTHREAD& operator=(const QV_WORKERTHREAD&) = delete;

    // Runs body on a new thread, prints createdLine and waits briefly until
    // the body marks itself running; false when no thread could be made.
    bool launch(std::function<void()> body, const char* createdLine);
    // Joins a thread that already ended; one that still runs (its stop was
    // never asked for) is stopped and joined first.
    void reap();
    // Waits for a thread whose stop has been asked for.
    void join();
    bool joinable() const { return worker.joinable(); }

    void markRunning() { running = 1; }
    void markEnded() { running = 0; }
    int32_t isRunning() const { return running; }

private:
    QV_TCPWAKER& waker;
    std::thread worker;
    std::atomic<int32_t> running{0};
};
