#include "engine/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/operating_modes.h"

namespace tarvik {

namespace {

// A settings file is a few lines; anything bigger is not ours and is not read (or rewritten).
constexpr std::size_t kMaxSettingsFileBytes = 1 << 20;
constexpr const char* kTooLargeText = "it is larger than 1 MiB, too large for a settings file";

struct SettingKey {
  std::string_view key;
  std::size_t charactersRead;
  std::int32_t defaultValue;
  std::atomic<std::int32_t> EngineState::*field;
  std::optional<std::string> SettingsTexts::*text;
};

// In the order the file is read and written.
constexpr std::array<SettingKey, 5> kSettingKeys{{
    {"COM PORT", 2, 0, &EngineState::com_port_index, &SettingsTexts::comPort},
    {"BAUD RATE", 1, 0, &EngineState::baud_rate_index, &SettingsTexts::baudRate},
    {"POLLING DURATION", 5, kDefaultPollingDurationMs, &EngineState::polling_duration,
     &SettingsTexts::pollingDuration},
    {"OPERATING MODE", 1, 0, &EngineState::ope_mode_index, &SettingsTexts::operatingMode},
    {"DOWNLOAD PACKET SIZE", 3, kDefaultPacketSize, &EngineState::download_packet_size,
     &SettingsTexts::packetSize},
}};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Section and key names compare without regard to case, as profile files always have.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// The name of a "[name]" line, or nothing when the line is not a section header.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return std::nullopt;
  const std::size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  KeyLine parsed{Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1))};
  // A value written between matching quotes is read without them.
  const std::string_view v = parsed.value;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    parsed.value = v.substr(1, v.size() - 2);
  }
  return parsed;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lineFeed = text.find('\n');
    if (lineFeed == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, lineFeed));
    text.remove_prefix(lineFeed + 1);
  }
  return lines;
}

// The whole file, or nothing with the reason it is not used ("" for a file that does not exist,
// the ordinary first start). Opened without blocking and read only when it is a regular file, so
// a FIFO or a device named by mistake can neither hang the start nor be drained.
struct SettingsText {
  std::optional<std::string> text;
  std::string whyNot;
};

SettingsText ReadSettingsText(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    return {std::nullopt, std::strerror(errno)};
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return {std::nullopt, std::strerror(errno)};
  if (S_ISDIR(info.st_mode)) return {std::nullopt, "it is a directory"};
  if (!S_ISREG(info.st_mode)) return {std::nullopt, "it is not a regular file"};
  if (static_cast<std::uintmax_t>(info.st_size) > kMaxSettingsFileBytes) {
    return {std::nullopt, kTooLargeText};
  }
  std::string text;
  std::array<char, 4096> chunk{};
  while (true) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {std::nullopt, std::strerror(errno)};
    if (n == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
    if (text.size() > kMaxSettingsFileBytes) {
      return {std::nullopt, kTooLargeText};
    }
  }
  if (text.find('\0') != std::string::npos) {
    return {std::nullopt, "it holds binary data (a zero byte), not settings text"};
  }
  return {std::move(text), {}};
}

// The first value of `key` in the settings section, as the profile service would return it.
std::optional<std::string_view> FindValue(const std::vector<std::string_view>& lines,
                                          std::string_view key) {
  bool inSection = false;
  for (const std::string_view line : lines) {
    if (const auto section = SectionName(line)) {
      inSection = SameName(*section, kSettingsSection);
      continue;
    }
    if (!inSection) continue;
    if (const auto parsed = ParseKeyLine(line); parsed && SameName(parsed->key, key)) {
      return parsed->value;
    }
  }
  return std::nullopt;
}

std::string UserSettingText(std::int32_t value) { return std::to_string(value); }

// Writes `text` to a new file beside `target`, forces it to the disk and renames it over
// `target`: a crash at any moment leaves either the old file or the new one, never a part.
bool ReplaceFileAtomically(const std::filesystem::path& target, std::string_view text,
                           std::string& why) {
  std::string temporary = target.string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    why = "cannot create a file beside " + target.string() + ": " + std::strerror(errno);
    return false;
  }
  // The new file keeps the old one's permissions; a first file is readable by all, as usual.
  struct stat old {};
  const mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  ::fchmod(fd, mode);
  auto fail = [&](const std::string& what) {
    why = what + " " + temporary + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  };
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("cannot write");
  if (::close(fd) != 0) {
    why = "cannot write " + temporary + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    why = "cannot replace " + target.string() + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
  if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace

std::string DefaultSettingsPath() {
  std::filesystem::path dir;
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  // A relative XDG_CONFIG_HOME is to be ignored; without a home the file stays where we run.
  if (configHome != nullptr && configHome[0] == '/') {
    dir = configHome;
  } else if (home != nullptr && home[0] != '\0') {
    dir = std::filesystem::path(home) / ".config";
  } else {
    return kSettingsFileName;
  }
  return (dir / "tarvik-host" / kSettingsFileName).string();
}

std::int32_t SettingsNumber(std::string_view text) {
  constexpr std::int64_t kLimit = 2147483647;
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), kLimit);
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

SettingsTexts ReadSettingsTexts(const std::string& path) {
  const SettingsText read = ReadSettingsText(path);
  const std::optional<std::string>& text = read.text;
  const std::vector<std::string_view> lines =
      text ? SplitLines(*text) : std::vector<std::string_view>{};
  SettingsTexts texts;
  texts.unusedReason = read.whyNot;
  for (const SettingKey& setting : kSettingKeys) {
    std::optional<std::string_view> value = FindValue(lines, setting.key);
    if (value) value = value->substr(0, setting.charactersRead);
    if (value && !value->empty()) texts.*setting.text = std::string(*value);
  }
  return texts;
}

