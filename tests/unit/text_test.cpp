#include <gtest/gtest.h>

#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/text.h"

TEST(TextConversion, NullAndEmptyGiveEmpty) {
    EXPECT_EQ(AnsiToWide(nullptr), L"");
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextConversion, Utf8RoundTripAndInvalidBytes) {
    const std::string utf8 = "NESTE \xC3\x84kt \xE2\x82\xAC";  // Ä and the euro sign
    const std::wstring wide = Utf8ToWide(utf8);
    EXPECT_EQ(wide, L"NESTE \u00C4kt \u20AC");
    EXPECT_EQ(WideToUtf8(wide), utf8);
    // An invalid sequence becomes the replacement character, not a failure.
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
    // Length is explicit: embedded NUL bytes are kept.
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)).size(), 3u);
}

TEST(TextConversion, AnsiAsciiIsUnchanged) { EXPECT_EQ(AnsiToWide("NASDAQ:AAPL"), L"NASDAQ:AAPL"); }

TEST(TextTrim, WhiteSpaceRules) {
    EXPECT_EQ(TrimWide(L" \t\r\n  \n"), L"");
    EXPECT_EQ(TrimWide(L"  a b\t"), L"a b");
    EXPECT_EQ(LowerTrimWide(L"  NASDAQ:AAPL \r\n"), L"nasdaq:aapl");
}

TEST(TextFormat, FloatsWithSixDecimals) {
    EXPECT_EQ(FormatFloat(101.5), L"101.500000");
    EXPECT_EQ(FormatFloat(-0.25), L"-0.250000");
}

TEST(Paths, JoinPathSeparators) {
    EXPECT_EQ(JoinPath(L"C:\\db\\", L"\\x.ini"), L"C:\\db\\x.ini");
    EXPECT_EQ(JoinPath(L"C:\\db/", L"/x.ini"), L"C:\\db/x.ini");
    EXPECT_EQ(JoinPath(L"C:\\db", L"x.ini"), L"C:\\db\\x.ini");
    EXPECT_EQ(JoinPath(L"C:\\db\\", L"x.ini"), L"C:\\db\\x.ini");
    EXPECT_EQ(JoinPath(L"C:\\db", L"\\x.ini"), L"C:\\db\\x.ini");
    EXPECT_EQ(JoinPath(L"", L"x.ini"), L"x.ini");
    EXPECT_EQ(JoinPath(L"C:\\db", L""), L"C:\\db");
}

TEST(Paths, ModuleFolderFallbacks) {
    const std::wstring path = L"C:\\Program Files\\AmiBroker\\Plugins\\Velmarquin.dll";
    EXPECT_EQ(FolderOfModulePath(path.c_str(), static_cast<unsigned long>(path.size()), 260),
              L"C:\\Program Files\\AmiBroker\\Plugins");
    EXPECT_EQ(FolderOfModulePath(path.c_str(), 0, 260), L".");                 // call failed
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'a');
    EXPECT_EQ(FolderOfModulePath(longPath.c_str(), 260, 260), L".");          // buffer filled
    EXPECT_EQ(FolderOfModulePath(L"Velmarquin.dll", 14, 260), L".");          // no backslash
    // The real call names the folder of the running program.
    EXPECT_NE(ModuleFolder(), L".");
    EXPECT_EQ(ModuleFolder().find(L"Velmarquin.dll"), std::wstring::npos);
}

TEST(Settings, NormalizeResolutionOverride) {
    EXPECT_EQ(NormalizeResolutionOverride(L""), L"auto");
    EXPECT_EQ(NormalizeResolutionOverride(L"  "), L"auto");
    EXPECT_EQ(NormalizeResolutionOverride(L" Auto "), L"auto");
    EXPECT_EQ(NormalizeResolutionOverride(L"1d"), L"1D");
    EXPECT_EQ(NormalizeResolutionOverride(L" 15 "), L"15");
}
