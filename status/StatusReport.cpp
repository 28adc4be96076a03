#include "status/StatusReport.h"

#include <chrono>
#include <cstdio>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/Ansi.h"
#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/StdoutEcho.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "output/GfxOutput.h"
#include "protocol/modCommandQueueManager.h"

namespace {

const auto gStartedSteady = std::chrono::steady_clock::now();
const auto gStartedWall = std::chrono::system_clock::now();

QString Utf8(std::string_view ansi) { return QString::fromStdString(AnsiToUtf8(ansi)); }

// ISO 8601 in local time with its offset from UTC.
QString IsoWithOffset(std::chrono::system_clock::time_point t) {
    const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const int offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
    QString text = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset).toString(Qt::ISODateWithMs);
    if (text.endsWith('Z')) text.replace(text.size() - 1, 1, "+00:00");
    return text;
}

qint64 UptimeSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - gStartedSteady).count();
}

class MetricsWriter {
public:
    void Family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& name, double value, const std::string& labels = {}) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", value);
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
    }
    static std::string Label(const char* key, std::string_view value) {
        std::string escaped;
        for (char c : AnsiToUtf8(value)) {
            if (c == '\\' || c == '"') escaped += '\\';
            if (c == '\n') escaped += "\\n";
            else escaped += c;
        }
        return std::string(key) + "=\"" + escaped + "\"";
    }
    QByteArray Text() const { return QByteArray::fromStdString(text_); }

private:
    std::string text_;
};

}  // namespace

QByteArray StatusJson() {
    const EngineCountersData& c = EngineCounters();
    QJsonArray lines;
    for (const std::string& line : c.problemLines) lines.append(Utf8(line.substr(0, line.find_last_not_of("\r\n") + 1)));
    const PictureSurface& surface = picStillA();
    const QJsonObject output{{"width", surface.Width()}, {"height", surface.Height()},
                             {"monitor", GfxInitialized ? QJsonValue(Settings.OnAirMonitor) : QJsonValue()}};
    const QJsonObject status{
        {"version", QString::fromStdString(Version::Text())},
        {"onAir", OnAir},
        {"fatalError", FatalError},
        {"picture", c.picture ? QJsonValue(Utf8(*c.picture)) : QJsonValue()},
        {"shownAt", c.picture ? QJsonValue(IsoWithOffset(c.shownAt)) : QJsonValue()},
        {"sessions", qint64(SessionTable().size())},
        {"queueLength", QueueLength()},
        {"uptimeSeconds", UptimeSeconds()},
        {"output", output},
        {"logLines", lines},
    };
    return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

QByteArray MetricsText() {
    const EngineCountersData& c = EngineCounters();
    MetricsWriter m;
    m.Family("kiv_commands_total", "counter", "Commands queued, by recognised keyword (unknown: none).");
    if (!c.commands.contains("unknown")) m.Sample("kiv_commands_total", 0, MetricsWriter::Label("command", "unknown"));
    for (const auto& [keyword, count] : c.commands)
        m.Sample("kiv_commands_total", double(count), MetricsWriter::Label("command", keyword));
    m.Family("kiv_replies_total", "counter", "Reply lines sent to network clients.");
    m.Sample("kiv_replies_total", double(c.replies));
    m.Family("kiv_renders_total", "counter", "Pictures composed and brought on air, by result.");
    m.Sample("kiv_renders_total", double(c.rendersOk), R"(result="ok")");
    m.Sample("kiv_renders_total", double(c.rendersError), R"(result="error")");
    m.Family("kiv_render_seconds", "histogram", "Time to compose a picture and bring it on air.");
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kRenderSecondsBuckets.size(); ++i) {
        cumulative += c.renderBuckets[i];
        char le[32];
        std::snprintf(le, sizeof le, "%g", kRenderSecondsBuckets[i]);
        m.Sample("kiv_render_seconds_bucket", double(cumulative), MetricsWriter::Label("le", le));
    }
    const uint64_t renders = c.rendersOk + c.rendersError;
    m.Sample("kiv_render_seconds_bucket", double(renders), R"(le="+Inf")");
    m.Sample("kiv_render_seconds_sum", c.renderSecondsSum);
    m.Sample("kiv_render_seconds_count", double(renders));
    m.Family("kiv_cache_requests_total", "counter", "Pictures asked of the cache, by result.");
    m.Sample("kiv_cache_requests_total", double(c.cacheHits), R"(result="hit")");
    m.Sample("kiv_cache_requests_total", double(c.cacheFetched), R"(result="fetched")");
    m.Sample("kiv_cache_requests_total", double(c.cacheErrors), R"(result="error")");
    m.Family("kiv_download_bytes_total", "counter", "Bytes of picture bodies received over HTTP.");
    m.Sample("kiv_download_bytes_total", double(c.downloadBytes));
    m.Family("kiv_sessions", "gauge", "Network sessions connected.");
    m.Sample("kiv_sessions", double(SessionTable().size()));
    m.Family("kiv_queue_length", "gauge", "Commands waiting in the queue.");
    m.Sample("kiv_queue_length", QueueLength());
    m.Family("kiv_on_air", "gauge", "1 while the engine is On Air.");
    m.Sample("kiv_on_air", OnAir ? 1 : 0);
    m.Family("kiv_fatal_error", "gauge", "1 after a fatal error (the engine cannot go On Air).");
    m.Sample("kiv_fatal_error", FatalError ? 1 : 0);
    m.Family("kiv_log_lines_dropped_total", "counter",
             "Log lines dropped: the oldest from the log kept in memory, or not echoed on standard output in time.");
    m.Sample("kiv_log_lines_dropped_total", double(DroppedLogLines()), R"(sink="memory")");
    m.Sample("kiv_log_lines_dropped_total", double(LogEchoDroppedLines()), R"(sink="stdout")");
    // Each family's samples follow its header: one pass per family.
    const auto streams = [&](const char* name, const char* help, std::atomic<uint64_t> StreamCounts::*count) {
        m.Family(name, "counter", help);
        for (size_t i = 0; i < StreamCounters().size(); ++i)
            if (!Settings.Streams[i].empty())
                m.Sample(name, double(StreamCounters()[i].*count),
                         MetricsWriter::Label("stream", "Stream" + std::to_string(i + 1)));
    };
    streams("kiv_stream_frames_total", "Frames handed to each configured stream.", &StreamCounts::frames);
    streams("kiv_stream_dropped_total", "Frames a stream's queue dropped because its pipeline lagged.",
            &StreamCounts::dropped);
    m.Family("process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.");
    m.Sample("process_start_time_seconds",
             double(std::chrono::duration_cast<std::chrono::seconds>(gStartedWall.time_since_epoch()).count()));
    return m.Text();
}

