#pragma once
// Runs the real engine as a separate process for end-to-end tests: a copy of
// the built `kiv` in a temporary program folder with its own kiv.ini, on the
// offscreen platform, its log followed through the standard-output echo.
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
    static char name[] = "kiv_e2e_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

class KivProcess {
public:
    // `ini`: the content of kiv.ini beside the program; nullopt for none.
    explicit KivProcess(const std::optional<std::string>& ini) {
        // A copy, not a link: the program folder is where the executable
        // really lies, and the ini file and console log belong there.
        const QString exe = dir_.filePath(QStringLiteral("kiv"));
        ok_ = dir_.isValid() && QFile::copy(QStringLiteral(KIV_BINARY_DIR "/kiv"), exe) &&
              QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (ok_ && ini) {
            QFile file(dir_.filePath(QStringLiteral("kiv.ini")));
            ok_ = file.open(QIODevice::WriteOnly) &&
                  file.write(ini->data(), static_cast<qint64>(ini->size())) == static_cast<qint64>(ini->size());
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("KIV_CONSOLE_STDOUT"), QStringLiteral("1"));
        process_.setProcessEnvironment(env);
        process_.setProgram(exe);
        process_.setWorkingDirectory(QStringLiteral("/"));  // the engine must find its folder itself
        process_.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~KivProcess() { Stop(); }
    KivProcess(const KivProcess&) = delete;
    KivProcess& operator=(const KivProcess&) = delete;

    QString Dir() const { return dir_.path(); }
    void SetEnv(const QString& name, const QString& value) {
        QProcessEnvironment env = process_.processEnvironment();
        env.insert(name, value);
        process_.setProcessEnvironment(env);
    }

    bool Start(const QStringList& args = {}) {
        if (!ok_) return false;
        process_.setArguments(args);
        process_.start();
        return process_.waitForStarted(10000);
    }

    // Waits until the log holds `text` (or the process ends, or the time is up).
    bool WaitForLog(const std::string& text, int timeoutMs = 20000) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            log_ += process_.readAllStandardOutput().toStdString();
            if (log_.find(text) != std::string::npos) return true;
            if (process_.state() != QProcess::Running || deadline.hasExpired()) return false;
            process_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        }
    }

    // The engine logs a reply (without its terminator) before it sends it,
    // but echoes the log through a thread of its own: once that line has
    // been read, so has everything logged before the reply.
    bool WaitForReplyLogged(const std::string& reply, int timeoutMs = 5000) {
        return WaitForLog("[OUT]  " + reply + " (session=", timeoutMs);
    }

    // Takes in what the engine has logged, waiting up to `ms` for more. Call
    // it while waiting on anything else (replies over TCP): the engine drops
    // echoed lines that a full pipe cannot take.
    void Pump(int ms = 5) {
        if (process_.state() == QProcess::Running) process_.waitForReadyRead(ms);
        log_ += process_.readAllStandardOutput().toStdString();
    }

    // Everything logged so far (lines as written, CR LF included).
    const std::string& Log() {
        log_ += process_.readAllStandardOutput().toStdString();
        return log_;
    }
    std::string Errors() { return process_.readAllStandardError().toStdString(); }

    bool Running() const { return process_.state() == QProcess::Running; }
    // The engine's process, for what a test does beyond this (signals, its
    // standard output piped elsewhere, its exit code).
    QProcess& Process() { return process_; }
    // True when the process is still running after `ms` milliseconds.
    bool StaysUpFor(int ms) { return Running() && !process_.waitForFinished(ms) && Running(); }

    void Stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(10000);
    }

    // A TCP port nobody listens on right now (for ListeningPort).
    static int FreePort() {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
        return server.serverPort();
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    std::string log_;
    bool ok_ = false;
};
