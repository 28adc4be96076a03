#include "cache/ImageReference.h"

#include <algorithm>
#include <cctype>

#include "cache/modCacheManager.h"

std::optional<ImageReference> FindImageReference(const std::string& line) {
    size_t start = std::string::npos;
    const char* method = nullptr;
    if (size_t p = line.find("http://"); p != std::string::npos) {
        start = p;
        method = kAccessHttp;
    } else if (p = line.find("https://"); p != std::string::npos) {
        start = p;
        method = kAccessHttp;
    } else if (p = line.find(":\\"); p != std::string::npos) {
        start = p > 0 ? p - 1 : 0;  // the drive letter
        method = kAccessFile;
    } else if (p = line.find("\\\\"); p != std::string::npos) {
        start = p;
        method = kAccessUnc;
    } else {
        // A local path of this machine: "/" right after "SET " in any case,
        // quoted or not; the closing quote ends it like any reference.
        std::string upper = line;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        const size_t plain = upper.find("SET /"), quoted = upper.find("SET \"/");
        if (plain == std::string::npos && quoted == std::string::npos) return std::nullopt;
        start = plain < quoted ? plain + 4 : quoted + 5;
        method = kAccessFile;
    }
    const size_t end = line.find_first_of(" \"", start);
    return ImageReference{line.substr(start, end == std::string::npos ? std::string::npos : end - start), method};
}
