#include "net/sckCommands.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include <QCoreApplication>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include "core/Log.h"

namespace {

// Bytes taken off a connection per data-arrival event: the framing's buffer
// grows by at most this much per event, which bounds the number of commands
// one event can queue.
constexpr size_t kReadChunk = 4 * 1024;
// The listener stops accepting on a failure such as running out of file
// descriptors; it tries again after this pause instead of staying deaf.
constexpr int kAcceptRetryMs = 1000;
constexpr int kSockErrTooManyOpenFiles = 10024;

// Hands accepted descriptors to the array instead of wrapping them in
// QTcpSocket: the connections are served with plain non-blocking sockets so
// that a reset (ECONNRESET) can be told apart from an orderly close.
class cListener : public QTcpServer {
public:
    std::function<void(intptr_t fd)> onIncoming;

protected:
    void incomingConnection(qintptr fd) override { onIncoming(static_cast<intptr_t>(fd)); }
};

struct Element {
    uint64_t serial = 0;  // tells a re-created element at the same index apart
    SocketState state = SocketState::Closed;
    int port = 0;
    int fd = -1;
    std::string remoteIp;
    std::string in;
    std::string out;
    size_t outPos = 0;
    bool readOpen = false;  // false once the end of the peer's data was seen
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
};

std::string PeerAddress(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
            ::inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    }
    return text;
}

size_t Unsent(const Element& e) { return e.out.size() - e.outPos; }

