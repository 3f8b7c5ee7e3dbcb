#include "app/startup.h"

#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/message_box.h"
#include "app/single_instance.h"

namespace {

// The socket layer needs no start-up on Linux; check that a socket can be made.
bool startSocketLayer()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

}  // namespace

CCorvaneForTcpApp::CCorvaneForTcpApp(MainWindowRunner runner) : runMainWindow(std::move(runner)) {}

bool CCorvaneForTcpApp::isDebugSwitch(const char* arg) { return arg && std::strcmp(arg, "-D119") == 0; }

std::string CCorvaneForTcpApp::directoryOf(const char* argv0)
{
    if (!argv0)
        return std::string();
    const char* slash = std::strrchr(argv0, '/');
    if (!slash)
        return std::string();
    return std::string(argv0, static_cast<size_t>(slash - argv0));
}

int CCorvaneForTcpApp::initInstance(int argc, char** argv)
{
    if (!startSocketLayer()) {
        showMessageBox("Windows ｿｹｯﾄの初期化に失敗しました。", "");
        return 1;
    }

    switch (acquireSingleInstance(kInstanceName)) {
        case InstanceGuard::Acquired:
            break;
        case InstanceGuard::AlreadyRunning:
            showMessageBox("     既に起動されています.     ", "２重起動");
            return 1;
        case InstanceGuard::Failed:
            return 1;
    }

    for (int i = 1; i < argc; ++i) {
        char label[32];
        std::snprintf(label, sizeof(label), "%d番目の引数", i);
        std::printf("%s=%s\n", label, argv[i]);
        if (isDebugSwitch(argv[i])) {
            debugMode = 1;
            std::printf("DEBUGMODE ON\n");
        }
    }
    std::fflush(stdout);

    // Debug mode keeps the terminal; otherwise every trace line is discarded.
    if (debugMode == 0) {
        if (!std::freopen("/dev/null", "w", stdout))
            std::perror("/dev/null");
        if (!std::freopen("/dev/null", "r", stdin))
            std::perror("/dev/null");
    } else {
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }

    std::printf("********** Start Corvane For Tcp DEBUG MODE  *******\n");

    programDirectory = directoryOf(argc > 0 ? argv[0] : nullptr);
    if (!programDirectory.empty() && chdir(programDirectory.c_str()) != 0) {
        std::printf("chdir failed: %s\n", programDirectory.c_str());
    }
    std::printf("CurrentDir=%s", programDirectory.c_str());
    std::fflush(stdout);

    if (runMainWindow)
        runMainWindow();

    if (debugMode == 1) {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    return 0;
}
