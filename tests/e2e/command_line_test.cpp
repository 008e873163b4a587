// The command line of both programs as a user meets it first: --version prints the version that
// the build was given, --help lists every option on a line of its own and the exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tarvik_version.h"

namespace {

struct Output {
  int status = -1;
  std::string text;  // standard output
};

Output RunProgram(const std::string& commandLine) {
  Output output;
  std::FILE* pipe = ::popen((commandLine + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot start " << commandLine;
    return output;
  }
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) output.status = WEXITSTATUS(status);
  return output;
}

struct ProgramCase {
  const char* name;
  const char* binary;
  std::vector<std::string> optionLines;  // how each option starts its line in --help
};

const ProgramCase kPrograms[] = {
    {"tarvik-host",
     TARVIK_HOST_BINARY,
     {"  --console ", "  --demo ", "  --device PATH ", "  --settings FILE ", "  --answer yes|no ",
      "  --screenshot FILE ", "  --screenshot-view window|log|properties|download:FILE ",
      "  --global-download-waits A,B,C,D ", "  --version ", "  --help, -h "}},
    {"tarvik-validator",
     TARVIK_VALIDATOR_BINARY,
     {"  --pty ", "  --device PATH ", "  --baud N ", "  --pace ", "  --script FILE ",
      "  --auto-notes SECONDS ", "  --expect-file PATH ", "  --block-size N ", "  --version ",
      "  --help, -h "}},
};

TEST(CommandLineTest, VersionIsTheBuildsVersion) {
  for (const ProgramCase& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const Output run = RunProgram(std::string(program.binary) + " --version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.text, std::string(program.name) + " " + TARVIK_VERSION + "\n");
  }
}

TEST(CommandLineTest, HelpListsEveryOptionOnOneLineAndTheExitStatuses) {
  for (const ProgramCase& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const Output run = RunProgram(std::string(program.binary) + " --help");
    EXPECT_EQ(run.status, 0);
    for (const std::string& option : program.optionLines) {
      const auto at = run.text.find("\n" + option);
      ASSERT_NE(at, std::string::npos) << option << " missing in\n" << run.text;
      // One line each: the description follows on the same line, and no continuation line
      // (indented further than the option) comes after it.
      const auto end = run.text.find('\n', at + 1);
      EXPECT_GT(end - at, option.size() + 2) << option;
      EXPECT_NE(run.text.compare(end + 1, 4, "    "), 0) << option << " runs on to a second line";
    }
    EXPECT_NE(run.text.find("\nExit status:\n  0 "), std::string::npos) << run.text;
  }
}

// The window's picture options follow the host's rule: an option is never taken as the value
// of the one before it, so "--screenshot --demo" is refused rather than saving a file "--demo".
TEST(CommandLineTest, TheWindowTakesNoOptionAsAPictureOptionsValue) {
  char dir[] = "/tmp/tarvik-command-line-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  for (const char* option : {"--screenshot", "--screenshot-delay", "--screenshot-view"}) {
    SCOPED_TRACE(option);
    const Output run = RunProgram(std::string("cd ") + dir +
                                  " && QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + dir + " " +
                                  TARVIK_HOST_BINARY + " " + option + " --demo");
    EXPECT_EQ(run.status, 64);
  }
  EXPECT_FALSE(std::filesystem::exists(std::string(dir) + "/--demo"));
  std::filesystem::remove_all(dir);
}

}  // namespace
