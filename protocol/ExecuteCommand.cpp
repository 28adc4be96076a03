#include "protocol/ExecuteCommand.h"

#include <cmath>
#include <optional>

#include "cache/ImageReference.h"
#include "cache/modCacheManager.h"
#include "core/Ansi.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

namespace {

ExecutorHooks gHooks;
cHandleGenerator gHandles;

std::string TrimBlanks(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool Contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }
bool StartsWith(const std::string& text, const char* word) { return text.rfind(word, 0) == 0; }

std::string ModeError(const std::string& command) {
    return "ERROR <" + command + ">: the command is not allowed in this mode";
}

std::string Wait(int32_t ms) {
    WriteLog("#WAIT command received, halting CommandQueueManager and switching to realtime mode...", "QUE", "I");
    SetQueueTimerEnabled(false);
    WaitMs(ms);
    WriteLog("Realtime operations completed. Resuming CommandQueueManager...", "QUE", "I");
    SetQueueTimerEnabled(true);
    return {};
}

std::string Images(const std::string& f, const std::string& u) {
    const std::optional<ImageReference> image = FindImageReference(f);
    if (!image) return "Error: no valid image path/URL given.";
    // The cache and the output log their own failures; the reply stays empty.
    if (Contains(u, "INITIALIZE"))
        AddImageToCache(image->reference, image->accessMethod);
    else
        DisplayImage(image->reference, image->accessMethod);
    return {};
}

// Failures after the cache clean-up are the output's own matter: the steps
// go on regardless.
void Cleanup() {
    CleanupCache();
    WriteLog("Clearing GFX output", "GFX");
    ClearGfxOutput();
    if (Settings.DisableGFXOnCleanup == 1 && GfxOutputEnabled) {
        WriteLog("Disabling GFX output...", "GFX");
        GfxOutputEnabled = false;
        HideGfxOutput();
    }
}

// The last rule: the first trigger word found anywhere in the line decides.
std::string ByTriggerWord(const std::string& command, const std::string& parameter, const std::string& u) {
    if (Contains(u, "ADD TOP")) return "1";
    if (Contains(u, "TC_INFO")) return "{0,'Kiv','SystemTime'}";
    if (Contains(u, "ONAIR")) return OnAir ? "ONAIR" : "OFFAIR";
    if (Contains(u, "CLOG")) return WriteConsoleLog() + " OK";
    if (gHooks.Iconify && Contains(u, "ICONIFY")) {
        gHooks.Iconify();
        return {};
    }
    if (gHooks.SetConsoleVisible && Contains(u, "SHOW_CONSOLE")) {
        // "OFF" and "0" are tested first, so "10" hides the console.
        const std::string t = TrimBlanks(AnsiUpper(parameter));
        if (Contains(t, "OFF") || Contains(t, "0"))
            gHooks.SetConsoleVisible(false);
        else if (Contains(t, "ON") || Contains(t, "1"))
            gHooks.SetConsoleVisible(true);
        return {};
    }
    if (Contains(u, "CLEANUP")) {
        if (!OnAir) return ModeError(command);
        Cleanup();
        return {};
    }
    if (gHooks.Quit && (Contains(u, "QUIT") || Contains(u, "EXIT"))) {
        gHooks.Quit();
        return kNoReply;
    }
    return {};
}

}  // namespace

int32_t cHandleGenerator::Next() {
    // Uniform in [0, 1): 32 random bits over 2^32.
    const double r = static_cast<double>(engine_()) / 4294967296.0;
    // nearbyint rounds halves to even in the default rounding mode.
    return static_cast<int32_t>(std::nearbyint(r * 10000.0)) + 1000;
}

void SetExecutorHooks(ExecutorHooks hooks) { gHooks = std::move(hooks); }

std::string ExecuteCommand(const std::string& command, const std::string& parameter) {
    const std::string f = command + " " + parameter;
    const std::string u = AnsiUpper(f);
    const std::string upperParameter = AnsiUpper(parameter);

    if (Contains(u, "VERSION")) return "Version: " + Settings.Compatible;

    if (command == "#WAIT")
        if (const std::optional<int32_t> ms = ToInt32HalfEven(parameter)) return Wait(*ms);

    if (command == "#VERBOSE") {
        if (const std::optional<int32_t> level = ToInt32HalfEven(parameter)) {
            Settings.VerboseConsole = *level;
            return "VerboseConsole set to " + std::to_string(*level);
        }
    }

    const bool sceneNew = StartsWith(command, "SCENE") && upperParameter == "NEW";
    if (sceneNew || upperParameter == "LOAD") {
        if (!OnAir) return ModeError(command);
        std::string handle = sceneNew ? "SCENE*#" : "#";
        handle += std::to_string(gHandles.Next());
        return handle;
    }

    if ((StartsWith(command, "SCENE") || StartsWith(command, "RENDERER")) && Contains(upperParameter, "SET ") &&
        !Contains(u, "UPDATE SET ")) {
        if (!OnAir) return ModeError(command);
        return Images(f, u);
    }

    return ByTriggerWord(command, parameter, u);
}
