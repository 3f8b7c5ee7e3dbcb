// QV_SKYPECOM: the program's only channel to the messenger. It finds the
// messenger (a discover step at start and on every 5-second tick while not
// attached), tracks the attach status, sends command lines and hands every
// received line to its listeners by the line's first word. The messenger is
// lost (status 0) when a send fails or when the link's connection ends.
//
// The program's one instance is reached through getInstance (which builds it
// on the socket link) and ended by destroyInstance; tests build their own on
// a link of their own. Event-loop thread only: receiving, the discovery tick
// and every send run there. Listeners are not owned; one that goes before the
// instance removes itself first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "skype/api_link.h"

// Attach status values.
inline constexpr int kSkypeNotAttached = 0;
inline constexpr int kSkypeAttached = 1;
inline constexpr int kSkypePendingAuthorization = 2;
inline constexpr int kSkypeRefused = 3;
inline constexpr int kSkypeNotAvailable = 4;
inline constexpr int kSkypeApiAvailable = 0x8001;

class QV_SKYPECOMLISTENER {
public:
    virtual void notifyConnectStatsuChange(int status) { (void)status; }
    virtual void notifyCurrentUser(const char* rest) { (void)rest; }
    virtual void notifyCurrentUserOnlineStatus(const char* rest) { (void)rest; }
    virtual void notifyUsers(const char* rest) { (void)rest; }
    virtual void notifyUser(const char* rest) { (void)rest; }
    virtual void notifyA2Adata(const char* line) { (void)line; }

protected:
    ~QV_SKYPECOMLISTENER() = default;
};

class QV_SKYPECOM final : private QV_APILINKLISTENER {
public:
    static constexpr int32_t kDiscoveryPeriodMs = 5000;
    static constexpr const char* kDefaultSocketName = "SkypeControlAPI";

    static QV_SKYPECOM* getInstance();
    static void destroyInstance();

    // `link` is the transport to the messenger (owned).
    explicit QV_SKYPECOM(std::unique_ptr<QV_APILINK> link);
    ~QV_SKYPECOM();
    QV_SKYPECOM(const QV_SKYPECOM&) = delete;
    QV_SKYPECOM& operator=(const QV_SKYPECOM&) = delete;

    // The abstract socket name the default link connects to. Takes effect
    // for instances created afterwards.
    static void setSocketName(const std::string& name);

    void addListener(QV_SKYPECOMLISTENER* listener);
    // Registers `listener` ahead of all others: the controller hears every
    // line and status before the models it wires up, whenever they were made.
    void addFirstListener(QV_SKYPECOMLISTENER* listener);
    void removeListener(QV_SKYPECOMLISTENER* listener);
    // Replaces the link (before start); without a call the socket link on
    // the socket name is used.
    void setLink(std::unique_ptr<QV_APILINK> newLink);

    // Starts the discovery timer on the event loop and makes the first
    // discover step.
    void start(void* ownerWindow = nullptr);
    // Sends one command line. Nonzero when written; 0 on failure: the status
    // is 0 at once, and the listeners are told from the event loop right
    // after the running callback.
    int32_t send(const char* text);
    int getStatus() const { return status; }
    bool isAttached() const { return skypeWindow != 0; }

    // One tick of the discovery timer: a discover step while not attached.
    void onDiscoveryTick();

private:
    void broadcastDiscover();
    void onAttachFrame(uint32_t code, uint32_t handle) override;
    void onCommandFrame(uint32_t dwData, const char* data, uint32_t cbData) override;
    void onLinkClosed() override;
    // The messenger is lost: status 0 at once, the listeners told from the
    // event loop right after the running callback.
    void detach();
    void dispatch(const char* line);
    void notifyStatus();

    char name[12];
    void* ownerWindow = nullptr;
    uint32_t skypeWindow = 0;  // the messenger's handle; 0 while not attached
    std::unique_ptr<QV_APILINK> link;
    std::vector<QV_SKYPECOMLISTENER*> listeners;
    int status = kSkypeNotAttached;
    int32_t timerId = 0;
    bool failurePending = false;  // the notification of a loss is posted
    // Expires with the instance: a posted notification finds it gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};
