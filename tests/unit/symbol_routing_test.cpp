#include <gtest/gtest.h>

#include "protocol/symbol_routing.h"

TEST(SymbolRouting, ClassifyTicker) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"ES1!", L"futures"},  {L"CL1!", L"futures"},  {L"eur/usd", L"forex"},  {L"EURXYZ", L"auto"},
        {L"spx", L"index"},     {L"^SPX", L"auto"},     {L"BTCUSDT", L"crypto"}, {L"XUSDT", L"crypto"},
        {L"SOLEUR", L"auto"},   {L"BTCEUR", L"crypto"}, {L"NASDAQ:AAPL", L"auto"}, {L"", L"auto"},
        {L"gbp-jpy", L"forex"}, {L"US 500", L"index"},  {L"ETHBTC", L"crypto"},  {L"AAPL", L"auto"},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyTicker(c.first, L"auto"), c.second) << c.first;
    EXPECT_EQ(ClassifyTicker(L"AAPL", L"  "), L"stock");
    EXPECT_EQ(ClassifyTicker(L"AAPL", L" ETF "), L"etf");
}

TEST(SymbolRouting, MarketCandidates) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(MarketCandidates(L"AAPL", L"FOREX"), List{L"forex"});
    EXPECT_EQ(MarketCandidates(L"AAPL", L" bonds "), List{L"bonds"});
    EXPECT_EQ(MarketCandidates(L"BTCUSD", L"stock"),
              (List{L"crypto", L"stock", L"etf", L"fund", L"index", L"forex", L"futures"}));
    EXPECT_EQ(MarketCandidates(L"AAPL", L"auto"),
              (List{L"stock", L"etf", L"fund", L"index", L"crypto", L"forex", L"futures"}));
    EXPECT_EQ(MarketCandidates(L"BTCUSDT", L""),
              (List{L"crypto", L"stock", L"etf", L"fund", L"index", L"forex", L"futures"}));
}

TEST(SymbolRouting, BuildSearchText) {
    EXPECT_EQ(BuildSearchText(L" eur/usd ", L"forex"), L"EURUSD");
    EXPECT_EQ(BuildSearchText(L"^spx", L"index"), L"SPX");
    EXPECT_EQ(BuildSearchText(L"es1!", L"futures"), L"ES1!");
    EXPECT_EQ(BuildSearchText(L" es1! ", L" Futures"), L" ES1! ");  // not trimmed for futures
    EXPECT_EQ(BuildSearchText(L" aapl ", L"stock"), L"AAPL");
    EXPECT_EQ(BuildSearchText(L"btc-usdt", L"crypto"), L"BTCUSDT");
    EXPECT_EQ(BuildSearchText(L"brk b", L"stock"), L"BRK B");
}
