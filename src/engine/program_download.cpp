#include "engine/program_download.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>

#include "engine/comm_log.h"
#include "engine/settings.h"
#include "protocol/command_catalogue.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

constexpr std::uint8_t kStatusReady = 0x00;
constexpr std::uint8_t kStatusBusy = 0x80;
constexpr std::uint8_t kCheckVerified = 0x00;

// The length of the open file in bytes; the read position is put back to the start. A stream
// that cannot be measured counts as empty, so the progress never divides by its length.
std::uint32_t MeasureLocked(std::FILE* file) {
  long size = 0;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  if (size < 0) return 0;
  return static_cast<std::uint32_t>(std::min<unsigned long>(
      static_cast<unsigned long>(size), std::numeric_limits<std::uint32_t>::max()));
}

// At the first packet of a download (read position 0) the offset starts again and the file is
// measured; later calls leave both alone.
void MeasureAtStartLocked(Engine& engine) {
  EngineState& s = engine.state;
  std::FILE* file = engine.download.targetFile;
  if (std::ftell(file) != 0) return;
  s.downloadOffset = 0;
  s.downloadTotalSize = MeasureLocked(file);
}

// Reads one packet; false after a read error. The buffer holds 256 bytes and the packet size is
// at most 246, so a read never passes its end.
bool ReadPacketLocked(Engine& engine) {
  EngineState& s = engine.state;
  DownloadContext& d = engine.download;
  const auto want =
      static_cast<std::size_t>(std::clamp(d.packetSize, kMinPacketSize, kMaxPacketSize));
  const std::size_t got = std::fread(s.downloadPacket.data(), 1, want, d.targetFile);
  s.downloadPacketLength = static_cast<std::uint32_t>(got);
  if (got < want && std::ferror(d.targetFile) != 0) return false;
  const std::uint32_t offset = s.downloadOffset;
  for (std::size_t i = 0; i < s.downloadAddress.size(); ++i) {
    s.downloadAddress[i] = static_cast<std::uint8_t>((offset >> (8 * i)) & 0xFF);
  }
  s.downloadOffset = offset + static_cast<std::uint32_t>(got);
  return true;
}

void CloseTargetFileLocked(DownloadContext& d) {
  if (d.targetFile == nullptr) return;
  std::fclose(d.targetFile);
  d.targetFile = nullptr;
}

// The read-error end: the operator is told, the log file gets its last lines, the program ends.
void EndAfterReadError(Engine& engine) {
  engine.ui.ShowMessage(kTargetReadErrorText, MessageIcon::Exclamation, MessageButtons::Ok);
  CloseTargetFile(engine);
  CloseLogFile(engine);
  engine.ui.EndProgram();
}

std::string StatusText(std::uint8_t status) {
  if (status == kStatusReady) return "Program Download READY";
  if (status == kStatusBusy) return "Program Download BUSY";
  char text[32];
  std::snprintf(text, sizeof text, "Program Download Status %02X", status);
  return text;
}

}  // namespace

void ReportDownloadProgress(Engine& engine, DownloadProgress::Kind kind,
                            DownloadProgress::Stage stage, int waitMs, int laterWaitMs) {
  const EngineState& s = engine.state;
  DownloadProgress progress;
  progress.kind = kind;
  progress.stage = stage;
  progress.bytesSent = s.downloadOffset;
  progress.totalBytes = s.downloadTotalSize;
  progress.waitMs = waitMs;
  progress.laterWaitMs = laterWaitMs;
  engine.ui.ShowDownloadProgress(progress);
}

void EnableDownloadButtons(Engine& engine) {
  engine.ui.EnableDownloadButton(DownloadButton::Normal, true);
  engine.ui.EnableDownloadButton(DownloadButton::Global, true);
}

bool OpenTargetFile(Engine& engine, const std::string& path, std::int32_t packetSize) {
  DownloadContext& d = engine.download;
  std::lock_guard lock(d.mutex);
  // The whole path is kept: cutting a long one would open another file.
  d.targetFileName = path;
  d.packetSize = std::clamp(packetSize, kMinPacketSize, kMaxPacketSize);
  CloseTargetFileLocked(d);
  d.targetFile = std::fopen(d.targetFileName.c_str(), "rb");
  return d.targetFile != nullptr;
}

void CloseTargetFile(Engine& engine) {
  std::lock_guard lock(engine.download.mutex);
  CloseTargetFileLocked(engine.download);
}

void MeasureTargetFileAtStart(Engine& engine) {
  std::lock_guard lock(engine.download.mutex);
  if (engine.download.targetFile != nullptr) MeasureAtStartLocked(engine);
}

bool TargetFileAtEnd(Engine& engine) {
  std::lock_guard lock(engine.download.mutex);
  return engine.download.targetFile == nullptr || std::feof(engine.download.targetFile) != 0;
}

