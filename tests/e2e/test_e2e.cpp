// The real engine end to end: started from a temporary folder with its own kiv.ini on the offscreen platform,
// driven over real TCP on a free port, its log read from the standard-output echo and the console log file.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/socket.h>
#include <sys/un.h>

#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

const std::string kPlain = "OnAirOnStartup=0\r\nDisableGui=1\r\nCompatible=4.2\r\n", kNul(1, '\0');
size_t Count(const std::string& text, const std::string& what) { return TcpClient::Count(text, what); }
std::string Repeat(const std::string& text, int times) {
    return QByteArray::fromStdString(text).repeated(times).toStdString();
}
std::string ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}
// A picture of one colour, saved at `path`; empty if it could not be.
QString Picture(const QString& path, QSize size, const QColor& colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path) ? path : QString();
}

class E2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }
    // kiv.ini on a free port, `general` added to [General] (and any sections after it).
    std::string Ini(const std::string& general = "") {
        port_ = KivProcess::FreePort();
        return "[General]\r\nVersion=1\r\nOnAirMonitor=0\r\nListeningPort=" + std::to_string(port_) + "\r\n" + general;
    }
    // An engine in its main loop (kiv_) and a client connected to it (client_).
    bool Up(const std::string& general) {
        kiv_ = std::make_unique<KivProcess>(Ini(general));
        if (kiv_->Start() && kiv_->WaitForLog("Entering Main Loop...\r\n") && (client_ = Connect(*kiv_))) return true;
        ADD_FAILURE() << kiv_->Log() << kiv_->Errors();
        return false;
    }
    std::unique_ptr<TcpClient> Connect(KivProcess& kiv) {
        auto client = std::make_unique<TcpClient>([&kiv] { kiv.Pump(); });
        return client->Connect(port_) ? std::move(client) : nullptr;
    }
    static std::string Ask(TcpClient& c, const std::string& command, std::string_view term = "\r\n", int ms = 10000) {
        c.received.clear();
        EXPECT_TRUE(c.Send(command) && c.ReadReplies(1, term, ms)) << command;
        return c.received;
    }
    // Another program's standard output, the engine going on meanwhile.
    QByteArray Run(const QString& program, const QStringList& args) {
        QProcess other;
        other.start(program, args);
        while (other.state() != QProcess::NotRunning) kiv_->Pump(), other.waitForFinished(5);
        return other.readAllStandardOutput();
    }
    bool Until(const std::function<bool()>& done, int ms = 20000) {
        for (QDeadlineTimer deadline(ms); !done() && !deadline.hasExpired();) kiv_->Pump(20);
        return done();
    }
    // GET with curl: the status code and the body.
    std::pair<int, QByteArray> Get(const std::string& path, const QStringList& options = {}) {
        const QString url = QString::fromStdString("http://127.0.0.1:" + std::to_string(http_) + path);
        const QByteArray out = Run("curl", options + QStringList{"-s", "-w", "\n%{http_code}", url});
        const qsizetype cut = out.lastIndexOf('\n');
        return {out.mid(cut + 1).toInt(), out.left(cut)};
    }
    std::string Status(const std::string& status) { return "[Status]\r\nHttpPort=" + std::to_string(http_ = KivProcess::FreePort()) + "\r\n" + status; }
    int port_ = 0, http_ = 0;
    std::unique_ptr<KivProcess> kiv_;
    std::unique_ptr<TcpClient> client_;
};

// A command sent before the queue has started is kept and answered; the ini is found beside the program.
TEST_F(E2E, ComesUpAndStaysUp) {
    KivProcess kiv(Ini("OnAirOnStartup=0\r\n"));
    ASSERT_TRUE(kiv.Start() && kiv.WaitForLog(" listening on port " + std::to_string(port_)));
    auto early = Connect(kiv);
    ASSERT_TRUE(early);
    EXPECT_EQ(Ask(*early, "1 VERSION\r\n"), "1 Version: 11.0.1\r\n");
    ASSERT_TRUE(kiv.WaitForLog("[SYS]  Successfully initialized.\r\n")) << kiv.Log() << kiv.Errors();
    EXPECT_NE(kiv.Log().find("Reading " + kiv.Dir().toStdString() + "/kiv.ini...\r\n"), std::string::npos);
    EXPECT_TRUE(kiv.StaysUpFor(1500)) << kiv.Log() << kiv.Errors();
}

