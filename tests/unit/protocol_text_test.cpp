#include <gtest/gtest.h>

#include <ctime>

#include "protocol/framing.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"

namespace {
std::vector<std::string> Drain(std::string& buffer) {
    std::vector<std::string> payloads;
    std::string payload;
    for (int i = 0; i < 100 && NextFramePayload(buffer, payload); ++i) payloads.push_back(payload);
    return payloads;
}
const std::string kToyota = "\xE3\x83\x88\xE3\x83\xA8\xE3\x82\xBF\xE8\x87\xAA\xE5\x8B\x95\xE8\xBB\x8A";  // トヨタ自動車, 6 units
const std::string kSamsung = "\xEC\x82\xBC\xEC\x84\xB1\xEC\xA0\x84\xEC\x9E\x90";  // 삼성전자, 4 units
const std::string kMoet = "Mo\xC3\xABt";                                          // Moët, 4 units
const std::string kYoshi = "\xF0\xA0\xAE\xB7\xE9\x87\x8E\xE5\xAE\xB6";             // 𠮷野家: 2 + 1 + 1 units
}  // namespace

TEST(Framing, SeveralFramesSplitFramesAndGarbage) {
    std::string buffer = "~m~5~m~hello~m~3~m~abc";
    EXPECT_EQ(Drain(buffer), (std::vector<std::string>{"hello", "abc"}));
    EXPECT_TRUE(buffer.empty());

    buffer = "~m~10~m~hel";
    EXPECT_TRUE(Drain(buffer).empty());
    EXPECT_EQ(buffer, "~m~10~m~hel");
    buffer += "lo world";
    std::string payload;
    ASSERT_TRUE(NextFramePayload(buffer, payload));
    EXPECT_EQ(payload, "hello worl");
    EXPECT_EQ(buffer, "d");

    buffer = "xx~m~2~m~ok";
    EXPECT_EQ(Drain(buffer), std::vector<std::string>{"ok"});

    buffer = "abc";
    EXPECT_TRUE(Drain(buffer).empty());
    EXPECT_TRUE(buffer.empty());
    buffer = "~m~12";
    EXPECT_TRUE(Drain(buffer).empty());
    EXPECT_EQ(buffer, "~m~12");  // digits up to the end: wait for more

    // UTF-16 units, not bytes.
    buffer = FrameText("\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(buffer, "~m~3~m~\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(Drain(buffer), std::vector<std::string>{"\xC3\xA9t\xC3\xA9"});
}

TEST(Framing, MarkerSplitAcrossMessagesIsKept) {
    for (const char* head : {"~", "~m"}) {
        std::string buffer = std::string("~m~2~m~ab") + head;
        EXPECT_EQ(Drain(buffer), std::vector<std::string>{"ab"});
        buffer += std::string("~m~5~m~hello").substr(std::string(head).size());
        EXPECT_EQ(Drain(buffer), std::vector<std::string>{"hello"}) << head;
    }
    std::string two = "~m";
    EXPECT_TRUE(Drain(two).empty());
    EXPECT_EQ(two, "~m");
}

TEST(Framing, HugeOrBrokenLengthsNeverCutAPayload) {
    // A 40-digit length cannot arrive: the frame stays incomplete instead of
    // wrapping into some small length.
    std::string buffer = "~m~" + std::string(40, '9') + "~m~{\"m\":1}";
    EXPECT_TRUE(Drain(buffer).empty());
    EXPECT_EQ(buffer.substr(0, 3), "~m~");
    buffer = "~m~18446744073709551621~m~abcde";  // 2^64 + 5
    EXPECT_TRUE(Drain(buffer).empty());

    // A marker followed by something that is not a length and a marker is
    // skipped, so the frames after it still come through.
    buffer = "~m~xyz~m~4~m~~h~1";
    EXPECT_EQ(Drain(buffer), std::vector<std::string>{"~h~1"});
}

TEST(Framing, LengthsCountUtf16UnitsBothWays) {
    struct Case {
        std::string payload;
        std::uint64_t units;
    };
    const Case cases[] = {{"~h~99", 5},         {"~h~100", 6},      {kToyota, 6},      {kSamsung, 4},
                          {kMoet, 4},           {kYoshi, 4},        {"", 0},           {"\xFF", 1},
                          {"\xE3\x83", 2},      {"a\x80z", 3}};
    std::string stream;
    std::vector<std::string> sent;
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16Length(c.payload), c.units) << c.payload;
        EXPECT_EQ(FrameText(c.payload), "~m~" + std::to_string(c.units) + "~m~" + c.payload);
        stream += FrameText(c.payload);
        sent.push_back(c.payload);
    }
    // All in one message, and again a byte at a time: the same payloads, in order.
    std::string whole = stream;
    EXPECT_EQ(Drain(whole), sent);
    EXPECT_TRUE(whole.empty());
    std::string trickle;
    std::vector<std::string> got;
    for (char c : stream) {
        trickle += c;
        for (const std::string& p : Drain(trickle)) got.push_back(p);
    }
    EXPECT_EQ(got, sent);

    // A quote whose Japanese and Korean names stand before its price, then a
    // second frame in the same message: both whole.
    const std::string qsd = "{\"m\":\"qsd\",\"p\":[\"qs_1\",{\"n\":\"TSE:7203\",\"s\":\"ok\",\"v\":{\"local_description\":\"" +
                            kToyota + "\",\"description\":\"" + kSamsung + "\",\"lp\":2450.5,\"lp_time\":1700000000}}]}";
    std::string message = "~m~" + std::to_string(qsd.size() - 2 * 6 - 2 * 4) + "~m~" + qsd + FrameText("~h~7");
    EXPECT_EQ(Drain(message), (std::vector<std::string>{qsd, "~h~7"}));
}

