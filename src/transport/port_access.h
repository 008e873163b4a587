// Why a serial device did not open, told so that the engineer knows what to do: for a refused
// permission the group to join and the new login it takes, for a device in use the program that
// holds it, where Linux lets this user see that.
//
// The functions that look at the system take a `root` prefix put in front of /proc, /run and
// /var, so a test can build a fake tree in a temporary directory; the program passes "".
#pragma once

#include <string>
#include <vector>

namespace tarvik {

// A process that holds a device open or has locked it.
struct DeviceHolder {
  int pid = 0;
  std::string command;  // its program's name (/proc/PID/cmdline, else comm); "" when unreadable

  bool operator==(const DeviceHolder&) const = default;
};

// The live processes named in the device's lock files (LCK..NAME under /run/lock and /var/lock,
// the PID in ASCII or as a binary int) and those with a descriptor on the device under
// /proc/*/fd (only the ones this user may look into), each once, in ascending PID order.
std::vector<DeviceHolder> FindDeviceHolders(const std::string& devicePath,
                                            const std::string& root = {});

// "minicom (pid 812)", several joined by ", "; "" for none.
std::string DescribeHolders(const std::vector<DeviceHolder>& holders);

// What this process knows about its right to a device it may not open.
struct AccessFacts {
  std::string device;
  std::string group;               // the device's group name ("" when unknown)
  std::string user;                // the login name of this process's user
  unsigned mode = 0;               // the permission bits of the device (0777 mask)
  bool userListedInGroup = false;  // the group database lists the user in `group`
  bool processHasGroup = false;    // this process already runs with `group`
};

// Reads the facts for `devicePath` from stat(), the group database and getgroups().
AccessFacts GatherAccessFacts(const std::string& devicePath);

// The permission-denied explanation with its fix: join the group and log in anew, or only log
// in anew, or have the device's mode give the group read and write.
std::string ExplainPermission(const AccessFacts& facts);

// Why `devicePath` could not be opened, from `error`, the errno of open() or of taking the
// device's lock: the permission explanation, the holders of a device in use, or the errno text.
std::string ExplainOpenError(const std::string& devicePath, int error,
                             const std::string& root = {});

}  // namespace tarvik
