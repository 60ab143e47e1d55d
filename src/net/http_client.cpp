#include "net/http_client.h"

#include <cwchar>

#include "foundation/log.h"
#include "foundation/settings_record.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/url.h"
#include "net/winhttp_handle.h"

namespace {

std::wstring CallFailedText(const wchar_t* call) {
    wchar_t text[128];
    std::swprintf(text, 128, L"%ls failed, GetLastError=%lu", call, static_cast<unsigned long>(GetLastError()));
    return text;
}

// What both requests share up to a request handle with the headers added.
struct OpenRequest {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
};

bool Fail(std::wstring& error, HttpFailure* failure, const std::wstring& text, HttpFailure kind) {
    error = text;
    if (failure != nullptr) *failure = kind;
    LogLine(L"ERROR: " + text);
    return false;
}

// Handles are closed in the order request, connection, session (member
// order reversed on destruction).
bool Open(const wchar_t* verb, const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutSetting,
          OpenRequest& out, std::wstring& error, HttpFailure* failure) {
    ParsedUrl parsed;
    std::wstring parseError;
    if (!ParseUrl(url, parsed, parseError)) return Fail(error, failure, parseError, HttpFailure::InvalidUrl);

    const int timeout = EffectiveTimeoutMs(timeoutSetting);
    out.session.Reset(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
    if (!out.session) return Fail(error, failure, L"WinHttpOpen failed", HttpFailure::Setup);
    WinHttpSetTimeouts(out.session.Get(), timeout, timeout, timeout, timeout);

    out.connection.Reset(WinHttpConnect(out.session.Get(), parsed.host.c_str(), parsed.port, 0));
    if (!out.connection) return Fail(error, failure, L"WinHttpConnect failed", HttpFailure::Setup);

    DWORD flags = WINHTTP_FLAG_REFRESH;
    if (parsed.secure) flags |= WINHTTP_FLAG_SECURE;
    out.request.Reset(WinHttpOpenRequest(out.connection.Get(), verb, parsed.path.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!out.request) return Fail(error, failure, L"WinHttpOpenRequest failed", HttpFailure::Setup);

    // Without this a server that accepts and never answers holds a
    // synchronous WinHttpReceiveResponse for ever.
    DWORD responseTimeout = static_cast<DWORD>(timeout);
    WinHttpSetOption(out.request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    return true;
}

}  // namespace

std::wstring BuildRequestHeaders(const std::wstring& userAgent, const std::wstring& webOrigin, bool formBody) {
    std::wstring headers = L"User-Agent: " + userAgent + L"\r\n";
    headers += L"Accept: application/json,text/plain,*/*\r\n";
    headers += L"Accept-Language: en-US,en;q=0.9\r\n";
    headers += L"Cache-Control: no-cache\r\n";
    headers += L"Pragma: no-cache\r\n";
    headers += L"Referer: " + webOrigin + L"/\r\n";
    headers += L"Origin: " + webOrigin + L"\r\n";
    headers += L"X-Requested-With: XMLHttpRequest\r\n";
    if (formBody) headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
    return headers;
}

bool HttpGet(const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutMs, std::string& body,
             std::wstring& error, HttpFailure* failure) {
    if (failure != nullptr) *failure = HttpFailure::None;
    LogDebug(L"HTTP GET: " + url);
    OpenRequest open;
    if (!Open(L"GET", url, userAgent, timeoutMs, open, error, failure)) return false;
    HINTERNET request = open.request.Get();

    const std::wstring headers = BuildRequestHeaders(userAgent, CopyServiceOrigins().web, false);
    if (!WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        return Fail(error, failure, CallFailedText(L"WinHttpAddRequestHeaders"), HttpFailure::Setup);
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return Fail(error, failure, CallFailedText(L"WinHttpSendRequest"), HttpFailure::Transport);
    }
    if (!WinHttpReceiveResponse(request, nullptr)) {
        return Fail(error, failure, CallFailedText(L"WinHttpReceiveResponse"), HttpFailure::Transport);
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
        (status < 200 || status > 299)) {
        wchar_t text[48];
        std::swprintf(text, 48, L"HTTP status %lu", static_cast<unsigned long>(status));
        return Fail(error, failure, text, HttpFailure::Status);
    }
    ReadResponseBody(request, body);
    return true;
}

std::string HttpPost(const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutMs,
                     const std::wstring& formBody, std::wstring& error, HttpFailure* failure) {
    if (failure != nullptr) *failure = HttpFailure::None;
    LogDebug(L"HTTP POST: " + url);
    OpenRequest open;
    if (!Open(L"POST", url, userAgent, timeoutMs, open, error, failure)) return {};
    HINTERNET request = open.request.Get();

    const std::wstring headers = BuildRequestHeaders(userAgent, CopyServiceOrigins().web, true);
    std::string data = WideToUtf8(formBody);
    const DWORD length = static_cast<DWORD>(data.size());
    const bool sent =
        WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE) &&
        WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                           data.empty() ? WINHTTP_NO_REQUEST_DATA : &data[0], length, length, 0) &&
        WinHttpReceiveResponse(request, nullptr);
    if (!sent) {
        Fail(error, failure, L"HTTP POST failed", HttpFailure::Transport);
        return {};
    }
    std::string body;
    ReadResponseBody(request, body);
    return body;
}

void ReadResponseBody(HINTERNET request, std::string& body) {
    // The service's replies are a few kilobytes; the cap only stops a peer
    // that never ends its body from filling the host's memory.
    constexpr size_t kMaxBodyBytes = 64u << 20;
    body.clear();
    char buffer[8192];
    while (body.size() < kMaxBodyBytes) {
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer, sizeof(buffer), &read) || read == 0) break;
        body.append(buffer, read);
    }
}
