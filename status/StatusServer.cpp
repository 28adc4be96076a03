#include "status/StatusServer.h"

#include <chrono>
#include <map>
#include <memory>

#include <QAbstractHttpServer>
#include <QCoreApplication>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>

#include "core/Log.h"
#include "core/Settings.h"
#include "status/FrameGrab.h"
#include "status/StatusReport.h"

namespace {

using Status = QHttpServerResponder::StatusCode;
using Clock = std::chrono::steady_clock;

// Accepts the connections the limits allow and closes those that stall.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer() {
        sweep_.setInterval(1000);
        QObject::connect(&sweep_, &QTimer::timeout, this, [this] { CloseIdle(); });
        sweep_.start();
    }
    // A request was read whole from `socket`: its bytes no longer count.
    void RequestRead(QTcpSocket* socket) {
        if (auto it = connections_.find(socket); it != connections_.end()) it->second.requestBytes = 0;
    }
    qint64 UnsentBytes() const {
        qint64 total = 0;
        for (const auto& [socket, c] : connections_) total += socket->bytesToWrite();
        return total;
    }

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor) || connections_.size() >= size_t(kStatusMaxConnections)) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        connections_[socket] = {};
        // Connected before the HTTP layer's own handler, so a request that
        // grows too large is cut before it is parsed further.
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            Connection& c = connections_[socket];
            c.lastActivity = Clock::now();
            c.requestBytes += socket->bytesAvailable();
            if (c.requestBytes > kStatusMaxRequestBytes) socket->abort();
        });
        QObject::connect(socket, &QTcpSocket::bytesWritten, this,
                         [this, socket] { connections_[socket].lastActivity = Clock::now(); });
        QObject::connect(socket, &QObject::destroyed, this, [this, socket] { connections_.erase(socket); });
        addPendingConnection(socket);
    }

private:
    struct Connection {
        Clock::time_point lastActivity = Clock::now();
        qint64 requestBytes = 0;
    };
    void CloseIdle() {
        const auto limit = Clock::now() - std::chrono::seconds(kStatusIdleSeconds);
        std::vector<QTcpSocket*> idle;
        for (const auto& [socket, c] : connections_)
            if (c.lastActivity < limit) idle.push_back(socket);
        for (QTcpSocket* socket : idle) socket->abort();
    }
    std::map<QTcpSocket*, Connection> connections_;
    QTimer sweep_;
};

class StatusServer : public QAbstractHttpServer {
public:
    explicit StatusServer(GuardedTcpServer* tcp) : tcp_(tcp) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        tcp_->RequestRead(socket);
        // The HTTP layer keeps every connection open: one the client asked
        // to close is closed once its answer is written.
        const bool close = request.value("connection").compare("close", Qt::CaseInsensitive) == 0;
        Answer(request, socket, close);
        if (close && !encodingFor_.contains(socket)) socket->disconnectFromHost();
        return true;
    }
    void Answer(const QHttpServerRequest& request, QTcpSocket* socket, bool close) {
        QHttpServerResponder responder = makeResponder(request, socket);
        const QString path = request.url().path();
        if (!Settings.HttpToken.empty() &&
            request.value("authorization") != QByteArray::fromStdString("Bearer " + Settings.HttpToken)) {
            responder.write("401 a bearer token is required\n", {{"Content-Type", "text/plain"}, {"WWW-Authenticate", "Bearer"}},
                            Status::Unauthorized);
            return;
        }
        static const QStringList kPaths = {"/", "/status.json", "/frame.jpg", "/metrics", "/healthz"};
        if (!kPaths.contains(path)) {
            responder.write("404 not found\n", "text/plain", Status::NotFound);
            return;
        }
        if (request.method() != QHttpServerRequest::Method::Get) {
            responder.write("405 only GET\n", {{"Content-Type", "text/plain"}, {"Allow", "GET"}}, Status::MethodNotAllowed);
            return;
        }
        // A client that leaves its answers unread holds their memory.
        if (tcp_->UnsentBytes() > kStatusMaxUnsentBytes) {
            responder.write("503 too many answers are not read yet\n", "text/plain", Status::ServiceUnavailable);
            return;
        }
        if (path == "/frame.jpg") {
            Frame(request, std::move(responder), close);
        } else if (path == "/status.json") {
            responder.write(StatusJson(), {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}});
        } else if (path == "/metrics") {
            responder.write(MetricsText(), kMetricsContentType);
        } else if (path == "/healthz") {
            const auto problem = HealthProblem();
            if (problem)
                responder.write(QByteArray::fromStdString(*problem + "\n"), "text/plain", Status::ServiceUnavailable);
            else
                responder.write("ok\n", "text/plain");
        } else {
            responder.write(StatusPage(), "text/html; charset=utf-8");
        }
    }
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        makeResponder(request, socket).write("404 not found\n", "text/plain", Status::NotFound);
    }

