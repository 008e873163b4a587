// The normal-download figure: tarvik-host on the console sends a target file to the virtual
// validator, which checks it against the file's CRC. Timed at the validator's end of the line
// from the first byte of Download Start to the last byte of the host's Ack of the check result.
// Paced, the line runs at the host's own speed in both directions and the time is set against
// the line itself: every frame byte of both directions in that span × 11 bits ÷ baud.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "e2e/download_watch.h"

namespace tarvik::bench {

struct DownloadFigureConfig {
  std::string host;               // the tarvik-host program
  std::filesystem::path workDir;  // where the target file and the settings go
  std::size_t fileBytes = 1u << 20;
  int baud = 38400;  // the host's line speed, and the peer's pacing when `paced`
  int packetSize = 246;
  bool paced = true;
};

struct DownloadRun {
  DownloadTiming timing;
  double seconds = 0;      // the host's time, Download Start to the Ack of the check result
  double lineSeconds = 0;  // the same frames' bytes at the line's speed
  double packetsPerSecond = 0;
};

// One whole download; nothing and the reason in `error` when it did not run to a verified end.
std::optional<DownloadRun> RunDownload(const DownloadFigureConfig& config, std::string& error);

}  // namespace tarvik::bench
