#include "skype/api_socket_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/event_loop.h"
#include "core/eventlog.h"

QV_APISOCKETLINK::QV_APISOCKETLINK(std::string name) : socketName(std::move(name)) {}

QV_APISOCKETLINK::~QV_APISOCKETLINK() { closeConnection(); }

int32_t QV_APISOCKETLINK::openConnection()
{
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t n = std::min(socketName.size(), sizeof(addr.sun_path) - 1);
    std::memcpy(addr.sun_path + 1, socketName.data(), n);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(s);
        return 0;
    }
    if (!isOwnUsersMessenger(s)) {
        ::close(s);
        return 0;
    }
    timeval tv{kWriteTimeoutMs / 1000, (kWriteTimeoutMs % 1000) * 1000};
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    fd = s;
    attachSeen = false;
    decoder = FrameDecoder();
    if (QV_EVENTLOOP* loop = getEventLoop())
        watchId = loop->watchReadable(fd, [this] { onReadable(); });
    return 1;
}

bool QV_APISOCKETLINK::isOwnUsersMessenger(int s)
{
    // Whoever holds the name sees every tunnelled byte and may send
    // commands in the messenger's name: only a process of our own user may.
    ucred cred{};
    socklen_t credLen = sizeof(cred);
    if (::getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0 || credLen != sizeof(cred)) {
        printf("QV_APISOCKETLINK::openConnection() messenger credentials unknown error=%d; refused\n", errno);
        return false;
    }
    uid_t own = ::geteuid();
    if (cred.uid == own) {
        refusedPid = 0;
        refusedUid = 0;
        return true;
    }
    // Discovery retries every few seconds: one report per holder.
    if (cred.pid != refusedPid || cred.uid != refusedUid) {
        refusedPid = cred.pid;
        refusedUid = cred.uid;
        printf("QV_APISOCKETLINK::openConnection() messenger socket held by uid %d, not ours (%d); refused\n",
               static_cast<int>(cred.uid), static_cast<int>(own));
        QV_EVENTLOG::getInstance()->writef(2, "Skype接続拒否: 別のユーザ(uid=%d)のメッセンジャー",
                                           static_cast<int>(cred.uid));
    }
    return false;
}

void QV_APISOCKETLINK::closeConnection()
{
    if (watchId != 0) {
        if (QV_EVENTLOOP* loop = getEventLoop())
            loop->unwatch(watchId);
        watchId = 0;
    }
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    attachSeen = false;
}

int32_t QV_APISOCKETLINK::writeAll(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // A half-written frame would corrupt the stream: give the
            // connection up, the messenger sees it closed.
            printf("QV_APISOCKETLINK::writeAll() send error=%d\n", errno);
            closeConnection();
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    return 1;
}

int32_t QV_APISOCKETLINK::discover()
{
    if (fd < 0 && !openConnection())
        return 0;
    return writeAll(encodeDiscover("CorvaneForTcp"));
}

int32_t QV_APISOCKETLINK::sendCommand(const char* text, uint32_t cbData)
{
    if (fd < 0 || cbData == 0)
        return 0;
    // The text is sent with its zero byte, whatever cbData says beyond it.
    outFrame = encodeCommand(std::string(text, cbData - 1));
    return writeAll(outFrame);
}

void QV_APISOCKETLINK::endConnection()
{
    closeConnection();
    if (listener)
        listener->onLinkClosed();
}

void QV_APISOCKETLINK::onReadable()
{
    char buf[65536];
    ssize_t r = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (r <= 0) {
        printf("QV_APISOCKETLINK::onReadable() connection closed\n");
        endConnection();
        return;
    }
    decoder.feed(buf, static_cast<size_t>(r));
    Frame frame;
    for (;;) {
        FrameDecoder::Result res = decoder.next(frame);
        if (res == FrameDecoder::Result::NeedMore)
            return;
        if (res == FrameDecoder::Result::Error) {
            printf("QV_APISOCKETLINK::onReadable() protocol error: %s\n", decoder.error().c_str());
            endConnection();
            return;
        }
        if (frame.type == 'A') {
            if (frame.code == 0)
                attachSeen = true;
            if (listener)
                listener->onAttachFrame(frame.code, frame.handle);
        } else if (frame.type == 'C') {
            if (attachSeen && listener)
                listener->onCommandFrame(0, frame.text.c_str(), static_cast<uint32_t>(frame.text.size() + 1));
        } else {
            printf("QV_APISOCKETLINK::onReadable() unexpected frame type %c\n", frame.type);
            endConnection();
            return;
        }
        // A listener may have closed the connection (a failed send).
        if (fd < 0)
            return;
    }
}