void LoadSettings(Engine& engine, const std::string& path) {
  const SettingsTexts texts = ReadSettingsTexts(path);
  if (!texts.unusedReason.empty()) {
    std::fprintf(stderr, "tarvik-host: settings file %s not used (%s); using the defaults\n",
                 path.c_str(), texts.unusedReason.c_str());
  }
  EngineState& s = engine.state;
  for (const SettingKey& setting : kSettingKeys) {
    const std::optional<std::string>& value = texts.*setting.text;
    (s.*setting.field).store(value ? SettingsNumber(*value) : setting.defaultValue);
  }

  // The file is taken without range checks otherwise, but a packet size the download cannot send
  // (its frame holds at most 246 bytes and a packet must advance) is replaced, and a polling
  // period the Properties dialog would refuse is brought into its range.
  const std::int32_t packetSize = s.download_packet_size.load();
  if (packetSize < kMinPacketSize || packetSize > kMaxPacketSize) {
    std::fprintf(stderr, "%s: DOWNLOAD PACKET SIZE %d is outside 1..246; using 246\n",
                 kSettingsFileName, packetSize);
    s.download_packet_size.store(kDefaultPacketSize);
  }
  const std::int32_t polling = s.polling_duration.load();
  if (polling < kMinPollingDurationMs || polling > kMaxPollingDurationMs) {
    const std::int32_t clamped =
        polling < kMinPollingDurationMs ? kMinPollingDurationMs : kMaxPollingDurationMs;
    std::fprintf(stderr, "%s: POLLING DURATION %d is outside 10..30000; using %d\n",
                 kSettingsFileName, polling, clamped);
    s.polling_duration.store(clamped);
  }
}

bool SaveSettings(Engine& engine, const std::string& path, std::string* why) {
  std::string failure;
  auto fail = [&](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return false;
  };
  // A settings file reached through a link is rewritten where it is, and the link stays.
  std::filesystem::path target(path);
  std::error_code error;
  if (std::filesystem::is_symlink(target, error)) {
    const std::filesystem::path linked = std::filesystem::read_symlink(target, error);
    if (!error) target = linked.is_absolute() ? linked : target.parent_path() / linked;
  }
  std::string original;
  if (std::filesystem::exists(target, error)) {
    const SettingsText read = ReadSettingsText(target.string());
    // Never replace a file we could not read whole: its other sections would be lost.
    if (!read.text) {
      return fail("cannot read " + target.string() + " (" +
                  (read.whyNot.empty() ? std::string("it vanished") : read.whyNot) + ")");
    }
    original = *read.text;
  }
  const std::vector<std::string_view> lines = SplitLines(original);
  const bool crlf = !lines.empty() && !lines.front().empty() && lines.front().back() == '\r';
  const std::string_view newline = crlf ? "\r\n" : "\n";

  std::array<bool, kSettingKeys.size()> written{};
  auto keyLine = [&](std::size_t index) {
    const SettingKey& setting = kSettingKeys[index];
    written[index] = true;
    return std::string(setting.key) + "=" + UserSettingText((engine.state.*setting.field).load()) +
           std::string(newline);
  };
  auto missingKeys = [&]() {
    std::string text;
    for (std::size_t i = 0; i < kSettingKeys.size(); ++i) {
      if (!written[i]) text += keyLine(i);
    }
    return text;
  };

  std::string output;
  bool inSection = false;
  bool sectionSeen = false;
  for (const std::string_view line : lines) {
    if (const auto section = SectionName(line)) {
      // Keys the section lacked go at its end, before the next section.
      if (inSection) output += missingKeys();
      inSection = SameName(*section, kSettingsSection);
      sectionSeen = sectionSeen || inSection;
    } else if (inSection) {
      if (const auto parsed = ParseKeyLine(line)) {
        bool replaced = false;
        for (std::size_t i = 0; i < kSettingKeys.size() && !replaced; ++i) {
          if (!written[i] && SameName(parsed->key, kSettingKeys[i].key)) {
            output += keyLine(i);
            replaced = true;
          }
        }
        if (replaced) continue;
      }
    }
    output.append(line);
    // Every line keeps the file's line end, a last line that had none included.
    output.append(crlf && (line.empty() || line.back() != '\r') ? "\r\n" : "\n");
  }
  if (inSection) output += missingKeys();
  if (!sectionSeen) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap in the inlined
    // copy of `"[" + std::string(...)` (its bug 105329), which fails a -Werror build.
    output.append("[").append(kSettingsSection).append("]").append(newline);
    output += missingKeys();
  }

  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
  if (!ReplaceFileAtomically(target, output, failure)) return fail(failure);
  return true;
}

void InitialiseEngine(Engine& engine, const std::string& settingsPath) {
  EngineState& s = engine.state;
  s.reapplySettings.store(0);
  s.commErrors.store(0);
  SetStackMode(engine, kStack1);
  LoadSettings(engine, settingsPath);
  s.deviceAddress.store(kNormalDeviceAddress);
  ShowUserSettings(engine);
}

void ShowUserSettings(Engine& engine) {
  const EngineState& s = engine.state;
  engine.ui.SetLabelText(Label::PollingDuration, UserSettingText(s.polling_duration.load()));
  engine.ui.SetLabelText(Label::DeviceAddress, UserSettingText(s.deviceAddress.load()));
  // The COM number alone does not tell which Linux device it opens, so the device follows it.
  const int port = s.com_port_index.load() + 1;
  const std::string device = engine.port.DeviceForPort(port);
  engine.ui.SetLabelText(Label::Port, device.empty() ? UserSettingText(port)
                                                     : UserSettingText(port) + " (" + device + ")");
}

}  // namespace tarvik
