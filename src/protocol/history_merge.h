// Topping up a stale cache file instead of downloading its whole history
// again: how many newest bars to ask for, and whether what came agrees with
// the file where the two overlap (any difference in the past, such as a
// split or a dividend adjustment, or a gap, means the whole history must be
// downloaded again). Pure functions over bars; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/host_types.h"

// Bars of the file the answer must repeat, besides the file's newest bar
// (which may have been forming when it was written).
constexpr int kTopUpOverlapBars = 10;

// The length of one bar of a resolution text ("5", "60", "1D", "2W",
// "1M"), in seconds; 0 for a text that names none. A month counts 28 days,
// so a count made from it never falls short.
std::int64_t ResolutionSeconds(const std::string& resolution);

// How many newest bars to ask for when the file's newest bar began
// `secondsSinceNewest` ago: the bars since then, the overlap and a little
// more. 0 when a top-up would not be worth it (it would ask for at least
// half of `requestedBars`) or the resolution is not known.
int TopUpCount(std::int64_t secondsSinceNewest, const std::string& resolution, int requestedBars);

enum class TopUpMerge {
    Merged,    // the overlap agrees: `merged` holds the file's older bars and the new ones
    Changed,   // a bar of the overlap differs from the file's
    Gap,       // the answer does not reach back far enough, or holds a bar the file lacks
};

// `cached` and `fresh` oldest first, unique times.
TopUpMerge MergeTopUp(const std::vector<Bar>& cached, const std::vector<Bar>& fresh, std::vector<Bar>& merged);
