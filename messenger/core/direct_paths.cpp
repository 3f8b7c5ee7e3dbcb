#include "messenger/core/direct_paths.h"

#include "messenger/core/command.h"
#include "messenger/support/jid.h"

#include <algorithm>
#include <random>

namespace {

std::string resourceOf(const std::string& full)
{
    size_t slash = full.find('/');
    return slash == std::string::npos ? std::string() : full.substr(slash + 1);
}

// "host 192.168.1.2:5000, srflx 203.0.113.7:5000", for the log.
std::string candidatesText(const std::vector<IceCandidate>& candidates)
{
    std::string text;
    for (const IceCandidate& c : candidates) {
        const std::string ip = c.ip.find(':') == std::string::npos ? c.ip : "[" + c.ip + "]";
        text += (text.empty() ? "" : ", ") + std::string(iceTypeName(c.type)) + " " + ip + ":" + std::to_string(c.port);
    }
    return text;
}

std::string describe(const LinkRoute& r)
{
    if (r.relayed)
        return "relayed via TURN " + r.turnServer;
    return "direct (" + r.local + " to " + r.remote + ")";
}

}  // namespace

DirectPaths::DirectPaths(PathSignaling& sig, DirectLinks& l, Log& lg, const Contacts& c, std::string ownBare,
                         PathSettings s)
    : signaling(sig), links(l), log(lg), contacts(c), own(std::move(ownBare)), settings(std::move(s))
{
}

std::vector<IceServer> DirectPaths::servers() const
{
    std::vector<IceServer> all = settings.servers;
    if (!settings.replaceServers)
        all.insert(all.end(), offered.begin(), offered.end());
    return all;
}

bool DirectPaths::asks(const std::string& full) const { return own < bareOf(full); }

bool DirectPaths::up(const std::string& full) const
{
    auto it = paths.find(full);
    return it != paths.end() && it->second.isUp;
}

std::string DirectPaths::route(const std::string& full) const
{
    auto it = paths.find(full);
    return it != paths.end() && it->second.isUp ? it->second.how : std::string();
}

void DirectPaths::wanted(const std::string& full)
{
    if (paths.count(full)) {
        paths[full].unused = false;
        return;
    }
    std::string why;
    if (!settings.enabled)
        why = "direct paths are off in the configuration";
    else if (!contacts.offersDirect(bareOf(full), resourceOf(full)))
        why = peerText(full) + " does not offer direct paths";
    if (!why.empty()) {
        if (told.insert(full).second)
            log.write("no direct path to " + peerText(full) + ": " + why + "; its streams go in band via the server");
        return;
    }
    if (!asks(full))
        return;  // the contact's daemon asks
    if (auto r = retries.find(full); r != retries.end() && now < r->second.at)
        return;
    pending.try_emplace(full, now + kSettle);
}

DirectPaths::Path& DirectPaths::start(const std::string& full, const std::string& sid, bool initiator)
{
    Path& p = paths[full];
    p = Path{};
    p.sid = sid;
    p.initiator = initiator;
    p.started = now;
    log.write(std::string(initiator ? "looking for a direct path to " : "answering the direct path offer of ")
              + peerText(full) + " (session " + peerText(sid) + ")");
    links.start(full, initiator, servers());
    return p;
}

void DirectPaths::end(const std::string& full, const std::string& why, const char* reason, bool failed)
{
    auto it = paths.find(full);
    if (it == paths.end())
        return;
    const bool wasUp = it->second.isUp;
    const std::string sid = it->second.sid;
    paths.erase(it);
    links.stop(full);
    if (reason)
        signaling.signal(full, PathSignal{PathSignal::Action::Terminate, sid, {}, reason});
    if (failed) {
        auto [r, fresh] = retries.try_emplace(full, Retry{now, kFirstRetry});
        if (!fresh)
            r->second.delay = std::min(kLastRetry, r->second.delay * 2);
        r->second.at = now + r->second.delay;
        log.write((wasUp ? "the direct path to " + peerText(full) + " failed: "
                         : "no direct path to " + peerText(full) + ": ")
                  + why + "; trying again in " + std::to_string(r->second.delay.count()) + " s");
    } else {
        log.write("the direct path to " + peerText(full) + " ended: " + why);
    }
    if (wasUp && users)
        users->pathDown(full, why);
}

