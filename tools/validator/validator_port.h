// The validator's end of the line: a new pseudo-terminal or a real serial device.
//
// With a pty the validator holds the master and keeps a spare descriptor on the slave itself:
// while no host has the slave open, the master then neither reads EIO nor polls as hung up, so
// the driver waits quietly for a host to come. The slave starts raw, so nothing the validator
// writes is echoed back before a host has set the line up.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace tarvik::validator {

class ValidatorPort {
 public:
  ValidatorPort() = default;
  ValidatorPort(const ValidatorPort&) = delete;
  ValidatorPort& operator=(const ValidatorPort&) = delete;
  ~ValidatorPort();

  // Creates a pty pair; `Path()` is then the slave device the host opens.
  bool OpenPty(std::string& error);
  // Opens `path` raw, 8 data bits, even parity, 1 stop bit, at `baud` (9600, 19200 or 38400).
  // A pty refuses even parity; it is then opened without it and `warning` says so.
  bool OpenDevice(const std::string& path, int baud, std::string& error, std::string& warning);
  void Close();

  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }

  // Takes what is queued, without waiting. Returns the count (0 when nothing is there), or -1
  // when the line is gone (hang-up, device removed).
  long ReadSome(std::uint8_t* buffer, std::size_t size);
  // Writes every byte, waiting for room at most `kWriteTimeoutMs` at a time. With `baud` > 0 the
  // bytes go out one by one at that line's speed (11 bits a byte: start, 8 data, parity, stop).
  // `stop` cuts a long paced write short. Returns false when the bytes could not all be written.
  bool WriteAll(std::span<const std::uint8_t> bytes, int baud, const std::atomic<bool>* stop);

  // Room in the line's buffer comes within this time or not at all (nobody reads the line).
  static constexpr int kWriteTimeoutMs = 500;

 private:
  int fd_ = -1;
  int spareSlaveFd_ = -1;
  std::string path_;
};

// Microseconds one byte takes on the line at `baud`.
long ByteTimeMicros(int baud);
bool IsSupportedBaud(int baud);

}  // namespace tarvik::validator
