// The series reader as it was first written (copy each object, scan each
// value list with strtod), kept as the reference the fast reader is checked
// against, bar for bar. Pure; used by the unit tests and the fuzz target.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "foundation/volume.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"

inline bool OracleSeriesBars(const std::string& payload, int periodicity, const PluginSettings& settings,
                             std::vector<Bar>& bars) {
    if (payload.size() < 5) return false;
    const size_t marker = payload.find("\"s\":[");
    if (marker == std::string::npos) return false;
    const size_t start = marker + 5;
    size_t end = payload.size() - start >= 2 ? payload.find("}]", start) : std::string::npos;
    if (end == std::string::npos) end = payload.rfind(']');
    if (end == std::string::npos || end <= start) return false;
    for (const std::string& object : SplitJsonObjects(payload.substr(start, end - start))) {
        std::string inner;
        if (!JsonArrayField(object, "v", inner)) continue;
        const std::vector<double> v = ParseNumberList(inner);
        if (v.size() < 5 || !std::isfinite(v[0]) || std::fabs(v[0]) > 9e15) continue;
        std::int64_t t = std::llround(v[0]);
        if (t > 100000000000LL) t /= 1000;
        Bar bar;
        bar.dateTime = ToHostDateTime(t, periodicity >= 86400, settings);
        if (bar.dateTime == 0) continue;
        bar.open = static_cast<float>(v[1]);
        bar.high = static_cast<float>(v[2]);
        bar.low = static_cast<float>(v[3]);
        bar.close = static_cast<float>(v[4]);
        bar.volume = v.size() >= 6 ? VolumeAsFloat(v[5]) : 0.0f;
        bars.push_back(bar);
    }
    std::stable_sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return a.dateTime < b.dateTime; });
    size_t out = 0;
    for (size_t i = 0; i < bars.size(); ++i) {
        if (i + 1 < bars.size() && bars[i + 1].dateTime == bars[i].dateTime) continue;
        bars[out++] = bars[i];
    }
    bars.resize(out);
    return !bars.empty();
}
