#include "protocol/SendResponse.h"

#include "core/EngineCounters.h"
#include "core/Log.h"
#include "net/modSessionManager.h"
#include "net/sckCommands.h"
#include "protocol/Framing.h"

namespace {

const char* TerminatorText(std::string_view terminator) {
    if (terminator == kTermCRLF) return "{CR}{LF}";
    if (terminator == kTermCR) return "{CR}";
    if (terminator == kTermLF) return "{LF}";
    return "{NUL}";
}

}  // namespace

std::string BuildReplyLine(std::string_view prefix, std::string_view response) {
    if (prefix.empty()) return std::string(response);
    if (response.empty()) return std::string(prefix);
    std::string line;
    line.reserve(prefix.size() + 1 + response.size());
    line.append(prefix).append(" ").append(response);
    return line;
}

void SendResponse(int32_t session, std::string_view prefix, std::string_view response,
                  std::string_view terminator) {
    if (terminator.empty()) terminator = kTermNUL;
    const std::string line = BuildReplyLine(prefix, response);
    const std::string name = session == -1  ? std::string("gui, not sent")
                             : session == 0 ? std::string("console, not sent")
                                            : std::to_string(session);
    if (!line.empty()) WriteLog(line + " (session=" + name + ")", "OUT");
    if (session <= 0) return;

    const int16_t socket = GetSocketBySession(session);
    if (VerboseOn())
        WriteLog("SEND " + GetSessionAddress(session) + "," + std::to_string(socket) + ": " + line +
                     TerminatorText(terminator),
                 "TCP");
    std::string data;
    data.reserve(line.size() + terminator.size());
    data.append(line).append(terminator);
    CountReply();
    sckCommands().SendData(socket, data);
}
