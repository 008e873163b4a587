// The response table: one row per validator response code (several rows for a code whose handling
// depends on the step of a multi-step exchange). The dispatcher looks a frame's code up here,
// checks the frame against the row's expected length and runs the row's handler.
//
// Rows come in groups, each kept next to the handlers it names (status reports, echoes and data
// responses, ...). A new group of responses is a `std::span<const ResponseRow>` returned by one
// function, plus one entry in the list that `Responses()` builds the table from; the dispatcher
// itself never names a code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/window_services.h"
#include "protocol/frame.h"

namespace tarvik {

// Expected length of a row that accepts the frame's own LNG, so that only the CRC decides.
inline constexpr std::int16_t kOwnLength = -1;
// `nextStep` of a row that leaves `transactionStep` alone.
inline constexpr std::int16_t kKeepStep = -1;

// The steps in which a row applies: bit n for step n, or every step.
using StepSet = std::uint32_t;
inline constexpr StepSet kAnyStep = ~StepSet{0};
template <typename... Step>
constexpr StepSet InSteps(Step... steps) {
  return ((StepSet{1} << steps) | ...);
}
constexpr bool StepSetHas(StepSet set, std::uint8_t step) {
  return set == kAnyStep || (step < 32 && ((set >> step) & 1U) != 0);
}

// Whether the exchange goes on after the frame, so that the answer to a follow-up command still
// belongs to it. Whatever the rule, an exchange stays open only while something will end it: a
// follow-up the handler queued (sent with its response deadline), the polling of a validator
// coming back from an Auto Reset, or a normal download's watchdog; otherwise the dispatcher ends
// it after the handler (see `SomethingWillEndExchange`).
enum class Exchange : std::uint8_t {
  Ends,
  StaysOpen,
  OpenWhileReapplying,  // step 4: the stored settings are being sent again
  OpenWhenStacking,     // any stack mode but Manual
};

// The modes a frame is handled under, read once when it arrives, so that the exchange decision
// and the handler agree even when the operator switches a mode at that moment.
struct ResponseContext {
  std::uint8_t step = 0;  // `transactionStep` before the row changed it
  std::int32_t stackMode = kStackManual;
  std::uint8_t ackMode = kAckAuto;
};

struct ResponseRow;
using ResponseHandler = void (*)(Engine&, const ResponseRow&, const ResponseContext&);

struct ResponseRow {
  std::uint8_t code = 0;
  // A fixed LNG, or `kOwnLength`.
  std::int16_t length = kMinFrameLength;
  // For own-length rows: the shortest frame whose data the handler reads; a shorter one fails
  // the check as a length error against this value.
  std::int16_t minLength = kMinFrameLength;
  StepSet steps = kAnyStep;
  std::int16_t nextStep = kKeepStep;  // set by the dispatcher before the handler runs
  Exchange exchange = Exchange::Ends;
  ResponseHandler handler = nullptr;
  // The log text; each "%02X" takes the next data byte (DATA0, DATA1, ...).
  std::string_view text;
  std::uint8_t followUp = 0;    // command the handler queues (0: none); when is the handler's rule
  std::string_view statusText;  // "Validator Status" field text, placeholders as in `text`
  std::optional<SettingField> field;  // Validator Information field an echo shows
};

class ResponseTable {
 public:
  explicit ResponseTable(std::initializer_list<std::span<const ResponseRow>> groups);

  // Every row of `code`, in table order; empty for a code without a row.
  std::span<const ResponseRow* const> RowsOf(std::uint8_t code) const;
  // The row of `code` that applies in `step`; null when there is none.
  const ResponseRow* Find(std::uint8_t code, std::uint8_t step) const;

 private:
  std::array<std::vector<const ResponseRow*>, 256> byCode_;
};

// The host's response table, built once from every group of rows.
const ResponseTable& Responses();

// The groups of rows.
std::span<const ResponseRow> StatusResponseRows();  // operation statuses, ACK, ENQ
std::span<const ResponseRow> EchoResponseRows();    // command echoes, data and hopper responses
std::span<const ResponseRow> AcceptanceResponseRows();  // acceptance and Ad data transfers
std::span<const ResponseRow> DownloadResponseRows();  // program download status and check

// Whether a frame answered by `row` under `context` leaves the exchange open, by the row's rule.
bool KeepsExchangeOpen(const ResponseRow& row, const ResponseContext& context);
// Whether an open exchange has something that will end it: a queued follow-up (it goes out with
// a response deadline), step 3 (the polling timer asks for a status on every tick), or a normal
// download (its watchdog runs).
bool SomethingWillEndExchange(const Engine& engine);

// --- Helpers for handlers ------------------------------------------------------------------

// The data bytes of the frame in `rxFrame` (DATA0 onward, LNG − 5 of them; none for a frame
// shorter than five bytes). Handlers read the frame only through this.
std::span<const std::uint8_t> FrameData(const Engine& engine);
// Sets `rxLogText` to `text` and writes the receive log line.
void LogResponse(Engine& engine, std::string_view text);

// Handlers shared by rows of several groups.
// Logs the row's text with its data bytes, shows its status text, queues its follow-up.
void HandlePlainResponse(Engine& engine, const ResponseRow& row, const ResponseContext& context);
// As `HandlePlainResponse`, then stops a re-application of the stored settings.
void HandleResponseStoppingReapply(Engine& engine, const ResponseRow& row,
                                   const ResponseContext& context);
// "Illegal Response"; stops a re-application of the stored settings.
void HandleIllegalResponse(Engine& engine, const ResponseRow& row, const ResponseContext& context);

}  // namespace tarvik
