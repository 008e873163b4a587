// End-to-end: acceptance data and Ad data between the built tarvik-host and the virtual
// validator, checked against the files the host leaves in its working directory.
#include <cstdio>
#include <iterator>
#include <sstream>

#include "e2e/host_run_fixture.h"

namespace {

using namespace tarvik::e2e;

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBinary(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uintmax_t SizeOf(const std::filesystem::path& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// The frames the log shows after each "<--- NAME (offset:NNNNN)" line, in order, each as its
// bytes from the bracketed dump, looking from `from` on.
std::vector<Bytes> LoggedBlocks(const std::string& log, std::string_view name, std::size_t from) {
  std::vector<Bytes> frames;
  const std::string marker = "<--- " + std::string(name) + " (offset:";
  for (std::size_t at = log.find(marker, from); at != std::string::npos;
       at = log.find(marker, at + 1)) {
    const std::size_t open = log.find('[', at);
    const std::size_t close = log.find(']', open);
    Bytes frame;
    std::istringstream hex(log.substr(open + 1, close - open - 1));
    for (unsigned value = 0; hex >> std::hex >> value;)
      frame.push_back(static_cast<std::uint8_t>(value));
    frames.push_back(std::move(frame));
  }
  return frames;
}

// Lays the image bytes of logged block frames (SYNC, LNG, code, offset LSB, MSB, bytes, CRC)
// into a buffer of `size` bytes.
Bytes ImageFromBlocks(const std::vector<Bytes>& frames, std::size_t size) {
  Bytes image(size, 0);
  for (const Bytes& frame : frames) {
    const std::size_t offset = frame.at(3) | frame.at(4) << 8;
    for (std::size_t i = 5; i + 2 < frame.size() && offset + i - 5 < size; ++i) {
      image[offset + i - 5] = frame[i];
    }
  }
  return image;
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}
void PutLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// What "LOG.dat" must hold for a received image, worked out here from the file's description:
// the image with every counted slot v turned into v * 256 + v / 256 (bytes 4,492..4,531 as they
// came), then the 207 statistics, all little-endian. Also gives the two checksum values.
Bytes ExpectedLogDat(Bytes image, std::uint32_t& a, std::uint32_t& m) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 4534; ++i) sum += image[i];
  m = ~sum;
  for (std::size_t at = 0; at < 4536; at += 4) {
    if (at >= 4492 && at < 4532) continue;
    const std::uint32_t v = Le32(image, at);
    PutLe32(image, at, v * 256u + v / 256u);
  }
  a = Le32(image, 4532);

  const auto head = [&](int b, int r) { return Le32(image, 4 + 1088 * b + 68 * r); };
  const auto cell = [&](int b, int r, int c) { return Le32(image, 8 + 1088 * b + 68 * r + 4 * c); };
  const auto rowTotal = [&](int b, int r) {
    std::uint32_t total = 0;
    for (int c = 0; c < 16; ++c) total += cell(b, r, c);
    return total;
  };
  const auto ratio = [](std::uint32_t x, std::uint32_t y) -> std::uint32_t {
    return x + y == 0 ? 0 : (x * 1000u + (x + y) - 1u) / (x + y);
  };
  std::vector<std::uint32_t> v(207, 0);
  std::uint32_t headTotal = 0, cellTotal = 0;
  for (int r = 0; r < 16; ++r) {
    for (int b = 0; b < 4; ++b) {
      v[3 + r] += head(b, r);
      v[19 + r] += rowTotal(b, r);
      v[67 + 16 * b + r] = rowTotal(b, r);
      v[131 + 16 * b + r] = ratio(head(b, r), rowTotal(b, r));
      v[195 + b] += head(b, r);
      v[199 + b] += rowTotal(b, r);
    }
    headTotal += v[3 + r];
    cellTotal += v[19 + r];
  }
  v[0] = ratio(headTotal, cellTotal);
  v[1] = headTotal;
  v[2] = cellTotal;
  for (int r = 0; r < 16; ++r) v[35 + r] = v[3 + r] == 0 ? 0 : v[3 + r] * 1000u / headTotal;
  for (int c = 0; c < 16; ++c) {
    for (int b = 0; b < 4; ++b) {
      for (int r = 0; r < 16; ++r) v[51 + c] += cell(b, r, c);
    }
  }
  for (int b = 0; b < 4; ++b) v[203 + b] = ratio(v[195 + b], v[199 + b]);

  Bytes file = image;
  file.resize(4536 + 4 * 207);
  for (std::size_t i = 0; i < v.size(); ++i) PutLe32(file, 4536 + 4 * i, v[i]);
  return file;
}

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// A transfer on the validator's command. The one before it ends when the host's last Ack
// arrives, which may be just after the host logged its end; until then the command is refused.
::testing::AssertionResult StartTransfer(HostProcess& host, VirtualValidatorRunner& validator,
                                         const std::string& command) {
  tarvik::validator::CommandReply reply;
  if (host.WaitUntil([&] { return (reply = validator.Command(command)).ok; })) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << command << ": " << reply.text;
}

// Read Log brings the acceptance data: "LOG.dat" in the host's working directory holds exactly
// what the logged blocks make; a transfer with a wrong checksum leaves it alone. Init Log and the
// validator's own Ad transfer each append one record to the Ad data file.
TEST_F(HostRunTest, AcceptanceDataAndAdDataReachTheirFiles) {
  host_.SetWorkingDirectory(dir_.string());
  const std::filesystem::path logDat = dir_ / "LOG.dat";
  const std::filesystem::path adFile = dir_ / "ADDATA.dat";
  ASSERT_TRUE(StartBoth(kInitializeMs, {"--acceptance-log"}));
  ResetValidator();
  if (HasFatalFailure()) return;

  std::size_t from = host_.Out().size();
  host_.Type("2");
  ASSERT_TRUE(WaitForLog(ReceivedText("Acceptance Data End"), 1, from));
  ASSERT_TRUE(host_.WaitUntil([&] { return SizeOf(logDat) == 5364; })) << SizeOf(logDat);
  EXPECT_NE(host_.Out().find("Acceptance Data Request --->\n", from), std::string::npos);
  const auto blocks = LoggedBlocks(host_.Out(), "Acceptance Data", from);
  ASSERT_FALSE(blocks.empty());
  std::uint32_t a = 0;
  std::uint32_t m = 0;
  const Bytes expected = ExpectedLogDat(ImageFromBlocks(blocks, 4536), a, m);
  EXPECT_EQ(a, m);
  // The file may be in place before the host's output of the same moment has been read.
  EXPECT_TRUE(WaitForLog("<--- Check Sum A:" + Hex4(a) + ",M:" + Hex4(m) + "\n", 1, from));
  const Bytes saved = ReadBinary(logDat);
  EXPECT_TRUE(saved == expected) << "LOG.dat differs from the expected file";

  from = host_.Out().size();
  ASSERT_TRUE(StartTransfer(host_, validator_, "acceptance bad"));
  ASSERT_TRUE(WaitForLog("<--- Check Sum Error A:", 1, from));
  EXPECT_TRUE(ReadBinary(logDat) == saved) << "a failed check replaced LOG.dat";

  // Two Ad transfers: Init Log, then one the validator starts itself.
  std::vector<std::size_t> starts;
  for (int transfer = 0; transfer < 2; ++transfer) {
    starts.push_back(host_.Out().size());
    if (transfer == 0) {
      host_.Type("1");
    } else {
      ASSERT_TRUE(StartTransfer(host_, validator_, "ad"));
    }
    ASSERT_TRUE(WaitForLog(ReceivedText("Ad Data End"), 1, starts.back()));
    ASSERT_TRUE(host_.WaitUntil([&] { return SizeOf(adFile) == 3715u * (transfer + 1); }))
        << SizeOf(adFile);
  }
  starts.push_back(host_.Out().size());
  EXPECT_NE(host_.Out().find("Acceptance Data Initialize --->\n", starts[0]), std::string::npos);
  const Bytes records = ReadBinary(adFile);
  for (std::size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const std::string part = host_.Out().substr(starts[k], starts[k + 1] - starts[k]);
    const Bytes ad = ImageFromBlocks(LoggedBlocks(part, "Ad Data", 0), 3210);
    Bytes record(ad.begin(), ad.begin() + 3200);
    record.resize(3712, 0);
    record.insert(record.end(), ad.begin() + 3200, ad.begin() + 3203);
    EXPECT_TRUE(Bytes(records.begin() + static_cast<long>(3715 * k),
                      records.begin() + static_cast<long>(3715 * (k + 1))) == record);
  }
  ExpectCleanExit();
}

}  // namespace
