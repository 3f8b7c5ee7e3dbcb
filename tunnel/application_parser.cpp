// The notification parser of an application: APPLICATION <name> followed by
// CONNECTABLE, CONNECTING, STREAMS, SENDING, RECEIVED or DATAGRAM and a list.
// A list is taken whole or not at all; nothing a messenger sends can make it
// write past a buffer.
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "tunnel/skype_application.h"

namespace {

bool startsWith(const char* s, const char* word) { return std::strncmp(s, word, std::strlen(word)) == 0; }

// The text after the notification word; empty when the line ends with it.
const char* listAfter(const char* rest, const char* word)
{
    const char* p = rest + std::strlen(word);
    return *p ? p + 1 : p;
}

}  // namespace

void QV_SKYPEAPPLICATION::application(const char* rest)
{
    if (startsWith(rest, "CONNECTABLE")) {
        printf("APPLICATION xxxx CONNECTABLE メッセージを受信しました\n");
        skypeModel.setConnectable(serviceIndex, listAfter(rest, "CONNECTABLE"));
    } else if (startsWith(rest, "CONNECTING")) {
        printf("APPLICATION appname CONNECTING メッセージを受信しました\n");
    } else if (startsWith(rest, "STREAMS")) {
        onStreams(rest, rest + std::strlen("STREAMS"));
    } else if (startsWith(rest, "SENDING")) {
        onSending(rest, rest + std::strlen("SENDING"));
    } else if (startsWith(rest, "RECEIVED")) {
        onReceived(rest, rest + std::strlen("RECEIVED"));
    } else if (startsWith(rest, "DATAGRAM")) {
        onDatagram(rest, rest + std::strlen("DATAGRAM"));
    } else {
        printf("書式エラー：ここにはこないはず\n");
    }
}

void QV_SKYPEAPPLICATION::onStreams(const char* rest, const char* list)
{
    std::vector<StreamEntry> entries;
    StreamListResult result = parseStreamList(list, StreamListKind::Streams, entries);
    if (result == StreamListResult::Empty) {
        dropAllStreams();
        return;
    }
    if (result == StreamListResult::TooLong) {
        printf("QV_SKYPEAPPLICATION::application(%.300s)書式エラー 長すぎる語\n", rest);
        return;
    }
    if (result != StreamListResult::Entries) {
        printf("QV_SKYPEAPPLICATION::application(%s)書式エラーユーザ名なし\n", rest);
        return;
    }
    for (const StreamEntry& e : entries)
        printf("CONNECT USERID=%s, ID=%d\n", e.user.c_str(), e.id);

    markListedStreams(entries);
    for (const StreamEntry& e : entries)
        if (!findStream(e.user.c_str(), e.id) && !isRefusedOverLimit(e.user.c_str(), e.id))
            admitStream(e);
    removeUnlistedStreams();
}

void QV_SKYPEAPPLICATION::dropAllStreams()
{
    for (auto& s : streams) {
        if (!s)
            continue;
        s->stop();
        logStream("%s用 Skype STREAM は %s と　ID=%d を切断", s->getPeerUser(), s->getStreamId());
        s.reset();
    }
    streams.clear();
    waitingReads.clear();
    refusedOverLimit.clear();
    readPending = false;
    state = kRegistered;
    notifyStreamChange();
    printf("!!STREAM ALL DISCONNECT DETECT!\n");
}

// Streams still listed are marked before any new one is weighed, so that the
// limits count only what stays open after this notification.
void QV_SKYPEAPPLICATION::markListedStreams(const std::vector<StreamEntry>& entries)
{
    for (auto& s : streams)
        if (s)
            s->mark = 0;
    for (const StreamEntry& e : entries)
        if (QV_SKYPESTREAM* known = findStream(e.user.c_str(), e.id))
            known->mark = 1;
    forgetUnlistedRefusals(entries);
}

void QV_SKYPEAPPLICATION::admitStream(const StreamEntry& e)
{
    bool accept = skypeModel.isAcceptablePeer(e.user.c_str()) && config->isServiceEnabled(serviceIndex) == 1
                  && (config->isClientMode() == 0 || streams.empty());
    if (!accept) {
        disconnectStream(e.user.c_str(), e.id);
        logStream("%s用 Skype STREAM は %s と　ID=%d を切断(拒否）", e.user.c_str(), e.id);
        return;
    }
    // Every stream costs a TCP manager and its connections: a contact gets a
    // few, the application a bounded number.
    const char* overLimit = nullptr;
    if (countListedStreams(e.user.c_str()) >= kMaxStreamsPerPeer)
        overLimit = "%s用 Skype STREAM は %s と　ID=%d を切断(相手ごとの上限超過）";
    else if (countListedStreams(nullptr) >= kMaxStreams)
        overLimit = "%s用 Skype STREAM は %s と　ID=%d を切断(全体の上限超過）";
    if (overLimit) {
        disconnectStream(e.user.c_str(), e.id);
        logStream(overLimit, e.user.c_str(), e.id);
        refusedOverLimit.push_back(e);
        return;
    }
    std::unique_ptr<QV_SKYPESTREAM> created(createStream(e.user.c_str(), e.id));
    bool placed = false;
    for (auto& slot : streams) {
        if (!slot) {
            slot = std::move(created);
            placed = true;
            break;
        }
    }
    if (!placed)
        streams.push_back(std::move(created));
    notifyStreamChange();
}

