#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "engine/comm_log.h"
#include "engine/raw_frames.h"
#include "protocol/frame.h"
#include "protocol/line_codes.h"

namespace tarvik::bench {

namespace {

// The validator's IDLING answer to a status request.
const std::vector<std::uint8_t>& IdlingFrame() {
  static const std::vector<std::uint8_t> frame = BuildRawFrame(kSyncByte, rsp::kIdling, {});
  return frame;
}

}  // namespace

int AnsweringLink::Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) {
  written = count;
  if (count >= 3 && bytes[2] == cmd::kStatusRequest) {
    incoming_.insert(incoming_.end(), IdlingFrame().begin(), IdlingFrame().end());
  }
  return 1;
}

int AnsweringLink::Read(std::uint8_t* buffer, std::uint32_t count) {
  if (count == 0 || incoming_.size() < count) return 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    buffer[i] = incoming_.front();
    incoming_.pop_front();
  }
  return static_cast<int>(count);
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

std::string StatusLogEntry() {
  // The engine writes it, into window services that keep the text.
  class Capture final : public NullWindow {
   public:
    void AppendLogText(std::string_view text) override { entry.append(text); }
    std::string GetLogText() override { return entry; }
    std::string entry;
  };
  Capture capture;
  AnsweringLink link;
  NoWaitClock clock;
  Engine engine{capture, link, clock};
  engine.state.displayMode.store(kDisplayBinaryFull);
  const std::vector<std::uint8_t>& idling = IdlingFrame();
  std::copy(idling.begin(), idling.end(), engine.rx.bytes.begin());
  engine.rx.byteCount = static_cast<int>(idling.size());
  FormatHex(engine.rx);
  SetRxLogText(engine, "IDLING");
  LogReceivedFrame(engine);
  return capture.entry;
}

}  // namespace tarvik::bench
