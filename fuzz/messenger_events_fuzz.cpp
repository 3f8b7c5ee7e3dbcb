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
//   o F SID APP COMPACT              stream request
//   O F SID OK COMPACT               answer to our stream request
//   b F SID SEQ <bytes>              data block (the rest of the line)
//   B F SID OK / P F SID OK          block answer / probe answer
//   C F SID / X F SID                close request / undecodable block
// C, J, F pick from small tables; SID "#k" is the k-th sid the core opened.
// Every incoming iq gets an id of its own.
//
// Checked: every iq is answered at most once; every line to a program is
// one a command frame can carry (no zero byte); no block is longer than a
// sealed WRITE text.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "messenger/command.h"
#include "messenger/messenger.h"
#include "tests/messenger/fake_sides.h"

namespace {

const char* const kBare[] = {"bob@h.test", "carol@h.test", "alice@h.test", "eve@x.test"};
const char* const kFull[] = {"bob@h.test/pc", "bob@h.test/laptop", "carol@h.test/pc", "eve@x.test/pc",
                             "alice@h.test/other"};

struct CheckingSink : FakeSink {
    void sendLine(int client, const std::string& line) override
    {
        FUZZ_CHECK(line.find('\0') == std::string::npos);
        out[client].clear();
        FakeSink::sendLine(client, line);
    }
    void sendAttach(int client, uint32_t code, uint32_t handle) override
    {
        out[client].clear();
        FakeSink::sendAttach(client, code, handle);
    }
};

struct CheckingLink : FakeLink {
    void openStream(const std::string& full, const std::string& sid, const std::string& app, bool offerCompact) override
    {
        sids.push_back(sid);
        FakeLink::openStream(full, sid, app, offerCompact);
        calls.clear();
    }
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text) override
    {
        FUZZ_CHECK(text.size() <= kMaxTextLength + 1 + noise::kTagLength);
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
        FakeLink::acceptStream(ref, compact);
        calls.clear();
    }
    std::vector<std::string> sids;
    std::set<std::string> answered;
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

    CheckingSink sink;
    CheckingLink link;
    Log log;
    log.open("/dev/null");
    static const noise::KeyPair keys = noise::KeyPair::fromSecret(noise::Key{1, 2, 3});
    FakePins pins;
    Messenger core(sink, link, log, "alice@h.test", {"bob@h.test", "eve@x.test"}, settings, keys, pins);
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
                core.openRequest(f, s, app, compact, iq(f));
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
                core.blockResult(f, s, flag());
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
    return 0;
}
