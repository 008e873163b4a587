#include "transport/device_naming.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace tarvik {

namespace {

namespace fs = std::filesystem;

constexpr const char* kByIdDir = "/dev/serial/by-id";
constexpr const char* kPtySlaveType = "pty:slave";
constexpr const char* kPtsDir = "/dev/pts/";
constexpr const char* kTtyDriversFile = "/proc/tty/drivers";

// The number after `prefix` in a device name ("ttyUSB12" -> 12); nothing when the rest is not
// a plain decimal number.
std::optional<unsigned> DeviceNumber(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return {};
  const std::string_view digits = name.substr(prefix.size());
  if (digits.size() > 6) return {};
  unsigned value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return {};
  return value;
}

// /dev entries named `prefix`<n>, in numeric order.
std::vector<std::pair<unsigned, std::string>> NumberedDevices(const std::string& root,
                                                              std::string_view prefix) {
  std::vector<std::pair<unsigned, std::string>> found;
  std::error_code ec;
  for (fs::directory_iterator it(root + "/dev", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (const auto number = DeviceNumber(name, prefix)) found.emplace_back(*number, it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const fs::path resolved = fs::canonical(path, ec);
  return ec ? std::string() : resolved.string();
}

// The kernel registers every possible 8250-style port; the ones without hardware report the UART
// type PORT_UNKNOWN. Sysfs tells without opening the device (opening would toggle DTR on real
// hardware and needs permission); TIOCGSERIAL is the fallback where sysfs has no entry.
bool SerialPortPresent(const std::string& root, const std::string& devicePath, unsigned number) {
  std::ifstream typeFile(root + "/sys/class/tty/ttyS" + std::to_string(number) + "/type");
  int type = 0;
  if (typeFile >> type) return type != PORT_UNKNOWN;

  const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct info{};
  const bool present = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return present;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& root) {
  std::vector<std::string> devices;
  std::vector<std::string> reachedById;  // canonical targets of the by-id links

  std::vector<std::string> byId;
  std::error_code ec;
  for (fs::directory_iterator it(root + kByIdDir, ec), end; !ec && it != end; it.increment(ec)) {
    byId.push_back(it->path().string());
  }
  std::sort(byId.begin(), byId.end());
  for (const std::string& link : byId) {
    // A link whose device has gone is left out rather than offered as a COM port.
    const std::string target = Canonical(link);
    if (target.empty()) continue;
    devices.push_back(link);
    reachedById.push_back(target);
  }

  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const auto& [number, path] : NumberedDevices(root, prefix)) {
      const std::string target = Canonical(path);
      if (std::find(reachedById.begin(), reachedById.end(), target) != reachedById.end()) continue;
      devices.push_back(path);
    }
  }

  for (const auto& [number, path] : NumberedDevices(root, "ttyS")) {
    if (SerialPortPresent(root, path, number)) devices.push_back(path);
  }
  return devices;
}

std::string DevicePathForPort(int portNumber, const std::string& root) {
  if (portNumber < 1) return {};
  const std::vector<std::string> devices = ListSerialDevices(root);
  const auto index = static_cast<std::size_t>(portNumber - 1);
  return index < devices.size() ? devices[index] : std::string();
}

std::string PortDisplayText(int portNumber, std::string_view devicePath) {
  std::string text = "COM" + std::to_string(portNumber);
  if (!devicePath.empty()) {
    text += " (";
    text += devicePath;
    text += ")";
  }
  return text;
}

bool IsPtySlaveDevice(std::string_view ttyDrivers, unsigned major, unsigned minor) {
  std::istringstream lines{std::string(ttyDrivers)};
  std::string line;
  while (std::getline(lines, line)) {
    // name, node, major, minor range ("0-1048575" or a single number), type
    std::istringstream fields(line);
    std::string name, node, majorText, minorRange, type;
    if (!(fields >> name >> node >> majorText >> minorRange >> type)) continue;
    if (type != kPtySlaveType) continue;
    unsigned driverMajor = 0, first = 0, last = 0;
    const char* const majorEnd = majorText.data() + majorText.size();
    if (std::from_chars(majorText.data(), majorEnd, driverMajor).ptr != majorEnd) continue;
    const char* const rangeEnd = minorRange.data() + minorRange.size();
    auto [p, error] = std::from_chars(minorRange.data(), rangeEnd, first);
    if (error != std::errc()) continue;
    last = first;
    if (p != rangeEnd) {
      if (*p != '-' || std::from_chars(p + 1, rangeEnd, last).ptr != rangeEnd) continue;
    }
    if (major == driverMajor && minor >= first && minor <= last) return true;
  }
  return false;
}

bool IsPseudoTerminal(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  if (Canonical(path).rfind(kPtsDir, 0) == 0) return true;
  std::ifstream drivers(kTtyDriversFile);
  const std::string text{std::istreambuf_iterator<char>(drivers), std::istreambuf_iterator<char>()};
  return IsPtySlaveDevice(text, ::major(info.st_rdev), ::minor(info.st_rdev));
}

}  // namespace tarvik
