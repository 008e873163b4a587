#include "engine/log_tab.h"

#include <cerrno>
#include <cstring>

#include "engine/comm_log.h"

namespace tarvik {

std::string_view LogButtonText(const Engine& engine) {
  return engine.state.logRecordingStopped.load() != 0 ? kLogStartText : kLogStopText;
}

void BrowseLogFile(Engine& engine, LogTabState& tab, const std::optional<std::string>& chosen) {
  if (!chosen) {
    tab.pathField.clear();
    tab.buttonEnabled = false;
    return;
  }
  tab.logFilePath = *chosen;
  tab.pathField = *chosen;
  // A recording never continues into a file other than the one it was started on.
  CloseLogFile(engine);
  tab.buttonEnabled = true;
}

void PressLogButton(Engine& engine, LogTabState& tab) {
  EngineState& s = engine.state;
  if (s.logRecordingStopped.load() != 0) {
    s.logRecordingStopped.store(0);
    if (!OpenLogFile(engine, tab.logFilePath)) {
      // The box's own text first, then which file and why, so the operator can fix it.
      const std::string why = tab.logFilePath + ": " + std::strerror(errno) + "\n";
      engine.ui.ShowMessage(std::string(kLogFileOpenErrorText) + why, MessageIcon::Exclamation,
                            MessageButtons::Ok);
    }
    return;
  }
  s.logRecordingStopped.store(1);
  if (!CloseLogFile(engine)) {
    engine.ui.ShowMessage(kLogFileStillClosedText, MessageIcon::Exclamation, MessageButtons::Ok);
  }
}

}  // namespace tarvik