// A fatal stop says why before the fatal line, never enters the main loop and leaves the engine up; with its port
// open, every client is taken and answered.
TEST_F(E2E, FatalStopsKeepTheEngineUpAndReachable) {
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::Any, 0));
    const std::string fatal = "[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n";
    port_ = KivProcess::FreePort();
    const std::string head = "[General]\r\nVersion=1\r\nListeningPort=", open = head + std::to_string(port_) + "\r\n";
    const std::tuple<std::string, std::string, int> cases[] = {  // kiv.ini, the reason, clients answered
        {head + std::to_string(other.serverPort()) + "\r\n",
         "[SES]E At least one of the locally configured listening ports is already in use by another process. The "
         "current configuration cannot be used. Aborting operation.\r\n", 0},
        {open, "[GFX]F Failed to initialize GFX output on monitor 2,", 3},  // the default monitor, of one
        {open + "OnAirMonitor=0\r\nCacheDir=/nonexistent/kiv/cache\r\n",
         "[CCH]F CacheManager: Failed to initialize\r\n", 3}};
    for (const auto& [ini, reason, clients] : cases) {
        KivProcess kiv(ini);
        ASSERT_TRUE(kiv.Start() && kiv.WaitForLog(fatal)) << kiv.Log() << kiv.Errors();
        EXPECT_LT(kiv.Log().find(reason), kiv.Log().find(fatal)) << kiv.Log();
        std::vector<std::unique_ptr<TcpClient>> connected;  // all kept open
        for (int i = 0; i < clients; ++i) {
            ASSERT_TRUE(connected.emplace_back(Connect(kiv)));
            const std::string prefix = std::to_string(i);
            EXPECT_EQ(Ask(*connected.back(), prefix + " VERSION\r\n"), prefix + " Version: 11.0.1\r\n");
        }
        EXPECT_TRUE(kiv.StaysUpFor(500) && kiv.Log().find("Entering Main Loop...") == std::string::npos);
    }
}

TEST_F(E2E, ProtocolSessionsRepliesWaitAndConsoleLog) {
    ASSERT_TRUE(Up(kPlain));
    auto& a = client_;
    auto b = Connect(*kiv_);
    ASSERT_TRUE(b && kiv_->WaitForLog("Creating new session 2 for 127.0.0.1\r\n"));
    // Prefixes echoed, each terminator answered with itself; a CR alone on a connection of its own; verbose: what was
    // received and sent, terminators spelled out.
    const std::tuple<TcpClient*, std::string, std::string, std::string> replies[] = {
        {a.get(), "12 VERSION\r\n", "\r\n", "12 Version: 4.2\r\n"},
        {a.get(), "3 " + std::string(8190, 'z') + "\r\n", "\r\n", "3 Error: Unknown command\r\n"},
        {a.get(), "tc_info\n", "\n", "{0,'Kiv','SystemTime'}\n"},
        {b.get(), "GET_ONAIR\r", "\r", "OFFAIR\r"},
        {a.get(), "9 ADD TOP" + kNul, kNul, "9 1" + kNul},
        {a.get(), "#VERBOSE 1\n", "\n", "VerboseConsole set to 1\n"},
        {a.get(), "1 ADD TOP\r\n", "\r\n", "1 1\r\n"},
        {a.get(), "MAIN" + kNul, kNul, kNul}};
    for (const auto& [client, command, term, reply] : replies) EXPECT_EQ(Ask(*client, command, term), reply);
    for (const char* line : {"[OUT]  12 Version: 4.2 (session=1)\r\n", "[TCP]V RECV 127.0.0.1,1: 1 ADD TOP{CR}{LF}\r\n",
                             "[TCP]  SEND 127.0.0.1,1: 1 1{CR}{LF}\r\n", "[TCP]  SEND 127.0.0.1,1: {NUL}\r\n",
                             "[TCP]  SEND 127.0.0.1,1: VerboseConsole set to 1{LF}\r\n"})
        EXPECT_TRUE(kiv_->WaitForLog(line, 5000)) << line;
    // A command queued during #WAIT 1000 is answered after it, in order; another client's waits too, and its
    // session goes away meanwhile; so does a third's, which closes right after a line ended by CR alone.
    ASSERT_TRUE(a->Send("#WAIT 1000\r\n") && kiv_->WaitForLog("#WAIT command received, halting CommandQueueManager"));
    auto c = Connect(*kiv_);
    ASSERT_TRUE(c && a->Send("2 VERSION\r\n") && b->Send("7 VERSION\r\n") && c->Send("8 VERSION\r"));
    c->Close();
    ASSERT_TRUE(kiv_->WaitForLog("[CMD]  7 VERSION (session=2)"));
    b->Close();
    a->received.clear();
    ASSERT_TRUE(a->ReadReplies(2));
    EXPECT_EQ(a->received, "\r\n2 Version: 4.2\r\n");
    for (const char* line : {"[CMD]  8 VERSION (session=3)\r\n", "[QUE]W Session 2 no longer valid, skipping command...",
                             "[QUE]W Session 3 no longer valid, skipping command..."})
        EXPECT_TRUE(kiv_->WaitForLog(line)) << line;
    // The console log file holds the whole log so far.
    const std::string clog = Ask(*a, "CLOG\r\n"), path = clog.substr(0, clog.size() - 5);
    ASSERT_TRUE(clog.size() > 5 && clog.substr(clog.size() - 5) == " OK\r\n") << clog;
    EXPECT_EQ(path.rfind(kiv_->Dir().toStdString() + "/kiv_", 0), 0u) << path;
    const std::string log = ReadFile(QString::fromStdString(path));
    const size_t resumed = log.find("[QUE]I Realtime operations completed. Resuming CommandQueueManager...\r\n",
                                    log.find("[CMD]  2 VERSION (session=1)\r\n"));
    EXPECT_LT(resumed, log.find("[OUT]  2 Version: 4.2 (session=1)\r\n", resumed)) << log;
    EXPECT_EQ(log.find("7 Version"), std::string::npos);
    EXPECT_NE(log.find("[SYS]  Writing console log to " + path + "\r\n"), std::string::npos);
}

