// A QV_APILINK that records every command text and answers 1, or 0 while
// told to fail. attach() acts as the messenger's attach-success frame.
#pragma once

#include <string>
#include <vector>

#include "skype/api_link.h"

class FakeApiLink : public QV_APILINK {
public:
    // Installs a new fake link into QV_SKYPECOM and attaches it; the
    // returned pointer stays valid while QV_SKYPECOM keeps the link.
    static FakeApiLink* install();
    void setListener(QV_APILINKLISTENER* l) override { listener = l; }
    int32_t discover() override { return 1; }
    int32_t sendCommand(const char* text, uint32_t cbData) override;
    void attach();
    void setFailing(bool value) { failing = value; }
    std::vector<std::string> commands;

private:
    QV_APILINKLISTENER* listener = nullptr;
    bool failing = false;
};
