// Sessions, sockets and replies over real loopback TCP, with the engine's
// network and queue running in this process on the Qt event loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <QCoreApplication>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "net/sckCommands.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/net/TcpClient.h"

namespace {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_net_sessions";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

void Pump() { WaitMs(2); }

int16_t ListeningIndex() {
    for (int16_t i = 1; i <= sckCommands().HighestIndex(); ++i)
        if (sckCommands().State(i) == SocketState::Listening) return i;
    return -1;
}

class Sessions : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        static bool started = false;
        Settings.Compatible = "4.2";
        Settings.VerboseConsole = 0;
        if (!started) {
            Settings.ListeningPort = FreePort();
            SetAcceptDelayMs(0);
            InitSessionManager();
            InitCommandQueue();
            started = true;
        }
        ASSERT_FALSE(FatalError);
        // Clients of an earlier test are gone once their closes are handled.
        for (int i = 0; i < 5000 && !SessionTable().empty(); ++i) Pump();
        mark_ = ConsoleText().size();
    }

    std::string Log() const { return ConsoleText().substr(mark_); }

    bool WaitForLog(const std::string& text, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Pump();
        }
        return true;
    }

    // Connects and waits until the engine has made the session; the newest
    // row of the table is then this client's.
    std::unique_ptr<TcpClient> Connect() {
        auto client = std::make_unique<TcpClient>(Pump);
        const size_t before = TcpClient::Count(ConsoleText(), "Creating new session ");
        EXPECT_TRUE(client->Connect(Settings.ListeningPort));
        for (int i = 0; i < 5000 && TcpClient::Count(ConsoleText(), "Creating new session ") == before; ++i) Pump();
        EXPECT_EQ(TcpClient::Count(ConsoleText(), "Creating new session "), before + 1);
        return client;
    }

    static std::string P(int n) { return std::to_string(n); }
    size_t mark_ = 0;
};

TEST_F(Sessions, ResetIsLoggedAsErrorThenClosed) {
    auto c = Connect();
    const int32_t s = SessionTable().back().session;
    const int16_t sock = SessionTable().back().socket;
    c->Reset();
    ASSERT_TRUE(WaitForLog("[SES]  Socket " + P(sock) + " destroyed."));
    const std::string log = Log();
    const size_t error = log.find("[TCP]E Socket " + P(sock) + ": Socket Error 10054: ");
    const size_t closed = log.find("Socket " + P(sock) + " closed connection.");
    ASSERT_NE(error, std::string::npos);
    EXPECT_LT(error, closed);
    EXPECT_FALSE(IsSessionValid(s));
}

TEST_F(Sessions, AbortedConnectionIsClosedOtherErrorsAreOnlyLogged) {
    auto c = Connect();
    const int32_t s = SessionTable().back().session;
    const int16_t sock = SessionTable().back().socket;
    sckCommands_Error(sock, 10060, "Connection timed out");
    EXPECT_TRUE(IsSessionValid(s));
    sckCommands_Error(sock, 10053, "Software caused connection abort");
    EXPECT_FALSE(IsSessionValid(s));
    EXPECT_FALSE(sckCommands().Exists(sock));
    const std::string log = Log();
    const size_t other = log.find("[TCP]E Socket " + P(sock) + ": Socket Error 10060: Connection timed out\r\n");
    const size_t aborted = log.find("[TCP]E Socket " + P(sock) + ": Socket Error 10053: Software caused connection abort");
    ASSERT_NE(other, std::string::npos);
    ASSERT_NE(aborted, std::string::npos);
    EXPECT_LT(other, aborted);
    EXPECT_EQ(TcpClient::Count(log, "Socket " + P(sock) + " closed connection."), 1u);
    EXPECT_NE(log.find("[SES]  Removing session " + P(s) + " for 127.0.0.1"), std::string::npos);
    EXPECT_TRUE(c->WaitForClose());
    EXPECT_EQ(GetSocketBySession(s), -1);
    EXPECT_EQ(GetSessionBySocket(sock), 0);
    EXPECT_EQ(GetSessionAddress(s), "-1");
    EXPECT_EQ(GetSessionAddress(0), "console");
    EXPECT_EQ(GetSessionAddress(-1), "-1");
    EXPECT_TRUE(IsSessionValid(0));
    EXPECT_TRUE(IsSessionValid(-1));
}

