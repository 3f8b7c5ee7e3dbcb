#include "messenger/xmpp/throttle_watch.h"

#include <cstdio>

namespace {

std::string kbText(double bytes)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, bytes < 10240 ? "%.1f" : "%.0f", bytes / 1024);
    return buf;
}

}  // namespace

void ThrottleWatch::reset()
{
    points.clear();
    isThrottled = false;
}

std::string ThrottleWatch::sample(Clock::time_point now, uint64_t taken, uint64_t waiting)
{
    if (!points.empty() && now - points.back().at < std::chrono::seconds(1))
        return std::string();
    if (!points.empty() && taken < points.back().taken)
        points.clear();  // a new connection
    points.push_back({now, taken, waiting});
    while (points.size() > 2 && now - points[1].at >= kPeriod)
        points.pop_front();
    const Point& first = points.front();
    if (now - first.at < kPeriod)
        return std::string();

    bool backlogAll = true;
    for (const Point& p : points)
        backlogAll = backlogAll && p.waiting >= kMinWaiting;
    double seconds = std::chrono::duration<double>(now - first.at).count();
    double rate = static_cast<double>(taken - first.taken) / seconds;
    bool slow = static_cast<double>(waiting) > rate * static_cast<double>(kDrainLimit.count());
    bool nowThrottled = backlogAll && slow;

    std::string line;
    if (nowThrottled && (!isThrottled || now - lastReport >= kRepeat)) {
        line = "the server takes only " + kbText(rate) + " kB/s from this account while "
               + kbText(static_cast<double>(waiting))
               + " kB wait to be sent: it limits this account's rate (Prosody: add the account to "
                 "unlimited_jids or raise limits; ejabberd: give it the c2s shaper none; see docs/messenger.md)";
        lastReport = now;
    } else if (!nowThrottled && isThrottled) {
        line = "the server takes this account's data without delay again (" + kbText(rate) + " kB/s)";
    }
    isThrottled = nowThrottled;
    return line;
}
