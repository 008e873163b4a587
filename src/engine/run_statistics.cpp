#include "engine/run_statistics.h"

#include <algorithm>
#include <cmath>

#include "protocol/frame.h"
#include "protocol/line_codes.h"
#include "protocol/response_codes.h"

namespace tarvik {

namespace {

std::uint32_t Microseconds(RunStatistics::TimePoint from, RunStatistics::TimePoint to) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
  if (us <= 0) return 0;
  return us > static_cast<long long>(UINT32_MAX) ? UINT32_MAX : static_cast<std::uint32_t>(us);
}

// The frame is exactly LNG bytes long, so its own length is the one it is checked against.
bool GoodCrc(std::span<const std::uint8_t> frame) {
  FrameCheckResult result;
  return CheckFrame(frame, static_cast<int>(frame.size()), result) == 0;
}

}  // namespace

void RunStatistics::CommandSent(std::uint8_t code, TimePoint now) {
  std::lock_guard lock(mutex_);
  ++data_.commands[code].sent;
  awaiting_ = true;
  awaitedCode_ = code;
  sentAt_ = now;
}

void RunStatistics::FrameReceived(std::span<const std::uint8_t> frame, TimePoint firstByte) {
  if (frame.size() < 3) return;
  const std::uint8_t code = frame[2];
  std::lock_guard lock(mutex_);
  if (awaiting_ && AnswersCommand(awaitedCode_, code)) {
    awaiting_ = false;
    CommandStatistics& command = data_.commands[awaitedCode_];
    ++command.answered;
    const std::uint32_t us = Microseconds(sentAt_, firstByte);
    command.maxAnswerUs = std::max(command.maxAnswerUs, us);
    ++command.answerCount;
    if (command.answerUs.size() < kMaxAnswerSamples) {
      command.answerUs.push_back(us);
    } else {
      // Reservoir sampling: every answer so far has the same chance to be among those kept.
      sampleState_ ^= sampleState_ << 13;
      sampleState_ ^= sampleState_ >> 17;
      sampleState_ ^= sampleState_ << 5;
      const std::uint64_t slot = sampleState_ % command.answerCount;
      if (slot < kMaxAnswerSamples) command.answerUs[slot] = us;
    }
  }
  if (StatusNumber(code) != 0 && GoodCrc(frame)) {
    CountNote(code, frame);
    lastStatus_ = code;
  }
}

void RunStatistics::CountNote(std::uint8_t status, std::span<const std::uint8_t> frame) {
  // A status is reported on every poll while it lasts: only its first report is an event.
  const bool repeated = status == lastStatus_;
  const bool hasData = frame.size() >= 6;
  switch (status) {
    case rsp::kEscrow:
      if (!hasData) return;
      if (repeated && noteHeld_ && heldNoteCode_ == frame[3]) return;
      ++data_.notes[frame[3]].escrowed;
      noteHeld_ = true;
      heldNoteCode_ = frame[3];
      return;
    case rsp::kStacked:
      if (!noteHeld_) return;
      ++data_.notes[heldNoteCode_].stacked;
      noteHeld_ = false;
      return;
    case rsp::kReturning:
      if (!noteHeld_) return;
      ++data_.notes[heldNoteCode_].returned;
      noteHeld_ = false;
      return;
    case rsp::kRejecting:
      if (!hasData || repeated) return;
      ++data_.notes[frame[3]].rejected;
      noteHeld_ = false;
      return;
    default:
      return;
  }
}

void RunStatistics::ReceiveError(ReceiveErrorKind kind) {
  std::lock_guard lock(mutex_);
  ++data_.receiveErrors[static_cast<std::size_t>(kind)];
  if (kind == ReceiveErrorKind::TimeOut && awaiting_) {
    awaiting_ = false;
    ++data_.commands[awaitedCode_].timedOut;
  }
}

StatisticsSnapshot RunStatistics::Snapshot() const {
  std::lock_guard lock(mutex_);
  return data_;
}

std::uint32_t AnswerPercentile(std::vector<std::uint32_t> samples, double q) {
  if (samples.empty()) return 0;
  const double clamped = std::clamp(q, 0.0, 1.0);
  std::size_t rank =
      static_cast<std::size_t>(std::ceil(clamped * static_cast<double>(samples.size())));
  rank = std::clamp<std::size_t>(rank, 1, samples.size());
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank - 1),
                   samples.end());
  return samples[rank - 1];
}

}  // namespace tarvik