TEST_F(Sessions, UnfinishedLineBeyondOneMebibyteClosesTheConnection) {
    auto ok = Connect();
    std::string line(kMaxUnconsumedBytes, 'x');
    ASSERT_TRUE(ok->Send("1 " + line.substr(2) + "\r\n"));
    ASSERT_TRUE(ok->ReadReplies(1));
    EXPECT_EQ(ok->received, "1 Error: Unknown command\r\n");

    auto flood = Connect();
    const int32_t s = SessionTable().back().session;
    const int16_t sock = SessionTable().back().socket;
    ASSERT_TRUE(flood->Send(line + "yy"));
    ASSERT_TRUE(flood->WaitForClose());
    ASSERT_TRUE(WaitForLog("[SES]  Socket " + P(sock) + " destroyed."));
    EXPECT_NE(Log().find("[TCP]E Socket " + P(sock) + ": more than 1048576 bytes received without a line end."),
              std::string::npos);
    EXPECT_FALSE(IsSessionValid(s));
    EXPECT_EQ(GlobalRcvBuffer(sock), "");
    // The other connection is untouched.
    ok->received.clear();
    ASSERT_TRUE(ok->Send("VERSION\r\n"));
    ASSERT_TRUE(ok->ReadReplies(1));
    EXPECT_EQ(ok->received, "Version: 4.2\r\n");
}

TEST_F(Sessions, FreedIndexesAreReusedWhenTheRangeIsExhausted) {
    const int16_t l = ListeningIndex();
    SetMaxSocketIndex(static_cast<int16_t>(l + 1));
    auto a = Connect();  // on l, listener to l + 1
    // An unfinished line must not survive into the next connection on l.
    ASSERT_TRUE(a->Send("VERS"));
    for (int i = 0; i < 2000 && GlobalRcvBuffer(l).empty(); ++i) Pump();
    EXPECT_EQ(GlobalRcvBuffer(l), "VERS");
    int16_t expected = -1;
    for (int16_t i = 1; i <= l + 1 && expected < 0; ++i)
        if (!sckCommands().Exists(i)) expected = i;
    auto b = Connect();  // on l + 1, no index above is allowed
    if (expected < 0) {
        EXPECT_NE(Log().find("[SES]E Cannot create a new listening socket"), std::string::npos);
        a->Close();  // frees l; the next socket event retries
        ASSERT_TRUE(WaitForLog("Socket " + P(l) + " destroyed."));
        expected = l;
    }
    EXPECT_EQ(ListeningIndex(), expected);
    auto c = Connect();
    EXPECT_EQ(SessionTable().back().socket, expected);
    ASSERT_TRUE(c->Send("VERSION\r\n"));
    ASSERT_TRUE(c->ReadReplies(1));
    EXPECT_EQ(c->received, "Version: 4.2\r\n");
    SetMaxSocketIndex(INT16_MAX);
}

