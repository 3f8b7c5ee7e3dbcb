// The direct paths to contacts' daemons: when one is tried, how it is
// negotiated (Jingle over PathSignaling) and found (ICE through
// DirectLinks), what travels on it (path_frames.h) and when it is given up.
//
// A path is tried with a contact's resource kSettle after a stream with it
// opened, when the resource offers direct paths: the first exchanges of a
// new stream (a program's first request follows its connect at once) do
// not share a server's rate limit with the path's signalling. Of the two
// daemons the one whose account sorts first asks, so that two offers never
// cross. Its candidates go in as few messages as gathering allows: the
// first message waits for gathering to end, kGatherWait at the most. The path
// serves every stream with that resource; Streams moves them onto it when
// it is up and back in band when it fails (PathUsers). A path that fails is
// tried again later, after kFirstRetry and then twice as long each time up
// to kLastRetry; one that no stream needs any more is ended.
//
// Only mutual contacts that offer direct paths get an answer to an offer,
// at most kMaxIceCandidates of their candidates are used per path, and a
// path whose peer sends what is not a frame is ended. Nothing on a path is
// trusted: every block is sealed end to end like one in band.
#pragma once

#include "messenger/core/contacts.h"
#include "messenger/core/direct_path.h"
#include "messenger/core/path_frames.h"
#include "messenger/support/log.h"

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

// How direct paths are used; the configuration file sets these.
struct PathSettings {
    // Direct paths at all (false: every stream stays in band).
    bool enabled = false;
    // STUN and TURN servers of the configuration; they take the place of
    // those the account's server offers when `replaceServers`, else are
    // added to them.
    std::vector<IceServer> servers;
    bool replaceServers = false;
};

// What becomes of the streams when a path changes; implemented by Streams.
class PathUsers {
public:
    // Blocks may go on the path to `full` now; `how` names it for the log.
    virtual void pathUp(const std::string& full, const std::string& how) = 0;
    // The path to `full` is gone (`why`): its streams go back in band.
    virtual void pathDown(const std::string& full, const std::string& why) = 0;
    virtual void directBlock(const std::string& full, const std::string& sid, uint16_t seq,
                             const std::string& data) = 0;
    virtual void directAck(const std::string& full, const std::string& sid, uint16_t seq) = 0;
    virtual void directClose(const std::string& full, const std::string& sid) = 0;
    // Whether an open stream with `full` remains.
    virtual bool usesPath(const std::string& full) const = 0;

protected:
    ~PathUsers() = default;
};

class DirectPaths final : public PathSignalEvents, public DirectLinkEvents {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds kSettle{2};
    static constexpr std::chrono::seconds kGatherWait{1};
    // A path not up within this time is given up.
    static constexpr std::chrono::seconds kConnectLimit{30};
    // After this long without a byte from the peer the path is asked
    // whether it is alive, and given up without an answer within kAnswer.
    static constexpr std::chrono::seconds kQuiet{2};
    static constexpr std::chrono::seconds kAnswer{5};
    static constexpr std::chrono::seconds kFirstRetry{10};
    static constexpr std::chrono::seconds kLastRetry{300};
    // A path that no stream has used for this long is ended.
    static constexpr std::chrono::seconds kIdle{10};

    // `ownBare`: the account's bare JID; `contacts`: who may have a path.
    DirectPaths(PathSignaling& signaling, DirectLinks& links, Log& log, const Contacts& contacts, std::string ownBare,
                PathSettings settings);
    DirectPaths(const DirectPaths&) = delete;
    DirectPaths& operator=(const DirectPaths&) = delete;

    void setUsers(PathUsers* u) { users = u; }

    // A stream with `full` is open: a path is tried if there is none.
    void wanted(const std::string& full);
    bool up(const std::string& full) const;
    // How the path to `full` goes, for the log (up only; else empty).
    std::string route(const std::string& full) const;
    // What goes on the path to `full` (up only).
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data);
    void sendAck(const std::string& full, const std::string& sid, uint16_t seq);
    void sendClose(const std::string& full, const std::string& sid);

    void tick(Clock::time_point now);
    // The server connection is gone: every path ends without a word.
    void serverLost();

    void pathSignal(const std::string& full, const PathSignal& signal, const IqRef& ref) override;
    void pathSignalResult(const std::string& full, const std::string& sid, bool ok) override;
    void serverServices(const std::vector<IceServer>& services) override { offered = services; }
    void localIce(const std::string& key, const IceParameters& local, bool done) override;
    void linkUp(const std::string& key, const LinkRoute& route) override;
    void linkData(const std::string& key, const std::string& bytes) override;
    void linkDown(const std::string& key, const std::string& why) override;

private:
    struct Path {
        std::string sid;
        bool initiator = false;
        bool sentIce = false;    // the offer or the answer went out
        IceParameters gathered;  // this side's, not yet sent
        size_t sentCandidates = 0;
        bool isUp = false;
        std::string how;  // the route, once up
        size_t remoteCandidates = 0;
        FrameReader reader;
        Clock::time_point started{};
        Clock::time_point heard{};  // the last bytes of the peer
        bool pinging = false;
        Clock::time_point pingSent{};
        Clock::time_point unusedSince{};  // no stream used it since
        bool unused = false;
    };

    // Starts a path to `full`, this side asking (`initiator`) or answering.
    Path& start(const std::string& full, const std::string& sid, bool initiator);
    // Ends the path: tells the peer with `reason` unless empty, the streams
    // and the log with `why`; a failed one is tried again later.
    void end(const std::string& full, const std::string& why, const char* reason, bool failed);
    void addRemote(const std::string& full, Path& p, IceParameters ice);
    void send(const std::string& full, const PathFrame& frame);
    std::vector<IceServer> servers() const;
    bool asks(const std::string& full) const;  // this side offers paths to `full`

    PathSignaling& signaling;
    DirectLinks& links;
    Log& log;
    const Contacts& contacts;
    const std::string own;
    const PathSettings settings;
    std::vector<IceServer> offered;
    PathUsers* users = nullptr;
    Clock::time_point now{};
    std::map<std::string, Path> paths;  // by the peer's full JID
    struct Retry {
        Clock::time_point at;
        std::chrono::seconds delay;
    };
    std::map<std::string, Retry> retries;
    std::set<std::string> told;                        // resources whose lack of a path was logged
    std::map<std::string, Clock::time_point> pending;  // resources to ask once kSettle has passed
    // Sends what `p` gathered so far: the offer or the answer first.
    void sendGathered(const std::string& full, Path& p);
    uint64_t sidCounter = 0;
};
