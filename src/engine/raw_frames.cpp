#include "engine/raw_frames.h"

#include <algorithm>
#include <cstdio>

#include "engine/command_sender.h"
#include "protocol/command_catalogue.h"

namespace tarvik {

std::string RawFrameLogName(std::uint8_t code) {
  if (const CommandInfo* command = FindCommand(code)) return std::string(command->logName);
  char name[32];
  std::snprintf(name, sizeof name, "Raw Frame 0x%02X", code);
  return name;
}

std::vector<std::uint8_t> BuildRawFrame(std::uint8_t address, std::uint8_t code,
                                        std::span<const std::uint8_t> data) {
  const std::size_t n = std::min(data.size(), kMaxFrameData);
  std::vector<std::uint8_t> frame(n + 5);
  frame[0] = address;
  frame[1] = static_cast<std::uint8_t>(n + 5);
  frame[2] = code;
  std::copy_n(data.begin(), n, frame.begin() + 3);
  AppendCrc(frame.data(), n + 3);
  return frame;
}

std::string PostRawFrame(Engine& engine, std::vector<std::uint8_t> bytes, std::string logName) {
  const EngineState& s = engine.state;
  if (bytes.empty()) return "no bytes to send";
  if (bytes.size() > kFrameBufferSize) return "more than 256 bytes";
  if (s.portOpen.load() == 0) return "the port is not open";
  if (s.globalDownloadActive.load() != 0 || s.normalDownloadActive.load() != 0) {
    return "a download is running";
  }
  if (s.awaitingResponse.load() != 0 || s.pendingCommand.load() != 0 ||
      s.commandQueued.load() != 0 || s.immediateStatusRequest.load() != 0) {
    return "an exchange is open; wait for its answer first";
  }
  {
    std::lock_guard lock(engine.rawFrame.mutex);
    engine.rawFrame.bytes = std::move(bytes);
    engine.rawFrame.logName = std::move(logName);
  }
  PostPendingCommand(engine, kRawFrameCharacter);
  return {};
}

std::int32_t SendHandedOverRawFrame(Engine& engine) {
  std::vector<std::uint8_t> bytes;
  std::string logName;
  {
    std::lock_guard lock(engine.rawFrame.mutex);
    bytes.swap(engine.rawFrame.bytes);
    logName.swap(engine.rawFrame.logName);
  }
  if (bytes.empty()) return 1;
  SendFrameBytes(engine, bytes, logName);
  return 0;
}

}  // namespace tarvik
