#include "transport/port_access.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

namespace tarvik {

namespace {

// A PID in a lock file: ASCII digits (usually padded to ten characters), or the four bytes of a
// native int as some older programs write it.
std::optional<int> PidFromLockFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto first = text.find_first_not_of(" \t");
  if (first != std::string::npos && std::isdigit(static_cast<unsigned char>(text[first])) != 0) {
    char* end = nullptr;
    const long pid = std::strtol(text.c_str() + first, &end, 10);
    const std::string_view rest(end);
    if (pid > 0 && pid <= INT32_MAX && rest.find_first_not_of(" \t\r\n") == std::string::npos) {
      return static_cast<int>(pid);
    }
    return std::nullopt;
  }
  if (text.size() == sizeof(std::int32_t)) {
    std::int32_t pid = 0;
    std::memcpy(&pid, text.data(), sizeof pid);
    if (pid > 0) return pid;
  }
  return std::nullopt;
}

// The process's name, or nothing when there is no such process. The program's file name from
// its command line comes first: the kernel's own name (comm) is cut at 15 characters.
std::optional<std::string> CommandOf(int pid, const std::string& root) {
  const std::string dir = root + "/proc/" + std::to_string(pid);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return std::nullopt;
  std::string name;
  std::ifstream cmdline(dir + "/cmdline", std::ios::binary);
  std::getline(cmdline, name, '\0');
  if (!name.empty()) return std::filesystem::path(name).filename().string();
  std::ifstream comm(dir + "/comm");
  std::getline(comm, name);
  return name;
}

bool IsPid(const char* name) {
  if (*name == '\0') return false;
  for (const char* c = name; *c != '\0'; ++c) {
    if (std::isdigit(static_cast<unsigned char>(*c)) == 0) return false;
  }
  return true;
}

// The PIDs with a descriptor whose link reads `target`.
std::vector<int> PidsWithDescriptorOn(const std::string& target, const std::string& root) {
  std::vector<int> pids;
  const std::string procDir = root + "/proc";
  DIR* proc = ::opendir(procDir.c_str());
  if (proc == nullptr) return pids;
  while (const dirent* entry = ::readdir(proc)) {
    if (!IsPid(entry->d_name)) continue;
    const std::string fdDir = procDir + "/" + entry->d_name + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;  // another user's process, or one that has just ended
    while (const dirent* fd = ::readdir(fds)) {
      if (!IsPid(fd->d_name)) continue;
      char link[4096];
      const std::string fdPath = fdDir + "/" + fd->d_name;
      const ssize_t n = ::readlink(fdPath.c_str(), link, sizeof link - 1);
      if (n > 0 && std::string_view(link, static_cast<std::size_t>(n)) == target) {
        pids.push_back(std::atoi(entry->d_name));
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return pids;
}

std::string ModeText(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

}  // namespace

std::vector<DeviceHolder> FindDeviceHolders(const std::string& devicePath,
                                            const std::string& root) {
  // A by-id link and its /dev/ttyUSBn are one device: the kernel's links and the lock files
  // name the real node.
  std::error_code ec;
  std::string target = std::filesystem::weakly_canonical(devicePath, ec).string();
  if (ec || target.empty()) target = devicePath;
  const std::string name = std::filesystem::path(target).filename().string();

  std::vector<int> pids;
  for (const char* lockDir : {"/run/lock", "/var/lock"}) {
    if (const auto pid = PidFromLockFile(root + lockDir + "/LCK.." + name)) pids.push_back(*pid);
  }
  const std::vector<int> users = PidsWithDescriptorOn(target, root);
  pids.insert(pids.end(), users.begin(), users.end());
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());

  std::vector<DeviceHolder> holders;
  for (const int pid : pids) {
    // A lock file left behind by a program that has ended holds nothing.
    if (auto command = CommandOf(pid, root)) holders.push_back({pid, std::move(*command)});
  }
  return holders;
}

std::string DescribeHolders(const std::vector<DeviceHolder>& holders) {
  std::string text;
  for (const DeviceHolder& holder : holders) {
    if (!text.empty()) text += ", ";
    text += (holder.command.empty() ? std::string("a program") : holder.command) + " (pid " +
            std::to_string(holder.pid) + ")";
  }
  return text;
}

AccessFacts GatherAccessFacts(const std::string& devicePath) {
  AccessFacts facts;
  facts.device = devicePath;
  std::optional<gid_t> userGroup;  // the user's primary group, for the group database's list
  if (const passwd* pw = ::getpwuid(::geteuid())) {
    facts.user = pw->pw_name;
    userGroup = pw->pw_gid;
  }
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0) return facts;
  facts.mode = st.st_mode & 07777u;
  const group* gr = ::getgrgid(st.st_gid);
  if (gr == nullptr) return facts;
  facts.group = gr->gr_name;

  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  facts.processHasGroup = ::getegid() == st.st_gid ||
                          std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();

  if (userGroup) {
    int listed = 64;
    std::vector<gid_t> userGroups(static_cast<std::size_t>(listed));
    if (::getgrouplist(facts.user.c_str(), *userGroup, userGroups.data(), &listed) < 0) {
      userGroups.resize(static_cast<std::size_t>(listed));
      ::getgrouplist(facts.user.c_str(), *userGroup, userGroups.data(), &listed);
    }
    userGroups.resize(static_cast<std::size_t>(std::max(listed, 0)));
    facts.userListedInGroup =
        std::find(userGroups.begin(), userGroups.end(), st.st_gid) != userGroups.end();
  }
  return facts;
}

std::string ExplainPermission(const AccessFacts& f) {
  const std::string start = f.device + ": permission denied";
  if (f.group.empty()) {
    return start + "; this user may not read and write it. Ask the administrator for access.";
  }
  const std::string user = f.user.empty() ? std::string("$USER") : f.user;
  const std::string group = "\"" + f.group + "\"";
  constexpr unsigned kGroupReadWrite = 060;
  if (f.group == "root") {
    // Debian's udev gives serial devices to "dialout"; one left to root is a setup fault.
    return start + ": only root may use it (group \"root\", mode " + ModeText(f.mode) +
           "). Fix: sudo chgrp dialout " + f.device + " && sudo chmod 660 " + f.device +
           " (a udev rule makes that last); a user outside the group \"dialout\" then joins it"
           " with sudo usermod -aG dialout " +
           user + " and logs in again.";
  }
  if ((f.mode & kGroupReadWrite) != kGroupReadWrite) {
    return start + ": its mode " + ModeText(f.mode) + " gives its group " + group +
           " no read and write. Fix: sudo chmod g+rw " + f.device +
           " (a udev rule makes that last).";
  }
  if (f.processHasGroup) {
    return start + " although this program runs in its group " + group + " (mode " +
           ModeText(f.mode) + "). Ask the administrator what else guards it.";
  }
  if (f.userListedInGroup) {
    return start + ": user \"" + user + "\" is in the group " + group +
           " that may use it, but this login began before that. Fix: log out and log in again"
           " (or start a new login with: su - " +
           user + ").";
  }
  return start + ": it belongs to the group " + group + " and user \"" + user +
         "\" is not in it. Fix: sudo usermod -aG " + f.group + " " + user +
         ", then log out and log in again (the group counts from the next login).";
}

std::string ExplainOpenError(const std::string& devicePath, int error, const std::string& root) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ExplainPermission(GatherAccessFacts(devicePath));
    case EBUSY:
    case EWOULDBLOCK: {
      const std::string holders = DescribeHolders(FindDeviceHolders(devicePath, root));
      if (!holders.empty()) {
        return devicePath + ": in use by " + holders +
               ". Close that program or pick another "
               "COM port.";
      }
      return devicePath +
             ": in use by another program, which Linux does not name to this user"
             " (sudo fuser -v " +
             devicePath + " shows it). Close it or pick another COM port.";
    }
    case ENOENT:
      return devicePath + ": no such device (unplugged?). Plug it in or pick another COM port.";
    default:
      return devicePath + ": " + std::strerror(error);
  }
}

}  // namespace tarvik
