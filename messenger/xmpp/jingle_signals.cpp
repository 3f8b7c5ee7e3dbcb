#include "messenger/xmpp/jingle_signals.h"

#include "messenger/xmpp/jingle.h"

void JingleSignals::signal(const std::string& full, const PathSignal& s)
{
    if (!sender.canSend()) {
        // Nothing went out: the path is given up at once.
        if (events)
            events->pathSignalResult(full, s.sid, false);
        return;
    }
    sender.sendIq("set", full, jingleElement(sender.context(), s, self),
                  PendingIq{PendingIq::Kind::Jingle, full, s.sid, 0});
}

void JingleSignals::answerSignal(const IqRef& ref, const char* errorCondition)
{
    if (sender.canSend())
        sender.answer(ref, errorCondition);
}

void JingleSignals::request(xmpp_stanza_t* payload, const IqRef& ref)
{
    std::string why;
    size_t leftOut = 0;
    std::optional<PathSignal> s = readJingle(payload, why, leftOut);
    if (!s) {
        log.write("refused a Jingle message of " + peerText(ref.from) + ": " + peerText(why));
        sender.answerError(ref, "modify", "bad-request");
        return;
    }
    if (leftOut)
        log.write("left out " + std::to_string(leftOut) + " of the candidates of " + peerText(ref.from)
                  + " (not usable, repeated or too many)");
    if (events)
        events->pathSignal(ref.from, *s, ref);
    else
        sender.answer(ref, "service-unavailable");
}

void JingleSignals::result(const PendingIq& p, bool ok)
{
    if (events)
        events->pathSignalResult(p.full, p.sid, ok);
}
