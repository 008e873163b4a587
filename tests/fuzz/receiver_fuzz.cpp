// Arbitrary byte streams through the serial seam into the frame receiver and the response
// dispatch, under every step, stack mode, ACK mode and display mode, with the follow-ups the
// handlers queue sent back out. Nothing may crash, read out of bounds or loop for ever.
//
// Input: four bytes of modes, then the stream; each 0xA5 0x5A pair in the stream splits it into
// deliveries with a receive pass in between (so frames also arrive in pieces).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/command_sender.h"
#include "engine/response_dispatch.h"
#include "fuzz_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  if (size < 4) return 0;
  fuzz::FuzzEngine f;
  Engine& engine = f.engine;
  testing::FakeSerialLink& link = f.link;
  link.Open(1, 9600);
  EngineState& s = engine.state;
  s.portOpen = 1;
  s.transactionStep = static_cast<std::uint8_t>(data[0] % 5);
  s.stackMode = data[1] % 4;
  s.ackMode = static_cast<std::uint8_t>(data[2] & 1);
  s.displayMode = (data[2] >> 1) & 1;
  s.normalDownloadActive = static_cast<std::uint8_t>(s.transactionStep == kStepDownloadStart);
  s.awaitingResponse = (data[2] >> 2) & 1;
  s.baud_rate_index = data[3] % 3;

  const auto pass = [&] {
    // Bounded like the worker's own cycle: every pass either takes bytes or ends.
    for (int i = 0; i < 64 && link.Queued() > 0; ++i) {
      if (ReceiveAndDispatch(engine) == 1) s.awaitingResponse = 0;
      std::uint8_t code = 0;
      if (PeekQueuedCommand(engine, code)) {
        s.commandQueued = 0;
        SendCommand(engine, code);
      }
    }
  };
  std::vector<std::uint8_t> piece;
  for (std::size_t i = 4; i < size; ++i) {
    if (data[i] == 0xA5 && i + 1 < size && data[i + 1] == 0x5A) {
      link.Deliver(piece);
      piece.clear();
      pass();
      ++i;
      continue;
    }
    piece.push_back(data[i]);
  }
  link.Deliver(piece);
  pass();
  return 0;
}