// Binary garbage with NUL bytes, many clients at once pipelining 300 commands each, a connect storm, a run of NUL
// bytes (one-byte commands), clients that never read: every command a client got in is answered once and in order;
// one refused at the door gets nothing, one that leaves its replies unread is dropped, both logged.
TEST_F(E2E, HostileClients) {
    ASSERT_TRUE(Up(kPlain));
    std::string junk;
    for (int i = 0; i < 65536; ++i) junk += static_cast<char>((i * 2654435761u) >> 24);
    ASSERT_TRUE(client_->Send(junk));
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<std::string> expected(40);
    for (size_t i = 0; i < expected.size(); ++i) {
        std::string commands;
        for (int k = 0; k < 300; ++k) {
            const std::string prefix = std::to_string(i) + "." + std::to_string(k);
            commands += prefix + " VERSION\r\n";
            expected[i] += prefix + " Version: 4.2\r\n";
        }
        ASSERT_TRUE(clients.emplace_back(Connect(*kiv_)));
        clients.back()->Send(commands);  // fails only when refused at the door
    }
    size_t refused = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        clients[i]->ReadUntil([&](const std::string& r) { return r.size() >= expected[i].size(); }, 60000);
        if (clients[i]->closedByPeer && clients[i]->received.empty()) ++refused;
        else EXPECT_EQ(clients[i]->received, expected[i]) << i;
    }
    const std::string& log = kiv_->Log();
    size_t logged = Count(log, " requests are waiting to be accepted.");
    for (size_t at = log.find("W Refused "); at != std::string::npos; at = log.find("W Refused ", at + 1))
        logged += std::stoul(log.substr(at + 10));
    EXPECT_EQ(logged, refused);
    for (int i = 0; i < 20; ++i) TcpClient().Connect(port_);
    ASSERT_TRUE(client_->Send("\r\n8 VERSION\r\n"));
    EXPECT_TRUE(client_->ReadUntil([](const std::string& r) { return r.ends_with("8 Version: 4.2\r\n"); }));

    std::unique_ptr<TcpClient> nuls;  // reads while it sends
    nuls = std::make_unique<TcpClient>([&] { kiv_->Pump(1), nuls->ReadUntil([](auto&) { return false; }, -1); });
    ASSERT_TRUE(nuls->Connect(port_) && nuls->Send(std::string(65536, '\0'), 120000));
    ASSERT_TRUE(nuls->ReadReplies(65536, kNul, 120000)) << Count(nuls->received, kNul);
    EXPECT_TRUE(nuls->received == Repeat("Error: Unknown command" + kNul, 65536));

    const std::string version(700, 'v');  // long replies fill the engine's send buffers quickly
    ASSERT_TRUE(Up("OnAirOnStartup=0\r\nDisableGui=1\r\nCompatible=" + version + "\r\n"));
    auto second = Connect(*kiv_);
    const std::string commands = Repeat("VERSION\r\n", 40000);
    client_->Send(commands, 60000), second->Send(commands, 60000);  // fail once dropped
    EXPECT_TRUE(Until([&] { return Count(kiv_->Log(), "Socket Error 10055") == 2; }, 60000)) << kiv_->Log();
    auto bystander = Connect(*kiv_);
    ASSERT_TRUE(bystander);
    EXPECT_EQ(Ask(*bystander, "VERSION\r\n", "\r\n", 30000), "Version: " + version + "\r\n");
}

