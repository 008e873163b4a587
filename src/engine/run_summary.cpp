#include "engine/run_summary.h"

#include <cstdio>

#include "engine/raw_frames.h"

namespace tarvik {

namespace {

struct AnswerTimes {
  bool any = false;
  std::uint32_t p50 = 0;
  std::uint32_t p99 = 0;
  std::uint32_t max = 0;
};

AnswerTimes TimesOf(const CommandStatistics& command) {
  if (command.answerUs.empty()) return {};
  return {true, AnswerPercentile(command.answerUs, 0.50), AnswerPercentile(command.answerUs, 0.99),
          command.maxAnswerUs};
}

// Microseconds as milliseconds with three decimals ("12.345").
std::string Ms(std::uint32_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%03u", us / 1000, us % 1000);
  return text;
}

std::string Hex(std::uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

constexpr const char* kErrorNames[kReceiveErrorKinds] = {"sync", "length", "CRC", "time-out"};
constexpr const char* kErrorKeys[kReceiveErrorKinds] = {"sync", "length", "crc", "time_out"};

}  // namespace

std::string FormatSummaryText(const StatisticsSnapshot& statistics) {
  std::string out = "Run summary\n";
  char line[160];
  std::snprintf(line, sizeof line, "%-4s  %-28s %6s %8s %9s %9s %9s %9s\n", "Code", "Command",
                "Sent", "Answered", "Timed out", "p50 ms", "p99 ms", "max ms");
  out += line;
  if (statistics.commands.empty()) out += "(no command sent)\n";
  for (const auto& [code, command] : statistics.commands) {
    const AnswerTimes times = TimesOf(command);
    const std::string p50 = times.any ? Ms(times.p50) : "-";
    const std::string p99 = times.any ? Ms(times.p99) : "-";
    const std::string max = times.any ? Ms(times.max) : "-";
    std::snprintf(line, sizeof line, "%-4s  %-28.28s %6u %8u %9u %9s %9s %9s\n", Hex(code).c_str(),
                  RawFrameLogName(code).c_str(), command.sent, command.answered, command.timedOut,
                  p50.c_str(), p99.c_str(), max.c_str());
    out += line;
  }
  out += "Receive errors:";
  for (std::size_t k = 0; k < kReceiveErrorKinds; ++k) {
    out += (k == 0 ? " " : ", ") + std::string(kErrorNames[k]) + " " +
           std::to_string(statistics.receiveErrors[k]);
  }
  out += "\n";
  std::snprintf(line, sizeof line, "%-4s  %8s %8s %8s %8s\n", "Note", "Escrowed", "Stacked",
                "Returned", "Rejected");
  out += line;
  if (statistics.notes.empty()) out += "(no note)\n";
  for (const auto& [code, note] : statistics.notes) {
    std::snprintf(line, sizeof line, "%-4s  %8u %8u %8u %8u\n", Hex(code).c_str(), note.escrowed,
                  note.stacked, note.returned, note.rejected);
    out += line;
  }
  return out;
}

std::string FormatSummaryJson(const StatisticsSnapshot& statistics, const SummaryFields& fields) {
  std::string out = "{\n";
  for (const auto& [key, value] : fields) {
    out += "  " + JsonString(key) + ": " + std::to_string(value) + ",\n";
  }
  out += "  \"commands\": [";
  bool first = true;
  for (const auto& [code, command] : statistics.commands) {
    const AnswerTimes times = TimesOf(command);
    out += first ? "\n" : ",\n";
    first = false;
    out += "    {\"code\": " + JsonString(Hex(code)) +
           ", \"name\": " + JsonString(RawFrameLogName(code)) +
           ", \"sent\": " + std::to_string(command.sent) +
           ", \"answered\": " + std::to_string(command.answered) +
           ", \"timed_out\": " + std::to_string(command.timedOut) + ", \"answer_ms\": ";
    if (times.any) {
      out += "{\"p50\": " + Ms(times.p50) + ", \"p99\": " + Ms(times.p99) +
             ", \"max\": " + Ms(times.max) + "}}";
    } else {
      out += "null}";
    }
  }
  out += first ? "],\n" : "\n  ],\n";
  out += "  \"receive_errors\": {";
  for (std::size_t k = 0; k < kReceiveErrorKinds; ++k) {
    out += (k == 0 ? "\"" : ", \"") + std::string(kErrorKeys[k]) +
           "\": " + std::to_string(statistics.receiveErrors[k]);
  }
  out += "},\n  \"notes\": [";
  first = true;
  for (const auto& [code, note] : statistics.notes) {
    out += first ? "\n" : ",\n";
    first = false;
    out += "    {\"code\": " + JsonString(Hex(code)) +
           ", \"escrowed\": " + std::to_string(note.escrowed) +
           ", \"stacked\": " + std::to_string(note.stacked) +
           ", \"returned\": " + std::to_string(note.returned) +
           ", \"rejected\": " + std::to_string(note.rejected) + "}";
  }
  out += first ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace tarvik
