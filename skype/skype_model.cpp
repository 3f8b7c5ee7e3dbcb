#include "skype/skype_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/text.h"

namespace {

QV_SKYPEMODEL* instance = nullptr;

// Words are read into a buffer of this size; a handle must also fit a record.
constexpr size_t kWordSize = 256;

bool sameHandle(const char* a, const char* b) { return std::strncmp(a, b, QV_SKYPEMODEL::kHandleSize) == 0; }

bool startsWith(const char* s, const char* word) { return std::strncmp(s, word, std::strlen(word)) == 0; }

}  // namespace

QV_SKYPEMODEL* QV_SKYPEMODEL::getInstance()
{
    if (!instance)
        instance = new QV_SKYPEMODEL(*QV_SKYPECOM::getInstance(), getConfiguration());
    return instance;
}

void QV_SKYPEMODEL::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

QV_SKYPEMODEL::QV_SKYPEMODEL(QV_SKYPECOM& com, QV_CONFIGURATION* configuration) : skypeCom(com), config(configuration)
{
    std::snprintf(name, sizeof(name), "%s", "QV_SKYPEMODEL");
    skypeCom.addListener(this);
}

QV_SKYPEMODEL::~QV_SKYPEMODEL() { skypeCom.removeListener(this); }

void QV_SKYPEMODEL::addListener(QV_SKYPEMODELLISTENER* listener) { listeners.push_back(listener); }

// Vacates the entry, so that a notification running over the array neither
// skips nor repeats a listener.
void QV_SKYPEMODEL::removeListener(QV_SKYPEMODELLISTENER* listener)
{
    std::replace(listeners.begin(), listeners.end(), listener, static_cast<QV_SKYPEMODELLISTENER*>(nullptr));
}

void QV_SKYPEMODEL::notifyListeners()
{
    for (size_t i = 0; i < listeners.size(); ++i)
        if (listeners[i])
            listeners[i]->notifyModelChange();
}

void QV_SKYPEMODEL::notifyConnectStatsuChange(int status)
{
    skypeComStatus = status;
    if (status == kSkypeAttached)
        skypeCom.send("SEARCH FRIENDS");
}

void QV_SKYPEMODEL::notifyCurrentUser(const char* rest)
{
    // A handle holds '@' and '.', so only a blank ends it.
    char word[kWordSize];
    bool tooLong = false;
    nextToken(rest, word, " ", sizeof(word), &tooLong);
    const size_t length = std::strlen(word);
    if (!tooLong && length < kHandleSize)
        std::memcpy(currentUser, word, length + 1);
    printf("QV_SKYPEMODEL::notifyCurrentUser(%s)\n", rest);
}

void QV_SKYPEMODEL::notifyCurrentUserOnlineStatus(const char* rest)
{
    char word[kWordSize];
    nextToken(rest, word, nullptr, sizeof(word));
    onlineStatus = kOnline;
    if (startsWith(word, "OFFLINE") || startsWith(word, "UNKNOWN") || startsWith(word, "LOGEDOUT"))
        onlineStatus = kOffline;
    printf("QV_SKYPEMODEL::notifyCurrentUserOnlineStatus(%s)\n", rest);
}

void QV_SKYPEMODEL::appendContact(const char* handle)
{
    Contact c{};
    std::snprintf(c.handle, sizeof(c.handle), "%s", handle);
    c.onlineStatus = kOffline;
    contacts.push_back(c);
}

QV_SKYPEMODEL::Contact* QV_SKYPEMODEL::findContact(const char* handle)
{
    for (Contact& c : contacts)
        if (sameHandle(c.handle, handle))
            return &c;
    return nullptr;
}