// Headless, Quit's question is logged and answered No at once: the queue goes on, even with a client sending QUIT
// over and over; a reader of standard output that stalls costs lines, not answers, and hears of it once back.
TEST_F(E2E, HeadlessQuitIsAnsweredNoAndAStalledReaderMissesOnlyLines) {
    ASSERT_TRUE(Up("VerboseConsole=1\r\n"));
    auto bystander = Connect(*kiv_);
    ASSERT_TRUE(bystander && client_->Send("1 QUIT\r\n"));
    EXPECT_EQ(Ask(*bystander, "2 VERSION\r\n"), "2 Version: 11.0.1\r\n");
    ASSERT_TRUE(client_->Send(Repeat("3 EXIT\r\n4 QUIT\r\n", 50)));
    EXPECT_EQ(Ask(*bystander, "5 VERSION\r\n"), "5 Version: 11.0.1\r\n");
    ASSERT_TRUE(kiv_->WaitForReplyLogged("5 Version: 11.0.1"));
    EXPECT_EQ(Count(kiv_->Log(), "[SYS]W Message box \"Confirm quit\": \"Kiv is still in On Air mode!{CR}{LF}{CR}{LF}"
                                 "Do you really want to quit Kiv?\" cannot be answered on the offscreen platform; "
                                 "answered No.\r\n"),
              101u);
    EXPECT_TRUE(client_->received.empty()) << "QUIT is never answered";
    TcpClient stalled;  // never takes in the engine's log
    ASSERT_TRUE(stalled.Connect(port_));
    for (size_t round = 1; round <= 2; ++round)
        ASSERT_TRUE(stalled.Send(Repeat("VERSION\r\n", 10000)) && stalled.ReadReplies(round * 10000, "\r\n", 60000));
    kiv_->Log();  // drained: the next line brings the count
    EXPECT_EQ(Ask(*bystander, "8 VERSION\r\n"), "8 Version: 11.0.1\r\n");
    ASSERT_TRUE(kiv_->WaitForLog(" log lines were not echoed there.\r\n"));
    EXPECT_NE(kiv_->Log().find("[SYS]W Standard output was not read in time: "), std::string::npos);
}

// A termination signal is Quit's Yes: Off Air, cache emptied, exit status 0, whenever it comes (start-up, On Air;
// while a picture goes on air: below) and however often.
TEST_F(E2E, SignalsEndTheEngineCleanly) {
    const std::tuple<const char*, int, const char*> cases[] = {{"SIGTERM", SIGTERM, "Entering Main Loop..."},
                                                               {"SIGINT", SIGINT, "Successfully initialized."},
                                                               {"SIGHUP", SIGHUP, "Entering On Air mode."}};
    for (const auto& [name, number, when] : cases) {
        KivProcess kiv(Ini());
        ASSERT_TRUE(kiv.Start() && kiv.WaitForLog(when)) << kiv.Log();
        ASSERT_EQ(::kill(pid_t(kiv.Process().processId()), number), 0);
        if (number == SIGTERM) ::kill(pid_t(kiv.Process().processId()), number);
        ASSERT_TRUE(kiv.Process().waitForFinished(20000));
        EXPECT_TRUE(kiv.Process().exitStatus() == QProcess::NormalExit && kiv.Process().exitCode() == 0);
        const std::string log = kiv.Log();
        const std::string line = "[SYS]I Received " + std::string(name) + ". Quitting Kiv without confirmation.\r\n";
        EXPECT_EQ(Count(log, line), 1u) << log;
        // Off Air once on air, then the cache is emptied.
        const size_t offAir = log.find(number == SIGINT ? line : "[SYS]  Leaving On Air mode.\r\n", log.find(line));
        EXPECT_LT(offAir, log.find("[CCH]  CacheManager: Cleaning up cache...", offAir)) << log;
    }
}

