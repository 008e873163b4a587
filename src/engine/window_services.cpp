#include "engine/window_services.h"

#include <cstdio>

namespace tarvik {

WindowServices::~WindowServices() = default;

std::string_view FieldCaption(SettingField field) {
  switch (field) {
    case SettingField::Direction: return "Direction";
    case SettingField::Disable: return "Disable";
    case SettingField::Inhibit: return "Inhibit";
    case SettingField::Security: return "Security";
    case SettingField::OptionalFuncs: return "Optional Funcs.";
    case SettingField::CommMode: return "Comm. Mode";
    case SettingField::BarcodeFunc: return "Barcode Func.";
    case SettingField::BarcodeInhibit: return "Barcode Inhibit";
  }
  return "";
}

std::string_view LabelCaption(Label label) {
  switch (label) {
    case Label::StackMode: return "Stack Mode";
    case Label::AckMode: return "ACK Mode";
    case Label::PollingMode: return "Polling Mode";
    case Label::DisplayMode: return "Display Mode";
    case Label::PollingDuration: return "Polling Duration (msec)";
    case Label::DeviceAddress: return "Device Address";
    case Label::Port: return "Port";
  }
  return "";
}

std::string FormatSettingValue(SettingField field, std::int32_t value) {
  char text[10];
  switch (field) {
    case SettingField::Disable:
    case SettingField::Security:
    case SettingField::OptionalFuncs:
    case SettingField::BarcodeFunc:
      std::snprintf(text, sizeof text, "%02X %02X", static_cast<unsigned>((value >> 8) & 0xFF),
                    static_cast<unsigned>(value & 0xFF));
      break;
    default:
      std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
      break;
  }
  return text;
}

void WindowServices::ShowSettings(const SettingsSnapshot& store) {
  const struct {
    SettingField field;
    std::int32_t value;
  } rows[] = {
      {SettingField::Direction, store.directionSetting},
      {SettingField::Disable, store.disableSetting},
      {SettingField::Inhibit, store.inhibitSetting},
      {SettingField::Security, store.securitySetting},
      {SettingField::OptionalFuncs, store.functionSetting},
      {SettingField::CommMode, store.commModeSetting},
      {SettingField::BarcodeFunc, store.barcodeFunctionSetting},
      {SettingField::BarcodeInhibit, store.barcodeInhibitSetting},
  };
  for (const auto& row : rows) ShowSettingValue(row.field, FormatSettingValue(row.field, row.value));
}

void WindowServices::ShowDownloadProgress(const DownloadProgress&) {}

void AppendToLogBoxText(std::string& box, std::string_view text, std::size_t limit) {
  box.append(text);
  std::size_t cut = 0;
  while (box.size() - cut > limit) {
    const std::size_t lineFeed = box.find('\n', cut);
    if (lineFeed == std::string::npos) {
      box.clear();
      return;
    }
    cut = lineFeed + 1;
  }
  box.erase(0, cut);
}

}  // namespace tarvik
