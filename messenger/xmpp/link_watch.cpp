#include "messenger/xmpp/link_watch.h"

void LinkWatch::start(Clock::time_point now, const Counters& counters)
{
    lastLife = now;
    pingOut = false;
    gaveUp = false;
    last = counters;
}

LinkWatch::Action LinkWatch::sample(Clock::time_point now, const Counters& c)
{
    bool heard = c.received != last.received;
    bool taken = c.acked != last.acked && last.unsent > 0;
    last = c;
    if (gaveUp)
        return Action::None;
    if (heard || taken) {
        lastLife = now;
        pingOut = false;
        return Action::None;
    }
    if (pingOut) {
        gaveUp = now - pingSent >= kAnswer;
        return gaveUp ? Action::Dead : Action::None;
    }
    if (now - lastLife >= kQuiet) {
        pingOut = true;
        pingSent = now;
        return Action::Ping;
    }
    return Action::None;
}
