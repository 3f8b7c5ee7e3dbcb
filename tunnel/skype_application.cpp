#include "tunnel/skype_application.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/eventlog.h"

namespace {

bool sameUser(const char* a, const char* b) { return std::strncmp(a, b, QV_SKYPEAPPLICATION::kNameSize) == 0; }

}  // namespace

QV_SKYPEAPPLICATION::QV_SKYPEAPPLICATION(QV_SKYPECOM& com, QV_SKYPEMODEL& model, QV_CONFIGURATION* configuration)
    : skypeCom(com), skypeModel(model), config(configuration)
{
    std::snprintf(className, sizeof(className), "%s", "QV_SKYPEAPPLICATION");
}

// Streams still in the table go without a word to the messenger; each
// stream's destructor stops its TCP manager.
QV_SKYPEAPPLICATION::~QV_SKYPEAPPLICATION() = default;

void QV_SKYPEAPPLICATION::setApplicationName(const char* newName)
{
    std::snprintf(name, sizeof(name), "%s", newName ? newName : "");
}

// Vacates the entry, so that a notification running over the array neither
// skips nor repeats a listener.
void QV_SKYPEAPPLICATION::removeListener(QV_SKYPEAPPLICATIONLISTENER* listener)
{
    std::replace(listeners.begin(), listeners.end(), listener, static_cast<QV_SKYPEAPPLICATIONLISTENER*>(nullptr));
}

void QV_SKYPEAPPLICATION::notifyStreamChange()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyStreamChange();
}

void QV_SKYPEAPPLICATION::logStream(const char* format, const char* user, int id)
{
    QV_EVENTLOG::getInstance()->writef(2, format, getServiceName(serviceIndex), user, id);
}

void QV_SKYPEAPPLICATION::createApplication()
{
    printf("QV_A2AMODEL::createApplication() appname=%s\n", name);
    if (name[0] == '\0')
        return;
    std::snprintf(createCommand, sizeof(createCommand), "CREATE APPLICATION %s", name);
    skypeCom.send(createCommand);
}

int QV_SKYPEAPPLICATION::replyCreateApplication(const char* line)
{
    printf("QV_SKYPEAPPLICATION::replyCreateApplication(%s)\n", line);
    if (createCommand[0] == '\0' || std::strncmp(line, createCommand, 1024) != 0)
        return 0;
    printf("CREATE REPLY OK \n");
    state = kRegistered;
    char command[kNameSize + 40];
    std::snprintf(command, sizeof(command), "GET APPLICATION %s CONNECTABLE", name);
    skypeCom.send(command);
    return 1;
}

bool QV_SKYPEAPPLICATION::isApplicationName(const char* word) const { return std::strncmp(name, word, kNameSize) == 0; }

void QV_SKYPEAPPLICATION::connect(const char* user)
{
    std::snprintf(peer, sizeof(peer), "%s", user);
    char command[2 * kNameSize + 40];
    std::snprintf(command, sizeof(command), "ALTER APPLICATION %s CONNECT %s", name, user);
    skypeCom.send(command);
}

bool QV_SKYPEAPPLICATION::hasStreamWithUser(const char* user) const
{
    for (const auto& s : streams)
        if (s && sameUser(s->getPeerUser(), user))
            return true;
    return false;
}

void QV_SKYPEAPPLICATION::replyAlterApplication(const char* rest)
{
    char expected[kNameSize + 16];
    std::snprintf(expected, sizeof(expected), "CONNECT %s", peer);
    if (std::strncmp(rest, expected, std::strlen(expected)) == 0) {
        printf("CONNECT REPLY OK\n");
        return;
    }
    if (std::strncmp(rest, "READ", 4) == 0) {
        // The answer to the READ on its way; the next RECEIVED notification
        // says what is left.
        readPending = false;
        waitingReads.clear();
        if (std::strlen(rest) < 5)
            return;
        for (size_t i = 0; i < streams.size(); ++i)
            if (streams[i])
                streams[i]->repRead(rest + 5);
    }
}

void QV_SKYPEAPPLICATION::disconnectStream(const char* user, int id)
{
    char command[2 * kNameSize + 64];
    std::snprintf(command, sizeof(command), "ALTER APPLICATION %s DISCONNECT %s:%d", name, user, id);
    skypeCom.send(command);
}

void QV_SKYPEAPPLICATION::disconnectStreams()
{
    for (size_t i = 0; i < streams.size(); ++i)
        if (streams[i])
            disconnectStream(streams[i]->getPeerUser(), streams[i]->getStreamId());
}

