// messenger/command.h: the command lines of the attached programs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "messenger/core/command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const Command c = parseCommand(line);
    if (c.kind == CommandKind::Invalid) {
        FUZZ_CHECK(c.errorCode != 0);
        const std::string error = errorLine(c.errorCode, c.errorText);
        FUZZ_CHECK(error.rfind("ERROR ", 0) == 0);
        return 0;
    }
    FUZZ_CHECK(c.text.size() <= kMaxTextLength);
    switch (c.kind) {
        case CommandKind::Write:
        case CommandKind::Read:
        case CommandKind::Disconnect: {
            FUZZ_CHECK(!c.app.empty());
            FUZZ_CHECK(c.id > 0);
            // The stream reference reads back as the same user and id.
            std::string user;
            int id = 0;
            FUZZ_CHECK(parseStreamRef(c.user + ":" + std::to_string(c.id), user, id));
            FUZZ_CHECK(user == c.user && id == c.id);
            break;
        }
        case CommandKind::Connect:
        case CommandKind::GetConnectable:
        case CommandKind::CreateApplication:
        case CommandKind::DeleteApplication:
            FUZZ_CHECK(!c.app.empty());
            break;
        default:
            break;
    }
    // Parsing is a function of the line alone.
    const Command again = parseCommand(line);
    FUZZ_CHECK(again.kind == c.kind && again.app == c.app && again.user == c.user && again.id == c.id
               && again.text == c.text);

    std::string user;
    int id = 0;
    if (parseStreamRef(line, user, id))
        FUZZ_CHECK(id > 0);
    return 0;
}
