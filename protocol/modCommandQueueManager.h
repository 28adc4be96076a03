#pragma once
// The one command queue of the engine: every command, from the network, the
// console or the windows, is queued here as a CommandRecord and executed in
// order by the queue loop on the tmrCQ tick.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

struct CommandRecord {
    std::string prefix;
    std::string command;    // upper case
    std::string parameter;  // case kept
    int32_t session = 0;
    std::string validity;   // the recognised keyword, "" when none
    std::string terminator;
};

// The main window shows the queue live; it is told about every change.
class CommandQueueObserver {
public:
    virtual ~CommandQueueObserver() = default;
    virtual void CommandAppended(const CommandRecord& record) = 0;  // at the tail
    virtual void HeadRemoved() = 0;
    virtual void QueueChanged() = 0;  // records changed in place
};
void SetCommandQueueObserver(CommandQueueObserver* observer);

// The queue holds at most this many commands (a 16-bit count); a line that
// finds it full is answered at once with this error.
inline constexpr int kMaxQueuedCommands = 32767;
inline constexpr const char* kQueueFullReply = "Error: command queue full";
// Reading from the network pauses while the queue holds this many commands
// or this much command text, until the queue loop has worked through them:
// a flood waits in the peers' sockets rather than in memory. One arrival
// (at most 4 KiB, with what an earlier one left unfinished) frames fewer
// lines than the room that is then left.
inline constexpr int kPauseReadingAtCommands = 16384;
inline constexpr size_t kPauseReadingAtBytes = 32u << 20;
// Received text without a line end beyond this closes the connection; all
// connections together may hold the total, beyond which the connection
// holding the most is closed.
inline constexpr size_t kMaxUnconsumedBytes = 1u << 20;
inline constexpr size_t kMaxUnconsumedBytesTotal = 16u << 20;

// Registers the queue with the layers below it: the sockets hand it what
// they receive, the output halts and resumes its timer around a rendering
// and queues Ctrl+Q's QUIT. Start-up calls it before the listener opens.
void ConnectCommandQueue();
// Starts the 40 ms queue timer (connecting the queue first, if that has not
// been done); commands queued before it are kept and run on its first tick.
void InitCommandQueue();
// Parses and queues one line; an empty terminator means NUL. Never fails;
// a line that finds the queue full is logged and answered with kQueueFullReply.
void AddCommand(std::string_view line, int32_t session, std::string_view terminator);
int16_t QueueLength();
const std::deque<CommandRecord>& CommandQueue();

// Per socket index: the received text not yet consumed as commands.
const std::string& GlobalRcvBuffer(int16_t index);
// Makes sure `index` has a buffer, and empties it.
void PrepareRcvBuffer(int16_t index);
// The data-arrival event of the socket array. A CR ends its line at once;
// an LF that arrives next on that connection is the CR's other half, not an
// empty line: the command is answered with CR LF if its reply has not gone.
void sckCommands_DataArrival(int16_t index, long bytesTotal);

// The queue loop: one tick of tmrCQ. Never runs inside itself.
void ProcessCommandQueue();
// Realtime mode: stopping the queue timer and resuming it. A resume inside a
// tick takes effect when the tick ends.
void SetQueueTimerEnabled(bool enabled);
bool IsQueueTimerEnabled();
