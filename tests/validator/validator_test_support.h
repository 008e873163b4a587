// Helpers for the virtual validator tests: host frames built with the protocol's CRC, and the
// validator's output taken apart frame by frame (any byte that is not part of a good frame fails
// the test), written as "CODE DATA..." in hex so tables read like the line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.h"

namespace tarvik::validator::testing {

inline std::vector<std::uint8_t> ParseHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

inline std::string ToHex(std::span<const std::uint8_t> bytes) {
  std::string text;
  char two[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += two;
  }
  return text;
}

// A complete host frame: address, LNG, code, data, CRC low, CRC high.
inline std::vector<std::uint8_t> HostFrame(std::uint8_t code,
                                           std::span<const std::uint8_t> data = {},
                                           std::uint8_t address = kSyncByte) {
  std::vector<std::uint8_t> frame = {address, static_cast<std::uint8_t>(data.size() + 5), code};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.resize(frame.size() + 2);
  AppendCrc(frame.data(), frame.size() - 2);
  return frame;
}

// The validator's frames in `bytes`, each as "CODE DATA...". A byte that does not belong to a
// good validator frame is a test failure.
inline std::vector<std::string> Answers(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> answers;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto rest = bytes.subspan(at);
    if (rest.size() < 5 || rest[0] != kSyncByte || rest[1] < 5 || rest[1] > rest.size()) {
      ADD_FAILURE() << "not a validator frame at byte " << at << ": " << ToHex(bytes);
      break;
    }
    const auto frame = rest.first(rest[1]);
    FrameCheckResult check;
    if (CheckFrame(frame, frame[1], check) != 0) {
      ADD_FAILURE() << "bad CRC in " << ToHex(frame);
      break;
    }
    answers.push_back(ToHex(frame.subspan(2, frame.size() - 4)));
    at += frame.size();
  }
  return answers;
}

inline std::string Joined(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::string& answer : Answers(bytes)) {
    if (!text.empty()) text += " | ";
    text += answer;
  }
  return text;
}

}  // namespace tarvik::validator::testing
