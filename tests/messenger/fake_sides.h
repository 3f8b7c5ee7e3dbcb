// Recording fakes of the program side (ClientSink) and the XMPP side
// (XmppLink and StreamTransport) for the core's unit tests.
#pragma once

#include "messenger/core/messenger.h"
#include "messenger/crypto/fingerprint.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct FakeSink : ClientSink {
    void sendAttach(int client, uint32_t code, uint32_t handle) override
    {
        out[client].push_back("A " + std::to_string(code) + (handle ? " h" : " 0"));
    }
    void sendLine(int client, const std::string& line) override { out[client].push_back(line); }
    // Everything sent to `client` since the last take.
    std::vector<std::string> take(int client)
    {
        std::vector<std::string> r;
        r.swap(out[client]);
        return r;
    }
    std::map<int, std::vector<std::string>> out;
};

inline const std::string kNotShown = "<not shown>";

struct FakeLink : XmppLink, StreamTransport {
    void advertise(const std::set<std::string>& apps) override
    {
        std::string s = "advertise";
        for (const auto& a : apps)
            s += " " + a;
        calls.push_back(s);
    }
    void requestSubscription(const std::string& bare) override { calls.push_back("subscribe " + bare); }
    void approveSubscription(const std::string& bare) override { calls.push_back("subscribed " + bare); }
    void openStream(const std::string& full, const std::string& sid, const std::string& app, bool offerCompact) override
    {
        lastSid = sid;
        lastApp = app;
        calls.push_back("open " + full + " " + app + (offerCompact ? " compact" : ""));
    }
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text) override
    {
        unanswered[sid].push_back(seq);
        std::string shown = reveal ? reveal(sid, text) : text;
        if (shown != kNotShown)
            calls.push_back("data " + full + " " + std::to_string(seq) + " " + shown);
    }
    void closeStream(const std::string& full, const std::string&) override { calls.push_back("close " + full); }
    void probe(const std::string& full, const std::string&) override { calls.push_back("probe " + full); }
    void answer(const IqRef& ref, const char* error) override
    {
        calls.push_back("answer " + ref.id + " " + (error ? error : "result"));
    }
    void acceptStream(const IqRef& ref, bool compact) override
    {
        calls.push_back("answer " + ref.id + " result" + (compact ? " compact" : ""));
    }
    std::vector<std::string> take()
    {
        std::vector<std::string> r;
        r.swap(calls);
        return r;
    }
    std::vector<std::string> calls;
    std::map<std::string, std::deque<uint16_t>> unanswered;  // blocks sent, by stream
    std::string lastSid;
    std::string lastApp;
    // What a data block shows in `calls` (e.g. the text a sealed block
    // holds; kNotShown: nothing); null: the block as it is. Called once per
    // block, in order.
    std::function<std::string(const std::string& sid, const std::string& block)> reveal;
};

// Pins in memory, as PinFile keeps them in its file.
struct FakePins : TrustStore {
    bool lookup(const std::string& bare, std::optional<Pin>& pin) override
    {
        pin.reset();
        auto it = pins.find(bare);
        if (it != pins.end())
            pin = it->second;
        return readable;
    }
    TrustVerdict check(const std::string& bare, const noise::Key& key) override
    {
        TrustVerdict v;
        auto it = pins.find(bare);
        if (!readable) {
            v.problem = "the pins file cannot be read";
        } else if (it != pins.end()
                   && (it->second.key ? *it->second.key != key : it->second.fingerprint != fingerprintCompact(key))) {
            v.kind = TrustVerdict::Kind::Changed;
            v.pinned = it->second.fingerprint;
        } else if (it != pins.end() && it->second.key) {
            v.kind = TrustVerdict::Kind::Known;
        } else if (!writable) {
            v.problem = "cannot write the pins file /gone/pins: No such file or directory";
        } else {
            v.kind = it == pins.end() ? TrustVerdict::Kind::FirstUse : TrustVerdict::Kind::Known;
            v.completed = it != pins.end();
            pins[bare] = Pin{fingerprintCompact(key), key};
        }
        return v;
    }
    std::map<std::string, Pin> pins;
    bool readable = true;  // false: as a pins file that cannot be read
    bool writable = true;  // false: as a pins file whose folder is gone
};
