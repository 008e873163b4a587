// The Properties dialog's contents and its OK: the five communication settings checked, taken
// over, saved to the settings file and put in force by reopening the port. The Qt dialog and the
// console's `:properties` share this, so both behave alike.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

// A list with no selected position (a value the list does not have).
inline constexpr int kNoSelection = -1;

inline constexpr int kComPortCount = 20;  // "COM1" to "COM20"
inline constexpr std::array<std::string_view, 3> kBaudRateTexts{"9,600", "19,200", "38,400"};
inline constexpr std::array<std::string_view, 2> kOperatingModeTexts{"Normal", "Test"};
// The most characters the two number fields hold.
inline constexpr int kPollingFieldLimit = 5;
inline constexpr int kPacketFieldLimit = 3;

inline constexpr std::string_view kPollingDurationCaption = "Polling Duration";
inline constexpr std::string_view kPacketSizeCaption = "Download Packet Size";
inline constexpr std::string_view kNotANumberText = "Error : Not a number.";
inline constexpr std::string_view kPollingRangeText =
    "Error : The value must not be less than 10 and greater than 30000.";
inline constexpr std::string_view kPacketRangeText =
    "Error : The value must not be less than 1 and greater than 246.";
inline constexpr std::string_view kSettingsDownloadRunningText =
    "You can not change the settings until download is completed.";
inline constexpr std::string_view kSettingsTransactionOpenText =
    "You can not change the settings until the current transaction is completed.";
// A failed save: "<text> <why>. <consequence>".
inline constexpr std::string_view kSettingsSaveErrorText = "Settings Save Error!";
inline constexpr std::string_view kSettingsSaveErrorConsequence =
    "The new settings are in force until the program ends, but the next start will not have them.";

// What the dialog's five controls hold: list positions (kNoSelection for none) and field texts.
struct PropertiesForm {
  int comPort = 0;
  int baudRate = 0;
  std::string pollingDuration = "200";
  int operatingMode = 0;
  std::string packetSize = "246";
};

// The dialog as it opens: filled from the settings file, not from the settings in memory. A
// position the list does not have leaves it without a selection; a missing key gives position 0
// or the default text.
PropertiesForm ReadPropertiesForm(const std::string& settingsPath);

// The entry of COM`portNumber` in the COM Port list, with the device the number opens on this
// machine: "COM3 (/dev/ttyUSB0)", or "COM3 (none)" where no device stands behind it.
std::string ComPortListText(const Engine& engine, int portNumber);

enum class PropertiesOutcome {
  Refused,   // a message was shown; nothing changed and the dialog stays open
  Accepted,  // the settings are in force; the dialog closes
};

// OK. Refuses during a global download or an open exchange, and refuses a polling duration or
// packet size that is not a number or out of range, with the field's caption. Only when every
// value passes does it close an open port, take the five settings over, save them to
// `settingsPath` (a failed save is reported; the settings stay in force), reopen the port with
// them and show the settings in force in the main window.
PropertiesOutcome PressPropertiesOk(Engine& engine, const PropertiesForm& form,
                                    const std::string& settingsPath);

}  // namespace tarvik
