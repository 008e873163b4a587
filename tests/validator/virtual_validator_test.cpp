#include "validator/virtual_validator.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "validator_test_support.h"

namespace tarvik::validator {
namespace {

using testing::Answers;
using testing::HostFrame;
using testing::Joined;
using testing::ParseHex;

// One step of a scenario and what the validator sends in answer ("CODE DATA | ..."):
//   "> 11"        the host sends a frame (code, then data) to the validator's address
//   "@ C3 01"     the same to the broadcast address
//   "! insert 61" an operator command that must be taken; "? ..." one that must be refused
//   "+ 300"       300 ms pass
struct Step {
  std::string action;
  std::string expect;
};

struct Scenario {
  std::string name;
  bool fromIdle;  // start after a reset has run its course, instead of at power-up
  std::vector<Step> steps;
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

class ScenarioTest : public ::testing::TestWithParam<Scenario> {
 protected:
  std::string Do(const std::string& action) {
    const std::string rest = action.substr(2);
    switch (action[0]) {
      case '>':
      case '@': {
        const auto bytes = ParseHex(rest);
        const auto frame = HostFrame(bytes[0], std::span(bytes).subspan(1),
                                     action[0] == '@' ? kBroadcastAddress : kSyncByte);
        return Joined(validator_.Feed(frame, now_));
      }
      case '!':
      case '?': {
        const CommandReply reply = validator_.Command(rest, now_);
        EXPECT_EQ(reply.ok, action[0] == '!') << action << ": " << reply.text;
        return Joined(validator_.Poll(now_));
      }
      case '+':
        now_ += std::stoll(rest);
        return Joined(validator_.Poll(now_));
    }
    ADD_FAILURE() << "bad step " << action;
    return {};
  }

