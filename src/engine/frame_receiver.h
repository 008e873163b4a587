// Takes the validator's answers off the line, one frame per call, within bounded waits.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace tarvik {

enum class ReceiveResult : int { FrameReceived = 0, ExchangeEnded = 1, NothingReceived = 2 };

// One frame that is already arriving, or a time-out or receive error that ends the exchange
// (`transaction_end_flag` = 1), or nothing.
ReceiveResult ReceiveFrame(Engine& engine, std::int32_t& transaction_end_flag);
// Shows the "Comminucation Status" texts of the set error bits ("OK" when none); true when any.
bool CheckCommErrors(Engine& engine, std::uint32_t bits);
void TrackStatusChange(Engine& engine, std::uint8_t code);
// Stops timer 3 when `code` answers `lastCommand`.
void StopResponseTimer(Engine& engine, std::uint8_t code);
// Stops timer 3 for an exchange that ended otherwise (a receive error, a lost port): an expiry
// already on its way is then not reported as a time-out of an exchange that is over.
void CancelResponseTimer(Engine& engine);

}  // namespace tarvik
