// The virtual validator: a banknote validator as a pure state machine.
//
// It takes the bytes the host sends with the time they arrived (`Feed`), is asked now and then
// what it has to send (`Poll`), and takes operator commands ("insert 61", "fault crc", ...)
// as text (`Command`). It never reads a clock, sleeps or touches a descriptor: the caller passes
// the time in, so a test drives minutes of validator life in microseconds.
//
// The note cycle, resets and errors are reported through the answers to status requests. Every
// passing state (INITIALIZE, ACCEPTING, STACKING, STACKED, RETURN, REJECT) lasts its time and is
// reported at least once, so a host that polls slower than the mechanism still sees the whole
// cycle.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "validator/host_frame_reader.h"

namespace tarvik::validator {

// How long the mechanism takes, and the limits of the transfers. Milliseconds unless named.
struct ValidatorTimings {
  int initializeMs = 1000;       // INITIALIZE after a reset
  int acceptingMs = 300;         // ACCEPTING before ESCROW or REJECT
  int stackingMs = 600;          // STACKING before VEND VALID
  int stackedMs = 300;           // STACKED before IDLING
  int returningMs = 600;         // RETURN before IDLING
  int rejectingMs = 600;         // REJECT before IDLING
  int holdMs = 10000;            // HOLDING before the note is back in ESCROW
  int frameGapMs = 100;          // a host frame whose bytes pause longer is abandoned
  int blockAckTimeoutMs = 1000;  // a transfer frame without the host's Ack is sent again
  int blockRetries = 3;          // ... this many times, then the transfer is given up
  // Image bytes per acceptance or Ad block (1..248). Small by default: the host takes a frame
  // within about 50 ms of its length byte, which at 9,600 baud is some 40 bytes.
  int blockSize = 24;
};

enum class Phase {
  PowerUp,
  Initializing,
  Idle,  // IDLING or INHIBIT, by the inhibit setting
  Accepting,
  Escrow,
  Holding,
  Stacking,
  VendValid,
  Stacked,
  Returning,
  Rejecting,
  Error,
  Downloading,
};

struct CommandReply {
  bool ok = true;
  std::string text;  // what to show the operator; empty when there is nothing to say
};

class VirtualValidator {
 public:
  using TraceSink = std::function<void(std::string_view line)>;

  explicit VirtualValidator(ValidatorTimings timings = {});

  // Receives each trace line: frames in ("RX ..."), frames out ("TX ..."), frames ignored and
  // notable events. Called from whichever thread calls the operations below.
  void SetTraceSink(TraceSink sink) { trace_ = std::move(sink); }

  // Bytes from the host, received at `now`; returns the bytes due to be sent at `now`.
  std::vector<std::uint8_t> Feed(std::span<const std::uint8_t> bytes, Millis now);
  // Lets time pass; returns the bytes that have become due (delayed answers, transfer frames).
  std::vector<std::uint8_t> Poll(Millis now);
  // One operator command line (see kHelpText). Frames it causes are returned by the next Poll.
  CommandReply Command(std::string_view line, Millis now);
  // The earliest time at which Poll may have something new to do; none when only the host can
  // move things on. A driver sleeps until then or until bytes arrive.
  std::optional<Millis> NextDue() const;

  // Inserts a note every `intervalMs` while the validator idles (0 stops), cycling a few codes.
  // The first comes `firstMs` after `now`; a negative `firstMs` means one interval.
  void SetAutoNotes(int intervalMs, Millis now, int firstMs = -1);
  // A validator still at power-up idles at once, as if a host had reset it long ago.
  void SkipPowerUp(Millis now);

  Phase CurrentPhase() const { return phase_; }
  std::string Describe() const;

 private:
  struct HostFrame {
    std::uint8_t address;
    std::uint8_t code;
    std::span<const std::uint8_t> data;
  };
  using Handler = void (VirtualValidator::*)(const HostFrame&);
  struct Row {
    std::uint8_t code;
    int length;  // required LNG; kAtLeast9 for download data
    Handler handler;
  };
  static const Row kRows[];

