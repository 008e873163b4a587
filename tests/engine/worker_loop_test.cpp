#include "engine/worker_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/port_control.h"
#include "protocol/line_codes.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::MakeFrame;

// The commands written to the line, by their CMD byte.
std::vector<int> WrittenCommands(const FakeSerialLink& link) {
  std::vector<int> codes;
  for (const auto& frame : link.Written()) codes.push_back(frame.size() > 2 ? frame[2] : -1);
  return codes;
}

class WorkerCycleTest : public ::testing::Test {
 protected:
  WorkerCycleTest() { ui.Attach(&engine); }

  // The worker's start-up with a port that opens.
  void StartUp() {
    WorkerStartUp(engine);
    ASSERT_EQ(engine.state.portOpen, 1);
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_F(WorkerCycleTest, StartUpClearsTheHandOverAndOpensThePort) {
  EngineState& s = engine.state;
  s.awaitingResponse = 1;
  s.armResponseTimer = 1;
  s.pendingCommand = 'A';
  QueueCommand(engine, 0x41);
  s.globalDownloadActive = 1;
  s.statusChanged = 1;
  s.lastStatus = 5;
  s.polling_duration = 350;

  StartUp();

  EXPECT_EQ(s.awaitingResponse, 0);
  EXPECT_EQ(s.armResponseTimer, 0);
  EXPECT_EQ(s.pendingCommand, 0);
  EXPECT_EQ(s.commandQueued, 0);
  EXPECT_EQ(s.globalDownloadActive, 0);
  EXPECT_EQ(s.statusChanged, 0);
  EXPECT_EQ(s.lastStatus, 0);
  EXPECT_EQ(s.logRecordingStopped, 1);
  EXPECT_EQ(ui.PeriodOf(kPollingTimer), 350);
}

TEST_F(WorkerCycleTest, ACharacterPostedWhileThePortIsClosedIsDropped) {
  link.RefuseOpen(true);
  WorkerStartUp(engine);
  ASSERT_EQ(engine.state.portOpen, 0);
  EXPECT_EQ(ui.Messages(),
            std::vector<std::string>{"This COM port is not available. Use another COM port."});

  PostPendingCommand(engine, 'A');
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.pendingCommand, 0);

  // Opening the port later does not send it.
  link.RefuseOpen(false);
  ASSERT_TRUE(ToggleComPort(engine));
  WorkerCycle(engine);
  WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(engine.state.awaitingResponse, 0);
}

TEST_F(WorkerCycleTest, OnlyTheLastOfTwoPostedCharactersIsDispatched) {
  StartUp();
  PostPendingCommand(engine, 'A');
  PostPendingCommand(engine, 'J');
  WorkerCycle(engine);
  WorkerCycle(engine);
  EXPECT_EQ(WrittenCommands(link), std::vector<int>{0x43});
}

TEST_F(WorkerCycleTest, AnOperatorCommandGoesOutInTheNextCycle) {
  StartUp();
  PostPendingCommand(engine, 'A');
  EXPECT_FALSE(WorkerCycle(engine));
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(engine.state.awaitingResponse, 1);
  EXPECT_EQ(engine.state.armResponseTimer, 1);

  EXPECT_TRUE(WorkerCycle(engine));
  EXPECT_EQ(WrittenCommands(link), std::vector<int>{0x41});
  // The transmission armed the 300 ms answer deadline.
  EXPECT_TRUE(ui.IsRunning(kResponseTimer));
  EXPECT_EQ(engine.state.armResponseTimer, 0);
}

TEST_F(WorkerCycleTest, AFollowUpQueuedByAnAnswerGoesOutInTheSameCycle) {
  StartUp();
  link.Deliver(MakeFrame(0x05));  // ENQ asks for a status request
  WorkerCycle(engine);
  EXPECT_EQ(WrittenCommands(link), std::vector<int>{0x11});
  EXPECT_EQ(engine.state.commandQueued, 0);
}

// A character posted during an open exchange waits, and is taken in the very cycle in which the
// exchange ends, whichever way it ends.
TEST_F(WorkerCycleTest, AHeldCharacterIsTakenInTheCycleTheExchangeEnds) {
  const struct {
    const char* how;
    bool answer;  // true: the validator answers; false: the 300 ms timer expires
  } endings[] = {{"answer", true}, {"time-out", false}};
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.how);
    FakeWindowServices localUi;
    FakeSerialLink localLink;
    Engine local{localUi, localLink, clock};
    localUi.Attach(&local);
    WorkerStartUp(local);

