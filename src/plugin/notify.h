// The host's notifications: database loaded or unloaded, settings changed,
// right-click on the status area, each with the symbol the user looks at.
// Host threads.
#pragma once

#include "plugin/host_records.h"

// Always 1.
int HandleNotify(const PluginNotification* notification);
