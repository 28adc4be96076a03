#pragma once
// The main window's fixed texts (legend, questions, About box), kept apart
// from the widgets so they can be checked byte for byte.
#include <string>

#include "core/Version.h"

namespace frmMainTexts {

// The legend of txtConsoleInfo: code TAB description, lines ending in CR LF.
inline constexpr const char* Legend =
    "CONSOLE MESSAGE CATEGORIES/SOURCES:\r\n"
    "SYS:\tSystem-internal\r\n"
    "TCP:\tIncoming or outgoing TCP comms\r\n"
    "SES:\tMessages from TCP SessionManager\r\n"
    "QUE:\tCommand-queue related messages\r\n"
    "CMD:\tA command to process\r\n"
    "OUT:\tKiv output (e.g., an answer to a command)\r\n"
    "GFX:\tMessages related to graphics rendering\r\n"
    "CCH:\tMessages related to graphics caching/initialization\r\n"
    "DBG:\tGeneral debug-only messages\r\n"
    "WRN:\tGeneral/unknown warnings\r\n"
    "ERR:\tGeneral/unknown errors\r\n"
    "\r\n"
    "CONSOLE MESSAGE TYPES:\r\n"
    "(None):\tGeneral log messages\r\n"
    "I:\tInformation\r\n"
    "V:\tVerbose mode messages\r\n"
    "D:\tDebug mode messages\r\n"
    "W:\tWarning\r\n"
    "E:\tError\r\n"
    "F:\tFatal\r\n";

inline constexpr const char* OffAirTitle = "Confirm going Off Air";
inline constexpr const char* OffAirQuestion =
    "Kiv is configured to disable graphics output when going Off Air.\r\n"
    "\r\n"
    "If you continue, graphics rendering will be stopped. Don't do this during a live show!\r\n"
    "\r\n"
    "Do you really want to leave On Air mode?";

inline constexpr const char* QuitTitle = "Confirm quit";
inline constexpr const char* QuitQuestion = "Do you really want to quit Kiv?";
inline constexpr const char* QuitQuestionOnAir =
    "Kiv is still in On Air mode!\r\n"
    "\r\n"
    "Do you really want to quit Kiv?";

// "Kiv GUI 1.1.0.1 (x86)"
inline std::string WindowTitle() {
    return std::string(Version::ProductName) + " GUI " + Version::Text() + " (x86)";
}

inline std::string AboutTitle() { return std::string("About ") + Version::ProductName; }

// Name and version, file description, two empty parts, the legend; an empty
// line between the parts.
inline std::string AboutText() {
    const std::string gap = "\r\n\r\n";
    return std::string(Version::ProductName) + " " + Version::Text() + gap + Version::FileDescription + gap +
           "" + gap + "" + gap + Legend;
}

}  // namespace frmMainTexts
