// The host engine: one object that owns the shared state and every record the protocol
// operations work on, and reaches the outside world through three seams: the window services,
// the serial link and the clock. The application owns one; a test builds a fresh one.
//
// Operations are free functions taking `Engine&`, named as the host's documentation names them
// (`SendCommand`, `ReceiveFrame`, `HandleTimer`, ...).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/run_statistics.h"
#include "engine/window_services.h"
#include "protocol/frame.h"
#include "transport/serial_link.h"

namespace tarvik {

// Time as the engine sees it: pauses, waits for the line, the monotonic time and the local
// date. The product sleeps; tests inject a clock that returns at once (and may feed the line
// meanwhile), so no test waits on real time.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock();
  virtual void Pause(int ms) = 0;
  virtual std::tm LocalTime() = 0;
  virtual TimePoint Now();
  // Waits up to `timeout` for bytes to arrive on `link`, ending as soon as they do.
  virtual void WaitForInput(SerialLink& link, std::chrono::microseconds timeout);
};

class RealClock final : public Clock {
 public:
  void Pause(int ms) override;
  std::tm LocalTime() override;
};

// The text, bytes and hex dump one log line is made from.
struct FrameLogRecord {
  std::array<char, 256> logText{};
  std::array<std::uint8_t, 256> bytes{};
  std::array<char, 771> hexText{};
  std::int32_t byteCount = 0;
};

// The log file of a recording. Its mutex makes "test, write" in the log writers and the close on
// the Log tab one step each, so a line is never written into a file being closed.
struct CommLogFile {
  std::mutex mutex;           // guards the three fields below
  std::FILE* file = nullptr;  // `logFile`: open while a recording runs
  std::string path;           // the open file, for messages
  bool writeFailed = false;   // a write of this recording failed and was reported
};

// The fixed waits of a global download, in milliseconds. Nobody answers a broadcast, so these
// are the validators' time to get ready; a test (or a bench loader known to be quick) shortens
// them.
struct GlobalDownloadWaits {
  int afterInhibitMs = 3000;
  int afterStartMs = 10000;
  int afterFirstDataMs = 60000;
  int afterDataMs = 1000;
};

// The target file of a download and what was learned about it.
struct DownloadContext {
  // Guards targetFile, targetFileName and packetSize: a download button opens the file on the
  // window thread while the worker may still be answering a late status of an earlier download.
  std::mutex mutex;
  std::FILE* targetFile = nullptr;
  std::string targetFileName;
  std::int32_t packetSize = kDefaultPacketSize;
  std::string targetFilePath;  // chosen on the Download tab (window thread)
  std::atomic<std::uint32_t> targetFileCrc{0};
  GlobalDownloadWaits globalWaits;        // set before the worker starts
  int refusedWrites = 0;                  // worker thread: refusals of the frame now queued
};

// A frame the operator typed in full (`:send`, `:send-bytes`), handed from the window thread to the
// worker, which sends it as an operator command (see raw_frames.h).
struct RawFrameHandOver {
  std::mutex mutex;  // guards bytes and logName
  std::vector<std::uint8_t> bytes;
  std::string logName;
};

inline constexpr std::size_t kAcceptanceDataSize = 4536;
inline constexpr std::size_t kAcceptanceStatsCount = 207;
inline constexpr std::size_t kAdDataSize = 3210;
// Where acceptance data and Ad data records are saved, in the working directory.
inline constexpr const char* kAcceptanceFileName = "LOG.dat";
inline constexpr const char* kAdDataFileName = "ADDATA.dat";

struct AcceptanceBuffers {
  std::array<std::uint8_t, kAcceptanceDataSize> acceptanceData{};
  std::array<std::uint32_t, kAcceptanceStatsCount> acceptanceStats{};
  std::array<std::uint8_t, kAdDataSize> adData{};
  // The two files, relative to the working directory; a test points them elsewhere.
  std::string acceptanceFileName = kAcceptanceFileName;
  std::string adDataFileName = kAdDataFileName;
};

struct Engine;
// The whole global download, on the worker thread; clears `globalDownloadActive` at its end.
void RunGlobalDownload(Engine& engine);

struct Engine {
  Engine(WindowServices& windowServices, SerialLink& serialLink, Clock& engineClock)
      : ui(windowServices), port(serialLink), clock(engineClock) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  EngineState state;

  // Command sender.
  std::array<std::uint8_t, kFrameBufferSize> txFrame{};
  std::atomic<std::uint32_t> commandValue{0};  // typed on the window thread, sent by the worker
  FrameLogRecord tx;

  // Frame receiver.
  std::array<std::uint8_t, kFrameBufferSize> rxFrame{};
  FrameLogRecord rx;
  FrameCheckResult check;

  CommLogFile logFile;
  // Every log line starts with the wall-clock time ("HH:MM:SS.mmm "); off by default.
  std::atomic<bool> logTimestamps{false};
  RawFrameHandOver rawFrame;
  RunStatistics statistics;
  DownloadContext download;
  AcceptanceBuffers acceptance;

  WindowServices& ui;
  SerialLink& port;
  Clock& clock;

  // Called after a character is posted, a command queued or a timer handled, so that a worker
  // waiting for work wakes at once. Set before the worker starts; never changed while it runs.
  std::function<void()> wakeWorker;
  // The global download engine: one call performs a whole download and clears
  // `globalDownloadActive`. A test may put another in its place before the worker starts; while
  // none is set, the worker clears a raised flag, as there is nothing to run.
  std::function<void(Engine&)> runGlobalDownload = RunGlobalDownload;
};

// Runs `wakeWorker` if one is set.
void WakeWorker(Engine& engine);

// --- Command hand-over ---------------------------------------------------------------------

// Stores an operator command character, overwriting one not yet taken.
void PostPendingCommand(Engine& engine, std::int32_t character);
// Returns the posted character and leaves 0, in one exchange.
std::int32_t TakePendingCommand(Engine& engine);
// Stores `code` in `queuedCommand`, then raises `commandQueued`.
void QueueCommand(Engine& engine, std::uint8_t code);
// Queues `code` only when nothing is queued; true when it did. One step with the test.
bool QueueCommandIfIdle(Engine& engine, std::uint8_t code);
// The queued code when `commandQueued` is raised (read after the flag).
bool PeekQueuedCommand(Engine& engine, std::uint8_t& code);

// --- Timers --------------------------------------------------------------------------------

// Reaction to the expiry of timer 1, 2 or 3; runs on the window thread.
void HandleTimer(Engine& engine, int id);

}  // namespace tarvik
