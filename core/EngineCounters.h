#pragma once
// What the engine has done, counted by the layers as they work (protocol,
// cache, output, log) and read by the status server above them. Everything
// here runs on the one GUI thread, except the echo's dropped lines and the
// stream counts.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Upper bounds (seconds) of the buckets of the rendering time.
inline constexpr std::array<double, 10> kRenderSecondsBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60};
// The newest log lines of severity W, E and F kept for the status page.
inline constexpr size_t kKeptProblemLines = 20;
inline constexpr size_t kKeptProblemLineBytes = 1024;

struct EngineCountersData {
    std::map<std::string, uint64_t, std::less<>> commands;  // by recognised keyword, or "unknown"
    uint64_t replies = 0;
    uint64_t rendersOk = 0, rendersError = 0;
    std::array<uint64_t, kRenderSecondsBuckets.size()> renderBuckets{};  // not cumulative
    double renderSecondsSum = 0;
    uint64_t cacheHits = 0, cacheFetched = 0, cacheErrors = 0;
    uint64_t downloadBytes = 0;
    // The picture on the output, as its command named it, and since when.
    std::optional<std::string> picture;
    std::chrono::system_clock::time_point shownAt;
    // The queue loop: the last tick that ended, and whether one is running.
    std::optional<std::chrono::steady_clock::time_point> lastTickEnd;
    bool inTick = false;
    std::deque<std::string> problemLines;  // log lines as written, newest last
};

const EngineCountersData& EngineCounters();

void CountCommand(std::string_view validity);  // empty: not recognised
void CountReply();
void CountRender(bool ok, double seconds);
enum class CacheResult { Hit, Fetched, Error };
void CountCacheRequest(CacheResult result);
void CountDownloadBytes(uint64_t bytes);
void NotePictureShown(const std::string& reference);
void NoteOutputCleared();
void NoteQueueTick(bool running);
void NoteLogLine(std::string_view severity, const std::string& line);

// Frames handed to each stream (Stream1..Stream4) and those its queue
// dropped, counted by the streams' worker thread.
struct StreamCounts {
    std::atomic<uint64_t> frames{0}, dropped{0};
};
std::array<StreamCounts, 4>& StreamCounters();
