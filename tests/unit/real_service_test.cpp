// The readers against what the real service sends: its captured frames
// (tests/data/real), "no volume", the error answers and both shapes of the
// symbol search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/volume.h"
#include "protocol/json_text.h"
#include "protocol/search_reply.h"
#include "protocol/series_reader.h"
#include "protocol/service_errors.h"
#include "support/series_oracle.h"
#include "support/test_support.h"

using testing_support::RealFrames;

TEST(RealFrames, EveryCapturedFrameReadsAsTheReferenceReaderReadsIt) {
    const std::vector<std::string>& frames = RealFrames();
    ASSERT_EQ(frames.size(), 42u) << "tests/data/real is incomplete";
    PluginSettings settings;
    size_t series = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        for (int periodicity : {60, 86400}) {
            std::vector<Bar> fast, reference;
            const bool a = ReadSeriesBars(frames[i], periodicity, settings, fast);
            const bool b = OracleSeriesBars(frames[i], periodicity, settings, reference);
            ASSERT_EQ(a, b) << "frame " << i;
            ASSERT_EQ(fast.size(), reference.size()) << "frame " << i;
            if (!fast.empty()) {
                EXPECT_EQ(std::memcmp(fast.data(), reference.data(), fast.size() * sizeof(Bar)), 0) << i;
            }
            series += periodicity == 60 && a;
        }
    }
    EXPECT_EQ(series, 6u) << "the six timescale_update frames carry bars; nothing else does";
}

TEST(RealFrames, TheSeriesGiveExactlyTheirBars) {
    PluginSettings settings;
    struct Case {
        size_t frame;
        int periodicity;
        size_t bars;
        double firstOpen, lastClose, lastVolume;
    };
    const Case cases[] = {{0, 60, 2637, 33019.3, 33876.77, 265080.0},
                          {1, 60, 2637, 14324.2495, 14528.3605, 0.0},  // five values: no volume
                          {34, 86400, 368, 4650.36, 4298.87, 2109000000.0}};
    for (const Case& c : cases) {
        std::vector<Bar> bars;
        ASSERT_TRUE(ReadSeriesBars(RealFrames()[c.frame], c.periodicity, settings, bars));
        ASSERT_EQ(bars.size(), c.bars) << c.frame;
        EXPECT_EQ(bars.front().open, static_cast<float>(c.firstOpen));
        EXPECT_EQ(bars.back().close, static_cast<float>(c.lastClose));
        EXPECT_EQ(bars.back().volume, static_cast<float>(c.lastVolume));
        for (const Bar& bar : bars) ASSERT_TRUE(std::isfinite(bar.volume) && bar.volume >= 0);
    }
    // Merging the same series again changes nothing; the five-value series
    // after it adds its own bars without disturbing the first.
    std::vector<Bar> bars;
    ReadSeriesBars(RealFrames()[0], 60, settings, bars);
    const std::vector<Bar> once = bars;
    ReadSeriesBars(RealFrames()[0], 60, settings, bars);
    EXPECT_EQ(std::memcmp(once.data(), bars.data(), once.size() * sizeof(Bar)), 0);
}