  VirtualValidator validator_;
  Millis now_ = 1000;
};

const std::vector<Step> kToIdle = {{"> 40", "50"}, {"> 11", "1B"}, {"+ 1000", ""}, {"> 11", "11"}};

TEST_P(ScenarioTest, AnswersEveryStep) {
  const Scenario& scenario = GetParam();
  if (scenario.fromIdle) {
    for (const Step& step : kToIdle) ASSERT_EQ(Do(step.action), step.expect) << step.action;
  }
  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    EXPECT_EQ(Do(step.action), step.expect) << "step " << i << ": " << step.action;
  }
}

const Scenario kScenarios[] = {
    {"PowerUpUntilResetThenInitializeForItsTime",
     false,
     {{"> 11", "40"},
      {"+ 5000", ""},
      {"> 11", "40"},
      {"> 40", "50"},
      {"> 11", "1B"},
      {"+ 999", ""},
      {"> 11", "1B"},
      {"+ 1", ""},
      {"> 11", "11"}}},
    {"SlowHostStillSeesInitialize",
     false,
     {{"> 40", "50"}, {"+ 5000", ""}, {"> 11", "1B"}, {"> 11", "11"}}},
    {"FactorySettingsAndIdentity",
     false,
     {{"> 80", "80 00 00"}, {"> 83", "83 00"}, {"> 87", "87 FE"}, {"> 8F", "8F 12 34 56"}}},
    {"InhibitSettingChoosesIdleReportAndSurvivesReset",
     true,
     {{"> C3 01", "C3 01"},
      {"> 11", "1A"},
      {"> 40", "50"},
      {"+ 1000", ""},
      {"> 11", "1B"},
      {"> 11", "1A"},
      {"> C3 00", "C3 00"},
      {"> 11", "11"}}},
    {"StackOneCycleWaitsForTheHostAck",
     true,
     {{"! insert 61", ""},
      {"> 11", "12"},
      {"+ 300", ""},
      {"> 11", "13 61"},
      {"> 41", "50"},
      {"> 11", "14"},
      {"+ 600", ""},
      {"> 11", "15"},
      {"+ 5000", ""},
      {"> 11", "15"},
      {"> 50", ""},
      {"> 11", "16"},
      {"+ 300", ""},
      {"> 11", "11"},
      {"> 50", "50"}}},
    {"StackTwoToASlowHostShowsEveryState",
     true,
     {{"! insert 62", ""},
      {"+ 10000", ""},
      {"> 11", "12"},
      {"> 11", "13 62"},
      {"> 42", "50"},
      {"+ 10000", ""},
      {"> 11", "14"},
      {"> 11", "15"},
      {"> 50", ""},
      {"> 11", "16"},
      {"> 11", "16"},
      {"+ 300", ""},
      {"> 11", "11"}}},
    {"ReturnCycle",
     true,
     {{"! insert 63", ""},
      {"+ 300", ""},
      {"> 11", "12"},
      {"> 11", "13 63"},
      {"> 43", "50"},
      {"> 11", "18"},
      {"+ 600", ""},
      {"> 11", "11"}}},
    {"HoldKeepsTheNoteThenStacks",
     true,
     {{"! insert 64", ""},
      {"+ 300", ""},
      {"> 11", "12"},
      {"> 11", "13 64"},
      {"> 44", "50"},
      {"> 11", "19"},
      {"+ 9999", ""},
      {"> 11", "19"},
      {"+ 1", ""},
      {"> 11", "13 64"},
      {"> 44", "50"},
      {"> 41", "50"},
      {"> 11", "14"}}},
    {"TextNoteCarriesItsText",
     true,
     {{"! insert 6F ABC", ""}, {"+ 300", ""}, {"> 11", "12"}, {"> 11", "13 6F 41 42 43"}}},
    {"RefusedNoteReportsItsReason",
     true,
     {{"! reject 72", ""},
      {"+ 300", ""},
      {"> 11", "12"},
      {"> 11", "17 72"},
      {"+ 600", ""},
      {"> 11", "11"},
      {"> 41", "4B"}}},
    {"NoteRefusedWhileInhibitedOrBusy",
     true,
     {{"> C3 01", "C3 01"},
      {"? insert 61", ""},
      {"> C3 00", "C3 00"},
      {"! insert 61", ""},
      {"? insert 62", ""},
      {"? reject 10", ""}}},
    {"ResetDropsTheEscrowedNote",
     true,
     {{"! insert 65", ""},
      {"+ 300", ""},
      {"> 11", "12"},
      {"> 11", "13 65"},
      {"> 40", "50"},
      {"> 11", "1B"},
      {"+ 1000", ""},
      {"> 11", "11"},
      {"> 41", "4B"}}},
    {"CommandsOutOfPlaceOrMalformedAreInvalid",
     true,
     {{"> 41", "4B"},
      {"> 42", "4B"},
      {"> 43", "4B"},
      {"> 44", "4B"},
      {"> D1 00 00 00 00", "4B"},
      {"> D2", "4B"},
      {"> 30", "4B"},
      {"> 05", "4B"},
      {"> 21", "4B"},
      {"> C0 12", "4B"},
      {"> 11 00", "4B"},
      {"> CC 41", "4B"}}},
    {"WaitBookmarkAndIdleAckAreAcknowledged",
     true,
     {{"> 45", "50"}, {"> 4A", "50"}, {"> 50", "50"}}},
    {"ErrorStatusesUntilClearedOrReset",
     true,
     {{"! error stacker-full", ""},
      {"> 11", "43"},
      {"! error stacker-open", ""},
      {"> 11", "44"},
      {"! error jam-acceptor", ""},
      {"> 11", "45"},
      {"! error jam-stacker", ""},
      {"> 11", "46"},
      {"! error pause", ""},
      {"> 11", "47"},
      {"! error cheated", ""},
      {"> 11", "48"},
      {"! error clear", ""},
      {"> 11", "11"},
      {"? error clear", ""},
      {"! error failure A5", ""},
      {"> 11", "49 A5"},
      {"> 40", "50"},
      {"> 11", "1B"}}},
    {"PowerCycleWithAndWithoutABill",
     true,
     {{"! powercycle acceptor", ""},
      {"> 11", "41"},
      {"! powercycle stacker", ""},
      {"> 11", "42"},
      {"! powercycle", ""},
      {"> 11", "40"}}},
    {"BroadcastFramesAreTakenNeverAnswered",
     true,
     {{"@ C3 01", ""}, {"@ 11", ""}, {"@ 88", ""}, {"> 83", "83 01"}, {"> 11", "1A"}}},
    {"SettingsAreEchoedKeptAndReported",
     true,
     {{"> C0 12 34", "C0 12 34"},
      {"> C1 AB CD", "C1 AB CD"},
      {"> C2 01", "C2 01"},
      {"> C4 02", "C4 02"},
      {"> C5 00 FF", "C5 00 FF"},
      {"> C6 12 00", "C6 12 00"},
      {"> C7 03", "C7 03"},
      {"> 80", "80 12 34"},
      {"> 81", "81 AB CD"},
      {"> 82", "82 01"},
      {"> 84", "84 02"},
      {"> 85", "85 00 FF"},
      {"> 86", "86 12 00"},
      {"> 87", "87 03"}}},
    {"MachineNumberIsKept",
     true,
     {{"> CC 4D 43 2D 34 32 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20",
       "CC 4D 43 2D 34 32 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20"},
      {"> 8C", "8C 4D 43 2D 34 32 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20"}}},
    {"InitialAcceptRateDataIsEchoed",
     true,
     {{"> CB 20 39 30 35 30 37 30 33 30 32 32 34", "CB 20 39 30 35 30 37 30 33 30 32 32 34"}}},
    {"SignatureIsAcknowledgedThenBusyOnce", true, {{"> DC 00 00", "50"}, {"> 11", "DE"}}},
    {"EnqOnCommand", true, {{"! enq", "05"}, {"> 11", "11"}}},
    {"UnsupportedCodeIsInvalidInEveryStateUntilCleared",
     true,
     {{"> 8F", "8F 12 34 56"},
      {"! unsupported 8F", ""},
      {"! unsupported 0x41", ""},
      {"> 8F", "4B"},
      {"> 83", "83 00"},
      {"! insert 61", ""},
      {"+ 300", ""},
      {"> 11", "12"},
      {"> 11", "13 61"},
      {"> 41", "4B"},
      {"> 42", "50"},
      {"@ 8F", ""},
      {"! unsupported none", ""},
      {"> 8F", "8F 12 34 56"}}},
    {"SilentCodeIsLeftUnansweredUntilCleared",
     true,
     {{"! silent C0", ""},
      {"> C0 12 34", ""},
      {"> 11", "11"},
      {"! silent none", ""},
      {"> C0 12 34", "C0 12 34"}}},
};

INSTANTIATE_TEST_SUITE_P(Validator, ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& p) { return p.param.name; });

// The data responses: the right code and a length the host's table accepts.
TEST(DataResponseTest, LengthsAndContentsFitTheHost) {
  struct Case {
    std::uint8_t code;
    std::size_t minLength;
    std::size_t maxLength;
    bool text;
    std::size_t multipleOf;
  };
  const Case cases[] = {
      {0x88, 1, 122, true, 1},   // version text, within the host's buffer
      {0x89, 1, 35, true, 1},    // boot version text
      {0x8A, 4, 80, false, 4},   // currency assignment, whole entries, at most 20 shown
      {0x8B, 60, 60, false, 1},  // accept rate data
      {0x8C, 20, 20, true, 1},   // machine number
      {0x8F, 3, 3, false, 1},    // secret number
  };
  VirtualValidator validator;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const auto out = validator.Feed(HostFrame(c.code), 0);
    const auto answers = Answers(out);
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_EQ(out[2], c.code);
    const std::size_t length = out[1] - 5u;
    EXPECT_GE(length, c.minLength);
    EXPECT_LE(length, c.maxLength);
    EXPECT_EQ(length % c.multipleOf, 0u);
    if (c.text) {
      for (std::size_t i = 0; i < length; ++i) {
        EXPECT_TRUE(out[3 + i] >= 0x20 && out[3 + i] < 0x7F) << "byte " << i;
      }
    }
  }
}

