// The millisecond tick counts the plug-in schedules by. 32-bit differences
// are taken unsigned, so the counter's wrap-around is harmless. Tests may put
// their own counter in place of the system's; any thread.
#pragma once

#include <cstdint>

std::uint32_t TickCount32();
std::uint64_t TickCount64();

// Replaces the system's tick counter (nullptr puts it back).
using TickSource = std::uint64_t (*)();
void SetTickSource(TickSource source);

// True while `now` has not reached `deadline` (both 32-bit ticks, wrap-safe).
inline bool BeforeDeadline(std::uint32_t now, std::uint32_t deadline) {
    return static_cast<std::int32_t>(deadline - now) > 0;
}
