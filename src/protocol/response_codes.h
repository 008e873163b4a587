// What a response code means to the receiver: whether it is a status report (and which), and
// whether it answers the command that was last sent.
#pragma once

#include <cstdint>

namespace tarvik {

// The status number of a status code: 0x11..0x1B give 1..11, 0x40..0x4A give 12..22, 0xDE 23,
// 0xDF 24. Any other code gives 0.
int StatusNumber(std::uint8_t code);

// True when a frame with `code` is the awaited answer to `command`, so its 300 ms deadline ends.
bool AnswersCommand(std::uint8_t command, std::uint8_t code);

}  // namespace tarvik
