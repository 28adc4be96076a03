#pragma once
// Writing the reply line of one command back to where it came from.
#include <cstdint>
#include <string>
#include <string_view>

// The prefix, a blank and the response, or whichever of them is not empty.
std::string BuildReplyLine(std::string_view prefix, std::string_view response);

// Logs the reply and sends it with the command's terminator to a network
// session; the console (0) and the gui (-1) get it in the log only. Never
// fails towards the caller.
void SendResponse(int32_t session, std::string_view prefix, std::string_view response,
                  std::string_view terminator);
