// Any bytes a terminal or a script can send through the console's input parser (keys, escape
// sequences, command lines), and any words through the command-line option parser. (The
// operator's reactions are left out: command lines open and write files by name.) Input: a flag
// byte (terminal or pipe), then the bytes; for the option parser the same bytes split at zero bytes
// into arguments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/host_options.h"
#include "ui/console/console_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  if (size < 1) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  console::InputParser parser((data[0] & 1) != 0);
  std::vector<console::InputEvent> events;
  // In two pieces, as reads from a pipe cut the bytes anywhere.
  const std::size_t half = bytes.size() / 2;
  parser.Feed(bytes.substr(0, half), events);
  parser.Feed(bytes.substr(half), events);
  parser.Finish(events);

  std::vector<std::string> words{"tarvik-host"};
  std::size_t start = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    if (i == bytes.size() || bytes[i] == '\0') {
      words.emplace_back(bytes.substr(start, i - start));
      start = i + 1;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  ParseHostOptions(static_cast<int>(argv.size()), argv.data());
  return 0;
}
