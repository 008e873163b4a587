#include "engine/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "engine/settings_fixture.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

namespace fs = std::filesystem;

using testing::SettingsFileTest;

struct LoadCase {
  const char* name;
  std::optional<std::string> file;  // nothing: no file at all
  std::int32_t comPort, baudRate, pollingMs, opeMode, packetSize;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class LoadSettingsTest : public SettingsFileTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadSettingsTest, ReadsTheFiveKeys) {
  const LoadCase& c = GetParam();
  // Values a previous load left must not survive a key the file lacks.
  engine.state.com_port_index = 7;
  engine.state.polling_duration = 999;
  if (c.file) Write(*c.file);

  LoadSettings(engine, path);

  EXPECT_EQ(engine.state.com_port_index, c.comPort);
  EXPECT_EQ(engine.state.baud_rate_index, c.baudRate);
  EXPECT_EQ(engine.state.polling_duration, c.pollingMs);
  EXPECT_EQ(engine.state.ope_mode_index, c.opeMode);
  EXPECT_EQ(engine.state.download_packet_size, c.packetSize);
}

const std::string kHeader = "[BEXALTOOL]\n";

INSTANTIATE_TEST_SUITE_P(
    Files, LoadSettingsTest,
    ::testing::Values(
        LoadCase{"MissingFile", std::nullopt, 0, 0, 200, 0, 246},
        LoadCase{"EmptyFile", "", 0, 0, 200, 0, 246},
        LoadCase{"AllKeys",
                 kHeader + "COM PORT=3\nBAUD RATE=2\nPOLLING DURATION=500\nOPERATING MODE=1\n"
                           "DOWNLOAD PACKET SIZE=128\n",
                 3, 2, 500, 1, 128},
        // Each value is cut to the characters its key allows before it is converted.
        LoadCase{"CutToWidth",
                 kHeader + "COM PORT=123\nBAUD RATE=12\nPOLLING DURATION=1234567\n"
                           "DOWNLOAD PACKET SIZE=2460\n",
                 12, 1, 12345, 0, 246},
        LoadCase{"Signs",
                 kHeader + "COM PORT=-1\nBAUD RATE=-1\nPOLLING DURATION=+0050\nOPERATING MODE=+\n",
                 -1, 0, 50, 0, 246},
        // Digits up to the first other character; none at all give 0, not the default.
        LoadCase{"DigitsThenGarbage",
                 kHeader + "COM PORT=x5\nBAUD RATE=?\nPOLLING DURATION=12ab\nOPERATING MODE=2\n", 0,
                 0, 12, 2, 246},
        LoadCase{"EmptyValuesGiveDefaults",
                 kHeader + "COM PORT=\nPOLLING DURATION=   \nDOWNLOAD PACKET SIZE=\n", 0, 0, 200, 0,
                 246},
        LoadCase{"OtherSectionIgnored", "[OTHER]\nCOM PORT=5\nPOLLING DURATION=700\n", 0, 0, 200, 0,
                 246},
        LoadCase{"NamesIgnoreCaseAndBlanks",
                 "[ bexaltool ]\r\n  com port = 4 \r\nPolling Duration=\"300\"\r\n", 4, 0, 300, 0,
                 246},
        LoadCase{"FirstOccurrenceWins",
                 kHeader + "COM PORT=3\nCOM PORT=4\n[BEXALTOOL]\nCOM PORT=5\n", 3, 0, 200, 0, 246},
        LoadCase{"NoFinalNewline", kHeader + "OPERATING MODE=1", 0, 0, 200, 1, 246},
        // A period the dialog would refuse is brought into 10..30000; a packet size that the
        // download could not send becomes 246.
        LoadCase{"PollingClampedUp", kHeader + "POLLING DURATION=5\n", 0, 0, 10, 0, 246},
        LoadCase{"PollingWithoutDigitsClamped", kHeader + "POLLING DURATION=abc\n", 0, 0, 10, 0,
                 246},
        LoadCase{"PollingClampedDown", kHeader + "POLLING DURATION=99999\n", 0, 0, 30000, 0, 246},
        LoadCase{"PacketZeroReplaced", kHeader + "DOWNLOAD PACKET SIZE=0\n", 0, 0, 200, 0, 246},
        LoadCase{"PacketTooBigReplaced", kHeader + "DOWNLOAD PACKET SIZE=300\n", 0, 0, 200, 0, 246},
        LoadCase{"PacketNegativeReplaced", kHeader + "DOWNLOAD PACKET SIZE=-5\n", 0, 0, 200, 0,
                 246},
        LoadCase{"PacketEdgesKept", kHeader + "DOWNLOAD PACKET SIZE=1\nPOLLING DURATION=10\n", 0, 0,
                 10, 0, 1},
        // Zero bytes make it no settings text: not used at all (stderr says so).
        LoadCase{"BinaryGarbage",
                 std::string("\x00\xff\xfe[BEXALTOOL]\x00\n", 16) +
                     "COM PORT=\xff"
                     "9\n" +
                     std::string("\x00=\x00\n[\n]\n=\n", 10) + "[BEXALTOOL]\nBAUD RATE=2\n",
                 0, 0, 200, 0, 246},
        LoadCase{"HighBytesWithoutZeroBytes",
                 "\xff\xfe[BEXALTOOL]\nCOM PORT=\xff"
                 "9\n[\n]\n=\n[BEXALTOOL]\nBAUD RATE=2\n",
                 0, 2, 200, 0, 246},
        LoadCase{"HugeLineWithoutNewline", kHeader + "COM PORT=1" + std::string(200000, 'x'), 1, 0,
                 200, 0, 246}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(SettingsFileTest, AFileTooBigToBeSettingsGivesTheDefaults) {
  Write(kHeader + "COM PORT=5\n" + std::string(2 << 20, '\n'));
  LoadSettings(engine, path);
  EXPECT_EQ(engine.state.com_port_index, 0);
}

TEST_F(SettingsFileTest, SaveReplacesTheKeysAndKeepsEverythingElse) {
  Write(
      "; written by hand\n[OTHER]\nCOM PORT=1\n[BEXALTOOL]\nCOM PORT=9\nEXTRA=keep\n"
      "[LAST]\nB=2\n");
  engine.state.com_port_index = 4;
  engine.state.baud_rate_index = 1;
  engine.state.polling_duration = 300;
  engine.state.ope_mode_index = 1;
  engine.state.download_packet_size = 100;

  ASSERT_TRUE(SaveSettings(engine, path));

  EXPECT_EQ(Read(),
            "; written by hand\n[OTHER]\nCOM PORT=1\n[BEXALTOOL]\nCOM PORT=4\nEXTRA=keep\n"
            "BAUD RATE=1\nPOLLING DURATION=300\nOPERATING MODE=1\nDOWNLOAD PACKET SIZE=100\n"
            "[LAST]\nB=2\n");
}

TEST_F(SettingsFileTest, SaveCreatesTheDirectoryAndTheSectionAndReadsBack) {
  path = (dir / "new" / "deeper" / "BEXALTOOL.INI").string();
  engine.state.com_port_index = 19;
  engine.state.polling_duration = 30000;
  ASSERT_TRUE(SaveSettings(engine, path));
  EXPECT_EQ(Read(),
            "[BEXALTOOL]\nCOM PORT=19\nBAUD RATE=0\nPOLLING DURATION=30000\nOPERATING MODE=0\n"
            "DOWNLOAD PACKET SIZE=246\n");

  FakeWindowServices otherUi;
  Engine other{otherUi, link, clock};
  LoadSettings(other, path);
  EXPECT_EQ(other.state.com_port_index, 19);
  EXPECT_EQ(other.state.polling_duration, 30000);
}

TEST_F(SettingsFileTest, SaveKeepsCrlfLineEnds) {
  Write("[BEXALTOOL]\r\nBAUD RATE=2\r\n");
  ASSERT_TRUE(SaveSettings(engine, path));
  EXPECT_EQ(Read(),
            "[BEXALTOOL]\r\nBAUD RATE=0\r\nCOM PORT=0\r\nPOLLING DURATION=200\r\n"
            "OPERATING MODE=0\r\nDOWNLOAD PACKET SIZE=246\r\n");
}

TEST_F(SettingsFileTest, SaveFailsWhereNoFileCanBeWritten) {
  Write("x");
  // A path below a regular file can never be created.
  EXPECT_FALSE(SaveSettings(engine, path + "/BEXALTOOL.INI"));
  std::string why;
  EXPECT_FALSE(SaveSettings(engine, path + "/BEXALTOOL.INI", &why));
  EXPECT_NE(why.find(path + "/BEXALTOOL.INI"), std::string::npos) << why;
  EXPECT_NE(why.find("Not a directory"), std::string::npos) << why;
  EXPECT_EQ(Read(), "x");
}

// A file written on Windows: CR LF line ends, a comment, blank lines, another section and a last
// line without its line end. Only the five values change; every line keeps CR LF.
TEST_F(SettingsFileTest, AWindowsFileRoundTripsWithOnlyTheFiveValuesChanged) {
  Write(
      "; settings of the bench PC\r\n[OTHER TOOL]\r\nCOM PORT=7\r\n\r\n[BEXALTOOL]\r\n"
      "COM PORT=0\r\nBAUD RATE=0\r\n; polling in ms\r\nPOLLING DURATION=200\r\n"
      "OPERATING MODE=0\r\nDOWNLOAD PACKET SIZE=246\r\n\r\n[LAST]\r\nKEY=value");
  LoadSettings(engine, path);
  engine.state.com_port_index = 2;
  engine.state.baud_rate_index = 1;
  engine.state.polling_duration = 1000;
  engine.state.ope_mode_index = 1;
  engine.state.download_packet_size = 128;

  std::string why;
  ASSERT_TRUE(SaveSettings(engine, path, &why)) << why;

  EXPECT_EQ(Read(),
            "; settings of the bench PC\r\n[OTHER TOOL]\r\nCOM PORT=7\r\n\r\n[BEXALTOOL]\r\n"
            "COM PORT=2\r\nBAUD RATE=1\r\n; polling in ms\r\nPOLLING DURATION=1000\r\n"
            "OPERATING MODE=1\r\nDOWNLOAD PACKET SIZE=128\r\n\r\n[LAST]\r\nKEY=value\r\n");
  FakeWindowServices otherUi;
  Engine other{otherUi, link, clock};
  LoadSettings(other, path);
  EXPECT_EQ(other.state.com_port_index, 2);
  EXPECT_EQ(other.state.polling_duration, 1000);
  EXPECT_EQ(other.state.download_packet_size, 128);
}

// The new file replaces the old one by a rename: nothing is left beside it, the old file's
// permissions stay, and a file reached through a link is rewritten where it lives.
TEST_F(SettingsFileTest, SaveReplacesTheFileAtomicallyInPlace) {
  const fs::path real = dir / "real.ini";
  std::ofstream(real, std::ios::binary) << "[BEXALTOOL]\nCOM PORT=1\n";
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(real, path);
  engine.state.com_port_index = 5;

  ASSERT_TRUE(SaveSettings(engine, path));

  EXPECT_TRUE(fs::is_symlink(path)) << "the link stays a link";
  EXPECT_EQ(Read().substr(0, 23), "[BEXALTOOL]\nCOM PORT=5\n");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"BEXALTOOL.INI", "real.ini"}));
}

