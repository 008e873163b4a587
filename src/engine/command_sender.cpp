#include "engine/command_sender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "engine/comm_log.h"
#include "protocol/command_catalogue.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

constexpr const char* kProgramErrorText = "!!! Program Error-->No.:0001 !!!";

// After a dispense the value box is primed with the next dispense request.
constexpr std::uint32_t kValueAfterDispense = 0x3101;

constexpr int kDownloadWatchdogMs = 20000;
constexpr int kResponseTimeoutMs = 300;

constexpr std::size_t kTimeDateChars = 12;
constexpr std::size_t kDateChars = 8;
constexpr std::size_t kMachineNumberChars = 20;
constexpr std::size_t kDownloadAddressBytes = 4;

// The stored setting that each set command carries.
constexpr std::atomic<std::int32_t> EngineState::*kStoredSettings[] = {
    &EngineState::disableSetting,          // 0xC0
    &EngineState::securitySetting,         // 0xC1
    &EngineState::commModeSetting,         // 0xC2
    &EngineState::inhibitSetting,          // 0xC3
    &EngineState::directionSetting,        // 0xC4
    &EngineState::functionSetting,         // 0xC5
    &EngineState::barcodeFunctionSetting,  // 0xC6
    &EngineState::barcodeInhibitSetting,   // 0xC7
};

std::atomic<std::int32_t>& StoredSetting(EngineState& s, std::uint8_t code) {
  return s.*kStoredSettings[code - 0xC0];
}

SettingsSnapshot SnapshotSettings(const EngineState& s) {
  SettingsSnapshot store;
  store.disableSetting = s.disableSetting.load();
  store.securitySetting = s.securitySetting.load();
  store.commModeSetting = s.commModeSetting.load();
  store.inhibitSetting = s.inhibitSetting.load();
  store.directionSetting = s.directionSetting.load();
  store.functionSetting = s.functionSetting.load();
  store.barcodeFunctionSetting = s.barcodeFunctionSetting.load();
  store.barcodeInhibitSetting = s.barcodeInhibitSetting.load();
  return store;
}

// Copies exactly `count` characters of `text` into the frame. The formats used always produce at
// least `count` characters; a calendar value out of its range only makes the text longer.
void PutText(std::uint8_t* frame, std::size_t& at, const char* text, std::size_t count) {
  std::memcpy(frame + at, text, count);
  at += count;
}

int YearOf(const std::tm& t) { return static_cast<int>(static_cast<long long>(t.tm_year) + 1900); }

// The log name of a frame: the catalogue's, with the progress or the seed where it carries one.
void SetTxLogText(Engine& engine, const CommandInfo& command) {
  auto& text = engine.tx.logText;
  if (command.code == cmd::kDownloadData) {
    const EngineState& s = engine.state;
    // The offset already counts the packet being sent, so the last packet reads 100 per cent.
    // No size (never accepted by the download tab) also reads 100 rather than dividing by zero.
    // Worked in 64 bits so that a file past 42 MB cannot wrap the product into a wrong figure.
    const std::uint64_t progress =
        s.downloadTotalSize == 0 ? 100u
                                 : std::uint64_t{s.downloadOffset} * 100u / s.downloadTotalSize;
    std::snprintf(text.data(), text.size(), "%.*s (%llu%%)",
                  static_cast<int>(command.logName.size()), command.logName.data(),
                  static_cast<unsigned long long>(progress));
  } else if (command.code == cmd::kProgramSignature) {
    std::snprintf(text.data(), text.size(), "%.*s(%04X)", static_cast<int>(command.logName.size()),
                  command.logName.data(), static_cast<unsigned>(signatureSeed));
  } else {
    SetLogText(engine.tx, command.logName);
  }
}

