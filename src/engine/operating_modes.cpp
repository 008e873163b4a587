#include "engine/operating_modes.h"

#include <array>
#include <string>
#include <string_view>

namespace tarvik {

namespace {

// Label texts, indexed by the mode value.
constexpr std::array<std::string_view, 4> kStackModeLabels{"[Manual]", "[ Stack1 ]", "[ Stack2 ]",
                                                           "[ Reject ]"};
constexpr std::string_view kAckAutoLabel = "AUTO";
constexpr std::string_view kAckManuLabel = "MANU";
constexpr std::string_view kPollingAutoLabel = "[ AUTO ]";
constexpr std::string_view kPollingManuLabel = "[ MANU ]";
constexpr std::string_view kBinaryFullLabel = "Binary and Full";
constexpr std::string_view kTextLimitedLabel = "Text and Limited";

// The stack mode after `mode` in the button's cycle: Stack1, Stack2, Reject, Manual, Stack1.
constexpr std::int32_t NextStackMode(std::int32_t mode) {
  return mode == kStackReject ? kStackManual : mode + 1;
}

}  // namespace

void SetStackMode(Engine& engine, std::int32_t mode) { engine.state.stackMode.store(mode); }
std::int32_t GetStackMode(Engine& engine) { return engine.state.stackMode.load(); }
void SetAckMode(Engine& engine, std::uint8_t mode) { engine.state.ackMode.store(mode); }
std::uint8_t GetAckMode(Engine& engine) { return engine.state.ackMode.load(); }
void SetPollingMode(Engine& engine, std::int32_t mode) { engine.state.pollingMode.store(mode); }
std::int32_t GetPollingMode(Engine& engine) { return engine.state.pollingMode.load(); }
std::int32_t GetDisplayMode(Engine& engine) { return engine.state.displayMode.load(); }

void SetDisplayMode(Engine& engine, std::int32_t mode) {
  engine.state.displayMode.store(mode);
  engine.ui.SetLabelText(Label::DisplayMode,
                         mode == kDisplayBinaryFull ? kBinaryFullLabel : kTextLimitedLabel);
}

void ApplyPollingMode(Engine& engine, std::int32_t mode) {
  const bool manual = mode == kPollingManu;
  engine.ui.SetLabelText(Label::PollingMode, manual ? kPollingManuLabel : kPollingAutoLabel);
  engine.state.pollingMode.store(manual ? kPollingManu : kPollingAuto);
}

// The label, not the field, says where the cycle stands; a label the button does not know
// leaves both alone.
void ChangeStackMode(Engine& engine) {
  const std::string shown = engine.ui.GetLabelText(Label::StackMode);
  for (std::size_t mode = 0; mode < kStackModeLabels.size(); ++mode) {
    if (shown != kStackModeLabels[mode]) continue;
    const std::int32_t next = NextStackMode(static_cast<std::int32_t>(mode));
    engine.ui.SetLabelText(Label::StackMode, kStackModeLabels[static_cast<std::size_t>(next)]);
    SetStackMode(engine, next);
    return;
  }
}

void ToggleAckMode(Engine& engine) {
  const std::uint8_t mode = GetAckMode(engine);
  if (mode == kAckManu) {
    SetAckMode(engine, kAckAuto);
    engine.ui.SetLabelText(Label::AckMode, kAckAutoLabel);
  } else if (mode == kAckAuto) {
    SetAckMode(engine, kAckManu);
    engine.ui.SetLabelText(Label::AckMode, kAckManuLabel);
  }
}

void TogglePollingMode(Engine& engine) {
  ApplyPollingMode(engine, GetPollingMode(engine) == kPollingAuto ? kPollingManu : kPollingAuto);
}

// The status request goes through the worker, so only the worker thread ever enters the sender;
// the forced change flags make its answer show even in "Text and Limited".
void ToggleDisplayMode(Engine& engine) {
  EngineState& s = engine.state;
  SetDisplayMode(engine, GetDisplayMode(engine) == kDisplayBinaryFull ? kDisplayTextLimited
                                                                      : kDisplayBinaryFull);
  engine.ui.ClearLogBox();
  if (s.normalDownloadActive.load() == 1) return;
  s.lastStatus.store(0);
  s.statusChanged.store(1);
  s.immediateStatusRequest.store(1);
  WakeWorker(engine);
}

}  // namespace tarvik
