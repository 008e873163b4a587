// The commands the host sends: code, log name, frame length and what the data bytes carry.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tarvik {

// What follows CMD in a command frame.
enum class CommandData : std::uint8_t {
  None,            // LNG 5
  Value16,         // `commandValue`, high byte first
  Value8,          // low byte of `commandValue`
  LocalTime,       // 12 characters: hour (blank-filled), minute, second, day, month, year % 100
  MachineNumber,   // 20 characters, blank-padded
  DownloadPacket,  // 4 address bytes, then the packet; LNG = packet length + 9
  SignatureSeed,   // two zero bytes
  AcceptanceInit,  // 8 date characters (DDMMYYYY), then the 20 stored machine-number bytes
};

struct CommandInfo {
  std::uint8_t code;
  // For 0xD1 and 0xDC the sender adds the progress or the seed to this name.
  std::string_view logName;
  // LNG; for a download packet, the LNG of an empty packet.
  std::uint8_t length;
  CommandData data;
};

inline constexpr std::array kCommandCatalogue{
    CommandInfo{0x11, "STATUS REQUEST", 5, CommandData::None},
    CommandInfo{0x21, "HOPPER STATUS REQUEST", 5, CommandData::None},
    CommandInfo{0x40, "RESET COMMAND", 5, CommandData::None},
    CommandInfo{0x41, "Stack 1", 5, CommandData::None},
    CommandInfo{0x42, "Stack 2", 5, CommandData::None},
    CommandInfo{0x43, "RETURN", 5, CommandData::None},
    CommandInfo{0x44, "HOLD", 5, CommandData::None},
    CommandInfo{0x45, "WAIT", 5, CommandData::None},
    CommandInfo{0x46, "Hopper Dispense Command", 7, CommandData::Value16},
    CommandInfo{0x4A, "Bookmark Command", 5, CommandData::None},
    CommandInfo{0x50, "Ack", 5, CommandData::None},
    CommandInfo{0x80, "DISABLE REQUEST", 5, CommandData::None},
    CommandInfo{0x81, "SECURITY REQUEST", 5, CommandData::None},
    CommandInfo{0x82, "MODE REQUEST", 5, CommandData::None},
    CommandInfo{0x83, "INHIBIT REQUEST", 5, CommandData::None},
    CommandInfo{0x84, "DIRECTION REQUEST", 5, CommandData::None},
    CommandInfo{0x85, "FUNCTION REQUEST", 5, CommandData::None},
    CommandInfo{0x86, "BAR CODE FUNCTION REQ.", 5, CommandData::None},
    CommandInfo{0x87, "BAR CODE INHIBIT REQ.", 5, CommandData::None},
    CommandInfo{0x88, "Version Request", 5, CommandData::None},
    CommandInfo{0x89, "BOOT Version Request", 5, CommandData::None},
    CommandInfo{0x8A, "Currency Assign Req.", 5, CommandData::None},
    CommandInfo{0x8B, "ACCEPT RATE REQUEST", 5, CommandData::None},
    CommandInfo{0x8C, "M/C NO. REQUEST", 5, CommandData::None},
    CommandInfo{0x8D, "Hopper Currency Request", 5, CommandData::None},
    CommandInfo{0x8F, "Secrete No. Request", 5, CommandData::None},
    CommandInfo{0xC0, "DISABLE SET", 7, CommandData::Value16},
    CommandInfo{0xC1, "SECURITY SET", 7, CommandData::Value16},
    CommandInfo{0xC2, "MODE SET", 6, CommandData::Value8},
    CommandInfo{0xC3, "INHIBIT SET", 6, CommandData::Value8},
    CommandInfo{0xC4, "DIRECTION SET", 6, CommandData::Value8},
    CommandInfo{0xC5, "FUNCTION SET", 7, CommandData::Value16},
    CommandInfo{0xC6, "BAR CODE FUNCTION SET", 7, CommandData::Value16},
    CommandInfo{0xC7, "BAR CODE INHIBIT SET", 6, CommandData::Value8},
    CommandInfo{0xCA, "CURRENCY SET", 6, CommandData::Value8},
    CommandInfo{0xCB, "INITIAL ACCEPT RATE DATA", 17, CommandData::LocalTime},
    CommandInfo{0xCC, "M/C NO. SET", 25, CommandData::MachineNumber},
    CommandInfo{0xD0, "Download Start Request", 5, CommandData::None},
    CommandInfo{0xD1, "Download Data", 9, CommandData::DownloadPacket},
    CommandInfo{0xD2, "Download End and Confirm", 5, CommandData::None},
    CommandInfo{0xD8, "CRC Check", 5, CommandData::None},
    CommandInfo{0xDC, "Program Signature REQ.", 7, CommandData::SignatureSeed},
    CommandInfo{0xE0, "Acceptance Data Initialize", 33, CommandData::AcceptanceInit},
    CommandInfo{0xE1, "Acceptance Data Request", 5, CommandData::None},
};

// The catalogue row of `code`, or nullptr for a code the host never sends.
const CommandInfo* FindCommand(std::uint8_t code);

// The set commands 0xC0..0xC7, each of which carries one stored setting.
inline constexpr bool IsStoredSettingCommand(std::uint8_t code) {
  return code >= 0xC0 && code <= 0xC7;
}

// The largest download packet: 4 address bytes and 246 packet bytes fill a 255-byte frame.
inline constexpr std::uint32_t kMaxDownloadPacket = 246;

}  // namespace tarvik