TEST(Volume, WhatTheHostCanHold) {
    struct Case {
        double in;
        float asFloat;
        std::int32_t asInt;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {{1e100, 0, 0},
                          {1e99, 0, 0},
                          {9.9e98, std::numeric_limits<float>::max(), 2147483647},
                          {inf, 0, 0},
                          {-inf, 0, 0},
                          {std::nan(""), 0, 0},
                          {-5, 0, 0},
                          {2.7e9, 2.7e9f, 2147483647},
                          {2147483647.0, 2147483648.0f, 2147483647},
                          {48899973, 48899973.0f, 48899973},
                          {275.62184705, 275.62184705f, 275}};
    for (const Case& c : cases) {
        EXPECT_EQ(VolumeAsFloat(c.in), c.asFloat) << c.in;
        EXPECT_EQ(VolumeAsInt32(c.in), c.asInt) << c.in;
    }
}

TEST(ServiceErrors, TheServicesOwnWords) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"m\":\"protocol_error\",\"p\":[\"bad auth token\"]}", "TradingView protocol error: bad auth token"},
        {"{\"m\":\"symbol_error\",\"p\":[\"cs_1\",\"sds_sym_1\",\"invalid symbol\"]}",
         "TradingView symbol error: invalid symbol"},
        {"{\"m\":\"series_error\",\"p\":[\"cs_1\",\"sds_1\",\"s1\",\"resolve error\",\"srv-7\"]}",
         "TradingView series error: resolve error"},
        {"{\"m\":\"series_error\",\"p\":[\"cs_1\",\"sds_1\",\"s1\",\"unsupported resolution: 7S\",12]}",
         "TradingView series error: unsupported resolution: 7S"},
        {"{\"m\":\"critical_error\",\"p\":[\"cs_1\",\"exceed limit of series in the session\",\"create_series\"]}",
         "TradingView critical error"},
        {"{\"m\":\"series_completed\",\"p\":[\"cs_1\",\"sds_1\",\"streaming\",\"s1\",{\"data_completed\":\"end\"}]}", ""},
        {"{\"m\":\"qsd\",\"p\":[\"qs_1\",{\"n\":\"X:Y\",\"s\":\"ok\",\"v\":{}}]}", ""},
        {"~h~100", ""}};
    for (const auto& c : cases) EXPECT_EQ(ServiceErrorText(c.first), c.second) << c.first;
    EXPECT_EQ(ServiceErrorReason("{\"m\":\"symbol_error\",\"p\":[\"cs_1\",\"sds_sym_1\",\"permission denied\"]}"),
              "permission denied");
    EXPECT_EQ(ServiceErrorReason("{\"m\":\"x\"}"), "");
    EXPECT_EQ(JsonArrayElements(" \"a,b\" , {\"c\":[1,2]},3,[\"]\"] "),
              (std::vector<std::string>{"\"a,b\"", "{\"c\":[1,2]}", "3", "[\"]\"]"}));

    const std::pair<std::string, std::string> completions[] = {
        {"{\"m\":\"series_completed\",\"p\":[\"cs\",\"sds_1\",\"streaming\",\"s1\",{\"rt_update_period\":0,"
         "\"data_completed\":\"limit\"}]}",
         "limit"},
        {"{\"m\":\"series_completed\",\"p\":[\"cs\",\"sds_1\",\"s1\",{\"data_completed\":\"end\"}]}", "end"},
        {RealFrames()[4], ""},  // an older server's {"rt_update_period":5}
        {"{\"m\":\"du\",\"p\":[{\"data_completed\":\"end\"}]}", ""}};
    for (const auto& c : completions) EXPECT_EQ(SeriesDataCompleted(c.first), c.second) << c.first;
}

TEST(SearchReply, BothShapesPrefixAndHighlighting) {
    struct Case {
        const char* body;
        SearchReply result;
        const char* id;
    };
    const Case cases[] = {
        // The plain array, as before.
        {"[{\"symbol\":\"AAPL\",\"description\":\"Apple Inc.\",\"type\":\"stock\",\"exchange\":\"NASDAQ\"},"
         "{\"symbol\":\"AAPL\",\"type\":\"stock\",\"exchange\":\"BMV\"}]",
         SearchReply::Resolved, "NASDAQ:AAPL"},
        // v3, with the prefix naming the identifier's exchange, and tags.
        {"{\"symbols_remaining\":0,\"symbols\":[{\"symbol\":\"<em>HYPE</em>USDT.P\",\"type\":\"swap\","
         "\"exchange\":\"Bybit\",\"source2\":{\"id\":\"BYBIT\"},\"source_id\":\"BYBIT\",\"prefix\":\"BYBIT\"}]}",
         SearchReply::Resolved, "BYBIT:HYPEUSDT.P"},
        {"{\"symbols_remaining\":3, \"symbols\": [ {\"symbol\":\"<em>BTC</em>USD\",\"exchange\":\"<em>COINBASE</em>\"}]}",
         SearchReply::Resolved, "COINBASE:BTCUSD"},
        // A futures root takes its first contract; keys of nested objects are not the match's own.
        {"[{\"contracts\":[{\"symbol\":\"ES1!\",\"exchange\":\"NOPE\"}],\"symbol\":\"ES\",\"type\":\"futures\","
         "\"exchange\":\"CME_MINI\"}]",
         SearchReply::Resolved, "CME_MINI:ES1!"},
        // The first match lacks its exchange: the second's does not count.
        {"[{\"symbol\":\"X\",\"source2\":{\"exchange\":\"IN\"}},{\"symbol\":\"X\",\"exchange\":\"NYSE\"}]",
         SearchReply::Incomplete, ""},
        {"[]", SearchReply::NoMatch, ""},
        {"{\"symbols_remaining\":0,\"symbols\":[]}", SearchReply::NoMatch, ""},
        {"", SearchReply::NoMatch, ""},
        {"{\"error\":\"rate limited\"}", SearchReply::Incomplete, ""},
    };
    for (const Case& c : cases) {
        std::string id;
        EXPECT_EQ(FirstMatchSymbolId(c.body, id), c.result) << c.body;
        if (c.result == SearchReply::Resolved) {
            EXPECT_EQ(id, c.id) << c.body;
        }
    }
}
