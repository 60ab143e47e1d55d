// The service's error answers, as every conversation reads them: an unknown
// symbol, an unserved series, a refused session, a refused token. Pure
// functions over UTF-8 payloads; any thread.
#pragma once

#include <string>

// The reason a service error message gives: the string among its "p"
// parameters where that message keeps it (symbol_error: the third,
// series_error: the fourth, protocol_error: the first, critical_error: the
// second), else the last string of "p". Raw, escapes kept; empty when none.
std::string ServiceErrorReason(const std::string& payload);

// The text a conversation ends with when `payload` is an error answer:
// "TradingView critical error", "TradingView protocol error: <reason>",
// "TradingView symbol error: <reason>", "TradingView series error: <reason>";
// empty for any other payload.
std::string ServiceErrorText(const std::string& payload);
