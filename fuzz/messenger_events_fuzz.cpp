// The messenger daemon's core (messenger/messenger.h) driven by a script of
// XMPP events and program commands, with the recording fakes of the core's
// unit tests for both sides.
//
// Input: byte 0 chooses the stream settings; the rest is one event a line,
// "<letter> <words...>":
//   d C / x C          a program attaches / its connection closes
//   c C <line>         command line of program C (up to a zero byte)
//   t MS               MS milliseconds pass
//   + / -              the server connection comes up / goes down
//   r J SUB / R J      roster item / removed;  s J  subscription request
//   p F AVAIL SHOW APPS...           presence of full JID F
//   o F SID APP COMPACT [IK]         stream request; the contact's daemon at F
//                                    makes its side of the handshake ready
//                                    first (IK: 0 XX, 1 IK with this account's
//                                    key, 2 IK with a key it does not have)
//   O F SID OK COMPACT               answer to our stream request
//   b F SID SEQ <bytes>              data block (the rest of the line)
//   B F SID OK / P F SID OK          block answer / probe answer
//   C F SID / X F SID                close request / undecodable block
//   k F SID                          the contact's daemon at F answers the
//                                    core's handshake blocks of SID (result)
//                                    and hands it its own waiting ones, in order
//   e F SID <bytes>                  a block from the contact's daemon at F: the
//                                    bytes (the rest of the line, the compact
//                                    form's tag included when the stream is
//                                    compact) sealed with its keys, next seq
//   E F SID                          its sealed end, next seq
// C, J, F pick from small tables; SID "#k" is the k-th sid the core opened.
// Every incoming iq gets an id of its own. The contacts' daemons have fixed
// keys, one per full JID (bob's two resources two different ones, so the
// second meets a pinned key that is not its own); the stream opened by
// CONNECT is accepted by the daemon at its full JID, which takes up the
// compact form when offered. Their ephemeral keys are random, so a
// handshake's bytes differ from run to run, its outcome does not.
//
// Checked: every iq is answered at most once; every line to a program is
// one a command frame can carry (no zero byte); no block is longer than a
// sealed WRITE text; every text a program READs is one the contact's daemon
// sealed (unpacked when the stream is compact); every block the core sends
// once the contact's side of the handshake is done opens with its keys
// (and unpacks when compact), or is its sealed end, after which it sends
// nothing more.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "messenger/core/command.h"
#include "messenger/core/compact_text.h"
#include "messenger/core/messenger.h"
#include "messenger/crypto/stream_seal.h"
#include "tests/messenger/fake_sides.h"

namespace {

const char* const kBare[] = {"bob@h.test", "carol@h.test", "alice@h.test", "eve@x.test"};
const char* const kFull[] = {"bob@h.test/pc", "bob@h.test/laptop", "carol@h.test/pc", "eve@x.test/pc",
                             "alice@h.test/other"};

const std::string kOwn = "alice@h.test";

const noise::KeyPair& ownKeys()
{
    static const noise::KeyPair keys = noise::KeyPair::fromSecret(noise::Key{1, 2, 3});
    return keys;
}

// The key pair of the contact's daemon at kFull[i].
const noise::KeyPair& peerKeys(const std::string& full)
{
    static const std::vector<noise::KeyPair> keys = [] {
        std::vector<noise::KeyPair> k;
        for (uint8_t i = 0; i < sizeof kFull / sizeof kFull[0]; ++i)
            k.push_back(noise::KeyPair::fromSecret(noise::Key{0x50, i}));
        return k;
    }();
    for (size_t i = 0; i < keys.size(); ++i)
        if (full == kFull[i])
            return keys[i];
    return keys[0];
}

std::string bareOf(const std::string& full) { return full.substr(0, full.find('/')); }

// The contacts' daemons, as far as the seal of their streams goes. What the
// core sends is read at once; what they send back waits for a `k` event, so
// nothing calls the core from inside one of its own calls.
struct Peers {
    struct Stream {
        std::unique_ptr<StreamSeal> seal;
        std::deque<std::string> pending;  // handshake blocks not yet handed to the core
        uint16_t nextSeq = 0;
        int unanswered = 0;    // the core's handshake blocks, not yet answered
        bool offered = false;  // the opener offered the compact form
        bool compact = false;  // known once established
        bool ended = false;    // the core sent its sealed end
    };
    using Key = std::pair<std::string, std::string>;  // full JID, sid

