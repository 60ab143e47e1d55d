// The pure rules under the shared service session: where an incoming message
// belongs, when the account's token expires, how a stale cache file is topped
// up, and the symbol map file's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/history_merge.h"
#include "protocol/jwt.h"
#include "protocol/message_route.h"
#include "storage/symbol_map_text.h"

namespace {

std::string Base64Url(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : bytes) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(kAlphabet[(bits >> count) & 63]);
        }
    }
    if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 63]);
    return out;
}

std::string Jwt(const std::string& payload) {
    return Base64Url(R"({"alg":"HS256","typ":"JWT"})") + "." + Base64Url(payload) + ".c2lnbmF0dXJl";
}

Bar MakeBar(std::uint64_t time, float close, float volume = 100) {
    Bar bar{};
    bar.dateTime = time;
    bar.open = close - 1;
    bar.high = close + 1;
    bar.low = close - 2;
    bar.close = close;
    bar.volume = volume;
    return bar;
}

// Bars at times first..first+count-1, closes following the time.
std::vector<Bar> Series(std::uint64_t first, int count) {
    std::vector<Bar> bars;
    for (int i = 0; i < count; ++i) bars.push_back(MakeBar(first + i, 100.0f + static_cast<float>(first + i) * 0.25f));
    return bars;
}

}  // namespace

TEST(MessageRoute, SessionsAndTheErrorsOfTheWholeConnection) {
    struct Case {
        const char* payload;
        RouteKind kind;
        const char* name;
        const char* session;
    };
    const Case cases[] = {
        {R"({"m":"timescale_update","p":["cs_12",{"sds_1":{"s":[]}}]})", RouteKind::Session, "timescale_update", "cs_12"},
        {R"({"m": "qsd" , "p" : [ "qs_7" ,{"n":"X:Y"}]})", RouteKind::Session, "qsd", "qs_7"},
        {R"({"m":"protocol_error","p":["bad auth token"]})", RouteKind::ProtocolError, "protocol_error", "bad auth token"},
        {R"({"m":"critical_error","p":["cs_3","exceed limit of series in the session","create_series"]})",
         RouteKind::CriticalError, "critical_error", "cs_3"},
        {R"({"m":"critical_error","p":["","invalid_parameters","x"]})", RouteKind::CriticalError, "critical_error", ""},
        // The hello frame names no message; text that is not JSON and a
        // message whose first parameter is not a string name no session.
        {R"({"session_id":"<0.1.2>","timestamp":1,"release":"x"})", RouteKind::Unaddressed, "", ""},
        {"~h~12", RouteKind::Unaddressed, "", ""},
        {R"({"m":"du","p":[7,{}]})", RouteKind::Unaddressed, "du", ""},
        {R"({"m":"du","p":["cs_\"x",{}]})", RouteKind::Session, "du", R"(cs_\"x)"},
        {R"({"m":"du","p":["unterminated)", RouteKind::Unaddressed, "du", ""},
        {"", RouteKind::Unaddressed, "", ""},
    };
    for (const Case& c : cases) {
        const MessageRoute route = ReadMessageRoute(c.payload);
        EXPECT_EQ(route.kind, c.kind) << c.payload;
        EXPECT_EQ(route.name, c.name) << c.payload;
        EXPECT_EQ(route.session, c.session) << c.payload;
    }
    // Only the head is read: parameters far into a huge payload are not looked for.
    EXPECT_EQ(ReadMessageRoute("{\"m\":\"du\",\"x\":\"" + std::string(1000, 'x') + "\",\"p\":[\"cs_1\"]}").kind,
              RouteKind::Unaddressed);
}

TEST(Jwt, TheExpiryOfTheServicesTokenAndWhatIsNone) {
    EXPECT_EQ(JwtExpiry(Jwt(R"({"user_id":1,"exp":1796000000,"iat":1795990000})")), 1796000000);
    EXPECT_EQ(JwtExpiry(Jwt(R"({"exp": 1796000000.0})")), 1796000000);
    for (const std::string& token :
         {std::string("test-token-123"), std::string("a.b"), Jwt(R"({"user_id":1})"),
          Jwt(R"({"exp":1796000000000})"),  // milliseconds: not a usable expiry
          Jwt(R"(["exp",1])"), std::string("x.!!!.y"), std::string("..")}) {
        EXPECT_EQ(JwtExpiry(token), 0) << token;
    }
}

TEST(TopUp, HowManyBarsToAskFor) {
    EXPECT_EQ(ResolutionSeconds("5"), 300);
    EXPECT_EQ(ResolutionSeconds("1D"), 86400);
    EXPECT_EQ(ResolutionSeconds("2W"), 14 * 86400);
    EXPECT_EQ(ResolutionSeconds("1M"), 28 * 86400);
    EXPECT_EQ(ResolutionSeconds("D"), 86400);
    EXPECT_EQ(ResolutionSeconds("1S"), 0);
    EXPECT_EQ(ResolutionSeconds(""), 0);
    // A day-old daily file: the day since, ten to compare and two more.
    EXPECT_EQ(TopUpCount(86400 + 3600, "1D", 10000), 2 + kTopUpOverlapBars + 2);
    // A file too old to be worth topping up, and an unknown resolution.
    EXPECT_EQ(TopUpCount(86400LL * 400, "1D", 500), 0);
    EXPECT_EQ(TopUpCount(60, "1S", 500), 0);
}

