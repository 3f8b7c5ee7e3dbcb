#include "tunnel/a2a_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/event_loop.h"
#include "core/outbound_signal.h"
#include "core/text.h"

namespace {

QV_A2AMODEL* instance = nullptr;

bool valid(int service) { return service >= 0 && service < kServiceCount; }

}  // namespace

QV_A2AMODEL* QV_A2AMODEL::getInstance()
{
    if (!instance)
        instance = new QV_A2AMODEL(*QV_SKYPECOM::getInstance(), *QV_SKYPEMODEL::getInstance(), getConfiguration());
    return instance;
}

void QV_A2AMODEL::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

QV_A2AMODEL::QV_A2AMODEL(QV_SKYPECOM& com, QV_SKYPEMODEL& model, QV_CONFIGURATION* configuration)
    : skypeCom(com),
      skypeModel(model),
      config(configuration),
      applications{QV_SKYPEAPPLICATION(com, model, configuration), QV_SKYPEAPPLICATION(com, model, configuration),
                   QV_SKYPEAPPLICATION(com, model, configuration), QV_SKYPEAPPLICATION(com, model, configuration),
                   QV_SKYPEAPPLICATION(com, model, configuration)}
{
    static_assert(kServiceCount == 5, "one application per service");
    std::snprintf(className, sizeof(className), "%s", "QV_A2AMODEL");
    skypeCom.addListener(this);
    for (auto& app : applications)
        app.addListener(this);
    // The timers and the watch end in the destructor, before the model.
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        fastTimer = loop->startTimer(kFastTickMs, [this] { onFastTick(); });
        slowTimer = loop->startTimer(kSlowTickMs, [this] { onSlowTick(); });
        if (outboundSignalFd() >= 0)
            outboundWatch = loop->watchReadable(outboundSignalFd(), [this] {
                drainOutboundSignal();
                onOutbound();
            });
    }
}

QV_A2AMODEL::~QV_A2AMODEL()
{
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        if (fastTimer != 0)
            loop->stopTimer(fastTimer);
        if (slowTimer != 0)
            loop->stopTimer(slowTimer);
        if (outboundWatch != 0)
            loop->unwatch(outboundWatch);
    }
    listeners.clear();
    for (auto& app : applications)
        app.removeListener(this);
    skypeCom.removeListener(this);
}

// Vacates the entry, so that a notification running over the array neither
// skips nor repeats a listener.
void QV_A2AMODEL::removeListener(QV_A2AMODELLISTENER* listener)
{
    std::replace(listeners.begin(), listeners.end(), listener, static_cast<QV_A2AMODELLISTENER*>(nullptr));
}

void QV_A2AMODEL::setApplicationName(int service, const char* name)
{
    if (!valid(service))
        return;
    applications[service].setApplicationName(name);
    applications[service].setServiceIndex(service);
}

void QV_A2AMODEL::onFastTick()
{
    for (auto& app : applications)
        app.onIntervalTimer();
}

void QV_A2AMODEL::onOutbound()
{
    for (auto& app : applications)
        app.sendEarly();
}

void QV_A2AMODEL::onSlowTick()
{
    for (auto& app : applications)
        app.onThroughputTimer();
}

void QV_A2AMODEL::notifyConnectStatsuChange(int status)
{
    printf("QV_A2AMODEL::notifyConnectStatsuChange(%d)\n", status);
    if (status == kSkypeAttached)
        createA2AApplication();
}

void QV_A2AMODEL::createA2AApplication()
{
    printf("QV_A2AMODEL::createA2AApplication()\n");
    for (auto& app : applications)
        app.createApplication();
}

void QV_A2AMODEL::notifyA2Adata(const char* line)
{
    char first[256];
    char second[256];
    char third[256];
    const char* p = nextToken(line, first, nullptr, sizeof(first));
    if (std::strcmp(first, "CREATE") == 0) {
        for (auto& app : applications)
            if (app.replyCreateApplication(line) == 1)
                return;
        return;
    }
    if (std::strcmp(first, "DELETE") == 0)
        return;
    const char* afterSecond = p ? nextToken(p, second, nullptr, sizeof(second)) : nullptr;
    if (!p)
        second[0] = '\0';
    if (std::strcmp(first, "ALTER") == 0 && std::strcmp(second, "APPLICATION") == 0) {
        // The name ends at a blank only: names are letters and digits, and
        // the text after it starts one character on.
        bool tooLong = false;
        const char* afterName = afterSecond ? nextToken(afterSecond, third, " ", sizeof(third), &tooLong) : nullptr;
        if (!afterSecond || tooLong)
            return;
        for (auto& app : applications) {
            if (app.getName()[0] != '\0' && app.isApplicationName(third)) {
                app.replyAlterApplication(afterName ? afterName : "");
                return;
            }
        }
        return;
    }
    if (std::strcmp(first, "APPLICATION") == 0) {
        bool tooLong = false;
        const char* afterName = p ? nextToken(p, second, " ", sizeof(second), &tooLong) : nullptr;
        if (!p || tooLong)
            return;
        for (auto& app : applications) {
            if (app.getName()[0] != '\0' && app.isApplicationName(second)) {
                app.application(afterName ? afterName : "");
                return;
            }
        }
        return;
    }
    printf("QV_A2AMODEL::notifyA2Adata():未サポート書式：%s\n", line);
}

void QV_A2AMODEL::notifyStreamChange()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyStreamChange();
}

void QV_A2AMODEL::notifyThroughput(int service, double sent, double received)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyThroughput(service, sent, received);
}

void QV_A2AMODEL::notifyListenFailed(int port, int error)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyListenFailed(port, error);
}

void QV_A2AMODEL::connectAll()
{
    const char* user = skypeModel.getSelectedUser();
    if (!user)
        return;
    for (int k = 0; k < kServiceCount; ++k)
        if (config->isServiceEnabled(k) && !applications[k].hasStreamWithUser(user))
            applications[k].connect(user);
}

void QV_A2AMODEL::disconnectAll()
{
    for (auto& app : applications)
        app.disconnectStreams();
}

void QV_A2AMODEL::reset()
{
    for (auto& app : applications)
        app.cancelAllStreams();
}

bool QV_A2AMODEL::hasAnyStream() const
{
    for (const auto& app : applications)
        if (app.hasStreamEntries())
            return true;
    return false;
}

bool QV_A2AMODEL::isListening(int service) const
{
    return valid(service) && applications[service].anyStreamListening();
}

bool QV_A2AMODEL::isConnected(int service) const
{
    return valid(service) && applications[service].anyStreamConnected();
}

bool QV_A2AMODEL::isPeerConnected(int service) const
{
    return valid(service) && applications[service].anyStreamPeerConnected();
}