// Every connection is a descriptor: the usual soft limit of 1,024 would
// refuse clients long before the socket indexes run out.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 65536);
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = wanted;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::string MiB(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

int WinsockErrorNumber(int err) {
    switch (err) {
        case ECONNABORTED: return kSockErrConnAborted;
        case ECONNRESET: return kSockErrConnReset;
        case ENOBUFS: return kSockErrNoBuffers;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ENOTCONN: return 10057;
        case EPIPE: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case EHOSTUNREACH: return 10065;
        default: return err;
    }
}

struct cSocketArray::Impl {
    QObject context;  // owner of queued calls and notifiers
    SocketEvents events;
    std::vector<std::unique_ptr<Element>> elements;
    std::map<int, std::unique_ptr<cListener>> listeners;  // by port
    std::deque<std::pair<int, intptr_t>> pending;          // (port, fd)
    uint64_t nextSerial = 1;
    bool offerScheduled = false;
    bool readingPaused = false;
    size_t refusedInBurst = 0;
    size_t unsentTotal = 0;
    size_t maxUnsent = kMaxUnsentBytes;
    size_t maxUnsentTotal = kMaxUnsentBytesTotal;

    Element* Find(int16_t index) const {
        if (index < 0 || static_cast<size_t>(index) >= elements.size()) return nullptr;
        return elements[index].get();
    }
    Element* Find(int16_t index, uint64_t serial) const {
        Element* e = Find(index);
        return e && e->serial == serial ? e : nullptr;
    }

    void DropConnection(Element& e) {
        for (QSocketNotifier** n : {&e.readNotifier, &e.writeNotifier}) {
            if (*n) {
                // May be called from inside the notifier's own signal.
                (*n)->setEnabled(false);
                (*n)->deleteLater();
                *n = nullptr;
            }
        }
        if (e.fd >= 0) ::close(e.fd);
        e.fd = -1;
        e.readOpen = false;
        e.in.clear();
        unsentTotal -= Unsent(e);
        e.out.clear();
        e.outPos = 0;
    }

    void ScheduleOffer() {
        if (offerScheduled) return;
        offerScheduled = true;
        QMetaObject::invokeMethod(&context, [this] { OfferPending(); }, Qt::QueuedConnection);
    }

    // One connection request per event, to the element listening on its port.
    void OfferPending() {
        offerScheduled = false;
        if (pending.empty()) return;
        const auto [port, fd] = pending.front();
        int16_t listening = -1;
        for (size_t i = 1; i < elements.size(); ++i)
            if (elements[i] && elements[i]->state == SocketState::Listening && elements[i]->port == port) {
                listening = static_cast<int16_t>(i);
                break;
            }
        if (listening < 0) return;  // offered again when an element listens
        if (events.ConnectionRequest) events.ConnectionRequest(listening, fd);
        // A request the handler did not accept is dropped, as a refused one.
        if (!pending.empty() && pending.front().second == fd) {
            ::close(static_cast<int>(fd));
            pending.pop_front();
        }
        if (pending.size() < kMaxPendingRequests && refusedInBurst > 0) {
            if (refusedInBurst > 1)
                WriteLog("Refused " + std::to_string(refusedInBurst - 1) + " more connection requests on port " +
                             std::to_string(port) + " while " + std::to_string(kMaxPendingRequests) +
                             " were waiting.",
                         "TCP", "W");
            refusedInBurst = 0;
        }
        if (!pending.empty()) ScheduleOffer();
    }

    void Incoming(int port, intptr_t fd) {
        if (pending.size() >= kMaxPendingRequests) {
            // The first refusal of a burst is logged at once, the rest counted
            // and summed up when the queue of requests has room again.
            if (refusedInBurst++ == 0)
                WriteLog("Connection request from " + PeerAddress(static_cast<int>(fd)) + " on port " +
                             std::to_string(port) + " refused: " + std::to_string(kMaxPendingRequests) +
                             " requests are waiting to be accepted.",
                         "TCP", "W");
            ::close(static_cast<int>(fd));
            return;
        }
        pending.emplace_back(port, fd);
        ScheduleOffer();
    }

    // Reported on the element that listens on the port, as the platform's
    // listening socket would.
    void ListenerFailed(int port, int number, const std::string& description) {
        for (size_t i = 1; i < elements.size(); ++i)
            if (elements[i] && elements[i]->state == SocketState::Listening && elements[i]->port == port) {
                if (events.Error) events.Error(static_cast<int16_t>(i), number, description);
                return;
            }
    }

    // A broken connection: the error first, then the close, unless the error
    // handler removed the element already.
    void Broken(int16_t index, uint64_t serial, int number, const std::string& description) {
        if (events.Error) events.Error(index, number, description);
        if (Find(index, serial) && events.Close) events.Close(index);
    }

    void Readable(int16_t index, uint64_t serial) {
        Element* e = Find(index, serial);
        if (!e || e->fd < 0 || !e->readOpen || readingPaused) return;
        char chunk[kReadChunk];
        const ssize_t n = ::recv(e->fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            e->in.append(chunk, static_cast<size_t>(n));
            // Never split a CR LF pair ourselves: if the chunk boundary fell
            // between them and the LF is already here, take it along.
            char next;
            if (e->in.back() == '\r' && ::recv(e->fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && next == '\n' &&
                ::recv(e->fd, &next, 1, MSG_DONTWAIT) == 1)
                e->in.push_back(next);
            // A lone CR at the end may be the first half of a CR LF whose LF
            // a peer using Nagle's algorithm holds back until we acknowledge:
            // acknowledge at once rather than after the delayed-ACK pause.
            if (e->in.back() == '\r') {
                const int one = 1;
                ::setsockopt(e->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            }
            if (events.DataArrival) events.DataArrival(index, static_cast<long>(e->in.size()));
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        const int err = n < 0 ? errno : 0;
        e->readOpen = false;
        e->readNotifier->setEnabled(false);
        if (e->writeNotifier) e->writeNotifier->setEnabled(false);
        if (err == 0) {
            if (events.Close) events.Close(index);
        } else {
            e->state = SocketState::Error;
            Broken(index, serial, WinsockErrorNumber(err), std::strerror(err));
        }
    }

    void Flush(Element& e) {
        const size_t before = Unsent(e);
        while (e.outPos < e.out.size()) {
            const ssize_t n = ::send(e.fd, e.out.data() + e.outPos, e.out.size() - e.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                e.outPos += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                unsentTotal -= before - Unsent(e);
                if (e.outPos > e.out.size() / 2) {
                    e.out.erase(0, e.outPos);
                    e.outPos = 0;
                }
                e.writeNotifier->setEnabled(true);
                return;
            }
            // A broken connection: the reading side reports it.
            break;
        }
        unsentTotal -= before;
        e.out.clear();
        e.outPos = 0;
        e.writeNotifier->setEnabled(false);
    }

    void Overflow(int16_t index, Element& e, const std::string& description) {
        DropConnection(e);
        e.state = SocketState::Error;
        const uint64_t serial = e.serial;
        QMetaObject::invokeMethod(
            &context,
            [this, index, serial, description] {
                if (Find(index, serial)) Broken(index, serial, kSockErrNoBuffers, description);
            },
            Qt::QueuedConnection);
    }

    // Over the overall cap the connection holding the most unsent bytes goes,
    // until the rest fits.
    void ShedUnsent() {
        while (unsentTotal > maxUnsentTotal) {
            size_t most = 0;
            for (size_t i = 1; i < elements.size(); ++i)
                if (elements[i] && Unsent(*elements[i]) > Unsent(*elements[most])) most = i;
            if (most == 0) return;
            Overflow(static_cast<int16_t>(most), *elements[most],
                     "No buffer space available (more than " + MiB(maxUnsentTotal) +
                         " of replies unread by all peers; this peer holds the most)");
        }
    }
};

cSocketArray::cSocketArray() : d(std::make_unique<Impl>()) {
    d->elements.push_back(std::make_unique<Element>());
    RaiseOpenFileLimit();
}

cSocketArray::~cSocketArray() {
    for (auto& e : d->elements)
        if (e) d->DropConnection(*e);
    for (const auto& [port, fd] : d->pending) ::close(static_cast<int>(fd));
}

void cSocketArray::SetEvents(SocketEvents events) { d->events = std::move(events); }

bool cSocketArray::Create(int16_t index) {
    if (index <= 0 || d->Find(index)) return false;
    if (static_cast<size_t>(index) >= d->elements.size()) d->elements.resize(static_cast<size_t>(index) + 1);
    d->elements[index] = std::make_unique<Element>();
    d->elements[index]->serial = d->nextSerial++;
    return true;
}

void cSocketArray::Remove(int16_t index) {
    Element* e = d->Find(index);
    if (!e || index == 0) return;
    d->DropConnection(*e);
    d->elements[index].reset();
    while (d->elements.size() > 1 && !d->elements.back()) d->elements.pop_back();
}

bool cSocketArray::Exists(int16_t index) const { return d->Find(index) != nullptr; }

int16_t cSocketArray::HighestIndex() const { return static_cast<int16_t>(d->elements.size() - 1); }

void cSocketArray::SetLocalPort(int16_t index, int port) {
    if (Element* e = d->Find(index)) e->port = port;
}

void cSocketArray::Close(int16_t index) {
    Element* e = d->Find(index);
    if (!e) return;
    d->DropConnection(*e);
    e->state = SocketState::Closed;
}

bool cSocketArray::Listen(int16_t index, std::string* error) {
    Element* e = d->Find(index);
    if (!e || index == 0) {
        if (error) *error = "Invalid socket index";
        return false;
    }
    // A port outside the 16-bit range must not wrap around to another one.
    if (e->port < 0 || e->port > 65535) {
        if (error) *error = "Invalid port " + std::to_string(e->port);
        return false;
    }
    auto& listener = d->listeners[e->port];
    if (!listener) {
        auto server = std::make_unique<cListener>();
        const int port = e->port;
        server->onIncoming = [this, port](intptr_t fd) { d->Incoming(port, fd); };
        cListener* raw = server.get();
        QObject::connect(raw, &QTcpServer::acceptError, &d->context, [this, raw, port](QAbstractSocket::SocketError e) {
            const int number = e == QAbstractSocket::SocketResourceError ? kSockErrTooManyOpenFiles
                               : e == QAbstractSocket::SocketAccessError ? 10013
                                                                         : 10022;
            d->ListenerFailed(port, number, raw->errorString().toStdString());
            QTimer::singleShot(kAcceptRetryMs, raw, [raw] { raw->resumeAccepting(); });
        });
        if (!server->listen(QHostAddress::Any, static_cast<quint16>(port))) {
            if (error) *error = server->errorString().toStdString();
            d->listeners.erase(port);
            return false;
        }
        listener = std::move(server);
    }
    e->state = SocketState::Listening;
    if (!d->pending.empty()) d->ScheduleOffer();
    return true;
}

SocketState cSocketArray::State(int16_t index) const {
    const Element* e = d->Find(index);
    return e ? e->state : SocketState::Closed;
}

bool cSocketArray::Accept(int16_t index, intptr_t requestId) {
    Element* e = d->Find(index);
    if (!e) return false;
    auto it = d->pending.begin();
    while (it != d->pending.end() && it->second != requestId) ++it;
    if (it == d->pending.end()) return false;
    const int fd = static_cast<int>(requestId);
    d->pending.erase(it);

    Close(index);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    // Replies are single short lines: send each at once.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    e->fd = fd;
    e->state = SocketState::Connected;
    e->readOpen = true;
    e->remoteIp = PeerAddress(fd);
    const uint64_t serial = e->serial;
    e->readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, &d->context);
    e->readNotifier->setEnabled(!d->readingPaused);
    QObject::connect(e->readNotifier, &QSocketNotifier::activated, &d->context,
                     [this, index, serial] { d->Readable(index, serial); });
    e->writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, &d->context);
    e->writeNotifier->setEnabled(false);
    QObject::connect(e->writeNotifier, &QSocketNotifier::activated, &d->context, [this, index, serial] {
        if (Element* el = d->Find(index, serial); el && el->fd >= 0) d->Flush(*el);
    });
    return true;
}

std::string cSocketArray::RemoteHostIP(int16_t index) const {
    const Element* e = d->Find(index);
    return e ? e->remoteIp : std::string();
}

std::string cSocketArray::GetData(int16_t index) {
    Element* e = d->Find(index);
    if (!e) return {};
    std::string data;
    data.swap(e->in);
    return data;
}

void cSocketArray::SendData(int16_t index, std::string_view data) {
    Element* e = d->Find(index);
    if (!e || e->fd < 0 || data.empty()) return;
    if (Unsent(*e) + data.size() > d->maxUnsent) {
        d->Overflow(index, *e,
                    "No buffer space available (more than " + MiB(d->maxUnsent) + " of replies unread by the peer)");
        return;
    }
    e->out.append(data);
    d->unsentTotal += data.size();
    d->Flush(*e);
    d->ShedUnsent();
}

size_t cSocketArray::UnsentBytes(int16_t index) const {
    const Element* e = d->Find(index);
    return e ? Unsent(*e) : 0;
}

void cSocketArray::SetUnsentLimits(size_t perConnection, size_t total) {
    d->maxUnsent = perConnection;
    d->maxUnsentTotal = total;
}

void cSocketArray::SetReadingPaused(bool paused) {
    if (d->readingPaused == paused) return;
    d->readingPaused = paused;
    for (const auto& e : d->elements)
        if (e && e->readNotifier && e->readOpen) e->readNotifier->setEnabled(!paused);
}

bool cSocketArray::RequestPeerGone(intptr_t requestId, int waitMs) const {
    bool waiting = false;
    for (const auto& [port, fd] : d->pending) waiting = waiting || fd == requestId;
    if (!waiting) return false;
    // Only the peer's close or reset ends the wait early, not its data.
    pollfd p{static_cast<int>(requestId), POLLRDHUP, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int rc = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (rc > 0) return true;  // POLLRDHUP, or POLLHUP / POLLERR, which poll always reports
        if (rc == 0 || errno != EINTR) return false;
    }
}

namespace {
std::unique_ptr<cSocketArray> gSockets;
}

cSocketArray& sckCommands() {
    if (!gSockets) {
        gSockets = std::make_unique<cSocketArray>();
        // Its notifiers must go before the application object does.
        qAddPostRoutine([] { gSockets.reset(); });
    }
    return *gSockets;
}
