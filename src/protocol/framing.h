// The service's "~m~<length>~m~<payload>" framing and the message builder.
// The length counts UTF-16 code units of the payload (the length of the text
// as the service's JavaScript sees it; a code point above U+FFFF counts two),
// while the payload itself travels as UTF-8. For ASCII the two agree.
// Pure functions over bytes (no Windows header); any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// {"m":<name>,"p":[<p1>,<p2>,...]}: each parameter is already JSON text.
std::string BuildMessage(const std::string& name, const std::vector<std::string>& parameters);

// UTF-16 code units of UTF-8 bytes. A byte that does not belong to a whole,
// well-formed sequence counts one unit, as a replacement character would.
std::uint64_t Utf16Length(const std::string& utf8);

// "~m~" + UTF-16 length + "~m~" + payload.
std::string FrameText(const std::string& payload);

// Takes the next whole frame off the front of `buffer`. False (buffer kept)
// while a frame has not fully arrived; bytes that cannot begin a frame are
// dropped, but a trailing part of a marker split across messages is kept.
// A length that ends inside a character ends the payload before that
// character; the bytes left over are dropped in front of the next frame.
bool NextFramePayload(std::string& buffer, std::string& payload);

// The bytes a conversation has received and not yet split into frames.
// Frames are taken off the front by moving a read position, so splitting a
// message of any number of frames costs time linear in its size; the bytes
// already taken are dropped once per Append.
class FrameBuffer {
public:
    void Append(const std::string& bytes);
    // As NextFramePayload.
    bool Next(std::string& payload);
    size_t Pending() const { return data_.size() - start_; }

private:
    std::string data_;
    size_t start_ = 0;
};

// A payload that is not empty and does not begin with "{" (a heartbeat such
// as "~h~3") goes straight back to the service, framed.
bool IsEchoPayload(const std::string& payload);
