// Window services that do nothing and keep nothing, for benchmarks and fuzz targets where the
// front-end's cost and memory must not count. Yes/No questions are answered Ok (neither).
#pragma once

#include <string>
#include <string_view>

#include "engine/window_services.h"

namespace tarvik::testing {

class NullWindowServices : public WindowServices {
 public:
  void StartTimer(int, int) override {}
  void StopTimer(int) override {}
  MessageResult ShowMessage(std::string_view, MessageIcon, MessageButtons,
                            std::string_view) override {
    return MessageResult::Ok;
  }
  void ShowValidatorStatus(std::string_view) override {}
  void ShowCommStatus(std::string_view) override {}
  void ShowVersion(std::string_view) override {}
  void ShowBootVersion(std::string_view) override {}
  void ShowMachineNumber(std::string_view) override {}
  void ShowSettingValue(SettingField, std::string_view) override {}
  void SetLabelText(Label, std::string_view) override {}
  std::string GetLabelText(Label) override { return {}; }
  void AppendLogText(std::string_view) override {}
  std::string GetLogText() override { return {}; }
  void ClearLogBox() override {}
  void EnableDownloadButton(DownloadButton, bool) override {}
  void EndProgram() override {}
};

}  // namespace tarvik::testing
