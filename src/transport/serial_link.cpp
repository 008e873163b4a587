#include "transport/serial_link.h"

#include "transport/device_naming.h"

namespace tarvik {

SerialLink::~SerialLink() = default;

std::string SerialLink::OpenFailureReason() const { return {}; }

std::string SerialLink::DeviceForPort(int /*portNumber*/) const { return {}; }

std::string SerialLink::DisplayTextForPort(int portNumber) const {
  return PortDisplayText(portNumber, DeviceForPort(portNumber));
}

}  // namespace tarvik