TEST_F(SettingsFileTest, InitialiseEngineLoadsAndShowsTheUserSettings) {
  Write(kHeader + "COM PORT=3\nPOLLING DURATION=500\n");
  engine.state.reapplySettings = 1;
  engine.state.commErrors = kRxTimeOutBit;
  engine.state.deviceAddress = kGlobalDeviceAddress;

  InitialiseEngine(engine, path);

  EXPECT_EQ(engine.state.stackMode, kStack1);
  EXPECT_EQ(engine.state.reapplySettings, 0);
  EXPECT_EQ(engine.state.commErrors, 0u);
  EXPECT_EQ(engine.state.deviceAddress, kNormalDeviceAddress);
  EXPECT_EQ(ui.CallsStartingWith("Label P"),
            (std::vector<std::string>{"Label Polling Duration (msec): 500", "Label Port: 4"}));
  EXPECT_EQ(ui.CallsStartingWith("Label Device"),
            std::vector<std::string>{"Label Device Address: 252"});
}

// Where the file lives without --settings.
TEST(DefaultSettingsPath, FollowsTheConfigurationDirectory) {
  const struct {
    const char* configHome;  // nullptr: unset
    const char* home;
    std::string expected;
  } cases[] = {
      {"/cfg", "/home/op", "/cfg/tarvik-host/BEXALTOOL.INI"},
      {"relative", "/home/op", "/home/op/.config/tarvik-host/BEXALTOOL.INI"},
      {nullptr, "/home/op", "/home/op/.config/tarvik-host/BEXALTOOL.INI"},
      {nullptr, nullptr, "BEXALTOOL.INI"},
  };
  const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::optional<std::string> oldConfig =
      savedConfig ? std::optional<std::string>(savedConfig) : std::nullopt;
  const std::optional<std::string> oldHome =
      savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
  auto set = [](const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    set("XDG_CONFIG_HOME", c.configHome);
    set("HOME", c.home);
    EXPECT_EQ(DefaultSettingsPath(), c.expected);
  }
  set("XDG_CONFIG_HOME", oldConfig ? oldConfig->c_str() : nullptr);
  set("HOME", oldHome ? oldHome->c_str() : nullptr);
}

}  // namespace
}  // namespace tarvik

