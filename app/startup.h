// CCorvaneForTcpApp: the start-up routine of the program. It checks the socket
// layer, secures the single instance, scans the command line for "-D119",
// routes the trace (standard output) to the terminal in debug mode and to the
// null device otherwise, makes the program directory current and then runs the
// main window until it closes. Runs once, on the main thread.
#pragma once

#include <functional>
#include <string>

class CCorvaneForTcpApp {
public:
    // The main window: runs until it is closed and returns then.
    using MainWindowRunner = std::function<void()>;

    static constexpr const char* kInstanceName = "__CORVANEFORTCP_QUORVANTINE__";

    explicit CCorvaneForTcpApp(MainWindowRunner runner);

    // Returns the process exit status: 0 after the main window closed, 1 when
    // start-up ended early (socket layer, single instance).
    int initInstance(int argc, char** argv);

    // True only for exactly "-D119".
    static bool isDebugSwitch(const char* arg);
    // argv[0] cut at its last slash; empty without one.
    static std::string directoryOf(const char* argv0);

    int getDebugMode() const { return debugMode; }
    const std::string& getProgramDirectory() const { return programDirectory; }

private:
    MainWindowRunner runMainWindow;
    int debugMode = 0;
    std::string programDirectory;
};
