#include "transport/serial_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>

#include "pty_pair.h"

namespace tarvik {
namespace {

using testing::PtyPair;

const std::vector<std::uint8_t> kStatusRequest{0xFC, 0x05, 0x11, 0x27, 0x56};

// A port whose every Open goes to the fixture's pty.
class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() { port.SetDeviceOverride(pty.SlavePath()); }
  void SetUp() override { ASSERT_TRUE(pty.Ok()); }

  bool Exclusive() const {
    int exclusive = 0;
    ::ioctl(pty.Slave(), TIOCGEXCL, &exclusive);
    return exclusive != 0;
  }

  PtyPair pty;
  SerialPort port;
};

struct RateCase {
  int requested;
  int expected;
  speed_t speed;
};

class SerialPortRateTest : public SerialPortTest, public ::testing::WithParamInterface<RateCase> {};

// What the far end sees after Open: raw 8 data bits, one stop bit, receiver on, modem lines
// ignored, the rate asked for (9,600 for any rate the protocol does not use).
TEST_P(SerialPortRateTest, FarEndReadsBackTheLineSettings) {
  const RateCase c = GetParam();
  ASSERT_EQ(port.Open(7, c.requested), 1);
  EXPECT_EQ(port.OpenBaudRate(), c.expected);

  const termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), c.speed);
  EXPECT_EQ(cfgetispeed(&t), c.speed);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INPCK), 0u);
  // A pty drops the parity bit; where the kernel keeps it, it must be even parity.
  if ((t.c_cflag & PARENB) != 0) {
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, SerialPortRateTest,
    ::testing::Values(RateCase{9600, 9600, B9600}, RateCase{19200, 19200, B19200},
                      RateCase{38400, 38400, B38400}, RateCase{BaudRateFromIndex(5), 9600, B9600},
                      RateCase{115200, 9600, B9600}, RateCase{0, 9600, B9600}));

TEST(SettingIndexTest, BaudRateFromIndexMapsThreeIndicesAndFallsBackTo9600) {
  const std::pair<int, int> cases[] = {{0, 9600}, {1, 19200}, {2, 38400},
                                       {3, 9600}, {5, 9600},  {-1, 9600}};
  for (const auto& [index, rate] : cases) EXPECT_EQ(BaudRateFromIndex(index), rate) << index;
}

// Index 0 is COM1 and 19 is COM20; the file's unchecked values never wrap round to a port.
TEST(SettingIndexTest, PortNumberFromIndexCountsFromOne) {
  const std::pair<int, int> cases[] = {{0, 1},  {19, 20}, {98, 99},
                                       {-1, 0}, {-9, 0},  {std::numeric_limits<int>::max(), 0}};
  for (const auto& [index, number] : cases) EXPECT_EQ(PortNumberFromIndex(index), number) << index;
}

TEST_F(SerialPortTest, OpenOnAnOpenPortKeepsTheOldDeviceAndRate) {
  ASSERT_EQ(port.Open(1, 19200), 1);
  PtyPair other;
  ASSERT_TRUE(other.Ok());
  port.SetDeviceOverride(other.SlavePath());

  EXPECT_EQ(port.Open(2, 38400), 1);
  EXPECT_EQ(port.OpenDevice(), pty.SlavePath());
  EXPECT_EQ(port.OpenBaudRate(), 19200);
  const termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  // The other device was never touched: another port can still take it.
  SerialPort second;
  second.SetDeviceOverride(other.SlavePath());
  EXPECT_EQ(second.Open(1, 9600), 1);
}

TEST_F(SerialPortTest, WriteIsRefusedWhileReceivedBytesWait) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  ASSERT_TRUE(pty.Send({0xAB}));
  ASSERT_TRUE(pty.WaitQueued(1));

  std::uint32_t written = 99;
  EXPECT_EQ(port.Write(kStatusRequest.data(), 5, written), 0);
  EXPECT_EQ(written, 99u);

  // Once the byte is taken the next frame goes out, and it is the first thing on the line: the
  // refused frame never left.
  std::uint8_t byte = 0;
  ASSERT_EQ(port.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 0xAB);
  const std::vector<std::uint8_t> marker{0xFC, 0x05, 0x40, 0x2B, 0x15};
  ASSERT_EQ(port.Write(marker.data(), 5, written), 1);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(pty.ReceiveFromHost(5), marker);
}

TEST_F(SerialPortTest, ReadTakesExactlyTheCountOrNothing) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  ASSERT_TRUE(pty.Send({0x11, 0x22}));
  ASSERT_TRUE(pty.WaitQueued(2));

  std::uint8_t buffer[3] = {0, 0, 0};
  EXPECT_EQ(port.Read(buffer, 3), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_TRUE(pty.WaitQueued(2));  // both still there
  EXPECT_EQ(port.Read(buffer, 0), 0);

  ASSERT_EQ(port.Read(buffer, 2), 2);
  EXPECT_EQ(buffer[0], 0x11);
  EXPECT_EQ(buffer[1], 0x22);
  EXPECT_EQ(port.Read(buffer, 1), 0);
}

