// QV_SKYPEAPPLICATION: one AP2AP application, that is one tunnelled service.
// It registers its name with the messenger, polls which contacts run it,
// asks for streams and closes them, keeps the table of its open streams
// (QV_SKYPESTREAM, owned), hands READ replies to them, drives their 20 ms
// tick and reports stream changes and throughput to its listener.
//
// The A2A model owns five of them and gives each the messenger link, the user
// model and the configuration, which must outlive it; the application hands
// the link and the configuration on to its streams. Event-loop thread only.
// Stream table entries keep their positions: a stream that goes leaves a null
// entry, which the next new stream takes.
#pragma once

#include <memory>
#include <vector>

#include "core/configuration.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "skype/stream_list.h"
#include "tunnel/skype_stream.h"

class QV_SKYPEAPPLICATIONLISTENER {
public:
    virtual void notifyStreamChange() = 0;
    virtual void notifyThroughput(int service, double sent, double received) = 0;
    // A new stream's port could not listen; `error`: the errno why.
    virtual void notifyListenFailed(int port, int error) = 0;

protected:
    ~QV_SKYPEAPPLICATIONLISTENER() = default;
};

class QV_SKYPEAPPLICATION {
public:
    static constexpr size_t kNameSize = 100;
    static constexpr int kPollTicks = 300;
    // A READ that gets no reply within this many ticks no longer holds back
    // the next one.
    static constexpr int kReadReplyTicks = 250;

    // Streams the server application keeps open at a time. The client opens
    // one stream per service to its peer; a second one of the same contact
    // lives while the messenger still lists the stream of a client that
    // reconnects (its program or its messenger restarted) before the old one
    // is reported closed.
    static constexpr int kMaxStreamsPerPeer = 2;
    static constexpr int kMaxStreams = 32;

    static constexpr int kNotRegistered = 0;
    static constexpr int kRegistered = 1;
    static constexpr int kStreamCreated = 2;

    // `config` gives the accept rules and the settings of the streams.
    QV_SKYPEAPPLICATION(QV_SKYPECOM& skypeCom, QV_SKYPEMODEL& skypeModel, QV_CONFIGURATION* config);
    ~QV_SKYPEAPPLICATION();
    QV_SKYPEAPPLICATION(const QV_SKYPEAPPLICATION&) = delete;
    QV_SKYPEAPPLICATION& operator=(const QV_SKYPEAPPLICATION&) = delete;

    void setApplicationName(const char* newName);
    void setServiceIndex(int index) { serviceIndex = index; }
    void addListener(QV_SKYPEAPPLICATIONLISTENER* listener) { listeners.push_back(listener); }
    void removeListener(QV_SKYPEAPPLICATIONLISTENER* listener);

    void createApplication();
    int replyCreateApplication(const char* line);
    bool isApplicationName(const char* word) const;
    void connect(const char* user);
    bool hasStreamWithUser(const char* user) const;
    void replyAlterApplication(const char* rest);
    void disconnectStream(const char* user, int id);
    void disconnectStreams();
    QV_SKYPESTREAM* createStream(const char* user, int id);
    void cancelAllStreams();
    void onIntervalTimer();
    // Lets every stream send what need not wait for the next tick.
    void sendEarly();
    void onThroughputTimer();
    bool hasStreamEntries() const { return !streams.empty(); }

    bool anyStreamListening() const;
    bool anyStreamConnected() const;
    bool anyStreamPeerConnected() const;
    bool anyDataLinkListening() const;
    bool anyDataLinkConnected() const;
    bool anyDataLinkPeerConnected() const;

    // The notification parser: `rest` follows "APPLICATION <name> ".
    void application(const char* rest);

    const char* getName() const { return name; }
    int getServiceIndex() const { return serviceIndex; }
    int getState() const { return state; }
    // Table entries, null for a vacated one.
    size_t getStreamEntryCount() const { return streams.size(); }
    QV_SKYPESTREAM* getStream(size_t i) const { return streams[i].get(); }

private:
    void notifyStreamChange();
    void onStreams(const char* rest, const char* list);
    // The parts of onStreams: an empty list ends every stream; a list marks
    // the streams it names, admits (or refuses) the new ones and ends those
    // it leaves out.
    void dropAllStreams();
    void markListedStreams(const std::vector<StreamEntry>& entries);
    void admitStream(const StreamEntry& entry);
    void removeUnlistedStreams();
    void onSending(const char* rest, const char* list);
    void onReceived(const char* rest, const char* list);
    void onDatagram(const char* rest, const char* list);
    QV_SKYPESTREAM* findStream(const char* user, int id) const;
    // Streams of the table marked as listed, of `user` (null: of anyone).
    int countListedStreams(const char* user) const;
    // A stream refused over a limit is disconnected and logged once; while
    // the messenger still lists it, it is passed over.
    bool isRefusedOverLimit(const char* user, int id) const;
    void forgetUnlistedRefusals(const std::vector<StreamEntry>& entries);
    // Sends READ for the first waiting stream that can take a packet.
    void readNext();
    void logStream(const char* format, const char* user, int id);
    bool anyStream(bool (QV_SKYPESTREAM::*query)() const) const;

    char className[20];
    QV_SKYPECOM& skypeCom;
    QV_SKYPEMODEL& skypeModel;
    QV_CONFIGURATION* config;
    int serviceIndex = 0;
    char name[kNameSize] = {};
    char createCommand[2048] = {};
    char peer[kNameSize] = {};
    int state = kNotRegistered;
    int pollCounter = 0;
    std::vector<std::unique_ptr<QV_SKYPESTREAM>> streams;
    std::vector<QV_SKYPEAPPLICATIONLISTENER*> listeners;

    // Streams named by the last RECEIVED notification, and the READ that
    // is on its way: at most one per application, so a stream never gets a
    // second packet while it still holds one.
    std::vector<StreamEntry> waitingReads;
    std::vector<StreamEntry> refusedOverLimit;
    bool readPending = false;
    int readTicks = 0;
};
