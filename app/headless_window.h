// The program's main window where there is no user interface: it holds the
// settings in memory (loaded from the INI file) and runs the event loop until
// the process is asked to end (SIGINT or SIGTERM). Event-loop thread only.
#pragma once

#include "core/config_store.h"

class HeadlessWindow {
public:
    HeadlessWindow() = default;
    // Loads the settings, runs the loop, returns when asked to end.
    void doModal();

    QV_CONFIGSTORE& configuration() { return config; }

private:
    QV_CONFIGSTORE config;
};