// Every malformed operator command is refused with a reason and changes nothing.
TEST(OperatorCommandTest, MalformedCommandsAreRefusedAndChangeNothing) {
  const std::string lines[] = {
      "insert",
      "insert 1G",
      "insert 100",
      "insert 61 ABC",
      "reject",
      "reject 61 x",
      "error",
      "error nonsense",
      "error failure",
      "error failure 1FF",
      "error pause now",
      "fault",
      "fault stray 0",
      "fault stray 256",
      "fault delay -1",
      "fault delay 60001",
      "fault delay x",
      "fault bogus",
      "busy",
      "busy -3",
      "expect-crc",
      "expect-crc 12345",
      "powercycle sideways",
      "frobnicate",
      "acceptance now",
      "enq 1",
      "show all",
      "error clear now",
      "powercycle stacker now",
      "busy 3 x",
      "expect-crc 1234 x",
      "fault stray 3 x",
      "unsupported",
      "unsupported 1FF",
      "unsupported 8F 90",
      "silent",
      "silent C0 C1",
  };
  VirtualValidator validator;
  Millis now = 0;
  validator.Feed(HostFrame(0x40), now);
  validator.Feed(HostFrame(0x11), now);
  now += 1000;
  ASSERT_EQ(Joined(validator.Feed(HostFrame(0x11), now)), "11");
  for (const std::string& line : lines) {
    const CommandReply reply = validator.Command(line, now);
    EXPECT_FALSE(reply.ok) << line;
    EXPECT_FALSE(reply.text.empty()) << line;
    EXPECT_EQ(Joined(validator.Poll(now)), "") << line;
  }
  EXPECT_FALSE(validator.Command("insert 6F " + std::string(250, 'x'), now).ok);
  EXPECT_EQ(Joined(validator.Feed(HostFrame(0x11), now)), "11");
  now += 100000;
  EXPECT_EQ(Joined(validator.Feed(HostFrame(0x11), now)), "11");
}