    PostPendingCommand(local, 'V');
    WorkerCycle(local);
    WorkerCycle(local);  // VERSION REQUEST written, the exchange open
    ASSERT_EQ(WrittenCommands(localLink), std::vector<int>{0x88});
    PostPendingCommand(local, 'A');
    WorkerCycle(local);
    EXPECT_EQ(local.state.pendingCommand, 'A') << "held while the exchange is open";

    if (ending.answer) {
      localLink.Deliver(MakeFrame(0x88, {'V', '1'}));
    } else {
      localUi.Fire(kResponseTimer);
    }
    WorkerCycle(local);
    EXPECT_EQ(local.state.pendingCommand, 0);
    EXPECT_EQ(local.state.awaitingResponse, 1) << "'A' opened the next exchange";
    std::uint8_t code = 0;
    ASSERT_TRUE(PeekQueuedCommand(local, code));
    EXPECT_EQ(code, 0x41);
  }
}

TEST_F(WorkerCycleTest, ARejectedCharacterLeavesTheResponseTimerArmed) {
  engine.state.ope_mode_index = 1;  // Test mode knows only reset and version
  StartUp();
  engine.state.transactionStep = kStepAutoResetAcked;

  PostPendingCommand(engine, 'A');
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.pendingCommand, 0);
  EXPECT_EQ(engine.state.awaitingResponse, 0);
  EXPECT_EQ(engine.state.commandQueued, 0);
  EXPECT_EQ(engine.state.transactionStep, kStepNone);
  EXPECT_EQ(engine.state.armResponseTimer, 1);

  // The next transmission, a plain status poll, starts timer 3.
  ui.Fire(kPollingTimer);
  WorkerCycle(engine);
  EXPECT_EQ(WrittenCommands(link), std::vector<int>{0x11});
  EXPECT_TRUE(ui.IsRunning(kResponseTimer));
  EXPECT_EQ(engine.state.armResponseTimer, 0);
}

TEST_F(WorkerCycleTest, DownloadStartIsTheOnlyCharacterThatDoesNotArmTheTimer) {
  StartUp();
  PostPendingCommand(engine, 'F');
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.normalDownloadActive, 1);
  EXPECT_EQ(engine.state.armResponseTimer, 0);
  EXPECT_EQ(engine.state.transactionStep, kStepDownloadStart);

  // Any other character ends the normal download's claim on the timers.
  engine.state.awaitingResponse = 0;
  PostPendingCommand(engine, 'V');
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.normalDownloadActive, 0);
  EXPECT_EQ(engine.state.armResponseTimer, 1);
}

TEST_F(WorkerCycleTest, TheDisplayModeStatusRequestGoesBeforeAQueuedCommand) {
  const struct {
    std::uint8_t normalDownload;
    std::vector<int> written;
  } cases[] = {
      {0, {0x11, 0x41}}, {1, {0x41}},  // a normal download takes no status request from the button
  };
  for (const auto& c : cases) {
    FakeWindowServices localUi;
    FakeSerialLink localLink;
    Engine local{localUi, localLink, clock};
    localUi.Attach(&local);
    WorkerStartUp(local);
    local.state.normalDownloadActive = c.normalDownload;
    QueueCommand(local, 0x41);
    local.state.immediateStatusRequest = 1;

    WorkerCycle(local);

    EXPECT_EQ(WrittenCommands(localLink), c.written);
    EXPECT_EQ(local.state.immediateStatusRequest, 0);
    EXPECT_EQ(local.state.commandQueued, 0);
  }
}

