#include "app/Paths.h"

#include <string_view>
#include <vector>

#include "app/Settings.h"

namespace {
constexpr const char* kDefaultDriveRoot = "/";
constexpr const char* kDefaultUncRoot = "/mnt";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Joins the components of `rest` under `root`, dropping "." and empty
// components and letting ".." remove the previous one but never the root.
std::string JoinUnder(std::string root, std::string_view rest) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::vector<std::string_view> parts;
    while (!rest.empty()) {
        size_t end = 0;
        while (end < rest.size() && !IsSeparator(rest[end])) ++end;
        const std::string_view part = rest.substr(0, end);
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = root;
    for (const std::string_view part : parts) {
        if (out.empty() || out.back() != '/') out += '/';
        out += part;
    }
    return out;
}
}  // namespace

std::string MapWindowsPath(const std::string& ref) {
    if (ref.size() >= 2 && ref[0] == '\\' && ref[1] == '\\') {
        const std::string& root = Settings.UncRoot.empty() ? std::string(kDefaultUncRoot) : Settings.UncRoot;
        return JoinUnder(root, std::string_view(ref).substr(2));
    }
    const char letter = ref.size() >= 2 && ref[1] == ':' ? ref[0] : '\0';
    if ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) {
        const int drive = (letter | 0x20) - 'a';
        const std::string& configured = Settings.DriveRoots[drive];
        return JoinUnder(configured.empty() ? std::string(kDefaultDriveRoot) : configured,
                         std::string_view(ref).substr(2));
    }
    if (!ref.empty() && ref[0] == '/') return ref;
    std::string out = ref;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}
