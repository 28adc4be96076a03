#include "core/EngineCounters.h"

#include <algorithm>

namespace {
EngineCountersData gCounters;
std::array<StreamCounts, 4> gStreamCounts;
}  // namespace

std::array<StreamCounts, 4>& StreamCounters() { return gStreamCounts; }

const EngineCountersData& EngineCounters() { return gCounters; }

void CountCommand(std::string_view validity) {
    const std::string_view key = validity.empty() ? "unknown" : validity;
    auto it = gCounters.commands.find(key);
    if (it == gCounters.commands.end()) it = gCounters.commands.emplace(std::string(key), 0).first;
    ++it->second;
}

void CountReply() { ++gCounters.replies; }

void CountRender(bool ok, double seconds) {
    ++(ok ? gCounters.rendersOk : gCounters.rendersError);
    gCounters.renderSecondsSum += seconds;
    const auto bucket = std::lower_bound(kRenderSecondsBuckets.begin(), kRenderSecondsBuckets.end(), seconds);
    if (bucket != kRenderSecondsBuckets.end()) ++gCounters.renderBuckets[size_t(bucket - kRenderSecondsBuckets.begin())];
}

void CountCacheRequest(CacheResult result) {
    ++(result == CacheResult::Hit ? gCounters.cacheHits
       : result == CacheResult::Fetched ? gCounters.cacheFetched
                                        : gCounters.cacheErrors);
}

void CountDownloadBytes(uint64_t bytes) { gCounters.downloadBytes += bytes; }

void NotePictureShown(const std::string& reference) {
    gCounters.picture = reference;
    gCounters.shownAt = std::chrono::system_clock::now();
}

void NoteOutputCleared() {
    gCounters.picture.reset();
    gCounters.shownAt = std::chrono::system_clock::now();
}

void NoteQueueTick(bool running) {
    gCounters.inTick = running;
    if (!running) gCounters.lastTickEnd = std::chrono::steady_clock::now();
}

void NoteLogLine(std::string_view severity, const std::string& line) {
    if (severity != "W" && severity != "E" && severity != "F") return;
    if (gCounters.problemLines.size() == kKeptProblemLines) gCounters.problemLines.pop_front();
    // A line can hold a whole command a client sent: the page needs its start.
    gCounters.problemLines.push_back(line.substr(0, kKeptProblemLineBytes));
}
