#include "net/http_client.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/settings_record.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/url.h"
#include "net/winhttp_async.h"

namespace {

// The service's replies are a few kilobytes; the cap only stops a peer that
// never ends its body from filling the host's memory.
constexpr size_t kMaxBodyBytes = 64u << 20;

std::wstring CallFailedText(const wchar_t* call, DWORD code) {
    wchar_t text[128];
    std::swprintf(text, 128, L"%ls failed, GetLastError=%lu", call, static_cast<unsigned long>(code));
    return text;
}

bool Fail(std::wstring& error, HttpFailure* failure, const std::wstring& text, HttpFailure kind) {
    error = text;
    if (failure != nullptr) *failure = kind;
    LogLine(L"ERROR: " + text);
    return false;
}

// One request, asynchronous underneath: every wait ends at one deadline, a
// time-out after the start, whatever the number of addresses the host has or
// the retries the platform makes, and the handles are closed (cancelling
// whatever is pending) when the request object goes.
class Request {
public:
    explicit Request(std::int32_t timeoutSetting)
        : timeout_(EffectiveTimeoutMs(timeoutSetting)),
          deadline_(TickCount32() + static_cast<std::uint32_t>(timeout_)),
          state_(std::make_unique<WinHttpAsyncState>()) {}
    ~Request() { RetireAsyncState(std::move(state_)); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    bool Open(const wchar_t* verb, const std::wstring& url, const std::wstring& userAgent, std::wstring& error,
              HttpFailure* failure) {
        ParsedUrl parsed;
        std::wstring parseError;
        if (!ParseUrl(url, parsed, parseError)) return Fail(error, failure, parseError, HttpFailure::InvalidUrl);
        WinHttpAsyncState& s = *state_;
        if (!OpenAsyncSession(s, userAgent)) return Fail(error, failure, L"WinHttpOpen failed", HttpFailure::Setup);
        WinHttpSetTimeouts(s.session.Get(), timeout_, std::max(timeout_ / 2, 1), timeout_, timeout_);
        s.connection.Reset(WinHttpConnect(s.session.Get(), parsed.host.c_str(), parsed.port, 0));
        if (!s.connection) return Fail(error, failure, L"WinHttpConnect failed", HttpFailure::Setup);
        TrackHandle(s, s.connection.Get());
        DWORD flags = WINHTTP_FLAG_REFRESH;
        if (parsed.secure) flags |= WINHTTP_FLAG_SECURE;
        s.request.Reset(WinHttpOpenRequest(s.connection.Get(), verb, parsed.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
        if (!s.request) return Fail(error, failure, L"WinHttpOpenRequest failed", HttpFailure::Setup);
        TrackHandle(s, s.request.Get());
        return true;
    }

    HINTERNET Handle() const { return state_->request.Get(); }

    // Sends the request with `body` (kept in the state: the platform reads it
    // after the call returns) and waits for the response's headers.
    bool SendAndReceive(const std::string& body, const wchar_t*& failedCall, DWORD& code) {
        WinHttpAsyncState& s = *state_;
        s.sendBuffer = body;
        const DWORD length = static_cast<DWORD>(s.sendBuffer.size());
        const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s);
        StepResult r = RunStep(s, AsyncStep::SendRequest, MsUntil(deadline_), [&]() -> DWORD {
            return WinHttpSendRequest(s.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                      s.sendBuffer.empty() ? WINHTTP_NO_REQUEST_DATA : &s.sendBuffer[0], length,
                                      length, context)
                       ? NO_ERROR
                       : GetLastError();
        });
        if (!r.Ok()) {
            failedCall = L"WinHttpSendRequest";
            code = r.error;
            return false;
        }
        r = RunStep(s, AsyncStep::ReceiveResponse, MsUntil(deadline_),
                    [&]() -> DWORD { return WinHttpReceiveResponse(s.request.Get(), nullptr) ? NO_ERROR : GetLastError(); });
        if (!r.Ok()) {
            failedCall = L"WinHttpReceiveResponse";
            code = r.error;
            return false;
        }
        return true;
    }

    // The body, up to the size cap. False (with the call that failed and
    // its code) when it did not come whole: a read that failed, or the
    // deadline passing before its end. A cut reply is no answer.
    bool ReadBody(std::string& body, const wchar_t*& failedCall, DWORD& code) {
        WinHttpAsyncState& s = *state_;
        body.clear();
        while (body.size() < kMaxBodyBytes) {
            const StepResult available = RunStep(s, AsyncStep::QueryData, MsUntil(deadline_), [&]() -> DWORD {
                return WinHttpQueryDataAvailable(s.request.Get(), nullptr) ? NO_ERROR : GetLastError();
            });
            if (!available.Ok()) {
                failedCall = L"WinHttpQueryDataAvailable";
                code = available.error;
                body.clear();
                return false;
            }
            if (available.bytes == 0) return true;  // the end of the body
            const DWORD want = std::min<DWORD>(available.bytes, sizeof(s.buffer));
            const StepResult read = RunStep(s, AsyncStep::ReadData, MsUntil(deadline_), [&]() -> DWORD {
                return WinHttpReadData(s.request.Get(), s.buffer, want, nullptr) ? NO_ERROR : GetLastError();
            });
            if (!read.Ok()) {
                failedCall = L"WinHttpReadData";
                code = read.error;
                body.clear();
                return false;
            }
            if (read.bytes == 0) return true;
            body.append(s.buffer, std::min<size_t>(read.bytes, sizeof(s.buffer)));
        }
        return true;
    }

private:
    int timeout_;
    std::uint32_t deadline_;
    std::unique_ptr<WinHttpAsyncState> state_;
};

bool AddHeaders(HINTERNET request, const std::wstring& headers, DWORD flags) {
    return WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1), flags) != FALSE;
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
             std::wstring& error, HttpFailure* failure, const std::wstring& extraHeaders) {
    if (failure != nullptr) *failure = HttpFailure::None;
    LogDebug(L"HTTP GET: " + url);
    Request request(timeoutMs);
    if (!request.Open(L"GET", url, userAgent, error, failure)) return false;
    if (!AddHeaders(request.Handle(), BuildRequestHeaders(userAgent, CopyServiceOrigins().web, false) + extraHeaders,
                    WINHTTP_ADDREQ_FLAG_ADD)) {
        return Fail(error, failure, CallFailedText(L"WinHttpAddRequestHeaders", GetLastError()), HttpFailure::Setup);
    }
    const wchar_t* failedCall = nullptr;
    DWORD code = 0;
    if (!request.SendAndReceive(std::string(), failedCall, code)) {
        return Fail(error, failure, CallFailedText(failedCall, code), HttpFailure::Transport);
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (WinHttpQueryHeaders(request.Handle(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
        (status < 200 || status > 299)) {
        wchar_t text[48];
        std::swprintf(text, 48, L"HTTP status %lu", static_cast<unsigned long>(status));
        return Fail(error, failure, text, HttpFailure::Status);
    }
    if (!request.ReadBody(body, failedCall, code)) {
        return Fail(error, failure, CallFailedText(failedCall, code), HttpFailure::Transport);
    }
    return true;
}

std::string HttpPost(const std::wstring& url, const std::wstring& userAgent, std::int32_t timeoutMs,
                     const std::wstring& formBody, std::wstring& error, HttpFailure* failure) {
    if (failure != nullptr) *failure = HttpFailure::None;
    LogDebug(L"HTTP POST: " + url);
    Request request(timeoutMs);
    if (!request.Open(L"POST", url, userAgent, error, failure)) return {};
    const wchar_t* failedCall = nullptr;
    DWORD code = 0;
    const bool sent = AddHeaders(request.Handle(), BuildRequestHeaders(userAgent, CopyServiceOrigins().web, true),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE) &&
                      request.SendAndReceive(WideToUtf8(formBody), failedCall, code);
    if (!sent) {
        Fail(error, failure, L"HTTP POST failed", HttpFailure::Transport);
        return {};
    }
    std::string body;
    if (!request.ReadBody(body, failedCall, code)) {
        Fail(error, failure, CallFailedText(failedCall, code), HttpFailure::Transport);
        return {};
    }
    return body;
}
