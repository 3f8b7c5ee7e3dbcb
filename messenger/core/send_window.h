// How much of a stream may be in flight: sent to the contact and not yet
// acknowledged. The limit follows what the path carries, so that little
// waits in queues that nothing can recall (the daemon's socket, a server
// that throttles the account): a program that gives a transfer up must
// otherwise wait until everything already sent has crossed.
//
// The limit in bytes is the measured delivery rate times twice the
// shortest round trip seen, plus kMargin of delivery: on a path that keeps
// up with the program it is never reached, and on a slow one it keeps
// about kMargin of data queued. At least kMinTexts texts may always be in
// flight (a text may take up to 64 KB), never more than `maxTexts`.
//
// The delivery rate of a text is its bytes over the time since the
// acknowledgement before it; the first text after a pause gives none. So a
// path that keeps up shows the program's pace within one round trip, and a
// server that lets a burst through before it throttles (a text or so)
// shows its rate from the next text on. The estimate is the largest rate
// seen; it comes down only through texts sent while the limit held the
// stream back (a stream whose program writes little says nothing about the
// path): to the largest of those in the last kRateHold.
//
// The shortest round trip holds as long as round trips near it keep
// coming; after kHold without one (a longer path, or a queue that never
// drains) one text at a time goes out until the round trip of a text alone
// in flight takes its place.
//
// Pure: the stream reports its sends and acknowledgements with the time.
// Acknowledgements come in the order of the sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>

class SendWindow {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kMinTexts = 2;
    static constexpr size_t kMinBytes = 16u << 10;
    static constexpr std::chrono::milliseconds kMargin{250};
    static constexpr std::chrono::seconds kHold{10};
    static constexpr std::chrono::seconds kRateHold{1};
    static constexpr std::chrono::milliseconds kMinSpacing{1};

    // `maxTexts`: texts in flight at the most (at least 1).
    explicit SendWindow(size_t maxTexts);

    // No more may be sent before an acknowledgement comes.
    bool full() const;
    void sent(size_t bytes, Clock::time_point now);
    // The oldest text in flight was acknowledged.
    void acked(Clock::time_point now);

    bool empty() const { return texts.empty(); }
    size_t inFlightBytes() const { return bytesInFlight; }

private:
    // The limit in bytes (texts beyond kMinTexts).
    size_t limitBytes() const;

    struct Text {
        size_t bytes;
        Clock::time_point sentAt;
        bool alone;     // nothing else was in flight
        bool heldBack;  // it filled the window
    };
    void sampleRoundTrip(Clock::duration rtt, bool alone, Clock::time_point now);
    void sampleRate(double bytesPerSecond, bool heldBack, Clock::time_point now);

    const size_t maxTexts;
    std::deque<Text> texts;
    size_t bytesInFlight = 0;
    Clock::time_point lastAcked{};

    Clock::duration minRtt{};  // zero: none yet
    Clock::time_point minRttConfirmed{};
    bool draining = false;  // one text at a time until a lone round trip is seen

    double rate = 0;      // bytes per second
    double nextRate = 0;  // the largest held-back rate since rateSince
    Clock::time_point rateSince{};
};
