#pragma once
// Starts tests/cache/http_fixture.py on a free loopback port and reads the
// requests it logged. The server ends when this object goes.
#include <QFile>
#include <QProcess>

#include <string>

class FixtureServer {
public:
    // `root`: folder served under /files/; `auth`: "user:pass" for /auth/;
    // `tls`: HTTPS with a self-signed certificate.
    FixtureServer(const std::string& root, const std::string& requestLog, const std::string& auth = "", bool tls = false)
        : log_(QString::fromStdString(requestLog)), scheme_(tls ? "https" : "http") {
        QStringList args{KIV_SOURCE_DIR "/tests/cache/http_fixture.py", QString::fromStdString(root), log_,
                         QString::fromStdString(auth)};
        if (tls) args << "tls";
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("python3", args);
        while (process_.waitForStarted(10000) && !process_.canReadLine() && process_.waitForReadyRead(10000)) {
        }
        port_ = process_.readLine().trimmed().toInt();
    }
    ~FixtureServer() {
        process_.closeWriteChannel();  // the server ends with its input
        if (!process_.waitForFinished(5000)) process_.kill(), process_.waitForFinished(5000);
    }

    int port() const { return port_; }  // 0 when the server did not come up
    std::string Url(const std::string& path) const { return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path; }

    // The requests so far, a line each: path, Host, Authorization, User-Agent, separated by tabs.
    std::string Requests() const {
        QFile file(log_);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

private:
    QProcess process_;
    QString log_;
    std::string scheme_;
    int port_ = 0;
};
