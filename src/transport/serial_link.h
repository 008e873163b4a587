// The byte pipe the engine talks through. `SerialPort` is the real one; tests use fakes.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

class SerialLink {
 public:
  virtual ~SerialLink();

  // Opens COM`portNumber` (1..20) at `baudRate`; 1 when the port is open afterwards, 0 otherwise.
  // An open port returns 1 at once and keeps its device and rate.
  virtual int Open(int portNumber, int baudRate) = 0;
  // Closes the device if open; always 1.
  virtual int Close() = 0;
  // Writes all `count` bytes: 1 and `written` = `count`, or 0 (closed, received bytes waiting,
  // short or failed write).
  virtual int Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) = 0;
  // Takes exactly `count` bytes when at least that many are queued and returns `count`;
  // otherwise takes nothing and returns 0. Never waits for bytes that have not arrived.
  virtual int Read(std::uint8_t* buffer, std::uint32_t count) = 0;
  // Takes up to `count` of the bytes already received; returns how many (0 when none). By
  // default one `Read` of a single byte at a time.
  virtual int ReadAvailable(std::uint8_t* buffer, std::uint32_t count);
  // Waits up to `ms` for received bytes not yet taken; true when there are some. Ends at once on
  // a closed link. By default it only sleeps.
  virtual bool WaitReadable(int ms);
  virtual bool IsOpen() const = 0;
  // Why the last Open that returned 0 failed, with the fix where one is known; "" when not told.
  virtual std::string OpenFailureReason() const;

  // The device COM`portNumber` opens ("" when unknown), and the text that shows the number to
  // the operator ("COM3 (/dev/ttyUSB0)"; "COM3" by default).
  virtual std::string DeviceForPort(int portNumber) const;
  virtual std::string DisplayTextForPort(int portNumber) const;
};

}  // namespace tarvik
