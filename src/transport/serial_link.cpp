#include "transport/serial_link.h"

#include <chrono>
#include <thread>

#include "transport/device_naming.h"

namespace tarvik {

SerialLink::~SerialLink() = default;

std::string SerialLink::OpenFailureReason() const { return {}; }

std::string SerialLink::DeviceForPort(int /*portNumber*/) const { return {}; }

int SerialLink::ReadAvailable(std::uint8_t* buffer, std::uint32_t count) {
  std::uint32_t taken = 0;
  while (taken < count && Read(buffer + taken, 1) == 1) ++taken;
  return static_cast<int>(taken);
}

bool SerialLink::WaitReadable(int ms) {
  if (!IsOpen()) return false;
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return false;
}

std::string SerialLink::DisplayTextForPort(int portNumber) const {
  return PortDisplayText(portNumber, DeviceForPort(portNumber));
}

}  // namespace tarvik