TEST_F(SerialPortTest, CloseTwiceAndTheDeviceIsFreeAgain) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  EXPECT_TRUE(Exclusive());
  EXPECT_EQ(port.Close(), 1);
  EXPECT_EQ(port.Close(), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.OpenDevice(), "");
  // The exclusive mode belongs to the terminal; it must not outlive the port's descriptor.
  EXPECT_FALSE(Exclusive());

  std::uint8_t byte = 0;
  std::uint32_t written = 0;
  EXPECT_EQ(port.Read(&byte, 1), 0);
  EXPECT_EQ(port.Write(kStatusRequest.data(), 5, written), 0);

  SerialPort other;
  other.SetDeviceOverride(pty.SlavePath());
  EXPECT_EQ(other.Open(1, 9600), 1);
}

// Close and reopen at once while another thread still waits on the old descriptor, as the
// worker does between its passes: the reopen must not be refused by the old open's lock.
TEST_F(SerialPortTest, ReopenSucceedsWhileAnotherThreadStillPollsTheOldDescriptor) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  const int oldFd = port.WaitDescriptor();
  std::atomic<pid_t> waiterTid{0};
  std::thread waiter([&] {
    waiterTid.store(static_cast<pid_t>(::gettid()));
    pollfd line{oldFd, POLLIN, 0};
    ::poll(&line, 1, 5000);  // ended below by a byte from the far end
  });
  // Wait (bounded) until the waiter sleeps inside poll().
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  bool sleeping = false;
  while (!sleeping && std::chrono::steady_clock::now() < deadline) {
    const pid_t tid = waiterTid.load();
    if (tid == 0) continue;
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    sleeping = close != std::string::npos && text.compare(close, 4, ") S ") == 0;
  }
  EXPECT_TRUE(sleeping) << "the waiter never reached poll()";

  EXPECT_EQ(port.Close(), 1);
  EXPECT_EQ(port.Open(1, 9600), 1);

  const std::uint8_t byte = 0x55;
  [[maybe_unused]] const ssize_t n = ::write(pty.Master(), &byte, 1);
  waiter.join();
}

TEST_F(SerialPortTest, DestructionClosesAnOpenPort) {
  {
    SerialPort scoped;
    scoped.SetDeviceOverride(pty.SlavePath());
    ASSERT_EQ(scoped.Open(1, 9600), 1);
    ASSERT_TRUE(Exclusive());
  }
  EXPECT_FALSE(Exclusive());
  EXPECT_EQ(port.Open(1, 9600), 1);
}

TEST_F(SerialPortTest, SecondOpenOfTheSameDeviceIsRefused) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  SerialPort second;
  second.SetDeviceOverride(pty.SlavePath());
  EXPECT_EQ(second.Open(1, 19200), 0);
  EXPECT_FALSE(second.IsOpen());

  // The refused opener left the first one's settings and exclusive mode alone.
  EXPECT_TRUE(Exclusive());
  const termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  std::uint32_t written = 0;
  ASSERT_EQ(port.Write(kStatusRequest.data(), 5, written), 1);
  EXPECT_EQ(pty.ReceiveFromHost(5), kStatusRequest);
}

TEST_F(SerialPortTest, OpenRefusesWhatIsNotATerminal) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tarvik_port_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "plain") << "not a device";

  for (const std::string& path : {(dir / "missing").string(), (dir / "plain").string(),
                                  dir.string(), std::string("/dev/null")}) {
    port.SetDeviceOverride(path);
    EXPECT_EQ(port.Open(1, 9600), 0) << path;
    EXPECT_FALSE(port.IsOpen()) << path;
  }
  fs::remove_all(dir);

  // Without an override a COM number with no device behind it does not open.
  SerialPort unmapped(dir.string());
  EXPECT_EQ(unmapped.Open(1, 9600), 0);
  EXPECT_EQ(unmapped.DeviceForPort(1), "");
}

TEST_F(SerialPortTest, WriteGivesUpAfterItsTimeOutWhenTheLineIsStuck) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  port.SetTimeouts({.readPerByteMs = 0, .readBaseMs = 0, .writePerByteMs = 1, .writeBaseMs = 5});
  ASSERT_GT(pty.FillTowardsMaster(), 0u);

  std::uint32_t written = 0;
  EXPECT_EQ(port.Write(kStatusRequest.data(), 5, written), 0);
  EXPECT_TRUE(port.IsOpen());  // a slow far end is not a vanished one

  pty.DrainMaster();
  ASSERT_EQ(port.Write(kStatusRequest.data(), 5, written), 1);
  EXPECT_EQ(written, 5u);
}

