#include "protocol/quote_update.h"

#include <cstdlib>

#include "protocol/json_text.h"

namespace {

const char* const kQuoteFields[] = {
    "ch",          "chp",        "current_session", "description",     "local_description", "language",
    "exchange",    "fractional", "is_tradable",     "lp",              "lp_time",           "minmov",
    "minmove2",    "original_name", "pricescale",   "pro_name",        "short_name",        "type",
    "update_mode", "volume",     "currency_code",   "rchp",            "rtc",               "rtc_time",
    "last_trade_time", "trade_time", "last_price_time", "regular_close_time", "rch_time"};
static_assert(sizeof(kQuoteFields) / sizeof(kQuoteFields[0]) == 29, "29 quote fields");

const char* const kTimestampKeys[] = {"lp_time",         "last_trade_time",    "trade_time", "last_price_time",
                                      "rtc_time",        "regular_close_time", "rch_time",   "rtc"};

constexpr std::int64_t kEarliestQuoteTime = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr std::int64_t kLatestQuoteTime = 4102444800;   // 2100-01-01 00:00:00 UTC

// A number field, when the frame carries it.
bool Number(const std::string& payload, const char* key, double& value) {
    const std::string text = JsonNumberField(payload, key);
    if (text.empty()) return false;
    value = std::strtod(text.c_str(), nullptr);
    return true;
}

}  // namespace

std::int64_t PickQuoteTimestamp(const std::string& payload, std::string& key) {
    key.clear();
    for (const char* name : kTimestampKeys) {
        const std::string text = JsonNumberField(payload, name);
        if (text.empty()) continue;
        std::int64_t v = std::strtoll(text.c_str(), nullptr, 10);
        if (v > 100000000000LL) v /= 1000;
        if (v >= kEarliestQuoteTime && v <= kLatestQuoteTime) {
            key = name;
            return v;
        }
    }
    return 0;
}

bool ReadQuoteUpdate(const std::string& payload, QuoteUpdate& update) {
    if (payload.find("\"m\":\"qsd\"") == std::string::npos) return false;
    update = QuoteUpdate();
    update.subscribed = JsonStringField(payload, "n", 0);
    update.status = JsonStringField(payload, "s", 0);
    update.errmsg = JsonStringField(payload, "errmsg", 0);
    update.hasLast = Number(payload, "lp", update.last);
    update.hasChange = Number(payload, "ch", update.change);
    update.hasVolume = Number(payload, "volume", update.volume);
    update.epoch = PickQuoteTimestamp(payload, update.timeKey);
    if (payload.find("\"update_mode\"") != std::string::npos) update.updateMode = JsonStringField(payload, "update_mode", 0);
    if (payload.find("\"current_session\"") != std::string::npos) {
        update.session = JsonStringField(payload, "current_session", 0);
    }
    return true;
}

std::vector<std::string> QuoteFieldsParameters(const std::string& quoteSession) {
    std::vector<std::string> parameters = {JsonQuote(quoteSession)};
    for (const char* field : kQuoteFields) parameters.push_back(JsonQuote(field));
    return parameters;
}

namespace {

// The delay a "delayed..." mode names in its last number, in seconds.
long DelaySeconds(const std::string& updateMode) {
    const size_t underscore = updateMode.rfind('_');
    return underscore == std::string::npos ? 0 : std::strtol(updateMode.c_str() + underscore + 1, nullptr, 10);
}

}  // namespace

std::string ShortUpdateMode(const std::string& updateMode) {
    if (updateMode.empty()) return std::string();
    if (updateMode == "streaming") return "real time";
    if (updateMode.rfind("delayed", 0) == 0) {
        const long seconds = DelaySeconds(updateMode);
        return seconds >= 60 ? "delayed " + std::to_string(seconds / 60) + " min" : std::string("delayed");
    }
    if (updateMode.rfind("endofday", 0) == 0) return "end of day";
    std::string mode;
    for (char c : updateMode.substr(0, 40)) mode += c > ' ' && c < 0x7F ? c : '?';
    return mode;
}

std::wstring DescribeUpdateMode(const std::string& updateMode) {
    // The mode is ASCII from the service; anything else is shown as '?'.
    std::wstring mode;
    for (unsigned char c : updateMode) mode += c < 0x80 ? static_cast<wchar_t>(c) : L'?';
    if (updateMode == "streaming") return L"in real time (streaming)";
    if (updateMode.rfind("delayed", 0) == 0) {
        const long seconds = DelaySeconds(updateMode);
        if (seconds >= 60) return L"delayed by about " + std::to_wstring(seconds / 60) + L" minutes (" + mode + L")";
        return L"delayed (" + mode + L")";
    }
    if (updateMode.rfind("endofday", 0) == 0) return L"end of day only (" + mode + L")";
    return mode;
}