TEST(Framing, ALengthEndingInsideACharacterLosesNoLaterFrame) {
    // 2 units end inside the 4-byte character (units 2 and 3): the payload
    // stops before it, and the frame after it still comes through.
    std::string buffer = "~m~2~m~a" + kYoshi + FrameText("{\"m\":\"next\"}");
    EXPECT_EQ(Drain(buffer), (std::vector<std::string>{"a", "{\"m\":\"next\"}"}));
    // Bytes that are not UTF-8 count one unit each.
    buffer = "~m~4~m~\xC3(\xFF\x80" + FrameText("ok");
    EXPECT_EQ(Drain(buffer), (std::vector<std::string>{"\xC3(\xFF\x80", "ok"}));
    // A character cut by the end of what has arrived waits for the rest.
    buffer = "~m~2~m~a\xE3\x83";
    EXPECT_TRUE(Drain(buffer).empty());
    buffer += "\x88";
    EXPECT_EQ(Drain(buffer), std::vector<std::string>{"a\xE3\x83\x88"});
}

TEST(Framing, MessagesAndEchoRule) {
    EXPECT_EQ(FrameText(BuildMessage("chart_create_session", {JsonQuote("cs_x"), JsonQuote("")})),
              "~m~44~m~{\"m\":\"chart_create_session\",\"p\":[\"cs_x\",\"\"]}");
    EXPECT_EQ(BuildMessage("quote_fast", {}), "{\"m\":\"quote_fast\",\"p\":[]}");
    EXPECT_TRUE(IsEchoPayload("~h~7"));
    EXPECT_EQ(FrameText("~h~7"), "~m~4~m~~h~7");
    EXPECT_FALSE(IsEchoPayload("{\"m\":\"x\"}"));
    EXPECT_FALSE(IsEchoPayload(""));
}

TEST(JsonText, QuoteAndFormEncode) {
    EXPECT_EQ(JsonQuote(std::string(1, '\x01')), "\"\\u0001\"");
    EXPECT_EQ(JsonQuote("\"\\"), "\"\\\"\\\\\"");
    EXPECT_EQ(JsonQuote("\b\t\n\f\r\x1f\x7f"), "\"\\b\\t\\n\\f\\r\\u001f\x7f\"");
    EXPECT_EQ(JsonQuote("\xC3\xA9"), "\"\xC3\xA9\"");
    EXPECT_EQ(FormEncode(L"a b&c"), "a%20b%26c");
    EXPECT_EQ(FormEncode(L"\u00E9"), "%C3%A9");
    EXPECT_EQ(FormEncode(L"A-Z_0.9~"), "A-Z_0.9~");
    EXPECT_EQ(FormEncode(L"+/="), "%2B%2F%3D");
}

