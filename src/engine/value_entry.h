// The values typed beside the nine "Change Commands" buttons: checked and stored before the
// button posts its command character.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

inline constexpr int kEntryAccepted = 0;
inline constexpr int kEntryTooLong = 41;        // "Input value is incomplete"
inline constexpr int kEntryBadCharacter = 42;   // "An inaccurate character was contained."

// One value box: the set command it feeds, its text limit, the text used when it is empty, the
// character its button posts, and the control numbers of the box and its button.
struct ValueBox {
  std::uint8_t code;
  int maxLength;
  std::string_view defaultText;
  char character;
  int boxId;
  int buttonId;
  std::string_view name;  // the console's name for the box
};

inline constexpr std::array<ValueBox, 9> kValueBoxes{{
    {0xC0, 4, "0", 'd', 1074, 1102, "disable"},
    {0xC1, 4, "0", 'e', 1075, 1103, "security"},
    {0xC2, 2, "0", 'm', 1076, 1104, "mode"},
    {0xC3, 2, "0", 'i', 1077, 1105, "inhibit"},
    {0xC4, 2, "0", 't', 1078, 1106, "direction"},
    {0xC5, 4, "0", 'u', 1079, 1107, "function"},
    {0xCC, 20, " ", 'n', 1080, 1108, "machine"},
    {0xC6, 4, "0", 'b', 1081, 1041, "barcode-func"},
    {0xC7, 2, "FE", 'c', 1082, 1042, "barcode-inhibit"},
}};

// The box that feeds `code`, or nullptr.
const ValueBox* FindValueBox(std::uint8_t code);

// Checks `boxText` (the text of the box beside set command `code`) and stores it: a hexadecimal
// number of up to four digits into `commandValue`, or the machine number into `machineNumber`.
// `result` is 0, 41 (too long; nothing stored) or 42 (not a hexadecimal digit).
void ParseSettingValue(Engine& engine, std::string_view boxText, int maxLength, std::uint8_t code,
                       int& result);

// The message of an error code.
std::string_view ErrorMessageText(int code);
// Shows that message in an OK box.
void ShowErrorMessage(Engine& engine, int code);

}  // namespace tarvik
