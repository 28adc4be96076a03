#pragma once
// The socket control array: index-addressed TCP sockets whose events reach
// the engine on the GUI thread, one at a time, through the event loop. Data
// crosses as bytes, one per character. Index 0 exists from the start and is
// never used.
//
// One operating-system listening socket per port stays open while the
// listening role moves from index to index, so no client is refused between
// an accept and the next listen; connection requests wait in it meanwhile.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The state values the engine tests (same numbering as the classic socket
// control's states).
enum class SocketState { Closed = 0, Listening = 2, Connected = 7, Error = 9 };

// Platform error numbers, as the engine logs them.
inline constexpr int kSockErrNoBuffers = 10055;
inline constexpr int kSockErrConnAborted = 10053;
inline constexpr int kSockErrConnReset = 10054;

// A peer that never reads its replies is disconnected beyond this many unsent
// bytes, instead of growing the engine's memory without bound. All peers
// together may hold at most the total: beyond it the connection holding the
// most is disconnected, so that many connections cannot take together what
// one may not.
inline constexpr size_t kMaxUnsentBytes = 16u << 20;
inline constexpr size_t kMaxUnsentBytesTotal = 64u << 20;
// Connection requests waiting for the engine to accept them; beyond this a
// connect storm is refused at the door (logged).
inline constexpr size_t kMaxPendingRequests = 256;

// Maps an errno value to the number the engine logs.
int WinsockErrorNumber(int err);

struct SocketEvents {
    std::function<void(int16_t index, intptr_t requestId)> ConnectionRequest;
    std::function<void(int16_t index, long bytesTotal)> DataArrival;
    // The peer closed the connection (or it broke; an error event comes first
    // then). The element stays until the handler removes it.
    std::function<void(int16_t index)> Close;
    std::function<void(int16_t index, int number, const std::string& description)> Error;
};

class cSocketArray {
public:
    cSocketArray();
    ~cSocketArray();
    cSocketArray(const cSocketArray&) = delete;
    cSocketArray& operator=(const cSocketArray&) = delete;

    void SetEvents(SocketEvents events);

    // A fresh, closed element; false when the index is taken or not positive.
    bool Create(int16_t index);
    void Remove(int16_t index);
    bool Exists(int16_t index) const;
    // Highest index present (0 when only element 0 exists).
    int16_t HighestIndex() const;

    void SetLocalPort(int16_t index, int port);
    // Stops listening or drops the connection; closing a closed element is fine.
    void Close(int16_t index);
    // False (with the platform's reason) when the port cannot be opened.
    bool Listen(int16_t index, std::string* error = nullptr);
    SocketState State(int16_t index) const;
    // The element (closed first) takes over the requested connection.
    bool Accept(int16_t index, intptr_t requestId);
    // Peer address in dotted IPv4 form (IPv4-mapped IPv6 peers included).
    std::string RemoteHostIP(int16_t index) const;
    // Everything received and not yet read; "" when none.
    std::string GetData(int16_t index);
    // Queues the bytes for sending and returns at once; failures are silent.
    void SendData(int16_t index, std::string_view data);
    // Bytes handed to SendData and not yet taken by the operating system.
    size_t UnsentBytes(int16_t index) const;
    // Tests lower the limits above.
    void SetUnsentLimits(size_t perConnection, size_t total);

    // While paused no connection is read: the peers' data waits in the
    // operating system (and their sends block), as TCP flow control intends.
    void SetReadingPaused(bool paused);
    // True when the peer of a waiting connection request has closed or reset
    // it, waiting (blocking) up to `waitMs` for that to happen.
    bool RequestPeerGone(intptr_t requestId, int waitMs = 0) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The engine's array (created on first use; needs the Qt application object).
cSocketArray& sckCommands();
