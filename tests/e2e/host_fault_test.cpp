// Fault injection end to end: the built host against a validator that misbehaves, on the line
// (the virtual validator's faults, or a raw peer on a pseudo-terminal) and around the process
// (signals, its standard streams, its settings file). Each case asserts what the host logged and
// that it went on working afterwards.
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include "e2e/host_run_fixture.h"

namespace {

using namespace tarvik::e2e;

// Only the operator's commands are answered: a fault then always hits the answer under test.
class FaultTest : public HostRunTest {
 protected:
  FaultTest() { SetPollingMs(kNoPollingMs); }
};

const std::string kMachineNumberLine = "<--- M/C No.:";

// Each fault spoils the answer to one machine-number request: the host reports it, ends that
// exchange, and the next request is answered normally.
TEST_F(FaultTest, ASpoiledAnswerIsReportedAndTheNextOneTaken) {
  const struct {
    const char* fault;
    std::vector<std::string> logged;  // in this order, after the request
  } cases[] = {
      {"fault stray 3", {"<--- Sync Byte Error.", kMachineNumberLine}},
      {"fault crc", {"<--- CRC Error : This value must be"}},
      {"fault length", {"<--- Message Length Error : This value must be 25."}},
      {"fault cut", {"<--- Reception Data Length Error."}},
      {"fault drop", {"<--- 300msec Timeout Error for Response."}},
      // Late: the deadline passes first, then the answer comes and is still shown.
      {"fault delay 400", {"<--- 300msec Timeout Error for Response.", kMachineNumberLine}},
  };
  ASSERT_TRUE(StartBoth());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const auto armed = validator_.Command(c.fault);
    ASSERT_TRUE(armed.ok) << armed.text;
    const std::size_t from = host_.Out().size();
    host_.Type("N");
    ASSERT_TRUE(WaitForLog(c.logged.back(), 1, from));
    EXPECT_TRUE(InOrder(host_.Out(), c.logged, from));
    // The fault is spent: the next request is answered as ever.
    const std::size_t after = host_.Out().size();
    host_.Type("N");
    EXPECT_TRUE(WaitForLog(kMachineNumberLine, 1, after));
  }
  ExpectCleanExit();
}

// ---- A raw peer --------------------------------------------------------------------------------