void DirectPaths::addRemote(const std::string& full, Path& p, IceParameters ice)
{
    const size_t room = kMaxIceCandidates - std::min(kMaxIceCandidates, p.remoteCandidates);
    if (ice.candidates.size() > room) {
        log.write("left out " + std::to_string(ice.candidates.size() - room) + " candidates of " + peerText(full)
                  + ": more than " + std::to_string(kMaxIceCandidates) + " in one session");
        ice.candidates.resize(room);
    }
    p.remoteCandidates += ice.candidates.size();
    if (!ice.candidates.empty())
        log.write("candidates of " + peerText(full) + ": " + peerText(candidatesText(ice.candidates)));
    links.addRemote(full, ice);
}

void DirectPaths::pathSignal(const std::string& full, const PathSignal& sig, const IqRef& ref)
{
    const std::string bare = bareOf(full);
    auto it = paths.find(full);
    const bool ours = it != paths.end() && it->second.sid == sig.sid;
    switch (sig.action) {
        case PathSignal::Action::Initiate: {
            std::string why;
            if (!settings.enabled)
                why = "direct paths are off in the configuration";
            else if (!contacts.isMutual(bare))
                why = "not a contact";
            else if (!contacts.offersDirect(bare, resourceOf(full)))
                why = "it does not announce direct paths";
            else if (asks(full))
                why = "this side makes the offers to it";
            if (!why.empty()) {
                log.write("refused a direct path offer of " + peerText(full) + ": " + why);
                signaling.answerSignal(ref, "not-acceptable");
                return;
            }
            signaling.answerSignal(ref, nullptr);
            // A new offer takes the place of the one before (its daemon
            // started over).
            if (it != paths.end())
                end(full, "the contact offered a new one", nullptr, false);
            Path& p = start(full, sig.sid, false);
            addRemote(full, p, sig.ice);
            return;
        }
        case PathSignal::Action::Accept:
        case PathSignal::Action::Candidates:
            if (!ours || (sig.action == PathSignal::Action::Accept && !it->second.initiator)) {
                signaling.answerSignal(ref, "item-not-found");
                return;
            }
            signaling.answerSignal(ref, nullptr);
            addRemote(full, it->second, sig.ice);
            return;
        case PathSignal::Action::Terminate:
            signaling.answerSignal(ref, ours ? nullptr : "item-not-found");
            if (ours)
                end(full, "ended by " + peerText(full) + " (" + peerText(sig.reason) + ")", nullptr,
                    sig.reason != "success");
            return;
    }
}

void DirectPaths::pathSignalResult(const std::string& full, const std::string& sid, bool ok)
{
    auto it = paths.find(full);
    if (!ok && it != paths.end() && it->second.sid == sid)
        end(full, peerText(full) + " refused it", nullptr, true);
}

void DirectPaths::localIce(const std::string& key, const IceParameters& local, bool done)
{
    auto it = paths.find(key);
    if (it == paths.end())
        return;
    Path& p = it->second;
    p.gathered.ufrag = local.ufrag;
    p.gathered.pwd = local.pwd;
    p.gathered.candidates.insert(p.gathered.candidates.end(), local.candidates.begin(), local.candidates.end());
    // Once the first message is out, each new candidate follows at once.
    if (done || p.sentIce)
        sendGathered(key, p);
}

void DirectPaths::sendGathered(const std::string& full, Path& p)
{
    PathSignal sig{PathSignal::Action::Candidates, p.sid, std::move(p.gathered), {}};
    p.gathered = IceParameters{sig.ice.ufrag, sig.ice.pwd, {}};
    // The contact takes kMaxIceCandidates of a path's candidates: a PC with
    // many interfaces (container bridges, VPNs) must not crowd out the
    // reflexive and relayed ones, which are what works through routers.
    std::vector<IceCandidate>& c = sig.ice.candidates;
    std::stable_partition(c.begin(), c.end(), [](const IceCandidate& x) { return x.type != IceCandidate::Type::Host; });
    const size_t room = kMaxIceCandidates - std::min(kMaxIceCandidates, p.sentCandidates);
    if (c.size() > room) {
        log.write("left out " + std::to_string(c.size() - room) + " of this side's candidates for " + peerText(full)
                  + ": a path takes " + std::to_string(kMaxIceCandidates) + ", host candidates are left out first");
        c.resize(room);
    }
    p.sentCandidates += c.size();
    if (!p.sentIce) {
        sig.action = p.initiator ? PathSignal::Action::Initiate : PathSignal::Action::Accept;
        p.sentIce = true;
    } else if (sig.ice.candidates.empty()) {
        return;
    }
    if (!sig.ice.candidates.empty())
        log.write("candidates for " + peerText(full) + ": " + candidatesText(sig.ice.candidates));
    signaling.signal(full, sig);
}

