#include "output/Streams.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <QCoreApplication>
#include <QTimer>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "output/GfxOutput.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kFallbackFrameRate = 25;
// Frames a stream's source holds while its pipeline lags; a newer one then
// pushes out the oldest, so a slow sink never reaches back to the engine.
constexpr guint kQueuedFrames = 3;
constexpr auto kFirstRestart = 5s, kRestartSpacing = 60s, kDropLogSpacing = 60s;
// How long the sinks get at the end to finish their files.
constexpr auto kEndOfStreamWait = 3s;
// Copies kept for reuse: a 2160p frame is 33 MB.
constexpr size_t kPooledFrames = 6;

// One copy of the output's pixels (BGRx, rows top-down), shared by the
// buffers of every stream until the last of them is done with it.
using Frame = std::vector<uint8_t>;
using SharedFrame = std::shared_ptr<const Frame>;

struct Stream {
    int number = 0;
    std::string description;
    GstElement* pipeline = nullptr;
    GstElement* source = nullptr;
    GstBus* bus = nullptr;
    uint64_t frames = 0;  // pushed into the running pipeline: its timestamps
    std::optional<Clock::time_point> restartAt, lastRestart, dropsLogged;
    uint64_t unloggedDrops = 0;
    std::string Name() const { return "Stream" + std::to_string(number); }
};

