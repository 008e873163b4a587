#include "engine/properties.h"

#include <optional>

#include "engine/port_control.h"
#include "engine/settings.h"

namespace tarvik {

namespace {

// The list position a file value selects: kNoSelection for a number the list does not have.
int Position(const std::optional<std::string>& text, int count) {
  if (!text) return 0;
  const std::int32_t position = SettingsNumber(*text);
  return position >= 0 && position < count ? position : kNoSelection;
}

// A number field's text checked as OK checks it: every character a digit, the first also '+'
// or '-', then the range. An empty text is not a number. Shows the refusal with the field's
// caption and returns nothing when the text does not pass.
std::optional<std::int32_t> CheckNumberField(Engine& engine, std::string_view text,
                                             std::string_view caption, std::int32_t min,
                                             std::int32_t max, std::string_view rangeText) {
  bool isNumber = !text.empty();
  for (std::size_t i = 0; i < text.size() && isNumber; ++i) {
    const char c = text[i];
    isNumber = (c >= '0' && c <= '9') || (i == 0 && (c == '+' || c == '-'));
  }
  if (!isNumber) {
    engine.ui.ShowMessage(kNotANumberText, MessageIcon::None, MessageButtons::Ok, caption);
    return std::nullopt;
  }
  const std::int32_t number = SettingsNumber(text);
  if (number < min || number > max) {
    engine.ui.ShowMessage(rangeText, MessageIcon::None, MessageButtons::Ok, caption);
    return std::nullopt;
  }
  return number;
}

}  // namespace

PropertiesForm ReadPropertiesForm(const std::string& settingsPath) {
  const SettingsTexts texts = ReadSettingsTexts(settingsPath);
  PropertiesForm form;
  form.comPort = Position(texts.comPort, kComPortCount);
  form.baudRate = Position(texts.baudRate, static_cast<int>(kBaudRateTexts.size()));
  if (texts.pollingDuration) form.pollingDuration = *texts.pollingDuration;
  form.operatingMode = Position(texts.operatingMode, static_cast<int>(kOperatingModeTexts.size()));
  if (texts.packetSize) form.packetSize = *texts.packetSize;
  return form;
}

std::string ComPortListText(const Engine& engine, int portNumber) {
  const std::string device = engine.port.DeviceForPort(portNumber);
  return "COM" + std::to_string(portNumber) + " (" + (device.empty() ? "none" : device) + ")";
}

PropertiesOutcome PressPropertiesOk(Engine& engine, const PropertiesForm& form,
                                    const std::string& settingsPath) {
  EngineState& s = engine.state;
  if (s.globalDownloadActive.load() != 0) {
    engine.ui.ShowMessage(kSettingsDownloadRunningText, MessageIcon::None, MessageButtons::Ok);
    return PropertiesOutcome::Refused;
  }
  if (s.awaitingResponse.load() != 0) {
    engine.ui.ShowMessage(kSettingsTransactionOpenText, MessageIcon::None, MessageButtons::Ok);
    return PropertiesOutcome::Refused;
  }

  // Both fields are checked before anything changes: a typo must not leave the engineer with a
  // closed port and half of the new settings in force.
  const std::optional<std::int32_t> polling =
      CheckNumberField(engine, form.pollingDuration, kPollingDurationCaption, kMinPollingDurationMs,
                       kMaxPollingDurationMs, kPollingRangeText);
  if (!polling) return PropertiesOutcome::Refused;
  const std::optional<std::int32_t> packetSize =
      CheckNumberField(engine, form.packetSize, kPacketSizeCaption, kMinPacketSize, kMaxPacketSize,
                       kPacketRangeText);
  if (!packetSize) return PropertiesOutcome::Refused;

  // The port toggle repeats the two refusals above, so it can refuse only if an exchange opened
  // since; then nothing has changed yet and the dialog stays open.
  if (s.portOpen.load() != 0 && !ToggleComPort(engine)) return PropertiesOutcome::Refused;

  s.com_port_index.store(form.comPort);
  s.baud_rate_index.store(form.baudRate);
  s.polling_duration.store(*polling);
  s.ope_mode_index.store(form.operatingMode);
  s.download_packet_size.store(*packetSize);

  std::string why;
  if (!SaveSettings(engine, settingsPath, &why)) {
    engine.ui.ShowMessage(std::string(kSettingsSaveErrorText) + " " + why + ". " +
                              std::string(kSettingsSaveErrorConsequence),
                          MessageIcon::Exclamation, MessageButtons::Ok);
  }

  // Failing to open is reported by the toggle; the port then stays closed until a later OK.
  if (s.portOpen.load() == 0) ToggleComPort(engine);
  ShowUserSettings(engine);
  return PropertiesOutcome::Accepted;
}

}  // namespace tarvik
