// The rows 0xE1 to 0xE5 of the response table and their operations.
#include <cstdio>
#include <string>

#include "engine/acceptance_data.h"
#include "engine/acceptance_files.h"
#include "engine/acceptance_reading.h"
#include "engine/response_table.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

constexpr std::string_view kFileOpenErrorText = "File Open Error";
constexpr std::string_view kSaveErrorText = "Save Error";

// A block frame: SYNC, LNG, code, offset LSB and MSB, the bytes, CRC. Its row makes sure the
// frame is at least this long, so the offset is always there.
constexpr int kBlockFrameMinLength = 7;

struct Block {
  std::size_t offset = 0;
  std::span<const std::uint8_t> bytes;
};

Block ReadBlock(const Engine& engine) {
  const auto data = FrameData(engine);
  if (data.size() < 2) return {};  // the row refuses such a frame; nothing to store
  return {static_cast<std::size_t>(data[0]) + 256U * data[1], data.subspan(2)};
}

// "NAME (offset:%05d)" with the block's offset.
std::string OffsetText(std::string_view name, std::size_t offset) {
  char number[8];
  std::snprintf(number, sizeof number, "%05u", static_cast<unsigned>(offset));
  return std::string(name) + " (offset:" + number + ")";
}

// The full reason goes to standard error; the log keeps its fixed texts.
void ReportFileFailure(const FileWriteResult& result) {
  if (result.error.empty()) return;
  std::fprintf(stderr, "tarvik-host: %s%s\n", result.error.c_str(),
               result.opened ? "; nothing was saved over the earlier data"
                             : "; run the host in a directory it may write to");
}

void LogWriteResult(Engine& engine, const FileWriteResult& result) {
  if (!result.opened) {
    LogResponse(engine, kFileOpenErrorText);
  } else {
    for (int i = 0; i < result.shortWrites; ++i) LogResponse(engine, kSaveErrorText);
    // A failed sync or rename is a save that did not happen, though each write went through.
    if (result.shortWrites == 0 && !result.saved) LogResponse(engine, kSaveErrorText);
  }
  ReportFileFailure(result);
}

}  // namespace

void StoreAcceptanceBlock(Engine& engine) {
  const Block block = ReadBlock(engine);
  LogResponse(engine, OffsetText("Acceptance Data", block.offset));
  StoreBlock(engine.acceptance.acceptanceData, block.offset, block.bytes);
  QueueCommand(engine, cmd::kAck);
}

void FinishAcceptanceData(Engine& engine) {
  AcceptanceBuffers& buffers = engine.acceptance;
  LogResponse(engine, "Acceptance Data End");
  QueueCommand(engine, cmd::kAck);

  const std::uint32_t m = AcceptanceChecksum(buffers.acceptanceData);
  ConvertAcceptanceImage(buffers.acceptanceData);
  RebuildAcceptanceStats(buffers.acceptanceData, buffers.acceptanceStats);
  const std::uint32_t a = ReadSlot(buffers.acceptanceData, kChecksumOffset);

  char text[48];
  if (a != m) {
    std::snprintf(text, sizeof text, "Check Sum Error A:%04X,M:%04X", a, m);
    LogResponse(engine, text);
    return;
  }
  std::snprintf(text, sizeof text, "Check Sum A:%04X,M:%04X", a, m);
  LogResponse(engine, text);
  if (buffers.acceptanceFileName.empty()) {
    // No file to open: the save fails as an open would.
    LogResponse(engine, kFileOpenErrorText);
    return;
  }
  const auto stats = StatsBytes(buffers.acceptanceStats);
  LogWriteResult(engine, ReplaceFile(buffers.acceptanceFileName, {buffers.acceptanceData, stats}));
}

void StartAdData(Engine& engine) {
  QueueCommand(engine, cmd::kAck);
  LogResponse(engine, "Ad Data Read");
  engine.acceptance.adData.fill(0);
}

void StoreAdDataBlock(Engine& engine) {
  const Block block = ReadBlock(engine);
  LogResponse(engine, OffsetText("Ad Data", block.offset));
  StoreBlock(engine.acceptance.adData, block.offset, block.bytes);
  QueueCommand(engine, cmd::kAck);
}

void SaveAdData(Engine& engine) {
  AcceptanceBuffers& buffers = engine.acceptance;
  LogResponse(engine, "Ad Data End");
  QueueCommand(engine, cmd::kAck);
  const auto record = BuildAdDataRecord(buffers.adData);
  if (buffers.adDataFileName.empty()) {
    // No file to open: the save fails as an open would.
    LogResponse(engine, kFileOpenErrorText);
    return;
  }
  LogWriteResult(engine, AppendToFile(buffers.adDataFileName, record));
}

namespace {

template <void (*Operation)(Engine&)>
void Run(Engine& engine, const ResponseRow&, const ResponseContext&) {
  Operation(engine);
}

// Every row ends the exchange: the Ack it queues settles the validator's frame, and the next
// block is a frame the validator sends of its own accord, not an answer the host waits for.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
constexpr ResponseRow kRows[] = {
    {.code = rsp::kAcceptanceBlock, .length = kOwnLength, .minLength = kBlockFrameMinLength,
     .exchange = Exchange::Ends, .handler = Run<StoreAcceptanceBlock>, .followUp = cmd::kAck},
    {.code = rsp::kAcceptanceEnd, .exchange = Exchange::Ends, .handler = Run<FinishAcceptanceData>,
     .followUp = cmd::kAck},
    {.code = rsp::kAdStart, .exchange = Exchange::Ends, .handler = Run<StartAdData>,
     .followUp = cmd::kAck},
    {.code = rsp::kAdBlock, .length = kOwnLength, .minLength = kBlockFrameMinLength,
     .exchange = Exchange::Ends, .handler = Run<StoreAdDataBlock>, .followUp = cmd::kAck},
    {.code = rsp::kAdEnd, .exchange = Exchange::Ends, .handler = Run<SaveAdData>,
     .followUp = cmd::kAck},
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

std::span<const ResponseRow> AcceptanceResponseRows() { return kRows; }

}  // namespace tarvik