std::string ErrorText(GstMessage* message) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) return "the pipeline ended by itself";
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = std::string(GST_MESSAGE_SRC_NAME(message)) + ": " + (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    g_free(debug);
    // The message goes inside a sentence of the log.
    while (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

void DrainStreamLog();

class StreamHub {
public:
    StreamHub(const std::vector<std::string>& descriptions, int width, int height, int frameRate)
        : width_(width), height_(height), frameRate_(frameRate) {
        for (size_t i = 0; i < descriptions.size(); ++i)
            if (!descriptions[i].empty()) {
                streams_.emplace_back();
                streams_.back().number = int(i) + 1;
                streams_.back().description = descriptions[i];
            }
        // Presents during a realtime operation that found no copy due are
        // caught up once the event loop runs: picStillA is complete then.
        flush_.setInterval(int(1000 / frameRate));
        QObject::connect(&flush_, &QTimer::timeout, [this] {
            if (copyDue_ && !copyTurn_.exchange(false)) return;
            if (copyDue_) HandOver(picStillA().DC());
            copyDue_ = false;
            flush_.stop();
        });
    }

    void Start() {
        copier_ = std::thread([this] { Copy(); });
        worker_ = std::thread([this] { Run(); });
        HandOver(picStillA().DC());
    }

    // On the user-interface thread, at each present: the copier takes one
    // copy per stream frame at most, the rest is caught up by the timer.
    void Presented(const DeviceContext& shown) {
        if (copyTurn_.exchange(false)) {
            HandOver(shown);
            copyDue_ = false;
        } else {
            copyDue_ = true;
            if (!flush_.isActive()) flush_.start();
        }
    }

    // Before the pixels handed over are drawn over. The copier started at
    // the present, so during a fade it is done well within the pause; one
    // still running (the first copies into new memory, a busy machine) is
    // abandoned within a few rows rather than waited for.
    void Drawing() {
        std::unique_lock lock(copyMutex_);
        if (viewPending_) abandon_ = true;
        copyWake_.wait(lock, [this] { return !viewPending_; });
    }

    // True when the worker has finished within the wait.
    bool Stop() {
        flush_.stop();
        {
            std::lock_guard lock(copyMutex_);
            copierStopping_ = true;
            copyWake_.notify_all();
        }
        copier_.join();
        std::unique_lock lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        return wake_.wait_for(lock, kEndOfStreamWait + 2s, [this] { return finished_; });
    }
    void Join() { worker_.join(); }
    void Detach() { worker_.detach(); }

    void DrainLog() {
        std::vector<std::pair<std::string, const char*>> lines;
        {
            std::lock_guard lock(logMutex_);
            lines.swap(logLines_);
        }
        for (const auto& [text, severity] : lines) WriteLog(text, "GFX", severity);
    }

private:
    void HandOver(const DeviceContext& shown) {
        if (!shown || shown.Width != width_ || shown.Height != height_) return;
        std::lock_guard lock(copyMutex_);
        view_ = shown;
        viewPending_ = true;
        copyWake_.notify_all();
    }

    // The copier does nothing else, so that Drawing never waits on a
    // pipeline.
    void Copy() {
        std::unique_lock lock(copyMutex_);
        while (true) {
            copyWake_.wait(lock, [this] { return viewPending_ || copierStopping_; });
            if (!viewPending_) return;
            const DeviceContext shown = view_;
            lock.unlock();
            // A copy cut short leaves the turn for the next present.
            if (!Publish(shown)) copyTurn_ = true;
            lock.lock();
            viewPending_ = false;
            abandon_ = false;
            copyWake_.notify_all();
        }
    }

    // False when abandoned.
    bool Publish(const DeviceContext& shown) {
        std::shared_ptr<Frame> frame;
        for (const auto& pooled : pool_)
            if (pooled.use_count() == 1) frame = pooled;
        if (!frame) {
            frame = std::make_shared<Frame>(size_t(width_) * size_t(height_) * 4);
            if (pool_.size() < kPooledFrames) pool_.push_back(frame);
        }
        const size_t rowBytes = size_t(width_) * 4;
        for (int y = 0; y < height_; ++y) {
            if (y % 16 == 0 && abandon_) return false;
            std::memcpy(frame->data() + y * rowBytes, shown.Row(y), rowBytes);
        }
        std::lock_guard lock(mutex_);
        latest_ = std::move(frame);
        return true;
    }

    // Worker side: the log is written by the user-interface thread.
    void Log(std::string text, const char* severity) {
        std::lock_guard lock(logMutex_);
        if (logLines_.empty())
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] { DrainStreamLog(); }, Qt::QueuedConnection);
        logLines_.emplace_back(std::move(text), severity);
    }

    std::chrono::nanoseconds FrameTime(uint64_t frame) const {
        return std::chrono::nanoseconds(int64_t(gst_util_uint64_scale(frame, GST_SECOND, guint64(frameRate_))));
    }

    void Run() {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            Log(std::string("GStreamer cannot start, so no stream runs: ") + (error ? error->message : "unknown error"),
                "E");
            if (error) g_error_free(error);
        } else {
            for (Stream& s : streams_) Launch(s);
            const Clock::time_point start = Clock::now();
            uint64_t tick = 0;
            std::unique_lock lock(mutex_);
            while (!wake_.wait_until(lock, start + FrameTime(tick), [this] { return stopping_; })) {
                const SharedFrame frame = latest_;
                lock.unlock();
                copyTurn_ = true;
                const Clock::time_point now = Clock::now();
                for (Stream& s : streams_) Serve(s, frame, now);
                lock.lock();
                // Behind by more than a frame (a slow start of a pipeline):
                // the clock goes on from now, the timestamps stay continuous.
                ++tick;
                while (start + FrameTime(tick + 1) < Clock::now()) ++tick;
            }
            lock.unlock();
            Finish();
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        wake_.notify_all();
    }

    void Launch(Stream& s) {
        GError* error = nullptr;
        const std::string launch = "appsrc name=kivsource ! " + s.description;
        GstElement* pipeline = gst_parse_launch_full(launch.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
        if (!pipeline || error) {
            const std::string why = error ? error->message : "unknown error";
            if (error) g_error_free(error);
            if (pipeline) gst_object_unref(pipeline);
            return Fail(s, "the pipeline cannot be built: " + why);
        }
        s.pipeline = pipeline;
        s.bus = gst_element_get_bus(pipeline);
        s.source = gst_bin_get_by_name(GST_BIN(pipeline), "kivsource");
        if (!s.source || !GST_IS_APP_SRC(s.source)) return Fail(s, "the name kivsource is taken in the pipeline");
        auto* source = GST_APP_SRC(s.source);
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", "width", G_TYPE_INT,
                                            width_, "height", G_TYPE_INT, height_, "framerate", GST_TYPE_FRACTION,
                                            frameRate_, 1, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        gst_app_src_set_caps(source, caps);
        gst_caps_unref(caps);
        g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "block", FALSE, nullptr);
        gst_app_src_set_max_bytes(source, 0);
        gst_app_src_set_max_buffers(source, kQueuedFrames);
        gst_app_src_set_leaky_type(source, GST_APP_LEAKY_TYPE_DOWNSTREAM);
        // The frames are stamped as they are pushed: synchronising sinks
        // hold each one a frame's time.
        gst_app_src_set_latency(source, guint64(FrameTime(1).count()), guint64(FrameTime(1).count()));
        s.frames = 0;
        if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            GstMessage* message = gst_bus_pop_filtered(s.bus, GST_MESSAGE_ERROR);
            const std::string why = message ? ErrorText(message) : "it cannot start";
            if (message) gst_message_unref(message);
            return Fail(s, why);
        }
    }

    void Serve(Stream& s, const SharedFrame& frame, Clock::time_point now) {
        if (!s.pipeline) {
            if (s.restartAt && now >= *s.restartAt) {
                Log("Restarting " + s.Name() + "...", "I");
                s.restartAt.reset();
                s.lastRestart = now;
                Launch(s);
            }
            return;
        }
        if (GstMessage* message = gst_bus_pop_filtered(s.bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))) {
            const std::string why = ErrorText(message);
            gst_message_unref(message);
            return Fail(s, why);
        }
        if (frame) Push(s, frame);
        if (s.unloggedDrops > 0 && (!s.dropsLogged || now - *s.dropsLogged >= kDropLogSpacing)) {
            Log(s.Name() + " cannot keep up: its queue dropped " + std::to_string(s.unloggedDrops) +
                    " frame(s), the oldest waiting each time.",
                "W");
            s.unloggedDrops = 0;
            s.dropsLogged = now;
        }
    }

    void Push(Stream& s, const SharedFrame& frame) {
        auto* held = new SharedFrame(frame);
        GstBuffer* buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(frame->data()), frame->size(), 0, frame->size(), held,
            [](gpointer p) { delete static_cast<SharedFrame*>(p); });
        GST_BUFFER_PTS(buffer) = GstClockTime(FrameTime(s.frames).count());
        GST_BUFFER_DURATION(buffer) = GstClockTime((FrameTime(s.frames + 1) - FrameTime(s.frames)).count());
        StreamCounts& counts = StreamCounters()[size_t(s.number - 1)];
        if (gst_app_src_get_current_level_buffers(GST_APP_SRC(s.source)) >= kQueuedFrames) {
            ++s.unloggedDrops;
            ++counts.dropped;
        }
        if (gst_app_src_push_buffer(GST_APP_SRC(s.source), buffer) != GST_FLOW_OK) return;
        ++s.frames;
        ++counts.frames;
    }

    void Fail(Stream& s, const std::string& why) {
        TearDown(s);
        const Clock::time_point now = Clock::now();
        s.restartAt = std::max(now + kFirstRestart, s.lastRestart ? *s.lastRestart + kRestartSpacing : now);
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(*s.restartAt - now).count();
        Log(s.Name() + " failed: " + why + ". It is restarted in " + std::to_string(seconds) + " s.", "E");
    }

    void TearDown(Stream& s) {
        if (s.pipeline) gst_element_set_state(s.pipeline, GST_STATE_NULL);
        gst_clear_object(&s.source);
        gst_clear_object(&s.bus);
        gst_clear_object(&s.pipeline);
    }

    void Finish() {
        for (Stream& s : streams_)
            if (s.pipeline) gst_app_src_end_of_stream(GST_APP_SRC(s.source));
        const Clock::time_point deadline = Clock::now() + kEndOfStreamWait;
        for (Stream& s : streams_) {
            if (!s.pipeline) continue;
            const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
            GstMessage* message = gst_bus_timed_pop_filtered(
                s.bus, GstClockTime(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count()),
                GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
            if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS)
                Log(s.Name() + " ended with end-of-stream.", " ");
            else
                Log(s.Name() + " did not finish its end-of-stream: " +
                        (message ? ErrorText(message) : "no answer within " +
                                                            std::to_string(kEndOfStreamWait.count()) + " s"),
                    "W");
            if (message) gst_message_unref(message);
            TearDown(s);
        }
    }

    const int width_, height_, frameRate_;
    std::vector<Stream> streams_;  // the worker's
    std::vector<std::shared_ptr<Frame>> pool_;  // the copier's
    QTimer flush_;
    std::atomic<bool> copyTurn_{true}, copyDue_{false};
    std::mutex copyMutex_;
    std::condition_variable copyWake_;
    DeviceContext view_;
    bool viewPending_ = false, copierStopping_ = false;
    std::atomic<bool> abandon_{false};
    std::thread copier_;
    std::mutex mutex_;
    std::condition_variable wake_;
    SharedFrame latest_;
    bool stopping_ = false, finished_ = false;
    std::mutex logMutex_;
    std::vector<std::pair<std::string, const char*>> logLines_;
    std::thread worker_;
};