  struct Outgoing {
    Millis due;
    std::vector<std::uint8_t> bytes;
    std::string label;
  };
  struct Faults {
    bool crc = false;
    bool length = false;
    bool cut = false;
    bool drop = false;
    int stray = 0;
    int delayMs = 0;
    bool Any() const { return crc || length || cut || drop || stray > 0 || delayMs > 0; }
  };
  struct Download {
    std::vector<std::uint8_t> image;  // the first kProgramCrcLimit bytes received
    std::uint32_t received = 0;       // bytes taken, the address the next packet must carry
    std::uint32_t lastAddress = 0;
    std::size_t lastLength = 0;
    int packets = 0;
    bool continuityLost = false;
  };
  enum class TransferStage { Start, Blocks, End };
  struct Transfer {
    bool active = false;
    bool ad = false;
    std::vector<std::uint8_t> image;
    std::size_t offset = 0;
    TransferStage stage = TransferStage::Blocks;
    Millis retryAt = 0;
    int retries = 0;
  };
  enum class Signature { None, Busy, Ready };

  // Host commands.
  void OnStatusRequest(const HostFrame& f);
  void OnReset(const HostFrame& f);
  void OnStack(const HostFrame& f);
  void OnReturn(const HostFrame& f);
  void OnHold(const HostFrame& f);
  void OnPlainAck(const HostFrame& f);
  void OnHostAck(const HostFrame& f);
  void OnSettingRequest(const HostFrame& f);
  void OnSettingSet(const HostFrame& f);
  void OnVersion(const HostFrame& f);
  void OnBootVersion(const HostFrame& f);
  void OnCurrencyAssign(const HostFrame& f);
  void OnAcceptRate(const HostFrame& f);
  void OnMachineNumberRequest(const HostFrame& f);
  void OnMachineNumberSet(const HostFrame& f);
  void OnSecretNumber(const HostFrame& f);
  void OnEcho(const HostFrame& f);
  void OnDownloadStart(const HostFrame& f);
  void OnDownloadData(const HostFrame& f);
  void OnDownloadEnd(const HostFrame& f);
  void OnProgramSignature(const HostFrame& f);
  void OnAcceptanceInit(const HostFrame& f);
  void OnAcceptanceRequest(const HostFrame& f);

  void Handle(std::span<const std::uint8_t> frame);
  void Advance(Millis now);
  void EnterPhase(Phase phase, int durationMs = 0);
  void SendStatus();
  void Send(std::uint8_t code, std::span<const std::uint8_t> data = {});
  void Send(std::uint8_t code, std::initializer_list<std::uint8_t> data) {
    Send(code, std::span<const std::uint8_t>(data.begin(), data.size()));
  }
  void StartTransfer(bool ad, bool badChecksum = false);
  void SendTransferFrame();
  void AdvanceTransfer();
  void InsertNote(std::uint8_t code, std::string_view text, bool refuse);
  void Trace(std::string_view line) const;
  void TraceEvent(const ReaderEvent& event) const;
  bool Inhibited() const { return settings_[3] != 0; }
  bool CanTakeNote(CommandReply& reply) const;
  std::uint16_t ProgramCrc(std::uint16_t seed) const;

  CommandReply RunCommand(std::string_view line);

  ValidatorTimings timings_;
  TraceSink trace_;
  HostFrameReader reader_;
  Millis now_ = 0;  // the time of the call being served

  Phase phase_ = Phase::PowerUp;
  Millis phaseEnd_ = 0;
  bool phaseReported_ = false;
  std::uint8_t powerUpCode_;
  std::uint8_t errorCode_ = 0;
  std::uint8_t failureCode_ = 0;
  std::vector<std::uint8_t> note_;  // escrow data: the code, then the text of a 6F note
  std::uint8_t rejectReason_ = 0;
  bool rejectPending_ = false;
  std::uint32_t notesStacked_ = 0;

  // Settings 0xC0..0xC7 by their low three bits; the width of each on the line.
  std::array<std::uint16_t, 8> settings_{};
  std::vector<std::uint8_t> machineNumber_;

  bool broadcast_ = false;   // the frame being handled went to the broadcast address
  bool ackAwaited_ = false;  // an Ack from the host is due (check result or signature)
  Signature signature_ = Signature::None;
  std::uint16_t signatureSeed_ = 0;
  std::vector<std::uint8_t> program_;  // the program the signature is computed over
  Download download_;
  int busyAnswers_ = 0;
  std::optional<std::uint16_t> expectedCrc_;
  Transfer transfer_;
  std::uint32_t transfersSent_ = 0;

  Faults faults_;
  std::deque<Outgoing> outbox_;
  // Host command codes answered by Invalid Command whatever the state (`unsupported CODE`).
  std::bitset<256> unsupported_;
  // Host command codes left without any answer (`silent CODE`).
  std::bitset<256> silent_;

  int autoNoteMs_ = 0;
  Millis nextAutoNote_ = 0;
  std::size_t autoNoteIndex_ = 0;
};

std::string_view PhaseName(Phase phase);
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace tarvik::validator
