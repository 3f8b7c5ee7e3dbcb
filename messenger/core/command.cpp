#include "messenger/core/command.h"

#include <cctype>
#include <climits>
#include <vector>

namespace {

bool same(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return i == a.size() && !b[i];
}

// Splits at single blanks; the text of WRITE is cut off separately.
std::vector<std::string> words(const std::string& s, size_t limit)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= s.size() && out.size() + 1 < limit) {
        size_t blank = s.find(' ', at);
        if (blank == std::string::npos)
            break;
        out.push_back(s.substr(at, blank - at));
        at = blank + 1;
    }
    out.push_back(s.substr(at));
    return out;
}

bool validName(const std::string& n)
{
    if (n.empty() || n.size() > 100)
        return false;
    for (char c : n)
        if (!std::isgraph(static_cast<unsigned char>(c)))
            return false;
    return true;
}

Command invalid(int code, const std::string& text)
{
    Command c;
    c.errorCode = code;
    c.errorText = text;
    return c;
}

}  // namespace

std::string errorLine(int code, const std::string& text) { return "ERROR " + std::to_string(code) + " " + text; }

bool parseStreamRef(const std::string& word, std::string& user, int& id)
{
    size_t colon = word.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= word.size() || colon + 11 < word.size())
        return false;
    long long v = 0;
    for (size_t i = colon + 1; i < word.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(word[i])))
            return false;
        v = v * 10 + (word[i] - '0');
    }
    if (v <= 0 || v > INT_MAX)
        return false;
    user = word.substr(0, colon);
    id = static_cast<int>(v);
    return true;
}

namespace {

// GET ...: `w` has at least two words.
Command parseGet(const std::vector<std::string>& w)
{
    auto count = w.size();
    Command c;
    if (count == 2 && same(w[1], "CURRENTUSERHANDLE")) {
        c.kind = CommandKind::GetCurrentUserHandle;
        return c;
    }
    if (count == 2 && same(w[1], "USERSTATUS")) {
        c.kind = CommandKind::GetUserStatus;
        return c;
    }
    if (count == 4 && same(w[1], "USER") && same(w[3], "ONLINESTATUS")) {
        if (!validName(w[2]))
            return invalid(kErrorInvalidHandle, "Invalid user handle");
        c.kind = CommandKind::GetOnlineStatus;
        c.user = w[2];
        return c;
    }
    if (count == 4 && same(w[1], "APPLICATION") && same(w[3], "CONNECTABLE")) {
        if (!validName(w[2]))
            return invalid(kErrorSyntax, "Invalid application name");
        c.kind = CommandKind::GetConnectable;
        c.app = w[2];
        return c;
    }
    return invalid(kErrorUnknownCommand, "Unknown command");
}

// CREATE APPLICATION <n> or DELETE APPLICATION <n>.
Command parseCreateOrDelete(const std::vector<std::string>& w)
{
    if (!validName(w[2]))
        return invalid(kErrorSyntax, "Invalid application name");
    Command c;
    c.kind = same(w[0], "CREATE") ? CommandKind::CreateApplication : CommandKind::DeleteApplication;
    c.app = w[2];
    return c;
}

// ALTER APPLICATION <n> ...: `w` has at least four words.
Command parseAlter(const std::vector<std::string>& w)
{
    auto count = w.size();
    Command c;
    if (!validName(w[2]))
        return invalid(kErrorSyntax, "Invalid application name");
    c.app = w[2];
    if (same(w[3], "CONNECT")) {
        if (count != 5 || !validName(w[4]))
            return invalid(kErrorInvalidHandle, "Invalid user handle");
        c.kind = CommandKind::Connect;
        c.user = w[4];
        return c;
    }
    bool isWrite = same(w[3], "WRITE");
    bool isRead = same(w[3], "READ");
    bool isDisconnect = same(w[3], "DISCONNECT");
    if (!isWrite && !isRead && !isDisconnect)
        return invalid(kErrorUnknownCommand, "Unknown command");
    if (count < 5 || !parseStreamRef(w[4], c.user, c.id))
        return invalid(kErrorSyntax, "Invalid stream, expected <handle>:<id>");
    if (isWrite) {
        // The text is everything after the blank that ends the stream.
        if (count != 6)
            return invalid(kErrorSyntax, "WRITE needs a text");
        if (w[5].size() > kMaxTextLength)
            return invalid(kErrorTextTooLong, "Text too long");
        c.kind = CommandKind::Write;
        c.text = w[5];
        return c;
    }
    if (count != 5)
        return invalid(kErrorSyntax, "Unexpected text after the stream");
    c.kind = isRead ? CommandKind::Read : CommandKind::Disconnect;
    return c;
}

}  // namespace

Command parseCommand(const std::string& line)
{
    std::vector<std::string> w = words(line, 6);
    auto count = w.size();
    Command c;

    if (count == 1 && same(w[0], "PING")) {
        c.kind = CommandKind::Ping;
        return c;
    }
    if (count == 2 && same(w[0], "SEARCH") && same(w[1], "FRIENDS")) {
        c.kind = CommandKind::SearchFriends;
        return c;
    }
    if (count >= 2 && same(w[0], "GET"))
        return parseGet(w);
    if (count == 3 && (same(w[0], "CREATE") || same(w[0], "DELETE")) && same(w[1], "APPLICATION"))
        return parseCreateOrDelete(w);
    if (count >= 4 && same(w[0], "ALTER") && same(w[1], "APPLICATION"))
        return parseAlter(w);
    return invalid(kErrorUnknownCommand, "Unknown command");
}
