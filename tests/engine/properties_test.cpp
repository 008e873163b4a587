#include "engine/properties.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "engine/port_control.h"
#include "engine/settings.h"
#include "engine/settings_fixture.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

namespace fs = std::filesystem;

const std::string kStartFile =
    "[BEXALTOOL]\nCOM PORT=0\nBAUD RATE=0\nPOLLING DURATION=200\nOPERATING MODE=0\n"
    "DOWNLOAD PACKET SIZE=246\n";

// A settings file in a fresh directory, an engine that loaded it and an open port.
class PropertiesTest : public testing::SettingsFileTest {
 protected:
  void StartWithOpenPort() {
    Write(kStartFile);
    LoadSettings(engine, path);
    ASSERT_TRUE(ToggleComPort(engine));
    ui.ClearCalls();
  }
};

// --- The dialog as it opens: the file's contents, not the settings in memory -----------------

struct FormCase {
  const char* name;
  std::optional<std::string> file;  // nothing: no file at all
  PropertiesForm expected;
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class ReadPropertiesFormTest : public PropertiesTest,
                               public ::testing::WithParamInterface<FormCase> {};

TEST_P(ReadPropertiesFormTest, FillsTheControlsFromTheFile) {
  const FormCase& c = GetParam();
  if (c.file) Write(*c.file);
  engine.state.com_port_index = 7;  // memory is not what the dialog shows
  const PropertiesForm form = ReadPropertiesForm(path);
  EXPECT_EQ(form.comPort, c.expected.comPort);
  EXPECT_EQ(form.baudRate, c.expected.baudRate);
  EXPECT_EQ(form.pollingDuration, c.expected.pollingDuration);
  EXPECT_EQ(form.operatingMode, c.expected.operatingMode);
  EXPECT_EQ(form.packetSize, c.expected.packetSize);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadPropertiesFormTest,
    ::testing::Values(
        FormCase{"MissingFileGivesTheDefaults", std::nullopt, {0, 0, "200", 0, "246"}},
        FormCase{"AllKeys",
                 "[BEXALTOOL]\nCOM PORT=19\nBAUD RATE=2\nPOLLING DURATION=500\n"
                 "OPERATING MODE=1\nDOWNLOAD PACKET SIZE=64\n",
                 {19, 2, "500", 1, "64"}},
        // Cut to 2 characters, "123" selects position 12 (COM13).
        FormCase{
            "ComPortCutToTwoCharacters", "[BEXALTOOL]\nCOM PORT=123\n", {12, 0, "200", 0, "246"}},
        // Positions the lists do not have leave them without a selection.
        FormCase{"PositionsOutsideTheLists",
                 "[BEXALTOOL]\nCOM PORT=20\nBAUD RATE=3\nOPERATING MODE=2\n",
                 {kNoSelection, kNoSelection, "200", kNoSelection, "246"}},
        FormCase{
            "NegativePosition", "[BEXALTOOL]\nCOM PORT=-1\n", {kNoSelection, 0, "200", 0, "246"}},
        // The field texts come unconverted, cut to what the fields hold.
        FormCase{"FieldTextsUnconverted",
                 "[BEXALTOOL]\nPOLLING DURATION=1234567\nDOWNLOAD PACKET SIZE=ab\n",
                 {0, 0, "12345", 0, "ab"}},
        FormCase{"EmptyValuesGiveTheDefaults",
                 "[BEXALTOOL]\nCOM PORT=\nPOLLING DURATION=\nDOWNLOAD PACKET SIZE=\n",
                 {0, 0, "200", 0, "246"}}),
    [](const auto& param) { return std::string(param.param.name); });

// --- OK: the two number fields ------------------------------------------------------------

struct OkCase {
  const char* name;
  std::string pollingText;
  std::string packetText;
  std::string refusal;  // the message, empty when OK succeeds
};

void PrintTo(const OkCase& c, std::ostream* os) { *os << c.name; }

class PropertiesOkTest : public PropertiesTest, public ::testing::WithParamInterface<OkCase> {};

const std::string kPollingNotANumber = "Message (Polling Duration): Error : Not a number.";
const std::string kPollingRange =
    "Message (Polling Duration): Error : The value must not be less than 10 and greater than "
    "30000.";
const std::string kPacketNotANumber = "Message (Download Packet Size): Error : Not a number.";
const std::string kPacketRange =
    "Message (Download Packet Size): Error : The value must not be less than 1 and greater "
    "than 246.";

TEST_P(PropertiesOkTest, ChecksBothFieldsBeforeAnythingChanges) {
  const OkCase& c = GetParam();
  StartWithOpenPort();
  const PropertiesForm form{3, 2, c.pollingText, 1, c.packetText};

  const PropertiesOutcome outcome = PressPropertiesOk(engine, form, path);

  if (!c.refusal.empty()) {
    EXPECT_EQ(outcome, PropertiesOutcome::Refused);
    EXPECT_EQ(ui.CallsStartingWith("Message"), std::vector<std::string>{c.refusal});
    // A refused OK leaves the port open and every setting as it was, in memory and on disk.
    EXPECT_EQ(engine.state.portOpen, 1);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_TRUE(ui.IsRunning(kPollingTimer));
    EXPECT_EQ(engine.state.com_port_index, 0);
    EXPECT_EQ(engine.state.baud_rate_index, 0);
    EXPECT_EQ(engine.state.polling_duration, 200);
    EXPECT_EQ(engine.state.ope_mode_index, 0);
    EXPECT_EQ(engine.state.download_packet_size, 246);
    EXPECT_EQ(Read(), kStartFile);
    EXPECT_TRUE(ui.CallsStartingWith("Label").empty());
    return;
  }

  EXPECT_EQ(outcome, PropertiesOutcome::Accepted);
  EXPECT_TRUE(ui.CallsStartingWith("Message").empty());
  const std::int32_t polling = SettingsNumber(c.pollingText);
  const std::int32_t packet = SettingsNumber(c.packetText);
  EXPECT_EQ(engine.state.com_port_index, 3);
  EXPECT_EQ(engine.state.baud_rate_index, 2);
  EXPECT_EQ(engine.state.polling_duration, polling);
  EXPECT_EQ(engine.state.ope_mode_index, 1);
  EXPECT_EQ(engine.state.download_packet_size, packet);
  // Saved, and the port reopened with the new settings, polling at the new period.
  EXPECT_EQ(Read(),
            "[BEXALTOOL]\nCOM PORT=3\nBAUD RATE=2\nPOLLING DURATION=" + std::to_string(polling) +
                "\nOPERATING MODE=1\nDOWNLOAD PACKET SIZE=" + std::to_string(packet) + "\n");
  EXPECT_EQ(engine.state.portOpen, 1);
  EXPECT_EQ(link.LastPortNumber(), 4);
  EXPECT_EQ(link.LastBaudRate(), 38400);
  EXPECT_EQ(ui.PeriodOf(kPollingTimer), polling);
  // The main window shows the settings in force, not those of the start.
  EXPECT_EQ(ui.LabelText(Label::PollingDuration), std::to_string(polling));
  EXPECT_EQ(ui.LabelText(Label::Port), "4");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PropertiesOkTest,
    ::testing::Values(OkCase{"PlusSignAccepted", "+50", "246", ""},
                      OkCase{"MinusPassesTheCharactersNotTheRange", "-5", "246", kPollingRange},
                      OkCase{"SignAfterDigits", "5-", "246", kPollingNotANumber},
                      OkCase{"PollingBelowRange", "9", "246", kPollingRange},
                      OkCase{"PollingLowest", "10", "246", ""},
                      OkCase{"PollingHighest", "30000", "246", ""},
                      OkCase{"PollingAboveRange", "30001", "246", kPollingRange},
                      OkCase{"PollingEmpty", "", "246", kPollingNotANumber},
                      OkCase{"PollingBlank", " 200", "246", kPollingNotANumber},
                      OkCase{"PacketZero", "200", "0", kPacketRange},
                      OkCase{"PacketLowest", "200", "1", ""},
                      OkCase{"PacketHighest", "200", "246", ""},
                      OkCase{"PacketAboveRange", "200", "247", kPacketRange},
                      OkCase{"PacketEmpty", "200", "", kPacketNotANumber},
                      OkCase{"PacketLetters", "200", "1a", kPacketNotANumber},
                      // The polling duration is checked first; only its refusal shows.
                      OkCase{"BothWrong", "x", "0", kPollingNotANumber}),
    [](const auto& param) { return std::string(param.param.name); });

// --- OK refused while the line is busy -----------------------------------------------------

struct BusyCase {
  const char* name;
  std::atomic<std::int32_t> EngineState::*flag;
  std::string message;
};

void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.name; }

