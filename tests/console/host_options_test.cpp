#include "ui/host_options.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

ParsedCommandLine Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "tarvik-host");
  return ParseHostOptions(static_cast<int>(words.size()), words.data());
}

TEST(HostOptionsTest, FlagsAndValuesInBothForms) {
  const ParsedCommandLine parsed =
      Parse({"--console", "--fail-fast", "--timestamps", "--acceptance-log", "--summary=s.json",
             "--device", "/dev/ttyS1", "--answer=no", "--global-download-waits", "0,1,2,600000",
             "--screenshot", "w.png", "--screenshot-delay=4500", "--screenshot-view",
             "download:p.bin", "-style", "fusion"});
  ASSERT_EQ(parsed.error, "");
  const HostOptions& o = parsed.options;
  EXPECT_TRUE(o.console && o.failFast && o.timestamps && o.acceptanceLog);
  EXPECT_FALSE(o.demo || parsed.help || parsed.version);
  EXPECT_EQ(o.summaryPath, "s.json");
  EXPECT_EQ(o.device, "/dev/ttyS1");
  EXPECT_EQ(o.answer, Answer::No);
  ASSERT_TRUE(o.globalDownloadWaitsMs.has_value());
  EXPECT_EQ(*o.globalDownloadWaitsMs, (std::array<int, 4>{0, 1, 2, 600000}));
  EXPECT_EQ(o.screenshotPath, "w.png");
  EXPECT_EQ(o.screenshotDelayMs, 4500);
  EXPECT_EQ(o.screenshotView, "download:p.bin");
  EXPECT_EQ(parsed.unknown, (std::vector<std::string>{"-style", "fusion"}));
}

TEST(HostOptionsTest, AppliedToTheEngine) {
  testing::FakeWindowServices services;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine(services, link, clock);
  ApplyHostOptions(Parse({}).options, engine);
  EXPECT_EQ(engine.download.globalWaits.afterFirstDataMs, 60000) << "the usual waits stay";
  EXPECT_FALSE(engine.logTimestamps.load());

  ApplyHostOptions(Parse({"--global-download-waits=1,2,3,4", "--timestamps"}).options, engine);
  const GlobalDownloadWaits& waits = engine.download.globalWaits;
  EXPECT_EQ(waits.afterInhibitMs, 1);
  EXPECT_EQ(waits.afterStartMs, 2);
  EXPECT_EQ(waits.afterFirstDataMs, 3);
  EXPECT_EQ(waits.afterDataMs, 4);
  EXPECT_TRUE(engine.logTimestamps.load());
}

struct RefusedCase {
  const char* name;
  std::vector<const char*> words;
  const char* error;
};

const RefusedCase kRefused[] = {
    {"FlagWithValue", {"--fail-fast=yes"}, "--fail-fast takes no value"},
    {"HelpWithValue", {"--help=x"}, "--help takes no value"},
    {"MissingValue", {"--summary"}, "--summary needs a value"},
    {"OptionForValue",
     {"--summary", "--console"},
     "--summary needs a value (--console is an option; for a value like it write "
     "--summary=--console)"},
    {"EmptySummary", {"--summary="}, "--summary needs a file name"},
    {"EmptyDevice", {"--device", ""}, "--device needs a device path, not \"\""},
    {"EmptySettings", {"--settings="}, "--settings needs a file, not \"\""},
    {"BadAnswer", {"--answer", "maybe"}, "--answer takes yes or no, not \"maybe\""},
    {"ThreeWaits",
     {"--global-download-waits=1,2,3"},
     "--global-download-waits takes four waits of 0 to 600000 ms, as 3000,10000,60000,1000, not "
     "\"1,2,3\""},
    {"PictureNamedAsAnOption",
     {"--screenshot", "--demo"},
     "--screenshot needs a value (--demo is an option; for a value like it write "
     "--screenshot=--demo)"},
    {"BadPictureDelay",
     {"--screenshot-delay=soon"},
     "--screenshot-delay takes a wait in ms, not \"soon\""},
    {"NegativePictureDelay",
     {"--screenshot-delay", "-5"},
     "--screenshot-delay takes a wait in ms, not \"-5\""},
    {"BadPictureView",
     {"--screenshot-view=download:"},
     "--screenshot-view takes window, log, properties or download:FILE, not \"download:\""},
    // The first fault is the one reported; nothing after it is read.
    {"FirstFaultOnly", {"--demo=1", "--answer", "maybe"}, "--demo takes no value"},
};

class HostOptionsRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(HostOptionsRefusedTest, SaysWhy) {
  EXPECT_EQ(Parse(GetParam().words).error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostOptionsRefusedTest, ::testing::ValuesIn(kRefused),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarvik
