#include "messenger/core/send_window.h"

#include <algorithm>

SendWindow::SendWindow(size_t maxTexts_) : maxTexts(std::max<size_t>(1, maxTexts_)) {}

size_t SendWindow::limitBytes() const
{
    double seconds = std::chrono::duration<double>(2 * minRtt + kMargin).count();
    return std::max(kMinBytes, static_cast<size_t>(rate * seconds));
}

bool SendWindow::full() const
{
    if (texts.size() >= maxTexts)
        return true;
    if (draining)
        return !texts.empty();
    return texts.size() >= kMinTexts && bytesInFlight >= limitBytes();
}

void SendWindow::sent(size_t bytes, Clock::time_point now)
{
    bool alone = texts.empty();
    texts.push_back(Text{bytes, now, alone, false});
    bytesInFlight += bytes;
    texts.back().heldBack = full();
}

void SendWindow::acked(Clock::time_point now)
{
    if (texts.empty())
        return;
    Text t = texts.front();
    texts.pop_front();
    bytesInFlight -= t.bytes;
    sampleRoundTrip(now - t.sentAt, t.alone, now);
    Clock::duration took = std::max(now - lastAcked, Clock::duration(kMinSpacing));
    lastAcked = now;
    if (!t.alone)
        sampleRate(static_cast<double>(t.bytes) / std::chrono::duration<double>(took).count(), t.heldBack, now);
}

void SendWindow::sampleRoundTrip(Clock::duration rtt, bool alone, Clock::time_point now)
{
    if (minRtt == Clock::duration::zero() || rtt < minRtt || (draining && alone)) {
        minRtt = rtt;
        minRttConfirmed = now;
        draining = false;
        return;
    }
    if (rtt <= minRtt + minRtt / 4 + std::chrono::milliseconds(5))
        minRttConfirmed = now;
    else if (now - minRttConfirmed >= kHold)
        draining = true;
}

void SendWindow::sampleRate(double bytesPerSecond, bool heldBack, Clock::time_point now)
{
    if (bytesPerSecond > rate) {
        rate = bytesPerSecond;
        rateSince = now;
        nextRate = 0;
        return;
    }
    if (!heldBack)
        return;
    nextRate = std::max(nextRate, bytesPerSecond);
    if (now - rateSince >= kRateHold) {
        rate = nextRate;
        nextRate = 0;
        rateSince = now;
    }
}
