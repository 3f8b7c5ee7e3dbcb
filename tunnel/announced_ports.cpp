#include "tunnel/announced_ports.h"

QV_ANNOUNCEDPORTS::QV_ANNOUNCEDPORTS(Clock c) : clock(std::move(c)) {}

void QV_ANNOUNCEDPORTS::announce(int32_t port)
{
    if (port <= 0 || port > 65535)
        return;
    const auto now = clock();
    // The same port again, else a free slot, else the oldest.
    Entry* slot = nullptr;
    for (Entry& e : entries)
        if (e.port == port && !slot)
            slot = &e;
    for (Entry& e : entries)
        if (e.port == 0 && !slot)
            slot = &e;
    if (!slot) {
        slot = &entries[0];
        for (Entry& e : entries)
            if (e.at < slot->at)
                slot = &e;
    }
    slot->port = port;
    slot->at = now;
}

bool QV_ANNOUNCEDPORTS::claim(int32_t port)
{
    if (port <= 0)
        return false;
    const auto now = clock();
    for (Entry& e : entries) {
        if (e.port != port)
            continue;
        const bool fresh = now - e.at <= kLifetime;
        e = Entry{};
        return fresh;
    }
    return false;
}

void QV_ANNOUNCEDPORTS::forget()
{
    for (Entry& e : entries)
        e = Entry{};
}

int QV_ANNOUNCEDPORTS::count() const
{
    int n = 0;
    for (const Entry& e : entries)
        n += e.port != 0 ? 1 : 0;
    return n;
}
