// The record the window thread and the worker thread share: command hand-over, exchange and timer
// flags, the operating modes, the settings store and the configuration.
//
// Every field that both threads touch is a std::atomic, read and written whole. The pair
// `commandQueued`/`queuedCommand` is additionally guarded by `queueMutex`, so that the polling
// decision's "queue only if nothing is queued" and a worker-side `QueueCommand` cannot interleave.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace tarvik {

// Stack mode values: 0 Manual, 1 Stack1, 2 Stack2, 3 Reject.
inline constexpr std::int32_t kStackManual = 0;
inline constexpr std::int32_t kStack1 = 1;
inline constexpr std::int32_t kStack2 = 2;
inline constexpr std::int32_t kStackReject = 3;
// ACK mode: 1 AUTO, 0 MANU.
inline constexpr std::uint8_t kAckAuto = 1;
inline constexpr std::uint8_t kAckManu = 0;
// Polling mode uses 1 and 2, not 0 and 1.
inline constexpr std::int32_t kPollingAuto = 1;
inline constexpr std::int32_t kPollingManu = 2;
// Display mode: 0 "Binary and Full", 1 "Text and Limited".
inline constexpr std::int32_t kDisplayBinaryFull = 0;
inline constexpr std::int32_t kDisplayTextLimited = 1;

inline constexpr std::int32_t kDefaultPollingDurationMs = 200;
inline constexpr std::int32_t kDefaultPacketSize = 246;
inline constexpr std::int32_t kNormalDeviceAddress = 0xFC;  // 252
inline constexpr std::int32_t kGlobalDeviceAddress = 0xF0;  // 240

// Communication error bits of `commErrors`.
inline constexpr std::uint32_t kRxTimeOutBit = 0x20;
inline constexpr std::uint32_t kTxTimeOutBit = 0x40;
inline constexpr std::uint32_t kOverrunBit = 0x02;
inline constexpr std::uint32_t kFramingBit = 0x08;
inline constexpr std::uint32_t kBreakBit = 0x10;

// Steps of the multi-step exchanges.
inline constexpr std::uint8_t kStepNone = 0;
inline constexpr std::uint8_t kStepDownloadStart = 1;
inline constexpr std::uint8_t kStepAutoResetSent = 2;
inline constexpr std::uint8_t kStepAutoResetAcked = 3;
inline constexpr std::uint8_t kStepReapplying = 4;

// The machine number: at most 20 characters and a terminating zero in 28 bytes. Written by the
// value entry (window thread) and by machine-number answers (worker thread), so it is locked.
class MachineNumber {
 public:
  static constexpr std::size_t kSize = 28;
  static constexpr std::size_t kMaxChars = 20;
  using Bytes = std::array<char, kSize>;

  // Stores the first 20 characters of `text`; the rest of the 28 bytes become zero.
  void Set(std::string_view text);
  // The text up to the first zero byte.
  std::string Text() const;
  // All 28 bytes as stored, zero bytes included.
  Bytes Raw() const;

 private:
  mutable std::mutex mutex_;  // guards bytes_
  Bytes bytes_{};
};

struct EngineState {
  // --- Command hand-over and transactions ---
  std::atomic<std::int32_t> pendingCommand{0};
  std::atomic<std::int32_t> commandQueued{0};
  std::atomic<std::uint8_t> queuedCommand{0};
  std::mutex queueMutex;  // guards the store-then-raise of commandQueued/queuedCommand
  std::atomic<std::int32_t> awaitingResponse{0};
  std::atomic<std::uint8_t> armResponseTimer{0};
  std::atomic<std::uint8_t> responseTimedOut{0};
  // Set when a receive error ends an exchange and stops its response timer: an expiry of that
  // timer already on its way is then not reported as a second time-out of the same exchange.
  // Cleared when the sender starts timer 3 again.
  std::atomic<std::uint8_t> responseTimerCancelled{0};
  // Counts frames sent and answers (or receive errors) taken, so the worker can tell how long an
  // open exchange has gone without anything happening on the line.
  std::atomic<std::uint32_t> lineActivity{0};
  // When the write in progress began, in steady-clock nanoseconds; 0 while none is. Lets a
  // front-end tell a line that has stopped taking data from one that is merely busy.
  std::atomic<std::int64_t> writeStartedNs{0};
  std::atomic<std::uint8_t> lastCommand{0};
  std::atomic<std::uint32_t> commErrors{0};
  std::atomic<std::uint8_t> transactionStep{0};
  std::atomic<std::int32_t> reapplySettings{0};
  // The Display Mode button's immediate status request, handed to the worker so that only the
  // worker thread ever enters the sender: sent at the worker's next send step, before any other
  // queued command.
  std::atomic<std::uint8_t> immediateStatusRequest{0};

  // --- Line and downloads ---
  std::atomic<std::uint8_t> portOpen{0};
  std::atomic<std::int32_t> globalDownloadActive{0};
  std::atomic<std::uint8_t> normalDownloadActive{0};

  // --- Download packet: filled and read on the worker thread only ---
  std::array<std::uint8_t, 4> downloadAddress{};
  std::uint32_t downloadPacketLength = 0;
  std::array<std::uint8_t, 256> downloadPacket{};
  std::uint32_t downloadOffset = 0;
  std::uint32_t downloadTotalSize = 0;

  // --- Status-change tracking ---
  std::atomic<std::uint8_t> statusChanged{0};
  std::atomic<std::uint8_t> lastStatus{0};
  std::atomic<std::uint8_t> rxIsStatus{0};

  // --- Operating modes ---
  std::atomic<std::int32_t> stackMode{kStackManual};
  std::atomic<std::uint8_t> ackMode{kAckAuto};
  std::atomic<std::int32_t> pollingMode{kPollingAuto};
  std::atomic<std::int32_t> displayMode{kDisplayBinaryFull};

  // --- Settings store: what the host last set ---
  std::atomic<std::int32_t> disableSetting{0};
  std::atomic<std::int32_t> securitySetting{0};
  std::atomic<std::int32_t> commModeSetting{0};
  std::atomic<std::int32_t> inhibitSetting{0};
  std::atomic<std::int32_t> directionSetting{0};
  std::atomic<std::int32_t> functionSetting{0};
  std::atomic<std::int32_t> barcodeFunctionSetting{0};
  std::atomic<std::int32_t> barcodeInhibitSetting{0xFE};
  MachineNumber machineNumber;

  // --- Configuration (settings file) ---
  std::atomic<std::int32_t> com_port_index{0};
  std::atomic<std::int32_t> baud_rate_index{0};
  std::atomic<std::int32_t> polling_duration{kDefaultPollingDurationMs};
  std::atomic<std::int32_t> ope_mode_index{0};
  std::atomic<std::int32_t> download_packet_size{kDefaultPacketSize};
  std::atomic<std::int32_t> deviceAddress{kNormalDeviceAddress};

  // 1 while the Log tab's recording button reads "Start".
  std::atomic<std::uint8_t> logRecordingStopped{0};
};

}  // namespace tarvik
