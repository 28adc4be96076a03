#include "core/Config.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/Ansi.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"

namespace {
// The value buffer of the private-profile reader: 750 characters with the
// terminator, so a value keeps its first 749.
constexpr size_t kMaxValue = 749;
// A real configuration is a few kilobytes; a binary or runaway file is read
// only this far, so it cannot exhaust memory.
constexpr size_t kMaxIniBytes = 1 << 20;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A parsed private-profile file: sections and their key/value lines in file
// order. Lookups take the first section of a name and the first key in it.
class IniFile {
public:
    bool Load(const std::string& path) {
        std::error_code ec;
        // Only a regular file: a directory cannot be read and a FIFO would block.
        if (!std::filesystem::is_regular_file(path, ec)) return false;
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        std::string data;
        std::array<char, 64 * 1024> chunk;
        while (data.size() < kMaxIniBytes) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const size_t got = static_cast<size_t>(in.gcount());
            data.append(chunk.data(), std::min(got, kMaxIniBytes - data.size()));
            if (!in) break;
        }
        if (in.bad()) return false;
        // Editors on Windows may save the file as Unicode; the values are
        // Windows-1252 bytes all the same.
        Parse(FileTextToAnsi(data));
        return true;
    }

    std::optional<std::string> Get(std::string_view section, std::string_view key) const {
        for (const Section& s : sections_) {
            if (!EqualNoCase(s.name, section)) continue;
            for (const auto& [k, v] : s.entries)
                if (EqualNoCase(k, key)) return v;
            return std::nullopt;
        }
        return std::nullopt;
    }

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };

    void Parse(std::string_view data) {
        while (!data.empty()) {
            size_t end = data.find_first_of("\r\n");
            std::string_view line = Trim(data.substr(0, end));
            data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
            if (line.empty()) continue;
            if (line.front() == '[') {
                const size_t close = line.find(']');
                if (close == std::string_view::npos) continue;
                sections_.push_back({std::string(Trim(line.substr(1, close - 1))), {}});
                continue;
            }
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos || sections_.empty()) continue;
            std::string_view value = Trim(line.substr(eq + 1));
            // The profile reader drops one pair of matching quotes around a value.
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            sections_.back().entries.emplace_back(std::string(Trim(line.substr(0, eq))), std::string(value));
        }
    }

    std::vector<Section> sections_;
};

std::string Cut(std::string s) {
    if (s.size() > kMaxValue) s.resize(kMaxValue);
    return s;
}

