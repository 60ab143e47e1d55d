#include "protocol/series_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/volume.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"

namespace {

// The values of one bar: the first six numbers of its "v" array and how many
// numbers the array holds.
struct Values {
    double v[6] = {};
    size_t count = 0;
    void Add(double value) {
        if (count < 6) v[count] = value;
        ++count;
    }
};

bool Digit(char c) { return c >= '0' && c <= '9'; }

// One number at `at`, as the C library's strtod reads it (a leading "+",
// hexadecimal, "inf", "nan", values out of range). Plain decimal numbers,
// all the service writes, take the exact and much faster from_chars.
// Returns the end of the number, or `at` when nothing converts.
const char* ReadNumber(const char* at, const char* end, double& value) {
    const char* digits = at + (at != end && *at == '-' ? 1 : 0);
    const bool plain = digits != end && (Digit(*digits) || *digits == '.') &&
                       !(*digits == '0' && digits + 1 != end && (digits[1] == 'x' || digits[1] == 'X'));
    if (plain) {
        const std::from_chars_result r = std::from_chars(at, end, value);
        if (r.ec == std::errc()) return r.ptr;
    }
    // The array always ends before its "]", and the payload's text is
    // NUL-terminated, so strtod stops inside the payload.
    char* stop = nullptr;
    value = std::strtod(at, &stop);
    return stop;
}

// The numbers between `begin` and `end`: spaces, tabs and commas separate
// them, any other byte that does not start a number is skipped.
void ReadValues(const char* at, const char* end, Values& values) {
    while (at < end) {
        const char c = *at;
        if (c == ',' || c == ' ' || c == '\t') {
            ++at;
            continue;
        }
        double value = 0;
        const char* next = ReadNumber(at, end, value);
        if (next == at) {
            ++at;
            continue;
        }
        values.Add(value);
        at = next;
    }
}

bool ReadBar(std::string_view object, bool daily, const PluginSettings& settings, const DailyDater* dater, Bar& bar) {
    std::string_view inner;
    if (!JsonArrayView(object, "v", inner)) return false;
    Values values;
    ReadValues(inner.data(), inner.data() + inner.size(), values);
    const double* v = values.v;
    if (values.count < 5 || !std::isfinite(v[0]) || std::fabs(v[0]) > 9e15) return false;
    std::int64_t t = std::llround(v[0]);
    if (t > 100000000000LL) t /= 1000;  // milliseconds
    bar.dateTime = daily && dater != nullptr ? dater->DailyDateTime(t) : ToHostDateTime(t, daily, settings);
    if (bar.dateTime == 0) return false;  // a time the platform cannot convert is no bar for the host
    bar.open = static_cast<float>(v[1]);
    bar.high = static_cast<float>(v[2]);
    bar.low = static_cast<float>(v[3]);
    bar.close = static_cast<float>(v[4]);
    bar.volume = values.count >= 6 ? VolumeAsFloat(v[5]) : 0.0f;
    bar.openInterest = 0;
    return true;
}

bool Earlier(const Bar& a, const Bar& b) { return a.dateTime < b.dateTime; }

}  // namespace

bool ReadSeriesBars(const std::string& payload, int periodicity, const PluginSettings& settings,
                    std::vector<Bar>& bars, const DailyDater* dater) {
    if (payload.size() < 5) return false;
    const size_t marker = payload.find("\"s\":[");
    if (marker == std::string::npos) return false;
    const size_t start = marker + 5;
    size_t end = payload.size() - start >= 2 ? payload.find("}]", start) : std::string::npos;
    if (end == std::string::npos) end = payload.rfind(']');
    if (end == std::string::npos || end <= start) return false;

    // The list splits into objects at each "},{"; the last object runs to
    // the end of the list (its closing brace is not part of it).
    const std::string_view list(payload.data() + start, end - start);
    const bool daily = periodicity >= 86400;
    const size_t before = bars.size();
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t separator = list.size() - pos < 3 ? std::string_view::npos : list.find("},{", pos);
        const std::string_view object =
            list.substr(pos, separator == std::string_view::npos ? std::string_view::npos : separator + 1 - pos);
        Bar bar;
        if (ReadBar(object, daily, settings, dater, bar)) bars.push_back(bar);
        if (separator == std::string_view::npos) break;
        pos = separator + 2;
    }
    if (bars.size() == before) return !bars.empty();

    // New bars in strictly rising time after every bar held before (the
    // usual case) are already in place; anything else is sorted, later
    // values winning for equal times: after a stable sort the last bar of
    // each run of equal times is the newest one.
    const bool inPlace =
        (before == 0 || Earlier(bars[before - 1], bars[before])) &&
        std::adjacent_find(bars.begin() + static_cast<std::ptrdiff_t>(before), bars.end(),
                           [](const Bar& a, const Bar& b) { return !Earlier(a, b); }) == bars.end();
    if (!inPlace) {
        std::stable_sort(bars.begin(), bars.end(), Earlier);
        size_t out = 0;
        for (size_t i = 0; i < bars.size(); ++i) {
            if (i + 1 < bars.size() && bars[i + 1].dateTime == bars[i].dateTime) continue;
            bars[out++] = bars[i];
        }
        bars.resize(out);
    }
    return true;
}

std::string SeriesDataCompleted(const std::string& payload) {
    if (payload.find("series_completed") == std::string::npos) return {};
    const std::string why = JsonStringField(payload, "data_completed", 0);
    return why == "limit" || why == "end" ? why : std::string();
}
