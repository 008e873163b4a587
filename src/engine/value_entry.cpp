#include "engine/value_entry.h"

#include <algorithm>

#include "protocol/line_codes.h"

namespace tarvik {

namespace {

constexpr int kHexDigitsRead = 4;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const ValueBox* FindValueBox(std::uint8_t code) {
  for (const ValueBox& box : kValueBoxes) {
    if (box.code == code) return &box;
  }
  return nullptr;
}

void ParseSettingValue(Engine& engine, std::string_view boxText, int maxLength, std::uint8_t code,
                       int& result) {
  const ValueBox* box = FindValueBox(code);
  std::string_view text = boxText;
  if (text.empty()) {
    text = box != nullptr ? box->defaultText : std::string_view("0");
  } else if (text.size() > static_cast<std::size_t>(maxLength)) {
    result = kEntryTooLong;
    return;
  }

  if (code == cmd::kMachineNumberSet) {
    engine.state.machineNumber.Set(text);
    result = kEntryAccepted;
    return;
  }

  // The text is read as a hexadecimal number of as many digits as it has (at most four), so
  // "7" is 0x0007 and "abc" is 0x0ABC. A bad character stops the conversion; the digits read
  // before it stay in `commandValue`.
  engine.commandValue.store(0);
  const std::size_t digits = std::min<std::size_t>(text.size(), kHexDigitsRead);
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) {
      result = kEntryBadCharacter;
      return;
    }
    value = (value << 4) | static_cast<std::uint32_t>(digit);
    engine.commandValue.store(value);
  }
  result = kEntryAccepted;
}

std::string_view ErrorMessageText(int code) {
  switch (code) {
    case kEntryTooLong: return "Input value is incomplete";
    case kEntryBadCharacter: return "An inaccurate character was contained.";
    default: return "ERROR \n";
  }
}

void ShowErrorMessage(Engine& engine, int code) {
  engine.ui.ShowMessage(ErrorMessageText(code), MessageIcon::None, MessageButtons::Ok);
}

}  // namespace tarvik
