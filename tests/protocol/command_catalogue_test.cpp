#include "protocol/command_catalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace tarvik {
namespace {

// The codes the host may send; every other byte value is a programming error.
const std::set<int> kHostCodes{0x11, 0x21, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x4A, 0x50,
                               0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A,
                               0x8B, 0x8C, 0x8D, 0x8F, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6,
                               0xC7, 0xCA, 0xCB, 0xCC, 0xD0, 0xD1, 0xD2, 0xD8, 0xDC, 0xE0, 0xE1};

TEST(CommandCatalogueTest, FindsExactlyTheHostCodes) {
  for (int code = 0; code < 256; ++code) {
    const CommandInfo* row = FindCommand(static_cast<std::uint8_t>(code));
    if (kHostCodes.count(code) != 0) {
      ASSERT_NE(row, nullptr) << code;
      EXPECT_EQ(row->code, code);
      EXPECT_FALSE(row->logName.empty()) << code;
    } else {
      EXPECT_EQ(row, nullptr) << code;
    }
  }
  EXPECT_EQ(kCommandCatalogue.size(), kHostCodes.size());
}

// Every row's length agrees with what its data kind puts into the frame.
TEST(CommandCatalogueTest, LengthsMatchTheDataKinds) {
  const struct {
    CommandData data;
    int dataBytes;
  } kinds[] = {
      {CommandData::None, 0},           {CommandData::Value16, 2},
      {CommandData::Value8, 1},         {CommandData::LocalTime, 12},
      {CommandData::MachineNumber, 20}, {CommandData::DownloadPacket, 4},
      {CommandData::SignatureSeed, 2},  {CommandData::AcceptanceInit, 28},
  };
  for (const CommandInfo& row : kCommandCatalogue) {
    for (const auto& kind : kinds) {
      if (kind.data == row.data) {
        EXPECT_EQ(row.length, 5 + kind.dataBytes) << int(row.code);
      }
    }
  }
}

TEST(CommandCatalogueTest, BarcodeSetCommandsHaveDistinctNames) {
  EXPECT_EQ(FindCommand(0xC6)->logName, "BAR CODE FUNCTION SET");
  EXPECT_EQ(FindCommand(0xC7)->logName, "BAR CODE INHIBIT SET");
}

}  // namespace
}  // namespace tarvik
