#pragma once
// Sessions of the engine: the listening socket, one socket per accepted
// connection, and the table that maps each connection to a session number.
// Session 0 is the console, -1 the gui; network sessions count from 1 and a
// number is never reused within a run.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SessionRow {
    int32_t session = 0;
    std::string label;  // the peer's IP address
    int16_t socket = 0;
};

// The main window shows the table live; it is told about every change.
class SessionTableObserver {
public:
    virtual ~SessionTableObserver() = default;
    virtual void SessionAppended(const SessionRow& row) = 0;
    virtual void SessionRemoved(size_t rowIndex) = 0;
    virtual void SessionsCleared() = 0;
};
void SetSessionTableObserver(SessionTableObserver* observer);

const std::vector<SessionRow>& SessionTable();

// The command queue above takes what the connections send: each arrival, and
// a reset of the text it holds for an index that is created or closed. The
// queue registers itself at start-up, before the listener opens.
struct SessionDataSink {
    std::function<void(int16_t index, long bytesTotal)> DataArrival;
    std::function<void(int16_t index)> ResetText;
};
void SetSessionDataSink(SessionDataSink sink);

// Starts listening on Settings.ListeningPort; on failure logs the port
// message and calls StopOperation.
void InitSessionManager();

int32_t GetSessionBySocket(int16_t socketIndex);  // 0 when no row matches
int16_t GetSocketBySession(int32_t session);      // -1 when none
std::string GetSessionAddress(int32_t session);   // "console", the label, or "-1"
bool IsSessionValid(int32_t session);

// The socket events (also reachable for the framing, which drops a
// connection the same way as a close).
void sckCommands_ConnectionRequest(int16_t index, intptr_t requestId);
void sckCommands_Close(int16_t index);
void sckCommands_Error(int16_t index, int number, const std::string& description);

// Tests shorten the blocking pause before an accept and lower the highest
// socket index to exercise index reuse.
void SetAcceptDelayMs(int ms);
void SetMaxSocketIndex(int16_t index);