    // The core opened a stream to `full`: its daemon accepts it.
    void coreOpened(const std::string& full, const std::string& sid, const std::string& app, bool offer)
    {
        Stream& p = streams[{full, sid}];
        p = Stream();
        p.seal = StreamSeal::acceptor(peerKeys(full), StreamSeal::prologue(kOwn, bareOf(full), sid, app, offer),
                                      offer ? 1 : 0);
        p.offered = offer;
        p.compact = offer;
    }

    // A block the core sent: the handshake goes on, or a text is opened.
    void fromCore(const std::string& full, const std::string& sid, const std::string& block)
    {
        auto it = streams.find({full, sid});
        if (it == streams.end() || !it->second.seal)
            return;
        Stream& p = it->second;
        if (p.seal->step() == StreamSeal::Step::Established) {
            // Nothing after the core's sealed end.
            FUZZ_CHECK(!p.ended);
            std::string inner;
            if (p.seal->openEnd(block)) {
                p.ended = true;
                return;
            }
            FUZZ_CHECK(p.seal->open(block, inner));
            std::string text;
            FUZZ_CHECK(!p.compact || unpackText(inner, text));
            ++opened;
            return;
        }
        ++p.unanswered;
        if (p.seal->receive(block) == StreamSeal::Step::Verify)
            p.seal->accept();
        for (std::string& b : p.seal->takeBlocks())
            p.pending.push_back(std::move(b));
        if (p.seal->step() == StreamSeal::Step::Established && p.seal->peerSettings() & 1 && p.offered)
            p.compact = true;
    }

    std::map<Key, Stream> streams;
    // Every text the contacts' daemons sealed, as a program must read it:
    // the sender's bare JID and the text.
    std::set<std::pair<std::string, std::string>> texts;
    size_t opened = 0;  // texts of the core opened by a contact's daemon
};

// "ALTER APPLICATION <app> READ <jid>:<id> <text>": the sender and the text.
bool readLine(const std::string& line, std::string& bare, std::string& text)
{
    static const std::string head = "ALTER APPLICATION ";
    if (line.compare(0, head.size(), head) != 0)
        return false;
    const size_t app = line.find(' ', head.size());
    if (app == std::string::npos || line.compare(app, 6, " READ ") != 0)
        return false;
    const size_t refEnd = line.find(' ', app + 6);
    if (refEnd == std::string::npos)
        return false;
    const std::string ref = line.substr(app + 6, refEnd - app - 6);
    bare = ref.substr(0, ref.rfind(':'));
    text = line.substr(refEnd + 1);
    return true;
}

struct CheckingSink : FakeSink {
    explicit CheckingSink(const Peers& p) : peers(p) {}
    void sendLine(int client, const std::string& line) override
    {
        FUZZ_CHECK(line.find('\0') == std::string::npos);
        std::string bare;
        std::string text;
        if (readLine(line, bare, text)) {
            FUZZ_CHECK(peers.texts.count({bare, text}) == 1);
            ++reads;
        }
        out[client].clear();
        FakeSink::sendLine(client, line);
    }
    void sendAttach(int client, uint32_t code, uint32_t handle) override
    {
        out[client].clear();
        FakeSink::sendAttach(client, code, handle);
    }
    const Peers& peers;
    size_t reads = 0;
};

struct CheckingLink : FakeLink {
    explicit CheckingLink(Peers& p) : peers(p) {}
    void openStream(const std::string& full, const std::string& sid, const std::string& app, bool offerCompact) override
    {
        sids.push_back(sid);
        peers.coreOpened(full, sid, app, offerCompact);
        FakeLink::openStream(full, sid, app, offerCompact);
        calls.clear();
    }
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text) override
    {
        FUZZ_CHECK(text.size() <= kMaxBlockBytes);
        peers.fromCore(full, sid, text);
        FakeLink::sendBlock(full, sid, seq, text);
        calls.clear();
    }
    void answer(const IqRef& ref, const char* error) override
    {
        FUZZ_CHECK(answered.insert(ref.id).second);
        FakeLink::answer(ref, error);
        calls.clear();
    }
    void acceptStream(const IqRef& ref, bool compact) override
    {
        FUZZ_CHECK(answered.insert(ref.id).second);
        accepted.insert(ref.id);
        FakeLink::acceptStream(ref, compact);
        calls.clear();
    }
    Peers& peers;
    std::vector<std::string> sids;
    std::set<std::string> answered;
    std::set<std::string> accepted;  // stream requests the core took
};

