// Unattended operation of the real engine on the offscreen platform: nobody
// can answer a question, termination signals end it cleanly, a standard
// output that is closed or not read never stops it, and the package installs
// an engine that runs.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QThread>
#include <QTemporaryDir>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace fs = std::filesystem;

namespace {

size_t Count(const std::string& text, const std::string& what) { return TcpClient::Count(text, what); }

// An 8x8 picture of one colour, as a 24-bit BMP.
void WriteBmp(const fs::path& path, uint8_t r, uint8_t g, uint8_t b) {
    std::string bmp = "BM";
    const auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp += static_cast<char>(v >> (8 * i));
    };
    const auto u16 = [&](uint16_t v) { bmp += static_cast<char>(v), bmp += static_cast<char>(v >> 8); };
    u32(54 + 8 * 8 * 3), u32(0), u32(54);
    u32(40), u32(8), u32(8), u16(1), u16(24), u32(0), u32(8 * 8 * 3), u32(2835), u32(2835), u32(0), u32(0);
    for (int i = 0; i < 64; ++i) bmp += {static_cast<char>(b), static_cast<char>(g), static_cast<char>(r)};
    std::ofstream(path, std::ios::binary) << bmp;
}

class E2ELifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }
    std::unique_ptr<KivProcess> Start(const std::string& general = "", bool waitForMainLoop = true) {
        port_ = KivProcess::FreePort();
        auto kiv = std::make_unique<KivProcess>("[General]\nVersion=1\nOnAirMonitor=0\nListeningPort=" +
                                                std::to_string(port_) + "\n" + general);
        if (!kiv->Start()) return nullptr;
        if (waitForMainLoop && !kiv->WaitForLog("Entering Main Loop...")) return nullptr;
        return kiv;
    }
    std::unique_ptr<TcpClient> Connect(KivProcess& kiv) {
        auto client = std::make_unique<TcpClient>([&kiv] { kiv.Pump(1); });
        return client->Connect(port_) ? std::move(client) : nullptr;
    }
    // The engine's exit code once it has ended by itself (-1 if it did not,
    // or was killed).
    static int ExitCode(KivProcess& kiv, int timeoutMs = 20000) {
        QDeadlineTimer deadline(timeoutMs);
        while (kiv.Running() && !deadline.hasExpired()) kiv.Pump(20);
        kiv.Log();
        if (kiv.Running() || kiv.Process().exitStatus() != QProcess::NormalExit) return -1;
        return kiv.Process().exitCode();
    }

    int port_ = 0;
};

// Headless, Quit's question is logged and answered No at once: the queue
// goes on, even with a client sending QUIT over and over.
TEST_F(E2ELifecycle, HeadlessQuitIsAnsweredNoAndTheEngineRunsOn) {
    auto kiv = Start();
    ASSERT_TRUE(kiv);
    auto quitter = Connect(*kiv);
    auto bystander = Connect(*kiv);
    ASSERT_TRUE(quitter && bystander);
    ASSERT_TRUE(quitter->Send("1 QUIT\r\n"));
    ASSERT_TRUE(bystander->Send("2 VERSION\r\n"));
    ASSERT_TRUE(bystander->ReadReplies(1)) << kiv->Log();
    EXPECT_EQ(bystander->received, "2 Version: 11.0.1\r\n");
    std::string flood;
    for (int i = 0; i < 50; ++i) flood += "3 EXIT\r\n4 QUIT\r\n";
    ASSERT_TRUE(quitter->Send(flood));
    ASSERT_TRUE(bystander->Send("5 VERSION\r\n"));
    ASSERT_TRUE(bystander->ReadReplies(2)) << kiv->Log();
    EXPECT_TRUE(kiv->WaitForLog("[OUT]  5 Version: 11.0.1"));
    EXPECT_EQ(Count(kiv->Log(), "[SYS]W Message box \"Confirm quit\": \"Kiv is still in On Air mode!{CR}{LF}{CR}{LF}Do "
                                "you really want to quit Kiv?\" cannot be answered on the offscreen platform; "
                                "answered No.\r\n"),
              101u);
    EXPECT_TRUE(quitter->received.empty()) << "QUIT is never answered";
    EXPECT_TRUE(kiv->Running());
}

struct SignalCase {
    const char* name;
    int signalNumber;
    const char* when;  // the log line after which the signal is sent
    bool twice;
};

class E2ESignal : public E2ELifecycle, public ::testing::WithParamInterface<SignalCase> {};

