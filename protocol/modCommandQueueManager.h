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
    virtual void QueueCleared() = 0;
};
void SetCommandQueueObserver(CommandQueueObserver* observer);

// The queue holds at most this many commands (a 16-bit count).
inline constexpr int kMaxQueuedCommands = 32767;
// Received text without a line end beyond this closes the connection.
inline constexpr size_t kMaxUnconsumedBytes = 1u << 20;

// Empties the queue and starts the 40 ms queue timer.
void InitCommandQueue();
// Parses and queues one line; an empty terminator means NUL. Never fails;
// a line that finds the queue full is logged and dropped.
void AddCommand(std::string_view line, int32_t session, std::string_view terminator);
int16_t QueueLength();
const std::deque<CommandRecord>& CommandQueue();

// Per socket index: the received text not yet consumed as commands.
const std::string& GlobalRcvBuffer(int16_t index);
// Makes sure `index` has a buffer, and empties it.
void PrepareRcvBuffer(int16_t index);
// The data-arrival event of the socket array.
void sckCommands_DataArrival(int16_t index, long bytesTotal);

// The queue loop: one tick of tmrCQ. Never runs inside itself.
void ProcessCommandQueue();
// Realtime mode: stopping the queue timer and resuming it. A resume inside a
// tick takes effect when the tick ends.
void SetQueueTimerEnabled(bool enabled);
bool IsQueueTimerEnabled();
