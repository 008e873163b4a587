#include "protocol/command_catalogue.h"

namespace tarvik {

namespace {
// A code-indexed view of the catalogue, built at compile time: the lookup runs on every send.
constexpr std::array<std::int16_t, 256> MakeIndex() {
  std::array<std::int16_t, 256> index{};
  index.fill(-1);
  for (std::size_t i = 0; i < kCommandCatalogue.size(); ++i) {
    index[kCommandCatalogue[i].code] = static_cast<std::int16_t>(i);
  }
  return index;
}
constexpr auto kIndex = MakeIndex();

constexpr bool CodesAreUnique() {
  for (std::size_t i = 0; i < kCommandCatalogue.size(); ++i) {
    for (std::size_t j = i + 1; j < kCommandCatalogue.size(); ++j) {
      if (kCommandCatalogue[i].code == kCommandCatalogue[j].code) return false;
    }
  }
  return true;
}
static_assert(CodesAreUnique(), "a command code appears twice in the catalogue");
}  // namespace

const CommandInfo* FindCommand(std::uint8_t code) {
  const std::int16_t at = kIndex[code];
  return at < 0 ? nullptr : &kCommandCatalogue[static_cast<std::size_t>(at)];
}

}  // namespace tarvik
