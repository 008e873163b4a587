// Any target file through the file CRC, from an in-memory file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/file_crc.h"
#include "fuzz_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  fuzz::FuzzEngine f;
  const fuzz::MemoryFile file(data, size);
  if (!file.path().empty()) CalcFileCrc(f.engine, file.path());
  return 0;
}
