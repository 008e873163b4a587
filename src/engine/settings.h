// The five communication settings and the settings file "BEXALTOOL.INI" (section "BEXALTOOL").
#pragma once

#include <string>

#include "engine/engine.h"

namespace tarvik {

inline constexpr const char* kSettingsFileName = "BEXALTOOL.INI";
inline constexpr const char* kSettingsSection = "BEXALTOOL";

// Where the settings file lives when no --settings option names one.
std::string DefaultSettingsPath();

// Reads the five keys into the engine's configuration; a missing file, key or value gives the
// default. Values are cut to the characters each key allows and converted as decimal numbers.
void LoadSettings(Engine& engine, const std::string& path);
// Writes the five settings as decimal text; false when the file could not be written.
bool SaveSettings(Engine& engine, const std::string& path);

// The main window's initialisation of the engine, before the worker starts: clears
// `reapplySettings` and `commErrors`, sets Stack1, loads the settings, sets the device address
// and shows polling duration, device address and port.
void InitialiseEngine(Engine& engine, const std::string& settingsPath);
// Shows Polling Duration, Device Address and Port in the main window.
void ShowUserSettings(Engine& engine);

}  // namespace tarvik