// The longest text note that fits one frame is taken whole.
TEST(OperatorCommandTest, LongestTextNoteFillsOneFrame) {
  VirtualValidator validator;
  Millis now = 0;
  validator.Feed(HostFrame(0x40), now);
  validator.Feed(HostFrame(0x11), now);
  now += 1000;
  validator.Feed(HostFrame(0x11), now);
  const std::string text(249, 'N');
  ASSERT_TRUE(validator.Command("insert 6F " + text, now).ok);
  validator.Feed(HostFrame(0x11), now);
  now += 300;
  const auto out = validator.Feed(HostFrame(0x11), now);
  ASSERT_EQ(out.size(), 255u);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(out[3], 0x6F);
  EXPECT_EQ(std::string(out.begin() + 4, out.end() - 2), text);
  EXPECT_EQ(Answers(out).size(), 1u);
}

// Auto notes come one after another while the host handles each, and never while inhibited.
TEST(AutoNotesTest, CycleCodesWhileIdlingOnly) {
  VirtualValidator validator;
  Millis now = 0;
  validator.Feed(HostFrame(0x40), now);
  validator.Feed(HostFrame(0x11), now);
  now += 1000;
  validator.Feed(HostFrame(0x11), now);
  validator.SetAutoNotes(2000, now);
  std::vector<std::string> escrows;
  std::string last;
  // Poll every 100 ms, stacking every note, until three notes have passed and the validator
  // idles again; twenty simulated seconds are plenty.
  for (int tick = 0; tick < 200 && (escrows.size() < 3 || last != "11"); ++tick) {
    now += 100;
    const auto answers = Answers(validator.Feed(HostFrame(0x11), now));
    ASSERT_EQ(answers.size(), 1u);
    last = answers[0];
    if (last.starts_with("13")) {
      escrows.push_back(last);
      validator.Feed(HostFrame(0x41), now);
    } else if (last == "15") {
      validator.Feed(HostFrame(0x50), now);
    }
  }
  ASSERT_GE(escrows.size(), 3u);
  EXPECT_EQ(escrows[0], "13 61");
  EXPECT_EQ(escrows[1], "13 62");
  EXPECT_EQ(escrows[2], "13 63");

  validator.Feed(HostFrame(0xC3, std::vector<std::uint8_t>{0x01}), now);
  for (int tick = 0; tick < 100; ++tick) {
    now += 100;
    EXPECT_EQ(Joined(validator.Feed(HostFrame(0x11), now)), "1A");
  }
}

