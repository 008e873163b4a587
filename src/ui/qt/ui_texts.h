// Every text the Qt window shows of its own, kept in one place so a change of wording is one
// edit. Odd spellings are the program's own and stay as they are.
#pragma once

#include "tarvik_version.h"

namespace tarvik::qt {

inline constexpr const char* kProgramName = "TARVIK Host Simulator";
inline constexpr const char* kVersionText = "TARVIK Host Simulator  Ver " TARVIK_VERSION;
inline constexpr const char* kAboutMenuText = "TARVIKHostSimulator Version Information";
inline constexpr const char* kAboutTitle = "TARVIK Host Simulator Version Information";
inline constexpr const char* kAboutLine = "TARVIK Host Simulator Version " TARVIK_VERSION;

// Properties dialog (its check and refusal texts are the engine's, shared with the console).
inline constexpr const char* kPropertiesTitle = "Properties";
inline constexpr const char* kPropertiesAlreadyOpen = "This dialog box has already been opened.";
inline constexpr const char* kComPortCaption = "COM Port :";
inline constexpr const char* kBaudRateCaption = "Baud Rate :";
inline constexpr const char* kPollingFieldCaption =
    "Polling Duration for Status Requests (10 - 30,000 mseconds) :";
inline constexpr const char* kOperatingModeCaption = "Operating Mode :";
inline constexpr const char* kPacketFieldCaption = "Download Packet Size (1 - 246 bytes) :";
inline constexpr const char* kOkButton = "OK";
inline constexpr const char* kCancelButton = "Cancel";

// Log page.
inline constexpr const char* kLogFileCaption = "Log File";
inline constexpr const char* kBrowseButton = "Browse";
inline constexpr const char* kSaveCaption = "Save";
inline constexpr const char* kLogFileDialogTitle = "Log File";
inline constexpr const char* kLogFileFilter = "All (*.*)";

// Menus.
inline constexpr const char* kFileMenu = "&File";
inline constexpr const char* kExitItem = "E&xit";
inline constexpr const char* kConnectionMenu = "&Connection";
inline constexpr const char* kPropertiesItem = "&Properties";
inline constexpr const char* kHelpMenu = "&Help";
inline constexpr const char* kVersionItem = "&Version";
inline constexpr const char* kShowTimestampsItem = "Show Timestamps";
inline constexpr const char* kStatisticsItem = "Statistics";

// The "Statistics" window.
inline constexpr const char* kStatisticsTitle = "Statistics";
inline constexpr const char* kRefreshButton = "Refresh";

// Tab pages.
inline constexpr const char* kInfoTabTitle = "Validator Information";
inline constexpr const char* kDownloadTabTitle = "Download";
inline constexpr const char* kLogTabTitle = "Log";

// "User Settings" group.
inline constexpr const char* kUserSettingsGroup = "User Settings";
inline constexpr const char* kStackModeButton = "Stack Mode ( L )";
inline constexpr const char* kAckModeButton = "ACK Mode ( k )";
inline constexpr const char* kPollingModeButton = "Polling Mode ( O )";
inline constexpr const char* kDisplayModeButton = "Display Mode ( \u2191 )";
inline constexpr const char* kStackModeInitial = "[ Stack1 ]";
inline constexpr const char* kAckModeInitial = "AUTO";
inline constexpr const char* kPollingModeInitial = "[ AUTO ]";
inline constexpr const char* kDisplayModeInitial = "Binary and Full";
inline constexpr const char* kPollingDurationCaption = "Polling Duration (msec)";
inline constexpr const char* kDeviceAddressCaption = "Device Address";
inline constexpr const char* kPortCaption = "Port";
inline constexpr const char* kExitButton = "Exit ( &X )";

// Download page (its field captions are the engine's, shared with the console).
// The Browse button shares kBrowseButton with the Log page.
inline constexpr const char* kNormalDownloadButton = "Normal Download";
inline constexpr const char* kGlobalDownloadButton = "Global Download";
inline constexpr const char* kTargetFileDialogTitle = "Target File";
inline constexpr const char* kTargetFileFilter = "All (*.*)";
inline constexpr const char* kNoDownloadText = "No download running.";

// Validator Information page.
inline constexpr const char* kValidatorStatusCaption = "Validator Status";
inline constexpr const char* kCommStatusCaption = "Comminucation Status";
inline constexpr const char* kVersionCaption = "Version";
inline constexpr const char* kBootVersionCaption = "Boot ROM Version";
inline constexpr const char* kMachineNumberCaption = "Machine No.";

}  // namespace tarvik::qt
