// Sessions, sockets and replies over real loopback TCP, with the engine's
// network and queue running in this process on the Qt event loop.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <QTimer>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "net/sckCommands.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

const auto npos = std::string::npos;
void Pump() { WaitMs(2); }
std::string P(long long n) { return std::to_string(n); }
bool PumpUntil(const std::function<bool()>& done, int rounds = 5000) {
    for (int i = 0; i < rounds && !done(); ++i) Pump();
    return done();
}

struct Peer {
    std::unique_ptr<TcpClient> tcp = std::make_unique<TcpClient>(Pump);
    int32_t session = 0;
    int16_t socket = 0;

    std::string Ask(const std::string& line, size_t replies = 1) {
        tcp->received.clear();
        EXPECT_TRUE(tcp->Send(line) && tcp->ReadReplies(replies, "\r", 30000)) << line.substr(0, 20);
        return tcp->received;
    }
};

class Sessions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        EnsureCoreApplication();
        Settings.Compatible = "4.2";
        Settings.ListeningPort = KivProcess::FreePort();
        SetAcceptDelayMs(0);
        InitSessionManager();
        InitCommandQueue();
        ASSERT_FALSE(FatalError);
    }
    void SetUp() override {
        PumpUntil([] { return SessionTable().empty(); });  // clients of an earlier test are gone
        mark_ = ConsoleText().size();
    }

    std::string Log() const { return ConsoleText().substr(mark_); }
    bool WaitForLog(const std::string& text) { return PumpUntil([&] { return Log().find(text) != npos; }); }

    // Connects and waits until the engine has made the session.
    Peer Connect() {
        Peer p;
        const size_t before = TcpClient::Count(ConsoleText(), "Creating new session ");
        EXPECT_TRUE(p.tcp->Connect(Settings.ListeningPort));
        EXPECT_TRUE(PumpUntil([&] { return TcpClient::Count(ConsoleText(), "Creating new session ") > before; }));
        std::tie(p.session, p.socket) = std::pair(SessionTable().back().session, SessionTable().back().socket);
        return p;
    }

    size_t mark_ = 0;
};

// A reset is logged as an error and closes; of the other errors only an aborted connection closes, the rest are logged.
TEST_F(Sessions, SocketErrors) {
    Peer reset = Connect(), aborted = Connect();
    const std::string r = P(reset.socket), a = P(aborted.socket);
    reset.tcp->Reset();
    ASSERT_TRUE(WaitForLog("[SES]  Socket " + r + " destroyed.\r\n"));
    EXPECT_LT(Log().find("[TCP]E Socket " + r + ": Socket Error 10054: "), Log().find("Socket " + r + " closed connection."));
    sckCommands_Error(aborted.socket, 10060, "Connection timed out");
    EXPECT_TRUE(IsSessionValid(aborted.session));
    sckCommands_Error(aborted.socket, 10053, "Software caused connection abort");
    EXPECT_TRUE(aborted.tcp->WaitForClose());
    EXPECT_NE(Log().find("[TCP]E Socket " + a + ": Socket Error 10060: Connection timed out\r\n"), npos);
    EXPECT_NE(Log().find("[TCP]E Socket " + a + ": Socket Error 10053: Software caused connection abort\r\n"), npos);
    EXPECT_EQ(TcpClient::Count(Log(), "Socket " + a + " closed connection."), 1u);
    EXPECT_TRUE(!IsSessionValid(reset.session) && GetSocketBySession(aborted.session) == -1 && !sckCommands().Exists(aborted.socket));
}