// A line that finds the queue full is answered at once. Reading from the
// network has paused long before: what a client sends meanwhile waits in its
// socket and is answered normally once the queue loop has worked through.
TEST_F(Sessions, FullQueueAnswersAtOnceWhileTheNetworkWaits) {
    auto c = Connect();
    const int32_t s = SessionTable().back().session;
    for (int i = 0; i < kMaxQueuedCommands; ++i) AddCommand("VERSION", 0, "\r\n");
    ASSERT_EQ(QueueLength(), kMaxQueuedCommands);
    AddCommand("7 TC_INFO", s, "\r\n");
    EXPECT_EQ(QueueLength(), kMaxQueuedCommands);
    EXPECT_EQ(CommandQueue().back().command, "VERSION");
    ASSERT_TRUE(c->Send("8 VERSION\r\n"));
    ASSERT_TRUE(c->ReadReplies(2, "\r\n", 30000));
    EXPECT_EQ(c->received, "7 Error: command queue full\r\n8 Version: 4.2\r\n");
    const std::string log = Log();
    EXPECT_NE(log.find("[QUE]E Command queue is full (32767 commands). Dropping command for Session " + P(s) +
                       ": 7 TC_INFO\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("[OUT]  7 Error: command queue full (session=" + P(s) + ")\r\n"), std::string::npos);
}

// A CR at the end of an arrival waits for the LF that may follow, the
// longer once the client has shown that its lines end in CR LF; a client
// ending its lines with CR alone is answered once the short wait is over.
TEST_F(Sessions, CrLfSplitAcrossArrivalsIsOneTerminator) {
    auto c = Connect();
    const int16_t sock = SessionTable().back().socket;
    ASSERT_TRUE(c->Send("TC_INFO\r\n"));
    ASSERT_TRUE(c->ReadReplies(1));
    ASSERT_TRUE(c->Send("VERSION\r"));
    for (int i = 0; i < 5000 && GlobalRcvBuffer(sock).empty(); ++i) Pump();
    WaitMs(2 * kCrHoldMs);
    EXPECT_EQ(GlobalRcvBuffer(sock), "VERSION\r");
    ASSERT_TRUE(c->Send("\n"));
    ASSERT_TRUE(c->ReadReplies(2));
    EXPECT_EQ(c->received, "{0,'Kiv','SystemTime'}\r\nVersion: 4.2\r\n");

    auto cr = Connect();
    ASSERT_TRUE(cr->Send("1 VERSION\r"));
    ASSERT_TRUE(cr->ReadReplies(1, "\r"));
    ASSERT_TRUE(cr->Send("2 VERSION\r"));
    ASSERT_TRUE(cr->ReadReplies(2, "\r"));
    EXPECT_EQ(cr->received, "1 Version: 4.2\r2 Version: 4.2\r");
    // An LF later than any wait still completes its CR LF: no empty command.
    ASSERT_TRUE(cr->Send("\n3 VERSION\r\n"));
    ASSERT_TRUE(cr->ReadReplies(3, "\r"));
    EXPECT_EQ(cr->received, "1 Version: 4.2\r2 Version: 4.2\r3 Version: 4.2\r\n");

    // Taken as a CR-ended line and queued, the command is answered with
    // CR LF when the LF comes before its turn.
    auto late = Connect();
    const int16_t lateSock = SessionTable().back().socket;
    SetQueueTimerEnabled(false);
    ASSERT_TRUE(late->Send("4 VERSION\r"));
    for (int i = 0; i < 5000 && QueueLength() == 0; ++i) Pump();
    ASSERT_EQ(QueueLength(), 1);
    ASSERT_TRUE(late->Send("\n"));
    for (int i = 0; i < 5000 && CommandQueue().back().terminator != "\r\n"; ++i) Pump();
    EXPECT_EQ(GlobalRcvBuffer(lateSock), "");
    SetQueueTimerEnabled(true);
    ASSERT_TRUE(late->ReadReplies(1));
    EXPECT_FALSE(late->ReadUntil([](const std::string& r) { return r.size() > 16; }, 300));
    EXPECT_EQ(late->received, "4 Version: 4.2\r\n");
}

// Many connections, each below its own cap, cannot together hold more than
// the overall cap: the one holding the most is closed, the others keep theirs.
TEST_F(Sessions, UnfinishedLinesOfAllConnectionsAreCapped) {
    const size_t each = 1000000;
    ASSERT_LT(each, kMaxUnconsumedBytes);
    const size_t count = kMaxUnconsumedBytesTotal / each + 1;
    const std::string text(each, 'x');
    std::vector<std::unique_ptr<TcpClient>> clients;
    std::vector<int16_t> sockets;
    for (size_t i = 0; i < count; ++i) {
        clients.push_back(Connect());
        sockets.push_back(SessionTable().back().socket);
        ASSERT_TRUE(clients.back()->Send(text));
        for (int k = 0; k < 5000 && GlobalRcvBuffer(sockets.back()).size() < each && !clients[0]->closedByPeer; ++k)
            Pump();
    }
    ASSERT_TRUE(clients[0]->WaitForClose());
    const int16_t most = *std::min_element(sockets.begin(), sockets.end() - 1);  // equal holdings: lowest index
    const std::string log = Log();
    EXPECT_EQ(TcpClient::Count(log, "bytes received without a line end, this one the most"), 1u);
    EXPECT_NE(log.find("[TCP]E Socket " + P(most) +
                       ": the connections together hold more than 16777216 bytes received without a line end, "
                       "this one the most (1000000 bytes). Closing connection.\r\n"),
              std::string::npos);
    for (const int16_t sock : sockets) EXPECT_EQ(GlobalRcvBuffer(sock).size(), sock == most ? 0u : each);
}

// With debug logging on, received text is logged as its first 4 KiB and its
// length, however long the buffer grows.
TEST_F(Sessions, LoggedReceiveTextIsCutAtFourKibibytes) {
    auto c = Connect();
    const int16_t sock = SessionTable().back().socket;
    DebugMode = true;
    Settings.VerboseConsole = 1;
    ASSERT_TRUE(c->Send(std::string(20000, 'x')));
    for (int i = 0; i < 5000 && GlobalRcvBuffer(sock).size() < 20000; ++i) Pump();
    DebugMode = false;
    Settings.VerboseConsole = 0;
    const std::string log = Log();
    EXPECT_NE(log.find("[TCP]D GlobalRcvBuffer(" + P(sock) + ") = " + std::string(4096, 'x') + "... (20000 bytes)\r\n"),
              std::string::npos);
    EXPECT_GT(TcpClient::Count(log, "[TCP]V RECV 127.0.0.1," + P(sock) + ": "), 1u);
    for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LT(end - start, 4200u);
}

// The array alone over loopback TCP; the handler accepts every request on the
// listening element and moves the listening role up, as the sessions do.
class SocketArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        SocketEvents ev;
        ev.ConnectionRequest = [this](int16_t index, intptr_t id) {
            gone.push_back(array.RequestPeerGone(id));
            array.Close(index);
            if (!array.Accept(index, id)) return;
            accepted.push_back(index);
            const int16_t next = static_cast<int16_t>(array.HighestIndex() + 1);
            array.Create(next);
            array.SetLocalPort(next, port);
            array.Listen(next);
        };
        ev.Error = [this](int16_t index, int number, const std::string& description) {
            events.push_back("error " + std::to_string(index) + " " + std::to_string(number));
            descriptions.push_back(description);
        };
        ev.Close = [this](int16_t index) { events.push_back("close " + std::to_string(index)); };
        array.SetEvents(ev);
        port = FreePort();
        mark = ConsoleText().size();
    }

    // A client the array has accepted; its element's index in `index`.
    std::unique_ptr<TcpClient> Client(int16_t* index) {
        auto client = std::make_unique<TcpClient>(Pump);
        const size_t before = accepted.size();
        EXPECT_TRUE(client->Connect(port));
        for (int i = 0; i < 2000 && accepted.size() == before; ++i) Pump();
        EXPECT_EQ(accepted.size(), before + 1);
        *index = accepted.empty() ? -1 : accepted.back();
        return client;
    }

    cSocketArray array;
    int port = 0;
    size_t mark = 0;
    std::vector<int16_t> accepted;
    std::vector<bool> gone;
    std::vector<std::string> events, descriptions;
};