TEST(TopUp, TheOverlapDecidesBetweenMergingAndAWholeDownload) {
    const std::vector<Bar> cached = Series(1000, 100);  // times 1000..1099
    std::vector<Bar> merged;

    // The answer repeats the last 20 bars and brings 3 new ones; the file's
    // newest bar was still forming and has moved since.
    std::vector<Bar> fresh = Series(1080, 23);
    fresh[19].close += 5;
    ASSERT_EQ(MergeTopUp(cached, fresh, merged), TopUpMerge::Merged);
    ASSERT_EQ(merged.size(), 103u);
    EXPECT_EQ(merged.front().dateTime, 1000u);
    EXPECT_EQ(merged.back().dateTime, 1102u);
    EXPECT_EQ(merged[99].close, fresh[19].close) << "the forming bar takes the new values";
    const std::vector<Bar> whole = Series(1000, 103);
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i == 99) continue;
        EXPECT_EQ(merged[i].close, whole[i].close) << i;
    }

    struct Case {
        const char* what;
        std::vector<Bar> fresh;
        TopUpMerge expected;
    };
    std::vector<Case> cases;
    std::vector<Bar> split = Series(1080, 23);
    for (Bar& bar : split) {
        if (bar.dateTime < 1090) bar.close /= 2;
    }
    cases.push_back({"a split halved the past", split, TopUpMerge::Changed});
    std::vector<Bar> volume = Series(1080, 23);
    volume[3].volume = 250;
    cases.push_back({"a past volume changed", volume, TopUpMerge::Changed});
    cases.push_back({"too short an overlap", Series(1095, 10), TopUpMerge::Gap});
    cases.push_back({"the answer starts after the file's newest", Series(1100, 5), TopUpMerge::Gap});
    std::vector<Bar> holed = Series(1080, 23);
    holed.erase(holed.begin() + 5);
    cases.push_back({"a bar of the file missing", holed, TopUpMerge::Gap});
    std::vector<Bar> extra = Series(1080, 23);
    extra.insert(extra.begin() + 1, MakeBar(1080, 1.0f));
    extra[1].dateTime = 1080;
    cases.push_back({"two bars at one time", extra, TopUpMerge::Gap});
    std::vector<Bar> lacksNewest = Series(1080, 19);
    cases.push_back({"the answer ends before the file's newest", lacksNewest, TopUpMerge::Gap});
    cases.push_back({"nothing came", {}, TopUpMerge::Gap});
    for (const Case& c : cases) EXPECT_EQ(MergeTopUp(cached, c.fresh, merged), c.expected) << c.what;

    // Within a float's rounding a value is the same value.
    std::vector<Bar> rounded = Series(1080, 23);
    rounded[2].close *= 1.0000001f;
    EXPECT_EQ(MergeTopUp(cached, rounded, merged), TopUpMerge::Merged);
}

TEST(SymbolMapText, RoundTripAndDamage) {
    SymbolMapEntries entries;
    entries[SymbolMapKey("auto", "AAPL")] = "NASDAQ:AAPL";
    entries[SymbolMapKey("crypto", "BTCUSDT")] = "BINANCE:BTCUSDT";
    entries[SymbolMapKey("auto", "\xE3\x83\x88")] = "TSE:7203";
    const std::string text = FormatSymbolMap(entries);
    EXPECT_EQ(text.rfind("VelmarquinSymbols 1\r\n", 0), 0u);
    EXPECT_EQ(ParseSymbolMap(text), entries);

    // A value that cannot be stored is left out, not written half.
    SymbolMapEntries odd = entries;
    odd[SymbolMapKey("auto", "TAB\tBED")] = "X:Y";
    odd[SymbolMapKey("auto", "NOCOLON")] = "nocolon";
    odd[SymbolMapKey("auto", "LINE")] = "X:Y\r\nauto\tEVIL\tZ:Z";
    EXPECT_EQ(ParseSymbolMap(FormatSymbolMap(odd)).count(SymbolMapKey("auto", "EVIL")), 0u);
    EXPECT_EQ(ParseSymbolMap(FormatSymbolMap(odd)).size(), entries.size());

    EXPECT_TRUE(ParseSymbolMap("").empty());
    EXPECT_TRUE(ParseSymbolMap("VelmarquinCache 1\r\nauto\tAAPL\tNASDAQ:AAPL\r\n").empty()) << "not a map file";
    const SymbolMapEntries damaged =
        ParseSymbolMap("VelmarquinSymbols 1\r\nauto\tAAPL\tNASDAQ:AAPL\r\n\r\ngarbage\r\n\tX\tA:B\r\nauto\tMSFT\tNASDAQ:MS");
    EXPECT_EQ(damaged.size(), 1u) << "a cut last line and damaged lines are skipped";
    EXPECT_EQ(damaged.at(SymbolMapKey("auto", "AAPL")), "NASDAQ:AAPL");
}
