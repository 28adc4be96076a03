#pragma once
// The configuration values read once at start-up from the ini file. Before
// ReadConfig has run every field is unset: numbers 0, texts empty.
#include <cstdint>
#include <string>

struct SettingsData {
    // [General]
    int HideConsoleOnStartup = 0;
    int OnAirOnStartup = 0;
    int ListeningPort = 0;
    int DisplayFrameRate = 0;
    int DisableGui = 0;
    int OnAirMonitor = 0;
    std::string Compatible;
    int VerboseConsole = 0;
    std::string CacheDir;
    int DisableGFXOnCleanup = 0;
    int DisableGFXWhenOffAir = 0;
    // [Rendering]
    int IgnoreAspect = 0;
    int UseBlurredBackground = 0;
    int BlurredBackgroundLightness = 0;
    uint32_t BlurredBackgroundColor = 0;  // colours: red lowest byte, then green, blue
    int BlurredBackgroundOpacity = 0;
    uint32_t ShadowColor = 0;
    int ShadowOpacity = 0;
    int AlphaAddTop = 0;
    // [Defaults]
    uint32_t StartupColor = 0;
    std::string StartupImage;
    uint32_t OutColor = 0;
    std::string OutImage;
    uint32_t CleanupColor = 0;
    std::string CleanupImage;
    uint32_t BackgroundColor = 0;
    std::string BackgroundImage;
    // [Transition]
    std::string TransMode;
    int TransDur = 0;
    // [HttpAuth]
    std::string HttpAuthUser;
    std::string HttpAuthPass;
    // [Drives] X=/path and [Paths] UncRoot: how Windows references map to
    // this machine's file system (see core/Paths.h).
    std::string DriveRoots[26];
    std::string UncRoot;
    // [Status] the HTTP status server: off while HttpPort is 0.
    int HttpPort = 0;
    std::string HttpAddress;
    std::string HttpToken;
    // [Streams] Stream1..Stream4: pipeline descriptions after the engine's
    // source; empty: no stream.
    std::string Streams[4];

    bool operator==(const SettingsData&) const = default;
};

// Process-wide settings.
inline SettingsData Settings;
