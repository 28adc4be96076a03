#include "net/modSessionManager.h"

#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "net/sckCommands.h"

namespace {

int32_t gSessionCounter = 0;
std::vector<SessionRow> gTable;
SessionTableObserver* gObserver = nullptr;
SessionDataSink gSink;
int gAcceptDelayMs = 50;
int16_t gMaxSocketIndex = INT16_MAX;
// Set when no index could take the listening role after an accept; retried
// on the next socket event. A fatal stop elsewhere changes nothing here:
// every client is still taken and answered.
bool gListenerMissing = false;

std::string Num(long long n) { return std::to_string(n); }

// One above the highest index in use; when that would leave the 16-bit
// range, the lowest free index, so that a long run never runs out.
int16_t NextSocketIndex() {
    cSocketArray& sockets = sckCommands();
    const int highest = sockets.HighestIndex();
    if (highest < gMaxSocketIndex) return static_cast<int16_t>(highest + 1);
    for (int i = 1; i <= gMaxSocketIndex; ++i)
        if (!sockets.Exists(static_cast<int16_t>(i))) return static_cast<int16_t>(i);
    return -1;
}

bool CreateListeningSocket(std::string* error) {
    const int16_t index = NextSocketIndex();
    if (index < 0) {
        *error = "no free socket index";
        return false;
    }
    WriteLog("Creating new socket " + Num(index), "SES");
    if (gSink.ResetText) gSink.ResetText(index);
    cSocketArray& sockets = sckCommands();
    sockets.Create(index);
    sockets.SetLocalPort(index, Settings.ListeningPort);
    sockets.Close(index);
    if (!sockets.Listen(index, error)) {
        sockets.Remove(index);
        return false;
    }
    WriteLog("Socket " + Num(index) + " listening on port " + Num(Settings.ListeningPort), "TCP");
    return true;
}

void RetryListener() {
    if (!gListenerMissing) return;
    std::string error;
    gListenerMissing = !CreateListeningSocket(&error);
    if (gListenerMissing)
        WriteLog("Cannot create a new listening socket (" + error + "). Will retry on the next socket event.", "SES",
                 "E");
}

void WireEvents() {
    SocketEvents events;
    events.ConnectionRequest = sckCommands_ConnectionRequest;
    events.DataArrival = [](int16_t index, long bytesTotal) {
        if (gSink.DataArrival) gSink.DataArrival(index, bytesTotal);
    };
    events.Close = sckCommands_Close;
    events.Error = sckCommands_Error;
    sckCommands().SetEvents(std::move(events));
}

}  // namespace

void SetSessionTableObserver(SessionTableObserver* observer) { gObserver = observer; }
void SetSessionDataSink(SessionDataSink sink) { gSink = std::move(sink); }
const std::vector<SessionRow>& SessionTable() { return gTable; }
void SetAcceptDelayMs(int ms) { gAcceptDelayMs = ms; }
void SetMaxSocketIndex(int16_t index) { gMaxSocketIndex = index; }

void InitSessionManager() {
    WriteLog("Initializing SessionManager", "SES");
    gTable.clear();
    if (gObserver) gObserver->SessionsCleared();
    WriteLog("Initial listening sockets: 1", "SES", "I");
    WireEvents();
    std::string error;
    if (!CreateListeningSocket(&error)) {
        WriteLog(
            "At least one of the locally configured listening ports is already in use by another process. The "
            "current configuration cannot be used. Aborting operation.",
            "SES", "E");
        StopOperation();
    }
}

void sckCommands_ConnectionRequest(int16_t index, intptr_t requestId) {
    cSocketArray& sockets = sckCommands();
    // A short pause before taking the connection, blocking on purpose: no
    // other event runs in between. It ends early for a client that has gone
    // (or goes meanwhile): in a connect storm such pauses would lock
    // everyone out.
    if (gAcceptDelayMs > 0) sockets.RequestPeerGone(requestId, gAcceptDelayMs);
    if (sockets.State(index) != SocketState::Listening) return;
    sockets.Close(index);
    if (!sockets.Accept(index, requestId)) return;
    WriteLog("Socket " + Num(index) + " accepted connection on port " + Num(Settings.ListeningPort), "TCP");

    const int32_t session = ++gSessionCounter;
    SessionRow row{session, sockets.RemoteHostIP(index), index};
    WriteLog("Creating new session " + Num(session) + " for " + row.label, "SES");
    gTable.push_back(row);
    if (gObserver) gObserver->SessionAppended(gTable.back());

    gListenerMissing = true;
    RetryListener();
}

void sckCommands_Close(int16_t index) {
    cSocketArray& sockets = sckCommands();
    sockets.Close(index);
    sockets.Remove(index);
    // Text left unframed is never framed; free it now rather than at reuse.
    if (gSink.ResetText) gSink.ResetText(index);
    WriteLog("Socket " + Num(index) + " closed connection.", "TCP");
    const int32_t session = GetSessionBySocket(index);
    WriteLog("Removing session " + Num(session) + " for " + GetSessionAddress(session), "SES");
    for (size_t i = 0; i < gTable.size(); ++i) {
        if (gTable[i].session == session) {
            gTable.erase(gTable.begin() + static_cast<std::ptrdiff_t>(i));
            if (gObserver) gObserver->SessionRemoved(i);
            break;
        }
    }
    WriteLog("Socket " + Num(index) + " destroyed.", "SES");
    RetryListener();
}

void sckCommands_Error(int16_t index, int number, const std::string& description) {
    WriteLog("Socket " + Num(index) + ": Socket Error " + Num(number) + ": " + description, "TCP", "E");
    if (number == kSockErrConnAborted) sckCommands_Close(index);
}

int32_t GetSessionBySocket(int16_t socketIndex) {
    for (const SessionRow& row : gTable)
        if (row.socket == socketIndex) return row.session;
    return 0;
}

int16_t GetSocketBySession(int32_t session) {
    for (const SessionRow& row : gTable)
        if (row.session == session) return row.socket;
    return -1;
}

std::string GetSessionAddress(int32_t session) {
    if (session == 0) return "console";
    for (const SessionRow& row : gTable)
        if (row.session == session) return row.label;
    return "-1";
}

bool IsSessionValid(int32_t session) {
    if (session <= 0) return true;
    for (const SessionRow& row : gTable)
        if (row.session == session) return true;
    return false;
}