// The messenger no longer lists them: the peer, the messenger or this side
// closed them.
void QV_SKYPEAPPLICATION::removeUnlistedStreams()
{
    bool removed = false;
    for (auto& s : streams) {
        if (!s || s->mark != 0)
            continue;
        s->stop();
        logStream("%s用 Skype STREAM は %s と　ID=%d を切断", s->getPeerUser(), s->getStreamId());
        s.reset();
        removed = true;
    }
    if (removed)
        notifyStreamChange();
}

int QV_SKYPEAPPLICATION::countListedStreams(const char* user) const
{
    int n = 0;
    for (const auto& s : streams)
        if (s && s->mark == 1 && (!user || std::strncmp(s->getPeerUser(), user, kNameSize) == 0))
            ++n;
    return n;
}

bool QV_SKYPEAPPLICATION::isRefusedOverLimit(const char* user, int id) const
{
    for (const StreamEntry& r : refusedOverLimit)
        if (r.id == id && r.user == user)
            return true;
    return false;
}

void QV_SKYPEAPPLICATION::forgetUnlistedRefusals(const std::vector<StreamEntry>& entries)
{
    std::vector<StreamEntry> kept;
    for (const StreamEntry& r : refusedOverLimit)
        for (const StreamEntry& e : entries)
            if (e.id == r.id && e.user == r.user) {
                kept.push_back(r);
                break;
            }
    refusedOverLimit.swap(kept);
}

void QV_SKYPEAPPLICATION::onSending(const char* rest, const char* list)
{
    std::vector<StreamEntry> entries;
    StreamListResult result = parseStreamList(list, StreamListKind::Sending, entries);
    switch (result) {
        case StreamListResult::Empty:
            for (auto& s : streams)
                if (s)
                    s->setCanSend();
            printf("!!STREAM SENDING ALL CLEAR DETECT!\n");
            sendEarly();
            return;
        case StreamListResult::NoUser:
            printf("QV_SKYPEAPPLICATION::application(%s)書式エラーユーザ名なし\n", rest);
            return;
        case StreamListResult::NoId:
            printf("QV_SKYPEAPPLICATION::application(%s)書式エラー IDなし\n", rest);
            return;
        case StreamListResult::TooLong:
            printf("QV_SKYPEAPPLICATION::application(%.300s)書式エラー 長すぎる語\n", rest);
            return;
        case StreamListResult::Entries:
            break;
    }
    for (const StreamEntry& e : entries)
        if (QV_SKYPESTREAM* s = findStream(e.user.c_str(), e.id))
            s->repSending(e.bytes);
}

void QV_SKYPEAPPLICATION::onReceived(const char* rest, const char* list)
{
    std::vector<StreamEntry> entries;
    StreamListResult result = parseStreamList(list, StreamListKind::Received, entries);
    switch (result) {
        case StreamListResult::Empty:
            waitingReads.clear();
            printf("QV_SKYPEAPPLICATION::application() RECEIVE SEQ COMLETE!\n");
            return;
        case StreamListResult::NoUser:
            printf("書式エラー:APPLICATION RECEIVED %s\n", rest);
            return;
        case StreamListResult::NoId:
            printf("書式エラー\n");
            return;
        case StreamListResult::TooLong:
            printf("書式エラー:APPLICATION RECEIVED %.300s\n", rest);
            return;
        case StreamListResult::Entries:
            break;
    }
    waitingReads = std::move(entries);
    if (!readPending)
        readNext();
}

void QV_SKYPEAPPLICATION::readNext()
{
    // A stream that still holds a packet it could not hand to its socket
    // is passed over; the messenger keeps its data until it is read.
    for (const StreamEntry& e : waitingReads) {
        QV_SKYPESTREAM* s = findStream(e.user.c_str(), e.id);
        if (s && s->isHoldingPacket())
            continue;
        char command[2 * kNameSize + 64];
        std::snprintf(command, sizeof(command), "ALTER APPLICATION %s READ %s:%d", name, e.user.c_str(), e.id);
        readPending = true;
        readTicks = 0;
        if (skypeCom.send(command) == 0)
            readPending = false;
        return;
    }
}

void QV_SKYPEAPPLICATION::onDatagram(const char* rest, const char* list)
{
    char token[kStreamTokenSize];
    const char* p = *list ? list + 1 : list;
    bool bad = false;
    p = nextToken(p, token, ":", sizeof(token));
    if (!p)
        bad = true;
    if (!bad) {
        p = nextToken(p, token, "=", sizeof(token));
        if (!p)
            bad = true;
    }
    if (!bad && !nextToken(p, token, nullptr, sizeof(token)))
        bad = true;
    if (bad)
        printf("書式エラー:APPLICATION DATAGRAM %s\n", rest);
}
