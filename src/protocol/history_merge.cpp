#include "protocol/history_merge.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Prices and volumes travel as doubles and are kept as floats: a value the
// service did not change comes back as the same float. Anything beyond a
// float's rounding is a change.
bool Same(float a, float b) {
    const float scale = std::max(std::fabs(a), std::fabs(b));
    return std::fabs(a - b) <= scale * 1e-6f;
}

bool SameBar(const Bar& a, const Bar& b) {
    return Same(a.open, b.open) && Same(a.high, b.high) && Same(a.low, b.low) && Same(a.close, b.close) &&
           Same(a.volume, b.volume);
}

}  // namespace

std::int64_t ResolutionSeconds(const std::string& resolution) {
    if (resolution.empty() || resolution.size() > 8) return 0;
    size_t digits = 0;
    while (digits < resolution.size() && resolution[digits] >= '0' && resolution[digits] <= '9') ++digits;
    const std::int64_t count = digits == 0 ? 1 : std::strtoll(resolution.substr(0, digits).c_str(), nullptr, 10);
    if (count <= 0) return 0;
    const std::string unit = resolution.substr(digits);
    if (unit.empty()) return count * 60;
    if (unit == "D") return count * 86400;
    if (unit == "W") return count * 7 * 86400;
    if (unit == "M") return count * 28 * 86400;
    return 0;
}

int TopUpCount(std::int64_t secondsSinceNewest, const std::string& resolution, int requestedBars) {
    const std::int64_t bar = ResolutionSeconds(resolution);
    if (bar <= 0 || requestedBars <= 0) return 0;
    const std::int64_t since = std::max<std::int64_t>(0, secondsSinceNewest) / bar + 1;
    const std::int64_t ask = since + kTopUpOverlapBars + 2;
    if (ask * 2 > requestedBars) return 0;
    return static_cast<int>(ask);
}

TopUpMerge MergeTopUp(const std::vector<Bar>& cached, const std::vector<Bar>& fresh, std::vector<Bar>& merged) {
    merged.clear();
    if (cached.empty() || fresh.empty()) return TopUpMerge::Gap;
    const std::uint64_t from = fresh.front().dateTime;
    const std::uint64_t newest = cached.back().dateTime;
    // The file's bars from the answer's first one up to the file's newest
    // (excluded) must come again, unchanged, and nothing between them new.
    auto c = std::lower_bound(cached.begin(), cached.end(), from,
                              [](const Bar& bar, std::uint64_t time) { return bar.dateTime < time; });
    if (c == cached.end() || c->dateTime != from) return TopUpMerge::Gap;
    int compared = 0;
    auto f = fresh.begin();
    for (; c != cached.end() && c->dateTime < newest; ++c, ++f, ++compared) {
        if (f == fresh.end() || f->dateTime != c->dateTime) return TopUpMerge::Gap;
        if (!SameBar(*c, *f)) return TopUpMerge::Changed;
    }
    // The file's newest bar itself may have been forming: it is replaced,
    // but it must still be there.
    if (f == fresh.end() || f->dateTime != newest) return TopUpMerge::Gap;
    if (compared < kTopUpOverlapBars) return TopUpMerge::Gap;
    const auto older = std::lower_bound(cached.begin(), cached.end(), from,
                                        [](const Bar& bar, std::uint64_t time) { return bar.dateTime < time; });
    merged.reserve(static_cast<size_t>(older - cached.begin()) + fresh.size());
    merged.assign(cached.begin(), older);
    merged.insert(merged.end(), fresh.begin(), fresh.end());
    return TopUpMerge::Merged;
}
