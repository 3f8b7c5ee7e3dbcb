// messenger/config.h: the daemon's configuration file and the checks made
// on what it names.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "messenger/support/config.h"
#include "messenger/support/jid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    MessengerConfig config;
    std::vector<std::string> errors;
    const bool ok = parseConfig("fuzz.conf", text, config, errors);
    FUZZ_CHECK(ok == errors.empty());
    for (const std::string& e : errors)
        FUZZ_CHECK(e.rfind("fuzz.conf:", 0) == 0);
    // At most one message for each line, and the two missing keys.
    size_t lines = 1;
    for (char ch : text)
        lines += ch == '\n';
    FUZZ_CHECK(errors.size() <= lines + 2);
    if (ok) {
        // A configuration without errors is one the daemon can run with.
        FUZZ_CHECK(isBareJid(config.jid));
        FUZZ_CHECK(!config.password.empty());
        FUZZ_CHECK(config.port >= 0 && config.port <= 65535);
        FUZZ_CHECK(config.maxUnread >= 1 && config.maxUnread <= 100000);
        FUZZ_CHECK(config.answerTimeout >= 1 && config.answerTimeout <= 3600);
        FUZZ_CHECK(config.window >= 1 && config.window <= 1024);
        FUZZ_CHECK(config.apiSocket.size() <= 100);
    }

    // The questions the daemon asks of any configuration.
    (void)serverHost(config);
    (void)tlsRequired(config);
    (void)isBareJid(config.jid);
    (void)isLoopbackHost(text);
    for (const std::string& contact : config.contacts)
        (void)isBareJid(contact);
    return 0;
}