namespace tarvik {
namespace {

// A file that cannot be settings text is not used: the defaults hold and stderr says why, and
// nothing waits on a FIFO or drains a device named by mistake.
TEST_F(SettingsFileTest, AFileThatIsNotSettingsTextGivesTheDefaultsAndSaysWhy) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* reason;  // in the stderr line; empty: nothing said
  } cases[] = {
      {"missing", [](const std::string&) {}, ""},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, "it is a directory"},
      {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "it is not a regular file"},
      {"2 MiB",
       [](const std::string& p) {
         std::ofstream(p) << "[BEXALTOOL]\nCOM PORT=3\n" << std::string(2 << 20, ';');
       },
       "larger than 1 MiB"},
      {"binary",
       [](const std::string& p) {
         std::ofstream(p, std::ios::binary) << std::string("[BEXALTOOL]\nCOM PORT=3\n\0\x01", 25);
       },
       "binary data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(path, ignored);
    c.make(path);
    engine.state.com_port_index = 7;
    ::testing::internal::CaptureStderr();
    LoadSettings(engine, path);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine.state.com_port_index, 0);
    if (c.reason[0] == '\0') {
      EXPECT_EQ(said, "");
    } else {
      EXPECT_NE(said.find(path), std::string::npos) << said;
      EXPECT_NE(said.find(c.reason), std::string::npos) << said;
    }
  }
}

}  // namespace
}  // namespace tarvik