// The demo's validator: idle from the start without a reset, its first note at its own time,
// the next after the interval. Skipping power-up leaves any later state alone.
TEST(AutoNotesTest, SkippedPowerUpIdlesAndTheFirstNoteComesEarly) {
  VirtualValidator validator;
  validator.SkipPowerUp(0);
  validator.SetAutoNotes(15000, 0, 3000);
  struct Exchange {
    Millis at;
    std::uint8_t command;
    std::string answer;
  };
  const Exchange exchanges[] = {
      {0, 0x11, "11"},       {2999, 0x11, "11"},  {3000, 0x11, "12"},
      {3300, 0x11, "13 61"}, {3400, 0x43, "50"},  {3400, 0x11, "18"},
      {4000, 0x11, "11"},    {17999, 0x11, "11"}, {18000, 0x11, "12"},
  };
  for (const Exchange& step : exchanges) {
    EXPECT_EQ(Joined(validator.Feed(HostFrame(step.command), step.at)), step.answer) << step.at;
  }

  validator.Feed(HostFrame(0x40), 40000);
  validator.SkipPowerUp(40000);
  EXPECT_EQ(Joined(validator.Feed(HostFrame(0x11), 40000)), "1B");
}

// Any host input: frames with good CRCs but any code, length and address, mixed with noise and
// pauses. Whatever happens, everything the validator sends is whole, well-formed frames.
TEST(RobustnessTest, AnyHostInputGivesWellFormedAnswersOnly) {
  std::mt19937 random(2024);
  VirtualValidator validator;
  Millis now = 0;
  std::vector<std::uint8_t> sent;
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::uint8_t> input;
    switch (random() % 4) {
      case 0: {  // noise
        input.resize(random() % 40);
        for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
        break;
      }
      default: {  // a good frame; common codes more often, so the states are reached
        const std::uint8_t code =
            random() % 2 ? static_cast<std::uint8_t>(random())
                         : std::array<std::uint8_t, 8>{0x11, 0x40, 0x41, 0x50,
                                                       0xD0, 0xD1, 0xD2, 0xDC}[random() % 8];
        std::vector<std::uint8_t> data(random() % 3 ? random() % 8 : random() % 251);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        input = HostFrame(code, data, random() % 8 ? kSyncByte : kBroadcastAddress);
        break;
      }
    }
    if (random() % 50 == 0) (void)validator.Command("insert 61", now);
    now += static_cast<Millis>(random() % 400);
    const auto out = validator.Feed(input, now);
    sent.insert(sent.end(), out.begin(), out.end());
  }
  now += 100000;
  const auto rest = validator.Poll(now);
  sent.insert(sent.end(), rest.begin(), rest.end());
  EXPECT_GT(Answers(sent).size(), 1000u);
}

}  // namespace
}  // namespace tarvik::validator
