// How a COM number (1..20) selects a Linux serial device.
//
// The candidates are listed in an order that does not change from run to run while the same
// hardware is attached: the stable USB names under /dev/serial/by-id (sorted), then /dev/ttyUSB*
// and /dev/ttyACM* in numeric order (those already reached through a by-id link are left out),
// then the /dev/ttyS* ports that really exist. COMn is the n-th entry.
//
// Every function takes a `root` prefix put in front of /dev and /sys, so a test can build a fake
// tree in a temporary directory; the program passes an empty root.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// The devices in COM order; each path carries the root prefix.
std::vector<std::string> ListSerialDevices(const std::string& root = {});

// The device COM`portNumber` selects, or "" when the list has no such entry (also for numbers
// below 1).
std::string DevicePathForPort(int portNumber, const std::string& root = {});

// "COM3 (/dev/ttyUSB0)"; "COM3" alone when `devicePath` is empty.
std::string PortDisplayText(int portNumber, std::string_view devicePath);

// True when the character device `major`:`minor` is a pseudo-terminal slave according to
// `ttyDrivers`, the text of /proc/tty/drivers.
bool IsPtySlaveDevice(std::string_view ttyDrivers, unsigned major, unsigned minor);

// True when the open descriptor `fd` (opened from `path`) is a pseudo-terminal slave.
bool IsPseudoTerminal(int fd, const std::string& path);

}  // namespace tarvik
