// Opening and closing the configured port from the main window, with the operator's messages.
#pragma once

#include <string>

#include "engine/engine.h"

namespace tarvik {

// Opens the port from `com_port_index` and `baud_rate_index`; 1 or 0 as `Open` does.
int OpenPortFromSettings(Engine& engine);
// The configured port as the operator knows it: "COM1 (/dev/ttyUSB0)".
std::string ConfiguredPortText(const Engine& engine);
// Opens a closed port (and starts polling) or closes an open one, refusing during a global
// download or an open transaction. Returns true when the port changed state.
bool ToggleComPort(Engine& engine);

}  // namespace tarvik