// Timer 2 restarts one polling period after a transmission; a normal download guards its
// commands with the 20-second timer 1 instead of timer 3; an operator command gets its 300 ms
// answer deadline, and so does every command sent while an exchange is open (a stack command, a
// setting of the Auto Reset chain): an exchange never waits on an answer that nothing times out.
void RearmTimers(Engine& engine) {
  EngineState& s = engine.state;
  if (s.normalDownloadActive.load() == 0) {
    engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
  }
  if (s.normalDownloadActive.load() == 1) {
    engine.ui.StopTimer(kPollingTimer);
    engine.ui.StopTimer(kResponseTimer);
    engine.ui.StartTimer(kDownloadTimer, kDownloadWatchdogMs);
  } else if (s.armResponseTimer.load() == 1 || s.awaitingResponse.load() != 0) {
    s.armResponseTimer.store(0);
    s.responseTimedOut.store(0);
    s.responseTimerCancelled.store(0);
    engine.ui.StartTimer(kResponseTimer, kResponseTimeoutMs);
  }
}

// Starts the log record of the frame about to be sent: its bytes and their hex dump. `bytes`
// fit the record (a frame is at most 255 bytes).
void LoadTxRecord(Engine& engine, std::span<const std::uint8_t> bytes) {
  FrameLogRecord& tx = engine.tx;
  tx = FrameLogRecord{};
  std::copy(bytes.begin(), bytes.end(), tx.bytes.begin());
  tx.byteCount = static_cast<std::int32_t>(bytes.size());
  FormatHex(tx);
}

// Writes the frame already in `tx` (stopping the polling timer first outside a download) and
// records it as sent. False when the port refused it; the timers are re-armed then, so a lost
// command neither stops polling for good nor leaves an operator exchange without its deadline.
bool WriteTxFrame(Engine& engine, std::uint8_t code) {
  EngineState& s = engine.state;
  if (s.normalDownloadActive.load() == 0) engine.ui.StopTimer(kPollingTimer);

  std::uint32_t written = 0;
  const auto count = static_cast<std::uint32_t>(engine.tx.byteCount);
  s.writeStartedNs.store(std::max<std::int64_t>(
      1, std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1)));
  const int wrote = engine.port.Write(engine.tx.bytes.data(), count, written);
  s.writeStartedNs.store(0);
  if (wrote != 1 || written != count) {
    // Typically an answer arriving at that moment.
    RearmTimers(engine);
    return false;
  }
  // Bytes too few to carry a command byte are no command the statistics could count.
  if (count >= 3) engine.statistics.CommandSent(code, engine.clock.Now());
  s.lineActivity.fetch_add(1);
  return true;
}

}  // namespace

std::uint8_t* BuildCommandFrame(Engine& engine, std::uint8_t address, std::uint8_t code,
                                int& length) {
  std::uint8_t* frame = engine.txFrame.data();
  const CommandInfo* command = FindCommand(code);
  if (command == nullptr) {
    std::fprintf(stderr, "%s\n", kProgramErrorText);
    length = 0;
    return frame;
  }
  EngineState& s = engine.state;
  frame[0] = address;
  // When settings are sent again after an Auto Reset, the store wins over the typed value.
  if (s.reapplySettings.load() == 1 && IsStoredSettingCommand(code)) {
    engine.commandValue.store(static_cast<std::uint32_t>(StoredSetting(s, code).load()));
  }
  const std::uint32_t value = engine.commandValue.load();
  std::size_t lng = command->length;
  std::size_t at = 3;
  char text[64];

  switch (command->data) {
    case CommandData::None:
      break;
    case CommandData::Value16:
      frame[at++] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
      frame[at++] = static_cast<std::uint8_t>(value & 0xFF);
      break;
    case CommandData::Value8:
      frame[at++] = static_cast<std::uint8_t>(value & 0xFF);
      break;
    case CommandData::LocalTime: {
      const std::tm t = engine.clock.LocalTime();
      std::snprintf(text, sizeof text, "%2d%02d%02d%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec,
                    t.tm_mday, t.tm_mon + 1, YearOf(t) % 100);
      PutText(frame, at, text, kTimeDateChars);
      break;
    }
    case CommandData::MachineNumber: {
      const MachineNumber::Bytes raw = s.machineNumber.Raw();
      const std::size_t used = strnlen(raw.data(), kMachineNumberChars);
      std::memcpy(frame + at, raw.data(), used);
      std::memset(frame + at + used, ' ', kMachineNumberChars - used);
      at += kMachineNumberChars;
      break;
    }
    case CommandData::DownloadPacket: {
      // A packet longer than the frame can carry is cut, so LNG never passes 255.
      const std::uint32_t packet = std::min(s.downloadPacketLength, kMaxDownloadPacket);
      std::memcpy(frame + at, s.downloadAddress.data(), kDownloadAddressBytes);
      at += kDownloadAddressBytes;
      std::memcpy(frame + at, s.downloadPacket.data(), packet);
      at += packet;
      lng += packet;
      break;
    }
    case CommandData::SignatureSeed:
      frame[at++] = 0x00;
      frame[at++] = 0x00;
      break;
    case CommandData::AcceptanceInit: {
      const std::tm t = engine.clock.LocalTime();
      std::snprintf(text, sizeof text, "%02d%02d%04d", t.tm_mday, t.tm_mon + 1, YearOf(t));
      PutText(frame, at, text, kDateChars);
      // The stored bytes as they are, zero bytes behind a short number included.
      const MachineNumber::Bytes raw = s.machineNumber.Raw();
      std::memcpy(frame + at, raw.data(), kMachineNumberChars);
      at += kMachineNumberChars;
      break;
    }
  }
  frame[1] = static_cast<std::uint8_t>(lng);
  frame[2] = code;
  AppendCrc(frame, at);
  length = static_cast<int>(lng);
  return frame;
}

