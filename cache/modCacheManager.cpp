#include "cache/modCacheManager.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/modMD5.h"
#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "output/modTL.h"

namespace {

cHttpRequest::Limits gLimits;
std::unique_ptr<cHttpRequest> gRequest;

constexpr const char* kCat = "CCH";

std::string CacheFilePath(const std::string& reference) {
    return Settings.CacheDir + "/" + CacheFileName(reference);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A file being fetched is written under a temporary name in the cache
// directory and renamed into place only when complete, so a cache file is
// always whole. The "kiv_" prefix lets the clean-up remove leftovers.
class PendingCacheFile {
public:
    explicit PendingCacheFile(const std::string& finalPath) : finalPath_(finalPath) {
        tempPath_ = finalPath + ".partXXXXXX";
        fd_ = ::mkstemp(tempPath_.data());
        if (fd_ < 0) error_ = errno;
        else ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    }
    ~PendingCacheFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(tempPath_.c_str());
    }
    PendingCacheFile(const PendingCacheFile&) = delete;
    PendingCacheFile& operator=(const PendingCacheFile&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }  // errno of the failed step, 0 if none

    // Closes the file and moves it over the cache file. False (with error())
    // when either fails; the temporary file is then removed.
    bool Commit() {
        const int rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0 || ::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
            error_ = errno;
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    std::string finalPath_;
    std::string tempPath_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
};

// Copies a regular file of at most `limit` bytes into `out`. 0 or an errno.
int CopyFileTo(const std::string& source, int out, uint64_t limit) {
    // O_NONBLOCK: opening a FIFO must not hang the engine; it is refused
    // below like every file that is not a regular one.
    const int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (in < 0) return errno;
    int error = 0;
    struct stat st {};
    if (::fstat(in, &st) != 0) error = errno;
    else if (S_ISDIR(st.st_mode)) error = EISDIR;
    else if (!S_ISREG(st.st_mode)) error = EINVAL;  // a device never ends
    else if (uint64_t(st.st_size) > limit) error = EFBIG;
    else if (::fcntl(in, F_SETFL, 0) != 0) error = errno;

    char buffer[1 << 16];
    uint64_t total = 0;
    while (error == 0) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        total += uint64_t(n);
        if (total > limit) {  // the file grew while being copied
            error = EFBIG;
            break;
        }
        for (ssize_t done = 0; done < n && error == 0;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w >= 0) done += w;
            else if (errno != EINTR) error = errno;
        }
    }
    ::close(in);
    return error;
}

void LogInitError(const std::string& description) {
    WriteLog("Error initializing http_resource_downloader (" + description +
                 "). Might not be able to initialize/load images via http and https.",
             kCat, "E");
}

void LogConnectionError(const std::string& reference, const std::string& accessMethod,
                        const std::string& message, int code) {
    WriteLog(accessMethod + ": Error downloading '" + reference +
                 "': Could not connect to host. The message from the system is: " + message + " (" +
                 std::to_string(code) + ")",
             kCat, "E");
}

int Download(const std::string& reference, const std::string& accessMethod, const std::string& path) {
    PendingCacheFile file(path);
    if (file.fd() < 0) {
        LogConnectionError(reference, accessMethod,
                           std::string("Failed creating the cache file: ") + std::strerror(file.error()),
                           file.error());
        return 1;
    }
    cHttpRequest::Result result;
    if (gRequest) {
        const std::string userAgent = std::string(Version::ProductName) + "/" + Version::Text() + " (x86)";
        result = gRequest->Get(reference, userAgent, Settings.HttpAuthUser, Settings.HttpAuthPass, file.fd());
        if (const off_t received = ::lseek(file.fd(), 0, SEEK_CUR); received > 0) CountDownloadBytes(uint64_t(received));
    } else {
        // The manager gave up at start (no cache directory).
        result.message = "The request object was not created";
        result.code = 2;  // the library's code for a failed initialisation
    }
    if (result.kind == cHttpRequest::Result::Status) {
        WriteLog(accessMethod + ": Error downloading '" + reference +
                     "': Received HTTP status " + std::to_string(result.status),
                 kCat, "E");
        return 1;
    }
    if (result.kind == cHttpRequest::Result::Failed) {
        LogConnectionError(reference, accessMethod, result.message, result.code);
        return 1;
    }
    if (!file.Commit()) {
        LogConnectionError(reference, accessMethod,
                           std::string("Failed writing the cache file: ") + std::strerror(file.error()),
                           file.error());
        return 1;
    }
    return 0;
}