// Received text is logged as its first 4 KiB. Unfinished lines: 1 MiB per
// connection, 16 MiB for all (beyond, the one holding the most goes).
TEST_F(Sessions, UnfinishedLinesAreCapped) {
    Peer ok = Connect();
    std::tie(DebugMode, Settings.VerboseConsole) = std::tuple(true, 1);
    ASSERT_TRUE(ok.tcp->Send(std::string(20000, 'x')));
    PumpUntil([&] { return GlobalRcvBuffer(ok.socket).size() == 20000; });
    std::tie(DebugMode, Settings.VerboseConsole) = std::tuple(false, 0);
    const std::string s = P(ok.socket);
    EXPECT_NE(Log().find("[TCP]D GlobalRcvBuffer(" + s + ") = " + std::string(4096, 'x') + "... (20000 bytes)\r\n"), npos);
    for (size_t start = 0, end; (end = Log().find("\r\n", start)) != npos; start = end + 2) EXPECT_LT(end - start, 4200u);
    EXPECT_EQ(ok.Ask(" " + std::string(kMaxUnconsumedBytes - 20001, 'x') + "\r\n"),
              std::string(20000, 'x') + " Error: Unknown command\r\n");

    Peer flood = Connect();
    ASSERT_TRUE(flood.tcp->Send(std::string(kMaxUnconsumedBytes + 1, 'x')));
    ASSERT_TRUE(flood.tcp->WaitForClose());
    EXPECT_NE(Log().find("[TCP]E Socket " + P(flood.socket) +
                         ": more than 1048576 bytes received without a line end. Closing connection.\r\n"), npos);
    EXPECT_EQ(ok.Ask("VERSION\r\n"), "Version: 4.2\r\n");

    const size_t each = 1000000, count = kMaxUnconsumedBytesTotal / each + 1;
    std::vector<Peer> peers;
    for (size_t i = 0; i < count; ++i) {
        peers.push_back(Connect());
        ASSERT_TRUE(peers.back().tcp->Send(std::string(each, 'x')));
        PumpUntil([&] { return GlobalRcvBuffer(peers.back().socket).size() == each || peers[0].tcp->closedByPeer; });
    }
    ASSERT_TRUE(peers[0].tcp->WaitForClose());
    EXPECT_EQ(TcpClient::Count(Log(), "this one the most"), 1u);
    EXPECT_NE(Log().find("[TCP]E Socket " + P(peers[0].socket) +
                         ": the connections together hold more than 16777216 bytes received without a line end, "
                         "this one the most (1000000 bytes). Closing connection.\r\n"), npos);
    for (size_t i = 1; i + 1 < count; ++i) EXPECT_EQ(GlobalRcvBuffer(peers[i].socket).size(), each);
}

// Once the index range is used up the listener takes the lowest free index (after a retry when none is free),
// and text a closed connection left unframed never reaches the next one on its index.
TEST_F(Sessions, FreedIndexesAreReusedWhenTheRangeIsExhausted) {
    const auto listening = [] {
        for (int16_t i = 1; i <= sckCommands().HighestIndex(); ++i)
            if (sckCommands().State(i) == SocketState::Listening) return i;
        return int16_t(-1);
    };
    const int16_t l = listening();
    SetMaxSocketIndex(int16_t(l + 1));
    Peer a = Connect();  // on l, the listener moves to l + 1
    ASSERT_TRUE(a.tcp->Send("VERS") && PumpUntil([&] { return GlobalRcvBuffer(l) == "VERS"; }));
    int16_t expected = 1;
    while (expected <= l + 1 && sckCommands().Exists(expected)) ++expected;
    Peer b = Connect();  // on l + 1, the last index allowed
    if (expected > l + 1) {
        EXPECT_NE(Log().find("[SES]E Cannot create a new listening socket (no free socket index). Will retry on the "
                             "next socket event.\r\n"), npos);
        a.tcp->Close();
        ASSERT_TRUE(WaitForLog("Socket " + P(l) + " destroyed."));
        expected = l;
    }
    EXPECT_EQ(listening(), expected);
    Peer c = Connect();
    EXPECT_EQ(c.socket, expected);
    EXPECT_EQ(c.Ask("VERSION\r\n"), "Version: 4.2\r\n");
    SetMaxSocketIndex(INT16_MAX);
}

// A line that finds the queue full is answered at once; reading has paused
// long before, so what a client sends meanwhile is answered later as usual.
TEST_F(Sessions, FullQueueAnswersAtOnceWhileTheNetworkWaits) {
    Peer c = Connect();
    for (int i = 0; i < kMaxQueuedCommands; ++i) AddCommand("VERSION", 0, "\r\n");
    AddCommand("7 TC_INFO", c.session, "\r\n");
    EXPECT_TRUE(QueueLength() == kMaxQueuedCommands && CommandQueue().back().command == "VERSION");
    EXPECT_EQ(c.Ask("8 VERSION\r\n", 2), "7 Error: command queue full\r\n8 Version: 4.2\r\n");
    EXPECT_NE(Log().find("[QUE]E Command queue is full (32767 commands). Dropping command for Session " + P(c.session) +
                         ": 7 TC_INFO\r\n"), npos);
    EXPECT_NE(Log().find("[OUT]  7 Error: command queue full (session=" + P(c.session) + ")\r\n"), npos);
}

