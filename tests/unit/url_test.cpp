#include <gtest/gtest.h>

#include "net/url.h"

namespace {
ParsedUrl Parse(const std::wstring& url, bool expectOk, std::wstring* errorOut = nullptr) {
    ParsedUrl parsed;
    std::wstring error = L"unchanged";
    EXPECT_EQ(ParseUrl(url, parsed, error), expectOk) << std::string(url.begin(), url.end());
    if (errorOut != nullptr) *errorOut = error;
    return parsed;
}
}  // namespace

TEST(ParseUrl, HostPathPortAndScheme) {
    ParsedUrl a = Parse(L"https://h/x?y=1", true);
    EXPECT_EQ(a.host, L"h");
    EXPECT_EQ(a.path, L"/x?y=1");
    EXPECT_EQ(a.port, 443);
    EXPECT_TRUE(a.secure);

    ParsedUrl b = Parse(L"HTTP://h:8080", true);
    EXPECT_EQ(b.host, L"h");
    EXPECT_EQ(b.path, L"/");
    EXPECT_EQ(b.port, 8080);
    EXPECT_FALSE(b.secure);

    ParsedUrl c = Parse(L"HtTpS://127.0.0.1:50443/socket.io/websocket", true);
    EXPECT_EQ(c.host, L"127.0.0.1");
    EXPECT_EQ(c.port, 50443);
    EXPECT_EQ(c.path, L"/socket.io/websocket");
    EXPECT_TRUE(c.secure);

    ParsedUrl ftp = Parse(L"ftp://h/a", true);  // any other scheme is plain
    EXPECT_FALSE(ftp.secure);
    EXPECT_EQ(ftp.port, 80);
}

TEST(ParseUrl, PortFallsBackToTheSchemeDefault) {
    EXPECT_EQ(Parse(L"https://h:0/", true).port, 443);
    EXPECT_EQ(Parse(L"https://h:abc/", true).port, 443);
    EXPECT_EQ(Parse(L"http://h:/", true).port, 80);
    EXPECT_EQ(Parse(L"https://h:65536/", true).port, 443);  // kept in 16 bits: 0, then the default
    EXPECT_EQ(Parse(L"https://h:65537/", true).port, 1);
    EXPECT_EQ(Parse(L"https://h:12ab/", true).port, 12);  // leading digits
}

TEST(ParseUrl, Failures) {
    std::wstring error;
    Parse(L"no scheme separator", false, &error);
    EXPECT_EQ(error, L"Invalid URL");
    Parse(L"ab", false, &error);
    EXPECT_EQ(error, L"Invalid URL");
    Parse(L"", false, &error);
    EXPECT_EQ(error, L"Invalid URL");
    // An empty host fails and leaves the error text alone.
    Parse(L"https:///path", false, &error);
    EXPECT_EQ(error, L"unchanged");
    Parse(L"https://:443/path", false, &error);
    EXPECT_EQ(error, L"unchanged");
}
