#include "tests/support/prosody_server.h"
#include "tests/support/tcp_test_util.h"

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>

namespace {

const char* kProsody = "/usr/bin/prosody";
const char* kProsodyctl = "/usr/bin/prosodyctl";

}  // namespace

ProsodyServer::ProsodyServer(std::string d)
    : dir(std::move(d)), config(dir + "/prosody.cfg.lua"), log(dir + "/prosody.out")
{
}

std::string ProsodyServer::unavailableReason()
{
    if (::access(kProsody, X_OK) != 0 || ::access(kProsodyctl, X_OK) != 0)
        return "Prosody is not installed (apt-get install prosody)";
    return std::string();
}

bool ProsodyServer::writeConfig()
{
    c2sPort = tcptest::freePort();
    ::mkdir((dir + "/data").c_str(), 0700);
    std::ofstream out(config);
    out << "local base = \"" << dir << "\"\n"
        << (::geteuid() == 0 ? "run_as_root = true\n" : "")
        << "pidfile = base .. \"/prosody.pid\"\n"
           "data_path = base .. \"/data\"\n"
           "log = { info = base .. \"/prosody.log\" }\n"
           "interfaces = { \"127.0.0.1\" }\n"
           "local_interfaces = { \"127.0.0.1\" }\n"
        << "c2s_ports = { " << c2sPort << " }\n"
        << "c2s_direct_tls_ports = { }\n"
           "s2s_ports = { }\n"
           "http_ports = { }\n"
           "https_ports = { }\n"
           "modules_enabled = { \"roster\"; \"saslauth\"; \"disco\"; \"ping\"; \"posix\"; \"smacks\"; }\n"
           "modules_disabled = { \"s2s\"; \"offline\"; \"admin_shell\" }\n"
           "authentication = \"internal_hashed\"\n"
           "c2s_require_encryption = false\n"
           // No certificate here, so no STARTTLS offer: the daemons run on loopback,
           // where TLS is optional.

           "allow_unencrypted_plain_auth = true\n"
           "c2s_stanza_size_limit = 256*1024\n"
           "smacks_hibernation_time = 2\n"
           "network_settings = { nagle = false; min_wait = 0.00001 }\n"
           "VirtualHost \"localhost\"\n";
    return static_cast<bool>(out);
}

bool ProsodyServer::registerUser(const std::string& user, const std::string& password)
{
    Spawned ctl;
    if (!ctl.start({kProsodyctl, "--config", config, "register", user, "localhost", password}, log))
        return false;
    if (ctl.wait(std::chrono::seconds(30)) != 0) {
        why = "prosodyctl register " + user + " failed (see " + log + ")";
        return false;
    }
    return true;
}

bool ProsodyServer::start()
{
    if (!process.start({kProsody, "--config", config, "-F"}, log)) {
        why = "cannot run prosody";
        return false;
    }
    const bool listening = tcptest::waitUntil(
        [this] {
            const int fd = tcptest::connectTo("127.0.0.1", c2sPort);
            ::close(fd);
            return fd >= 0;
        },
        std::chrono::seconds(15));
    if (!listening) {
        why = "prosody did not listen on port " + std::to_string(c2sPort) + " (see " + log + ")";
        process.stop(std::chrono::seconds(3));
        return false;
    }
    return true;
}

void ProsodyServer::stop() { process.stop(std::chrono::seconds(8)); }