QV_SKYPESTREAM* QV_SKYPEAPPLICATION::createStream(const char* user, int id)
{
    printf("QV_SKYPEAPPLICATION::createStream(%s, %d)", user, id);
    auto* stream = new QV_SKYPESTREAM(skypeCom, config);
    stream->setPeerUser(user);
    stream->setStreamId(id);
    stream->setServicePort(config->getServicePort(serviceIndex));
    stream->setForwardHost(config->getForwardHost(serviceIndex));
    stream->setForwardPort(config->getForwardPort(serviceIndex));
    stream->setApplicationName(name);
    stream->setClientApplication(config->isClientMode() != 0);
    if (!stream->start())
        for (size_t i = 0; i < listeners.size(); ++i)
            if (listeners[i])
                listeners[i]->notifyListenFailed(stream->getListenPort(), stream->getListenError());
    stream->mark = 1;
    state = kStreamCreated;
    logStream("%s用 Skype STREAM は %s と　ID=%d で接続", user, id);
    return stream;
}

void QV_SKYPEAPPLICATION::cancelAllStreams()
{
    state = kNotRegistered;
    pollCounter = 0;
    for (auto& s : streams) {
        if (!s)
            continue;
        s->stop();
        logStream("%s用 Skype STREAM は %s と　ID=%d をキャンセル", s->getPeerUser(), s->getStreamId());
        s.reset();
    }
    streams.clear();
    waitingReads.clear();
    refusedOverLimit.clear();
    readPending = false;
    notifyStreamChange();
}

void QV_SKYPEAPPLICATION::sendEarly()
{
    for (size_t i = 0; i < streams.size(); ++i)
        if (streams[i])
            streams[i]->sendEarly();
}

void QV_SKYPEAPPLICATION::onIntervalTimer()
{
    for (size_t i = 0; i < streams.size(); ++i)
        if (streams[i])
            streams[i]->intervalTimer();

    if (readPending && ++readTicks >= kReadReplyTicks) {
        printf("QV_SKYPEAPPLICATION::onIntervalTimer() no READ reply, reading on\n");
        readPending = false;
    }
    // A stream that held a packet may take the next one now.
    if (!readPending && !waitingReads.empty())
        readNext();

    if (pollCounter >= kPollTicks) {
        pollCounter = 0;
        if (state != kNotRegistered) {
            char command[kNameSize + 40];
            std::snprintf(command, sizeof(command), "GET APPLICATION %s CONNECTABLE", name);
            skypeCom.send(command);
        }
    } else {
        pollCounter += 1;
    }
}

void QV_SKYPEAPPLICATION::onThroughputTimer()
{
    if (name[0] == '\0')
        return;
    double sent = 0;
    double received = 0;
    for (auto& s : streams) {
        if (!s)
            continue;
        sent += s->takeSentBytes();
        received += s->takeReceivedBytes();
    }
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyThroughput(serviceIndex, sent, received);
}

bool QV_SKYPEAPPLICATION::anyStream(bool (QV_SKYPESTREAM::*query)() const) const
{
    for (const auto& s : streams)
        if (s && (s.get()->*query)())
            return true;
    return false;
}

bool QV_SKYPEAPPLICATION::anyStreamListening() const { return anyStream(&QV_SKYPESTREAM::isMainListening); }
bool QV_SKYPEAPPLICATION::anyStreamConnected() const { return anyStream(&QV_SKYPESTREAM::isMainConnected); }
bool QV_SKYPEAPPLICATION::anyStreamPeerConnected() const { return anyStream(&QV_SKYPESTREAM::isPeerMainConnected); }
bool QV_SKYPEAPPLICATION::anyDataLinkListening() const { return anyStream(&QV_SKYPESTREAM::isDataLinkListening); }
bool QV_SKYPEAPPLICATION::anyDataLinkConnected() const { return anyStream(&QV_SKYPESTREAM::isDataLinkConnected); }
bool QV_SKYPEAPPLICATION::anyDataLinkPeerConnected() const
{
    return anyStream(&QV_SKYPESTREAM::isPeerDataLinkConnected);
}

QV_SKYPESTREAM* QV_SKYPEAPPLICATION::findStream(const char* user, int id) const
{
    for (const auto& s : streams)
        if (s && s->getStreamId() == id && sameUser(s->getPeerUser(), user))
            return s.get();
    return nullptr;
}
