#include "engine/value_entry.h"

#include <gtest/gtest.h>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

struct EntryCase {
  const char* name;
  std::uint8_t code;
  const char* text;
  int result;
  std::uint32_t commandValue;  // checked when the entry is accepted
};

class ValueEntryTest : public ::testing::TestWithParam<EntryCase> {
 protected:
  testing::FakeWindowServices ui;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_P(ValueEntryTest, ParsesTheBoxText) {
  const EntryCase& c = GetParam();
  const ValueBox* box = FindValueBox(c.code);
  ASSERT_NE(box, nullptr);
  engine.commandValue = 0xDEAD;
  int result = -1;
  ParseSettingValue(engine, c.text, box->maxLength, c.code, result);
  EXPECT_EQ(result, c.result);
  if (c.result == kEntryAccepted) {
    EXPECT_EQ(engine.commandValue, c.commandValue);
  } else if (c.result == kEntryTooLong) {
    EXPECT_EQ(engine.commandValue, 0xDEADu) << "a refused entry stores nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, ValueEntryTest,
    ::testing::Values(EntryCase{"Disable1234", 0xC0, "1234", kEntryAccepted, 0x1234},
                      EntryCase{"FunctionLowerCase", 0xC5, "abc", kEntryAccepted, 0x0ABC},
                      EntryCase{"ModeOneDigit", 0xC2, "7", kEntryAccepted, 0x0007},
                      EntryCase{"BarcodeInhibitEmpty", 0xC7, "", kEntryAccepted, 0xFE},
                      EntryCase{"DisableEmpty", 0xC0, "", kEntryAccepted, 0},
                      EntryCase{"InhibitBadDigit", 0xC3, "1G", kEntryBadCharacter, 0},
                      EntryCase{"SecurityBlank", 0xC1, "12 3", kEntryBadCharacter, 0},
                      EntryCase{"ModeTooLong", 0xC2, "123", kEntryTooLong, 0},
                      EntryCase{"SecurityTooLong", 0xC1, "12345", kEntryTooLong, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ValueEntryMachineNumberTest, TakesAnyCharactersAndZeroFills) {
  testing::FakeWindowServices ui;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine{ui, link, clock};
  int result = -1;
  ParseSettingValue(engine, "AB-12", 20, 0xCC, result);
  EXPECT_EQ(result, kEntryAccepted);
  const auto raw = engine.state.machineNumber.Raw();
  EXPECT_EQ(std::string(raw.data(), 6), std::string("AB-12\0", 6));

  ParseSettingValue(engine, "", 20, 0xCC, result);
  EXPECT_EQ(result, kEntryAccepted);
  EXPECT_EQ(engine.state.machineNumber.Text(), " ");

  ParseSettingValue(engine, "123456789012345678901", 20, 0xCC, result);
  EXPECT_EQ(result, kEntryTooLong);
  EXPECT_EQ(engine.state.machineNumber.Text(), " ");
}

TEST(ValueEntryMessageTest, ShowsTheMessageOfTheCode) {
  testing::FakeWindowServices ui;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine{ui, link, clock};
  ShowErrorMessage(engine, kEntryTooLong);
  ShowErrorMessage(engine, kEntryBadCharacter);
  EXPECT_EQ(ui.Messages(), (std::vector<std::string>{"Input value is incomplete",
                                                     "An inaccurate character was contained."}));
}

}  // namespace
}  // namespace tarvik
