#pragma once
// The HTTP request object: one libcurl easy handle, created once and reused
// for every download, one synchronous request at a time.
#include <cstdint>
#include <functional>
#include <string>

class cHttpRequest {
public:
    // The product's limits; tests lower them to keep their run short.
    struct Limits {
        long connectTimeoutMs = 30000;  // name resolution, TCP connect and TLS handshake
        long stallTimeoutS = 30;        // no byte sent or received for this long
        // A source that drips a byte now and then never stalls, yet blocks
        // the engine (downloads are synchronous): the whole request is
        // bounded too.
        long totalTimeoutS = 120;
        uint64_t maxBodyBytes = uint64_t(1) << 30;  // no still image is larger
        long maxRedirects = 10;
    };

    // What a GET came to. Failed carries the library's message and code (or
    // the system's, when writing to `fd` failed).
    struct Result {
        enum Kind { Ok, Status, Failed } kind = Failed;
        long status = 0;
        std::string message;
        int code = 0;
    };

    // Each set-up step that fails is reported through `onError` with its
    // description; the object is still made (without a handle every GET then
    // fails with a connection error).
    cHttpRequest(const Limits& limits, const std::function<void(const std::string&)>& onError);
    ~cHttpRequest();
    cHttpRequest(const cHttpRequest&) = delete;
    cHttpRequest& operator=(const cHttpRequest&) = delete;

    // GET `url` with the User-Agent `userAgent` and the server credentials
    // user/pass (none when both are empty), offered only when the host of
    // the URL asks for them, never up front and never to another host after
    // a redirect. A 200 body is written to `fd` as it arrives; any other
    // status writes nothing.
    Result Get(const std::string& url, const std::string& userAgent, const std::string& user,
               const std::string& pass, int fd);

private:
    void* handle_ = nullptr;  // CURL*
    Limits limits_;
};