std::string Lookup(const IniFile& ini, const char* section, const char* key, const char* def) {
    return Cut(ini.Get(section, key).value_or(def));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct IntKey {
    const char* section;
    const char* key;
    const char* def;
    int SettingsData::*field;
};
struct TextKey {
    const char* section;
    const char* key;
    const char* def;
    std::string SettingsData::*field;
};
struct ColourKey {
    const char* section;
    const char* key;
    const char* def;
    uint32_t SettingsData::*field;
};

// Integers in the order they are converted: the first that is not a number
// ends the reading, the ones before it are kept.
const IntKey kIntKeys[] = {
    {"general", "hideconsoleonstartup", "0", &SettingsData::HideConsoleOnStartup},
    {"general", "onaironstartup", "1", &SettingsData::OnAirOnStartup},
    {"general", "listeningport", "6100", &SettingsData::ListeningPort},
    {"general", "displayframerate", "25", &SettingsData::DisplayFrameRate},
    {"rendering", "ignoreaspect", "0", &SettingsData::IgnoreAspect},
    {"rendering", "useblurredbackground", "1", &SettingsData::UseBlurredBackground},
    {"rendering", "blurredbackgroundlightness", "-20", &SettingsData::BlurredBackgroundLightness},
    {"rendering", "blurredbackgroundopacity", "30", &SettingsData::BlurredBackgroundOpacity},
    {"rendering", "shadowopacity", "30", &SettingsData::ShadowOpacity},
    {"rendering", "alphaaddtop", "0", &SettingsData::AlphaAddTop},
    {"general", "disablegfxoncleanup", "0", &SettingsData::DisableGFXOnCleanup},
    {"general", "disablegfxwhenoffair", "1", &SettingsData::DisableGFXWhenOffAir},
    {"general", "disablegui", "0", &SettingsData::DisableGui},
    {"general", "onairmonitor", "2", &SettingsData::OnAirMonitor},
    {"general", "verboseconsole", "0", &SettingsData::VerboseConsole},
    {"transition", "transdur", "12", &SettingsData::TransDur},
    {"status", "httpport", "0", &SettingsData::HttpPort},
};

const TextKey kTextKeys[] = {
    {"general", "compatible", "", &SettingsData::Compatible},
    {"general", "cachedir", "", &SettingsData::CacheDir},
    {"defaults", "startupimage", "", &SettingsData::StartupImage},
    {"defaults", "outimage", "", &SettingsData::OutImage},
    {"defaults", "cleanupimage", "", &SettingsData::CleanupImage},
    {"defaults", "backgroundimage", "", &SettingsData::BackgroundImage},
    {"transition", "transmode", "Fade", &SettingsData::TransMode},
    {"httpauth", "httpauthuser", "", &SettingsData::HttpAuthUser},
    {"httpauth", "httpauthpass", "", &SettingsData::HttpAuthPass},
    {"paths", "uncroot", "", &SettingsData::UncRoot},
    {"status", "httpaddress", "127.0.0.1", &SettingsData::HttpAddress},
    {"status", "httptoken", "", &SettingsData::HttpToken},
};

const ColourKey kColourKeys[] = {
    {"rendering", "blurredbackgroundcolor", "#808080", &SettingsData::BlurredBackgroundColor},
    {"rendering", "shadowcolor", "#000000", &SettingsData::ShadowColor},
    {"defaults", "startupcolor", "#000000", &SettingsData::StartupColor},
    {"defaults", "outcolor", "#000000", &SettingsData::OutColor},
    {"defaults", "cleanupcolor", "#000000", &SettingsData::CleanupColor},
    {"defaults", "backgroundcolor", "#000000", &SettingsData::BackgroundColor},
};

// A number in the notation of the ini values: optional blanks and sign,
// digits with an optional point and fraction, an optional exponent, optional
// blanks. Kept as its significant digits, so that ties and comparisons are
// exact (no binary floating point in between).
struct Decimal {
    bool negative = false;
    std::string digits;       // no leading or trailing zeros; empty for zero
    long long intDigits = 0;  // how many of them (or of zeros beyond them) stand before the point
};

std::optional<Decimal> ParseDecimal(const std::string& text) {
    std::string_view s = Trim(text);
    Decimal d;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        d.negative = s.front() == '-';
        s.remove_prefix(1);
    }
    long long intDigits = -1;
    size_t i = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            d.digits += c;
        } else if (c == '.' && intDigits < 0) {
            intDigits = static_cast<long long>(d.digits.size());
        } else {
            break;
        }
    }
    if (d.digits.empty()) return std::nullopt;
    if (intDigits < 0) intDigits = static_cast<long long>(d.digits.size());
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return std::nullopt;
        long long exponent = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
            exponent = std::min<long long>(exponent * 10 + (s[i] - '0'), 1000000);
        intDigits += expNegative ? -exponent : exponent;
    }
    if (i != s.size()) return std::nullopt;
    const size_t lead = std::min(d.digits.find_first_not_of('0'), d.digits.size());
    d.digits.erase(0, lead);
    d.intDigits = intDigits - static_cast<long long>(lead);
    d.digits.erase(d.digits.find_last_not_of('0') + 1);
    return d;
}

// -1, 0 or 1 as `number` is below, equal to or above `value`.
int Compare(const Decimal& number, int value) {
    if (number.digits.empty()) return value > 0 ? -1 : (value < 0 ? 1 : 0);
    const long long magnitude = number.negative ? -static_cast<long long>(value) : value;
    int order;  // of the number's magnitude against `magnitude`
    if (number.intDigits > 10) {
        order = 1;
    } else {
        long long whole = 0;
        for (long long d = 0; d < number.intDigits; ++d)
            whole = whole * 10 + (d < static_cast<long long>(number.digits.size()) ? number.digits[d] - '0' : 0);
        const bool fraction = static_cast<long long>(number.digits.size()) > std::max(number.intDigits, 0LL);
        order = whole != magnitude ? (whole < magnitude ? -1 : 1) : (fraction ? 1 : 0);
    }
    return number.negative ? -order : order;
}

int FailReading() {
    WriteLog("Error while reading " + ProgramName() + ".ini. The file is probably missing or corrupt.", "SYS", "E");
    StopOperation();
    return 1;
}
}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& path,
                         const std::string& def) {
    IniFile ini;
    if (!ini.Load(path)) return Cut(def);
    return Cut(ini.Get(section, key).value_or(def));
}

