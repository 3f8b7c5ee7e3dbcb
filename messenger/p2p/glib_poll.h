// A GLib main context of its own, driven from the daemon's poll() instead
// of a thread or g_main_loop_run: prepare() adds the context's descriptors
// and its timeout to those of a turn of the loop, dispatch() runs what is
// ready after poll returned. libnice's agents, pseudo-TCP clocks and name
// lookups of the direct paths live on it. Every call on the daemon's thread.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <vector>

#include <glib.h>

class GlibPoll {
public:
    GlibPoll();
    ~GlibPoll();
    GlibPoll(const GlibPoll&) = delete;
    GlibPoll& operator=(const GlibPoll&) = delete;

    GMainContext* context() const { return ctx; }

    // Appends the context's descriptors to `fds` and lowers `timeoutMs`
    // (-1: none yet) to when its next source is due; 0 when one is ready.
    void prepare(std::vector<pollfd>& fds, int& timeoutMs);
    // After poll(): dispatches the sources that are ready. `fds` holds the
    // descriptors prepare() appended at the positions it put them.
    void dispatch(const std::vector<pollfd>& fds);

private:
    GMainContext* ctx;
    bool prepared = false;
    int maxPriority = 0;
    size_t first = 0;  // where prepare() put the context's descriptors
    std::vector<GPollFD> polled;
};

// A function run once from a later turn of a context, for what must not
// happen inside the call that asks for it (reporting an event, freeing the
// object whose callback is running). Destroying or cancelling it first
// means the function never runs.
class IdleCall {
public:
    IdleCall() = default;
    ~IdleCall() { cancel(); }
    IdleCall(const IdleCall&) = delete;
    IdleCall& operator=(const IdleCall&) = delete;

    // Runs `fn` from the next turn of `ctx`; nothing when one waits already.
    void schedule(GMainContext* ctx, std::function<void()> fn);
    bool pending() const { return source != nullptr; }
    void cancel();

private:
    GSource* source = nullptr;
    std::function<void()> call;
};
