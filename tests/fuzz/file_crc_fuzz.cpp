// Any target file through the file CRC, from an in-memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/file_crc.h"
#include "fuzz_clock.h"
#include "support/fake_window_services.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  testing::FakeWindowServices ui;
  testing::FakeSerialLink link;
  fuzz::FuzzClock clock;
  Engine engine{ui, link, clock};
  const int fd = ::memfd_create("target", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
    CalcFileCrc(engine, "/proc/self/fd/" + std::to_string(fd));
  }
  ::close(fd);
  return 0;
}
