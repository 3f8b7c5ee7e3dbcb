#include "messenger/p2p/glib_poll.h"

#include <cstddef>

// The descriptors are copied field by field; what that relies on is that
// GLib's event bits are poll()'s, as they are on Linux.
static_assert(G_IO_IN == POLLIN && G_IO_OUT == POLLOUT && G_IO_PRI == POLLPRI && G_IO_ERR == POLLERR
              && G_IO_HUP == POLLHUP && G_IO_NVAL == POLLNVAL);
static_assert(sizeof(GPollFD) == sizeof(pollfd) && offsetof(GPollFD, fd) == offsetof(pollfd, fd)
              && offsetof(GPollFD, events) == offsetof(pollfd, events)
              && offsetof(GPollFD, revents) == offsetof(pollfd, revents));

GlibPoll::GlibPoll() : ctx(g_main_context_new()) {}

GlibPoll::~GlibPoll()
{
    if (prepared)
        g_main_context_release(ctx);
    g_main_context_unref(ctx);
}

void GlibPoll::prepare(std::vector<pollfd>& fds, int& timeoutMs)
{
    if (prepared)  // a turn whose dispatch never came
        g_main_context_release(ctx);
    // Only this thread ever runs the context, so it is always free to take.
    prepared = g_main_context_acquire(ctx);
    first = fds.size();
    polled.clear();
    if (!prepared)
        return;
    bool ready = g_main_context_prepare(ctx, &maxPriority);
    int timeout = -1;
    polled.resize(8);
    for (;;) {
        int n = g_main_context_query(ctx, maxPriority, &timeout, polled.data(), static_cast<int>(polled.size()));
        if (static_cast<size_t>(n) <= polled.size()) {
            polled.resize(static_cast<size_t>(n));
            break;
        }
        polled.resize(static_cast<size_t>(n));
    }
    for (const GPollFD& p : polled)
        fds.push_back({p.fd, static_cast<short>(p.events), 0});
    if (ready)
        timeout = 0;
    if (timeout >= 0 && (timeoutMs < 0 || timeout < timeoutMs))
        timeoutMs = timeout;
}

void GlibPoll::dispatch(const std::vector<pollfd>& fds)
{
    if (!prepared)
        return;
    for (size_t i = 0; i < polled.size(); ++i)
        polled[i].revents = first + i < fds.size() ? static_cast<gushort>(fds[first + i].revents) : 0;
    if (g_main_context_check(ctx, maxPriority, polled.data(), static_cast<int>(polled.size())))
        g_main_context_dispatch(ctx);
    prepared = false;
    g_main_context_release(ctx);
}

void IdleCall::schedule(GMainContext* ctx, std::function<void()> fn)
{
    if (source)
        return;
    call = std::move(fn);
    source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<IdleCall*>(data);
            g_source_unref(self->source);
            self->source = nullptr;
            // The function may end this object: nothing of it is used after.
            std::function<void()> run = std::move(self->call);
            run();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(source, ctx);
}

void IdleCall::cancel()
{
    if (!source)
        return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}
