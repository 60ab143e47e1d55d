// Loading, repairing and saving the settings of section "TradingView" and
// reading the service origins of section "Service" in Velmarquin.ini.
// LoadSettings runs on host threads; it takes stateLock only to publish.
#pragma once

#include <string>

#include "foundation/settings_record.h"
#include "foundation/settings_text.h"

// The settings file: iniPath, else databaseFolder, else the DLL's folder,
// joined with "Velmarquin.ini".
std::wstring ResolveIniPath();

void ReadSettingsFile(const std::wstring& path, PluginSettings& settings);
// The fourteen keys of section "TradingView" (creation and repair).
void WriteSettingsFile(const std::wstring& path, const PluginSettings& settings);
// What the configuration window saves: section "TradingView" and the
// plug-in's own section "Velmarquin".
void SaveSettingsFile(const std::wstring& path, const PluginSettings& settings);
ServiceOrigins ReadServiceOrigins(const std::wstring& path);

// Reads and repairs the file, publishes settings and origins, sets the ready status.
void LoadSettings();
