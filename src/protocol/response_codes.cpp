#include "protocol/response_codes.h"

#include <array>

#include "protocol/line_codes.h"

namespace tarvik {

namespace {

struct StatusRange {
  std::uint8_t first;
  std::uint8_t last;
  int firstNumber;
};

constexpr std::array kStatusRanges{
    StatusRange{0x11, 0x1B, 1},
    StatusRange{0x40, 0x4A, 12},
    StatusRange{0xDE, 0xDF, 23},
};

// The codes that count as an answer to a command.
enum class Answer {
  Status,         // a status report, or a program check result or download status
  AnyCode,        // whatever comes back
  InvalidOrAck,   // "Invalid Command" (0x4B) or ACK (0x50)
  Echo,           // the echo of the command
  InvalidOrEcho,  // "Invalid Command" or the echo
  Never,
};

struct AnswerRow {
  std::uint8_t first;  // command codes first..last
  std::uint8_t last;
  Answer answer;
};

// clang-format off
constexpr std::array kAnswerRows{
    AnswerRow{0x11, 0x11, Answer::Status},
    AnswerRow{0x21, 0x21, Answer::AnyCode},
    AnswerRow{0x46, 0x46, Answer::AnyCode},
    AnswerRow{0x50, 0x50, Answer::AnyCode},
    AnswerRow{0x8D, 0x8D, Answer::AnyCode},
    AnswerRow{0x40, 0x45, Answer::InvalidOrAck},
    AnswerRow{0x4A, 0x4A, Answer::InvalidOrAck},
    AnswerRow{0xD0, 0xD2, Answer::InvalidOrAck},
    AnswerRow{0xD8, 0xD8, Answer::InvalidOrAck},
    AnswerRow{0xDC, 0xDC, Answer::InvalidOrAck},
    AnswerRow{0x80, 0x8C, Answer::Echo},
    AnswerRow{0x8F, 0x8F, Answer::Echo},
    AnswerRow{0xE0, 0xE2, Answer::Echo},
    AnswerRow{0xC0, 0xC7, Answer::InvalidOrEcho},
    AnswerRow{0xCA, 0xCC, Answer::InvalidOrEcho},
};
// clang-format on

constexpr std::uint8_t kAck = 0x50;

Answer AnswerFor(std::uint8_t command) {
  for (const AnswerRow& row : kAnswerRows) {
    if (command >= row.first && command <= row.last) return row.answer;
  }
  return Answer::Never;
}

}  // namespace

int StatusNumber(std::uint8_t code) {
  for (const StatusRange& range : kStatusRanges) {
    if (code >= range.first && code <= range.last) return range.firstNumber + (code - range.first);
  }
  return 0;
}

bool AnswersCommand(std::uint8_t command, std::uint8_t code) {
  switch (AnswerFor(command)) {
    case Answer::Status:
      return StatusNumber(code) != 0 || code == rsp::kProgramCheck || code == rsp::kDownloadStatus;
    case Answer::AnyCode:
      return true;
    case Answer::InvalidOrAck:
      return code == rsp::kInvalidCommand || code == kAck;
    case Answer::Echo:
      return code == command;
    case Answer::InvalidOrEcho:
      return code == rsp::kInvalidCommand || code == command;
    case Answer::Never:
      return false;
  }
  return false;
}

}  // namespace tarvik
