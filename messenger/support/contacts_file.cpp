#include "messenger/support/contacts_file.h"

#include "messenger/support/files.h"
#include "messenger/support/jid.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

const char* const kContactsHolds = "the contacts of the account";
const char* const kContactsHeader =
    "# messengerd contacts: added with messengerd --add-contact, besides the contact lines of the configuration.\n"
    "# One bare JID per line.\n";

// Calls `line(number, text)` for every line of a contacts file that is
// neither blank nor a comment, trimmed.
template <typename F>
void forEachContactLine(const std::string& text, F line)
{
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string jid = trimmed(raw);
        if (!jid.empty() && jid[0] != '#')
            line(lineNo, jid);
    }
}

}  // namespace

bool loadContactsFile(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors)
{
    const size_t errorsBefore = errors.size();
    std::string text;
    OwnFile read = readOwnFile(path, kContactsHolds, true, text, errors);
    if (read != OwnFile::Read)
        return read == OwnFile::Absent;
    forEachContactLine(text, [&](int lineNo, const std::string& jid) {
        if (!isBareJid(jid))
            errors.push_back(path + ":" + std::to_string(lineNo)
                             + ": contact must be a bare JID like user@example.org, not '" + jid + "'");
        else
            appendContact(config.contacts, jid);
    });
    return errors.size() == errorsBefore;
}

bool addToContactsFile(const std::string& path, const std::string& jid, std::string& error)
{
    std::string text;
    std::vector<std::string> errors;
    OwnFile read = readOwnFile(path, kContactsHolds, true, text, errors);
    if (read == OwnFile::Failed) {
        error = errors.front();
        return false;
    }
    const std::string normal = normalizeJid(jid);
    bool listed = false;
    forEachContactLine(text, [&](int, const std::string& line) { listed = listed || normalizeJid(line) == normal; });
    if (listed)
        return true;

    std::string add = read == OwnFile::Absent ? kContactsHeader : "";
    if (!text.empty() && text.back() != '\n')
        add += '\n';
    add += jid + "\n";
    // O_APPEND keeps what is there (comments included) as it is; a new file
    // gets mode 0600 from the start.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ":0: cannot open the file for writing: " + std::strerror(errno);
        return false;
    }
    if (!writeAll(fd, add)) {
        error = path + ":0: cannot write the file: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        error = path + ":0: cannot write the file: " + std::strerror(errno);
        return false;
    }
    return true;
}
