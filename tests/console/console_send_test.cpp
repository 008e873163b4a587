// `:send` and `:send-bytes` as the console operator reads them: the frame handed to the worker,
// or the reason it is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/port_control.h"
#include "engine/raw_frames.h"
#include "support/fake_window_services.h"
#include "ui/console/console_operator.h"

namespace tarvik::console {
namespace {

using tarvik::testing::FakeClock;
using tarvik::testing::FakeSerialLink;
using tarvik::testing::FakeWindowServices;
using Bytes = std::vector<std::uint8_t>;

struct SendCase {
  const char* line;
  bool exchangeOpen;
  Bytes handedOver;   // empty: refused
  std::string name;   // the log name it goes under
  std::string error;  // the console's message when refused
};

TEST(ConsoleSend, HandsTheFrameOverOrSaysWhyNot) {
  const SendCase cases[] = {
      {"send 40", false, {0xFC, 0x05, 0x40, 0x2B, 0x15}, "RESET COMMAND", ""},
      {"send c0 12 0x34", false, {0xFC, 0x07, 0xC0, 0x12, 0x34, 0xAB, 0x64}, "DISABLE SET", ""},
      {"send 30", false, {0xFC, 0x05, 0x30, 0xAC, 0x66}, "Raw Frame 0x30", ""},
      {"send-bytes FC 05 11 00 00", false, {0xFC, 0x05, 0x11, 0x00, 0x00}, "Raw Bytes", ""},
      {"send-bytes 7", false, {0x07}, "Raw Bytes", ""},
      {"send 40", true, {}, "", ":send refused: an exchange is open; wait for its answer first"},
      {"send-bytes FC",
       true,
       {},
       "",
       ":send-bytes refused: an exchange is open; wait for its answer first"},
      {"send", false, {}, "", ":send needs a command code"},
      {"send-bytes", false, {}, "", ":send-bytes needs the bytes to write"},
      {"send 4G", false, {}, "", ":send takes bytes in hexadecimal (00 to FF), not \"4G\""},
      {"send 100", false, {}, "", ":send takes bytes in hexadecimal (00 to FF), not \"100\""},
      {"send-bytes -1",
       false,
       {},
       "",
       ":send-bytes takes bytes in hexadecimal (00 to FF), not \"-1\""},
  };
  for (const SendCase& c : cases) {
    SCOPED_TRACE(c.line);
    FakeWindowServices ui;
    FakeSerialLink link;
    FakeClock clock;
    Engine engine{ui, link, clock};
    ui.Attach(&engine);
    ASSERT_TRUE(ToggleComPort(engine));
    engine.state.awaitingResponse.store(c.exchangeOpen ? 1 : 0);
    ConsoleOperator console(engine);

    const CommandOutcome outcome = console.Command(c.line);
    if (c.handedOver.empty()) {
      EXPECT_EQ(outcome.kind, CommandOutcome::Kind::Error);
      EXPECT_EQ(outcome.error, c.error);
      EXPECT_EQ(engine.state.pendingCommand.load(), 0);
      continue;
    }
    EXPECT_EQ(outcome.kind, CommandOutcome::Kind::Done) << outcome.error;
    EXPECT_EQ(engine.state.pendingCommand.load(), kRawFrameCharacter);
    std::lock_guard lock(engine.rawFrame.mutex);
    EXPECT_EQ(engine.rawFrame.bytes, c.handedOver);
    EXPECT_EQ(engine.rawFrame.logName, c.name);
  }
}

}  // namespace
}  // namespace tarvik::console
