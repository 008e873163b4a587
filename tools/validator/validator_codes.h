// Codes on the validator line, seen from the validator's side: what the host sends and what the
// validator answers with. Both directions share the frame layout of protocol/frame.h.
#pragma once

#include <cstdint>

#include "protocol/line_codes.h"

namespace tarvik::validator {

// The codes of both directions are the protocol's own.
namespace cmd = ::tarvik::cmd;
namespace rsp = ::tarvik::rsp;

// Data bytes of the download status and of the program check result.
inline constexpr std::uint8_t kDownloadReady = 0x00;
inline constexpr std::uint8_t kDownloadBusy = 0x80;
inline constexpr std::uint8_t kCheckVerified = 0x00;
inline constexpr std::uint8_t kCheckFailed = 0x80;

}  // namespace tarvik::validator
