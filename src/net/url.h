// Splitting a URL into host, path, port and scheme. Pure text; any thread.
#pragma once

#include <cstdint>
#include <string>

struct ParsedUrl {
    std::wstring host;
    std::wstring path;  // path and query, "/" when the URL has none
    std::uint16_t port = 443;
    bool secure = true;
};

// True when a non-empty host was found. "Invalid URL" for a text that is too
// short or has no "://"; an empty host fails without touching `error`.
bool ParseUrl(const std::wstring& url, ParsedUrl& parsed, std::wstring& error);
