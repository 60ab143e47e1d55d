// ParseNumberList over arbitrary text: never reads past the end, never loops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (ParseNumberList(text).size() > size) std::abort();
    return 0;
}
