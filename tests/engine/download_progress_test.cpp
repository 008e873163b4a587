#include "engine/download_progress.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(DownloadProgressText, SaysPerCentBytesTimeLeftAndTheCountdown) {
  using Stage = DownloadProgress::Stage;
  using Kind = DownloadProgress::Kind;
  const struct Case {
    Kind kind;
    Stage stage;
    std::uint32_t sent, total;
    int waitMs, laterMs;
    long long elapsedMs;
    const char* text;
  } cases[] = {
      // 250 bytes in 1 s: 750 more take 3 s.
      {Kind::Normal, Stage::Sending, 250, 1000, 0, 0, 1000,
       "25% (250 of 1000 bytes), about 3 s left"},
      {Kind::Normal, Stage::Sending, 246, 1000, 0, 0, 0, "24% (246 of 1000 bytes)"},
      // An empty file reads done, never a division by its length; a grown one never passes 100.
      {Kind::Normal, Stage::Sending, 0, 0, 0, 0, 5, "100% (0 of 0 bytes)"},
      {Kind::Normal, Stage::Sending, 1200, 1000, 0, 0, 5,
       "100% (1200 of 1000 bytes), about 0 s left"},
      // Almost done at a fast rate still says a second, not "0 s", while bytes remain.
      {Kind::Normal, Stage::Sending, 999, 1000, 0, 0, 1, "99% (999 of 1000 bytes), about 1 s left"},
      // A global download's pace is its waits: no rate estimate.
      {Kind::Global, Stage::Sending, 246, 1000, 0, 0, 1000, "24% (246 of 1000 bytes)"},
      {Kind::Global, Stage::Waiting, 0, 0, 60000, 4000, 18000,
       "waiting 60 s for the validators, 42 s left (about 46 s to go)"},
      {Kind::Global, Stage::Waiting, 0, 0, 1000, 0, 5000,
       "waiting 1 s for the validators, 0 s left (about 0 s to go)"},
      {Kind::Normal, Stage::Finished, 1000, 1000, 0, 0, 0, "done"},
      {Kind::Global, Stage::Stopped, 10, 1000, 0, 0, 0, "stopped"},
  };
  for (const Case& c : cases) {
    DownloadProgress progress;
    progress.kind = c.kind;
    progress.stage = c.stage;
    progress.bytesSent = c.sent;
    progress.totalBytes = c.total;
    progress.waitMs = c.waitMs;
    progress.laterWaitMs = c.laterMs;
    EXPECT_EQ(DescribeDownloadProgress(progress, c.elapsedMs), c.text);
  }
}

}  // namespace
}  // namespace tarvik
