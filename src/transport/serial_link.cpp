#include "transport/serial_link.h"

namespace tarvik {

SerialLink::~SerialLink() = default;

}  // namespace tarvik