// Until a picture is on air, even while the hidden output is shown, nothing else runs: a command that arrives
// meanwhile is taken in, and a termination signal acted on, only after (composing a large picture takes a while).
TEST_F(E2E, NothingRunsWhileAPictureGoesOnAir) {
    ASSERT_TRUE(Up("DisableGui=1\r\nDisableGFXOnCleanup=1\r\n"));
    const std::string big = Picture(kiv_->Dir() + "/big.png", {4000, 3000}, Qt::darkCyan).toStdString();
    EXPECT_EQ(Ask(*client_, "CLEANUP\r\n"), "\r\n");  // hides the output
    ASSERT_TRUE(client_->Send("1 RENDERER SET " + big + "\r\n") && kiv_->WaitForLog("About to render"));
    ASSERT_TRUE(client_->Send("2 VERSION\r\n") && ::kill(pid_t(kiv_->Process().processId()), SIGTERM) == 0);
    ASSERT_TRUE(kiv_->Process().waitForFinished(20000) && kiv_->Process().exitCode() == 0);
    const std::string& log = kiv_->Log();
    const size_t done = log.find("Realtime operations completed.");
    EXPECT_LT(log.find("[GFX]  Enabling GFX output..."), done);
    EXPECT_LT(done, log.find("[SYS]I Received SIGTERM.")) << log;
    EXPECT_LT(done, log.find("[CMD]  2 VERSION (session=1)")) << "if taken in before the signal ended the engine";
}

