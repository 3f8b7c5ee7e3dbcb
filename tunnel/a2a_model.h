// QV_A2AMODEL: owns the five AP2AP applications (slot 0 FTP, 1-4 settings 1
// to 4). As a listener of QV_SKYPECOM it registers them when the messenger
// attaches and routes every application line to the right one; it runs the
// 20 ms tick (streams, CONNECTABLE polls) and the 1000 ms tick (throughput)
// in slot order, and carries the controller's requests down and the
// applications' reports up.
//
// Construction registers it with the QV_SKYPECOM it is given and starts both
// ticks on the event loop; destruction undoes both. It hands its applications
// the messenger link, the user model and the configuration, each of which
// must outlive it. The program's one instance is reached through
// getInstance, built on the process's instances of those. Event-loop thread
// only. Listeners are not owned; one that goes first removes itself.
//
// The event log is the one collaborator not handed down: the messenger link,
// this model and everything below it (applications, streams, TCP managers,
// connection threads) only write to it, from every thread, and reach it
// through QV_EVENTLOG::getInstance(). Only the controller listens to it.
#pragma once

#include <vector>

#include "core/configuration.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "tunnel/skype_application.h"

class QV_A2AMODELLISTENER {
public:
    virtual void notifyStreamChange() = 0;
    virtual void notifyThroughput(int service, double sent, double received) = 0;
    // A stream's port could not listen; `error`: the errno why.
    virtual void notifyListenFailed(int port, int error) = 0;

protected:
    ~QV_A2AMODELLISTENER() = default;
};

class QV_A2AMODEL final : public QV_SKYPECOMLISTENER, public QV_SKYPEAPPLICATIONLISTENER {
public:
    static constexpr int32_t kFastTickMs = 20;
    static constexpr int32_t kSlowTickMs = 1000;

    static QV_A2AMODEL* getInstance();
    static void destroyInstance();

    // `config` gives the enabled services and the applications' settings.
    QV_A2AMODEL(QV_SKYPECOM& skypeCom, QV_SKYPEMODEL& skypeModel, QV_CONFIGURATION* config);
    ~QV_A2AMODEL();
    QV_A2AMODEL(const QV_A2AMODEL&) = delete;
    QV_A2AMODEL& operator=(const QV_A2AMODEL&) = delete;

    void addListener(QV_A2AMODELLISTENER* listener) { listeners.push_back(listener); }
    void removeListener(QV_A2AMODELLISTENER* listener);
    void setApplicationName(int service, const char* name);

    void notifyConnectStatsuChange(int status) override;
    void notifyA2Adata(const char* line) override;
    void notifyStreamChange() override;
    void notifyThroughput(int service, double sent, double received) override;
    void notifyListenFailed(int port, int error) override;

    void createA2AApplication();
    void connectAll();
    void disconnectAll();
    void reset();
    bool hasAnyStream() const;
    bool isListening(int service) const;
    bool isConnected(int service) const;
    bool isPeerConnected(int service) const;
    bool isFtpDataListening() const { return applications[0].anyDataLinkListening(); }
    bool isFtpDataConnected() const { return applications[0].anyDataLinkConnected(); }
    bool isFtpDataPeerConnected() const { return applications[0].anyDataLinkPeerConnected(); }

    // The two ticks, as the event loop calls them.
    void onFastTick();
    void onSlowTick();
    // A connection thread queued a packet for the peer.
    void onOutbound();

    QV_SKYPEAPPLICATION& getApplication(int service) { return applications[service]; }

private:
    char className[12];
    QV_SKYPECOM& skypeCom;
    QV_SKYPEMODEL& skypeModel;
    QV_CONFIGURATION* config;
    int32_t fastTimer = 0;
    int32_t slowTimer = 0;
    int32_t outboundWatch = 0;
    std::vector<QV_A2AMODELLISTENER*> listeners;
    QV_SKYPEAPPLICATION applications[kServiceCount];
};
