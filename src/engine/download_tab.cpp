#include "engine/download_tab.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/file_crc.h"
#include "engine/program_download.h"

namespace tarvik {

namespace {

constexpr std::size_t kNameBytes = 6;
constexpr std::size_t kAddressBytes = 4;

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

bool PassesChecks(Engine& engine) {
  const EngineState& s = engine.state;
  std::string_view refusal;
  if (s.portOpen.load() == 0) {
    refusal = kPortNotOpenText;
  } else if (s.globalDownloadActive.load() != 0 || s.awaitingResponse.load() != 0) {
    refusal = kTransactionRunningText;
  } else if (engine.download.targetFilePath.empty()) {
    refusal = kNoTargetFileText;
  }
  if (refusal.empty()) return true;
  engine.ui.ShowMessage(refusal, MessageIcon::None, MessageButtons::Ok);
  return false;
}

// The file chosen with Browse may have gone, emptied or become unreadable since: the download
// starts only on a file that is there to be sent, and says why otherwise. Nothing is sent then.
bool OpenForDownload(Engine& engine) {
  const std::string& path = engine.download.targetFilePath;
  const EngineState& s = engine.state;
  std::string problem;
  if (!OpenTargetFile(engine, path, s.download_packet_size.load())) {
    problem = std::string("it cannot be opened (") + std::strerror(errno) + ")";
  } else {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      problem = std::string("it cannot be read (") + std::strerror(errno) + ")";
    } else if (!S_ISREG(info.st_mode)) {
      problem = "it is not a regular file";
    } else if (info.st_size == 0) {
      problem = "it is empty";
    }
  }
  if (problem.empty()) return true;
  CloseTargetFile(engine);
  engine.ui.ShowMessage("The download has not been started: the target file " + path + " has " +
                            "changed since it was chosen and " + problem +
                            ". Choose it again with Browse.",
                        MessageIcon::Exclamation, MessageButtons::Ok);
  return false;
}

// What both download buttons do before their start: the checks, the operator's Yes to
// `question`, and the target file opened for sending.
bool ConfirmAndOpen(Engine& engine, std::string_view question) {
  if (!PassesChecks(engine)) return false;
  if (engine.ui.ShowMessage(question, MessageIcon::Question, MessageButtons::YesNo) !=
      MessageResult::Yes) {
    return false;
  }
  return OpenForDownload(engine);
}

std::string Hex4(const std::uint8_t* bytes) {
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

}  // namespace

std::optional<std::string> FormatTargetHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kTargetHeaderSize) return std::nullopt;
  std::string name;
  for (std::size_t i = 0; i < kNameBytes && bytes[i] != 0; ++i) {
    name.push_back(static_cast<char>(bytes[i]));
  }
  return " " + name + ":" + Hex4(bytes.data() + kNameBytes) + ":" +
         Hex4(bytes.data() + kNameBytes + kAddressBytes);
}

std::optional<TargetFileFields> BrowseTargetFile(Engine& engine, const std::string& path) {
  if (path.empty()) return std::nullopt;  // the dialog was cancelled
  FilePtr file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    engine.ui.ShowMessage(kFileOpenErrorText, MessageIcon::Exclamation, MessageButtons::Ok);
    return std::nullopt;
  }
  // The three fields are read one by one; a short read of any of them refuses the file.
  std::array<std::uint8_t, kTargetHeaderSize> header{};
  for (const auto& [at, size] : {std::pair<std::size_t, std::size_t>{0, kNameBytes},
                                 {kNameBytes, kAddressBytes},
                                 {kNameBytes + kAddressBytes, kAddressBytes}}) {
    if (std::fread(header.data() + at, 1, size, file.get()) < size) {
      engine.ui.ShowMessage(kFileSizeErrorText, MessageIcon::Exclamation, MessageButtons::Ok);
      return std::nullopt;
    }
  }
  file.reset();

  TargetFileFields fields;
  fields.path = path;
  fields.header = FormatTargetHeader(header).value_or("");
  engine.download.targetFilePath = path;
  CalcFileCrc(engine, path);
  char crc[8];
  std::snprintf(crc, sizeof crc, "%04X",
                static_cast<unsigned>(engine.download.targetFileCrc.load()));
  fields.crc = crc;
  EnableDownloadButtons(engine);
  return fields;
}

bool PressNormalDownload(Engine& engine) {
  if (!ConfirmAndOpen(engine, kNormalDownloadQuestion)) return false;
  EngineState& s = engine.state;
  engine.ui.SetLabelText(Label::DeviceAddress, std::to_string(s.deviceAddress.load()));
  PostPendingCommand(engine, kDownloadStartCharacter);
  engine.ui.EnableDownloadButton(DownloadButton::Global, false);
  return true;
}

bool PressGlobalDownload(Engine& engine) {
  if (!ConfirmAndOpen(engine, kGlobalDownloadQuestion)) return false;
  EngineState& s = engine.state;
  engine.ui.StopTimer(kPollingTimer);
  // The address goes first: the worker touches the download only after it has seen the flag.
  s.deviceAddress.store(kGlobalDeviceAddress);
  engine.ui.SetLabelText(Label::DeviceAddress, std::to_string(kGlobalDeviceAddress));
  s.globalDownloadActive.store(1);
  s.pollingMode.store(kPollingManu);
  engine.ui.EnableDownloadButton(DownloadButton::Normal, false);
  WakeWorker(engine);
  return true;
}

}  // namespace tarvik
