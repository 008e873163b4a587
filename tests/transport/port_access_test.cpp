#include "transport/port_access.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "pty_pair.h"
#include "support/scratch_dir.h"
#include "transport/serial_port.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::PtyPair;
using testing::ScratchDir;

struct PermissionCase {
  const char* what;
  AccessFacts facts;
  std::vector<std::string> expected;  // every one is in the explanation
};

// The fix offered follows what stands between the user and the device.
TEST(PortAccessTest, PermissionDeniedSaysWhyAndHowToFixIt) {
  const PermissionCase cases[] = {
      {"not in the group",
       {"/dev/ttyUSB0", "dialout", "ana", 0660, false, false},
       {"/dev/ttyUSB0: permission denied", "belongs to the group \"dialout\"",
        "user \"ana\" is not in it", "sudo usermod -aG dialout ana", "log out and log in again"}},
      {"added to the group after this login",
       {"/dev/ttyUSB0", "dialout", "ana", 0660, true, false},
       {"user \"ana\" is in the group \"dialout\"", "this login began before that",
        "log out and log in again"}},
      {"the group may not read and write",
       {"/dev/ttyS0", "dialout", "ana", 0600, true, true},
       {"mode 0600", "sudo chmod g+rw /dev/ttyS0"}},
      {"left to root",
       {"/dev/ttyS0", "root", "ana", 0600, false, false},
       {"only root may use it", "sudo chgrp dialout /dev/ttyS0 && sudo chmod 660 /dev/ttyS0",
        "sudo usermod -aG dialout ana"}},
      {"in the group and still refused",
       {"/dev/ttyS0", "dialout", "ana", 0660, true, true},
       {"although this program runs in its group \"dialout\""}},
      {"group unknown", {"/dev/ttyS0", "", "ana", 0, false, false}, {"Ask the administrator"}},
  };
  for (const PermissionCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = ExplainPermission(c.facts);
    for (const std::string& part : c.expected) {
      EXPECT_NE(text.find(part), std::string::npos) << part << "\nin: " << text;
    }
  }
}

// A fake /proc, /run/lock and /var/lock in a temporary directory.
class HolderTree : public ::testing::Test {
 protected:
  void Process(int pid, const std::string& command) {
    fs::create_directories(root_ / "proc" / std::to_string(pid) / "fd");
    std::ofstream(root_ / "proc" / std::to_string(pid) / "comm") << command << "\n";
  }
  void CommandLine(int pid, const std::string& arguments) {
    std::ofstream(root_ / "proc" / std::to_string(pid) / "cmdline", std::ios::binary) << arguments;
  }
  void Descriptor(int pid, int fd, const std::string& target) {
    fs::create_symlink(target, root_ / "proc" / std::to_string(pid) / "fd" / std::to_string(fd));
  }
  void LockFile(const std::string& dir, const std::string& name, const std::string& content) {
    fs::create_directories(root_ / dir);
    std::ofstream(root_ / dir / ("LCK.." + name), std::ios::binary) << content;
  }
  std::string Root() const { return root_.string(); }

 private:
  const ScratchDir scratch_{"holders"};
  const fs::path& root_ = scratch_.Path();
};

TEST_F(HolderTree, LockFilesAndOpenDescriptorsNameTheLivingHolders) {
  Process(812, "minicom");
  Process(900, "screen");
  Process(901, "bash");
  Process(950, "tarvik-validato");  // the kernel's name is cut; the command line is not
  CommandLine(950, std::string("/usr/bin/tarvik-validator\0--device\0/dev/ttyUSB0\0", 48));
  LockFile("run/lock", "ttyUSB0", "       812\n");  // ASCII, as most programs write it
  const std::int32_t binaryPid = 950;               // as older programs write it
  LockFile("var/lock", "ttyUSB0",
           std::string(reinterpret_cast<const char*>(&binaryPid), sizeof binaryPid));
  LockFile("run/lock", "ttyUSB1", "       777\n");  // another device
  Descriptor(900, 3, "/dev/ttyUSB0");
  Descriptor(900, 4, "/dev/ttyUSB0");
  Descriptor(901, 0, "/dev/pts/1");

  const std::vector<DeviceHolder> expected{
      {812, "minicom"}, {900, "screen"}, {950, "tarvik-validator"}};
  EXPECT_EQ(FindDeviceHolders("/dev/ttyUSB0", Root()), expected);
  EXPECT_EQ(DescribeHolders(expected),
            "minicom (pid 812), screen (pid 900), tarvik-validator (pid 950)");
}

