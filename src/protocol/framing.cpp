#include "protocol/framing.h"

#include <algorithm>

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

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// One character of UTF-8 at `at`: its bytes and UTF-16 units. A lead byte
// whose sequence is cut by a byte that does not continue it counts alone (one
// unit). `bytes` is 0 when the sequence runs past `end` and more bytes may
// still come.
struct Utf8Char {
    size_t bytes;
    unsigned units;
};

Utf8Char CharAt(const unsigned char* at, const unsigned char* end) {
    const unsigned char lead = *at;
    size_t continuations = 0;
    unsigned units = 1;
    if (lead >= 0xC0 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        continuations = 3;
        units = 2;
    }
    for (size_t i = 1; i <= continuations; ++i) {
        if (at + i >= end) return {0, 0};
        if (!IsContinuation(at[i])) return {1, 1};
    }
    return {continuations + 1, units};
}

enum class Extent { Whole, Short };

// The bytes from `begin` that hold `units` UTF-16 units. Short when the
// buffer ends first; a character that would cross the count is left out.
Extent PayloadBytes(const std::string& buffer, size_t begin, std::uint64_t units, size_t& bytes) {
    const unsigned char* const start = reinterpret_cast<const unsigned char*>(buffer.data()) + begin;
    const unsigned char* const end = reinterpret_cast<const unsigned char*>(buffer.data()) + buffer.size();
    const unsigned char* at = start;
    std::uint64_t counted = 0;
    while (counted < units) {
        if (at == end) return Extent::Short;
        if (*at < 0x80) {  // ASCII, the bulk of every payload: one unit per byte
            const unsigned char* const run = at;
            const unsigned char* const stop =
                at + std::min<std::uint64_t>(units - counted, static_cast<std::uint64_t>(end - at));
            while (at != stop && *at < 0x80) ++at;
            counted += static_cast<std::uint64_t>(at - run);
            continue;
        }
        const Utf8Char c = CharAt(at, end);
        if (c.bytes == 0) return Extent::Short;
        if (counted + c.units > units) break;  // the length ends inside this character
        counted += c.units;
        at += c.bytes;
    }
    bytes = static_cast<size_t>(at - start);
    return Extent::Whole;
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

std::uint64_t Utf16Length(const std::string& utf8) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(utf8.data());
    const unsigned char* const end = at + utf8.size();
    std::uint64_t units = 0;
    while (at != end) {
        if (*at < 0x80) {
            ++units;
            ++at;
            continue;
        }
        Utf8Char c = CharAt(at, end);
        if (c.bytes == 0) c = {1, 1};  // cut off by the end of the text
        units += c.units;
        at += c.bytes;
    }
    return units;
}

std::string FrameText(const std::string& payload) {
    return kMarker + std::to_string(Utf16Length(payload)) + kMarker + payload;
}

namespace {

// Takes the next whole frame from `buffer` at `start`, moving `start` past
// it (and past bytes that cannot begin a frame) instead of erasing them.
bool TakeFrame(const std::string& buffer, size_t& start, std::string& payload) {
    payload.clear();
    // Each pass either returns or moves past at least one byte, so the loop ends.
    for (;;) {
        const size_t marker = buffer.find(kMarker, start);
        if (marker == std::string::npos) {
            start = buffer.size() - std::min(buffer.size() - start, MarkerPrefixAtEnd(buffer));
            return false;
        }
        start = marker;

        size_t pos = start + kMarker.size();
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
            ++start;
            continue;
        }
        pos += kMarker.size();
        // Every unit takes at least one byte: too few bytes cannot be enough.
        if (length >= kUnrepresentable || buffer.size() - pos < length) return false;
        size_t bytes = 0;
        if (PayloadBytes(buffer, pos, length, bytes) == Extent::Short) return false;
        payload.assign(buffer, pos, bytes);
        start = pos + bytes;
        return true;
    }
}

}  // namespace

bool NextFramePayload(std::string& buffer, std::string& payload) {
    size_t start = 0;
    const bool whole = TakeFrame(buffer, start, payload);
    buffer.erase(0, start);
    return whole;
}

void FrameBuffer::Append(const std::string& bytes) {
    data_.erase(0, start_);
    start_ = 0;
    data_ += bytes;
}

bool FrameBuffer::Next(std::string& payload) { return TakeFrame(data_, start_, payload); }

bool IsEchoPayload(const std::string& payload) { return !payload.empty() && payload[0] != '{'; }
