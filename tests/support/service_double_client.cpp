#include "support/service_double_client.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>

namespace testing_support {

namespace {
unsigned short PortFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? 0 : static_cast<unsigned short>(std::atoi(value));
}

std::string Base64Decode(const std::string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t value = kAlphabet.find(c);
        if (value == std::string::npos) continue;  // padding and line ends
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}
}  // namespace

ServiceDouble::ServiceDouble()
    : port_(PortFromEnvironment("VELMARQUIN_DOUBLE_PORT")),
      untrusted_(PortFromEnvironment("VELMARQUIN_DOUBLE_UNTRUSTED_PORT")),
      control_(PortFromEnvironment("VELMARQUIN_DOUBLE_CONTROL_PORT")) {}

std::wstring ServiceDouble::Origin() const { return L"https://127.0.0.1:" + std::to_wstring(port_); }

std::wstring ServiceDouble::UntrustedOrigin() const { return L"https://127.0.0.1:" + std::to_wstring(untrusted_); }

bool ServiceDouble::Control(const wchar_t* verb, const std::wstring& path, const std::string& body,
                            std::string& reply) const {
    reply.clear();
    HINTERNET session = WinHttpOpen(L"velmarquin-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) return false;
    WinHttpSetTimeouts(session, 10000, 10000, 10000, 10000);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", control_, 0);
    HINTERNET request = connection == nullptr ? nullptr
                                              : WinHttpOpenRequest(connection, verb, path.c_str(), nullptr,
                                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    DWORD status = 0;
    if (request != nullptr) {
        DWORD timeout = 10000;
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout, sizeof(timeout));
        std::string data = body;
        const DWORD length = static_cast<DWORD>(data.size());
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                               data.empty() ? WINHTTP_NO_REQUEST_DATA : &data[0], length, length, 0) &&
            WinHttpReceiveResponse(request, nullptr)) {
            DWORD size = sizeof(status);
            WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
            char buffer[8192];
            DWORD read = 0;
            while (WinHttpReadData(request, buffer, sizeof(buffer), &read) && read > 0) reply.append(buffer, read);
        }
        WinHttpCloseHandle(request);
    }
    if (connection != nullptr) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return status == 200;
}

bool ServiceDouble::SetScenario(const std::string& json) const {
    std::string reply;
    return Control(L"POST", L"/scenario", json, reply);
}

std::string ServiceDouble::RecordingJson() const {
    std::string reply;
    Control(L"GET", L"/recording", "", reply);
    return reply;
}

bool ServiceDouble::SetPrice(const std::string& symbol, double price) const {
    char body[200];
    std::snprintf(body, sizeof(body), "{\"symbol\":\"%s\",\"price\":%.6f}", symbol.c_str(), price);
    std::string reply;
    return Control(L"POST", L"/price", body, reply) && reply.find("\"ok\":true") != std::string::npos;
}

std::string ServiceDouble::Pushes() const {
    std::string reply;
    Control(L"GET", L"/pushes", "", reply);
    return reply;
}

long long ServiceDouble::Stat(const std::string& name) const {
    std::string reply;
    if (!Control(L"GET", L"/stats", "", reply)) return -1;
    const std::string key = "\"" + name + "\":";
    const size_t at = reply.find(key);
    if (at == std::string::npos) return -1;
    size_t pos = at + key.size();
    while (pos < reply.size() && reply[pos] == ' ') ++pos;
    return std::strtoll(reply.c_str() + pos, nullptr, 10);
}

std::vector<std::string> ServiceDouble::Events(const std::string& kind, const std::string& field) const {
    std::string reply;
    Control(L"GET", L"/events?kind=" + std::wstring(kind.begin(), kind.end()) + L"&field=" +
                        std::wstring(field.begin(), field.end()),
            "", reply);
    std::vector<std::string> out;
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find('\n', start);
        if (end == std::string::npos) end = reply.size();
        out.push_back(Base64Decode(reply.substr(start, end - start)));
        start = end + 1;
    }
    return out;
}

}  // namespace testing_support