TEST_F(HolderTree, StaleOrUnreadableLockFilesNameNobody) {
  Process(900, "screen");
  for (const char* content : {"     12345\n", "garbage\n", "", "812 and more\n"}) {
    SCOPED_TRACE(content);
    LockFile("run/lock", "ttyACM0", content);
    EXPECT_TRUE(FindDeviceHolders("/dev/ttyACM0", Root()).empty());
  }
  EXPECT_NE(ExplainOpenError("/dev/ttyACM0", EBUSY, Root()).find("sudo fuser -v /dev/ttyACM0"),
            std::string::npos);
}

std::string OwnProgram() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string name;
  std::getline(file, name, '\0');
  return fs::path(name).filename().string();
}

// A second opener of a device in use learns which program holds it: here this very process,
// through the fixture's pty and the first port.
TEST(PortAccessTest, ASecondOpenerIsToldWhoHoldsTheDevice) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  SerialPort first;
  SerialPort second;
  first.SetDeviceOverride(pty.SlavePath());
  second.SetDeviceOverride(pty.SlavePath());
  ASSERT_EQ(first.Open(1, 9600), 1);
  EXPECT_EQ(first.OpenFailureReason(), "");

  EXPECT_EQ(second.Open(1, 9600), 0);
  const std::string expected =
      pty.SlavePath() + ": in use by " + OwnProgram() + " (pid " + std::to_string(::getpid()) + ")";
  EXPECT_EQ(second.OpenFailureReason().rfind(expected, 0), 0u) << second.OpenFailureReason();
}

TEST(PortAccessTest, APortWithoutADeviceSaysSo) {
  const ScratchDir root("nodev");
  SerialPort port(root.Path().string());
  EXPECT_EQ(port.Open(5, 9600), 0);
  EXPECT_NE(port.OpenFailureReason().find("no serial device is COM5"), std::string::npos)
      << port.OpenFailureReason();

  port.SetDeviceOverride("/nonexistent/ttyUSB9");
  EXPECT_EQ(port.Open(1, 9600), 0);
  EXPECT_EQ(port.OpenFailureReason().rfind("/nonexistent/ttyUSB9: no such device", 0), 0u)
      << port.OpenFailureReason();
}

// The real refusal: a user outside the device's group opens it. Needs root to become that user
// (CI runs as root); a child process does it, so the test process keeps its own identity.
TEST(PortAccessTest, AUserOutsideTheGroupIsToldToJoinItAndLogInAgain) {
  const passwd* nobody = ::getpwnam("nobody");
  const group* dialout = ::getgrnam("dialout");
  if (::geteuid() != 0 || nobody == nullptr || dialout == nullptr) {
    GTEST_SKIP() << "needs root, a user nobody and a group dialout";
  }
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_EQ(::fchown(pty.Slave(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(::fchmod(pty.Slave(), 0660), 0);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  int reasonPipe[2];
  ASSERT_EQ(::pipe(reasonPipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(reasonPipe[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    SerialPort port;
    port.SetDeviceOverride(pty.SlavePath());
    const int opened = port.Open(1, 9600);
    const std::string reason = port.OpenFailureReason();
    [[maybe_unused]] const ssize_t n = ::write(reasonPipe[1], reason.data(), reason.size());
    ::_exit(opened == 0 ? 0 : 1);
  }
  ::close(reasonPipe[1]);
  std::string reason;
  char buffer[1024];
  for (ssize_t n = 0; (n = ::read(reasonPipe[0], buffer, sizeof buffer)) > 0;) {
    reason.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(reasonPipe[0]);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the port opened, or the child could not become nobody";
  const std::string user = nobody->pw_name;
  EXPECT_EQ(reason, pty.SlavePath() +
                        ": permission denied: it belongs to the group \"dialout\" and user \"" +
                        user + "\" is not in it. Fix: sudo usermod -aG dialout " + user +
                        ", then log out and log in again (the group counts from the next login).");
}

}  // namespace
}  // namespace tarvik
