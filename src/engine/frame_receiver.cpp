#include "engine/frame_receiver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string_view>

#include "engine/comm_log.h"
#include "protocol/response_codes.h"
#include "transport/serial_port.h"

namespace tarvik {

namespace {

constexpr std::string_view kResponseTimeoutText = "300msec Timeout Error for Response.";
constexpr std::string_view kDownloadTimeoutText = "Timeout Error.";
constexpr std::string_view kSyncErrorText = "Sync Byte Error.";
constexpr std::string_view kLengthErrorText = "Reception Data Length Error.";

// The "Comminucation Status" texts, in the order the bits are tested: the last set bit's text
// is the one that stays in the field.
struct CommErrorText {
  std::uint32_t bit;
  std::string_view text;
};
// clang-format off
constexpr std::array kCommErrorTexts{
    CommErrorText{kRxTimeOutBit, "Rx Time Out"},
    CommErrorText{kTxTimeOutBit, "Tx Time Out"},
    CommErrorText{kOverrunBit, "Overrun Error"},
    CommErrorText{kFramingBit, "Framing Error"},
    CommErrorText{kBreakBit, "Break Interrupt Error"},
};
// clang-format on
constexpr std::string_view kCommOkText = "OK";

// A frame that has begun is given up on 50 ms after the last byte that arrived: the LNG byte
// must follow SYNC within that, and each further byte the one before it. Bytes that keep coming
// keep the frame going, so a long answer (253 bytes at 9,600 baud take 290 ms) arrives whole;
// but never past the frame's own line time (11 bits a byte: start, 8 data, parity, stop),
// counted from its first byte, plus the same 50 ms, so a garbage LNG or a trickle of bytes cannot
// hold the line longer than a real frame of that length would.
constexpr auto kByteGap = std::chrono::milliseconds(50);
constexpr int kBitsPerByte = 11;

std::chrono::microseconds LineTime(int bytes, int baudRate) {
  if (bytes <= 0 || baudRate <= 0) return {};
  return std::chrono::microseconds(1000000LL * kBitsPerByte * bytes / baudRate);
}

// Ends the current exchange after a time-out or receive error. With a text, logs it together
// with the bytes that were received (none, SYNC, or SYNC and LNG). A chain of stored settings
// that ends here is over: the operator's next setting command carries the value typed for it.
ReceiveResult EndExchange(Engine& engine, std::int32_t& transaction_end_flag, std::string_view text,
                          const std::uint8_t* bytes, int count) {
  if (!text.empty()) {
    SetRxLogText(engine, text);
    if (count > 0) {
      std::memcpy(engine.rx.bytes.data(), bytes, static_cast<std::size_t>(count));
      engine.rx.byteCount = count;
      FormatHex(engine.rx);
    }
    LogReceivedFrame(engine);
  }
  EngineState& s = engine.state;
  s.transactionStep.store(kStepNone);
  s.reapplySettings.store(0);
  s.lineActivity.fetch_add(1);
  transaction_end_flag = 1;
  return ReceiveResult::ExchangeEnded;
}

// A receive error has ended the exchange: its answer deadline goes with it, so the exchange is
// not reported a second time when that deadline passes.
ReceiveResult EndExchangeOnError(Engine& engine, std::int32_t& transaction_end_flag,
                                 std::string_view text, const std::uint8_t* bytes, int count) {
  CancelResponseTimer(engine);
  return EndExchange(engine, transaction_end_flag, text, bytes, count);
}

// A frame cut short or with an impossible LNG: counted for the run, and every byte taken is
// shown, so what the validator did send is not lost from the log.
ReceiveResult EndOnLengthError(Engine& engine, std::int32_t& transaction_end_flag,
                               const std::uint8_t* bytes, int count) {
  engine.statistics.ReceiveError(ReceiveErrorKind::Length);
  return EndExchangeOnError(engine, transaction_end_flag, kLengthErrorText, bytes, count);
}

}  // namespace

ReceiveResult ReceiveFrame(Engine& engine, std::int32_t& transaction_end_flag) {
  EngineState& s = engine.state;
  FrameLogRecord& rx = engine.rx;
  // Every flag the receive line consults must describe this call's line.
  rx.logText.fill(0);
  rx.bytes.fill(0);
  rx.hexText.fill(0);
  rx.byteCount = 0;
  engine.check.crcErrorFlag = 0;
  engine.check.lengthErrorFlag = 0;
  s.rxIsStatus.store(0);

  if (s.responseTimedOut.exchange(0) != 0) {
    // The deadline of an exchange a receive error has already ended.
    if (s.responseTimerCancelled.exchange(0) != 0) return ReceiveResult::NothingReceived;
    // After an Auto Reset the validator is slow to come back; that wait is not an error.
    if (s.transactionStep.load() == kStepAutoResetAcked) return ReceiveResult::NothingReceived;
    engine.statistics.ReceiveError(ReceiveErrorKind::TimeOut);
    return EndExchange(engine, transaction_end_flag, kResponseTimeoutText, nullptr, 0);
  }

  // The download watchdog is not stopped here: every download command restarts it, so it fires
  // 20 s after the last one whatever arrives meanwhile, and a download that stalls (a validator
  // gone silent, an answer that sends nothing on) still ends.

  if (const std::uint32_t errors = s.commErrors.load(); CheckCommErrors(engine, errors)) {
    const bool download = s.normalDownloadActive.load() != 0;
    if (download) engine.statistics.ReceiveError(ReceiveErrorKind::TimeOut);
    const ReceiveResult result =
        EndExchangeOnError(engine, transaction_end_flag,
                           download ? kDownloadTimeoutText : std::string_view{}, nullptr, 0);
    // The error has been reported and its exchange ended; clearing exactly the reported bits
    // lets reception resume (a bit set meanwhile is reported on the next call).
    s.commErrors.fetch_and(~errors);
    return result;
  }

  // SYNC and LNG are taken a byte at a time; the rest is read straight into the frame.
  std::uint8_t byte = 0;
  if (engine.port.Read(&byte, 1) != 1) return ReceiveResult::NothingReceived;

  if (byte != kSyncByte) {
    engine.statistics.ReceiveError(ReceiveErrorKind::Sync);
    return EndExchangeOnError(engine, transaction_end_flag, kSyncErrorText, &byte, 1);
  }
  auto& frame = engine.rxFrame;
  frame[0] = kSyncByte;
  // Also where an answer's time ends: at its first byte, not at the end of the frame.
  const Clock::TimePoint firstByte = engine.clock.Now();

  // Waits for the next byte until `deadline`; false when it passed (or the port went away)
  // without one. The wait wakes as soon as a byte arrives.
  const auto waitForMore = [&engine](Clock::TimePoint deadline) {
    const Clock::TimePoint now = engine.clock.Now();
    if (now >= deadline || !engine.port.IsOpen()) return false;
    engine.clock.WaitForInput(engine.port,
                              std::chrono::ceil<std::chrono::microseconds>(deadline - now));
    return true;
  };

  while (engine.port.Read(&byte, 1) != 1) {
    if (!waitForMore(firstByte + kByteGap)) {
      return EndOnLengthError(engine, transaction_end_flag, frame.data(), 1);
    }
  }
  Clock::TimePoint lastByte = engine.clock.Now();
  s.commErrors.store(0);
  const int lng = byte;
  frame[1] = byte;

  // LNG 0..2 names no byte to wait for, so such a frame can never complete.
  if (lng < 3) {
    return EndOnLengthError(engine, transaction_end_flag, frame.data(), 2);
  }
  const Clock::TimePoint lineLimit =
      firstByte + LineTime(lng, BaudRateFromIndex(s.baud_rate_index.load())) + kByteGap;
  int count = 2;
  while (count < lng) {
    const int got =
        engine.port.ReadAvailable(frame.data() + count, static_cast<std::uint32_t>(lng - count));
    if (got > 0) {
      count += got;
      lastByte = engine.clock.Now();
      continue;
    }
    if (!waitForMore(std::min(lastByte + kByteGap, lineLimit))) {
      return EndOnLengthError(engine, transaction_end_flag, frame.data(), count);
    }
  }

  s.lineActivity.fetch_add(1);
  TrackStatusChange(engine, frame[2]);
  StopResponseTimer(engine, frame[2]);
  engine.statistics.FrameReceived({frame.data(), static_cast<std::size_t>(lng)}, firstByte);

  std::memcpy(rx.bytes.data(), frame.data(), static_cast<std::size_t>(lng));
  rx.byteCount = lng;
  FormatHex(rx);
  return ReceiveResult::FrameReceived;
}

bool CheckCommErrors(Engine& engine, std::uint32_t bits) {
  bool any = false;
  for (const CommErrorText& error : kCommErrorTexts) {
    if ((bits & error.bit) != 0) {
      engine.ui.ShowCommStatus(error.text);
      any = true;
    }
  }
  if (!any) engine.ui.ShowCommStatus(kCommOkText);
  return any;
}

void TrackStatusChange(Engine& engine, std::uint8_t code) {
  EngineState& s = engine.state;
  const int number = StatusNumber(code);
  if (number == 0) {
    s.rxIsStatus.store(0);
    s.statusChanged.store(0);
    return;
  }
  s.rxIsStatus.store(1);
  if (number == s.lastStatus.load()) {
    s.statusChanged.store(0);
  } else {
    s.statusChanged.store(1);
    s.lastStatus.store(static_cast<std::uint8_t>(number));
  }
}

void StopResponseTimer(Engine& engine, std::uint8_t code) {
  if (AnswersCommand(engine.state.lastCommand.load(), code)) engine.ui.StopTimer(kResponseTimer);
}

void CancelResponseTimer(Engine& engine) {
  EngineState& s = engine.state;
  engine.ui.StopTimer(kResponseTimer);
  s.responseTimerCancelled.store(1);
  s.responseTimedOut.store(0);
}

}  // namespace tarvik
