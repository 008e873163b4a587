// Any byte stream from the line: the receiver and the dispatch take it apart without crashing,
// without waiting for ever and without reading outside a frame (the sanitizer builds watch the
// last), and a good frame after the noise is still understood.
#include <gtest/gtest.h>

#include <random>

#include "dispatch_fixture.h"

namespace tarvik {
namespace {

using testing::DispatchFixture;
using testing::MakeFrame;

TEST(StreamRobustnessTest, RandomStreamsAreConsumedAndAGoodFrameAfterThemIsUnderstood) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 200; ++round) {
    DispatchFixture f;
    f.engine.state.transactionStep = static_cast<std::uint8_t>(round % 5);
    std::vector<std::uint8_t> noise(random() % 600);
    for (auto& b : noise) {
      // Plenty of SYNC bytes so that frames of every length and code are attempted.
      b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0xFC : random());
    }
    f.link.Deliver(noise);

    // Every pass takes at least one byte or reports an ending, so the stream is used up within
    // as many passes as it has bytes.
    for (std::size_t pass = 0; pass <= noise.size() && f.link.Queued() > 0; ++pass) {
      ReceiveAndDispatch(f.engine);
    }
    ASSERT_EQ(f.link.Queued(), 0u) << "round " << round;

    // The line is clean again: an IDLING status is received and shown.
    f.ui.ClearCalls();
    f.engine.state.commErrors = 0;
    f.engine.state.responseTimedOut = 0;
    f.Receive(MakeFrame(0x11));
    const auto texts = f.ArrowTexts();
    ASSERT_FALSE(texts.empty()) << "round " << round;
    EXPECT_EQ(texts.back(), "IDLING") << "round " << round;
  }
}

// Every length byte with every code: one frame of each is received and logged exactly once.
TEST(StreamRobustnessTest, EveryLengthByteGivesOneLogLine) {
  for (int lng = 0; lng <= 255; ++lng) {
    DispatchFixture f;
    std::vector<std::uint8_t> frame{0xFC, static_cast<std::uint8_t>(lng), 0x88};
    while (frame.size() < static_cast<std::size_t>(std::max(lng, 3))) frame.push_back('x');
    f.Receive(frame);
    EXPECT_EQ(f.ArrowTexts().size(), 1u) << "LNG " << lng;
  }
}

}  // namespace
}  // namespace tarvik
