#include "tests/support/xmpp_tamper_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>

namespace {

constexpr const char* kNsIbb = "http://jabber.org/protocol/ibb";
constexpr size_t kReadSize = 65536;
// A side is not read while this much waits to be written to the other.
constexpr size_t kMaxQueued = 4 * 1024 * 1024;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The position of the element `<name` in `xml` from `from` (not a longer
// name that starts alike); npos when there is none. `heldFrom` is where the
// text must be held back because it ends before the element can be told
// (npos when it need not).
size_t findElement(const std::string& xml, const std::string& name, size_t from, size_t& heldFrom)
{
    const std::string open = "<" + name;
    heldFrom = std::string::npos;
    for (size_t at = xml.find(open, from); at != std::string::npos; at = xml.find(open, at + 1)) {
        size_t next = at + open.size();
        if (next >= xml.size()) {
            heldFrom = at;
            return std::string::npos;
        }
        char c = xml[next];
        if (isSpace(c) || c == '>' || c == '/')
            return at;
    }
    // A partial "<na" at the very end may still become the element.
    for (size_t keep = std::min(open.size() - 1, xml.size() - from); keep > 0; --keep)
        if (xml.compare(xml.size() - keep, keep, open, 0, keep) == 0) {
            heldFrom = xml.size() - keep;
            break;
        }
    return std::string::npos;
}

// The value of attribute `name` in the start tag xml[begin, end): its
// position and length; false when the tag has no such attribute.
bool findAttribute(const std::string& xml, size_t begin, size_t end, const std::string& name, size_t& at, size_t& len)
{
    for (size_t p = xml.find(name, begin); p != std::string::npos && p < end; p = xml.find(name, p + 1)) {
        if (!isSpace(xml[p - 1]))
            continue;
        size_t q = p + name.size();
        while (q < end && isSpace(xml[q]))
            ++q;
        if (q >= end || xml[q] != '=')
            continue;
        ++q;
        while (q < end && isSpace(xml[q]))
            ++q;
        if (q >= end || (xml[q] != '\'' && xml[q] != '"'))
            continue;
        size_t close = xml.find(xml[q], q + 1);
        if (close == std::string::npos || close >= end)
            return false;
        at = q + 1;
        len = close - at;
        return true;
    }
    return false;
}

bool decodeBase64(const std::string& text, std::string& bytes)
{
    bytes.assign(text.size() * 3 / 4 + 3, '\0');
    size_t len = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          " \t\r\n", &len, nullptr, sodium_base64_VARIANT_ORIGINAL)
        != 0)
        return false;
    bytes.resize(len);
    return true;
}

