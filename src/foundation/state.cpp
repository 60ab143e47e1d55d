#include "foundation/state.h"

PluginState& State() {
    static PluginState state;
    return state;
}

PluginSettings CopySettings() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    return s.settings;
}

ServiceOrigins CopyServiceOrigins() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    return s.origins;
}
