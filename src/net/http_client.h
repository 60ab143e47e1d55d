// Synchronous HTTPS GET and form POST against the service, one WinHTTP
// session per call, every wait within one time-out from the call's start.
// No shared state: any thread, no lock.
#pragma once

#include <cstdint>
#include <string>

// Why a request failed, for callers that treat an unreachable service
// differently from a service that answered.
enum class HttpFailure {
    None,
    InvalidUrl,
    Setup,      // a session, connection or request handle could not be made
    Transport,  // connect, send or receive failed or timed out: no answer
    Status,     // the service answered with a status outside 200..299
};

// The common header block, each line ended by CR LF.
std::wstring BuildRequestHeaders(const std::wstring& userAgent, const std::wstring& webOrigin, bool formBody);

// `timeoutMs` is the TimeoutMs setting; 0 or below means the default 8000.
// `extraHeaders` (lines ended by CR LF) go after the common block; they may
// carry a secret (a cookie) and are never logged.
bool HttpGet(const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutMs, std::string& body,
             std::wstring& error, HttpFailure* failure = nullptr, const std::wstring& extraHeaders = std::wstring());

// Returns the body whatever the status; empty with `error` set on failure.
std::string HttpPost(const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutMs,
                     const std::wstring& formBody, std::wstring& error, HttpFailure* failure = nullptr);
