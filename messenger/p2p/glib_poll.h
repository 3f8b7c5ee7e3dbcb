// A GLib main context of its own, driven from the daemon's poll() instead
// of a thread or g_main_loop_run: prepare() adds the context's descriptors
// and its timeout to those of a turn of the loop, dispatch() runs what is
// ready after poll returned. libnice's agents, pseudo-TCP clocks and name
// lookups of the direct paths live on it. Every call on the daemon's thread.
#pragma once

#include <poll.h>

#include <cstddef>
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
