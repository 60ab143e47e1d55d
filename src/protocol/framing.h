// The service's "~m~<length>~m~<payload>" framing and the message builder.
// Pure functions over bytes (no Windows header); any thread.
#pragma once

#include <string>
#include <vector>

// {"m":<name>,"p":[<p1>,<p2>,...]}: each parameter is already JSON text.
std::string BuildMessage(const std::string& name, const std::vector<std::string>& parameters);

// "~m~" + byte length + "~m~" + payload.
std::string FrameText(const std::string& payload);

// Takes the next whole frame off the front of `buffer`. False (buffer kept)
// while a frame has not fully arrived; bytes that cannot begin a frame are
// dropped, but a trailing part of a marker split across messages is kept.
bool NextFramePayload(std::string& buffer, std::string& payload);

// A payload that is not empty and does not begin with "{" (a heartbeat such
// as "~h~3") goes straight back to the service, framed.
bool IsEchoPayload(const std::string& payload);