TEST(JsonText, ScannersAndTheirQuirks) {
    const std::string escaped = "{\"a\":\"x\\\"y\",\"b\":\"z\"}";
    EXPECT_EQ(JsonStringField(escaped, "a"), "x\\\"y");
    EXPECT_EQ(JsonStringField(escaped, "c"), "");
    EXPECT_EQ(JsonStringField(escaped, "b", 5), "z");
    EXPECT_EQ(JsonStringField(escaped, "a", escaped.size()), "");
    EXPECT_EQ(JsonStringField("{\"n\":12,\"s\":\"v\"}", "n"), "s");  // not a string: the next quoted text
    EXPECT_EQ(JsonStringField("{\"a\":\"open", "a"), "");

    EXPECT_EQ(JsonNumberField("{\"lp\":-12.5e-1,\"x\":1}", "lp"), "-12.5e-1");
    EXPECT_EQ(JsonNumberField("{\"lp\":\"3.5\"}", "lp"), "3.5");
    EXPECT_EQ(JsonNumberField("{\"lp\":null}", "lp"), "");

    std::string inner;
    EXPECT_TRUE(JsonArrayField("{\"s\":[[1],[2]],\"t\":1}", "s", inner));
    EXPECT_EQ(inner, "[1],[2]");
    EXPECT_TRUE(JsonArrayField("{\"s\":[]}", "s", inner));
    EXPECT_EQ(inner, "");
    EXPECT_FALSE(JsonArrayField("{\"s\": [1]}", "s", inner));  // no spaces allowed
    EXPECT_FALSE(JsonArrayField("{\"s\":[1,[2]", "s", inner));

    EXPECT_EQ(SplitJsonObjects("{\"i\":0},{\"i\":1}"), (std::vector<std::string>{"{\"i\":0}", "{\"i\":1}"}));
    EXPECT_TRUE(SplitJsonObjects("").empty());
    EXPECT_EQ(SplitJsonObjects("{\"i\":0}"), std::vector<std::string>{"{\"i\":0}"});

    EXPECT_EQ(ParseNumberList("[1, 2.5,\"x\",-3]"), (std::vector<double>{1, 2.5, -3}));
    EXPECT_EQ(ParseNumberList("[1710460800.0,172.94,173.67]"), (std::vector<double>{1710460800.0, 172.94, 173.67}));

    EXPECT_EQ(FirstContractSymbol("[{\"symbol\":\"ES\",\"type\":\"futures\",\"contracts\":[{\"symbol\":\"ES1!\"},"
                                  "{\"symbol\":\"ESZ2024\"}]}]"),
              "ES1!");
    EXPECT_EQ(FirstContractSymbol("[{\"symbol\":\"ES\"}]"), "");
}

TEST(HostTime, PackingAndLocalConversion) {
    EXPECT_EQ(PackDateTime(2024, 3, 15, 31, 63, 63), 0x7E837FFFFC000000ull);
    EXPECT_EQ(PackDateTime(2024, 3, 15, 9, 30, 7), 0x7E837A5E1C000000ull);

    PluginSettings settings;
    const std::int64_t t = 1710495007;  // some instant; compare with the C library's own local time
    std::time_t plain = static_cast<std::time_t>(t);
    std::tm local = *std::localtime(&plain);
    EXPECT_EQ(ToHostDateTime(t, false, settings),
              PackDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec));
    EXPECT_EQ(ToHostDateTime(t, true, settings),
              PackDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, 31, 63, 63));

    settings.IntradayTimeShiftMinutes = 90;
    EXPECT_EQ(ToHostDateTime(t, false, settings), ToHostDateTime(t + 5400, false, PluginSettings{}));
    settings.EodTimeShiftDays = -1;
    EXPECT_EQ(ToHostDateTime(t, true, settings), ToHostDateTime(t - 86400, true, PluginSettings{}));
    settings.EodTimeShiftDays = 2147483647;  // no overflow; far beyond the platform's range
    EXPECT_EQ(ToHostDateTime(t, true, settings), 0u);
}
