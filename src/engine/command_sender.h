// The only way a byte reaches the validator: `SendCommand` builds the frame of a catalogue
// command, writes it, logs it, does the command's bookkeeping and re-arms the timers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

// Fills `txFrame` for `code` with SYNC = `address` and sets `length` (0 for a code outside the
// catalogue, after "!!! Program Error-->No.:0001 !!!" on stderr). Returns `txFrame.data()`.
std::uint8_t* BuildCommandFrame(Engine& engine, std::uint8_t address, std::uint8_t code,
                                int& length);

// 1 when the frame was written, 0 when the port refused it. Runs on the worker thread only.
int SendCommand(Engine& engine, std::uint8_t code);

// Writes `bytes` exactly as given (an operator's raw frame), logs them as `logName` and re-arms
// the timers as `SendCommand` does. 1 when written, 0 when the port refused them.
int SendFrameBytes(Engine& engine, std::span<const std::uint8_t> bytes, std::string_view logName);

}  // namespace tarvik