// The host on one side of a pseudo-terminal, the test on the other, writing whatever bytes it
// likes, as fast or as slowly as it likes.
class RawPeerTest : public HostRunTest {
 protected:
  RawPeerTest() { SetPollingMs(kNoPollingMs); }
  ~RawPeerTest() override {
    for (int fd : {master_, slave_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  ::testing::AssertionResult OpenPeer() {
    std::array<char, 256> name{};
    if (::openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) {
      return ::testing::AssertionFailure() << "openpty failed";
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    path_ = name.data();
    return ::testing::AssertionSuccess();
  }

  // Writes `bytes` to the host in pieces of `chunk` bytes, `gapMs` apart.
  void Send(const std::vector<std::uint8_t>& bytes, std::size_t chunk = 0, int gapMs = 0) {
    if (chunk == 0) chunk = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      const std::size_t n = std::min(chunk, bytes.size() - at);
      [[maybe_unused]] const ssize_t w = ::write(master_, bytes.data() + at, n);
      if (gapMs > 0) ::poll(nullptr, 0, gapMs);
    }
  }

  // Reads whatever the host sends for `ms` milliseconds.
  void Drain(int ms) {
    const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (SteadyClock::now() < until) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      std::array<std::uint8_t, 4096> buffer{};
      [[maybe_unused]] const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    }
  }

  // Reads what the host sent until `count` bytes are there (at most the wait limit).
  std::vector<std::uint8_t> Take(std::size_t count) {
    std::vector<std::uint8_t> got;
    const auto deadline = SteadyClock::now() + kWaitLimit;
    while (got.size() < count && SteadyClock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::array<std::uint8_t, 512> buffer{};
      const ssize_t n = ::read(master_, buffer.data(), std::min(buffer.size(), count - got.size()));
      if (n > 0) got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    }
    return got;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

const std::vector<std::uint8_t> kStatusRequest{0xFC, 0x05, 0x11, 0x27, 0x56};
const std::vector<std::uint8_t> kIdling{0xFC, 0x05, 0x11, 0x27, 0x56};

// However the answer is cut into writes (one byte at a time, two frames in one write, a garbage
// tail before it), each frame is taken whole and the line recovers for the next request.
TEST_F(RawPeerTest, FramesInAnyPiecesAndGarbageTailsAreTaken) {
  ASSERT_TRUE(OpenPeer());
  ASSERT_TRUE(StartHost({"--device", path_}));
  std::vector<std::uint8_t> twoFrames = kIdling;
  twoFrames.insert(twoFrames.end(), kIdling.begin(), kIdling.end());
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::size_t chunk;
    int gapMs;
    const char* logged;  // the last line the answer must leave
  } cases[] = {
      {"one byte at a time", kIdling, 1, 5, "<--- IDLING"},
      {"two frames in one write", twoFrames, 0, 0, "<--- IDLING"},
      // SYNC and an LNG promising 255 bytes, then silence: given up 50 ms after the last byte.
      {"garbage LNG, then silence", {0xFC, 0xFF}, 0, 0, "<--- Reception Data Length Error."},
      {"a tail of 76 SYNC bytes", std::vector<std::uint8_t>(76, 0xFC), 0, 0,
       "<--- Reception Data Length Error."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t from = host_.Out().size();
    host_.Type("S");
    ASSERT_EQ(Take(kStatusRequest.size()), kStatusRequest);
    Send(c.bytes, c.chunk, c.gapMs);
    ASSERT_TRUE(WaitForLog(c.logged, 1, from));
    // Whatever the line went through, the next request is answered.
    const std::size_t after = host_.Out().size();
    host_.Type("S");
    ASSERT_EQ(Take(kStatusRequest.size()), kStatusRequest);
    Send(kIdling);
    ASSERT_TRUE(WaitForLog("<--- IDLING", 1, after));
  }
  ExpectCleanExit();
}

// A flood of random bytes (what a second of noise at 19,200 baud brings): reported, and
// afterwards the host answers as ever.
TEST_F(RawPeerTest, AFloodOfRandomBytesLeavesTheHostWorking) {
  ASSERT_TRUE(OpenPeer());
  ASSERT_TRUE(StartHost({"--device", path_}));
  std::uint32_t state = 12345;
  std::vector<std::uint8_t> noise(1746);
  for (std::uint8_t& b : noise) {
    state = state * 1103515245 + 12345;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  Send(noise, 64, 1);
  ASSERT_TRUE(WaitForLog("<--- Sync Byte Error."));
  // The host works through the noise at its own pace: wait until its log has been quiet for
  // half a second (bounded by the wait limit).
  const auto limit = SteadyClock::now() + kWaitLimit;
  std::size_t seen = 0;
  while (host_.Out().size() != seen && SteadyClock::now() < limit) {
    seen = host_.Out().size();
    host_.ReadFor(500);
  }
  Drain(50);
  const std::size_t from = host_.Out().size();
  host_.Type("S");
  std::vector<std::uint8_t> got = Take(kStatusRequest.size());
  ASSERT_EQ(got, kStatusRequest);
  Send(kIdling);
  EXPECT_TRUE(WaitForLog("<--- IDLING", 1, from));
  ExpectCleanExit();
}

// A validator that stops taking data (its side of the line stopped): at the end of input the
// host does not wait out its write time-out.
TEST_F(RawPeerTest, TheEndOfInputOnALineThatTakesNoDataIsQuick) {
  ASSERT_TRUE(OpenPeer());
  SetPollingMs(10);
  ASSERT_TRUE(StartHost({"--device", path_}));
  ASSERT_EQ(Take(kStatusRequest.size()), kStatusRequest);
  // Output stopped on the host's side of the line: its writes wait until output is resumed.
  ASSERT_EQ(::tcflow(slave_, TCOOFF), 0);
  Drain(100);  // whatever was on its way
  const auto ended = SteadyClock::now();
  host_.EndInput();
  EXPECT_EQ(host_.WaitForExit(), 0);
  // Bounded well below the write time-out (5 s and more), whatever the machine's load.
  EXPECT_LT(SteadyClock::now() - ended, std::chrono::seconds(3));
  ::tcflow(slave_, TCOON);
}

// ---- The process ------------------------------------------------------------------------------

// A fatal signal gives the device's exclusive mode back (another program could otherwise never
// open it while the far side stays open) and ends the host as that signal does.
TEST_F(RawPeerTest, AFatalSignalReleasesTheExclusiveOpen) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    HostProcess host;
    ASSERT_TRUE(OpenPeer());
    ASSERT_TRUE(host.Start({"--console", "--device", path_, "--settings", settings_}));
    ASSERT_TRUE(host.WaitUntil(
        [&] { return host.Err().find("Comminucation Status: OK") != std::string::npos; }));
    int exclusive = 0;
    ASSERT_EQ(::ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    ASSERT_EQ(exclusive, 1) << "the host holds the device exclusively";
    host.Signal(signal);
    EXPECT_EQ(host.WaitForExit(), 128 + signal);
    ASSERT_EQ(::ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
  }
}

// On a terminal the console takes keys raw; whatever signal ends it, the terminal is given back
// as it was (line editing and echo on).
TEST_F(HostRunTest, ASignalOnATerminalLeavesTheTerminalAsItWas) {
  for (const int signal : {SIGQUIT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(signal);
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(terminal, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0U);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, terminal, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, devNull, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, devNull, STDERR_FILENO);
    std::vector<std::string> args{TARVIK_HOST_BINARY, "--console", "--demo", "--settings",
                                  settings_};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, TARVIK_HOST_BINARY, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(devNull);

    termios now{};
    const auto deadline = SteadyClock::now() + kWaitLimit;
    while (SteadyClock::now() < deadline && ::tcgetattr(terminal, &now) == 0 &&
           (now.c_lflag & ICANON) != 0) {
      ::poll(nullptr, 0, 10);
    }
    EXPECT_EQ(now.c_lflag & ICANON, 0U) << "the console never took the terminal raw";
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
    ASSERT_EQ(::tcgetattr(terminal, &now), 0);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
    ::close(master);
    ::close(terminal);
  }
}

TEST_F(HostRunTest, WrongStartsAreRefusedWithTheirReasonsAndStatuses) {
  const std::string fifo = (dir_ / "fifo.ini").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* said;  // on standard error
  } cases[] = {
      {"empty device", {"--console", "--device", ""}, "", 64, "--device needs a device path"},
      {"settings file a FIFO",
       {"--console", "--demo", "--settings", fifo},
       ":quit\n",
       0,
       "not used (it is not a regular file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostProcess host;
    ASSERT_TRUE(host.Start(c.args));
    host.Type(c.input);
    host.EndInput();
    EXPECT_EQ(host.WaitForExit(), c.status);
    EXPECT_NE(host.Err().find(c.said), std::string::npos) << host.Err();
  }
}

}  // namespace