std::unique_ptr<StreamHub> gHub;

void DrainStreamLog() {
    if (gHub) gHub->DrainLog();
}

}  // namespace

void StartStreams() {
    const std::vector<std::string> descriptions(std::begin(Settings.Streams), std::end(Settings.Streams));
    if (std::all_of(descriptions.begin(), descriptions.end(), [](const std::string& d) { return d.empty(); })) return;
    int frameRate = Settings.DisplayFrameRate;
    if (frameRate <= 0) {
        WriteLog("DisplayFrameRate=" + std::to_string(frameRate) + " cannot pace a stream: the streams run at " +
                     std::to_string(kFallbackFrameRate) + " frames per second.",
                 "GFX", "W");
        frameRate = kFallbackFrameRate;
    }
    StartStreams(descriptions, picStillA().Width(), picStillA().Height(), frameRate);
}

void StartStreams(const std::vector<std::string>& descriptions, int width, int height, int frameRate) {
    if (gHub) return;
    for (size_t i = 0; i < descriptions.size(); ++i)
        if (!descriptions[i].empty())
            WriteLog("Starting Stream" + std::to_string(i + 1) + " (" + std::to_string(width) + "x" +
                         std::to_string(height) + " at " + std::to_string(frameRate) + " fps): " + descriptions[i],
                     "GFX", " ");
    gHub = std::make_unique<StreamHub>(descriptions, width, height, frameRate);
    SetPresentObserver({[](const DeviceContext& shown) { gHub->Presented(shown); }, [] { gHub->Drawing(); }});
    gHub->Start();
}

void StopStreams() {
    if (!gHub) return;
    SetPresentObserver({});
    const bool finished = gHub->Stop();
    gHub->DrainLog();
    if (finished) {
        gHub->Join();
        gHub.reset();
    } else {
        // A pipeline wedged in a sink: the process ends without waiting.
        WriteLog("The streams did not stop in time.", "GFX", "W");
        gHub->Detach();
        (void)gHub.release();
    }
}
