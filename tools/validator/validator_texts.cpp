#include "validator/validator_texts.h"

#include <array>
#include <utility>

namespace tarvik::validator {
namespace {

using NameRow = std::pair<std::uint8_t, std::string_view>;

constexpr std::array kHostNames = std::to_array<NameRow>({
    {0x11, "STATUS REQUEST"},
    {0x21, "HOPPER STATUS REQUEST"},
    {0x40, "RESET COMMAND"},
    {0x41, "Stack 1"},
    {0x42, "Stack 2"},
    {0x43, "RETURN"},
    {0x44, "HOLD"},
    {0x45, "WAIT"},
    {0x46, "Hopper Dispense Command"},
    {0x4A, "Bookmark Command"},
    {0x50, "Ack"},
    {0x80, "DISABLE REQUEST"},
    {0x81, "SECURITY REQUEST"},
    {0x82, "MODE REQUEST"},
    {0x83, "INHIBIT REQUEST"},
    {0x84, "DIRECTION REQUEST"},
    {0x85, "FUNCTION REQUEST"},
    {0x86, "BAR CODE FUNCTION REQ."},
    {0x87, "BAR CODE INHIBIT REQ."},
    {0x88, "Version Request"},
    {0x89, "BOOT Version Request"},
    {0x8A, "Currency Assign Req."},
    {0x8B, "ACCEPT RATE REQUEST"},
    {0x8C, "M/C NO. REQUEST"},
    {0x8D, "Hopper Currency Request"},
    {0x8F, "Secret No. Request"},
    {0xC0, "DISABLE SET"},
    {0xC1, "SECURITY SET"},
    {0xC2, "MODE SET"},
    {0xC3, "INHIBIT SET"},
    {0xC4, "DIRECTION SET"},
    {0xC5, "FUNCTION SET"},
    {0xC6, "BAR CODE FUNCTION SET"},
    {0xC7, "BAR CODE INHIBIT SET"},
    {0xCA, "CURRENCY SET"},
    {0xCB, "INITIAL ACCEPT RATE DATA"},
    {0xCC, "M/C NO. SET"},
    {0xD0, "Download Start Request"},
    {0xD1, "Download Data"},
    {0xD2, "Download End and Confirm"},
    {0xD8, "CRC Check"},
    {0xDC, "Program Signature REQ."},
    {0xE0, "Acceptance Data Initialize"},
    {0xE1, "Acceptance Data Request"},
});

constexpr std::array kAnswerNames = std::to_array<NameRow>({
    {0x05, "ENQ"},
    {0x11, "IDLING"},
    {0x12, "ACCEPTING"},
    {0x13, "ESCROW"},
    {0x14, "STACKING"},
    {0x15, "VEND VALID"},
    {0x16, "STACKED"},
    {0x17, "REJECT"},
    {0x18, "RETURN"},
    {0x19, "HOLDING"},
    {0x1A, "INHIBIT"},
    {0x1B, "INITIALIZE"},
    {0x40, "POWERUP"},
    {0x41, "POWERUP with Bill in Acceptor"},
    {0x42, "POWERUP with Bill in Stacker"},
    {0x43, "Stacker Full"},
    {0x44, "Stacker Open"},
    {0x45, "Jam in Acceptor"},
    {0x46, "Jam in Stacker"},
    {0x47, "Pause"},
    {0x48, "Cheated"},
    {0x49, "FAILURE"},
    {0x4A, "Communication Error"},
    {0x4B, "Invalid Command"},
    {0x50, "ACK"},
    {0x80, "DISABLE"},
    {0x81, "SECURITY"},
    {0x82, "Mode"},
    {0x83, "INHIBIT (setting)"},
    {0x84, "DIRECTION"},
    {0x85, "FUNCTION"},
    {0x86, "Bar FUNCTION"},
    {0x87, "Bar Inhibit"},
    {0x88, "Version"},
    {0x89, "Boot ROM Version"},
    {0x8A, "Currency"},
    {0x8B, "Accept Rate Response"},
    {0x8C, "M/C No."},
    {0x8F, "Secret No."},
    {0xC0, "Set DISABLE"},
    {0xC1, "Set SECURITY"},
    {0xC2, "Set Mode"},
    {0xC3, "Set INHIBIT"},
    {0xC4, "Set DIRECTION"},
    {0xC5, "Set FUNCTION"},
    {0xC6, "Set Bar FUNCTION"},
    {0xC7, "Set Bar Inhibit"},
    {0xCB, "INIT Time,Date"},
    {0xCC, "M/C No. (set)"},
    {0xD3, "Program Check"},
    {0xD4, "Program Download status"},
    {0xDE, "Program Signature Busy"},
    {0xDF, "Program Signature"},
    {0xE1, "Acceptance Data"},
    {0xE2, "Acceptance Data End"},
    {0xE3, "Ad Data Read"},
    {0xE4, "Ad Data"},
    {0xE5, "Ad Data End"},
});

template <std::size_t N>
std::string_view Find(const std::array<NameRow, N>& rows, std::uint8_t code) {
  for (const auto& [c, name] : rows) {
    if (c == code) return name;
  }
  return "?";
}

}  // namespace

std::string_view HostCommandName(std::uint8_t code) { return Find(kHostNames, code); }
std::string_view AnswerName(std::uint8_t code) { return Find(kAnswerNames, code); }

const std::string_view kHelpText =
    "Commands (one a line; codes in hexadecimal):\n"
    "  insert CODE [TEXT]   insert a note; it escrows with CODE (61-7F; 6F carries TEXT)\n"
    "  reject CODE          insert a note that is refused with reason CODE\n"
    "  error NAME [CODE]    stacker-full, stacker-open, jam-acceptor, jam-stacker, pause,\n"
    "                       cheated, failure CODE; 'error clear' ends the error\n"
    "  powercycle [acceptor|stacker]   power up again (optionally with a bill inside)\n"
    "  enq                  send ENQ\n"
    "  acceptance | ad      send the acceptance data or the Ad data, a block per host Ack\n"
    "  acceptance bad       send acceptance data whose checksum the host must reject\n"
    "  busy N               answer the next N download status requests with BUSY\n"
    "  expect-crc XXXX|none the program CRC the download check must find\n"
    "  fault crc | length | cut | drop | stray N | delay MS   spoil the next answer\n"
    "  unsupported CODE|none   answer host command CODE with Invalid Command from now on\n"
    "  silent CODE|none        leave host command CODE unanswered from now on\n"
    "  show                 print the state\n"
    "  wait MS              pause the command input (scripts)\n"
    "  quit                 end the program\n";

}  // namespace tarvik::validator