uint32_t ParseColor(const std::string& text) {
    if (text.size() != 7 || text[0] != '#') return 0;
    uint32_t rgb[3];
    for (int i = 0; i < 3; ++i) {
        const int hi = HexDigit(text[1 + 2 * i]);
        const int lo = HexDigit(text[2 + 2 * i]);
        if (hi < 0 || lo < 0) return 0;
        rgb[i] = static_cast<uint32_t>(hi * 16 + lo);
    }
    return rgb[0] | rgb[1] << 8 | rgb[2] << 16;
}

std::optional<int32_t> ToInt32HalfEven(const std::string& text) {
    const std::optional<Decimal> number = ParseDecimal(text);
    if (!number) return std::nullopt;
    const std::string& digits = number->digits;
    const long long intDigits = number->intDigits;
    if (digits.empty()) return 0;
    if (intDigits > 10) return std::nullopt;

    long long value = 0;
    for (long long d = 0; d < intDigits; ++d)
        value = value * 10 + (d < static_cast<long long>(digits.size()) ? digits[d] - '0' : 0);
    // The first dropped digit decides, a 5 with nothing after it is a tie.
    const size_t rest = intDigits > 0 ? static_cast<size_t>(intDigits) : 0;
    const int first = intDigits >= 0 && rest < digits.size() ? digits[rest] - '0' : 0;
    const bool moreAfter = rest + 1 < digits.size();
    if (first > 5 || (first == 5 && (moreAfter || value % 2 == 1))) ++value;
    if (number->negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

int ReadConfig() { return ReadConfigFile(ProgramDir() + "/" + ProgramName() + ".ini"); }

int ReadConfigFile(const std::string& path) {
    WriteLog("Reading " + path + "...", "SYS", " ");
    IniFile ini;
    if (!ini.Load(path)) return FailReading();

    // Compared as the number it is: 1.4 is newer than major version 1.
    const std::optional<Decimal> version = ParseDecimal(Lookup(ini, "general", "version", "0"));
    if (!version) return FailReading();
    if (Compare(*version, Version::Major) > 0 || Compare(*version, 0) == 0)
        WriteLog("Warning: The file " + ProgramName() + ".ini is not compatible with this version of " +
                     Version::ProductName + ". Dazed and confused, but trying to continue.",
                 "SYS", "W");

    for (const TextKey& k : kTextKeys) Settings.*k.field = Lookup(ini, k.section, k.key, k.def);
    for (int d = 0; d < 26; ++d) {
        const char letter[2] = {static_cast<char>('a' + d), '\0'};
        Settings.DriveRoots[d] = Lookup(ini, "drives", letter, "");
    }
    for (int i = 0; i < 4; ++i) Settings.Streams[i] = Lookup(ini, "streams", ("stream" + std::to_string(i + 1)).c_str(), "");
    if (!Lookup(ini, "streams", "stream5", "").empty())
        WriteLog("Warning: Stream5 in [Streams] is ignored: at most four streams (Stream1 to Stream4) are fed.", "GFX",
                 "W");
    for (const IntKey& k : kIntKeys) {
        const std::optional<int32_t> v = ToInt32HalfEven(Lookup(ini, k.section, k.key, k.def));
        if (!v) return FailReading();
        Settings.*k.field = *v;
    }
    for (const ColourKey& k : kColourKeys) Settings.*k.field = ParseColor(Lookup(ini, k.section, k.key, k.def));

    if (Settings.Compatible.empty())
        Settings.Compatible = std::to_string(Version::Major) + std::to_string(Version::Minor) + ".0." +
                              std::to_string(Version::Revision);
    if (Settings.CacheDir.empty()) Settings.CacheDir = ProgramDir() + "/cache";
    // One trailing separator goes, as long as something is left of the path.
    if (Settings.CacheDir.size() > 1 && (Settings.CacheDir.back() == '\\' || Settings.CacheDir.back() == '/'))
        Settings.CacheDir.pop_back();
    Settings.CacheDir = MapWindowsPath(Settings.CacheDir);
    for (std::string SettingsData::*image :
         {&SettingsData::StartupImage, &SettingsData::OutImage, &SettingsData::CleanupImage,
          &SettingsData::BackgroundImage})
        Settings.*image = MapWindowsPath(Settings.*image);
    return 0;
}
