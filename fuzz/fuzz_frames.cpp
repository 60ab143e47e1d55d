// Feeds arbitrary chunks into a frame buffer and checks that every payload
// taken off it is a real frame of what was appended; then frames payloads of
// arbitrary bytes and of non-ASCII text (lengths in UTF-16 units), delivers
// them in pieces of every size the input picks, and checks that exactly
// those payloads come back, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/framing.h"

namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Text of every UTF-8 length from two input bytes per character: ASCII
// (the marker's "~" and "m" among them), Latin, kana, hangul, beyond U+FFFF.
std::string TextFrom(const std::uint8_t* data, std::size_t size) {
    static const std::uint32_t kBase[] = {0x20, 0xC0, 0x30A0, 0xAC00, 0x20000, 0x1F600};
    std::string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) AppendUtf8(text, kBase[data[i] % 6] + data[i + 1] % 96);
    return text;
}

}  // namespace

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

    // Round trip: the raw input, its halves as text, and an empty payload,
    // framed back to back. The empty frame last ends the stream.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> sent = {raw, TextFrom(data, size / 2), TextFrom(data + size / 2, size - size / 2),
                                           std::string()};
    std::string stream;
    for (const std::string& p : sent) stream += FrameText(p);
    std::vector<std::string> received;
    buffer.clear();
    std::size_t at = 0;
    for (std::size_t piece = 0; at < stream.size(); ++piece) {
        const std::size_t n = size == 0 ? stream.size() : 1 + data[piece % size] * 97 % 4096;
        buffer.append(stream, at, n);
        at += n < stream.size() - at ? n : stream.size() - at;
        for (int i = 0; i < 16 && NextFramePayload(buffer, payload); ++i) received.push_back(payload);
    }
    if (received != sent || !buffer.empty()) std::abort();
    return 0;
}
