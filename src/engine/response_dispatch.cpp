#include "engine/response_dispatch.h"

#include <algorithm>
#include <cstdio>

#include "engine/comm_log.h"
#include "engine/frame_receiver.h"
#include "engine/response_table.h"
#include "protocol/response_text.h"

namespace tarvik {

namespace {

constexpr std::string_view kIllegalResponseText = "Illegal Response";

// Frames one call takes while their handlers keep the exchange open. Any frame already waiting
// is normally taken within the same call; the bound only keeps a validator that floods the line
// with such frames from holding the worker here, so its cycle goes on (and can be stopped). The
// port refuses a follow-up while frames are still waiting; the last one queued goes out once the
// line is quiet.
constexpr int kMaxFramesPerCall = 16;

// Where a frame lands when its code has no row, fails its check, or comes in the wrong step.
constexpr ResponseRow kIllegalRow = [] {
  ResponseRow row;
  row.handler = HandleIllegalResponse;
  row.text = kIllegalResponseText;
  return row;
}();

}  // namespace

ResponseTable::ResponseTable(std::initializer_list<std::span<const ResponseRow>> groups) {
  for (const auto group : groups) {
    for (const ResponseRow& row : group) byCode_[row.code].push_back(&row);
  }
}

std::span<const ResponseRow* const> ResponseTable::RowsOf(std::uint8_t code) const {
  return byCode_[code];
}

const ResponseRow* ResponseTable::Find(std::uint8_t code, std::uint8_t step) const {
  for (const ResponseRow* row : byCode_[code]) {
    if (StepSetHas(row->steps, step)) return row;
  }
  return nullptr;
}

// Each group of rows is listed here once; the download and acceptance-data groups join the list.
const ResponseTable& Responses() {
  static const ResponseTable table{StatusResponseRows(), EchoResponseRows(),
                                   AcceptanceResponseRows(), DownloadResponseRows()};
  return table;
}

bool KeepsExchangeOpen(const ResponseRow& row, const ResponseContext& context) {
  switch (row.exchange) {
    case Exchange::Ends:
      return false;
    case Exchange::StaysOpen:
      return true;
    case Exchange::OpenWhileReapplying:
      return context.step == kStepReapplying;
    case Exchange::OpenWhenStacking:
      return context.stackMode != kStackManual;
  }
  return false;
}

bool SomethingWillEndExchange(const Engine& engine) {
  const EngineState& s = engine.state;
  return s.commandQueued.load() != 0 || s.transactionStep.load() == kStepAutoResetAcked ||
         s.normalDownloadActive.load() != 0;
}

std::span<const std::uint8_t> FrameData(const Engine& engine) {
  const int lng = engine.rxFrame[1];
  if (lng < kMinFrameLength) return {};
  return std::span<const std::uint8_t>(engine.rxFrame)
      .subspan(3, static_cast<std::size_t>(lng - 5));
}

void LogResponse(Engine& engine, std::string_view text) {
  SetRxLogText(engine, text);
  LogReceivedFrame(engine);
}

void HandlePlainResponse(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  const auto data = FrameData(engine);
  LogResponse(engine, FormatDataBytes(row.text, data));
  if (!row.statusText.empty()) engine.ui.ShowValidatorStatus(FormatDataBytes(row.statusText, data));
  if (row.followUp != 0) QueueCommand(engine, row.followUp);
}

void HandleResponseStoppingReapply(Engine& engine, const ResponseRow& row,
                                   const ResponseContext& context) {
  HandlePlainResponse(engine, row, context);
  engine.state.reapplySettings.store(0);
}

void HandleIllegalResponse(Engine& engine, const ResponseRow&, const ResponseContext&) {
  LogResponse(engine, kIllegalResponseText);
  engine.state.reapplySettings.store(0);
}

void DispatchResponse(Engine& engine, std::int32_t& transaction_end_flag) {
  EngineState& s = engine.state;
  transaction_end_flag = 1;
  // The log line reports the check of this frame only.
  engine.check.crcErrorFlag = 0;
  engine.check.lengthErrorFlag = 0;

  const ResponseContext context{.step = s.transactionStep.load(),
                                .stackMode = s.stackMode.load(),
                                .ackMode = s.ackMode.load()};
  const std::uint8_t code = engine.rxFrame[2];
  const ResponseRow* chosen = &kIllegalRow;
  const auto rows = Responses().RowsOf(code);
  if (!rows.empty()) {
    // Every row of a code expects the same length; the first one speaks for all.
    const ResponseRow& first = *rows.front();
    const int lng = engine.rxFrame[1];
    // An own-length frame too short for the data its handler reads fails as a length error.
    const int required =
        first.length == kOwnLength ? std::max<int>(lng, first.minLength) : first.length;
    if (CheckFrame(engine.rxFrame, required, engine.check) == 0) {
      if (const ResponseRow* row = Responses().Find(code, context.step)) chosen = row;
    }
  }
  // The exchange decision and the step change come before the handler, which may rely on both.
  if (KeepsExchangeOpen(*chosen, context)) transaction_end_flag = 0;
  if (chosen->nextStep != kKeepStep) {
    s.transactionStep.store(static_cast<std::uint8_t>(chosen->nextStep));
  }
  chosen->handler(engine, *chosen, context);
  if (engine.check.crcErrorFlag == 1) engine.statistics.ReceiveError(ReceiveErrorKind::Crc);
  if (engine.check.lengthErrorFlag == 1) engine.statistics.ReceiveError(ReceiveErrorKind::Length);
  // A handler that sends nothing on (an escrow code no stack command answers, a chain cut short)
  // cannot leave the exchange waiting for an answer that will never be asked for.
  if (transaction_end_flag == 0 && !SomethingWillEndExchange(engine)) transaction_end_flag = 1;
}

std::int32_t ReceiveAndDispatch(Engine& engine) {
  std::int32_t transaction_end_flag = 0;
  for (int frames = 0; frames < kMaxFramesPerCall; ++frames) {
    const ReceiveResult result = ReceiveFrame(engine, transaction_end_flag);
    if (result == ReceiveResult::NothingReceived) break;
    if (result == ReceiveResult::FrameReceived) DispatchResponse(engine, transaction_end_flag);
    if (transaction_end_flag == 1) break;
  }
  return transaction_end_flag;
}

}  // namespace tarvik