// Close from the window thread must not wait out the write time-out of a transfer that hangs.
TEST_F(SerialPortTest, CloseEndsAWriteThatWaitsOnAStuckLine) {
  ASSERT_EQ(port.Open(1, 9600), 1);
  port.SetTimeouts(
      {.readPerByteMs = 0, .readBaseMs = 0, .writePerByteMs = 0, .writeBaseMs = 600000});
  ASSERT_GT(pty.FillTowardsMaster(), 0u);

  std::atomic<bool> started{false};
  int result = -1;
  std::thread writer([&] {
    std::uint32_t written = 0;
    started = true;
    result = port.Write(kStatusRequest.data(), 5, written);
  });
  while (!started) std::this_thread::yield();
  // Give the writer time to reach its wait; the check holds whichever comes first.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(port.Close(), 1);
  writer.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(port.IsOpen());
}

enum class FirstCall { Read, Write };

class SerialPortHangUpTest : public SerialPortTest,
                             public ::testing::WithParamInterface<FirstCall> {};

// The far end goes away while the port is open, with and without bytes waiting: the port closes
// itself instead of failing the same way at every worker cycle, every later call returns 0 at
// once, and a device that is back can be opened again.
TEST_P(SerialPortHangUpTest, FarEndClosingClosesThePort) {
  ASSERT_EQ(port.Open(1, 19200), 1);
  ASSERT_TRUE(pty.Send({0x01, 0x02}));
  ASSERT_TRUE(pty.WaitQueued(2));
  pty.CloseMaster();

  std::uint8_t buffer[4] = {};
  std::uint32_t written = 0;
  if (GetParam() == FirstCall::Read) {
    EXPECT_EQ(port.Read(buffer, 2), 0);
  } else {
    EXPECT_EQ(port.Write(kStatusRequest.data(), 5, written), 0);
  }
  EXPECT_FALSE(port.IsOpen());
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(port.Read(buffer, 1), 0);
    ASSERT_EQ(port.Write(kStatusRequest.data(), 5, written), 0);
  }
  EXPECT_EQ(port.Close(), 1);

  PtyPair back;
  ASSERT_TRUE(back.Ok());
  port.SetDeviceOverride(back.SlavePath());
  ASSERT_EQ(port.Open(1, 19200), 1);
  ASSERT_EQ(port.Write(kStatusRequest.data(), 5, written), 1);
  EXPECT_EQ(back.ReceiveFromHost(5), kStatusRequest);
}

INSTANTIATE_TEST_SUITE_P(FirstCallAfterHangUp, SerialPortHangUpTest,
                         ::testing::Values(FirstCall::Read, FirstCall::Write));

// The read-back check: what a device must keep for the port to count as open.
TEST(LineSettingsKeptTest, AcceptsOnlyEightEvenOneAtTheRate) {
  termios base{};
  const termios wanted = MakeLineSettings(base, 19200);
  const auto with = [&](auto change) {
    termios t = wanted;
    change(t);
    return t;
  };
  const auto clear = [](tcflag_t bits) { return [bits](termios& t) { t.c_cflag &= ~bits; }; };
  struct Case {
    const char* name;
    termios kept;
    bool real;
    bool pty;
  };
  const Case cases[] = {
      {"all kept", wanted, true, true},
      {"parity dropped", with(clear(PARENB)), false, true},
      {"odd parity", with([](termios& t) { t.c_cflag |= PARODD; }), false, false},
      {"seven data bits", with([](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }), false,
       false},
      {"two stop bits", with([](termios& t) { t.c_cflag |= CSTOPB; }), false, false},
      {"other output rate", with([](termios& t) { cfsetospeed(&t, B9600); }), false, false},
      {"other input rate", with([](termios& t) { cfsetispeed(&t, B38400); }), false, false},
      {"parity dropped and 7 bits",
       with([](termios& t) { t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS7; }), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineSettingsKept(wanted, c.kept, false), c.real) << c.name;
    EXPECT_EQ(LineSettingsKept(wanted, c.kept, true), c.pty) << c.name << " (pty)";
  }
}

// Every open says what became of low-latency mode; a pseudo-terminal has none, and says why.
TEST_F(SerialPortTest, OpenSaysWhatBecameOfLowLatencyMode) {
  std::vector<std::string> notices;
  port.SetNoticeSink([&notices](const std::string& device, const std::string& text) {
    notices.push_back(device + ": " + text);
  });
  ASSERT_EQ(port.Open(1, kBaud9600), 1);
  port.Close();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].rfind(pty.SlavePath() + ": low-latency mode not supported", 0), 0u)
      << notices[0];
}

}  // namespace
}  // namespace tarvik
