// Pure formatting of the texts that response handlers build from a frame's data bytes. Every
// function reads only the bytes it is given, so a handler that passes exactly the frame's data
// can never show bytes that earlier frames left in the receive buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarvik {

// Longest texts the handlers show: whatever is longer is cut to this many characters.
inline constexpr std::size_t kMaxVersionChars = 122;
inline constexpr std::size_t kMaxBootVersionChars = 35;
inline constexpr std::size_t kMaxEscrowTextChars = 70;
inline constexpr std::size_t kMaxMachineNumberChars = 20;
inline constexpr std::size_t kMaxCurrencyEntries = 20;

// Replaces each "%02X" in `pattern`, in turn, by the next byte of `data` as two upper-case hex
// digits. A placeholder left without a byte is dropped rather than filled from elsewhere.
std::string FormatDataBytes(std::string_view pattern, std::span<const std::uint8_t> data);

enum class ZeroByte { EndsText, IsShown };

// `bytes` as characters, at most `maxChars` of them. Bytes outside the printable ASCII range
// become '.', so a frame can never break a log line or a field. With `ZeroByte::EndsText` the text
// stops at the first zero byte (as a C string would); otherwise a zero is shown as '.' too.
std::string PrintableText(std::span<const std::uint8_t> bytes, std::size_t maxChars,
                          ZeroByte zero = ZeroByte::EndsText);

// The currency assignment entries: four bytes each, "II=CCCCCC; " (index, three data bytes), at
// most `kMaxCurrencyEntries`. An incomplete last entry shows only the bytes it has.
std::string FormatCurrencyEntries(std::span<const std::uint8_t> data);

}  // namespace tarvik