TEST_F(WorkerCycleTest, ARefusedWriteStillClearsTheQueue) {
  StartUp();
  link.RefuseWrites(true);
  QueueCommand(engine, 0x41);
  // Nothing went out, so no answer is on its way.
  EXPECT_FALSE(WorkerCycle(engine));
  EXPECT_EQ(engine.state.commandQueued, 0);
  link.RefuseWrites(false);
  WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
}

TEST_F(WorkerCycleTest, AGlobalDownloadTakesTheWholeCycle) {
  StartUp();
  int runs = 0;
  engine.runGlobalDownload = [&runs](Engine& e) {
    ++runs;
    e.state.globalDownloadActive = 0;
  };
  engine.state.globalDownloadActive = 1;
  PostPendingCommand(engine, 'A');
  link.Deliver(MakeFrame(0x05));

  WorkerCycle(engine);

  EXPECT_EQ(runs, 1);
  // Nothing was read, sent or taken meanwhile.
  EXPECT_EQ(link.Queued(), 5u);
  EXPECT_EQ(engine.state.pendingCommand, 'A');

  // Without a download engine a raised flag cannot hold the worker.
  engine.runGlobalDownload = nullptr;
  engine.state.globalDownloadActive = 1;
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.globalDownloadActive, 0);
}

// When the next pass is due: at once while work waits, soon while an answer can come on a line
// that cannot wake the worker, otherwise at the next deadline or wake-up.
TEST(NextPassDue, IsImmediateOnlyWhileWorkWaits) {
  struct Case {
    const char* name;
    void (*setUp)(EngineState&);
    bool lineWatched;
    bool answerExpected;
    PassDue expected;
  };
  const Case cases[] = {
      {"IdleOpenPort", [](EngineState&) {}, false, false, PassDue::Deadline},
      {"ClosedPortIdle", [](EngineState& s) { s.portOpen = 0; }, false, false, PassDue::Deadline},
      {"ClosedPortWithAPostToDrop",
       [](EngineState& s) {
         s.portOpen = 0;
         s.pendingCommand = 'A';
       },
       false, false, PassDue::Now},
      {"ClosedPortIgnoresALeftQueue",
       [](EngineState& s) {
         s.portOpen = 0;
         s.commandQueued = 1;
       },
       false, false, PassDue::Deadline},
      {"CommandQueued", [](EngineState& s) { s.commandQueued = 1; }, true, false, PassDue::Now},
      {"ImmediateStatus", [](EngineState& s) { s.immediateStatusRequest = 1; }, true, false,
       PassDue::Now},
      {"TimedOut", [](EngineState& s) { s.responseTimedOut = 1; }, true, false, PassDue::Now},
      {"CommError", [](EngineState& s) { s.commErrors = kRxTimeOutBit; }, true, false,
       PassDue::Now},
      {"PostWithNoExchange", [](EngineState& s) { s.pendingCommand = 'A'; }, true, false,
       PassDue::Now},
      // A held post waits for the answer or the time-out, which both wake the worker.
      {"PostHeldByExchangeWatched",
       [](EngineState& s) {
         s.pendingCommand = 'A';
         s.awaitingResponse = 1;
       },
       true, false, PassDue::Deadline},
      {"ExchangeOpenUnwatched", [](EngineState& s) { s.awaitingResponse = 1; }, false, false,
       PassDue::LinePoll},
      {"AnswerExpectedUnwatched", [](EngineState&) {}, false, true, PassDue::LinePoll},
      {"AnswerExpectedWatched", [](EngineState&) {}, true, true, PassDue::Deadline},
      {"NormalDownloadUnwatched", [](EngineState& s) { s.normalDownloadActive = 1; }, false, false,
       PassDue::LinePoll},
      {"GlobalDownload", [](EngineState& s) { s.globalDownloadActive = 1; }, true, false,
       PassDue::Now},
  };
  for (const Case& c : cases) {
    EngineState state;
    state.portOpen = 1;
    c.setUp(state);
    EXPECT_EQ(NextPassDue(state, c.lineWatched, c.answerExpected), c.expected) << c.name;
  }
}