// A peer that never reads: beyond its cap unsent the array reports an error
// and a close instead of buffering more. All peers together: beyond the total
// the one holding the most goes, not the one whose reply came last.
TEST_F(SocketArrayTest, UnsentRepliesAreCappedPerPeerAndForAll) {
    ASSERT_TRUE(array.Create(1));
    array.SetLocalPort(1, port + 65536);
    EXPECT_FALSE(array.Listen(1));
    EXPECT_EQ(array.State(1), SocketState::Closed);
    array.SetLocalPort(1, port);
    ASSERT_TRUE(array.Listen(1));
    EXPECT_EQ(array.State(1), SocketState::Listening);

    int16_t a = -1;
    auto clientA = Client(&a);
    ASSERT_EQ(a, 1);
    EXPECT_EQ(array.State(1), SocketState::Connected);
    EXPECT_EQ(array.RemoteHostIP(1), "127.0.0.1");
    const std::string chunk(1 << 20, 'r');
    for (int i = 0; i < 64 && events.empty(); ++i) {
        array.SendData(1, chunk);
        Pump();
    }
    for (int i = 0; i < 200 && events.size() < 2; ++i) Pump();
    EXPECT_EQ(events, (std::vector<std::string>{"error 1 10055", "close 1"}));
    EXPECT_TRUE(clientA->WaitForClose());

    events.clear();
    descriptions.clear();
    array.SetUnsentLimits(kMaxUnsentBytes, 8u << 20);
    int16_t b = -1, c = -1;
    auto clientB = Client(&b);
    auto clientC = Client(&c);
    for (int i = 0; i < 64 && array.UnsentBytes(b) < (5u << 20); ++i) {
        array.SendData(b, chunk);
        Pump();
    }
    for (int i = 0; i < 64 && events.empty(); ++i) {
        array.SendData(c, chunk);
        Pump();
    }
    for (int i = 0; i < 200 && events.size() < 2; ++i) Pump();
    EXPECT_EQ(events, (std::vector<std::string>{"error " + std::to_string(b) + " 10055", "close " + std::to_string(b)}));
    ASSERT_FALSE(descriptions.empty());
    EXPECT_EQ(descriptions[0], "No buffer space available (more than 8 MiB of replies unread by all peers; this peer "
                               "holds the most)");
    EXPECT_EQ(array.State(c), SocketState::Connected);
    EXPECT_TRUE(clientB->WaitForClose());
}

