#include "control/gate_control.h"

#include "core/configuration.h"
#include "tcp/socket_tcp.h"

QV_GATECONTROL::QV_GATECONTROL() : eventLog(QV_EVENTLOG::getInstance()), ownsInstances(true)
{
    eventLog->addListener(this);
}

QV_GATECONTROL::QV_GATECONTROL(QV_EVENTLOG& log, QV_SKYPECOM& com, QV_SKYPEMODEL& model, QV_A2AMODEL& a2a)
    : eventLog(&log), ownsInstances(false), skypeCom(&com), skypeModel(&model), a2aModel(&a2a)
{
    eventLog->addListener(this);
}

QV_GATECONTROL::~QV_GATECONTROL()
{
    listeners.clear();
    eventLog->removeListener(this);
    if (skypeCom) {
        a2aModel->removeListener(this);
        skypeModel->removeListener(this);
        skypeCom->removeListener(this);
    }
    if (!ownsInstances)
        return;
    QV_A2AMODEL::destroyInstance();
    a2aModel = nullptr;
    QV_SKYPEMODEL::destroyInstance();
    skypeModel = nullptr;
    QV_SKYPECOM::destroyInstance();
    skypeCom = nullptr;
    QV_EVENTLOG::destroyInstance();
}

void QV_GATECONTROL::start(void* ownerWindow)
{
    window = ownerWindow;
    // The controller hears the link first: the process's models are made
    // after it registered, and given ones registered when they were made.
    if (ownsInstances) {
        skypeCom = QV_SKYPECOM::getInstance();
        skypeCom->addListener(this);
        skypeModel = QV_SKYPEMODEL::getInstance();
        a2aModel = QV_A2AMODEL::getInstance();
    } else {
        skypeCom->addFirstListener(this);
    }
    skypeModel->addListener(this);
    a2aModel->addListener(this);

    a2aModel->setApplicationName(0, getConfiguration()->getFtpApplicationName());
    a2aModel->setApplicationName(1, "CorvaneForHttp000");
    a2aModel->setApplicationName(2, "CorvaneForCvs0000");
    a2aModel->setApplicationName(3, "CorvaneForVnc0000");
    a2aModel->setApplicationName(4, "CorvaneForTcp2000");

    skypeCom->start(window);

    // Self-test of the socket layer: can this process listen at all?
    QV_SOCKETTCP probe;
    probe.createServerSocketAnyPort(100);
}

std::vector<std::string> QV_GATECONTROL::getContactHandles() const
{
    std::vector<std::string> handles;
    if (skypeModel)
        for (size_t i = 0; i < skypeModel->getContactCount(); ++i)
            handles.emplace_back(skypeModel->getContact(i).handle);
    return handles;
}

// Each loop re-reads the size: a listener may add another.
void QV_GATECONTROL::notifyConnectStatsuChange(int status)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifySkypeComStatusChange();
    if (status == kSkypeNotAttached) {
        if (a2aModel)
            a2aModel->reset();
        if (skypeModel)
            skypeModel->reset();
    }
}

void QV_GATECONTROL::notifyModelChange()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifyModelChange();
}

void QV_GATECONTROL::notifyStreamChange()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifyStreamChange();
}

void QV_GATECONTROL::notifyThroughput(int service, double sent, double received)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifyThroughput(service, sent, received);
}

void QV_GATECONTROL::notifyListenFailed(int port, int error)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifyListenFailed(port, error);
}

void QV_GATECONTROL::notifyLogLine(const char* line)
{
    for (size_t i = 0; i < listeners.size(); ++i)
        listeners[i]->notifyLogLine(line);
}