// The package CPack builds holds the program, its ini, the service units and desktop entries, and the program
// unpacked from it runs headless with the shipped ini.
TEST_F(E2E, PackageHoldsTheEngineThatRuns) {
    QTemporaryDir out;
    const auto run = [](const QString& program, const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(KIV_BINARY_DIR);
        p.start(program, args);
        EXPECT_TRUE(p.waitForFinished(180000) && p.exitCode() == 0)
            << program.toStdString() << " " << p.readAllStandardError().toStdString();
        return p.readAllStandardOutput().toStdString();
    };
    run("cpack", {"-G", "DEB", "-B", out.path()});
    const QString deb = out.filePath(QDir(out.path()).entryList({"kiv_*.deb"}).value(0));
    const std::string listing = run("dpkg-deb", {"-c", deb}), depends = run("dpkg-deb", {"-f", deb, "Depends"});
    for (const char* file : {" ./opt/kiv/kiv\n", " ./opt/kiv/kiv.ini\n", " ./lib/systemd/system/kiv.service\n",
                             " ./usr/lib/systemd/user/kiv.service\n", " ./usr/share/applications/kiv.desktop\n",
                             " ./opt/kiv/autostart/kiv.desktop\n"})
        EXPECT_NE(listing.find(file), std::string::npos) << file << listing;
    for (const char* dependency : {"libqt6widgets6", "libcurl4", "libturbojpeg0", "adduser"})
        EXPECT_NE(depends.find(dependency), std::string::npos) << dependency << depends;
    run("dpkg-deb", {"-x", deb, out.filePath("root")});
    std::string ini = ReadFile(out.filePath("root/opt/kiv/kiv.ini"));
    const size_t at = ini.find("ListeningPort=6100"), statusAt = ini.find("HttpPort=6180");
    ASSERT_TRUE(at != std::string::npos && statusAt != std::string::npos) << ini;
    port_ = KivProcess::FreePort(), http_ = KivProcess::FreePort();
    ini.replace(statusAt, 13, "HttpPort=" + std::to_string(http_));
    kiv_ = std::make_unique<KivProcess>(ini.replace(at, 18, "ListeningPort=" + std::to_string(port_)),
                                        out.filePath("root/opt/kiv/kiv"));
    ASSERT_TRUE(kiv_->Start() && kiv_->WaitForLog("Entering Main Loop...\r\n") && (client_ = Connect(*kiv_)));
    EXPECT_EQ(Ask(*client_, "1 VERSION\r\n"), "1 Version: 11.0.1\r\n");
    EXPECT_EQ(Get("/healthz"), std::make_pair(200, QByteArray("ok\n")));
    // The units as systemd reads them, pointed at the unpacked program.
    for (const char* unit : {"lib/systemd/system/kiv.service", "usr/lib/systemd/user/kiv.service"}) {
        QFile file(out.filePath("root/") + unit), copy(out.filePath("kiv.service"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
        copy.write(file.readAll().replace("/opt/kiv/kiv", out.filePath("root/opt/kiv/kiv").toUtf8()));
        copy.close();
        run("systemd-analyze", {"verify", copy.fileName()});
    }
}

// A picture on air seen through the status server: its fields, the frame (the output's pixels, kept as the
// composite file), counters that moved, metrics that pass promtool, the page in a browser; bad requests refused.
TEST_F(E2E, StatusServerShowsWhatIsOnAir) {
    ASSERT_TRUE(Up("DisableGui=1\r\n" + Status("")));
    const QString picture = Picture(kiv_->Dir() + "/green.png", {160, 90}, Qt::green);
    EXPECT_EQ(Ask(*client_, "7 RENDERER SET " + picture.toStdString() + "\r\n"), "7\r\n");
    const QJsonObject status = QJsonDocument::fromJson(Get("/status.json").second).object();
    EXPECT_EQ(status["picture"].toString(), picture);
    EXPECT_TRUE(status["onAir"].toBool() && !status["fatalError"].toBool() && status["sessions"].toInt() == 1);
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")
                    .match(status["shownAt"].toString()).hasMatch()) << status["shownAt"].toString().toStdString();
    EXPECT_EQ(status["output"].toObject()["width"].toInt(), 800);
    const QImage shown(kiv_->Dir() + "/cache/kiv_COMPOSITEIMAGE"), frame = QImage::fromData(Get("/frame.jpg").second);
    ASSERT_TRUE(shown.size() == QSize(800, 800) && frame.size() == shown.size()) << frame.width();
    for (const QPoint at : {QPoint(400, 400), QPoint(5, 5), QPoint(400, 100), QPoint(795, 700)})
        for (int shift : {0, 8, 16})
            EXPECT_NEAR(frame.pixel(at) >> shift & 255, shown.pixel(at) >> shift & 255, 6) << at.x() << "," << at.y();
    EXPECT_EQ(QImage::fromData(Get("/frame.jpg?width=200").second).size(), QSize(200, 200));
    const QByteArray metrics = Get("/metrics").second;
    for (const char* moved : {"kiv_commands_total{command=\"RENDERER\"} 1\n", "kiv_renders_total{result=\"ok\"} 1\n",
                              "kiv_cache_requests_total{result=\"fetched\"} 1\n", "kiv_replies_total 1\n", "kiv_on_air 1\n"})
        EXPECT_TRUE(metrics.contains(moved)) << moved << metrics.toStdString();
    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(metrics);
    promtool.closeWriteChannel();
    EXPECT_TRUE(promtool.waitForFinished(30000) && promtool.exitCode() == 0) << promtool.readAll().toStdString();
    const std::tuple<std::string, QStringList, int> refused[] = {
        {"/nope", {}, 404}, {"/metrics", {"-X", "POST"}, 405}, {"/frame.jpg?width=0", {}, 400},
        {"/frame.jpg?width=100000", {}, 400}, {"/frame.jpg?width=abc", {}, 400}, {"/healthz", {}, 200},
        {"/status.json", {"-H", "X-Big: " + QString(100 << 10, 'a')}, 0}};
    for (const auto& [path, options, code] : refused) EXPECT_EQ(Get(path, options).first, code) << path;
    EXPECT_EQ(Ask(*client_, "8 VERSION\r\n"), "8 Version: 11.0.1\r\n");
    // The page in a browser: On Air, the picture's reference, and the green frame.
    QTemporaryDir profile;
    const QStringList chromium = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                  "--user-data-dir=" + profile.path(), "--window-size=1200,800",
                                  "--virtual-time-budget=4000"};
    const QString page = "http://127.0.0.1:" + QString::number(http_) + "/", shot = profile.filePath("page.png");
    const QString dom = Run("chromium", chromium + QStringList{"--dump-dom", page});
    EXPECT_TRUE(dom.contains(R"(<span id="air" class="on">ON AIR</span>)") && dom.contains(picture)) << dom.toStdString();
    Run("chromium", chromium + QStringList{"--screenshot=" + shot, page});
    const QImage screenshot(shot);
    int greenPixels = 0;
    for (int y = 0; y < screenshot.height(); y += 4)
        for (int x = 0; x < screenshot.width(); x += 4) greenPixels += qGreen(screenshot.pixel(x, y)) > 240 && qRed(screenshot.pixel(x, y)) < 20;
    EXPECT_GT(greenPixels, 5000) << shot.toStdString();
}

