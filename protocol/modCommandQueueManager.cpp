#include "protocol/modCommandQueueManager.h"

#include <memory>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QTimer>

#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "net/sckCommands.h"
#include "output/modTL.h"
#include "protocol/CommandParser.h"
#include "protocol/ExecuteCommand.h"
#include "protocol/Framing.h"
#include "protocol/SendResponse.h"

namespace {

std::deque<CommandRecord> gQueue;
size_t gQueuedBytes = 0;  // text of the queued records
// Records ever appended: the head is record number gAppended - size + 1.
uint64_t gAppended = 0;
bool gReadingPaused = false;
CommandQueueObserver* gObserver = nullptr;

struct RcvBuffer {
    std::string text;
    // The text holds no NUL, CR or LF: an arrival without them frames
    // nothing, and a long unfinished line is not scanned again and again.
    bool plain = true;
    // The last line ended with a CR at the very end of what had arrived, and
    // nothing came since: an LF that comes next is that CR's other half.
    bool crEnded = false;
    uint64_t crRecord = 0;  // that line's record number; 0 when it was never queued
};
std::vector<RcvBuffer> gRcvBuffers(1);
size_t gRcvBytes = 0;  // all buffers together

// Debug and verbose lines show at most the first 4 KiB of received text and
// its length: logging whole buffers on every arrival would let one client
// grow the log with the square of what it sends.
constexpr size_t kLoggedTextBytes = 4096;

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

std::string Excerpt(std::string_view text) {
    if (text.size() <= kLoggedTextBytes) return std::string(text);
    return std::string(text.substr(0, kLoggedTextBytes)) + "... (" + Num(static_cast<long long>(text.size())) +
           " bytes)";
}

size_t RecordBytes(const CommandRecord& r) {
    return r.prefix.size() + r.command.size() + r.parameter.size() + r.validity.size() + r.terminator.size();
}

void UpdateReadingFlow() {
    const bool paused =
        gQueue.size() >= static_cast<size_t>(kPauseReadingAtCommands) || gQueuedBytes >= kPauseReadingAtBytes;
    if (paused == gReadingPaused) return;
    gReadingPaused = paused;
    sckCommands().SetReadingPaused(paused);
}

// Queues the complete lines of a socket's buffer for its session.
void FrameSlot(int16_t index) {
    RcvBuffer& slot = gRcvBuffers[index];
    const size_t before = slot.text.size();
    const int32_t session = GetSessionBySocket(index);
    bool lastEndedInCR = false;
    uint64_t lastRecord = 0;
    FrameReceivedText(slot.text, [&](std::string_view line, std::string_view terminator) {
        const uint64_t appended = gAppended;
        AddCommand(line, session, terminator);
        lastEndedInCR = terminator == kTermCR;
        lastRecord = gAppended != appended ? gAppended : 0;  // a line that finds the queue full is not queued
    });
    gRcvBytes -= before - slot.text.size();
    slot.crEnded = lastEndedInCR && slot.text.empty();
    slot.crRecord = lastRecord;
    slot.plain = slot.text.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

// An LF right after the CR that ended a line completes that CR LF: it makes
// no empty command of its own, and the command, if not answered yet (also
// while it runs), is answered with CR LF. Once the reply has gone the LF
// has nothing left to do.
void CompleteCrLf(uint64_t record) {
    const uint64_t head = gAppended - gQueue.size() + 1;
    if (record < head) return;
    CommandRecord& r = gQueue[record - head];
    gQueuedBytes += kTermCRLF.size() - r.terminator.size();  // taken off again with the record
    r.terminator = kTermCRLF;
    if (gObserver) gObserver->QueueChanged();
}

// Over the overall cap the connection holding the most unfinished text is
// closed, until the rest fits.
void ShedUnconsumed() {
    while (gRcvBytes > kMaxUnconsumedBytesTotal) {
        size_t most = 0;
        for (size_t i = 1; i < gRcvBuffers.size(); ++i)
            if (gRcvBuffers[i].text.size() > gRcvBuffers[most].text.size()) most = i;
        const size_t bytes = gRcvBuffers[most].text.size();
        if (most == 0) return;
        WriteLog("Socket " + Num(static_cast<long long>(most)) + ": the connections together hold more than " +
                     Num(kMaxUnconsumedBytesTotal) + " bytes received without a line end, this one the most (" +
                     Num(static_cast<long long>(bytes)) + " bytes). Closing connection.",
                 "TCP", "E");
        sckCommands_Close(static_cast<int16_t>(most));
        if (gRcvBuffers[most].text.size() == bytes) return;  // not closed: nothing more to do here
    }
}

}  // namespace

void SetCommandQueueObserver(CommandQueueObserver* observer) { gObserver = observer; }
const std::deque<CommandRecord>& CommandQueue() { return gQueue; }
int16_t QueueLength() { return static_cast<int16_t>(gQueue.size()); }

void ConnectCommandQueue() {
    SetSessionDataSink({sckCommands_DataArrival, PrepareRcvBuffer});
    SetOutputQueueLink({SetQueueTimerEnabled, [] { AddCommand("-1 QUIT", -1, ""); }});  // "": the NUL terminator
}

void InitCommandQueue() {
    WriteLog("Initializing Command Queue", "QUE");
    ConnectCommandQueue();
    // Nothing queued is dropped: the listener and the console take commands
    // before the queue starts, and each of them is owed its reply.
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
        // Every command gets its one reply; this one gets it at once.
        SendResponse(session, ParseCommandLine(line).prefix, kQueueFullReply, terminator);
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
    ++gAppended;
    gQueuedBytes += RecordBytes(record);
    CountCommand(record.validity);
    UpdateReadingFlow();
    if (gObserver) gObserver->CommandAppended(record);
    WriteLog(TrimBlanks(record.prefix + " " + record.command + " " + record.parameter) +
                 " (session=" + SessionName(session) + ")",
             "CMD");
}

const std::string& GlobalRcvBuffer(int16_t index) {
    static const std::string none;
    if (index < 0 || static_cast<size_t>(index) >= gRcvBuffers.size()) return none;
    return gRcvBuffers[index].text;
}

void PrepareRcvBuffer(int16_t index) {
    if (index < 0) return;
    if (static_cast<size_t>(index) >= gRcvBuffers.size()) gRcvBuffers.resize(static_cast<size_t>(index) + 1);
    RcvBuffer& slot = gRcvBuffers[index];
    gRcvBytes -= slot.text.size();
    std::string().swap(slot.text);
    slot.plain = true;
    slot.crEnded = false;
}

void sckCommands_DataArrival(int16_t index, long /*bytesTotal*/) {
    cSocketArray& sockets = sckCommands();
    const std::string data = sockets.GetData(index);
    if (data.empty() || index < 0 || static_cast<size_t>(index) >= gRcvBuffers.size()) {
        ReadError(index);
        return;
    }
    if (VerboseOn())
        WriteLog("RECV " + sockets.RemoteHostIP(index) + "," + Num(index) + ": " + Excerpt(data), "TCP", "V");
    RcvBuffer& slot = gRcvBuffers[index];
    std::string_view rest = data;
    if (std::exchange(slot.crEnded, false) && rest.front() == '\n') {
        CompleteCrLf(slot.crRecord);
        rest.remove_prefix(1);
        if (rest.empty()) return;
    }
    slot.text += rest;
    gRcvBytes += rest.size();
    if (DebugMode) WriteLog("GlobalRcvBuffer(" + Num(index) + ") = " + Excerpt(slot.text), "TCP", "D");

    const bool plain = slot.plain && rest.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
    if (!plain) FrameSlot(index);

    // A peer that never ends its line must not grow memory without bound.
    if (GlobalRcvBuffer(index).size() > kMaxUnconsumedBytes) {
        WriteLog("Socket " + Num(index) + ": more than " + Num(kMaxUnconsumedBytes) +
                     " bytes received without a line end. Closing connection.",
                 "TCP", "E");
        sckCommands_Close(index);
        return;
    }
    ShedUnconsumed();
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
    NoteQueueTick(true);
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
                const std::string response = head.validity.empty() ? std::string("Error: Unknown command")
                                                                    : ExecuteCommand(head.command, head.parameter);
                // The terminator as it is when the reply goes: an LF completing
                // the command's CR LF may have come while it ran.
                if (response != kNoReply) SendResponse(head.session, head.prefix, response, gQueue.front().terminator);
            } else {
                WriteLog("Session " + Num(head.session) + " no longer valid, skipping command...", "QUE", "W");
            }
            if (!gQueue.empty()) {
                gQueuedBytes -= RecordBytes(gQueue.front());
                gQueue.pop_front();
                UpdateReadingFlow();
                if (gObserver) gObserver->HeadRemoved();
            }
        }
    }

    gInTick = false;
    NoteQueueTick(false);
    SetQueueTimerEnabled(true);
}
