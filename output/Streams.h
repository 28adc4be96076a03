#pragma once
// Live streams of the output: each a GStreamer pipeline, fed by a worker
// thread with what the output shows, as raw video at the frame rate on a
// steady clock. A copier thread takes at most one copy of a presented frame
// per stream frame, shared by all the streams; the user-interface thread
// copies nothing.
#include <string>
#include <vector>

// Starts the streams of [Streams] at the output's size (after InitGfxOutput).
void StartStreams();
// Starts the given pipeline descriptions (Stream1 onwards) at width x height
// and `frameRate` frames per second.
void StartStreams(const std::vector<std::string>& descriptions, int width, int height, int frameRate);
// Ends each stream with an end-of-stream, so that files are finalised, and
// waits a bounded time for the sinks. Quit and termination signals.
void StopStreams();
