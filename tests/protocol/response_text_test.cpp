#include "protocol/response_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvik {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

struct DataBytesCase {
  const char* pattern;
  std::vector<std::uint8_t> data;
  const char* expected;
};

TEST(FormatDataBytesTest, FillsPlaceholdersInTurnAndNeverReadsPastTheData) {
  const DataBytesCase cases[] = {
      {"ACK", {}, "ACK"},
      {"REJECT %02X", {0x0A}, "REJECT 0A"},
      {"Set DISABLE %02X,%02X", {0x12, 0x34, 0x56}, "Set DISABLE 12,34"},
      {"V%02X%02X, M", {0xAB, 0xCD}, "VABCD, M"},
      {"%02X %02X", {0xFF, 0x00}, "FF 00"},
      // Fewer bytes than placeholders: the missing ones stay empty.
      {"Secret No. %02X,%02X,%02X", {0x01}, "Secret No. 01,,"},
      {"100% %2X %02", {0x01}, "100% %2X %02"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatDataBytes(c.pattern, c.data), c.expected) << c.pattern;
  }
}

struct PrintableCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  std::size_t maxChars;
  ZeroByte zero;
  std::string expected;
};

TEST(PrintableTextTest, StopsAtZeroCutsAndMasksUnprintableBytes) {
  const PrintableCase cases[] = {
      {"plain", Bytes("V1.23"), 122, ZeroByte::EndsText, "V1.23"},
      {"zero ends", {'A', 'B', 0, 'C'}, 122, ZeroByte::EndsText, "AB"},
      {"zero shown", {'A', 0, 'C'}, 122, ZeroByte::IsShown, "A.C"},
      {"cut", Bytes("ABCDEFGH"), 5, ZeroByte::EndsText, "ABCDE"},
      {"line breaks masked",
       {'A', '\r', '\n', 'B', 0x7F, 0x80, 0xFF},
       122,
       ZeroByte::EndsText,
       "A..B..."},
      {"empty", {}, 10, ZeroByte::EndsText, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrintableText(c.bytes, c.maxChars, c.zero), c.expected) << c.name;
  }
}

struct CurrencyCase {
  const char* name;
  std::vector<std::uint8_t> data;
  std::string expected;
};

std::vector<std::uint8_t> Entries(int count) {
  std::vector<std::uint8_t> data;
  for (int k = 0; k < count; ++k) {
    data.insert(data.end(), {static_cast<std::uint8_t>(k), 0x4A, 0x50, 0x59});
  }
  return data;
}

std::string EntriesText(int count) {
  std::string text;
  char entry[24];
  for (int k = 0; k < count; ++k) {
    std::snprintf(entry, sizeof entry, "%02X=4A5059; ", k);
    text += entry;
  }
  return text;
}

TEST(FormatCurrencyEntriesTest, ShowsOnlyTheGivenBytesAndAtMostTwentyEntries) {
  const CurrencyCase cases[] = {
      {"two entries", {0x01, 0x4A, 0x50, 0x59, 0x02, 0x0A, 0x0B, 0x0C}, "01=4A5059; 02=0A0B0C; "},
      {"none", {}, ""},
      {"incomplete last entry", {0x01, 0x4A, 0x50, 0x59, 0x02, 0x0A}, "01=4A5059; 02=0A; "},
      {"lone index", {0x01, 0x4A, 0x50, 0x59, 0x07}, "01=4A5059; 07=; "},
      {"twenty", Entries(20), EntriesText(20)},
      {"twenty-one cut to twenty", Entries(21), EntriesText(20)},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatCurrencyEntries(c.data), c.expected) << c.name;
}

}  // namespace
}  // namespace tarvik
