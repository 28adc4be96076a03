#pragma once
// The graphics output: the On Air monitor, the output window, compositing and
// transitions. Callable from the core; the windows are reached through the
// presenter seam the GUI installs.
#include <functional>
#include <string>

// Chooses the On Air monitor and places the output windows (start-up).
void InitGfxOutput();

// Composes `imagePath` into the output frame and brings it on air with the
// transition `transMode` ("Fade" fades; any other text cuts). 0 done, 1 failed.
int DisplayCachedImage(const std::string& imagePath, const std::string& transMode);

// Clears the visible output to the clean-up colour and picture.
void ClearGfxOutput();

// Show / hide the output window and move it in or out of the always-on-top
// band (used by GoOnAir, GoOffAir, Quit and CLEANUP). Harmless before the
// output is initialised.
void ShowGfxOutput();
void HideGfxOutput();
void SetGfxOutputTopMost(bool on);

// The command queue above the output: realtime mode halts its timer while a
// picture renders and resumes it after; Ctrl+Q on the output queues a QUIT.
// The queue registers itself at start-up; until then both do nothing.
struct OutputQueueLink {
    std::function<void(bool enabled)> SetQueueTimerEnabled;
    std::function<void()> QueueQuit;
};
void SetOutputQueueLink(OutputQueueLink link);
