// Start-up, shut-down and configuration of the plug-in, and the fixed
// identification record. Called from the exports on host threads.
#pragma once

#include "plugin/host_records.h"

int FillPluginInfo(PluginInfo* info);
int PluginInit();
int PluginRelease();
int PluginConfigure(const char* databasePath);
int CheckTimeBase(unsigned timeBase);
// 0 while a background download of the ticker waits or runs, else 1.
int BackfillComplete(const char* ticker);
HostValue EmptyHostValue();
