#include "engine/file_crc.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "engine/engine.h"
#include "protocol/frame.h"

namespace tarvik {

namespace {
constexpr std::size_t kFileCrcLimit = 0x100000;  // bytes beyond 1 MiB do not count
}

bool CalcFileCrc(Engine& engine, const std::string& path) {
  engine.download.targetFileCrc.store(0);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  std::uint16_t crc = signatureSeed;
  std::uint8_t chunk[4096];
  std::size_t total = 0;
  while (total < kFileCrcLimit) {
    const std::size_t want = std::min(sizeof chunk, kFileCrcLimit - total);
    const std::size_t got = std::fread(chunk, 1, want, file.get());
    for (std::size_t i = 0; i < got; ++i) crc = CrcStep(crc, chunk[i]);
    total += got;
    if (got < want) break;
  }
  if (std::ferror(file.get())) return false;
  engine.download.targetFileCrc.store(crc);
  return true;
}

}  // namespace tarvik