int CopyIntoCache(const std::string& reference, const std::string& accessMethod, const std::string& path) {
    PendingCacheFile file(path);
    int error = file.error();
    if (error == 0) error = CopyFileTo(MapWindowsPath(reference), file.fd(), gLimits.maxBodyBytes);
    if (error == 0 && !file.Commit()) error = file.error();
    if (error != 0) {
        WriteLog("Error getting file '" + reference + "'. (error=" + std::to_string(error) +
                     ", accessmethod=" + accessMethod + ")",
                 kCat, "E");
        return 1;
    }
    return 0;
}

}  // namespace

std::string CacheFileName(const std::string& reference) { return "kiv_" + MD5Hex(reference); }

void SetHttpRequestLimits(const cHttpRequest::Limits& limits) { gLimits = limits; }

void InitCacheManager() {
    WriteLog("Initializing CacheManager", kCat);
    const std::string dir = Settings.CacheDir;
    if (!IsDirectory(dir)) {
        WriteLog("Cache directory doesn't exist. Creating new Cache directory: " + dir + "...", kCat);
        // One level only: a missing parent is a configuration fault.
        if (::mkdir(dir.c_str(), 0777) != 0) {
            WriteLog("Failed to create directory: " + dir, kCat, "E");
            WriteLog("CacheManager: Failed to initialize", kCat, "F");
            StopOperation();
            return;
        }
    }
    CleanupCache();
    WriteLog("CacheManager: Initializing http_resource_downloader", kCat);
    gRequest = std::make_unique<cHttpRequest>(gLimits, &LogInitError);
}

int AddImageToCache(const std::string& reference, const std::string& accessMethod) {
    WriteLog("Loading Image: '" + reference + "' (accessmethod=" + accessMethod + ")", kCat);
    const std::string path = CacheFilePath(reference);
    int rc = 0;
    if (accessMethod == kAccessHttp) rc = Download(reference, accessMethod, path);
    else if (accessMethod == kAccessFile || accessMethod == kAccessUnc) rc = CopyIntoCache(reference, accessMethod, path);
    CountCacheRequest(rc == 0 ? CacheResult::Fetched : CacheResult::Error);
    if (rc != 0) return rc;
    if (VerboseOn()) WriteLog("Added Image to cache: " + CacheFileName(reference), kCat, "V");
    return 0;
}

bool IsImageCached(const std::string& reference) {
    struct stat st {};
    return ::stat(CacheFilePath(reference).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int DisplayImage(const std::string& reference, const std::string& accessMethod) {
    const bool cached = IsImageCached(reference);
    if (cached) CountCacheRequest(CacheResult::Hit);
    if (!cached) {
        WriteLog("Uh! That came unexpected. The image '" + reference +
                     "' hasn't yet been initialized (CacheManager couldn't find it in cache). We'll get it.",
                 kCat);
    }
    if (cached || AddImageToCache(reference, accessMethod) == 0) {
        WriteLog("Loading cached image " + CacheFileName(reference), kCat);
        if (DisplayCachedImage(CacheFilePath(reference), Settings.TransMode) == 0) NotePictureShown(reference);
        return 0;
    }
    WriteLog("Image '" + reference + "' could not be loaded.", kCat, "E");
    return 1;
}

void CleanupCache() {
    WriteLog("CacheManager: Cleaning up cache...", kCat);
    WaitMs(20);
    const std::string dir = Settings.CacheDir;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* entry = ::readdir(d)) {
        // unlink leaves directories alone, which is what "files" means here.
        if (std::strncmp(entry->d_name, "kiv_", 4) == 0) ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::closedir(d);
}