bool PrepareDownloadPacket(Engine& engine) {
  {
    std::lock_guard lock(engine.download.mutex);
    if (engine.download.targetFile != nullptr && ReadPacketLocked(engine)) return true;
  }
  EndAfterReadError(engine);
  return false;
}

void HandleDownloadStatus(Engine& engine, const ResponseRow&, const ResponseContext&) {
  DownloadContext& d = engine.download;
  const std::uint8_t status = FrameData(engine)[0];  // the row's length guarantees DATA0
  if (engine.state.normalDownloadActive.load() == 0) {
    // A validator left in its loader after a stopped download answers every poll this way; a
    // box (or a packet) for each would hold the host for good, so outside a download it is only
    // logged.
    LogResponse(engine, StatusText(status));
    return;
  }
  std::unique_lock lock(d.mutex);
  if (d.targetFile == nullptr) {
    lock.unlock();
    engine.ui.ShowMessage(kDownloadCanceledText, MessageIcon::Exclamation, MessageButtons::Ok);
    return;
  }
  MeasureAtStartLocked(engine);
  LogResponse(engine, StatusText(status));
  if (status == kStatusBusy) {
    lock.unlock();
    QueueCommand(engine, cmd::kStatusRequest);
    return;
  }
  // Not a status this host knows: the exchange waits on (timer 1 still guards it), and the line
  // says why nothing follows.
  if (status != kStatusReady) return;

  if (std::feof(d.targetFile) != 0) {
    lock.unlock();
    QueueCommand(engine, cmd::kDownloadEnd);
    return;
  }
  const bool read = ReadPacketLocked(engine);
  lock.unlock();
  if (!read) {
    EndAfterReadError(engine);
    return;
  }
  ReportDownloadProgress(engine, DownloadProgress::Kind::Normal, DownloadProgress::Stage::Sending);
  QueueCommand(engine, cmd::kDownloadData);
}

void HandleProgramCheck(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  EngineState& s = engine.state;
  CloseTargetFile(engine);
  const auto data = FrameData(engine);  // the row's length guarantees DATA0..DATA2
  const bool verified = data[0] == kCheckVerified;
  const unsigned fileCrc = engine.download.targetFileCrc.load() & 0xFFFF;
  char text[64];
  if (verified) {
    std::snprintf(text, sizeof text, "Program Check Verified-%02X%02X", data[1], data[2]);
  } else {
    std::snprintf(text, sizeof text, "Program Check Error-V%02X%02X:M%04X", data[1], data[2],
                  fileCrc);
  }
  LogResponse(engine, text);

  const bool running = s.normalDownloadActive.exchange(0) != 0;
  s.transactionStep.store(kStepNone);
  engine.ui.StopTimer(kDownloadTimer);
  QueueCommand(engine, row.followUp);
  // A late check result of a download already reported stopped is acknowledged and logged, but
  // announces nothing: no download of this host has just ended.
  if (!running) return;
  ReportDownloadProgress(engine, DownloadProgress::Kind::Normal, DownloadProgress::Stage::Finished);

  if (verified) {
    engine.ui.ShowMessage(kDownloadSuccessText, MessageIcon::None, MessageButtons::Ok);
  } else {
    char failed[192];
    std::snprintf(failed, sizeof failed, kProgramCheckFailedFormat, data[1], data[2], fileCrc);
    engine.ui.ShowMessage(failed, MessageIcon::Exclamation, MessageButtons::Ok);
  }
  EnableDownloadButtons(engine);
}

void StopUnfinishedDownload(Engine& engine) {
  EngineState& s = engine.state;
  if (s.normalDownloadActive.exchange(0) == 0) return;
  engine.ui.StopTimer(kDownloadTimer);
  {
    // A download frame still queued (one the line refused) has nothing left to belong to.
    std::lock_guard lock(s.queueMutex);
    const std::uint8_t code = s.queuedCommand.load();
    if (s.commandQueued.load() != 0 && code >= cmd::kDownloadStart && code <= cmd::kDownloadEnd) {
      s.commandQueued.store(0);
    }
  }
  engine.download.refusedWrites = 0;
  CloseTargetFile(engine);
  engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
  ReportDownloadProgress(engine, DownloadProgress::Kind::Normal, DownloadProgress::Stage::Stopped);
  EnableDownloadButtons(engine);
  engine.ui.ShowMessage(kDownloadStoppedText, MessageIcon::Exclamation, MessageButtons::Ok);
}

// --- Response rows ----------------------------------------------------------------------------

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
constexpr ResponseRow kRows[] = {
    // A status keeps the download's exchange open whatever it says.
    {.code = rsp::kDownloadStatus, .length = 6, .exchange = Exchange::StaysOpen,
     .handler = HandleDownloadStatus},
    {.code = rsp::kProgramCheck, .length = 8, .handler = HandleProgramCheck,
     .followUp = cmd::kAck},
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

std::span<const ResponseRow> DownloadResponseRows() { return kRows; }

}  // namespace tarvik