int SendCommand(Engine& engine, std::uint8_t code) {
  EngineState& s = engine.state;
  int length = 0;
  BuildCommandFrame(engine, static_cast<std::uint8_t>(s.deviceAddress.load() & 0xFF), code, length);
  if (length == 0) return 0;  // not a catalogue code: reported on stderr, nothing goes out
  const CommandInfo& command = *FindCommand(code);
  s.lastCommand.store(code);

  LoadTxRecord(engine, {engine.txFrame.data(), static_cast<std::size_t>(length)});
  SetTxLogText(engine, command);

  if (!WriteTxFrame(engine, code)) return 0;

  if (code == cmd::kStatusRequest) {
    // Periodic requests would flood the limited display; there only changes are shown.
    if (s.displayMode.load() == kDisplayBinaryFull || s.pollingMode.load() == kPollingManu) {
      LogTransmittedFrame(engine);
    }
  } else if (IsStoredSettingCommand(code)) {
    LogTransmittedFrame(engine);
    if (s.reapplySettings.load() == 0) {
      StoredSetting(s, code).store(static_cast<std::int32_t>(engine.commandValue.load()));
      engine.ui.ShowSettings(SnapshotSettings(s));
    }
  } else if (code == cmd::kHopperDispense) {
    LogTransmittedFrame(engine);
    engine.commandValue.store(kValueAfterDispense);
    engine.ui.ShowSettings(SnapshotSettings(s));
  } else if (code == cmd::kMachineNumberSet) {
    LogTransmittedFrame(engine);
    engine.ui.ShowMachineNumber(s.machineNumber.Text());
  } else if (code == cmd::kProgramSignature) {
    engine.ui.ShowSettings(SnapshotSettings(s));
    LogTransmittedFrame(engine);
  } else {
    LogTransmittedFrame(engine);
  }

  RearmTimers(engine);
  return 1;
}

int SendFrameBytes(Engine& engine, std::span<const std::uint8_t> bytes, std::string_view logName) {
  EngineState& s = engine.state;
  const std::size_t length = std::min(bytes.size(), engine.tx.bytes.size());
  if (length == 0) return 0;
  // What answers it is judged by its command byte, as for a catalogue command; bytes too few to
  // carry one are answered by nothing, so the response deadline ends their exchange.
  const std::uint8_t code = length >= 3 ? bytes[2] : 0;
  s.lastCommand.store(code);

  LoadTxRecord(engine, bytes.first(length));
  SetLogText(engine.tx, logName);

  if (!WriteTxFrame(engine, code)) return 0;
  LogTransmittedFrame(engine);
  RearmTimers(engine);
  return 1;
}

}  // namespace tarvik
