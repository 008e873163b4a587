#include "engine/operator_dispatch.h"

#include <array>
#include <span>

#include "engine/raw_frames.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

// What a row does besides queueing its command.
enum class Effect : std::uint8_t {
  None,
  PlainReset,     // reapplySettings = 0
  AutoReset,      // transactionStep = 2, reapplySettings = 1
  ReapplyReset,   // reapplySettings = 1, the step stays 0 (Test mode resets)
  DownloadStart,  // transactionStep = 1
  AskAcceptRate,  // the code depends on the operator's answer
};

struct OperatorRow {
  char character;
  std::uint8_t code;
  Effect effect;
};

constexpr std::string_view kAcceptRateQuestion = "ACCEPT RATE DATA INITIAL.";

// Every operator command of the Normal operating mode.
constexpr std::array<OperatorRow, 41> kNormalTable{{
    {'S', 0x11, Effect::None},
    {'r', 0x40, Effect::PlainReset},
    {'R', 0x40, Effect::AutoReset},
    {'A', 0x41, Effect::None},
    {'a', 0x42, Effect::None},
    {'J', 0x43, Effect::None},
    {'H', 0x44, Effect::None},
    {'W', 0x45, Effect::None},
    {'!', 0x4A, Effect::None},
    {'K', 0x50, Effect::None},
    {'D', 0x80, Effect::None},
    {'E', 0x81, Effect::None},
    {'M', 0x82, Effect::None},
    {'I', 0x83, Effect::None},
    {'T', 0x84, Effect::None},
    {'U', 0x85, Effect::None},
    {'B', 0x86, Effect::None},
    {'C', 0x87, Effect::None},
    {'V', 0x88, Effect::None},
    {'v', 0x89, Effect::None},
    {'Q', 0x8A, Effect::None},
    {'N', 0x8C, Effect::None},
    {'3', 0x8F, Effect::None},
    {'d', 0xC0, Effect::None},
    {'e', 0xC1, Effect::None},
    {'m', 0xC2, Effect::None},
    {'i', 0xC3, Effect::None},
    {'t', 0xC4, Effect::None},
    {'u', 0xC5, Effect::None},
    {'b', 0xC6, Effect::None},
    {'c', 0xC7, Effect::None},
    {'n', 0xCC, Effect::None},
    {'P', 0xDC, Effect::None},
    {'F', 0xD0, Effect::DownloadStart},
    {'5', 0x21, Effect::None},
    {'6', 0x46, Effect::None},
    {'7', 0x8D, Effect::None},
    {'G', 0x8B, Effect::None},
    {'g', cmd::kAcceptRateInit, Effect::AskAcceptRate},
    {'1', 0xE0, Effect::None},
    {'2', 0xE1, Effect::None},
}};

// The Test operating mode knows only reset and version; both resets resend the stored settings
// without the Auto Reset sequence, and both version buttons ask for the main version.
constexpr std::array<OperatorRow, 4> kTestTable{{
    {'R', 0x40, Effect::ReapplyReset},
    {'r', 0x40, Effect::ReapplyReset},
    {'V', 0x88, Effect::None},
    {'v', 0x88, Effect::None},
}};

const OperatorRow* FindRow(std::span<const OperatorRow> table, std::int32_t character) {
  for (const OperatorRow& row : table) {
    if (static_cast<std::int32_t>(static_cast<unsigned char>(row.character)) == character) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace

std::int32_t DispatchOperatorCommand(Engine& engine, std::int32_t character) {
  EngineState& s = engine.state;
  // Every character taken abandons a multi-step exchange, even one that is then rejected.
  s.transactionStep.store(kStepNone);
  // A frame the operator typed in full goes out at once, in either operating mode.
  if (character == kRawFrameCharacter) return SendHandedOverRawFrame(engine);

  const bool normalMode = s.ope_mode_index.load() == 0;
  const OperatorRow* row =
      normalMode ? FindRow(kNormalTable, character) : FindRow(kTestTable, character);
  if (row == nullptr) return 1;

  std::uint8_t code = row->code;
  switch (row->effect) {
    case Effect::None:
      break;
    case Effect::PlainReset:
      s.reapplySettings.store(0);
      break;
    case Effect::AutoReset:
      s.transactionStep.store(kStepAutoResetSent);
      s.reapplySettings.store(1);
      break;
    case Effect::ReapplyReset:
      s.reapplySettings.store(1);
      break;
    case Effect::DownloadStart:
      s.transactionStep.store(kStepDownloadStart);
      break;
    case Effect::AskAcceptRate:
      // Asked on the worker thread: nothing is received or sent until the operator answers.
      if (engine.ui.ShowMessage(kAcceptRateQuestion, MessageIcon::None, MessageButtons::YesNo) !=
          MessageResult::Yes) {
        code = cmd::kStatusRequest;
      }
      break;
  }
  QueueCommand(engine, code);
  return 0;
}

}  // namespace tarvik