// The thread itself: start-up on its own thread, posts from another, stop while idle or busy.
// Run under ThreadSanitizer by the tsan preset.
TEST(WorkerThread, RunsPostedCommandsAndStopsCleanly) {
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  ui.Attach(&engine);
  {
    Worker worker(engine);
    worker.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!worker.StartedUp() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    ASSERT_TRUE(worker.StartedUp());
    ASSERT_EQ(engine.state.portOpen, 1);

    PostPendingCommand(engine, 'V');
    while (link.Written().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(WrittenCommands(link), std::vector<int>{0x88});
    // The answer deadline can only expire once the sender has armed it, after the write.
    while (!ui.IsRunning(kResponseTimer) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(ui.IsRunning(kResponseTimer));
    // A timer expiry arrives on this (the "window") thread while the worker runs.
    ui.Fire(kResponseTimer);
    while (engine.state.awaitingResponse != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(engine.state.awaitingResponse, 0);
    EXPECT_NE(ui.GetLogText().find("300msec Timeout Error for Response."), std::string::npos);

    worker.Stop();
    worker.Stop();  // a second stop is harmless
    const std::uint64_t cycles = worker.CompletedCycles();
    PostPendingCommand(engine, 'A');
    EXPECT_EQ(worker.CompletedCycles(), cycles) << "no pass after Stop";
  }
  // The engine's wake-up outlives the worker: a late post from the window is harmless.
  PostPendingCommand(engine, 'S');
  EXPECT_EQ(engine.state.pendingCommand, 'S');
}

// However fast the wake-ups come (here a line that always reads as ready), passes keep their pause,
// and a run of passes with nothing to wait for lengthens it to its bound: the worker reads the
// line once a pass, so the reads are at least that far apart.
TEST(WorkerThread, NeverRunsTwoPassesWithoutThePause) {
  class ReadClockLink final : public FakeSerialLink {
   public:
    int Read(std::uint8_t* buffer, std::uint32_t count) override {
      {
        std::lock_guard lock(mutex);
        reads.push_back(std::chrono::steady_clock::now());
      }
      return FakeSerialLink::Read(buffer, count);
    }
    std::mutex mutex;  // guards reads
    std::vector<std::chrono::steady_clock::time_point> reads;
  };
  FakeWindowServices ui;
  ReadClockLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  ui.Attach(&engine);
  std::atomic<int> passes{0};
  // A byte that nobody reads keeps the descriptor readable, as a flooded line would.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::write(ready[1], "x", 1), 1);
  {
    Worker worker(engine);
    worker.SetLineDescriptor([fd = ready[0]] { return fd; });
    worker.SetPassEndHook([&passes] { passes.fetch_add(1); });
    worker.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (passes.load() < 20 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.Stop();
  }
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_GE(passes.load(), 20) << "the start-up and every pass end are reported";
  std::lock_guard lock(link.mutex);
  ASSERT_GE(link.reads.size(), 10u);
  for (std::size_t i = 1; i < link.reads.size(); ++i) {
    EXPECT_GE(link.reads[i] - link.reads[i - 1], kPassPause) << "pass " << i;
  }
  for (std::size_t i = 8; i < link.reads.size(); ++i) {
    EXPECT_GE(link.reads[i] - link.reads[i - 1], kMaxPassPause) << "pass " << i;
  }
}

// From a transmission until the pass that takes its answer has ended, the worker holds the
// window's updates, so a window can show a request with its answer in one update. With no answer
// the hold ends at the worker's own deadline, long before its safety wake.
TEST(WorkerThread, HoldsTheWindowsUpdatesFromARequestUntilItsAnswerOrTheDeadline) {
  // A validator that answers every frame at once, while `answering`; its answer wakes the
  // worker through the line's descriptor.
  class AnsweringLink final : public FakeSerialLink {
   public:
    int Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) override {
      const int result = FakeSerialLink::Write(bytes, count, written);
      if (answering.load()) {
        Deliver(MakeFrame(0x11));  // IDLING
        [[maybe_unused]] const ssize_t n = ::write(readable, "x", 1);
      }
      return result;
    }
    std::atomic<bool> answering{true};
    int readable = -1;
  };
  FakeWindowServices ui;
  AnsweringLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  ui.Attach(&engine);
  int line[2];
  ASSERT_EQ(::pipe(line), 0);
  link.readable = line[1];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto waitFor = [&](const auto& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  };
  const auto heldContaining = [&ui](const std::string& text) {
    int count = 0;
    for (const std::string& entry : ui.HeldLogEntries()) count += entry.find(text) != entry.npos;
    return count;
  };
  {
    Worker worker(engine);
    worker.SetLineDescriptor([fd = line[0]] { return fd; });
    worker.Start();
    ASSERT_TRUE(waitFor([&] { return worker.StartedUp(); }));
    ASSERT_FALSE(ui.Held());

    QueueCommandIfIdle(engine, cmd::kStatusRequest);
    ASSERT_TRUE(waitFor([&] { return heldContaining("IDLING") == 1; }));
    EXPECT_EQ(heldContaining("STATUS REQUEST"), 1) << "the request waited for its answer";
    EXPECT_TRUE(waitFor([&] { return !ui.Held(); }));
    // The line goes quiet again (the test, not the worker, reads the wake-up byte).
    char byte = 0;
    ASSERT_EQ(::read(line[0], &byte, 1), 1);

    link.answering = false;
    QueueCommandIfIdle(engine, cmd::kStatusRequest);
    ASSERT_TRUE(waitFor([&] { return heldContaining("STATUS REQUEST") == 2; }));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return !ui.Held(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(kSafetyWakeMs / 2))
        << "the hold's own deadline ends it";
    EXPECT_EQ(heldContaining("IDLING"), 1);
    worker.Stop();
  }
  ::close(line[0]);
  ::close(line[1]);
}

// The pause before each pass, for a run of starts: waiting resets the count of back-to-back
// passes, a continuation neither pays nor counts, and back-to-back passes double up to the bound.
TEST(PassPause, HoldsOnlyBackToBackPassesLongerTheLongerTheyGoOn) {
  using std::chrono::microseconds;
  const struct {
    const char* name;
    std::vector<PassStart> starts;
    std::vector<microseconds> pauses;
  } cases[] = {
      {"a flood",
       {PassStart::BackToBack, PassStart::BackToBack, PassStart::BackToBack},
       {kPassPause, kMaxPassPause, kMaxPassPause}},
      {"a wait starts the count again",
       {PassStart::BackToBack, PassStart::BackToBack, PassStart::AfterWait, PassStart::BackToBack},
       {kPassPause, kMaxPassPause, microseconds(0), kPassPause}},
      {"a key's frame goes out at once, also amid a flood",
       {PassStart::Continuation, PassStart::BackToBack, PassStart::Continuation,
        PassStart::BackToBack},
       {microseconds(0), kPassPause, microseconds(0), kMaxPassPause}},
  };
  for (const auto& c : cases) {
    int backToBack = 0;
    std::vector<microseconds> pauses;
    for (const PassStart start : c.starts) pauses.push_back(PassPause(start, backToBack));
    EXPECT_EQ(pauses, c.pauses) << c.name;
  }
}

}  // namespace
}  // namespace tarvik