class PropertiesBusyTest : public PropertiesTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(PropertiesBusyTest, RefusesAndChangesNothing) {
  StartWithOpenPort();
  (engine.state.*GetParam().flag).store(1);
  EXPECT_EQ(PressPropertiesOk(engine, {5, 1, "300", 1, "100"}, path), PropertiesOutcome::Refused);
  EXPECT_EQ(ui.Calls(), std::vector<std::string>{GetParam().message});
  EXPECT_EQ(engine.state.com_port_index, 0);
  EXPECT_EQ(engine.state.polling_duration, 200);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(Read(), kStartFile);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PropertiesBusyTest,
    ::testing::Values(
        BusyCase{"GlobalDownload", &EngineState::globalDownloadActive,
                 "Message: You can not change the settings until download is completed."},
        BusyCase{"OpenExchange", &EngineState::awaitingResponse,
                 "Message: You can not change the settings until the current transaction is "
                 "completed."}),
    [](const auto& param) { return std::string(param.param.name); });

// --- OK: what is saved and what happens when saving or reopening fails ----------------------

TEST_F(PropertiesTest, OperatingModeWithoutSelectionIsSavedAsMinusOne) {
  Write("[BEXALTOOL]\nOPERATING MODE=2\n");
  LoadSettings(engine, path);
  EXPECT_EQ(engine.state.ope_mode_index, 2) << "any value but 0 is Test mode";
  const PropertiesForm form = ReadPropertiesForm(path);
  ASSERT_EQ(form.operatingMode, kNoSelection);

  EXPECT_EQ(PressPropertiesOk(engine, form, path), PropertiesOutcome::Accepted);
  EXPECT_EQ(engine.state.ope_mode_index, -1);
  EXPECT_NE(Read().find("OPERATING MODE=-1\n"), std::string::npos) << Read();
}

