#include "protocol/modCommandQueueManager.h"

#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QTimer>

#include "app/Log.h"
#include "app/Settings.h"
#include "app/modMain.h"
#include "net/modSessionManager.h"
#include "net/sckCommands.h"
#include "protocol/CommandParser.h"
#include "protocol/ExecuteCommand.h"
#include "protocol/Framing.h"
#include "protocol/SendResponse.h"

namespace {

std::deque<CommandRecord> gQueue;
CommandQueueObserver* gObserver = nullptr;
std::vector<std::string> gRcvBuffers(1);

std::unique_ptr<QTimer> gTimer;
bool gTimerEnabled = false;
bool gInTick = false;

std::string Num(long long n) { return std::to_string(n); }

std::string SessionName(int32_t session) {
    if (session == 0) return "console";
    if (session == -1) return "gui";
    return Num(session);
}

std::string TrimBlanks(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

void ApplyTimer() {
    if (!gTimer) return;
    if (gTimerEnabled)
        gTimer->start();
    else
        gTimer->stop();
}

void ReadError(int16_t index) { WriteLog("Socket " + Num(index) + ": Error reading from socket", "TCP", "E"); }

}  // namespace

void SetCommandQueueObserver(CommandQueueObserver* observer) { gObserver = observer; }
const std::deque<CommandRecord>& CommandQueue() { return gQueue; }
int16_t QueueLength() { return static_cast<int16_t>(gQueue.size()); }

void InitCommandQueue() {
    WriteLog("Initializing Command Queue", "QUE");
    gQueue.clear();
    if (gObserver) gObserver->QueueCleared();
    if (!gTimer) {
        gTimer = std::make_unique<QTimer>();
        gTimer->setInterval(40);
        QObject::connect(gTimer.get(), &QTimer::timeout, [] { ProcessCommandQueue(); });
        // The timer must go before the application object does.
        qAddPostRoutine([] { gTimer.reset(); });
    }
    SetQueueTimerEnabled(true);
}

void AddCommand(std::string_view line, int32_t session, std::string_view terminator) {
    if (terminator.empty()) terminator = kTermNUL;
    if (gQueue.size() >= static_cast<size_t>(kMaxQueuedCommands)) {
        WriteLog("Command queue is full (" + Num(kMaxQueuedCommands) + " commands). Dropping command for Session " +
                     Num(session) + ": " + std::string(line),
                 "QUE", "E");
        return;
    }
    if (VerboseOn())
        WriteLog("Adding Command to Queue for Session " + Num(session) + ": " + std::string(line), "QUE", "V");
    ParsedCommand parsed = ParseCommandLine(line);
    CommandRecord& record = gQueue.emplace_back();
    record.prefix = std::move(parsed.prefix);
    record.command = std::move(parsed.command);
    record.parameter = std::move(parsed.parameter);
    record.session = session;
    record.validity = std::move(parsed.validity);
    record.terminator = std::string(terminator);
    if (gObserver) gObserver->CommandAppended(record);
    WriteLog(TrimBlanks(record.prefix + " " + record.command + " " + record.parameter) +
                 " (session=" + SessionName(session) + ")",
             "CMD");
}

const std::string& GlobalRcvBuffer(int16_t index) {
    static const std::string none;
    if (index < 0 || static_cast<size_t>(index) >= gRcvBuffers.size()) return none;
    return gRcvBuffers[index];
}

void PrepareRcvBuffer(int16_t index) {
    if (index < 0) return;
    if (static_cast<size_t>(index) >= gRcvBuffers.size()) gRcvBuffers.resize(static_cast<size_t>(index) + 1);
    std::string().swap(gRcvBuffers[index]);
}

void sckCommands_DataArrival(int16_t index, long /*bytesTotal*/) {
    cSocketArray& sockets = sckCommands();
    const std::string data = sockets.GetData(index);
    if (data.empty() || index < 0 || static_cast<size_t>(index) >= gRcvBuffers.size()) {
        ReadError(index);
        return;
    }
    if (VerboseOn()) WriteLog("RECV " + sockets.RemoteHostIP(index) + "," + Num(index) + ": " + data, "TCP", "V");
    std::string& buffer = gRcvBuffers[index];
    buffer += data;
    if (DebugMode) WriteLog("GlobalRcvBuffer(" + Num(index) + ") = " + buffer, "TCP", "D");

    const int32_t session = GetSessionBySocket(index);
    FrameReceivedText(buffer, [session](std::string_view line, std::string_view terminator) {
        AddCommand(line, session, terminator);
    });

    // A peer that never ends its line must not grow memory without bound.
    if (buffer.size() > kMaxUnconsumedBytes) {
        WriteLog("Socket " + Num(index) + ": more than " + Num(kMaxUnconsumedBytes) +
                     " bytes received without a line end. Closing connection.",
                 "TCP", "E");
        sckCommands_Close(index);
    }
}

void SetQueueTimerEnabled(bool enabled) {
    gTimerEnabled = enabled;
    // Inside a tick the timer stays stopped: the tick's end restarts it.
    if (!gInTick) ApplyTimer();
}

bool IsQueueTimerEnabled() { return gTimerEnabled; }

void ProcessCommandQueue() {
    if (gInTick) return;
    gInTick = true;
    SetQueueTimerEnabled(false);
    ApplyTimer();

    if (!gQueue.empty()) {
        if (Settings.VerboseConsole > 1)
            WriteLog("CommandQueue not empty (len=" + Num(QueueLength()) + "). Processing remaining commands...",
                     "QUE", "D");
        while (!gQueue.empty()) {
            // A copy: commands queued while this one runs go to the tail.
            const CommandRecord head = gQueue.front();
            if (IsSessionValid(head.session)) {
                if (!head.validity.empty()) {
                    const std::string response = ExecuteCommand(head.command, head.parameter);
                    if (response != kNoReply) SendResponse(head.session, head.prefix, response, head.terminator);
                } else {
                    SendResponse(head.session, head.prefix, "Error: Unknown command", head.terminator);
                }
            } else {
                WriteLog("Session " + Num(head.session) + " no longer valid, skipping command...", "QUE", "W");
            }
            if (!gQueue.empty()) {
                gQueue.pop_front();
                if (gObserver) gObserver->HeadRemoved();
            }
        }
    }

    gInTick = false;
    SetQueueTimerEnabled(true);
}
