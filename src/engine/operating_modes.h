// The four operator modes: stack, ACK, polling and display, with their labels and buttons.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace tarvik {

void SetStackMode(Engine& engine, std::int32_t mode);
std::int32_t GetStackMode(Engine& engine);
void SetAckMode(Engine& engine, std::uint8_t mode);
std::uint8_t GetAckMode(Engine& engine);
void SetPollingMode(Engine& engine, std::int32_t mode);
std::int32_t GetPollingMode(Engine& engine);
// Stores the mode and sets its label ("Binary and Full" / "Text and Limited").
void SetDisplayMode(Engine& engine, std::int32_t mode);
std::int32_t GetDisplayMode(Engine& engine);
// 2 → "[ MANU ]" and MANU; anything else → "[ AUTO ]" and AUTO.
void ApplyPollingMode(Engine& engine, std::int32_t mode);

// The mode buttons (window thread).
void ChangeStackMode(Engine& engine);
void ToggleAckMode(Engine& engine);
void TogglePollingMode(Engine& engine);
// Switches the display mode, empties the log box and, unless a normal download runs, has the
// worker send a status request in its next cycle, before any other queued command.
void ToggleDisplayMode(Engine& engine);

}  // namespace tarvik