void QV_SKYPEMODEL::notifyUsers(const char* rest)
{
    contacts.clear();
    const char* p = rest;
    char word[kWordSize];
    // An empty reply is an empty list; an empty item or a handle that no
    // record can hold is left out rather than queried.
    while (p && *p) {
        bool tooLong = false;
        p = nextToken(p, word, ",", sizeof(word), &tooLong);
        if (word[0] == '\0')
            continue;
        if (tooLong || std::strlen(word) >= kHandleSize) {
            printf("QV_SKYPEMODEL::notifyUsers() handle too long, skipped\n");
            continue;
        }
        appendContact(word);
    }
    selected = 0;
    notifyListeners();
    char command[kHandleSize + 32];
    for (size_t i = 0; i < contacts.size(); ++i) {
        std::snprintf(command, sizeof(command), "GET USER %s ONLINESTATUS", contacts[i].handle);
        skypeCom.send(command);
    }
    skypeCom.send("GET CURRENTUSERHANDLE");
}

void QV_SKYPEMODEL::notifyUser(const char* rest)
{
    char handle[kWordSize];
    char property[kWordSize];
    char value[kWordSize];
    bool tooLong = false;
    const char* p = nextToken(rest, handle, " ", sizeof(handle), &tooLong);
    if (!p || tooLong)
        return;
    p = nextToken(p, property, nullptr, sizeof(property));
    if (!p)
        return;
    nextToken(p, value, nullptr, sizeof(value));

    if (startsWith(property, "ONLINESTATUS")) {
        int state = (startsWith(value, "OFFLINE") || startsWith(value, "UNKNOWN")) ? kOffline : kOnline;
        if (sameHandle(handle, currentUser))
            return;
        if (Contact* c = findContact(handle))
            c->onlineStatus = state;
    } else if (startsWith(property, "BUDDYSTATUS") && value[0] == '3') {
        if (!findContact(handle) && std::strlen(handle) < kHandleSize)
            appendContact(handle);
    }
}

void QV_SKYPEMODEL::setConnectable(int service, const char* text)
{
    if (service < 0 || service >= kServiceCount)
        return;
    for (Contact& c : contacts)
        c.connectable[service] = 0;
    const char* p = text;
    char word[kWordSize];
    while (p && *p) {
        bool tooLong = false;
        p = nextToken(p, word, " ", sizeof(word), &tooLong);
        if (tooLong || word[0] == '\0')
            continue;
        for (Contact& c : contacts)
            if (sameHandle(c.handle, word))
                c.connectable[service] = 1;
    }
    notifyListeners();
}

void QV_SKYPEMODEL::selectNextUser()
{
    selected += 1;
    if (static_cast<size_t>(selected) >= contacts.size())
        selected = 0;
    notifyListeners();
}

void QV_SKYPEMODEL::selectUser(const char* handle)
{
    for (size_t i = 0; i < contacts.size(); ++i)
        if (std::strcmp(contacts[i].handle, handle) == 0)
            selected = static_cast<int>(i);
    notifyListeners();
}

const char* QV_SKYPEMODEL::getSelectedUser() const
{
    return contacts.empty() ? nullptr : contacts[static_cast<size_t>(selected)].handle;
}

int QV_SKYPEMODEL::getSelectedUserStatus() const
{
    return contacts.empty() ? -1 : contacts[static_cast<size_t>(selected)].onlineStatus;
}

bool QV_SKYPEMODEL::isSelectedUserConnectable() const
{
    if (contacts.empty())
        return false;
    for (int mark : contacts[static_cast<size_t>(selected)].connectable)
        if (mark == 1)
            return true;
    return false;
}

bool QV_SKYPEMODEL::isAcceptablePeer(const char* handle) const
{
    if (config && config->getAcceptPolicy() != 0)
        return isContact(handle);
    return isSelectedUser(handle);
}

bool QV_SKYPEMODEL::isContact(const char* handle) const
{
    for (const Contact& c : contacts)
        if (sameHandle(c.handle, handle))
            return true;
    return false;
}

bool QV_SKYPEMODEL::isSelectedUser(const char* handle) const
{
    return !contacts.empty() && sameHandle(contacts[static_cast<size_t>(selected)].handle, handle);
}

void QV_SKYPEMODEL::reset()
{
    skypeComStatus = 0;
    onlineStatus = kOffline;
    std::memset(currentUser, 0, sizeof(currentUser));
    selected = 0;
    contacts.clear();
    notifyListeners();
}