// Requests beyond those waiting to be accepted are refused at the door and
// logged; a request whose client has gone is told apart from a live one.
TEST_F(SocketArrayTest, ConnectStormIsRefusedAtTheDoor) {
    array.Create(1);
    array.SetLocalPort(1, port);
    ASSERT_TRUE(array.Listen(1));
    array.Close(1);  // nobody listens: requests wait
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (size_t i = 0; i < kMaxPendingRequests + 3; ++i) {
        clients.push_back(std::make_unique<TcpClient>(Pump));
        ASSERT_TRUE(clients.back()->Connect(port));
        Pump();
    }
    ASSERT_TRUE(clients.back()->WaitForClose());
    const std::string refused = "[TCP]W Connection request from 127.0.0.1 on port " + std::to_string(port) +
                                " refused: 256 requests are waiting to be accepted.\r\n";
    EXPECT_EQ(TcpClient::Count(ConsoleText().substr(mark), refused), 1u);

    clients[1]->Close();
    clients[2]->Reset();
    for (int i = 0; i < 20; ++i) Pump();
    array.Create(2);
    array.SetLocalPort(2, port);
    ASSERT_TRUE(array.Listen(2));
    for (int i = 0; i < 5000 && accepted.size() < kMaxPendingRequests; ++i) Pump();
    ASSERT_EQ(gone.size(), kMaxPendingRequests);
    EXPECT_EQ(std::vector<bool>(gone.begin(), gone.begin() + 4), (std::vector<bool>{false, true, true, false}));
    EXPECT_NE(ConsoleText().find("[TCP]W Refused 2 more connection requests on port " + std::to_string(port) +
                                     " while 256 were waiting.\r\n",
                                 mark),
              std::string::npos);
}

}  // namespace
