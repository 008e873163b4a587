// An engine on fakes beside a settings file path in a fresh directory, removed afterwards: what
// the settings-file and Properties tests start from.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/fake_window_services.h"
#include "support/scratch_dir.h"

namespace tarvik::testing {

class SettingsFileTest : public ::testing::Test {
 protected:
  SettingsFileTest() {
    path = (dir / "BEXALTOOL.INI").string();
    ui.Attach(&engine);
  }

  void Write(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
  std::string Read() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ScratchDir scratch{"settings"};
  const std::filesystem::path dir = scratch.Path();
  std::string path;
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

}  // namespace tarvik::testing
