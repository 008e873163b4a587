#include "e2e/download_figure.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "e2e/child.h"
#include "e2e/peer.h"
#include "protocol/frame.h"

namespace tarvik::bench {

namespace {

constexpr std::size_t kHeaderBytes = 14;  // name (6), load start (4), load end (4)
constexpr double kBitsPerByte = 11;
// Bytes on the line for one packet: status request, READY, the data frame, its ACK.
constexpr std::size_t kLineBytesPerPacket = 5 + 6 + 9 + 5;
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr auto kWaitSlice = std::chrono::seconds(1);

void PutBigEndian(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// A program image as the validator's loader takes it: a header that names it and gives its
// load range, then bytes that vary enough for the CRC to catch a lost or repeated packet.
// Returns the CRC the host computes for the file and the validator for what it received.
std::uint16_t WriteTargetFile(const std::filesystem::path& path, std::size_t size) {
  std::vector<std::uint8_t> bytes(std::max(size, kHeaderBytes));
  constexpr std::array<std::uint8_t, 6> kName = {'B', 'E', 'N', 'C', 'H', 0};
  std::copy(kName.begin(), kName.end(), bytes.begin());
  PutBigEndian(bytes, 6, 0);
  PutBigEndian(bytes, 10, static_cast<std::uint32_t>(bytes.size() - kHeaderBytes - 1));
  std::mt19937 random(2026);
  for (std::size_t i = kHeaderBytes; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(random());
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  std::uint16_t crc = signatureSeed;
  for (const std::uint8_t byte : bytes) crc = CrcStep(crc, byte);
  return crc;
}

int BaudIndex(int baud) { return baud == 38400 ? 2 : baud == 19200 ? 1 : 0; }

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

}  // namespace

std::optional<DownloadRun> RunDownload(const DownloadFigureConfig& config, std::string& error) {
  const std::filesystem::path file = config.workDir / "program.bin";
  const std::uint16_t crc = WriteTargetFile(file, config.fileBytes);
  const std::filesystem::path settings = config.workDir / "download.ini";
  std::ofstream(settings) << "[BEXALTOOL]\nBAUD RATE=" << BaudIndex(config.baud)
                          << "\nPOLLING DURATION=200\nDOWNLOAD PACKET SIZE=" << config.packetSize
                          << "\n";

  Peer::Options peerOptions;
  peerOptions.lineBaud = config.paced ? config.baud : 0;
  // The check at the end is a real one: the validator must find the file's own CRC.
  peerOptions.commands = {"expect-crc " + Hex4(crc)};
  Peer peer;
  if (!peer.Start(peerOptions, error)) return std::nullopt;

  ChildOptions options;
  options.argv = {config.host,  "--device",        peer.Path(),
                  "--settings", settings.string(), "--console"};
  // One file for each kind of run, so the next run cannot overwrite the reason this one failed.
  options.stderrPath =
      (config.workDir / (config.paced ? "download-paced.err" : "download-unpaced.err")).string();
  Child child;
  if (!child.Start(options, error)) return std::nullopt;
  std::this_thread::sleep_for(kSettle);
  // Polling off first (Space), so no status exchange is open when the download is asked for.
  child.Type(" \n:browse " + file.string() + "\n:normal-download\n");

  // Generous: twice the line time of the whole transfer, and half a minute to start.
  const std::size_t packets = (config.fileBytes + static_cast<std::size_t>(config.packetSize) - 1) /
                              static_cast<std::size_t>(config.packetSize);
  const double lineEstimate =
      static_cast<double>(packets * kLineBytesPerPacket + config.fileBytes) * kBitsPerByte /
      config.baud;
  const auto deadline = SteadyClock::now() + std::chrono::seconds(30) +
                        std::chrono::duration_cast<SteadyClock::duration>(
                            std::chrono::duration<double>(2 * lineEstimate));
  DownloadRun run;
  bool finished = false;
  while (!finished && child.Running() && SteadyClock::now() < deadline) {
    finished =
        peer.WaitForDownload(std::min(deadline, SteadyClock::now() + kWaitSlice), run.timing);
  }
  const bool hostAlive = child.Running();
  child.Stop();
  peer.Stop();

  const DownloadTiming& t = run.timing;
  const std::string log = " (the host's standard error: " + options.stderrPath + ")";
  if (!t.started) {
    error = std::string("no Download Start reached the validator") +
            (hostAlive ? "" : ": the host ended") + log;
    return std::nullopt;
  }
  if (!finished) {
    error = std::string("the download did not end with an acknowledged check result: ") +
            std::to_string(t.packets) + " packets seen" + (hostAlive ? "" : ", the host ended") +
            log;
    return std::nullopt;
  }
  if (t.checkStatus != 0 || t.checkCrc != crc || t.packetBytes != config.fileBytes) {
    error = "the validator did not verify the program: check " +
            Hex4(t.checkStatus.value_or(0xFF)) + ", CRC " + Hex4(t.checkCrc) + " for " + Hex4(crc) +
            ", " + std::to_string(t.packetBytes) + " of " + std::to_string(config.fileBytes) +
            " bytes";
    return std::nullopt;
  }
  run.seconds = t.Seconds();
  run.lineSeconds =
      static_cast<double>(t.hostBytes + t.validatorBytes) * kBitsPerByte / config.baud;
  run.packetsPerSecond = run.seconds > 0 ? t.packets / run.seconds : 0;
  return run;
}

}  // namespace tarvik::bench
