#include "engine/download_progress.h"

#include <algorithm>
#include <cstdio>

namespace tarvik {

namespace {
constexpr long long kMsPerSecond = 1000;

long long CeilSeconds(long long ms) {
  return (std::max(ms, 0LL) + kMsPerSecond - 1) / kMsPerSecond;
}
}  // namespace

int ProgressPercent(std::uint32_t bytesSent, std::uint32_t totalBytes) {
  if (totalBytes == 0) return 100;
  const std::uint64_t percent = std::uint64_t{bytesSent} * 100u / totalBytes;
  return static_cast<int>(std::min<std::uint64_t>(percent, 100));
}

std::optional<long long> EstimateSecondsLeft(std::uint32_t bytesSent, std::uint32_t totalBytes,
                                             long long elapsedMs) {
  if (bytesSent == 0 || elapsedMs <= 0) return std::nullopt;
  if (bytesSent >= totalBytes) return 0;
  const long double msLeft =
      static_cast<long double>(totalBytes - bytesSent) * elapsedMs / bytesSent;
  return CeilSeconds(std::max(static_cast<long long>(msLeft), 1LL));
}

std::string DescribeDownloadProgress(const DownloadProgress& progress, long long elapsedMs) {
  char text[160];
  switch (progress.stage) {
    case DownloadProgress::Stage::Sending: {
      const int percent = ProgressPercent(progress.bytesSent, progress.totalBytes);
      std::snprintf(text, sizeof text, "%d%% (%u of %u bytes)", percent,
                    static_cast<unsigned>(progress.bytesSent),
                    static_cast<unsigned>(progress.totalBytes));
      std::string line = text;
      // A global download's pace is its fixed waits; the count-down says that.
      if (progress.kind == DownloadProgress::Kind::Normal) {
        if (const auto left =
                EstimateSecondsLeft(progress.bytesSent, progress.totalBytes, elapsedMs)) {
          line += ", about " + std::to_string(*left) + " s left";
        }
      }
      return line;
    }
    case DownloadProgress::Stage::Waiting: {
      const long long left = CeilSeconds(progress.waitMs - elapsedMs);
      std::snprintf(text, sizeof text,
                    "waiting %lld s for the validators, %lld s left (about %lld s to go)",
                    CeilSeconds(progress.waitMs), left, left + CeilSeconds(progress.laterWaitMs));
      return text;
    }
    case DownloadProgress::Stage::Finished:
      return "done";
    case DownloadProgress::Stage::Stopped:
      return "stopped";
  }
  return {};
}

}  // namespace tarvik
