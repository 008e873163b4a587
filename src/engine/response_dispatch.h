// Hands every received frame to the handler of its response code, after checking its length and
// CRC, and decides whether the current exchange ends.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace tarvik {

// Receives and dispatches every frame that is waiting; 1 when the current exchange ended.
std::int32_t ReceiveAndDispatch(Engine& engine);
// Handles the frame the receiver just placed in `rxFrame`; leaves the flag 1 (ended) or 0.
void DispatchResponse(Engine& engine, std::int32_t& transaction_end_flag);

}  // namespace tarvik