private:
    // The copy is the only work on this thread; the JPEG is written on a
    // worker and answered back here, unless the client has gone meanwhile.
    void Frame(const QHttpServerRequest& request, QHttpServerResponder&& responder, bool close) {
        const QUrlQuery query = request.query();
        const auto width = ParseFrameWidth(query.hasQueryItem("width") ? std::optional(query.queryItemValue("width"))
                                                                        : std::nullopt);
        if (!width) {
            responder.write("400 width must be a whole number from 16 to 3840\n", "text/plain", Status::BadRequest);
            return;
        }
        if (encoding_ >= kStatusMaxFramesEncoding) {
            responder.write("503 frames are being encoded, try again\n", "text/plain", Status::ServiceUnavailable);
            return;
        }
        ++encoding_;
        auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
        QTcpSocket* const socket = pending->socket();
        QPointer<QTcpSocket> guard = socket;
        encodingFor_.insert(socket);
        std::shared_ptr<const cImage32> frame = CopyOutputSurface();
        QThreadPool::globalInstance()->start([this, frame = std::move(frame), w = *width, pending, socket, guard, close]() mutable {
            const std::vector<uint8_t> jpeg = EncodeFrame(*frame, w);
            frame.reset();
            QByteArray body(reinterpret_cast<const char*>(jpeg.data()), qsizetype(jpeg.size()));
            QMetaObject::invokeMethod(
                this,
                [this, body = std::move(body), pending = std::move(pending), socket, guard, close] {
                    --encoding_;
                    encodingFor_.remove(socket);
                    if (!guard) return;
                    if (body.isEmpty())
                        pending->write("500 the frame could not be encoded\n", "text/plain", Status::InternalServerError);
                    else
                        pending->write(body, {{"Content-Type", "image/jpeg"}, {"Cache-Control", "no-store"}});
                    if (close) guard->disconnectFromHost();
                },
                Qt::QueuedConnection);
        });
    }

    GuardedTcpServer* tcp_;
    int encoding_ = 0;
    QSet<QTcpSocket*> encodingFor_;  // connections whose frame is being encoded
};

std::unique_ptr<StatusServer> gServer;
int gPort = 0;

}  // namespace

void StartStatusServer() {
    if (Settings.HttpPort == 0) return;
    const QHostAddress address(QString::fromStdString(Settings.HttpAddress));
    const std::string where = Settings.HttpAddress + ":" + std::to_string(Settings.HttpPort);
    if (address.isNull() || Settings.HttpPort < 0 || Settings.HttpPort > 65535) {
        WriteLog("Status server: cannot listen on " + where + ": not an IP address and port.", "SYS", "E");
        return;
    }
    // Without TLS a token only protects what never leaves the machine's own
    // wire, and without one anybody who can reach the port may look.
    if (!address.isLoopback() && Settings.HttpToken.empty()) {
        WriteLog("Status server: refusing to listen on " + where +
                     " without HttpToken; set one, or listen on 127.0.0.1 behind a reverse proxy.",
                 "SYS", "E");
        return;
    }
    auto tcp = std::make_unique<GuardedTcpServer>();
    // A burst of connections must wait in the backlog rather than be dropped.
    tcp->setListenBacklogSize(256);
    if (!tcp->listen(address, quint16(Settings.HttpPort))) {
        WriteLog("Status server: cannot listen on " + where + ": " + tcp->errorString().toStdString() +
                     ". The engine runs on without it.",
                 "SYS", "E");
        return;
    }
    gPort = tcp->serverPort();
    gServer = std::make_unique<StatusServer>(tcp.get());
    tcp->setParent(gServer.get());
    gServer->bind(tcp.release());
    // The sockets must go before the application object does, and no frame
    // may be answered to a server that is gone.
    qAddPostRoutine([] {
        QThreadPool::globalInstance()->waitForDone();
        gServer.reset();
    });
    WriteLog("Status server listening on http://" + where + "/", "SYS", "I");
}

int StatusServerPort() { return gPort; }
