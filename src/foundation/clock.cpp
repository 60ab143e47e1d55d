#include "foundation/clock.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<TickSource> g_source{nullptr};
}  // namespace

void SetTickSource(TickSource source) { g_source.store(source); }

std::uint64_t TickCount64() {
    const TickSource source = g_source.load();
    return source != nullptr ? source() : GetTickCount64();
}

std::uint32_t TickCount32() { return static_cast<std::uint32_t>(TickCount64()); }