// A termination signal is Quit's Yes: Off Air, cache emptied, exit status 0,
// whenever it comes (start-up, a fade) and however often.
TEST_P(E2ESignal, EndsTheEngineCleanly) {
    const SignalCase& c = GetParam();
    QTemporaryDir pictures;
    WriteBmp(fs::path(pictures.path().toStdString()) / "red.bmp", 255, 0, 0);
    auto kiv = Start("[Transition]\nTransDur=25\n", false);
    ASSERT_TRUE(kiv);
    const fs::path cache = fs::path(kiv->Dir().toStdString()) / "cache";
    fs::create_directories(cache);
    std::ofstream(cache / "kiv_0123") << "cached";
    std::ofstream(cache / "notes.txt") << "kept";
    std::unique_ptr<TcpClient> client;
    if (std::string(c.when) == "fade") {
        ASSERT_TRUE(kiv->WaitForLog("Entering Main Loop..."));
        client = Connect(*kiv);
        ASSERT_TRUE(client && client->Send("1 RENDERER SET " + pictures.path().toStdString() + "/red.bmp\r\n"));
        ASSERT_TRUE(kiv->WaitForLog("About to render an image")) << kiv->Log();
    } else {
        ASSERT_TRUE(kiv->WaitForLog(c.when)) << kiv->Log();
    }
    const pid_t pid = static_cast<pid_t>(kiv->Process().processId());
    ASSERT_EQ(::kill(pid, c.signalNumber), 0);
    if (c.twice) ::kill(pid, c.signalNumber);
    EXPECT_EQ(ExitCode(*kiv), 0) << kiv->Log() << kiv->Errors();
    const std::string log = kiv->Log();
    const std::string line = std::string("[SYS]I Received ") + c.name + ". Quitting Kiv without confirmation.\r\n";
    EXPECT_EQ(Count(log, line), 1u) << log;
    EXPECT_NE(log.find("[CCH]  CacheManager: Cleaning up cache...", log.find(line)), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(cache / "kiv_0123"));
    EXPECT_TRUE(fs::exists(cache / "notes.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, E2ESignal,
    ::testing::Values(SignalCase{"SIGTERM", SIGTERM, "Entering Main Loop...", true},
                      SignalCase{"SIGINT", SIGINT, "Successfully initialized.", false},
                      SignalCase{"SIGHUP", SIGHUP, "fade", false}),
    [](const auto& info) { return std::string(info.param.name); });

// `kiv | head -c 10`: the reader goes away and the engine keeps answering,
// with one note on standard error.
TEST_F(E2ELifecycle, ClosedStandardOutputEndsOnlyTheEcho) {
    port_ = KivProcess::FreePort();
    KivProcess kiv("[General]\nVersion=1\nOnAirMonitor=0\nListeningPort=" + std::to_string(port_) + "\n");
    QProcess head;
    kiv.Process().setStandardOutputProcess(&head);
    head.start(QStringLiteral("head"), {QStringLiteral("-c"), QStringLiteral("10")});
    ASSERT_TRUE(kiv.Start());
    ASSERT_TRUE(head.waitForFinished(20000));
    EXPECT_EQ(head.readAllStandardOutput().size(), 10);
    // The log is out of sight: asked until the engine is up (a command sent
    // while it starts may be lost when its queue is set up).
    std::unique_ptr<TcpClient> client;
    for (int i = 0; i < 40 && !(client && client->ReadReplies(1, "\r\n", 500)); ++i) {
        if (!client && !(client = Connect(kiv))) QThread::msleep(50);
        if (client) client->Send("6 VERSION\r\n");
    }
    ASSERT_TRUE(client);
    for (int i = 0; i < 3; ++i) {
        client->received.clear();
        ASSERT_TRUE(client->Send("7 VERSION\r\n"));
        ASSERT_TRUE(client->ReadReplies(1)) << kiv.Errors();
        EXPECT_EQ(client->received, "7 Version: 11.0.1\r\n");
    }
    EXPECT_TRUE(kiv.Running());
    kiv.Process().waitForReadyRead(100);
    EXPECT_EQ(Count(kiv.Errors(), "kiv: standard output was closed; the log is no longer echoed there.\n"), 1u);
}

// Nobody reads standard output for a while: the engine answers every command
// all the same, and the reader, once back, learns how many lines it missed.
TEST_F(E2ELifecycle, StalledStandardOutputDropsLinesAndSaysHowMany) {
    auto kiv = Start("VerboseConsole=1\n");
    ASSERT_TRUE(kiv);
    TcpClient client;  // waits without draining the engine's log
    ASSERT_TRUE(client.Connect(port_));
    std::string batch;
    for (int i = 0; i < 10000; ++i) batch += "VERSION\r\n";
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(client.Send(batch));
        ASSERT_TRUE(client.ReadReplies(10000 * (round + 1), "\r\n", 60000)) << Count(client.received, "\r\n");
    }
    kiv->Log();  // drained: the next line brings the count
    ASSERT_TRUE(client.Send("8 VERSION\r\n"));
    ASSERT_TRUE(kiv->WaitForLog(" log lines were not echoed there.\r\n")) << kiv->Log().size();
    EXPECT_NE(kiv->Log().find("[SYS]W Standard output was not read in time: "), std::string::npos);
    EXPECT_TRUE(kiv->WaitForLog("[OUT]  8 Version: 11.0.1"));
}

// The package: built by CPack, holding the program, its ini, the units and
// the desktop entries; the program unpacked from it runs headless.
TEST_F(E2ELifecycle, PackageHoldsTheEngineThatRuns) {
    for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) GTEST_SKIP() << tool << " is missing";
    QTemporaryDir out;
    const auto run = [](const QString& program, const QStringList& args, QByteArray* output = nullptr) {
        QProcess p;
        p.setWorkingDirectory(QStringLiteral(KIV_BINARY_DIR));
        p.start(program, args);
        const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (output) *output = p.readAllStandardOutput();
        return ok;
    };
    ASSERT_TRUE(run(QStringLiteral("cpack"), {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out.path()}));
    const QStringList debs = QDir(out.path()).entryList({QStringLiteral("kiv_*.deb")});
    ASSERT_EQ(debs.size(), 1);
    const QString deb = out.filePath(debs.front());
    QByteArray listing, control;
    ASSERT_TRUE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), deb}, &listing));
    for (const char* file : {" ./opt/kiv/kiv\n", " ./opt/kiv/kiv.ini\n", " ./lib/systemd/system/kiv.service\n",
                             " ./usr/lib/systemd/user/kiv.service\n", " ./usr/share/applications/kiv.desktop\n",
                             " ./opt/kiv/autostart/kiv.desktop\n"})
        EXPECT_TRUE(listing.contains(file)) << file << listing.toStdString();
    ASSERT_TRUE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb, QStringLiteral("Depends")}, &control));
    for (const char* dependency : {"libqt6widgets6", "libcurl4", "libturbojpeg0", "adduser"})
        EXPECT_TRUE(control.contains(dependency)) << dependency << control.toStdString();

    const QString root = out.filePath(QStringLiteral("root"));
    ASSERT_TRUE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb, root}));
    const fs::path ini = root.toStdString() + "/opt/kiv/kiv.ini";
    std::string text;
    {
        std::ifstream in(ini, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    const size_t at = text.find("ListeningPort=6100");
    ASSERT_NE(at, std::string::npos);
    port_ = KivProcess::FreePort();
    text.replace(at, 18, "ListeningPort=" + std::to_string(port_));
    std::ofstream(ini, std::ios::binary | std::ios::trunc) << text;

    QProcess kiv;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KIV_CONSOLE_STDOUT"), QStringLiteral("1"));
    kiv.setProcessEnvironment(env);
    kiv.setWorkingDirectory(QStringLiteral("/"));
    kiv.start(root + QStringLiteral("/opt/kiv/kiv"), {});
    ASSERT_TRUE(kiv.waitForStarted(10000));
    QByteArray log;
    QDeadlineTimer deadline(20000);
    while (!log.contains("Entering Main Loop...") && !deadline.hasExpired() && kiv.waitForReadyRead(1000))
        log += kiv.readAllStandardOutput();
    ASSERT_TRUE(log.contains("Entering Main Loop...")) << log.toStdString();
    TcpClient client;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Send("1 VERSION\r\n"));
    ASSERT_TRUE(client.ReadReplies(1));
    EXPECT_EQ(client.received, "1 Version: 11.0.1\r\n");
    ::kill(static_cast<pid_t>(kiv.processId()), SIGTERM);
    ASSERT_TRUE(kiv.waitForFinished(20000));
    EXPECT_EQ(kiv.exitCode(), 0);
}

}  // namespace
