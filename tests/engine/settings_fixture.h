// An engine on fakes beside a settings file path in a fresh directory, removed afterwards: what
// the settings-file and Properties tests start from.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/fake_window_services.h"

namespace tarvik::testing {

class SettingsFileTest : public ::testing::Test {
 protected:
  SettingsFileTest() {
    std::string pattern = ::testing::TempDir() + "settings-XXXXXX";
    dir = mkdtemp(pattern.data());
    path = (dir / "BEXALTOOL.INI").string();
    ui.Attach(&engine);
  }
  ~SettingsFileTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  void Write(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
  std::string Read() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir;
  std::string path;
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

}  // namespace tarvik::testing
