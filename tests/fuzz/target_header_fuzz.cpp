// Any target file through the Download tab's Browse (its header text and file CRC) and then
// packet by packet through the download's reader, with a packet size from the first byte. Input:
// that byte, then the file (an in-memory file).
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/download_tab.h"
#include "engine/program_download.h"
#include "fuzz_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  if (size < 1) return 0;
  fuzz::FuzzEngine f;
  Engine& engine = f.engine;
  const fuzz::MemoryFile file(data + 1, size - 1);
  const std::string path = file.path();
  if (!path.empty()) {
    BrowseTargetFile(engine, path);
    // Sizes outside 1..246 included: the reader brings them into range.
    const std::int32_t packetSize = static_cast<std::int8_t>(data[0]) * 2;
    if (OpenTargetFile(engine, path, packetSize)) {
      MeasureTargetFileAtStart(engine);
      // A file of n bytes takes at most n + 1 packets; the bound catches a reader that stalls.
      for (std::size_t packets = 0; packets <= size && !TargetFileAtEnd(engine); ++packets) {
        if (!PrepareDownloadPacket(engine)) break;
      }
      CloseTargetFile(engine);
    }
  }
  return 0;
}
