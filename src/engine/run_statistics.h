// How the exchanges of a run went: collected while the worker sends and receives, for the summary
// a regression run ends with (console, window, JSON file).
//
// Cheap by design: one short lock per frame sent or received and per receive error; the receive
// path that finds nothing on the line never comes here, and nothing here touches the log.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

namespace tarvik {

enum class ReceiveErrorKind : std::uint8_t { Sync, Length, Crc, TimeOut };
inline constexpr std::size_t kReceiveErrorKinds = 4;

struct CommandStatistics {
  std::uint32_t sent = 0;
  std::uint32_t answered = 0;  // an answer came (its first byte read) before any time-out
  std::uint32_t timedOut = 0;  // the 300 ms deadline (or the download watchdog) ended it
  // Answer times in microseconds, last byte sent to first byte received: every one while they
  // fit kMaxAnswerSamples, an even sample of all of them after that. `maxAnswerUs` is exact.
  std::vector<std::uint32_t> answerUs;
  std::uint64_t answerCount = 0;
  std::uint32_t maxAnswerUs = 0;
};

// Notes by escrow code. A rejected note never reaches escrow: it counts under the reason code of
// its REJECT report.
struct NoteStatistics {
  std::uint32_t escrowed = 0;
  std::uint32_t stacked = 0;
  std::uint32_t returned = 0;
  std::uint32_t rejected = 0;
};

struct StatisticsSnapshot {
  std::map<std::uint8_t, CommandStatistics> commands;  // by command code
  std::array<std::uint32_t, kReceiveErrorKinds> receiveErrors{};
  std::map<std::uint8_t, NoteStatistics> notes;  // by escrow (or reject reason) code
};

// Kept answer times per command; p99 of this many samples is good to a tenth of a per cent.
inline constexpr std::size_t kMaxAnswerSamples = 8192;

class RunStatistics {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // A frame with command `code` went out whole at `now`; it is the command now awaiting its answer.
  void CommandSent(std::uint8_t code, TimePoint now);
  // A complete frame (LNG bytes, SYNC first) whose first byte was read at `firstByte`. Counts the
  // answer to the awaited command and, for status reports with a good CRC, the notes.
  void FrameReceived(std::span<const std::uint8_t> frame, TimePoint firstByte);
  // A receive error; a time-out also ends the awaited command as timed out.
  void ReceiveError(ReceiveErrorKind kind);

  StatisticsSnapshot Snapshot() const;

 private:
  void CountNote(std::uint8_t status, std::span<const std::uint8_t> frame);

  mutable std::mutex mutex_;  // guards everything below: the worker writes, a front-end reads
  StatisticsSnapshot data_;
  bool awaiting_ = false;  // a command went out and neither its answer nor its time-out came
  std::uint8_t awaitedCode_ = 0;
  TimePoint sentAt_{};
  std::uint8_t lastStatus_ = 0;  // the last status code received: a repeated report is one event
  bool noteHeld_ = false;        // a note went into escrow and has not left it yet
  std::uint8_t heldNoteCode_ = 0;
  std::uint32_t sampleState_ = 0x2545F491u;  // the sampler's random state (fixed: runs repeat)
};

// The answer time at quantile `q` (0..1, nearest rank) of `samples`, in microseconds; 0 when
// there are none.
std::uint32_t AnswerPercentile(std::vector<std::uint32_t> samples, double q);

}  // namespace tarvik