TEST_F(PropertiesTest, AFailedSaveIsReportedAndTheSettingsStayInForce) {
  StartWithOpenPort();
  const std::string blocked = path + "/BEXALTOOL.INI";  // below a regular file: never writable

  EXPECT_EQ(PressPropertiesOk(engine, {1, 1, "300", 0, "100"}, blocked),
            PropertiesOutcome::Accepted);

  const std::vector<std::string> messages = ui.CallsStartingWith("Message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("Message [!]: Settings Save Error! ", 0), 0u) << messages[0];
  EXPECT_NE(messages[0].find(blocked), std::string::npos) << "the message names the file";
  EXPECT_NE(messages[0].find("Not a directory"), std::string::npos) << "and says why";
  EXPECT_EQ(engine.state.polling_duration, 300);
  EXPECT_EQ(engine.state.portOpen, 1);
  EXPECT_EQ(link.LastPortNumber(), 2);
}

TEST_F(PropertiesTest, APortThatDoesNotReopenIsReportedAfterTheSave) {
  StartWithOpenPort();
  link.RefuseOpen(true);

  EXPECT_EQ(PressPropertiesOk(engine, {7, 0, "200", 0, "246"}, path), PropertiesOutcome::Accepted);

  EXPECT_EQ(
      ui.CallsStartingWith("Message"),
      std::vector<std::string>{"Message: This COM port is not available. Use another COM port."});
  EXPECT_EQ(engine.state.portOpen, 0);
  EXPECT_FALSE(ui.IsRunning(kPollingTimer));
  EXPECT_NE(Read().find("COM PORT=7\n"), std::string::npos);
  EXPECT_EQ(ui.LabelText(Label::Port), "8");
}

// --- The COM Port list --------------------------------------------------------------------

// A machine where COM1 and COM3 have devices behind them.
class TwoDeviceLink : public FakeSerialLink {
 public:
  std::string DeviceForPort(int portNumber) const override {
    if (portNumber == 1) return "/dev/ttyS0";
    if (portNumber == 3) return "/dev/serial/by-id/usb-adapter-if00";
    return {};
  }
};

TEST(ComPortListTextTest, ShowsTheDeviceOrNone) {
  FakeWindowServices ui;
  TwoDeviceLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  const struct {
    int port;
    const char* text;
  } rows[] = {
      {1, "COM1 (/dev/ttyS0)"},
      {2, "COM2 (none)"},
      {3, "COM3 (/dev/serial/by-id/usb-adapter-if00)"},
      {20, "COM20 (none)"},
  };
  for (const auto& row : rows) EXPECT_EQ(ComPortListText(engine, row.port), row.text);
}

}  // namespace
}  // namespace tarvik
