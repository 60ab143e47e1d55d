#include "net/proxy_info.h"

#include <windows.h>

#include <winhttp.h>

#include "net/winhttp_async.h"

namespace {

// The strings of WinHttpGetIEProxyConfigForCurrentUser, freed with GlobalFree.
class ProxyConfig {
public:
    ProxyConfig() { valid_ = WinHttpGetIEProxyConfigForCurrentUser(&config_) != FALSE; }
    ~ProxyConfig() {
        for (LPWSTR text : {config_.lpszAutoConfigUrl, config_.lpszProxy, config_.lpszProxyBypass}) {
            if (text != nullptr) GlobalFree(text);
        }
    }
    ProxyConfig(const ProxyConfig&) = delete;
    ProxyConfig& operator=(const ProxyConfig&) = delete;
    bool Valid() const { return valid_; }
    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& Get() const { return config_; }

private:
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config_{};
    bool valid_ = false;
};

}  // namespace

std::wstring DescribeProxy() {
    const std::wstring sessions = std::wstring(L" (the plug-in follows the ") +
                                  (std::wstring(SessionProxyKind()) == L"automatic" ? L"Windows proxy settings"
                                                                                    : L"WinHTTP default proxy") +
                                  L")";
    const ProxyConfig config;
    if (!config.Valid()) return L"none known" + sessions;
    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& c = config.Get();
    if (c.lpszProxy != nullptr && c.lpszProxy[0] != L'\0') return L"proxy " + std::wstring(c.lpszProxy) + sessions;
    if (c.lpszAutoConfigUrl != nullptr && c.lpszAutoConfigUrl[0] != L'\0') {
        return L"automatic configuration script " + std::wstring(c.lpszAutoConfigUrl) + sessions;
    }
    if (c.fAutoDetect) return L"proxy detected automatically, if the network offers one" + sessions;
    return L"none: a direct connection" + sessions;
}
