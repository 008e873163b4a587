#include "protocol/response_codes.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

namespace tarvik {
namespace {

TEST(ResponseCodesTest, StatusNumbersOfExactlyTheStatusCodes) {
  const std::map<int, int> numbers{
      {0x11, 1},  {0x12, 2},  {0x13, 3},  {0x14, 4},  {0x15, 5},  {0x16, 6},
      {0x17, 7},  {0x18, 8},  {0x19, 9},  {0x1A, 10}, {0x1B, 11}, {0x40, 12},
      {0x41, 13}, {0x42, 14}, {0x43, 15}, {0x44, 16}, {0x45, 17}, {0x46, 18},
      {0x47, 19}, {0x48, 20}, {0x49, 21}, {0x4A, 22}, {0xDE, 23}, {0xDF, 24},
  };
  for (int code = 0; code < 256; ++code) {
    const auto it = numbers.find(code);
    EXPECT_EQ(StatusNumber(static_cast<std::uint8_t>(code)), it == numbers.end() ? 0 : it->second)
        << code;
  }
}

// For each kind of command: the codes that answer it, walked over every possible response code.
TEST(ResponseCodesTest, WhichCodesAnswerWhichCommand) {
  auto statuses = [](int code) {
    return (code >= 0x11 && code <= 0x1B) || (code >= 0x40 && code <= 0x4A) || code == 0xD3 ||
           code == 0xD4 || code == 0xDE || code == 0xDF;
  };
  const struct {
    std::vector<int> commands;
    std::function<bool(int command, int code)> answers;
  } rows[] = {
      {{0x11}, [&](int, int code) { return statuses(code); }},
      {{0x21, 0x46, 0x50, 0x8D}, [](int, int) { return true; }},
      {{0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x4A, 0xD0, 0xD1, 0xD2, 0xD8, 0xDC},
       [](int, int code) { return code == 0x4B || code == 0x50; }},
      {{0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8F, 0xE0,
        0xE1, 0xE2},
       [](int command, int code) { return code == command; }},
      {{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xCA, 0xCB, 0xCC},
       [](int command, int code) { return code == 0x4B || code == command; }},
      {{0x00, 0x12, 0x1B, 0x47, 0x4B, 0x8E, 0xC8, 0xC9, 0xCD, 0xD3, 0xE3, 0xFF},
       [](int, int) { return false; }},
  };
  for (const auto& row : rows) {
    for (int command : row.commands) {
      for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(
            AnswersCommand(static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(code)),
            row.answers(command, code))
            << "command " << command << " code " << code;
      }
    }
  }
}

}  // namespace
}  // namespace tarvik