// Anything but loopback needs a token; with one, requests without it are refused; a port in use is only logged.
TEST_F(E2E, StatusServerTokenAddressAndPortInUse) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const std::pair<std::string, std::string> cases[] = {
        {Status("HttpAddress=0.0.0.0\r\n"), "[SYS]E Status server: refusing to listen on 0.0.0.0:"},
        {"[Status]\r\nHttpPort=" + std::to_string(taken.serverPort()) + "\r\n", "[SYS]E Status server: cannot listen on "},
        {Status("HttpAddress=0.0.0.0\r\nHttpToken=s3cret\r\n"), "[SYS]I Status server listening on http://0.0.0.0:"}};
    for (const auto& [ini, line] : cases) {
        ASSERT_TRUE(Up("OnAirOnStartup=0\r\n" + ini));
        EXPECT_TRUE(kiv_->WaitForLog(line)) << kiv_->Log();
        EXPECT_EQ(Ask(*client_, "1 VERSION\r\n"), "1 Version: 11.0.1\r\n");
    }
    EXPECT_EQ(Get("/healthz").first, 401);
    EXPECT_EQ(Get("/healthz", {"-H", "Authorization: Bearer wrong"}).first, 401);
    EXPECT_EQ(Get("/healthz", {"-H", "Authorization: Bearer s3cret"}), std::make_pair(200, QByteArray("ok\n")));
}

// Under systemd: ready once started, the state in STATUS, and watchdog pings also through a long #WAIT.
TEST_F(E2E, NotifiesSystemdAndPingsItsWatchdog) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("notify").toStdString();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string notes;
    const auto take = [&](int ms) {
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired(); kiv_->Pump(10))
            for (char buf[512]; const ssize_t n = ::recv(fd, buf, sizeof buf, 0);) {
                if (n <= 0) break;
                notes.append(buf, size_t(n)).append("|");
            }
    };
    kiv_ = std::make_unique<KivProcess>(Ini(kPlain));
    kiv_->SetEnv("NOTIFY_SOCKET", QString::fromStdString(path));
    kiv_->SetEnv("WATCHDOG_USEC", "2000000");
    ASSERT_TRUE(kiv_->Start() && kiv_->WaitForLog("Entering Main Loop...\r\n") && (client_ = Connect(*kiv_)));
    take(1500);
    EXPECT_EQ(notes.find("READY=1\nSTATUS=Off Air, 0 sessions"), 0u) << notes;
    EXPECT_NE(notes.find("STATUS=Off Air, 1 session|"), std::string::npos) << notes;
    ASSERT_TRUE(client_->Send("#WAIT 3000\r\n") && kiv_->WaitForLog("#WAIT command received"));
    notes.clear();
    take(2500);
    EXPECT_GE(Count(notes, "WATCHDOG=1"), 3u) << notes;
    ::close(fd);
}

// A stream carries what the output shows at its size and frame rate, the last frame repeated: the start-up picture's
// cut, then a fade sampled on its way; SIGTERM ends it with end-of-stream. An SRT receiver decodes the picture and
// leaves again mid-stream, which disturbs nothing.
TEST_F(E2E, StreamsCarryTheOutput) {
    QTemporaryDir dir;
    const QString red = Picture(dir.filePath("red.png"), {800, 800}, QColor(220, 30, 30)), frames = dir.filePath("f");
    const QString blue = Picture(dir.filePath("blue.png"), {800, 800}, QColor(30, 40, 210));
    ASSERT_TRUE(QDir(dir.path()).mkdir("f"));
    const std::string srt = "srt://127.0.0.1:" + std::to_string(KivProcess::FreePort());
    ASSERT_TRUE(Up("DisableGui=1\r\n[Defaults]\r\nStartupImage=" + red.toStdString() + "\r\n[Streams]\r\nStream1=" +
                   "videoconvert ! jpegenc ! multifilesink location=" + frames.toStdString() + "/%05d.jpg\r\n" +
                   "Stream2=videoconvert ! video/x-raw,format=I420 ! x264enc tune=zerolatency speed-preset=ultrafast "
                   "key-int-max=5 ! mpegtsmux ! srtsink uri=" + srt + "?mode=listener\r\n" + Status("")));
    QProcess receiver;
    receiver.start("gst-launch-1.0", {"-q", "srtsrc", QString::fromStdString("uri=" + srt + "?mode=caller"), "!",
                                      "tsdemux", "!", "h264parse", "!", "avdec_h264", "!", "videoconvert", "!",
                                      "jpegenc", "!", "multifilesink", "location=" + dir.filePath("r%03d.jpg")});
    ASSERT_TRUE(Until([&] { return QFile::exists(dir.filePath("r002.jpg")); })) << kiv_->Log();
    receiver.kill();
    receiver.waitForFinished();
    const QRgb received = QImage(dir.filePath("r001.jpg")).pixel(400, 400);
    EXPECT_TRUE(qRed(received) > 150 && qGreen(received) < 80 && qBlue(received) < 80) << std::hex << received;
    EXPECT_EQ(Ask(*client_, "1 RENDERER SET " + blue.toStdString() + "\r\n"), "1\r\n");
    const qsizetype faded = QDir(frames).count();
    ASSERT_TRUE(Until([&] { return QDir(frames).count() > faded + 10; }));
    EXPECT_TRUE(QRegularExpression(R"(kiv_stream_frames_total\{stream="Stream2"\} [1-9])")
                    .match(Get("/metrics").second).hasMatch());
    ASSERT_TRUE(::kill(pid_t(kiv_->Process().processId()), SIGTERM) == 0 && kiv_->Process().waitForFinished(20000));
    EXPECT_NE(kiv_->Log().find("[GFX]  Stream1 ended with end-of-stream."), std::string::npos) << kiv_->Log();
    EXPECT_EQ(kiv_->Log().find("[GFX]E"), std::string::npos) << kiv_->Log();
    // Each frame's centre: red, blue, or on the way between them.
    std::string kinds;
    for (const QString& name : QDir(frames).entryList(QDir::Files, QDir::Name)) {
        const QImage frame(frames + "/" + name);
        ASSERT_EQ(frame.size(), QSize(800, 800)) << name.toStdString();
        const QColor c = frame.pixelColor(400, 400);
        const auto near = [&](int r, int g, int b) { return std::abs(c.red() - r) + std::abs(c.green() - g) + std::abs(c.blue() - b) < 24; };
        kinds += near(220, 30, 30) ? 'R' : near(30, 40, 210) ? 'B' : near(0, 0, 0) ? '0' : 'f';
    }
    EXPECT_TRUE(QRegularExpression("^0*R+f+B{10,}$").match(QString::fromStdString(kinds)).hasMatch()) << kinds;
}

