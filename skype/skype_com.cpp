#include "skype/skype_com.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/event_loop.h"
#include "core/eventlog.h"
#include "skype/api_socket_link.h"

namespace {

QV_SKYPECOM* instance = nullptr;
std::string socketName = QV_SKYPECOM::kDefaultSocketName;

// Trace copies of the lines, as long as the console shows them.
char outgoingPrint[513];
char incomingPrint[513];

void copyForPrint(char* dst, const char* src, size_t n)
{
    std::memset(dst, 0, 513);
    std::memcpy(dst, src, n < 512 ? n : 512);
}

bool startsWith(const char* line, const char* word) { return std::strncmp(line, word, std::strlen(word)) == 0; }

// The text one character after the word; empty when the line ends there.
const char* restAfter(const char* line, const char* word)
{
    size_t n = std::strlen(word);
    return line[n] == '\0' ? line + n : line + n + 1;
}

}  // namespace

QV_SKYPECOM* QV_SKYPECOM::getInstance()
{
    if (!instance)
        instance = new QV_SKYPECOM(std::make_unique<QV_APISOCKETLINK>(socketName));
    return instance;
}

void QV_SKYPECOM::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

void QV_SKYPECOM::setSocketName(const std::string& name) { socketName = name; }

QV_SKYPECOM::QV_SKYPECOM(std::unique_ptr<QV_APILINK> newLink) : link(std::move(newLink))
{
    std::snprintf(name, sizeof(name), "%s", "QV_SKYPECOM");
    if (link)
        link->setListener(this);
    // The frame types stand for the two registered messages; their numbers
    // are the letters.
    printf("RegisterWindowMessage(Get SkypeControlAPIAttach Message):message=%x\n", 'A');
    printf("RegisterWindowMessage(Get SkypeControlAPIDiscover):message=%x\n", 'D');
}

QV_SKYPECOM::~QV_SKYPECOM()
{
    if (timerId != 0)
        if (QV_EVENTLOOP* loop = getEventLoop())
            loop->stopTimer(timerId);
    listeners.clear();
    link.reset();
}

void QV_SKYPECOM::addListener(QV_SKYPECOMLISTENER* listener) { listeners.push_back(listener); }

void QV_SKYPECOM::addFirstListener(QV_SKYPECOMLISTENER* listener) { listeners.insert(listeners.begin(), listener); }

// Called from inside a notification too (a listener that ends another one):
// the entry is vacated, not erased, so that the loop running over the array
// neither skips nor repeats a listener.
void QV_SKYPECOM::removeListener(QV_SKYPECOMLISTENER* listener)
{
    std::replace(listeners.begin(), listeners.end(), listener, static_cast<QV_SKYPECOMLISTENER*>(nullptr));
}

void QV_SKYPECOM::setLink(std::unique_ptr<QV_APILINK> newLink)
{
    link = std::move(newLink);
    if (link)
        link->setListener(this);
}

void QV_SKYPECOM::start(void* owner)
{
    ownerWindow = owner;
    if (timerId == 0)
        if (QV_EVENTLOOP* loop = getEventLoop())
            timerId = loop->startTimer(kDiscoveryPeriodMs, [this] { onDiscoveryTick(); });
    printf("Message to skype(0):skypeControlAPIDiscover\n");
    broadcastDiscover();
}

void QV_SKYPECOM::onDiscoveryTick() { broadcastDiscover(); }

void QV_SKYPECOM::broadcastDiscover()
{
    if (skypeWindow != 0 || !link)
        return;
    int32_t ret = link->discover();
    printf("●<-broadcastMessage() to skype ret=%d\n", ret);
}

void QV_SKYPECOM::notifyStatus()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyConnectStatsuChange(status);
}

