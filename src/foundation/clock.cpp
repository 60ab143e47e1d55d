#include "foundation/clock.h"

#include <windows.h>

std::uint32_t TickCount32() { return static_cast<std::uint32_t>(GetTickCount64()); }
std::uint64_t TickCount64() { return GetTickCount64(); }
