// The global download: the target file broadcast to every validator on the line. Nobody answers
// a broadcast, so the validators are given fixed times to get ready, and the line is not read.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/command_sender.h"
#include "engine/program_download.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

using Kind = DownloadProgress::Kind;
using Stage = DownloadProgress::Stage;

// Bytes read off the line at most to clear it for a refused frame: a few frames' worth.
constexpr int kMaxDrainBytes = 1024;
// Times a refused frame is written again after the line was cleared.
constexpr int kWriteAttempts = 3;

constexpr const char* kNotAllSentFormat =
    "The global download is incomplete: the port refused %d of its frames (see the communication "
    "log). Run the global download again.";

// Stale answers (to the last poll before the download) keep the port from writing; nothing here
// reads the line, so what waits on it is cleared and the frame written again.
bool SendBroadcastFrame(Engine& engine, std::uint8_t code) {
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    if (SendCommand(engine, code) == 1) return true;
    std::uint8_t byte = 0;
    for (int n = 0; n < kMaxDrainBytes && engine.port.Read(&byte, 1) == 1; ++n) {
    }
  }
  return false;
}

void ReportStage(Engine& engine, Stage stage, int waitMs = 0, int laterWaitMs = 0) {
  ReportDownloadProgress(engine, Kind::Global, stage, waitMs, laterWaitMs);
}

// A fixed wait, announced first so the window can count it down.
void Wait(Engine& engine, int ms, int laterMs) {
  ReportStage(engine, Stage::Waiting, ms, laterMs);
  if (ms > 0) engine.clock.Pause(ms);
}

// The packets a file of `size` bytes makes: the end is seen only by a read that reaches it, so a
// file of whole packets sends one empty packet more.
long long PacketCount(long long size, int packetSize) {
  return packetSize > 0 ? size / packetSize + 1 : 1;
}

// Steps 7 and 8 of every way out: the line is the single validator's again, polling runs (the
// polling mode stays MANU until the operator turns it back).
void GiveLineBack(Engine& engine) {
  EngineState& s = engine.state;
  s.deviceAddress.store(kNormalDeviceAddress);
  s.globalDownloadActive.store(0);
  engine.ui.SetLabelText(Label::DeviceAddress, std::to_string(kNormalDeviceAddress));
  engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
}

}  // namespace

void RunGlobalDownload(Engine& engine) {
  EngineState& s = engine.state;
  DownloadContext& d = engine.download;
  const GlobalDownloadWaits waits = d.globalWaits;

  bool open = false;
  std::int32_t packetSize = kDefaultPacketSize;
  {
    std::lock_guard lock(d.mutex);
    open = d.targetFile != nullptr;
    packetSize = d.packetSize;
  }
  if (!open) {
    // Undefined packets must never be broadcast into every validator on the line.
    ReportStage(engine, Stage::Stopped);
    engine.ui.ShowMessage(kGlobalDownloadNoFileText, MessageIcon::Exclamation, MessageButtons::Ok);
    EnableDownloadButtons(engine);
    GiveLineBack(engine);
    return;
  }

  // Measured before the first wait, so that the waits' reports show this file's size and no
  // bytes sent, not what the last download left.
  MeasureTargetFileAtStart(engine);
  const long long dataWaitsMs =
      waits.afterFirstDataMs + (PacketCount(s.downloadTotalSize, packetSize) - 1) *
                                   static_cast<long long>(waits.afterDataMs);
  auto later = [](long long ms) { return static_cast<int>(std::min<long long>(ms, 0x7FFFFFFF)); };

  int refused = 0;
  s.reapplySettings.store(1);
  s.inhibitSetting.store(1);
  if (!SendBroadcastFrame(engine, cmd::kInhibitSet)) ++refused;
  Wait(engine, waits.afterInhibitMs, later(waits.afterStartMs + dataWaitsMs));
  if (!SendBroadcastFrame(engine, cmd::kDownloadStart)) ++refused;
  Wait(engine, waits.afterStartMs, later(dataWaitsMs));

  long long waitsLeftMs = dataWaitsMs;
  bool first = true;
  for (;;) {
    if (TargetFileAtEnd(engine)) {
      if (!SendBroadcastFrame(engine, cmd::kDownloadEnd)) ++refused;
      CloseTargetFile(engine);
      break;
    }
    if (!PrepareDownloadPacket(engine)) {
      // The program ends after a read error; a front-end that keeps it running gets the line back.
      ReportStage(engine, Stage::Stopped);
      GiveLineBack(engine);
      return;
    }
    if (!SendBroadcastFrame(engine, cmd::kDownloadData)) ++refused;
    ReportStage(engine, Stage::Sending);
    const int waitMs = first ? waits.afterFirstDataMs : waits.afterDataMs;
    first = false;
    waitsLeftMs = std::max<long long>(waitsLeftMs - waitMs, 0);
    Wait(engine, waitMs, later(waitsLeftMs));
  }

  if (refused == 0) {
    ReportStage(engine, Stage::Finished);
    engine.ui.ShowMessage(kDownloadSuccessText, MessageIcon::None, MessageButtons::Ok);
  } else {
    ReportStage(engine, Stage::Stopped);
    char text[192];
    std::snprintf(text, sizeof text, kNotAllSentFormat, refused);
    engine.ui.ShowMessage(text, MessageIcon::Exclamation, MessageButtons::Ok);
  }
  EnableDownloadButtons(engine);
  GiveLineBack(engine);
}

}  // namespace tarvik