void QV_SKYPECOM::onAttachFrame(uint32_t code, uint32_t handle)
{
    switch (code) {
        case 0:
            printf("CTLAPI->:SKYPECONTROLAPI_ATTACH_SUCCESS, SkypeHandle=%x\n", handle);
            status = kSkypeAttached;
            // A handle of 0 would read as "not attached"; any nonzero value
            // stands for the messenger's window.
            skypeWindow = handle != 0 ? handle : 1;
            break;
        case 1:
            if (status != kSkypeAttached)
                status = kSkypePendingAuthorization;
            printf("CTLAPI->:SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION\n");
            break;
        case 2:
            printf("CTLAPI->:SKYPECONTROLAPI_ATTACH_REFUSE\n");
            status = kSkypeRefused;
            break;
        case 3:
            printf("CTLAPI->:SKYPECONTROLAPI_ATTCH_NOT_AVAILABLE\n");
            status = kSkypeNotAvailable;
            break;
        case 0x8001:
            status = kSkypeApiAvailable;
            printf("CTLAPI->:SKYPECONTROLAPI_ATTCH_API_AVAILABLE\n");
            break;
        default:
            break;
    }
    notifyStatus();
    printf("**MSG OWARI\n");
}

int32_t QV_SKYPECOM::send(const char* text)
{
    auto n = static_cast<uint32_t>(std::strlen(text) + 1);
    copyForPrint(outgoingPrint, text, n);
    printf("<-(%u): %.*s\n", 0u, static_cast<int>(n), outgoingPrint);
    int32_t ret = (skypeWindow != 0 && link) ? link->sendCommand(text, n) : 0;
    if (ret != 0)
        return ret;
    printf("Message to skype failure!!! ret=%d\n", ret);
    detach();
    return 0;
}

void QV_SKYPECOM::onLinkClosed()
{
    // Nothing to lose while no attach has begun; the discovery tick opens
    // the next connection.
    if (skypeWindow == 0 && status == kSkypeNotAttached)
        return;
    detach();
}

void QV_SKYPECOM::detach()
{
    printf("★SKYCOMSTATUS CHANGE SKYPECONTROLAPI_NO_ATTACH\n");
    skypeWindow = 0;
    status = kSkypeNotAttached;
    QV_EVENTLOG::getInstance()->write(2, "SkypeDriverへの通知に失敗しました。Skypeは未接続");
    // The sender may be a stream inside its own tick, and the listeners'
    // reaction destroys every stream: tell them once the running callback
    // has returned. Losses before that are told once.
    QV_EVENTLOOP* loop = getEventLoop();
    if (!loop) {
        notifyStatus();
    } else if (!failurePending) {
        failurePending = true;
        loop->post([this, token = std::weak_ptr<int>(alive)] {
            if (token.expired())
                return;
            failurePending = false;
            notifyStatus();
        });
    }
}

void QV_SKYPECOM::onCommandFrame(uint32_t dwData, const char* data, uint32_t cbData)
{
    if (skypeWindow == 0)
        return;
    copyForPrint(incomingPrint, data, cbData);
    printf("->(%u): %.*s\n", dwData, static_cast<int>(cbData), incomingPrint);
    if (cbData == 0)
        return;
    dispatch(data);
}

void QV_SKYPECOM::dispatch(const char* line)
{
    // Prefix comparisons in this order: "USERS" and "USERSTATUS" are tested
    // before "USER".
    static const char* const a2aWords[] = {"CREATE", "DELETE", "ALTER", "APPLICATION"};
    for (const char* word : a2aWords) {
        if (startsWith(line, word)) {
            for (size_t i = 0; i < listeners.size(); ++i)
                if (listeners[i])
                    listeners[i]->notifyA2Adata(line);
            return;
        }
    }
    if (startsWith(line, "CONNSTATUS"))
        return;
    using Handler = void (QV_SKYPECOMLISTENER::*)(const char*);
    struct Route {
        const char* word;
        Handler handler;
    };
    static const Route routes[] = {
        {"CURRENTUSERHANDLE", &QV_SKYPECOMLISTENER::notifyCurrentUser},
        {"USERSTATUS", &QV_SKYPECOMLISTENER::notifyCurrentUserOnlineStatus},
        {"USERS", &QV_SKYPECOMLISTENER::notifyUsers},
        {"USER", &QV_SKYPECOMLISTENER::notifyUser},
    };
    for (const Route& route : routes) {
        if (startsWith(line, route.word)) {
            const char* rest = restAfter(line, route.word);
            for (size_t i = 0; i < listeners.size(); ++i)
                if (listeners[i])
                    (listeners[i]->*route.handler)(rest);
            return;
        }
    }
    if (startsWith(line, "CALL"))
        return;
    printf("未サポートの書式\n");
}