size_t number(std::istringstream& in, size_t limit)
{
    std::string word;
    in >> word;
    const unsigned long v = std::strtoul(word.c_str(), nullptr, 10);
    return limit == 0 ? v : v % limit;
}

std::string word(std::istringstream& in)
{
    std::string w;
    in >> w;
    return w;
}

std::string rest(std::istringstream& in)
{
    std::string r;
    std::getline(in, r);
    if (!r.empty() && r[0] == ' ')
        r.erase(0, 1);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FUZZ_CHECK(noise::initialize());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    using namespace std::chrono;
    StreamSettings settings;
    settings.maxUnread = 1 + data[0] % 4;
    settings.window = 1 + (data[0] >> 2) % 4;
    settings.compact = (data[0] & 0x10) != 0;
    settings.answerTimeout = seconds(1 + (data[0] >> 5));

    Peers peers;
    CheckingSink sink(peers);
    CheckingLink link(peers);
    // By hand, MESSENGER_EVENTS_FUZZ_TRACE=1 shows the core's log and how far
    // an input got with the sealed texts.
    static const bool trace = std::getenv("MESSENGER_EVENTS_FUZZ_TRACE") != nullptr;
    Log log;
    log.open(trace ? "" : "/dev/null");
    FakePins pins;
    Messenger core(sink, link, link, log, kOwn, {"bob@h.test", "eve@x.test"}, settings, ownKeys(), pins);
    // The sequence number of the oldest block sent on `s` and not answered.
    auto oldest = [&link](const std::string& s) {
        std::deque<uint16_t>& sent = link.unanswered[s];
        const uint16_t seq = sent.empty() ? 0 : sent.front();
        if (!sent.empty())
            sent.pop_front();
        return seq;
    };
    Messenger::Clock::time_point now{};
    core.tick(now);

    const std::string script(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t lineStart = 0;
    int iqCounter = 0;
    for (int events = 0; events < 200 && lineStart < script.size(); ++events) {
        size_t lineEnd = script.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = script.size();
        std::istringstream in(script.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;

        const std::string op = word(in);
        if (op.size() != 1)
            continue;
        auto full = [&] { return std::string(kFull[number(in, 5)]); };
        auto bare = [&] { return std::string(kBare[number(in, 4)]); };
        auto sid = [&] {
            const std::string w = word(in);
            if (w.size() > 1 && w[0] == '#') {
                const size_t k = std::strtoul(w.c_str() + 1, nullptr, 10);
                if (k < link.sids.size())
                    return link.sids[k];
            }
            return w;
        };
        auto iq = [&](const std::string& from) { return IqRef{from, "iq" + std::to_string(++iqCounter)}; };
        auto flag = [&] { return number(in, 2) == 1; };

        switch (op[0]) {
            case 'd':
                core.clientDiscover(static_cast<int>(number(in, 4)));
                break;
            case 'x':
                core.clientClosed(static_cast<int>(number(in, 4)));
                break;
            case 'c': {
                // A command frame carries no zero byte (api_frame.h refuses it).
                const int client = static_cast<int>(number(in, 4));
                std::string line = rest(in);
                line.resize(std::strlen(line.c_str()));
                core.clientCommand(client, line);
                break;
            }
            case 't':
                now += milliseconds(number(in, 100000));
                core.tick(now);
                break;
            case '+':
                core.serverOnline();
                break;
            case '-':
                core.serverOffline();
                break;
            case 'r': {
                const std::string j = bare();
                core.rosterItem(j, word(in));
                break;
            }
            case 'R':
                core.rosterRemoved(bare());
                break;
            case 's':
                core.subscriptionRequest(bare());
                break;
            case 'p': {
                const std::string f = full();
                const bool available = flag();
                const std::string show = word(in);
                std::set<std::string> apps;
                for (std::string a = word(in); !a.empty(); a = word(in))
                    apps.insert(a);
                core.presence(f, available, show, apps);
                break;
            }
            case 'o': {
                const std::string f = full();
                const std::string s = sid();
                const std::string app = word(in);
                const bool compact = flag();
                // The contact's daemon makes its side ready before it asks;
                // it keeps the stream it had unless the core takes this one.
                static const noise::KeyPair stranger = noise::KeyPair::fromSecret(noise::Key{0x77});
                const size_t pattern = number(in, 3);
                const noise::Key* assumed = pattern == 1 ? &ownKeys().pub : pattern == 2 ? &stranger.pub : nullptr;
                Peers::Stream p;
                p.seal =
                    StreamSeal::opener(peerKeys(f), StreamSeal::prologue(bareOf(f), kOwn, s, app, compact), assumed);
                p.offered = compact;
                for (std::string& b : p.seal->takeBlocks())
                    p.pending.push_back(std::move(b));
                const IqRef ref = iq(f);
                core.openRequest(f, s, app, compact, ref);
                if (link.accepted.count(ref.id))
                    peers.streams[{f, s}] = std::move(p);
                break;
            }
            case 'k': {
                const std::string f = full();
                const std::string s = sid();
                auto it = peers.streams.find({f, s});
                if (it == peers.streams.end())
                    break;
                // The answers first, as the contact's server passes them on,
                // then the blocks waiting now; what the core answers with waits
                // for the next `k`.
                Peers::Stream& p = it->second;
                for (; p.unanswered > 0; --p.unanswered)
                    core.blockResult(f, s, oldest(s), true);
                for (size_t n = p.pending.size(); n > 0; --n) {
                    const std::string b = std::move(p.pending.front());
                    p.pending.pop_front();
                    core.block(f, s, p.nextSeq++, b, iq(f));
                }
                break;
            }
            case 'e':
            case 'E': {
                const std::string f = full();
                const std::string s = sid();
                auto it = peers.streams.find({f, s});
                if (it == peers.streams.end() || it->second.seal->step() != StreamSeal::Step::Established)
                    break;
                Peers::Stream& p = it->second;
                std::string block;
                if (op[0] == 'E') {
                    block = p.seal->sealEnd();
                } else {
                    const std::string bytes = rest(in);
                    std::string text = bytes;
                    if (!p.compact || unpackText(bytes, text))
                        peers.texts.insert({bareOf(f), text});
                    block = p.seal->seal(bytes);
                }
                core.block(f, s, p.nextSeq++, block, iq(f));
                break;
            }
            case 'O': {
                const std::string f = full();
                const std::string s = sid();
                const bool ok = flag();
                core.openResult(f, s, ok, flag());
                break;
            }
            case 'b': {
                const std::string f = full();
                const std::string s = sid();
                const auto seq = static_cast<uint16_t>(number(in, 65536));
                core.block(f, s, seq, rest(in), iq(f));
                break;
            }
            case 'B': {
                const std::string f = full();
                const std::string s = sid();
                core.blockResult(f, s, oldest(s), flag());
                break;
            }
            case 'P': {
                const std::string f = full();
                const std::string s = sid();
                core.probeResult(f, s, flag());
                break;
            }
            case 'C': {
                const std::string f = full();
                const std::string s = sid();
                core.closeRequest(f, s, iq(f));
                break;
            }
            case 'X': {
                const std::string f = full();
                const std::string s = sid();
                core.badBlock(f, s, iq(f));
                break;
            }
            default:
                break;
        }
    }
    if (trace)
        std::fprintf(stderr, "texts sealed by contacts: %zu, read by programs: %zu; core texts opened: %zu\n",
                     peers.texts.size(), sink.reads, peers.opened);
    return 0;
}
