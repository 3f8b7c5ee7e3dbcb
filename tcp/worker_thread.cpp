#include "tcp/worker_thread.h"

#include <chrono>
#include <cstdio>
#include <system_error>

namespace {
constexpr int kStartPollMs = 5;
constexpr int kStartPolls = 200;
}  // namespace

QV_WORKERTHREAD::QV_WORKERTHREAD(QV_TCPWAKER& ownerWaker) : waker(ownerWaker) {}

QV_WORKERTHREAD::~QV_WORKERTHREAD() { reap(); }

void QV_WORKERTHREAD::reap()
{
    if (!worker.joinable())
        return;
    waker.requestStop();
    worker.join();
}

void QV_WORKERTHREAD::join()
{
    if (worker.joinable())
        worker.join();
}

bool QV_WORKERTHREAD::launch(std::function<void()> body, const char* createdLine)
{
    reap();
    waker.rearm();
    try {
        worker = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    std::printf("%s\n", createdLine);
    for (int i = 0; i < kStartPolls && running == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartPollMs));
    }
    return true;
}
