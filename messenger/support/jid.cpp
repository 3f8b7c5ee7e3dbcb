#include "messenger/support/jid.h"

#include <stringprep.h>
#include <algorithm>
#include <cctype>

std::string normalizeJid(const std::string& jid)
{
    const size_t slash = jid.find('/');
    const std::string bare = jid.substr(0, slash);
    const std::string resource = slash == std::string::npos ? std::string() : jid.substr(slash);
    const size_t at = bare.find('@');
    auto asciiLower = [](std::string part) {
        std::transform(part.begin(), part.end(), part.begin(),
                       [](unsigned char c) { return static_cast<char>(c < 0x80 ? std::tolower(c) : c); });
        return part;
    };
    // Every JID the server sends goes through here: for ASCII, which is
    // what the profiles turn into lower case and nothing else, the tables
    // are not needed.
    if (std::all_of(bare.begin(), bare.end(), [](unsigned char c) { return c < 0x80; }))
        return asciiLower(bare) + resource;
    // Each part through its profile (nodeprep: case folding and NFKC for
    // the local part, nameprep for the domain); a part a profile refuses
    // keeps its text, with ASCII letters in lower case, so that it still
    // compares the same wherever it turns up.
    auto prep = [&asciiLower](const std::string& part, const Stringprep_profile* profile) {
        std::vector<char> buffer(part.size() * 4 + 16);
        std::copy(part.begin(), part.end(), buffer.begin());
        if (!part.empty()
            && stringprep(buffer.data(), buffer.size(), Stringprep_profile_flags(0), profile) == STRINGPREP_OK)
            return std::string(buffer.data());
        return asciiLower(part);
    };
    const std::string domain = prep(at == std::string::npos ? bare : bare.substr(at + 1), stringprep_nameprep);
    if (at == std::string::npos)
        return domain + resource;
    return prep(bare.substr(0, at), stringprep_xmpp_nodeprep) + "@" + domain + resource;
}

bool isBareJid(const std::string& jid)
{
    size_t at = jid.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= jid.size())
        return false;
    if (jid.find('@', at + 1) != std::string::npos)
        return false;
    for (char c : jid) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isspace(u) || std::iscntrl(u) || c == '/' || c == ':' || c == '"' || c == '\'' || c == '<' || c == '>'
            || c == '&')
            return false;
    }
    return true;
}

std::string bareOf(const std::string& full) { return full.substr(0, full.find('/')); }

// Adds the bare JID `jid` to `contacts` in its normal form; false when it is
// listed there already.
bool appendContact(std::vector<std::string>& contacts, const std::string& jid)
{
    std::string normal = normalizeJid(jid);
    if (std::find(contacts.begin(), contacts.end(), normal) != contacts.end())
        return false;
    contacts.push_back(std::move(normal));
    return true;
}
