// Translates an operator command character into a protocol command (Normal or Test table).
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace tarvik {

// 0 when a command was queued, 1 when the character was rejected. Worker thread only.
std::int32_t DispatchOperatorCommand(Engine& engine, std::int32_t character);

}  // namespace tarvik