std::optional<std::string> HealthProblem() {
    if (FatalError) return "fatal error: the engine cannot go On Air";
    return QueueLoopProblem();
}

std::optional<std::string> QueueLoopProblem() {
    const EngineCountersData& c = EngineCounters();
    if (c.inTick) return std::nullopt;
    if (!c.lastTickEnd) return "the command queue has not started";
    const auto idle = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - *c.lastTickEnd);
    if (idle.count() >= kQueueStallSeconds)
        return "the command queue loop has not run for " + std::to_string(idle.count()) + " s";
    return std::nullopt;
}

std::optional<int> ParseFrameWidth(const std::optional<QString>& width) {
    if (!width) return 0;
    bool ok = false;
    const int n = width->toInt(&ok);
    if (!ok || n < kMinFrameWidth || n > kMaxFrameWidth) return std::nullopt;
    return n;
}

const QByteArray& StatusPage() {
    static const QByteArray page = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Kiv status</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{margin:0;font:15px/1.4 system-ui,sans-serif;background:#1b1d21;color:#e6e6e6}
header{display:flex;align-items:center;gap:16px;padding:10px 16px;background:#26292f}
h1{font-size:18px;margin:0}
#air{padding:4px 12px;border-radius:4px;font-weight:700;background:#555;color:#ddd}
#air.on{background:#e00000;color:#fff}
main{display:flex;flex-wrap:wrap;gap:16px;padding:16px}
#frame{max-width:720px;width:100%;align-self:flex-start;background:#000;border:1px solid #444}
table{border-collapse:collapse}td{padding:3px 10px 3px 0;vertical-align:top}td:first-child{color:#9aa}
#log{font:12px/1.3 monospace;white-space:pre-wrap;color:#f0c060;margin:0 16px 16px}
#err{color:#f66}
</style></head>
<body><header><h1>Kiv</h1><span id="air">OFF AIR</span><span id="err"></span></header>
<main><img id="frame" alt="output">
<table>
<tr><td>Picture</td><td id="picture">-</td></tr>
<tr><td>Shown at</td><td id="shownAt">-</td></tr>
<tr><td>Sessions</td><td id="sessions">-</td></tr>
<tr><td>Queue</td><td id="queueLength">-</td></tr>
<tr><td>Uptime</td><td id="uptime">-</td></tr>
<tr><td>Output</td><td id="output">-</td></tr>
<tr><td>Version</td><td id="version">-</td></tr>
</table></main>
<pre id="log"></pre>
<script>
"use strict";
const $ = id => document.getElementById(id);
function uptime(s) {
  const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
  return (d ? d + " d " : "") + h + " h " + m + " min " + (s % 60) + " s";
}
async function refresh() {
  try {
    const r = await fetch("status.json", {cache: "no-store"});
    if (!r.ok) throw new Error("status " + r.status);
    const s = await r.json();
    const air = $("air");
    air.textContent = s.fatalError ? "FATAL ERROR" : s.onAir ? "ON AIR" : "OFF AIR";
    air.className = s.onAir ? "on" : "";
    $("picture").textContent = s.picture === null ? "(none)" : s.picture;
    $("shownAt").textContent = s.shownAt === null ? "-" : s.shownAt;
    $("sessions").textContent = s.sessions;
    $("queueLength").textContent = s.queueLength;
    $("uptime").textContent = uptime(s.uptimeSeconds);
    $("output").textContent = s.output.width + " x " + s.output.height + " on monitor " + s.output.monitor;
    $("version").textContent = s.version;
    $("log").textContent = s.logLines.slice().reverse().join("\n");
    $("err").textContent = "";
  } catch (e) {
    $("err").textContent = "no answer: " + e.message;
  }
}
let frameUrl = null;
async function nextFrame() {
  try {
    const r = await fetch("frame.jpg?width=960", {cache: "no-store"});
    if (r.ok) {
      const url = URL.createObjectURL(await r.blob());
      $("frame").src = url;
      if (frameUrl) URL.revokeObjectURL(frameUrl);
      frameUrl = url;
    }
  } catch (e) {}
  setTimeout(nextFrame, 1000);
}
refresh();
setInterval(refresh, 1000);
nextFrame();
</script></body></html>
)html";
    return page;
}
