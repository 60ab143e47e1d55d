// Feeds arbitrary chunks into a frame buffer and checks that every payload
// taken off it is a real frame of what was appended.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string buffer;
    std::string payload;
    std::size_t pos = 0;
    while (pos < size) {
        // The first byte of each chunk gives its length.
        const std::size_t chunk = 1 + data[pos] % 64;
        ++pos;
        const std::size_t n = chunk < size - pos ? chunk : size - pos;
        buffer.append(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        for (int i = 0; i < 1000 && NextFramePayload(buffer, payload); ++i) {
            if (payload.size() > size) std::abort();  // a payload longer than the input was invented
        }
        if (buffer.size() > size) std::abort();
    }
    const std::string framed = FrameText(std::string(reinterpret_cast<const char*>(data), size));
    std::string again = framed;
    if (!NextFramePayload(again, payload) || payload.size() != size || !again.empty()) std::abort();
    return 0;
}
