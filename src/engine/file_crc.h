// CRC of a target program file, shown on the Download tab and beside the validator's own values.
#pragma once

#include <string>

namespace tarvik {

struct Engine;

// Reads at most the first 1 MiB of `path` and stores its CRC-16 (seeded with `signatureSeed`) in
// `targetFileCrc`. When the file cannot be opened or read, `targetFileCrc` is set to 0 rather than
// keeping the CRC of an earlier file, and false is returned.
bool CalcFileCrc(Engine& engine, const std::string& path);

}  // namespace tarvik
