#pragma once
// The real engine as a separate process: a copy of the program in a temporary folder with its own kiv.ini (the
// engine must find its folder itself), on the offscreen platform, its log followed through the stdout echo.
#include <optional>
#include <string>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

// QProcess wants an application object: one for the test program's life.
inline void EnsureCoreApplication() {
    static int argc = 1;
    static char name[] = "kiv_e2e_test", *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

class KivProcess {
public:
    // `ini`: the content of kiv.ini beside the program; nullopt for none.
    explicit KivProcess(const std::optional<std::string>& ini, const QString& program = KIV_BINARY_DIR "/kiv") {
        const QString exe = dir_.filePath(QStringLiteral("kiv"));
        QFile file(dir_.filePath(QStringLiteral("kiv.ini")));
        ok_ = QFile::copy(program, exe) && QFile::setPermissions(exe, QFile::ReadOwner | QFile::ExeOwner) &&
              (!ini || (file.open(QIODevice::WriteOnly) &&
                        file.write(ini->data(), qint64(ini->size())) == qint64(ini->size())));
        process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        SetEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        SetEnv(QStringLiteral("KIV_CONSOLE_STDOUT"), QStringLiteral("1"));
        process_.setProgram(exe);
        process_.setWorkingDirectory(QStringLiteral("/"));
    }
    ~KivProcess() {
        if (Running()) process_.kill(), process_.waitForFinished(10000);
    }
    QString Dir() const { return dir_.path(); }
    void SetEnv(const QString& name, const QString& value) {
        QProcessEnvironment env = process_.processEnvironment();
        env.insert(name, value);
        process_.setProcessEnvironment(env);
    }
    bool Start(const QStringList& args = {}) {
        process_.setArguments(args);
        if (ok_) process_.start();
        return ok_ && process_.waitForStarted(10000);
    }
    bool WaitForLog(const std::string& text, int timeoutMs = 20000) {
        for (QDeadlineTimer deadline(timeoutMs); Log().find(text) == std::string::npos;)
            if (!Running() || deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime()) + 1))
                return Log().find(text) != std::string::npos;
        return true;
    }
    // A reply is logged before it is sent but echoed by a thread of its own: once its line is in, so is all before.
    bool WaitForReplyLogged(const std::string& reply, int timeoutMs = 5000) {
        return WaitForLog("[OUT]  " + reply + " (session=", timeoutMs);
    }
    // Takes in what the engine logged, waiting up to `ms` for more; call it while waiting on anything else.
    void Pump(int ms = 5) {
        if (Running()) process_.waitForReadyRead(ms);
        Log();
    }
    const std::string& Log() { return log_ += process_.readAllStandardOutput().toStdString(); }
    std::string Errors() { return process_.readAllStandardError().toStdString(); }
    bool Running() const { return process_.state() == QProcess::Running; }
    QProcess& Process() { return process_; }
    bool StaysUpFor(int ms) { return Running() && !process_.waitForFinished(ms) && Running(); }
    static int FreePort() {
        QTcpServer server;
        return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    std::string log_;
    bool ok_ = false;
};
