// Any settings file text through the settings-file reader, and any value-box text through the
// value entry, for every set command. Input: one byte choosing the value box's command and
// length, then the text (read from an in-memory file for the reader).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/settings.h"
#include "engine/value_entry.h"
#include "fuzz_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  if (size < 1) return 0;
  fuzz::FuzzEngine f;
  Engine& engine = f.engine;

  static constexpr std::uint8_t kSetCommands[] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4,
                                                  0xC5, 0xC6, 0xC7, 0xCC};
  const std::uint8_t code = kSetCommands[data[0] % sizeof kSetCommands];
  const int maxLength = code == 0xCC ? 20 : (data[0] & 0x10) != 0 ? 4 : 2;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  int result = 0;
  ParseSettingValue(engine, text, maxLength, code, result);

  const fuzz::MemoryFile file(data + 1, size - 1);
  if (!file.path().empty()) LoadSettings(engine, file.path());
  return 0;
}
