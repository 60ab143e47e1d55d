// Start-up, shut-down and configuration of the plug-in, and the fixed
// identification record. Called from the exports on host threads.
#pragma once

#include "plugin/host_records.h"

int FillPluginInfo(PluginInfo* info);
int PluginInit();
int PluginRelease();
int PluginConfigure(const char* databasePath);
int CheckTimeBase(unsigned timeBase);
HostValue EmptyHostValue();
