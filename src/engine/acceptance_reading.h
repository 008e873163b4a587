// Acceptance-data reading: the validator sends its acceptance data and its Ad data in blocks,
// unasked or after Read Log / Init Log; the host acknowledges every frame, checks and converts
// the acceptance image at its end and saves it with its statistics to "LOG.dat", and appends
// each Ad data transfer as one record to the Ad data file. Both files live in the working
// directory. Every operation reads `rxFrame`, logs one receive line (more for a save) and queues
// an Ack.
#pragma once

#include "engine/engine.h"

namespace tarvik {

// 0xE1: a block of the acceptance image (offset LSB, MSB, then the image bytes).
void StoreAcceptanceBlock(Engine& engine);
// 0xE2: checksum, conversion, statistics and, when the checksum holds, "LOG.dat".
void FinishAcceptanceData(Engine& engine);
// 0xE3: an Ad data transfer begins; `adData` is cleared.
void StartAdData(Engine& engine);
// 0xE4: a block of the Ad data image.
void StoreAdDataBlock(Engine& engine);
// 0xE5: the Ad data record is appended to the Ad data file.
void SaveAdData(Engine& engine);

}  // namespace tarvik