void DirectPaths::linkUp(const std::string& key, const LinkRoute& route)
{
    auto it = paths.find(key);
    if (it == paths.end() || it->second.isUp)
        return;
    it->second.isUp = true;
    it->second.heard = now;
    it->second.how = describe(route);
    retries.erase(key);
    const std::string how = it->second.how;
    log.write("found a path to " + peerText(key) + ": " + how);
    if (users)
        users->pathUp(key, how);
}

void DirectPaths::linkData(const std::string& key, const std::string& bytes)
{
    auto it = paths.find(key);
    if (it == paths.end() || !it->second.isUp)
        return;
    Path& p = it->second;
    p.heard = now;
    p.pinging = false;
    p.reader.add(bytes);
    PathFrame f;
    for (;;) {
        switch (p.reader.next(f)) {
            case FrameReader::Result::NeedMore:
                return;
            case FrameReader::Result::Bad:
                end(key, "its daemon sent what is not a frame", "failed-application", true);
                return;
            case FrameReader::Result::Frame:
                break;
        }
        switch (f.kind) {
            case PathFrame::Kind::Ping:
                send(key, PathFrame{PathFrame::Kind::Pong, {}, 0, {}});
                break;
            case PathFrame::Kind::Pong:
                break;
            case PathFrame::Kind::Block:
                if (users)
                    users->directBlock(key, f.sid, f.seq, f.data);
                break;
            case PathFrame::Kind::Ack:
                if (users)
                    users->directAck(key, f.sid, f.seq);
                break;
            case PathFrame::Kind::Close:
                if (users)
                    users->directClose(key, f.sid);
                break;
        }
        // What the streams did may have ended the path.
        if (!paths.count(key))
            return;
    }
}

void DirectPaths::linkDown(const std::string& key, const std::string& why)
{
    if (paths.count(key))
        end(key, why, "failed-transport", true);
}

void DirectPaths::send(const std::string& full, const PathFrame& frame)
{
    std::string bytes;
    if (up(full) && encodeFrame(frame, bytes))
        links.send(full, bytes);
}

void DirectPaths::sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data)
{
    send(full, PathFrame{PathFrame::Kind::Block, sid, seq, data});
}

void DirectPaths::sendAck(const std::string& full, const std::string& sid, uint16_t seq)
{
    send(full, PathFrame{PathFrame::Kind::Ack, sid, seq, {}});
}

void DirectPaths::sendClose(const std::string& full, const std::string& sid)
{
    send(full, PathFrame{PathFrame::Kind::Close, sid, 0, {}});
}

void DirectPaths::tick(Clock::time_point t)
{
    now = t;
    std::vector<std::pair<std::string, std::string>> failed;
    std::vector<std::string> idle;
    for (auto& [full, p] : paths) {
        if (users && !users->usesPath(full)) {
            if (!p.unused) {
                p.unused = true;
                p.unusedSince = now;
            } else if (now - p.unusedSince >= kIdle) {
                idle.push_back(full);
                continue;
            }
        } else {
            p.unused = false;
        }
        if (!p.sentIce && !p.gathered.ufrag.empty() && now - p.started >= kGatherWait)
            sendGathered(full, p);
        if (!p.isUp) {
            if (now - p.started >= kConnectLimit)
                failed.emplace_back(full, "none found within " + std::to_string(kConnectLimit.count()) + " s");
        } else if (p.pinging) {
            if (now - p.pingSent >= kAnswer)
                failed.emplace_back(full, "no answer on it within " + std::to_string(kAnswer.count()) + " s");
        } else if (now - p.heard >= kQuiet) {
            p.pinging = true;
            p.pingSent = now;
            send(full, PathFrame{PathFrame::Kind::Ping, {}, 0, {}});
        }
    }
    for (const auto& [full, why] : failed)
        end(full, why, "failed-transport", true);
    for (const std::string& full : idle)
        end(full, "no stream uses it", "success", false);
    // Paths that failed are tried again while streams still want them.
    std::vector<std::string> due;
    for (const auto& [full, r] : retries)
        if (now >= r.at && !paths.count(full) && users && users->usesPath(full))
            due.push_back(full);
    for (const std::string& full : due)
        wanted(full);
    // Offers whose streams have settled, while they are still wanted.
    static std::random_device rd;
    for (auto it = pending.begin(); it != pending.end();) {
        if (now < it->second) {
            ++it;
            continue;
        }
        const std::string full = it->first;
        it = pending.erase(it);
        if (!paths.count(full) && users && users->usesPath(full))
            start(full, "p" + std::to_string(rd() % 1000000000u) + "-" + std::to_string(++sidCounter), true);
    }
}

void DirectPaths::serverLost()
{
    for (const auto& [full, p] : paths)
        links.stop(full);
    paths.clear();
    retries.clear();
    told.clear();
    pending.clear();
}
