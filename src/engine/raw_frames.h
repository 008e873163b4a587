// Frames the operator types in full (`:send`, `:send-bytes` on the console): handed to the worker
// as an operator command, sent through the command sender, their answer dispatched as usual.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "protocol/frame.h"

namespace tarvik {

// The pending command that stands for "send the handed-over raw frame": no key can post it.
inline constexpr std::int32_t kRawFrameCharacter = 0x100;
// The log name of bytes written exactly as given.
inline constexpr std::string_view kRawBytesLogName = "Raw Bytes";

// The log name of a frame with command `code`: the catalogue's, or "Raw Frame 0xCC".
std::string RawFrameLogName(std::uint8_t code);

// SYNC `address`, LNG, `code`, `data` and the CRC (low byte first). At most kMaxFrameData
// data bytes; more are not taken (the caller checks).
std::vector<std::uint8_t> BuildRawFrame(std::uint8_t address, std::uint8_t code,
                                        std::span<const std::uint8_t> data);

// Hands `bytes` to the worker, which sends them as an operator command logged as `logName`.
// Refused while the port is closed, a download runs, or an operator exchange is open or about to
// be (a posted character, a queued command). Returns "" when handed over, otherwise why not.
std::string PostRawFrame(Engine& engine, std::vector<std::uint8_t> bytes, std::string logName);

// Worker side, from the operator-command dispatch: sends the handed-over frame. 0 when a frame
// was handed to the sender (written or not, as for a queued command), 1 when none was waiting.
std::int32_t SendHandedOverRawFrame(Engine& engine);

}  // namespace tarvik
