// QV_GATECONTROL: the one object through which the window reaches the model.
// It takes the process-wide model objects (event log, messenger link, user
// model, A2A model), listens to each, names the five applications, starts
// the messenger link, forwards the window's requests down and the models'
// reports up to its own listeners. Its one reaction of its own: when the
// link is lost (status 0) it resets the A2A model and the user model.
//
// Owned by the window; event-loop thread only, except notifyLogLine, which
// arrives on whatever thread writes the log. Listeners are not owned. Built
// without arguments it takes the process's instances (the event log now, the
// others at start) and destroys them with itself; built with its four
// collaborators it uses those, which must outlive it, and leaves them be.
#pragma once

#include <string>
#include <vector>

#include "core/eventlog.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "tunnel/a2a_model.h"

class QV_GATELISTENER {
public:
    virtual void notifyLogLine(const char* line) = 0;
    virtual void notifySkypeComStatusChange() = 0;
    virtual void notifyModelChange() = 0;
    virtual void notifyStreamChange() = 0;
    virtual void notifyThroughput(int service, double sentRate, double receivedRate) = 0;
    // A stream's port could not listen; `error`: the errno why.
    virtual void notifyListenFailed(int port, int error) = 0;

protected:
    ~QV_GATELISTENER() = default;
};

class QV_GATECONTROL final : public QV_SKYPECOMLISTENER,
                             public QV_SKYPEMODELLISTENER,
                             public QV_A2AMODELLISTENER,
                             public QV_EVENTLOGLISTENER {
public:
    QV_GATECONTROL();
    QV_GATECONTROL(QV_EVENTLOG& eventLog, QV_SKYPECOM& skypeCom, QV_SKYPEMODEL& skypeModel, QV_A2AMODEL& a2aModel);
    ~QV_GATECONTROL();
    QV_GATECONTROL(const QV_GATECONTROL&) = delete;
    QV_GATECONTROL& operator=(const QV_GATECONTROL&) = delete;

    void addListener(QV_GATELISTENER* listener) { listeners.push_back(listener); }
    void start(void* window);

    int getSkypeComStatus() const { return skypeCom ? skypeCom->getStatus() : 0; }
    void connectAll() { a2aModel->connectAll(); }
    void disconnectAll() { a2aModel->disconnectAll(); }
    const char* getSelectedUser() const { return skypeModel->getSelectedUser(); }
    int getSelectedUserStatus() const { return skypeModel->getSelectedUserStatus(); }
    bool isSelectedUserConnectable() const { return skypeModel->isSelectedUserConnectable(); }
    void selectNextUser() { skypeModel->selectNextUser(); }
    void selectUser(const char* handle) { skypeModel->selectUser(handle); }
    // The handles of the contact list, in list order; none before start.
    std::vector<std::string> getContactHandles() const;
    bool hasAnyStream() const { return a2aModel->hasAnyStream(); }
    bool isListening(int service) const { return a2aModel->isListening(service); }
    bool isConnected(int service) const { return a2aModel->isConnected(service); }
    bool isPeerConnected(int service) const { return a2aModel->isPeerConnected(service); }
    bool isFtpDataListening() const { return a2aModel->isFtpDataListening(); }
    bool isFtpDataConnected() const { return a2aModel->isFtpDataConnected(); }
    bool isFtpDataPeerConnected() const { return a2aModel->isFtpDataPeerConnected(); }

    // QV_SKYPECOMLISTENER
    void notifyConnectStatsuChange(int status) override;
    // QV_SKYPEMODELLISTENER
    void notifyModelChange() override;
    // QV_A2AMODELLISTENER
    void notifyStreamChange() override;
    void notifyThroughput(int service, double sent, double received) override;
    void notifyListenFailed(int port, int error) override;
    // QV_EVENTLOGLISTENER
    void notifyLogLine(const char* line) override;

private:
    QV_EVENTLOG* eventLog;
    bool ownsInstances;
    void* window = nullptr;
    QV_SKYPECOM* skypeCom = nullptr;
    QV_SKYPEMODEL* skypeModel = nullptr;
    QV_A2AMODEL* a2aModel = nullptr;
    std::vector<QV_GATELISTENER*> listeners;
};
