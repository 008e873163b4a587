// The five communication settings and the settings file "BEXALTOOL.INI" (section "BEXALTOOL").
#pragma once

#include <optional>
#include <string>

#include "engine/engine.h"
#include "protocol/command_catalogue.h"

namespace tarvik {

inline constexpr const char* kSettingsFileName = "BEXALTOOL.INI";
inline constexpr const char* kSettingsSection = "BEXALTOOL";

// The ranges of the two number settings: what the Properties dialog accepts, what a loaded file
// is brought into, and (the packet size) what a download reads at a time.
inline constexpr std::int32_t kMinPollingDurationMs = 10;
inline constexpr std::int32_t kMaxPollingDurationMs = 30000;
inline constexpr std::int32_t kMinPacketSize = 1;
inline constexpr auto kMaxPacketSize = static_cast<std::int32_t>(kMaxDownloadPacket);  // 246

// Where the settings file lives when no --settings option names one.
std::string DefaultSettingsPath();

// Reads the five keys into the engine's configuration; a missing file, key or value gives the
// default. Values are cut to the characters each key allows and converted as decimal numbers.
void LoadSettings(Engine& engine, const std::string& path);
// Writes the five settings as decimal text into section "BEXALTOOL", keeping every other
// section, key, comment and the file's line ends. The new text is written beside the file and
// renamed over it, so the old file stays whole until the new one is complete. False when the
// file could not be written; `why` (when given) then says what failed and where.
bool SaveSettings(Engine& engine, const std::string& path, std::string* why = nullptr);

// The five values as the file holds them, each cut to the characters its key allows and not
// converted; nothing for a key that is missing or empty (or a file that cannot be read).
struct SettingsTexts {
  std::optional<std::string> comPort;
  std::optional<std::string> baudRate;
  std::optional<std::string> pollingDuration;
  std::optional<std::string> operatingMode;
  std::optional<std::string> packetSize;
  // Why the file was not read ("" when it was, or when it does not exist): none of the five
  // texts is then set.
  std::string unusedReason;
};
SettingsTexts ReadSettingsTexts(const std::string& path);

// The usual decimal conversion of a settings text: an optional sign, then digits up to the first
// other character; no digits give 0. Texts longer than the keys allow saturate, never overflow.
std::int32_t SettingsNumber(std::string_view text);

// The main window's initialisation of the engine, before the worker starts: clears
// `reapplySettings` and `commErrors`, sets Stack1, loads the settings, sets the device address
// and shows polling duration, device address and port.
void InitialiseEngine(Engine& engine, const std::string& settingsPath);
// Shows Polling Duration, Device Address and Port in the main window.
void ShowUserSettings(Engine& engine);

}  // namespace tarvik
