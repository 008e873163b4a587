// The validator's operation statuses, its power-up and error reports, ACK and ENQ: the rows of the
// response table that drive polling, escrow handling and the Auto Reset sequence.
#include <array>
#include <cstdio>
#include <string>

#include "engine/response_table.h"
#include "protocol/line_codes.h"
#include "protocol/response_text.h"

namespace tarvik {

namespace {

// Escrow codes of a note the host may stack or return; others are only reported.
constexpr std::uint8_t kFirstNoteCode = 0x61;
constexpr std::uint8_t kLastNoteCode = 0x7F;
// A note whose data carry a text (DATA1 up to the CRC).
constexpr std::uint8_t kTextNoteCode = 0x6F;

// The validator needs this long after INITIALIZE before it takes setting commands.
constexpr int kInitializeSettleMs = 100;

// The host's automatic answer to a note in escrow, by stack mode (0 Manual: the operator's).
constexpr std::array<std::uint8_t, 4> kEscrowAnswer{0, cmd::kStack1, cmd::kStack2,
                                                    cmd::kReturn};

void HandleEscrow(Engine& engine, const ResponseRow&, const ResponseContext& context) {
  // The row's minimum length guarantees DATA0.
  const auto data = FrameData(engine);
  const std::uint8_t escrowCode = data[0];
  char text[16];
  if (escrowCode < kFirstNoteCode || escrowCode > kLastNoteCode) {
    std::snprintf(text, sizeof text, "ESCROW %02X", escrowCode);
    LogResponse(engine, text);
    return;
  }
  if (escrowCode == kTextNoteCode) {
    LogResponse(engine, "ESCROW \"" + PrintableText(data.subspan(1), kMaxEscrowTextChars) + "\"");
  } else {
    std::snprintf(text, sizeof text, "ESCROW %2X", escrowCode);
    LogResponse(engine, text);
  }
  const std::int32_t mode = context.stackMode;
  if (mode > kStackManual && mode < static_cast<std::int32_t>(kEscrowAnswer.size())) {
    QueueCommand(engine, kEscrowAnswer[static_cast<std::size_t>(mode)]);
  }
}

// The validator does not answer the host's ACK to a vend, so the exchange ends with the VEND
// VALID itself in both ACK modes: kept open, it would wait for an answer that never comes, and
// MANU acknowledgement would hold it for the operator's own ACK.
void HandleVendValid(Engine& engine, const ResponseRow& row, const ResponseContext& context) {
  LogResponse(engine, row.text);
  if (context.ackMode == kAckAuto) QueueCommand(engine, row.followUp);
}

// Auto Reset: the validator has restarted; send the stored settings again, starting the chain.
void HandleInitializeAfterReset(Engine& engine, const ResponseRow& row, const ResponseContext&) {
  LogResponse(engine, row.text);
  engine.clock.Pause(kInitializeSettleMs);
  engine.state.reapplySettings.store(1);
  QueueCommand(engine, row.followUp);
}

constexpr ResponseHandler Plain = HandlePlainResponse;

// Rows name only the fields they use and leave the rest at their defaults; this compiler warns
// about every field a designated initializer leaves out, defaults or not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
constexpr ResponseRow kRows[] = {
    {.code = 0x05, .handler = Plain, .text = "ENQ", .followUp = cmd::kStatusRequest},
    {.code = 0x11, .handler = Plain, .text = "IDLING", .statusText = "Enable"},
    {.code = 0x12, .handler = Plain, .text = "ACCEPTING"},
    {.code = 0x13, .length = kOwnLength, .minLength = 6, .exchange = Exchange::OpenWhenStacking,
     .handler = HandleEscrow},
    {.code = 0x14, .handler = Plain, .text = "STACKING"},
    {.code = 0x15, .handler = HandleVendValid,
     .text = "VEND VALID", .followUp = cmd::kAck},
    {.code = 0x16, .handler = Plain, .text = "STACKED"},
    {.code = 0x17, .length = 6, .handler = Plain, .text = "REJECT %02X"},
    {.code = 0x18, .handler = Plain, .text = "RETURN"},
    {.code = 0x19, .handler = Plain, .text = "HOLDING"},
    {.code = 0x1A, .handler = Plain, .text = "INHIBIT", .statusText = "Disable"},
    {.code = 0x1B, .steps = InSteps(kStepNone), .handler = Plain, .text = "INITIALIZE"},
    {.code = 0x1B, .steps = InSteps(kStepAutoResetAcked), .nextStep = kStepReapplying,
     .exchange = Exchange::StaysOpen, .handler = HandleInitializeAfterReset, .text = "INITIALIZE",
     .followUp = cmd::kDisableSet},
    {.code = 0x1B, .steps = InSteps(kStepDownloadStart, kStepAutoResetSent, kStepReapplying),
     .handler = HandleIllegalResponse},
    {.code = 0x40, .handler = Plain, .text = "POWERUP"},
    {.code = 0x41, .handler = Plain, .text = "POWERUP with Bill in Acceptor"},
    {.code = 0x42, .handler = Plain, .text = "POWERUP with Bill in Stacker"},
    {.code = 0x43, .handler = Plain, .text = "Stacker Full"},
    {.code = 0x44, .handler = Plain, .text = "Stacker Open"},
    {.code = 0x45, .handler = Plain, .text = "Jam in Acceptor"},
    {.code = 0x46, .handler = Plain, .text = "Jam in Stacker"},
    {.code = 0x47, .handler = Plain, .text = "Pause"},
    {.code = 0x48, .handler = Plain, .text = "Cheated"},
    {.code = 0x49, .length = 6, .handler = Plain, .text = "FAILURE %02X",
     .statusText = "FAILURE-%02X"},
    {.code = 0x4A, .handler = HandleResponseStoppingReapply, .text = "Communication Error"},
    {.code = 0x4B, .handler = HandleResponseStoppingReapply, .text = "Invalid Command"},
    {.code = 0x50, .steps = InSteps(kStepNone), .handler = Plain, .text = "ACK"},
    // A normal download: the start was acknowledged; its status reports drive the transfer.
    {.code = 0x50, .steps = InSteps(kStepDownloadStart), .exchange = Exchange::StaysOpen,
     .handler = Plain, .text = "ACK", .followUp = cmd::kStatusRequest},
    // Auto Reset: the reset was acknowledged; the exchange waits for INITIALIZE.
    {.code = 0x50, .steps = InSteps(kStepAutoResetSent), .nextStep = kStepAutoResetAcked,
     .exchange = Exchange::StaysOpen, .handler = Plain, .text = "ACK"},
    {.code = 0x50, .steps = InSteps(kStepAutoResetAcked, kStepReapplying),
     .handler = HandleIllegalResponse},
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

std::span<const ResponseRow> StatusResponseRows() { return kRows; }

}  // namespace tarvik