std::string encodeBase64(const std::string& bytes)
{
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

// Where the IBB <data> element of `xml` is: its start tag [tag, tagEnd)
// (tagEnd just past '>') and its content [tagEnd, contentEnd). False when
// `xml` holds none.
bool findIbbData(const std::string& xml, size_t from, size_t& tag, size_t& tagEnd, size_t& contentEnd)
{
    size_t heldFrom = 0;
    for (size_t at = findElement(xml, "data", from, heldFrom); at != std::string::npos;
         at = findElement(xml, "data", at + 1, heldFrom)) {
        size_t gt = xml.find('>', at);
        if (gt == std::string::npos)
            return false;
        size_t ns = 0, nsLen = 0;
        if (!findAttribute(xml, at, gt, "xmlns", ns, nsLen) || xml.compare(ns, nsLen, kNsIbb) != 0)
            continue;
        tag = at;
        tagEnd = gt + 1;
        if (xml[gt - 1] == '/') {
            contentEnd = tagEnd;
            return true;
        }
        contentEnd = xml.find("</data>", tagEnd);
        return contentEnd != std::string::npos;
    }
    return false;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

// --- IbbTamper ---------------------------------------------------------------

void IbbTamper::arm(IbbAction a, int n)
{
    if (done)
        return;
    action = a;
    block = n;
}

std::string IbbTamper::feed(const std::string& bytes)
{
    pending += bytes;
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t heldFrom = 0;
        size_t at = findElement(pending, "iq", pos, heldFrom);
        if (at == std::string::npos) {
            // Everything but a "<iq" that the next read may complete.
            size_t end = heldFrom == std::string::npos ? pending.size() : heldFrom;
            out.append(pending, pos, end - pos);
            pos = end;
            break;
        }
        out.append(pending, pos, at - pos);
        pos = at;
        size_t gt = pending.find('>', at);
        if (gt == std::string::npos)
            break;
        if (pending[gt - 1] == '/') {
            out.append(pending, at, gt + 1 - at);
            pos = gt + 1;
            continue;
        }
        // An iq holds no iq: the first end tag is its own.
        size_t end = pending.find("</iq>", gt);
        if (end == std::string::npos)
            break;
        end += 5;
        out += rewrite(pending.substr(at, end - at));
        pos = end;
    }
    pending.erase(0, pos);
    return out;
}

std::string IbbTamper::flush()
{
    std::string rest;
    rest.swap(pending);
    return rest;
}

std::string IbbTamper::rewrite(const std::string& original)
{
    std::string iq = original;
    size_t tag = 0, tagEnd = 0, contentEnd = 0;
    if (!findIbbData(iq, 0, tag, tagEnd, contentEnd))
        return iq;
    size_t sidAt = 0, sidLen = 0, seqAt = 0, seqLen = 0;
    if (!findAttribute(iq, tag, tagEnd, "sid", sidAt, sidLen) || !findAttribute(iq, tag, tagEnd, "seq", seqAt, seqLen))
        return iq;
    const std::string sid = iq.substr(sidAt, sidLen);
    const int number = ++counted[sid];
    const unsigned long seq = std::strtoul(iq.substr(seqAt, seqLen).c_str(), nullptr, 10);
    // The block as it was with its seq moved by `by` (16 bits, wrapping).
    auto withSeq = [&](int by) {
        std::string xml = original;
        return xml.replace(seqAt, seqLen, std::to_string((seq + 65536u + static_cast<unsigned long>(by)) % 65536u));
    };
    // Later blocks follow on from the change without a gap.
    int& delta = shift[sid];
    if (delta != 0)
        iq = withSeq(delta);
    if (done || action == IbbAction::None || number != block)
        return iq;

    done = true;
    switch (action) {
        case IbbAction::FlipBit: {
            std::string bytes;
            // The seq rewrite above may have moved the content.
            findIbbData(iq, 0, tag, tagEnd, contentEnd);
            if (!decodeBase64(iq.substr(tagEnd, contentEnd - tagEnd), bytes) || bytes.empty()) {
                done = false;
                return iq;
            }
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
            return iq.replace(tagEnd, contentEnd - tagEnd, encodeBase64(bytes));
        }
        case IbbAction::Drop:
            --delta;
            return std::string();
        case IbbAction::Replay: {
            // The copy takes the next seq, as a block of its own would.
            std::string copy = withSeq(delta + 1);
            size_t gt = copy.find('>');
            size_t idAt = 0, idLen = 0;
            if (findAttribute(copy, 0, gt, "id", idAt, idLen))
                copy.insert(idAt + idLen, "-again");
            ++delta;
            return iq + copy;
        }
        case IbbAction::None:
            break;
    }
    return iq;
}

// --- XmppTamperProxy -----------------------------------------------------------

namespace {

struct Relay {
    int client = -1;
    int server = -1;
    IbbTamper tamper;
    std::string toServer;  // not yet written
    std::string toClient;
    bool clientDone = false;  // the client closed its side
    bool serverDone = false;
    bool shutServer = false;  // its half-close passed on
    bool shutClient = false;
    bool broken = false;
};

// Writes what `out` holds to `fd`; false when the connection broke.
bool drain(int fd, std::string& out)
{
    while (!out.empty()) {
        ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

// Reads from `fd` into `got`; false when the connection broke. `eof` is set
// at the end of the peer's bytes.
bool take(int fd, std::string& got, bool& eof)
{
    char buf[kReadSize];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
        got.assign(buf, static_cast<size_t>(n));
        return true;
    }
    if (n == 0) {
        eof = true;
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

XmppTamperProxy::XmppTamperProxy(int port) : targetPort(port) {}

XmppTamperProxy::~XmppTamperProxy() { stop(); }

bool XmppTamperProxy::start()
{
    if (sodium_init() < 0) {
        why = "libsodium cannot be initialised";
        return false;
    }
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || ::listen(listenFd, 16) != 0) {
        why = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        if (listenFd >= 0)
            ::close(listenFd);
        listenFd = -1;
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
    setNonBlocking(listenFd);
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = "cannot make a pipe";
        ::close(listenFd);
        listenFd = -1;
        return false;
    }
    worker = std::thread(&XmppTamperProxy::run, this);
    return true;
}

void XmppTamperProxy::stop()
{
    if (worker.joinable()) {
        stopRequested = true;
        char c = 0;
        [[maybe_unused]] ssize_t n = ::write(wakeFds[1], &c, 1);
        worker.join();
    }
    for (int* fd : {&listenFd, &wakeFds[0], &wakeFds[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void XmppTamperProxy::arm(IbbAction action, int block)
{
    std::unique_lock<std::mutex> lock(mutex);
    armedAction = action;
    armedBlock = block;
    armedChanged = true;
    if (!worker.joinable())
        return;
    // Wake the relay: it takes the change up before it reads on.
    char c = 'a';
    [[maybe_unused]] ssize_t n = ::write(wakeFds[1], &c, 1);
    armTaken.wait_for(lock, std::chrono::seconds(2), [this] { return !armedChanged; });
}

std::string XmppTamperProxy::fromClient() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return clientBytes;
}

std::string XmppTamperProxy::fromServer() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return serverBytes;
}

std::vector<std::string> XmppTamperProxy::ibbBlocks(const std::string& xml, int& undecodable)
{
    std::vector<std::string> blocks;
    undecodable = 0;
    size_t tag = 0, tagEnd = 0, contentEnd = 0;
    for (size_t from = 0; findIbbData(xml, from, tag, tagEnd, contentEnd); from = contentEnd) {
        std::string bytes;
        if (decodeBase64(xml.substr(tagEnd, contentEnd - tagEnd), bytes))
            blocks.push_back(std::move(bytes));
        else
            ++undecodable;
    }
    return blocks;
}

void XmppTamperProxy::run()
{
    std::list<Relay> relays;
    std::vector<pollfd> fds;
    while (!stopRequested) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (armedChanged)
                for (Relay& r : relays)
                    r.tamper.arm(armedAction, armedBlock);
            armedChanged = false;
        }
        armTaken.notify_all();
        for (auto it = relays.begin(); it != relays.end();) {
            if (it->broken || (it->shutServer && it->shutClient)) {
                ::close(it->client);
                ::close(it->server);
                it = relays.erase(it);
            } else {
                ++it;
            }
        }

        fds.clear();
        fds.push_back({listenFd, POLLIN, 0});
        fds.push_back({wakeFds[0], POLLIN, 0});
        for (Relay& r : relays) {
            short c = 0, s = 0;
            if (!r.clientDone && r.toServer.size() < kMaxQueued)
                c |= POLLIN;
            if (!r.serverDone && r.toClient.size() < kMaxQueued)
                s |= POLLIN;
            if (!r.toServer.empty())
                s |= POLLOUT;
            if (!r.toClient.empty())
                c |= POLLOUT;
            fds.push_back({r.client, c, 0});
            fds.push_back({r.server, s, 0});
        }
        ::poll(fds.data(), fds.size(), 100);
        if (fds[1].revents) {
            char buf[16];
            while (::read(wakeFds[0], buf, sizeof buf) > 0) {
            }
        }
        size_t i = 2;
        for (Relay& r : relays) {
            const pollfd& c = fds[i++];
            const pollfd& s = fds[i++];
            bool ok = true;
            std::string got;
            if (c.revents & (POLLIN | POLLHUP | POLLERR) && !r.clientDone) {
                ok = take(r.client, got, r.clientDone);
                if (!got.empty()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    clientBytes += got;
                }
                r.toServer += r.tamper.feed(got);
                if (r.clientDone)
                    r.toServer += r.tamper.flush();
                if (r.tamper.acted())
                    hasActed = true;
            }
            got.clear();
            if (ok && s.revents & (POLLIN | POLLHUP | POLLERR) && !r.serverDone) {
                ok = take(r.server, got, r.serverDone);
                if (!got.empty()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    serverBytes += got;
                }
                r.toClient += got;
            }
            ok = ok && drain(r.server, r.toServer) && drain(r.client, r.toClient);
            // A half-close travels once everything before it has.
            if (ok && r.clientDone && r.toServer.empty() && !r.shutServer) {
                ::shutdown(r.server, SHUT_WR);
                r.shutServer = true;
            }
            if (ok && r.serverDone && r.toClient.empty() && !r.shutClient) {
                ::shutdown(r.client, SHUT_WR);
                r.shutClient = true;
            }
            if (!ok)
                r.broken = true;
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    break;
                int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in t = loopback(targetPort);
                if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&t), sizeof t) != 0) {
                    ::close(client);
                    if (server >= 0)
                        ::close(server);
                    continue;
                }
                int one = 1;
                for (int fd : {client, server}) {
                    setNonBlocking(fd);
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                }
                Relay& r = relays.emplace_back();
                r.client = client;
                r.server = server;
                std::lock_guard<std::mutex> lock(mutex);
                if (!hasActed)
                    r.tamper.arm(armedAction, armedBlock);
            }
        }
    }
    for (Relay& r : relays) {
        ::close(r.client);
        ::close(r.server);
    }
}
