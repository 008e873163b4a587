#include "validator/virtual_validator.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "protocol/frame.h"
#include "validator/acceptance_image.h"
#include "validator/validator_codes.h"
#include "validator/validator_texts.h"

namespace tarvik::validator {

namespace {

constexpr int kAtLeast9 = -9;  // download data: address and 0..246 packet bytes
// The host's program CRC covers the first MiB of a file; the validator keeps no more of one.
constexpr std::size_t kProgramCrcLimit = 1u << 20;
constexpr std::size_t kMinProgramSize = 14;  // the program header
constexpr std::size_t kMachineNumberLength = 20;
constexpr int kAutoNoteRetryMs = 200;
constexpr int kMaxFaultDelayMs = 60000;
constexpr int kMaxBusyAnswers = 10000;
// Width in bytes of the settings 0xC0..0xC7 on the line.
constexpr std::array<int, 8> kSettingWidth = {2, 2, 1, 1, 1, 2, 2, 1};
constexpr std::array<std::uint8_t, 5> kAutoNoteCodes = {0x61, 0x62, 0x63, 0x64, 0x65};
constexpr std::array<std::uint8_t, 3> kSecretNumber = {0x12, 0x34, 0x56};
// Stray bytes for `fault stray`: never the sync byte, so each one is an error on its own.
constexpr std::array<std::uint8_t, 3> kStrayBytes = {0x00, 0x55, 0xAA};
// Currency assignment: escrow code, then country, face value and power of ten of the note.
constexpr std::array<std::array<std::uint8_t, 4>, 6> kCurrencyTable = {{
    {0x61, 0x01, 0x05, 0x00},
    {0x62, 0x01, 0x0A, 0x00},
    {0x63, 0x01, 0x14, 0x00},
    {0x64, 0x01, 0x32, 0x00},
    {0x65, 0x01, 0x01, 0x02},
    {0x66, 0x01, 0x02, 0x02},
}};

std::vector<std::uint8_t> BuildFrame(std::uint8_t code, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> frame;
  const std::size_t count = std::min(data.size(), kMaxFrameData);
  frame.reserve(count + kMinFrameLength);
  frame.push_back(kSyncByte);
  frame.push_back(static_cast<std::uint8_t>(count + kMinFrameLength));
  frame.push_back(code);
  frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
  frame.resize(frame.size() + 2);
  AppendCrc(frame.data(), frame.size() - 2);
  return frame;
}

// The program the validator holds before any download: a header and a fixed pattern.
std::vector<std::uint8_t> FactoryProgram() {
  std::vector<std::uint8_t> program(8192);
  constexpr char kHeader[] = "VVPROG";
  std::copy(kHeader, kHeader + 6, program.begin());
  const std::array<std::uint8_t, 8> loadRange = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0xF1};
  std::copy(loadRange.begin(), loadRange.end(), program.begin() + 6);
  for (std::size_t i = kMinProgramSize; i < program.size(); ++i) {
    program[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  }
  return program;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Splits off the first word of `rest`.
std::string_view NextWord(std::string_view& rest) {
  rest = Trim(rest);
  const auto end = rest.find_first_of(" \t");
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : Trim(rest.substr(end));
  return word;
}

std::optional<unsigned long> ParseNumber(std::string_view word, int base, unsigned long max) {
  if (base == 16 && (word.starts_with("0x") || word.starts_with("0X"))) word.remove_prefix(2);
  if (word.empty()) return std::nullopt;
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (error != std::errc{} || end != word.data() + word.size() || value > max) return std::nullopt;
  return value;
}

std::optional<std::uint8_t> ParseByte(std::string_view word) {
  const auto value = ParseNumber(word, 16, 0xFF);
  if (!value) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

CommandReply Fail(std::string text) { return {false, std::move(text)}; }

}  // namespace

std::string HexText(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  char two[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += two;
  }
  return text;
}

std::string_view PhaseName(Phase phase) {
  switch (phase) {
    case Phase::PowerUp:
      return "power-up";
    case Phase::Initializing:
      return "initializing";
    case Phase::Idle:
      return "idle";
    case Phase::Accepting:
      return "accepting";
    case Phase::Escrow:
      return "escrow";
    case Phase::Holding:
      return "holding";
    case Phase::Stacking:
      return "stacking";
    case Phase::VendValid:
      return "vend valid";
    case Phase::Stacked:
      return "stacked";
    case Phase::Returning:
      return "returning";
    case Phase::Rejecting:
      return "rejecting";
    case Phase::Error:
      return "error";
    case Phase::Downloading:
      return "downloading";
  }
  return "?";
}

const VirtualValidator::Row VirtualValidator::kRows[] = {
    {0x11, 5, &VirtualValidator::OnStatusRequest},
    {0x40, 5, &VirtualValidator::OnReset},
    {0x41, 5, &VirtualValidator::OnStack},
    {0x42, 5, &VirtualValidator::OnStack},
    {0x43, 5, &VirtualValidator::OnReturn},
    {0x44, 5, &VirtualValidator::OnHold},
    {0x45, 5, &VirtualValidator::OnPlainAck},
    {0x4A, 5, &VirtualValidator::OnPlainAck},
    {0x50, 5, &VirtualValidator::OnHostAck},
    {0x80, 5, &VirtualValidator::OnSettingRequest},
    {0x81, 5, &VirtualValidator::OnSettingRequest},
    {0x82, 5, &VirtualValidator::OnSettingRequest},
    {0x83, 5, &VirtualValidator::OnSettingRequest},
    {0x84, 5, &VirtualValidator::OnSettingRequest},
    {0x85, 5, &VirtualValidator::OnSettingRequest},
    {0x86, 5, &VirtualValidator::OnSettingRequest},
    {0x87, 5, &VirtualValidator::OnSettingRequest},
    {0x88, 5, &VirtualValidator::OnVersion},
    {0x89, 5, &VirtualValidator::OnBootVersion},
    {0x8A, 5, &VirtualValidator::OnCurrencyAssign},
    {0x8B, 5, &VirtualValidator::OnAcceptRate},
    {0x8C, 5, &VirtualValidator::OnMachineNumberRequest},
    {0x8F, 5, &VirtualValidator::OnSecretNumber},
    {0xC0, 7, &VirtualValidator::OnSettingSet},
    {0xC1, 7, &VirtualValidator::OnSettingSet},
    {0xC2, 6, &VirtualValidator::OnSettingSet},
    {0xC3, 6, &VirtualValidator::OnSettingSet},
    {0xC4, 6, &VirtualValidator::OnSettingSet},
    {0xC5, 7, &VirtualValidator::OnSettingSet},
    {0xC6, 7, &VirtualValidator::OnSettingSet},
    {0xC7, 6, &VirtualValidator::OnSettingSet},
    {0xCB, 17, &VirtualValidator::OnEcho},
    {0xCC, 25, &VirtualValidator::OnMachineNumberSet},
    {0xD0, 5, &VirtualValidator::OnDownloadStart},
    {0xD1, kAtLeast9, &VirtualValidator::OnDownloadData},
    {0xD2, 5, &VirtualValidator::OnDownloadEnd},
    {0xDC, 7, &VirtualValidator::OnProgramSignature},
    {0xE0, 33, &VirtualValidator::OnAcceptanceInit},
    {0xE1, 5, &VirtualValidator::OnAcceptanceRequest},
};

VirtualValidator::VirtualValidator(ValidatorTimings timings)
    : timings_(timings),
      reader_(timings.frameGapMs),
      powerUpCode_(rsp::kPowerUp),
      program_(FactoryProgram()) {
  timings_.blockSize = std::clamp(timings_.blockSize, 1, static_cast<int>(kMaxFrameData) - 2);
  settings_[7] = 0xFE;
  machineNumber_.assign(kMachineNumberLength, ' ');
  std::copy(kInitialMachineNumber.begin(), kInitialMachineNumber.end(), machineNumber_.begin());
}

// ---- Driving ---------------------------------------------------------------------------------

std::vector<std::uint8_t> VirtualValidator::Feed(std::span<const std::uint8_t> bytes, Millis now) {
  Advance(now);
  std::vector<ReaderEvent> events;
  reader_.Push(bytes, now, events);
  for (const ReaderEvent& event : events) {
    TraceEvent(event);
    if (event.kind == ReaderEvent::Kind::Frame) Handle(event.bytes);
  }
  return Poll(now);
}

std::vector<std::uint8_t> VirtualValidator::Poll(Millis now) {
  Advance(now);
  std::vector<ReaderEvent> events;
  reader_.Expire(now, events);
  for (const ReaderEvent& event : events) TraceEvent(event);
  std::vector<std::uint8_t> out;
  while (!outbox_.empty() && outbox_.front().due <= now) {
    Outgoing& next = outbox_.front();
    Trace("TX " + HexText(next.bytes) + "  " + next.label);
    out.insert(out.end(), next.bytes.begin(), next.bytes.end());
    outbox_.pop_front();
  }
  return out;
}

std::optional<Millis> VirtualValidator::NextDue() const {
  std::optional<Millis> due;
  const auto consider = [&due](Millis t) { due = due ? std::min(*due, t) : t; };
  if (!outbox_.empty()) consider(outbox_.front().due);
  if (transfer_.active) consider(transfer_.retryAt);
  if (autoNoteMs_ > 0) consider(nextAutoNote_);
  if (reader_.HasPartialFrame()) consider(reader_.ExpiryTime() + 1);
  return due;
}

void VirtualValidator::SetAutoNotes(int intervalMs, Millis now, int firstMs) {
  autoNoteMs_ = std::max(0, intervalMs);
  nextAutoNote_ = now + (firstMs < 0 ? autoNoteMs_ : firstMs);
}

void VirtualValidator::SkipPowerUp(Millis now) {
  now_ = now;
  if (phase_ == Phase::PowerUp) EnterPhase(Phase::Idle);
}

// Moves the mechanism on. A passing state ends when its time is up and a status request has
// seen it; holding ends on time alone.
void VirtualValidator::Advance(Millis now) {
  now_ = now;
  const bool due = now >= phaseEnd_;
  switch (phase_) {
    case Phase::Initializing:
    case Phase::Stacked:
    case Phase::Returning:
    case Phase::Rejecting:
      if (due && phaseReported_) EnterPhase(Phase::Idle);
      break;
    case Phase::Accepting:
      if (due && phaseReported_) {
        EnterPhase(rejectPending_ ? Phase::Rejecting : Phase::Escrow,
                   rejectPending_ ? timings_.rejectingMs : 0);
      }
      break;
    case Phase::Stacking:
      if (due && phaseReported_) EnterPhase(Phase::VendValid);
      break;
    case Phase::Holding:
      if (due) EnterPhase(Phase::Escrow);
      break;
    default:
      break;
  }
  if (transfer_.active && now >= transfer_.retryAt) {
    if (++transfer_.retries > timings_.blockRetries) {
      Trace("-- transfer given up: the host did not acknowledge");
      transfer_.active = false;
    } else {
      Trace("-- no Ack from the host: sending the transfer frame again");
      SendTransferFrame();
    }
  }
  if (autoNoteMs_ > 0 && now >= nextAutoNote_) {
    if (phase_ == Phase::Idle && !Inhibited()) {
      InsertNote(kAutoNoteCodes[autoNoteIndex_++ % kAutoNoteCodes.size()], {}, false);
      nextAutoNote_ = now + autoNoteMs_;
    } else {
      nextAutoNote_ = now + std::min(autoNoteMs_, kAutoNoteRetryMs);
    }
  }
}

void VirtualValidator::EnterPhase(Phase phase, int durationMs) {
  phase_ = phase;
  phaseEnd_ = now_ + durationMs;
  phaseReported_ = false;
}

// ---- Frames in -------------------------------------------------------------------------------

// A command the validator knows but finds malformed (wrong length) or out of place is answered
// like an unknown one: the host has a single answer for "not done", Invalid Command.
void VirtualValidator::Handle(std::span<const std::uint8_t> frame) {
  const HostFrame f{frame[0], frame[2], frame.subspan(3, frame.size() - kMinFrameLength)};
  broadcast_ = f.address == kBroadcastAddress;
  const Row* row = nullptr;
  for (const Row& candidate : kRows) {
    if (candidate.code == f.code) row = &candidate;
  }
  const int lng = frame[1];
  if (silent_.test(f.code)) {
    Trace("-- command left unanswered");
  } else if (unsupported_.test(f.code)) {
    Trace("-- command made unsupported");
    Send(rsp::kInvalidCommand);
  } else if (row == nullptr) {
    Trace("-- unknown command");
    Send(rsp::kInvalidCommand);
  } else if (row->length == kAtLeast9 ? lng < -kAtLeast9 : lng != row->length) {
    Trace("-- wrong length for this command");
    Send(rsp::kInvalidCommand);
  } else if (phase_ == Phase::Downloading &&  // the loader knows only these
             !(f.code == cmd::kStatusRequest || f.code == cmd::kReset || f.code == cmd::kAck ||
               (f.code >= cmd::kDownloadStart && f.code <= cmd::kDownloadEnd))) {
    Trace("-- refused while a program is loading");
    Send(rsp::kInvalidCommand);
  } else {
    (this->*row->handler)(f);
  }
  broadcast_ = false;
}

void VirtualValidator::OnStatusRequest(const HostFrame&) { SendStatus(); }

// The status request is the host's window on everything: while a program loads it reads the
// loader's readiness, while a signature is computed the signature, otherwise the mechanism.
void VirtualValidator::SendStatus() {
  if (phase_ == Phase::Downloading) {
    const bool busy = busyAnswers_ > 0;
    if (busy) --busyAnswers_;
    Send(rsp::kDownloadStatus, {busy ? kDownloadBusy : kDownloadReady});
    return;
  }
  if (signature_ == Signature::Busy) {
    signature_ = Signature::Ready;
    Send(rsp::kSignatureBusy);
    return;
  }
  if (signature_ == Signature::Ready) {
    const std::uint16_t v = ProgramCrc(signatureSeed_);
    Send(rsp::kSignature, {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    return;
  }
  // Nobody hears a broadcast answer, so it does not count as the host having seen the state.
  if (!broadcast_) phaseReported_ = true;
  switch (phase_) {
    case Phase::PowerUp:
      Send(powerUpCode_);
      break;
    case Phase::Initializing:
      Send(rsp::kInitialize);
      break;
    case Phase::Idle:
      Send(Inhibited() ? rsp::kInhibit : rsp::kIdling);
      break;
    case Phase::Accepting:
      Send(rsp::kAccepting);
      break;
    case Phase::Escrow:
      Send(rsp::kEscrow, note_);
      break;
    case Phase::Holding:
      Send(rsp::kHolding);
      break;
    case Phase::Stacking:
      Send(rsp::kStacking);
      break;
    case Phase::VendValid:
      Send(rsp::kVendValid);
      break;
    case Phase::Stacked:
      Send(rsp::kStacked);
      break;
    case Phase::Returning:
      Send(rsp::kReturning);
      break;
    case Phase::Rejecting:
      Send(rsp::kRejecting, {rejectReason_});
      break;
    case Phase::Error:
      if (errorCode_ == rsp::kFailure) {
        Send(rsp::kFailure, {failureCode_});
      } else {
        Send(errorCode_);
      }
      break;
    case Phase::Downloading:
      break;  // answered above
  }
}

// A reset returns a note in escrow and abandons a load or a signature; the settings, the
// program and the counts survive it, as they would in the validator's memory.
void VirtualValidator::OnReset(const HostFrame&) {
  Send(rsp::kAck);
  if (phase_ == Phase::Downloading) Trace("-- program load abandoned by a reset");
  download_ = {};
  signature_ = Signature::None;
  ackAwaited_ = false;
  note_.clear();
  rejectPending_ = false;
  EnterPhase(Phase::Initializing, timings_.initializeMs);
}

void VirtualValidator::OnStack(const HostFrame&) {
  if (phase_ != Phase::Escrow && phase_ != Phase::Holding) {
    Send(rsp::kInvalidCommand);
    return;
  }
  Send(rsp::kAck);
  EnterPhase(Phase::Stacking, timings_.stackingMs);
}

void VirtualValidator::OnReturn(const HostFrame&) {
  if (phase_ != Phase::Escrow && phase_ != Phase::Holding) {
    Send(rsp::kInvalidCommand);
    return;
  }
  Send(rsp::kAck);
  note_.clear();
  EnterPhase(Phase::Returning, timings_.returningMs);
}

void VirtualValidator::OnHold(const HostFrame&) {
  if (phase_ != Phase::Escrow && phase_ != Phase::Holding) {
    Send(rsp::kInvalidCommand);
    return;
  }
  Send(rsp::kAck);
  EnterPhase(Phase::Holding, timings_.holdMs);
}

void VirtualValidator::OnPlainAck(const HostFrame&) { Send(rsp::kAck); }

// The host's Ack settles what waits for it, in this order: a vend, a transfer frame, a check
// result or signature. Only an Ack that settles nothing is answered, by an ACK of its own.
void VirtualValidator::OnHostAck(const HostFrame&) {
  if (phase_ == Phase::VendValid) {
    ++notesStacked_;
    note_.clear();
    EnterPhase(Phase::Stacked, timings_.stackedMs);
  } else if (transfer_.active) {
    AdvanceTransfer();
  } else if (ackAwaited_ || signature_ == Signature::Ready) {
    ackAwaited_ = false;
    signature_ = Signature::None;
  } else {
    Send(rsp::kAck);
  }
}

void VirtualValidator::OnSettingRequest(const HostFrame& f) {
  const std::size_t index = f.code & 0x07u;
  const std::uint16_t value = settings_[index];
  if (kSettingWidth[index] == 2) {
    Send(f.code, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
  } else {
    Send(f.code, {static_cast<std::uint8_t>(value)});
  }
}

void VirtualValidator::OnSettingSet(const HostFrame& f) {
  const std::size_t index = f.code & 0x07u;
  settings_[index] =
      f.data.size() == 2 ? static_cast<std::uint16_t>(f.data[0] << 8 | f.data[1]) : f.data[0];
  Send(f.code, f.data);
}

void VirtualValidator::OnVersion(const HostFrame& f) {
  Send(f.code, {reinterpret_cast<const std::uint8_t*>(kVersionText.data()), kVersionText.size()});
}

void VirtualValidator::OnBootVersion(const HostFrame& f) {
  Send(f.code,
       {reinterpret_cast<const std::uint8_t*>(kBootVersionText.data()), kBootVersionText.size()});
}

void VirtualValidator::OnCurrencyAssign(const HostFrame& f) {
  std::vector<std::uint8_t> data;
  for (const auto& entry : kCurrencyTable) data.insert(data.end(), entry.begin(), entry.end());
  Send(f.code, data);
}

// 60 bytes: the accept rate per escrow code 0x61..0x7E in per mille, high byte first.
void VirtualValidator::OnAcceptRate(const HostFrame& f) {
  std::vector<std::uint8_t> data;
  for (int i = 0; i < 30; ++i) {
    const int perMille = 1000 - (i * 7) % 40;
    data.push_back(static_cast<std::uint8_t>(perMille >> 8));
    data.push_back(static_cast<std::uint8_t>(perMille));
  }
  Send(f.code, data);
}

void VirtualValidator::OnMachineNumberRequest(const HostFrame& f) { Send(f.code, machineNumber_); }

void VirtualValidator::OnMachineNumberSet(const HostFrame& f) {
  machineNumber_.assign(f.data.begin(), f.data.end());
  Send(f.code, machineNumber_);
}

void VirtualValidator::OnSecretNumber(const HostFrame& f) { Send(f.code, kSecretNumber); }

void VirtualValidator::OnEcho(const HostFrame& f) { Send(f.code, f.data); }

// ---- Program download ------------------------------------------------------------------------

void VirtualValidator::OnDownloadStart(const HostFrame&) {
  Send(rsp::kAck);
  download_ = {};
  signature_ = Signature::None;
  EnterPhase(Phase::Downloading);
  Trace("-- program load started");
}

void VirtualValidator::OnDownloadData(const HostFrame& f) {
  if (phase_ != Phase::Downloading) {
    Send(rsp::kInvalidCommand);
    return;
  }
  const std::uint32_t address =
      static_cast<std::uint32_t>(f.data[0]) | static_cast<std::uint32_t>(f.data[1]) << 8 |
      static_cast<std::uint32_t>(f.data[2]) << 16 | static_cast<std::uint32_t>(f.data[3]) << 24;
  const auto packet = f.data.subspan(4);
  Download& d = download_;
  // A repeat of the last packet (the host sending again after a lost ACK) is taken again;
  // any other jump loses the continuity and fails the check at the end.
  const bool repeat = d.packets > 0 && address == d.lastAddress && packet.size() == d.lastLength;
  if (repeat) {
    d.received = d.lastAddress;
    d.image.resize(std::min<std::size_t>(d.image.size(), d.received));
  } else if (address != d.received) {
    char line[96];
    std::snprintf(line, sizeof line, "-- packet address %u, expected %u: continuity lost",
                  static_cast<unsigned>(address), static_cast<unsigned>(d.received));
    Trace(line);
    d.continuityLost = true;
  }
  for (std::uint8_t byte : packet) {
    if (d.image.size() < kProgramCrcLimit) d.image.push_back(byte);
  }
  d.lastAddress = address;
  d.lastLength = packet.size();
  d.received += static_cast<std::uint32_t>(packet.size());
  ++d.packets;
  Send(rsp::kAck);
}

void VirtualValidator::OnDownloadEnd(const HostFrame&) {
  if (phase_ != Phase::Downloading) {
    Send(rsp::kInvalidCommand);
    return;
  }
  const Download& d = download_;
  const std::uint16_t crc = CalcCrc(d.image);
  const bool verified =
      !d.continuityLost && d.received >= kMinProgramSize && (!expectedCrc_ || *expectedCrc_ == crc);
  char line[128];
  std::snprintf(line, sizeof line, "-- program load ended: %u bytes in %d packets, CRC %04X, %s",
                static_cast<unsigned>(d.received), d.packets, crc,
                verified ? "verified" : "check failed");
  Trace(line);
  Send(rsp::kProgramCheck, {verified ? kCheckVerified : kCheckFailed,
                            static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
  if (verified) program_ = d.image;
  download_ = {};
  // A loaded validator starts again; the host acknowledges the check result first.
  ackAwaited_ = !broadcast_;
  powerUpCode_ = rsp::kPowerUp;
  EnterPhase(Phase::PowerUp);
}

// The signature takes the validator a moment: the command is acknowledged, the next status
// request reports busy once, and the ones after it the value until the host acknowledges it.
// The seed in the command's data is the CRC's initial value.
void VirtualValidator::OnProgramSignature(const HostFrame& f) {
  signatureSeed_ = static_cast<std::uint16_t>(f.data[0] << 8 | f.data[1]);
  signature_ = Signature::Busy;
  Send(rsp::kAck);
}

std::uint16_t VirtualValidator::ProgramCrc(std::uint16_t seed) const {
  std::uint16_t crc = seed;
  for (std::uint8_t byte : program_) crc = CrcStep(crc, byte);
  return crc;
}

// ---- Acceptance and Ad data ------------------------------------------------------------------

// Clearing the acceptance data restarts the counts; the date and machine number it carries are
// not kept. The validator hands over its Ad data record in answer, so the host's Init Log
// exercises the Ad data transfer as Read Log does the acceptance data.
void VirtualValidator::OnAcceptanceInit(const HostFrame&) {
  notesStacked_ = 0;
  StartTransfer(true);
}

void VirtualValidator::OnAcceptanceRequest(const HostFrame&) { StartTransfer(false); }

void VirtualValidator::StartTransfer(bool ad, bool badChecksum) {
  transfer_ = {};
  transfer_.active = true;
  transfer_.ad = ad;
  transfer_.image =
      ad ? BuildAdImage(transfersSent_) : BuildAcceptanceImage(transfersSent_, notesStacked_);
  if (badChecksum) SpoilAcceptanceChecksum(transfer_.image);
  transfer_.stage = ad ? TransferStage::Start : TransferStage::Blocks;
  ++transfersSent_;
  SendTransferFrame();
}

// Sends the frame of the current stage and arms its retry: the host sends no request for the
// next block, only its Ack, so a lost Ack would otherwise stall the transfer for good.
void VirtualValidator::SendTransferFrame() {
  Transfer& t = transfer_;
  t.retryAt = now_ + timings_.blockAckTimeoutMs;
  switch (t.stage) {
    case TransferStage::Start:
      Send(rsp::kAdStart);
      break;
    case TransferStage::End:
      Send(t.ad ? rsp::kAdEnd : rsp::kAcceptanceEnd);
      break;
    case TransferStage::Blocks: {
      const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(timings_.blockSize),
                                                      t.image.size() - t.offset);
      std::vector<std::uint8_t> data = {static_cast<std::uint8_t>(t.offset),
                                        static_cast<std::uint8_t>(t.offset >> 8)};
      data.insert(data.end(), t.image.begin() + static_cast<std::ptrdiff_t>(t.offset),
                  t.image.begin() + static_cast<std::ptrdiff_t>(t.offset + count));
      Send(t.ad ? rsp::kAdBlock : rsp::kAcceptanceBlock, data);
      break;
    }
  }
  if (!outbox_.empty())
    t.retryAt = std::max(t.retryAt, outbox_.back().due + timings_.blockAckTimeoutMs);
}

void VirtualValidator::AdvanceTransfer() {
  Transfer& t = transfer_;
  t.retries = 0;
  switch (t.stage) {
    case TransferStage::Start:
      t.stage = TransferStage::Blocks;
      break;
    case TransferStage::Blocks:
      t.offset += std::min<std::size_t>(static_cast<std::size_t>(timings_.blockSize),
                                        t.image.size() - t.offset);
      if (t.offset >= t.image.size()) t.stage = TransferStage::End;
      break;
    case TransferStage::End:
      t.active = false;
      Trace(t.ad ? "-- Ad data sent" : "-- acceptance data sent");
      return;
  }
  SendTransferFrame();
}

// ---- Frames out ------------------------------------------------------------------------------

// Builds an answer, applies the armed faults to it (all of them, once) and queues it.
void VirtualValidator::Send(std::uint8_t code, std::span<const std::uint8_t> data) {
  std::string label(AnswerName(code));
  if (broadcast_) {
    Trace("-- broadcast: " + label + " not sent");
    return;
  }
  std::vector<std::uint8_t> bytes;
  // One data byte too many, with LNG and CRC that agree: a host expecting a fixed length sees a
  // length error, not a CRC error.
  if (faults_.length) {
    std::vector<std::uint8_t> longer(data.begin(), data.end());
    longer.push_back(0x00);
    bytes = BuildFrame(code, longer);
    label += " [fault: one byte too long]";
  } else {
    bytes = BuildFrame(code, data);
  }
  if (faults_.crc) {
    bytes[bytes.size() - 2] ^= 0xFF;
    label += " [fault: CRC spoiled]";
  }
  // At least SYNC and LNG stay, so the host sees a frame begin and never end.
  if (faults_.cut) {
    bytes.resize(std::max<std::size_t>(2, bytes.size() / 2));
    label += " [fault: cut short]";
  }
  if (faults_.stray > 0) {
    std::vector<std::uint8_t> stray;
    for (int i = 0; i < faults_.stray; ++i)
      stray.push_back(kStrayBytes[static_cast<std::size_t>(i) % kStrayBytes.size()]);
    bytes.insert(bytes.begin(), stray.begin(), stray.end());
    label += " [fault: " + std::to_string(faults_.stray) + " stray bytes first]";
  }
  Millis due = now_ + faults_.delayMs;
  if (faults_.delayMs > 0) label += " [fault: delayed " + std::to_string(faults_.delayMs) + " ms]";
  const bool drop = faults_.drop;
  faults_ = {};
  if (drop) {
    Trace("-- fault: " + label + " dropped (" + HexText(bytes) + ")");
    return;
  }
  // Answers leave in order: one held back by a delay holds back those behind it.
  if (!outbox_.empty()) due = std::max(due, outbox_.back().due);
  outbox_.push_back({due, std::move(bytes), std::move(label)});
}

// ---- Operator commands -----------------------------------------------------------------------

CommandReply VirtualValidator::Command(std::string_view line, Millis now) {
  Advance(now);
  CommandReply reply = RunCommand(line);
  if (!reply.ok) Trace("-- command refused: " + reply.text);
  return reply;
}

bool VirtualValidator::CanTakeNote(CommandReply& reply) const {
  if (phase_ != Phase::Idle) {
    reply = Fail("refused: the validator is not idling (" + std::string(PhaseName(phase_)) + ")");
    return false;
  }
  if (Inhibited()) {
    reply = Fail("refused: the validator is inhibited");
    return false;
  }
  return true;
}

// A refused note shows its code as the reason of the REJECT report and never reaches escrow.
void VirtualValidator::InsertNote(std::uint8_t code, std::string_view text, bool refuse) {
  note_.clear();
  rejectPending_ = refuse;
  if (refuse) {
    rejectReason_ = code;
  } else {
    note_.push_back(code);
    note_.insert(note_.end(), text.begin(), text.end());
  }
  EnterPhase(Phase::Accepting, timings_.acceptingMs);
}

CommandReply VirtualValidator::RunCommand(std::string_view line) {
  std::string_view rest = Trim(line);
  if (rest.empty() || rest.front() == '#') return {};
  const std::string_view word = NextWord(rest);
  const auto noMore = [&rest, word]() -> std::optional<CommandReply> {
    if (rest.empty()) return std::nullopt;
    return Fail(std::string(word) + " takes no more words");
  };

  if (word == "insert" || word == "reject") {
    const bool refuse = word == "reject";
    const auto code = ParseByte(NextWord(rest));
    if (!code) return Fail(std::string(word) + " needs a code of two hex digits");
    if (refuse && !rest.empty()) return Fail("reject takes a reason code only");
    if (!rest.empty() && *code != 0x6F) return Fail("only a 6F note carries a text");
    if (rest.size() > kMaxFrameData - 1) return Fail("the note text is too long");
    CommandReply reply;
    if (!CanTakeNote(reply)) return reply;
    InsertNote(*code, rest, refuse);
    return {};
  }
  if (word == "error") {
    const std::string_view name = NextWord(rest);
    static constexpr std::array<std::pair<std::string_view, std::uint8_t>, 7> kErrors = {{
        {"stacker-full", rsp::kStackerFull},
        {"stacker-open", rsp::kStackerOpen},
        {"jam-acceptor", rsp::kJamInAcceptor},
        {"jam-stacker", rsp::kJamInStacker},
        {"pause", rsp::kPause},
        {"cheated", rsp::kCheated},
        {"failure", rsp::kFailure},
    }};
    if (phase_ == Phase::Downloading) return Fail("refused: a program is loading");
    if (name == "clear") {
      if (!rest.empty()) return Fail("error clear takes no more words");
      if (phase_ != Phase::Error) return Fail("no error to clear");
      EnterPhase(Phase::Idle);
      return {};
    }
    for (const auto& [errorName, errorCode] : kErrors) {
      if (name != errorName) continue;
      std::uint8_t failure = 0;
      if (errorCode == rsp::kFailure) {
        const auto parsed = ParseByte(NextWord(rest));
        if (!parsed) return Fail("error failure needs a code of two hex digits");
        failure = *parsed;
      }
      if (!rest.empty()) return Fail("too many words after error " + std::string(name));
      errorCode_ = errorCode;
      failureCode_ = failure;
      note_.clear();
      EnterPhase(Phase::Error);
      return {};
    }
    return Fail("unknown error '" + std::string(name) + "' (try help)");
  }
  if (word == "powercycle") {
    const std::string_view where = NextWord(rest);
    if (where.empty()) {
      powerUpCode_ = rsp::kPowerUp;
    } else if (where == "acceptor") {
      powerUpCode_ = rsp::kPowerUpBillInAcceptor;
    } else if (where == "stacker") {
      powerUpCode_ = rsp::kPowerUpBillInStacker;
    } else {
      return Fail("powercycle takes acceptor, stacker or nothing");
    }
    if (auto refused = noMore()) return *refused;
    reader_.Reset();
    outbox_.clear();
    transfer_ = {};
    download_ = {};
    signature_ = Signature::None;
    ackAwaited_ = false;
    note_.clear();
    EnterPhase(Phase::PowerUp);
    return {};
  }
  if (word == "enq") {
    if (auto refused = noMore()) return *refused;
    Send(rsp::kEnq);
    return {};
  }
  if (word == "acceptance" || word == "ad") {
    // "acceptance bad": the same transfer with a checksum the host must reject.
    const bool bad = word == "acceptance" && rest == "bad";
    if (bad) rest = {};
    if (auto refused = noMore()) return *refused;
    if (transfer_.active) return Fail("refused: a transfer is running");
    StartTransfer(word == "ad", bad);
    return {};
  }
  if (word == "busy") {
    const auto count = ParseNumber(NextWord(rest), 10, kMaxBusyAnswers);
    if (!count) return Fail("busy needs a count of 0.." + std::to_string(kMaxBusyAnswers));
    if (auto refused = noMore()) return *refused;
    busyAnswers_ = static_cast<int>(*count);
    return {};
  }
  if (word == "expect-crc") {
    const std::string_view value = NextWord(rest);
    if (auto refused = noMore()) return *refused;
    if (value == "none") {
      expectedCrc_.reset();
      return {};
    }
    const auto crc = ParseNumber(value, 16, 0xFFFF);
    if (!crc) return Fail("expect-crc needs four hex digits or none");
    expectedCrc_ = static_cast<std::uint16_t>(*crc);
    return {};
  }
  if (word == "fault") {
    const std::string_view kind = NextWord(rest);
    if (kind == "crc") {
      faults_.crc = true;
    } else if (kind == "length") {
      faults_.length = true;
    } else if (kind == "cut") {
      faults_.cut = true;
    } else if (kind == "drop") {
      faults_.drop = true;
    } else if (kind == "stray") {
      const auto count = ParseNumber(NextWord(rest), 10, 255);
      if (!count || *count == 0) return Fail("fault stray needs a count of 1..255");
      faults_.stray = static_cast<int>(*count);
    } else if (kind == "delay") {
      const auto ms = ParseNumber(NextWord(rest), 10, kMaxFaultDelayMs);
      if (!ms) return Fail("fault delay needs 0.." + std::to_string(kMaxFaultDelayMs) + " ms");
      faults_.delayMs = static_cast<int>(*ms);
    } else {
      return Fail("unknown fault '" + std::string(kind) + "' (try help)");
    }
    if (!rest.empty()) {
      faults_ = {};
      return Fail("fault " + std::string(kind) + " takes no more words");
    }
    return {};
  }
  // `unsupported` stands in for a validator model without this command, which the host cannot
  // send otherwise; `silent` for one that stops answering in the middle of an exchange.
  if (word == "unsupported" || word == "silent") {
    std::bitset<256>& codes = word == "silent" ? silent_ : unsupported_;
    const std::string_view value = NextWord(rest);
    if (auto refused = noMore()) return *refused;
    if (value == "none") {
      codes.reset();
      return {};
    }
    const auto code = ParseByte(value);
    if (!code) return Fail(std::string(word) + " needs a code of two hex digits or none");
    codes.set(*code);
    return {};
  }
  if (word == "show" || word == "help") {
    if (auto refused = noMore()) return *refused;
    return {true, word == "show" ? Describe() : std::string(kHelpText)};
  }
  return Fail("unknown command '" + std::string(word) + "' (try help)");
}

std::string VirtualValidator::Describe() const {
  char text[256];
  std::snprintf(
      text, sizeof text, "state %s%s, inhibit %02X, notes stacked %u, escrow %s, transfer %s%s%s",
      std::string(PhaseName(phase_)).c_str(),
      phase_ == Phase::Idle ? (Inhibited() ? " (INHIBIT)" : " (IDLING)") : "", settings_[3],
      static_cast<unsigned>(notesStacked_),
      note_.empty() ? "-" : HexText(std::span(note_).first(1)).c_str(),
      transfer_.active ? (transfer_.ad ? "Ad data" : "acceptance data") : "-",
      faults_.Any() ? ", a fault is armed" : "", busyAnswers_ > 0 ? ", busy answers pending" : "");
  return text;
}

// ---- Trace -----------------------------------------------------------------------------------

void VirtualValidator::Trace(std::string_view line) const {
  if (trace_) trace_(line);
}

void VirtualValidator::TraceEvent(const ReaderEvent& event) const {
  if (!trace_) return;
  if (event.kind == ReaderEvent::Kind::Frame) {
    const bool toAll = event.bytes[0] == kBroadcastAddress;
    trace_("RX " + HexText(event.bytes) + "  " + std::string(HostCommandName(event.bytes[2])) +
           (toAll ? " (broadcast)" : ""));
  } else {
    trace_("-- ignored " + HexText(event.bytes) + ": " + event.reason);
  }
}

}  // namespace tarvik::validator
