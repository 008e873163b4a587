#include "engine/main_window_operations.h"

#include "engine/comm_log.h"
#include "engine/port_control.h"

namespace tarvik {

namespace {
constexpr char kPollCharacter = 'S';
}

void PressPollButton(Engine& engine) {
  engine.state.lastStatus.store(0);
  engine.state.statusChanged.store(1);
  PostPendingCommand(engine, kPollCharacter);
}

bool PressChangeButton(Engine& engine, const ValueBox& box, std::string_view boxText) {
  int result = kEntryAccepted;
  ParseSettingValue(engine, boxText, box.maxLength, box.code, result);
  if (result != kEntryAccepted) {
    ShowErrorMessage(engine, result);
    return false;
  }
  PostPendingCommand(engine, box.character);
  return true;
}

bool ConfirmExit(Engine& engine, bool ask) {
  if (IsLogFileOpen(engine)) {
    engine.ui.ShowMessage(kCloseLogFirst, MessageIcon::None, MessageButtons::Ok);
    return false;
  }
  if (ask && engine.ui.ShowMessage(kExitQuestion, MessageIcon::Question, MessageButtons::YesNo) !=
                 MessageResult::Yes) {
    return false;
  }
  return engine.state.portOpen.load() == 0 || ToggleComPort(engine);
}

}  // namespace tarvik
