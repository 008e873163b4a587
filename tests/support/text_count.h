// How often a text occurs in a log or an output, from a given offset on; occurrences may overlap.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvik::testing {

inline std::size_t Count(std::string_view text, std::string_view what, std::size_t from = 0) {
  std::size_t count = 0;
  for (auto at = text.find(what, from); at != std::string_view::npos;
       at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace tarvik::testing
