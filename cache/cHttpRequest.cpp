#include "cache/cHttpRequest.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include <curl/curl.h>

namespace {

struct Transfer {
    CURL* curl = nullptr;
    int fd = -1;
    uint64_t limit = 0;
    uint64_t written = 0;
    bool notOk = false;     // a status other than 200 delivered a body: dropped
    bool tooLarge = false;
    int writeErrno = 0;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        // Nothing of an error page is kept; stop reading it.
        t.notOk = true;
        return CURL_WRITEFUNC_ERROR;
    }
    if (bytes > t.limit - t.written) {
        t.tooLarge = true;
        return CURL_WRITEFUNC_ERROR;
    }
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = ::write(t.fd, data + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            t.writeErrno = errno;
            return CURL_WRITEFUNC_ERROR;
        }
        done += size_t(n);
    }
    t.written += bytes;
    return bytes;
}

// The handle's standing options; `step` is told each result.
template <class Step>
void ApplyOptions(CURL* curl, const cHttpRequest::Limits& limits, Step step) {
    // Redirects for http and https only.
    step(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
    step(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
    step(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    step(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.maxRedirects));
    // Broadcast sources often use self-made certificates: accept any.
    step(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L));
    step(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L));
    step(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs));
    step(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
    step(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallTimeoutS));
    step(curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.totalTimeoutS));
    // Refuses a declared length over the limit before any byte is stored;
    // OnBody bounds bodies of unknown length.
    step(curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.maxBodyBytes)));
    // Credentials never follow a redirect to another host.
    step(curl_easy_setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L));
    step(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    step(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody));
}

}  // namespace

cHttpRequest::cHttpRequest(const Limits& limits, const std::function<void(const std::string&)>& onError)
    : limits_(limits) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        onError(curl_easy_strerror(CURLE_FAILED_INIT));
        return;
    }
    handle_ = curl;
    ApplyOptions(curl, limits_, [&](CURLcode rc) {
        if (rc != CURLE_OK) onError(curl_easy_strerror(rc));
    });
}

cHttpRequest::~cHttpRequest() {
    if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

cHttpRequest::Result cHttpRequest::Get(const std::string& url, const std::string& userAgent,
                                       const std::string& user, const std::string& pass, int fd) {
    Result result;
    CURL* curl = static_cast<CURL*>(handle_);
    if (!curl) {
        result.code = CURLE_FAILED_INIT;
        result.message = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    // A reused handle remembers the authentication a server once asked for
    // and would offer it unasked to every later host: each request starts
    // afresh (live connections and caches survive the reset).
    curl_easy_reset(curl);
    ApplyOptions(curl, limits_, [](CURLcode) {});
    Transfer t;
    t.curl = curl;
    t.fd = fd;
    t.limit = limits_.maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
    // Offered only in answer to a challenge of the host asked, and only when
    // configured: empty credentials are none.
    if (!user.empty() || !pass.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, long(CURLAUTH_ANY));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, pass.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);

    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

    if (t.notOk || (rc == CURLE_OK && result.status != 200)) {
        result.kind = Result::Status;
    } else if (rc == CURLE_OK) {
        result.kind = Result::Ok;
    } else if (t.tooLarge) {
        result.code = CURLE_FILESIZE_EXCEEDED;
        result.message = curl_easy_strerror(CURLE_FILESIZE_EXCEEDED);
    } else if (t.writeErrno != 0) {
        result.code = t.writeErrno;
        result.message = std::string("Failed writing the cache file: ") + std::strerror(t.writeErrno);
    } else {
        result.code = rc;
        result.message = errorText[0] ? errorText : curl_easy_strerror(rc);
    }
    // The log line carries the message without its line break.
    if (!result.message.empty() && result.message.back() == '\n') result.message.pop_back();
    if (!result.message.empty() && result.message.back() == '\r') result.message.pop_back();
    return result;
}
