// Conversions between the host's ANSI strings, the service's UTF-8 and the
// plug-in's own UTF-16, with the trimming and lower-casing rules. The only
// place that converts text. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

std::wstring AnsiToWide(const char* text);
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view text);
std::wstring TrimWide(std::wstring_view text);
std::wstring LowerTrimWide(std::wstring_view text);

// "%f" formatting of a value for log lines (six decimals, point separator).
std::wstring FormatFloat(double value);
