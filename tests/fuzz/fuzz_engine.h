// What the fuzz targets share: an engine on fakes built fresh for each input, its clock moving
// only by the waits the engine asks for (so a wait for the rest of a frame ends at its deadline at
// once and every input runs in microseconds), and an in-memory file.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "support/fake_window_services.h"
#include "support/null_window_services.h"

namespace tarvik::fuzz {

// The window keeps nothing: what the engine shows is not what is under test, and a recording
// window would make each input slower as it logs more.
struct FuzzEngine {
  FuzzEngine() {
    // Acceptance and Ad data saves end in "File Open Error" instead of writing into the working
    // directory on every run.
    engine.acceptance.acceptanceFileName.clear();
    engine.acceptance.adDataFileName.clear();
  }
  testing::NullWindowServices ui;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine{ui, link, clock};
};

// `bytes` as a file that lives in memory only; path() is empty when it could not be made.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* bytes, std::size_t size)
      : fd_(::memfd_create("fuzz", MFD_CLOEXEC)) {
    if (fd_ >= 0 && ::write(fd_, bytes, size) != static_cast<ssize_t>(size)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string path() const {
    return fd_ < 0 ? std::string() : "/proc/self/fd/" + std::to_string(fd_);
  }

 private:
  int fd_;
};

}  // namespace tarvik::fuzz
