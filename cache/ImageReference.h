#pragma once
// Finding the image reference in the line of an image command.
#include <optional>
#include <string>

struct ImageReference {
    std::string reference;     // as received: the cache name is its digest
    std::string accessMethod;  // kAccessHttp, kAccessFile or kAccessUnc
};

// `line` is the command, a blank and the parameter. The searches are
// case-sensitive: "http://", "https://", a drive ":\", a UNC "\\", or a "/"
// path right after "SET " (in any case), with or without an opening double
// quote. The reference runs to the first blank or double quote. Nothing when
// the line holds none of these.
std::optional<ImageReference> FindImageReference(const std::string& line);
