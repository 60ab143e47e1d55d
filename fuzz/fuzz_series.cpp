// The series reader over arbitrary text, merged into a list the input also
// picks: never crashes, and gives exactly the bars of the reference reader
// (objects copied, values scanned with strtod), bit for bit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/series_reader.h"
#include "support/series_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    PluginSettings settings;
    const int periodicity = data[0] % 2 ? 86400 : 60;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    // Half the inputs start from a list that already holds bars.
    std::vector<Bar> fast, reference;
    if (data[0] % 4 >= 2) {
        const std::string seed = "{\"s\":[{\"v\":[1700000000,1,2,0.5,1.5,7]},{\"v\":[1800000000,1,2,0.5,1.5]}]}";
        ReadSeriesBars(seed, periodicity, settings, fast);
        reference = fast;
    }
    const bool a = ReadSeriesBars(text, periodicity, settings, fast);
    const bool b = OracleSeriesBars(text, periodicity, settings, reference);
    if (a != b || fast.size() != reference.size()) std::abort();
    if (!fast.empty() && std::memcmp(fast.data(), reference.data(), fast.size() * sizeof(Bar)) != 0) std::abort();
    return 0;
}