// Streams that cannot be built or run, a fifth key and a frame rate that cannot pace a stream are logged; a stream
// whose sink never takes a frame drops the oldest, while fades and replies go on; a failed stream is restarted.
TEST_F(E2E, StreamsThatFailOrBlockLeaveTheEngineAlone) {
    ASSERT_TRUE(Up("DisableGui=1\r\nDisplayFrameRate=-4\r\n[Streams]\r\nStream1=nosuchelement ! fakesink\r\n"
                   "Stream2=videoconvert ! ! fakesink\r\nStream3=jpegenc ! multifilesink location=/nonexistent/%d\r\n"
                   "Stream4=fakesink sync=true ts-offset=3600000000000\r\nStream5=fakesink\r\n" + Status("")));
    for (const char* line : {"[GFX]W Warning: Stream5 in [Streams] is ignored",
                             "[GFX]W DisplayFrameRate=-4 cannot pace a stream: the streams run at 25 frames per second.",
                             "[GFX]E Stream1 failed: the pipeline cannot be built: no element \"nosuchelement\". "
                             "It is restarted in 5 s.",
                             "[GFX]E Stream2 failed: the pipeline cannot be built: syntax error.",
                             "Error while writing to file \"/nonexistent/0\". It is restarted in 5 s.",
                             "[GFX]W Stream4 cannot keep up: its queue dropped "})
        EXPECT_TRUE(kiv_->WaitForLog(line)) << line << kiv_->Log();
    const auto descriptors = [&] { return QDir("/proc/" + QString::number(kiv_->Process().processId()) + "/fd").count(); };
    const qsizetype open = descriptors();
    const QString picture = Picture(kiv_->Dir() + "/p.png", {64, 64}, Qt::gray);
    EXPECT_EQ(Ask(*client_, "1 RENDERER SET " + picture.toStdString() + "\r\n"), "1\r\n");
    EXPECT_EQ(Ask(*client_, "2 VERSION\r\n"), "2 Version: 11.0.1\r\n");
    EXPECT_TRUE(kiv_->WaitForLog("Error while writing to file \"/nonexistent/0\". It is restarted in 60 s."));
    EXPECT_EQ(descriptors(), open) << "across a restart";
    EXPECT_TRUE(QRegularExpression(R"(kiv_stream_dropped_total\{stream="Stream4"\} [1-9])")
                    .match(Get("/metrics").second).hasMatch());
    ASSERT_TRUE(::kill(pid_t(kiv_->Process().processId()), SIGTERM) == 0 && kiv_->Process().waitForFinished(20000));
    EXPECT_EQ(kiv_->Process().exitCode(), 0);
    EXPECT_NE(kiv_->Log().find("[GFX]W Stream4 did not finish its end-of-stream: no answer within 3 s"), std::string::npos);
}

}  // namespace