// A CR ends its line at once. The LF that may arrive next is its other half, never an empty command: the reply ends
// CR LF if it has not gone yet (the command queued or running), else the LF is dropped.
TEST_F(Sessions, LfAfterACrEndedLineCompletesItsCrLf) {
    // One connection each: what is sent, turn by turn, and the replies to it.
    const std::vector<std::vector<std::pair<std::string, std::string>>> talks = {
        {{"1 VERSION\r", "1 Version: 4.2\r"}, {"\n2 VERSION\r\n", "2 Version: 4.2\r\n"}},
        {{"3 TC_INFO\r", "3 {0,'Kiv','SystemTime'}\r"}, {"4 VERSION\r\n", "4 Version: 4.2\r\n"}},
        {{"5 VERSION\r", "5 Version: 4.2\r"}, {"\n\n6 VERSION\r", "Error: Unknown command\n6 Version: 4.2\r"}},
    };
    for (const auto& talk : talks) {
        Peer c = Connect();
        for (const auto& [sent, replies] : talk) EXPECT_EQ(c.Ask(sent), replies);
    }
    // The LFs come while the #WAIT runs: one for it, one for the command queued behind it.
    Peer c = Connect();
    QTimer::singleShot(200, [&] { c.tcp->Send("\n8 VERSION\r"); });
    QTimer::singleShot(500, [&] { c.tcp->Send("\n"); });
    EXPECT_TRUE(c.tcp->Send("7 #WAIT 1000\r") && c.tcp->ReadReplies(2));
    EXPECT_EQ(c.tcp->received, "7\r\n8 Version: 4.2\r\n");
    EXPECT_EQ(c.Ask("9 VERSION\r"), "9 Version: 4.2\r");  // reading goes on: the queue's byte count stayed right
}

// The array alone: beyond 256 requests waiting to be accepted, more are refused
// at the door and logged; a request whose client has gone is told apart.
TEST_F(Sessions, ConnectStormIsRefusedAtTheDoor) {
    cSocketArray array;
    const int port = KivProcess::FreePort();
    std::vector<bool> gone;
    const auto listen = [&](int16_t i) { return array.Create(i), array.SetLocalPort(i, port), array.Listen(i); };
    SocketEvents ev;
    ev.ConnectionRequest = [&](int16_t index, intptr_t id) {
        gone.push_back(array.RequestPeerGone(id));
        array.Close(index);
        if (array.Accept(index, id)) listen(static_cast<int16_t>(array.HighestIndex() + 1));
    };
    array.SetEvents(ev);
    ASSERT_TRUE(listen(1));
    array.Close(1);  // nobody listens: requests wait
    std::vector<Peer> clients(kMaxPendingRequests + 3);
    for (Peer& c : clients) ASSERT_TRUE(c.tcp->Connect(port) && (Pump(), true));
    ASSERT_TRUE(clients.back().tcp->WaitForClose());
    clients[1].tcp->Close();
    clients[2].tcp->Reset();
    PumpUntil([] { return false; }, 20);
    ASSERT_TRUE(listen(2));
    PumpUntil([&] { return gone.size() >= kMaxPendingRequests; });
    EXPECT_EQ(std::vector<bool>(gone.begin(), gone.begin() + 4), (std::vector<bool>{false, true, true, false}));
    const std::string p = P(port);
    EXPECT_EQ(TcpClient::Count(Log(), "[TCP]W Connection request from 127.0.0.1 on port " + p +
                                          " refused: 256 requests are waiting to be accepted.\r\n"), 1u);
    EXPECT_NE(Log().find("[TCP]W Refused 2 more connection requests on port " + p + " while 256 were waiting.\r\n"), npos);
}

}  // namespace
