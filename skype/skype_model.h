// QV_SKYPEMODEL: what the program knows about people on the messenger: the
// own handle and online state, and the contacts with an online state and a
// connectable mark per service. One contact is the selected peer. Everything
// is learnt from the messenger's lines (as a QV_SKYPECOMLISTENER) and from
// the CONNECTABLE notifications the application parser hands over.
//
// Construction registers it with the QV_SKYPECOM it is given, destruction
// removes it; the messenger link and the configuration must outlive it. The
// program's one instance is reached through getInstance, built on the
// process's messenger link and configuration. Event-loop thread only.
// Listeners are not owned; one that goes first removes itself.
#pragma once

#include <cstddef>
#include <vector>

#include "core/configuration.h"
#include "skype/skype_com.h"

class QV_SKYPEMODELLISTENER {
public:
    virtual void notifyModelChange() = 0;

protected:
    ~QV_SKYPEMODELLISTENER() = default;
};

class QV_SKYPEMODEL final : public QV_SKYPECOMLISTENER {
public:
    // Handles are bare JIDs, longer than the names the field was first made
    // for; 99 characters and the terminating zero.
    static constexpr size_t kHandleSize = 100;
    static constexpr int kOffline = 1;
    static constexpr int kOnline = 2;

    struct Contact {
        char handle[kHandleSize];
        int onlineStatus;
        int connectable[kServiceCount];
    };

    static QV_SKYPEMODEL* getInstance();
    static void destroyInstance();

    // `config` (may be null: the selected contact only is acceptable) gives
    // the accept policy.
    QV_SKYPEMODEL(QV_SKYPECOM& skypeCom, QV_CONFIGURATION* config);
    ~QV_SKYPEMODEL();
    QV_SKYPEMODEL(const QV_SKYPEMODEL&) = delete;
    QV_SKYPEMODEL& operator=(const QV_SKYPEMODEL&) = delete;

    void addListener(QV_SKYPEMODELLISTENER* listener);
    void removeListener(QV_SKYPEMODELLISTENER* listener);

    void notifyConnectStatsuChange(int status) override;
    void notifyCurrentUser(const char* rest) override;
    void notifyCurrentUserOnlineStatus(const char* rest) override;
    void notifyUsers(const char* rest) override;
    void notifyUser(const char* rest) override;

    void reset();
    const char* getSelectedUser() const;
    int getSelectedUserStatus() const;
    bool isSelectedUserConnectable() const;
    void selectNextUser();
    void selectUser(const char* handle);
    void setConnectable(int service, const char* text);
    bool isAcceptablePeer(const char* handle) const;
    bool isContact(const char* handle) const;
    bool isSelectedUser(const char* handle) const;

    // For the window.
    size_t getContactCount() const { return contacts.size(); }
    const Contact& getContact(size_t i) const { return contacts[i]; }
    int getSelectedIndex() const { return selected; }
    const char* getCurrentUser() const { return currentUser; }
    int getOnlineStatus() const { return onlineStatus; }
    int getSkypeComStatus() const { return skypeComStatus; }

private:
    void notifyListeners();
    void appendContact(const char* handle);
    Contact* findContact(const char* handle);

    char name[14];
    QV_SKYPECOM& skypeCom;
    QV_CONFIGURATION* config;
    int skypeComStatus = 0;
    int onlineStatus = kOffline;
    char currentUser[kHandleSize] = {};
    int selected = 0;
    std::vector<Contact> contacts;
    std::vector<QV_SKYPEMODELLISTENER*> listeners;
};
