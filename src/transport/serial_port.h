// The real serial line on POSIX termios: one COM device, opened exclusively in raw 8E1 at the
// protocol's rate, whole-frame writes and exact-count reads of bytes already received.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "transport/low_latency.h"
#include "transport/serial_link.h"

namespace tarvik {

inline constexpr int kBaud9600 = 9600;
inline constexpr int kBaud19200 = 19200;
inline constexpr int kBaud38400 = 38400;

// `baud_rate_index` 0, 1, 2 -> 9,600, 19,200, 38,400; anything else -> 9,600.
int BaudRateFromIndex(int index);
// `com_port_index` 0 is COM1; 0 (no port) for an index below 0.
int PortNumberFromIndex(int index);

// Bounds of one transfer, in milliseconds: per byte times the count plus the base.
struct TransferTimeouts {
  int readPerByteMs = 500;
  int readBaseMs = 10000;
  int writePerByteMs = 500;
  int writeBaseMs = 5000;
};

// `wanted` with the line settings of the protocol applied: raw mode, 8 data bits, even parity,
// 1 stop bit, receiver on, modem lines ignored, `baudRate` (9,600 for an unknown rate). Flow
// control stays as the driver reported it.
termios MakeLineSettings(const termios& current, int baudRate);

// Whether the settings read back from the device (`kept`) hold what `wanted` asked for: data
// bits, parity, stop bits and both speeds. A pseudo-terminal cannot do parity, so for one
// (`isPty`) a missing parity bit is accepted; nothing else is.
bool LineSettingsKept(const termios& wanted, const termios& kept, bool isPty);

class SerialPort final : public SerialLink {
 public:
  // `deviceRoot` is put in front of /dev and /sys when COM numbers are mapped to devices; empty
  // for the real system.
  explicit SerialPort(std::string deviceRoot = {});
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  int Open(int portNumber, int baudRate) override;
  int Close() override;
  int Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) override;
  int Read(std::uint8_t* buffer, std::uint32_t count) override;
  int ReadAvailable(std::uint8_t* buffer, std::uint32_t count) override;
  // Sleeps in poll() on the device, so it ends as soon as a byte arrives.
  bool WaitReadable(int ms) override;
  bool IsOpen() const override;
  std::string OpenFailureReason() const override;

  std::string DeviceForPort(int portNumber) const override;
  std::string DisplayTextForPort(int portNumber) const override;

  // Every later Open uses `path` whatever the port number (--device); "" restores the mapping.
  void SetDeviceOverride(std::string path);
  // The device and rate of the open port; "" and 0 when closed.
  std::string OpenDevice() const;
  int OpenBaudRate() const;

  void SetTimeouts(const TransferTimeouts& timeouts);

  // Where the port says what it did about low-latency mode on open, and a failure to put it back
  // on close: one sentence about `device`. By default a line on standard error. Set before Open.
  using NoticeSink = std::function<void(const std::string& device, const std::string& text)>;
  void SetNoticeSink(NoticeSink sink);

  // The open device's descriptor, -1 when closed, for a reader that waits for input with poll()
  // instead of asking on a fixed beat. Only for waiting: it may be stale by the time it is used
  // (a wait then ends early or runs to its time-out); every transfer goes through Read and Write.
  int WaitDescriptor() const { return waitDescriptor_.load(); }

 private:
  // Closes the descriptor; used by Close and when the device has gone away.
  void CloseLocked();
  // True when the device hung up (unplugged, far end of a pty closed); the port is then closed.
  bool DropIfHungUpLocked();
  // Records why Open failed; returns 0 for Open to pass on.
  int RefuseOpen(std::string reason);
  // Bytes ready to read; 0 when closed, and after closing a device that hung up or no longer
  // answers.
  int ReadableLocked();
  // Bytes waiting in the receive queue, or -1 when the device no longer answers.
  int QueuedLocked() const;
  // Moves `count` bytes in pieces with `step` (a read or a write of what is left), waiting for
  // `events` between pieces until `deadline`. False when the deadline passed, Close asked for the
  // port, or the device failed (a device that has gone is closed).
  template <typename Step>
  bool TransferLocked(std::uint32_t count, short events,
                      std::chrono::steady_clock::time_point deadline, Step step);

  const std::string deviceRoot_;

  // Transfers hold `mutex_` while they wait on the device (a write may wait out its whole
  // time-out), so what the window thread asks about lives outside it.
  mutable std::mutex mutex_;  // guards fd_, exclusiveSet_, timeouts_, lowLatency_, noticeSink_
  int fd_ = -1;
  bool exclusiveSet_ = false;  // TIOCEXCL is ours to clear before closing
  TransferTimeouts timeouts_;
  LowLatencyChange lowLatency_;  // undone before the descriptor is closed
  NoticeSink noticeSink_;

  // Guards deviceOverride_, openFailure_, openDevice_, openBaudRate_.
  mutable std::mutex infoMutex_;
  std::string deviceOverride_;
  std::string openFailure_;
  std::string openDevice_;
  int openBaudRate_ = 0;

  // A copy of fd_ that the window thread and waiting readers may look at without the lock.
  std::atomic<int> waitDescriptor_{-1};
  std::atomic<bool> closeRequested_{false};  // Close is waiting for the transfer in progress
};

}  // namespace tarvik
