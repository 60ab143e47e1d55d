// The tests' way into the plug-in's shared state: one short section under
// its lock, as the plug-in's own code takes it.
#pragma once

#include <mutex>

#include "foundation/state.h"

namespace testing_support {

// Runs `use` on the state under stateLock and gives back what it returns.
template <typename Use>
auto WithState(Use use) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    return use(s);
}

}  // namespace testing_support
