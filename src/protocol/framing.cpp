#include "protocol/framing.h"

#include <cstdint>

#include "protocol/json_text.h"

namespace {
const std::string kMarker = "~m~";

// The longest run of bytes at the end of `buffer` that is a proper prefix
// of the marker ("~" or "~m"), so that a marker split across two messages
// survives.
size_t MarkerPrefixAtEnd(const std::string& buffer) {
    for (size_t n = kMarker.size() - 1; n > 0; --n) {
        if (buffer.size() >= n && buffer.compare(buffer.size() - n, n, kMarker, 0, n) == 0) return n;
    }
    return 0;
}
}  // namespace

std::string BuildMessage(const std::string& name, const std::vector<std::string>& parameters) {
    std::string message = "{\"m\":" + JsonQuote(name) + ",\"p\":[";
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0) message += ',';
        message += parameters[i];
    }
    message += "]}";
    return message;
}

std::string FrameText(const std::string& payload) {
    return kMarker + std::to_string(payload.size()) + kMarker + payload;
}

bool NextFramePayload(std::string& buffer, std::string& payload) {
    payload.clear();
    // Each pass either returns or drops at least one byte, so the loop ends.
    for (;;) {
        const size_t start = buffer.find(kMarker);
        if (start == std::string::npos) {
            buffer.erase(0, buffer.size() - MarkerPrefixAtEnd(buffer));
            return false;
        }
        buffer.erase(0, start);

        size_t pos = kMarker.size();
        // A length beyond anything that can arrive is held at this bound
        // instead of wrapping into a small one; such a frame never completes.
        constexpr std::uint64_t kUnrepresentable = UINT64_MAX / 16;
        std::uint64_t length = 0;
        while (pos < buffer.size() && buffer[pos] >= '0' && buffer[pos] <= '9') {
            if (length < kUnrepresentable) length = length * 10 + static_cast<std::uint64_t>(buffer[pos] - '0');
            ++pos;
        }
        if (pos >= buffer.size() || buffer.size() - pos < kMarker.size()) return false;  // not all here yet
        if (buffer.compare(pos, kMarker.size(), kMarker) != 0) {
            // Not a frame after all (garbage between frames): skip this marker
            // rather than wait for ever on bytes that will never fit.
            buffer.erase(0, 1);
            continue;
        }
        pos += kMarker.size();
        if (length >= kUnrepresentable || buffer.size() - pos < length) return false;
        payload.assign(buffer, pos, static_cast<size_t>(length));
        buffer.erase(0, pos + static_cast<size_t>(length));
        return true;
    }
}

bool IsEchoPayload(const std::string& payload) { return !payload.empty() && payload[0] != '{'; }
