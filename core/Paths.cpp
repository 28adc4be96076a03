#include "core/Paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <optional>
#include <string_view>
#include <vector>

#include "core/Ansi.h"
#include "core/Settings.h"

namespace {
constexpr const char* kDefaultDriveRoot = "/";
constexpr const char* kDefaultUncRoot = "/mnt";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The components of `rest`, dropping "." and empty ones and letting ".."
// remove the previous one but never climb above the start.
std::vector<std::string_view> Components(std::string_view rest) {
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
    return parts;
}

void Append(std::string& path, std::string_view part) {
    if (path.empty() || path.back() != '/') path += '/';
    path += part;
}

bool Exists(const std::string& path, bool* isDirectory = nullptr) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

// Windows-1252 letters without regard to case, as a Windows file system compares names.
bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AnsiUpperChar(static_cast<unsigned char>(a[i])) != AnsiUpperChar(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The entry of `dir` named `name` without regard to case (a directory when
// more components follow). Of several, the smallest name byte by byte, so
// that the choice does not depend on the order of the directory.
std::optional<std::string> FindIgnoringCase(const std::string& dir, std::string_view name, bool directory) {
    DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return std::nullopt;
    std::optional<std::string> best;
    while (const dirent* entry = ::readdir(d)) {
        const std::string_view candidate = entry->d_name;
        if (candidate == "." || candidate == ".." || !EqualIgnoringCase(candidate, name)) continue;
        if (best && candidate >= *best) continue;
        std::string path = dir;
        Append(path, candidate);
        bool isDirectory = false;
        if (!Exists(path, &isDirectory) || (directory && !isDirectory)) continue;
        best = std::string(candidate);
    }
    ::closedir(d);
    return best;
}

// `rest` joined under `root`. A reference written for Windows may differ in
// case from the names on disk: when the path does not exist as written, each
// component missing as written is looked up without regard to case.
std::string MapUnder(std::string root, std::string_view rest) {
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const std::vector<std::string_view> parts = Components(rest);
    std::string path = root;
    for (const std::string_view part : parts) Append(path, part);
    if (parts.empty() || Exists(path)) return path;

    path = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string dir = path;
        Append(path, parts[i]);
        if (Exists(path)) continue;
        if (const auto match = FindIgnoringCase(dir, parts[i], i + 1 < parts.size())) {
            path = dir;
            Append(path, *match);
        }
    }
    return path;
}
}  // namespace

std::string MapWindowsPath(const std::string& ref) {
    if (ref.size() >= 2 && ref[0] == '\\' && ref[1] == '\\') {
        const std::string& root = Settings.UncRoot.empty() ? std::string(kDefaultUncRoot) : Settings.UncRoot;
        return MapUnder(root, std::string_view(ref).substr(2));
    }
    const char letter = ref.size() >= 2 && ref[1] == ':' ? ref[0] : '\0';
    if ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) {
        const int drive = (letter | 0x20) - 'a';
        const std::string& configured = Settings.DriveRoots[drive];
        return MapUnder(configured.empty() ? std::string(kDefaultDriveRoot) : configured,
                        std::string_view(ref).substr(2));
    }
    if (!ref.empty() && ref[0] == '/') return ref;
    std::string out = ref;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}
