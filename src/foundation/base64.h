// Base64 text for bytes, and back. Pure; any thread.
#pragma once

#include <string>

// The standard alphabet with padding.
std::string Base64Encode(const std::string& bytes);

// Either alphabet (standard or URL-safe), padding optional; false for any
// other character, or for anything but padding after the first '='.
bool Base64Decode(const std::string& text, std::string& bytes);
