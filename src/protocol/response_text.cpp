#include "protocol/response_text.h"

#include <algorithm>

namespace tarvik {

namespace {

constexpr std::string_view kBytePlaceholder = "%02X";
constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& text, std::uint8_t byte) {
  text += kHexDigits[byte >> 4];
  text += kHexDigits[byte & 0x0F];
}

}  // namespace

std::string FormatDataBytes(std::string_view pattern, std::span<const std::uint8_t> data) {
  std::string text;
  text.reserve(pattern.size() + data.size() * 2);
  std::size_t next = 0;
  while (!pattern.empty()) {
    const std::size_t at = pattern.find(kBytePlaceholder);
    text.append(pattern.substr(0, at));
    if (at == std::string_view::npos) break;
    if (next < data.size()) AppendHexByte(text, data[next++]);
    pattern.remove_prefix(at + kBytePlaceholder.size());
  }
  return text;
}

std::string PrintableText(std::span<const std::uint8_t> bytes, std::size_t maxChars,
                          ZeroByte zero) {
  std::string text;
  const std::size_t count = std::min(bytes.size(), maxChars);
  text.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if (byte == 0 && zero == ZeroByte::EndsText) break;
    text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  }
  return text;
}

std::string FormatCurrencyEntries(std::span<const std::uint8_t> data) {
  constexpr std::size_t kEntrySize = 4;
  std::string text;
  for (std::size_t k = 0; k < kMaxCurrencyEntries && k * kEntrySize < data.size(); ++k) {
    const auto entry =
        data.subspan(k * kEntrySize, std::min(kEntrySize, data.size() - k * kEntrySize));
    AppendHexByte(text, entry[0]);
    text += '=';
    for (std::size_t i = 1; i < entry.size(); ++i) AppendHexByte(text, entry[i]);
    text += "; ";
  }
  return text;
}

}  // namespace tarvik
