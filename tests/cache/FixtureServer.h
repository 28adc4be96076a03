#pragma once
// Starts tests/cache/http_fixture.py on a free loopback port and reads the
// requests it logged. The server ends when this object goes.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <string>
#include <vector>

struct FixtureRequest {
    std::string path, host, userAgent, authorization;
};

class FixtureServer {
public:
    // `root`: folder served under /files/; `auth`: "user:pass" for /auth/;
    // a self-signed certificate and key make it an HTTPS server.
    FixtureServer(const std::string& root, const std::string& requestLog, const std::string& auth = "",
                  const std::string& cert = "", const std::string& key = "")
        : requestLog_(requestLog) {
        QStringList args{QString(KIV_SOURCE_DIR "/tests/cache/http_fixture.py"),
                         "--root", QString::fromStdString(root),
                         "--requests", QString::fromStdString(requestLog),
                         "--auth", QString::fromStdString(auth)};
        if (!cert.empty()) args << "--cert" << QString::fromStdString(cert) << "--key" << QString::fromStdString(key);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("python3", args);
        if (!process_.waitForStarted(10000)) return;
        while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
        }
        port_ = process_.readLine().trimmed().toInt();
    }
    ~FixtureServer() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    FixtureServer(const FixtureServer&) = delete;
    FixtureServer& operator=(const FixtureServer&) = delete;

    int port() const { return port_; }  // 0 when the server did not come up

    std::vector<FixtureRequest> Requests() const {
        std::vector<FixtureRequest> out;
        QFile file(QString::fromStdString(requestLog_));
        if (!file.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.isEmpty()) continue;
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            out.push_back({o["path"].toString().toStdString(), o["host"].toString().toStdString(),
                           o["user_agent"].toString().toStdString(),
                           o["authorization"].toString().toStdString()});
        }
        return out;
    }

private:
    QProcess process_;
    std::string requestLog_;
    int port_ = 0;
};

// A self-signed certificate for 127.0.0.1 made with openssl at test time.
inline bool MakeSelfSignedCertificate(const std::string& cert, const std::string& key) {
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                              "/CN=kiv-test", "-keyout", QString::fromStdString(key), "-out",
                              QString::fromStdString(cert)});
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit &&
           openssl.exitCode() == 0;
}
