#pragma once
// The image cache: turns an image reference of a command (a drive path, a UNC
// path or an http/https URL) into a local file in the cache directory, so the
// output only ever loads local files. Everything runs on the GUI thread and
// returns when its work is done.
#include <string>

#include "cache/cHttpRequest.h"

// Access methods the executor derives from a reference.
inline constexpr const char* kAccessFile = "file";
inline constexpr const char* kAccessUnc = "uncpath";
inline constexpr const char* kAccessHttp = "http_resource_downloader";

// Start-up: checks/creates the cache directory (a failure stops the engine),
// empties the cache and creates the HTTP request object.
void InitCacheManager();

// Fetches `reference` into its cache file, replacing an existing one.
// 0 = written (or nothing to do), 1 = failed (logged).
int AddImageToCache(const std::string& reference, const std::string& accessMethod);

// Makes sure the cache file exists (fetching it if needed) and hands it to the
// output with the configured TransMode. 0 = handed over, 1 = not fetched.
int DisplayImage(const std::string& reference, const std::string& accessMethod);

// True when the reference's cache file exists in the cache directory.
bool IsImageCached(const std::string& reference);

// Deletes every "kiv_*" file of the cache directory (after a 20 ms WaitMs).
void CleanupCache();

// "kiv_" + upper-case MD5 of the reference's bytes as received.
std::string CacheFileName(const std::string& reference);

// The request object's time-outs and the size limit of every fetch (HTTP
// body or copied file), taken by the next InitCacheManager. Tests lower them;
// the product keeps the defaults.
void SetHttpRequestLimits(const cHttpRequest::Limits& limits);
