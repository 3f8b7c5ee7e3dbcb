// The Jingle iqs of direct paths: PathSignaling over the server connection.
// A signal goes out as an iq set to the contact's resource, and its answer
// comes back as pathSignalResult; an incoming Jingle iq is read strictly
// (jingle.h) and handed on, or refused with bad-request when it cannot be
// read. Used on the daemon's thread only.
#pragma once

#include "messenger/core/direct_path.h"
#include "messenger/support/log.h"
#include "messenger/xmpp/stanzas.h"

#include <string>

class JingleSignals : public PathSignaling {
public:
    JingleSignals(StanzaSender& out, Log& l) : sender(out), log(l) {}

    void setEvents(PathSignalEvents* e) { events = e; }
    // This side's full JID, as the server bound it.
    void setSelf(std::string full) { self = std::move(full); }

    void signal(const std::string& full, const PathSignal& signal) override;
    void answerSignal(const IqRef& ref, const char* errorCondition) override;

    // An incoming <jingle/> request and the answer to one this side sent.
    void request(xmpp_stanza_t* payload, const IqRef& ref);
    void result(const PendingIq& p, bool ok);

private:
    StanzaSender& sender;
    Log& log;
    PathSignalEvents* events = nullptr;
    std::string self;
};
