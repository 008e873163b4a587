// End-to-end: the built tarvik-host program on the console, its serial line a pseudo-terminal
// whose other side a small scripted validator plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/text_count.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

const std::vector<std::uint8_t> kStatusRequest{0xFC, 0x05, 0x11, 0x27, 0x56};
// IDLING happens to be the very same five bytes: code 0x11, no data.
const std::vector<std::uint8_t> kIdling{0xFC, 0x05, 0x11, 0x27, 0x56};

// Every run is bounded; a hung host fails the test instead of hanging the suite.
constexpr auto kRunLimit = std::chrono::seconds(10);

struct HostRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
  int statusRequestsSeen = 0;
};

void SetCloseOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

class HostProgramTest : public ::testing::Test {
 protected:
  HostProgramTest() {
    // A long polling period keeps the timer's own polls out of short runs.
    WriteSettings("[BEXALTOOL]\nPOLLING DURATION=30000\n");
  }

  void WriteSettings(const std::string& text) { std::ofstream(settings_) << text; }
  std::string InDir(const std::string& name) const { return (dir_ / name).string(); }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  const std::string& SettingsPath() const { return settings_; }

  // Runs tarvik-host on a fresh pseudo-terminal (or on `device` when given) with `input` as its
  // piped standard input. `answer`: the validator answers each status request with IDLING.
  HostRun Run(const std::string& input, bool answer, const std::string& device = {}) {
    HostRun run;
    int master = -1;
    int slave = -1;
    std::array<char, 256> slaveName{};
    if (::openpty(&master, &slave, slaveName.data(), nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return run;
    }
    SetCloseOnExec(master);
    SetCloseOnExec(slave);
    // Our slave descriptor stays open all along, so the master never reads EIO.

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const std::string path = device.empty() ? std::string(slaveName.data()) : device;
    std::vector<std::string> args{TARVIK_HOST_BINARY, "--console", "--device", path,
                                  "--settings",       settings_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, TARVIK_HOST_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << TARVIK_HOST_BINARY;
      return run;
    }
    // The whole input at once, then its end, as `printf ... | tarvik-host` does.
    if (!input.empty()) {
      [[maybe_unused]] const ssize_t n = ::write(in[1], input.data(), input.size());
    }
    ::close(in[1]);

    const auto deadline = SteadyClock::now() + kRunLimit;
    std::vector<std::uint8_t> line;
    bool outOpen = true;
    bool errOpen = true;
    while ((outOpen || errOpen) && SteadyClock::now() < deadline) {
      std::array<pollfd, 3> fds{{{master, POLLIN, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
      if (!outOpen) fds[1].fd = -1;
      if (!errOpen) fds[2].fd = -1;
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      std::array<char, 4096> buffer{};
      if ((fds[0].revents & POLLIN) != 0) {
        const ssize_t n = ::read(master, buffer.data(), buffer.size());
        for (ssize_t i = 0; i < n; ++i) line.push_back(static_cast<std::uint8_t>(buffer[i]));
        AnswerFrames(master, line, answer, run);
      }
      for (int k : {1, 2}) {
        if (fds[k].revents == 0) continue;
        const ssize_t n = ::read(fds[k].fd, buffer.data(), buffer.size());
        if (n <= 0) {
          (k == 1 ? outOpen : errOpen) = false;
        } else {
          (k == 1 ? run.out : run.err).append(buffer.data(), static_cast<std::size_t>(n));
        }
      }
    }

    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (SteadyClock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "tarvik-host did not end within the limit\nstderr:\n" << run.err;
        break;
      }
      ::poll(nullptr, 0, 10);
    }
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    ::close(out[0]);
    ::close(err[0]);
    ::close(master);
    ::close(slave);
    return run;
  }

 private:
  // Cuts the host's frames out of `line` and answers status requests.
  static void AnswerFrames(int master, std::vector<std::uint8_t>& line, bool answer, HostRun& run) {
    while (!line.empty()) {
      if (line.front() != 0xFC) {
        line.erase(line.begin());
        continue;
      }
      if (line.size() < 2 || line.size() < line[1]) return;
      const std::vector<std::uint8_t> frame(line.begin(), line.begin() + line[1]);
      line.erase(line.begin(), line.begin() + line[1]);
      if (frame != kStatusRequest) continue;
      ++run.statusRequestsSeen;
      if (answer) {
        [[maybe_unused]] const ssize_t n = ::write(master, kIdling.data(), kIdling.size());
      }
    }
  }

  tarvik::testing::ScratchDir scratch_{"host-e2e"};
  const std::filesystem::path dir_ = scratch_.Path();
  const std::string settings_ = (dir_ / "BEXALTOOL.INI").string();
};

using tarvik::testing::Count;

TEST_F(HostProgramTest, PollShowsTheWholeStatusExchange) {
  const HostRun run = Run("S", true);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out,
            "STATUS REQUEST --->\n"
            "[FC 05 11 27 56]\n"
            "              <--- IDLING\n"
            "                   [FC 05 11 27 56]\n");
  EXPECT_NE(run.err.find("FIELD Validator Status: Enable\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("LABEL Polling Duration (msec): 30000\n"), std::string::npos);
}

TEST_F(HostProgramTest, AnUnansweredCommandTimesOut) {
  const HostRun run = Run("S", false);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.statusRequestsSeen, 1);
  EXPECT_EQ(run.out,
            "STATUS REQUEST --->\n"
            "[FC 05 11 27 56]\n"
            "              <--- 300msec Timeout Error for Response.\n"
            "                   []\n");
}

// A script's keys arrive together; each still goes out in turn, after the answer to the one
// before it, instead of overwriting it in the one-slot hand-over.
TEST_F(HostProgramTest, ScriptKeysGoOutInTurn) {
  const HostRun answered = Run("SSS", true);
  EXPECT_EQ(answered.exitStatus, 0) << answered.err;
  EXPECT_EQ(answered.statusRequestsSeen, 3) << answered.out;
  EXPECT_EQ(Count(answered.out, "              <--- IDLING\n"), 3u) << answered.out;

  const HostRun unanswered = Run("SS", false);
  EXPECT_EQ(unanswered.statusRequestsSeen, 2) << unanswered.out;
  EXPECT_EQ(Count(unanswered.out, "300msec Timeout Error for Response."), 2u) << unanswered.out;
}

TEST_F(HostProgramTest, APortThatCannotBeOpenedEndsTheScript) {
  const HostRun run = Run("S", true, "/nonexistent/tty-for-tarvik-host");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("MESSAGE: This COM port is not available. Use another COM port.\n"),
            std::string::npos)
      << run.err;
  // Standard error also says why, naming the device.
  EXPECT_NE(run.err.find("tarvik-host: COM1 (/nonexistent/tty-for-tarvik-host) is not available: "
                         "/nonexistent/tty-for-tarvik-host: no such device"),
            std::string::npos)
      << run.err;
}

// The console's own timers drive automatic polling while a script waits; Exit asks and ends.
TEST_F(HostProgramTest, AutomaticPollingRunsWhileTheScriptWaits) {
  WriteSettings("[BEXALTOOL]\nPOLLING DURATION=100\n");
  const HostRun run = Run(":wait 1000\nx", true);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_GE(run.statusRequestsSeen, 2);
  EXPECT_EQ(Count(run.out, "STATUS REQUEST --->\n[FC 05 11 27 56]\n"),
            static_cast<std::size_t>(run.statusRequestsSeen));
  // The last poll may still be unanswered when Exit closes the port.
  EXPECT_GE(Count(run.out, "              <--- IDLING\n") + 1,
            static_cast<std::size_t>(run.statusRequestsSeen));
  EXPECT_NE(run.err.find("QUESTION: Do you want to exit [ TARVIK Host Simulator ] ? -> Yes\n"),
            std::string::npos)
      << run.err;
}

// New settings put in force from a script, then a recording: the log file holds exactly what
// standard output (the log box) shows, and the settings file the five values.
TEST_F(HostProgramTest, PropertiesAndARecordingFromAScript) {
  const std::string log = InDir("comm.log");
  const HostRun run =
      Run(":properties 1 9600 400 Normal 100\n:log-browse " + log + "\n:log-button\nSS", true);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find("LABEL Polling Duration (msec): 400\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("MESSAGE"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(SettingsPath()),
            "[BEXALTOOL]\nPOLLING DURATION=400\nCOM PORT=0\nBAUD RATE=0\nOPERATING MODE=0\n"
            "DOWNLOAD PACKET SIZE=100\n");
  EXPECT_EQ(Count(run.out, "              <--- IDLING\n"), 2u) << run.out;
  EXPECT_EQ(ReadFile(log), run.out);
}

}  // namespace
