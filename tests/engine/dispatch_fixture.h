// A host engine on fakes, with the port open, that takes frames from a scripted validator
// through the receiver and the response dispatch, as the worker loop does.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/response_dispatch.h"
#include "support/fake_window_services.h"

namespace tarvik::testing {

class DispatchFixture {
 public:
  DispatchFixture() {
    ui.Attach(&engine);
    link.Open(1, 9600);
    engine.state.portOpen.store(1);
    engine.state.stackMode.store(kStack1);  // the window's start mode
    // Acceptance and Ad data frames save nothing into the test's working directory: the
    // directory named here does not exist, so a save ends in "File Open Error".
    const std::string nowhere = ::testing::TempDir() + "tarvik-no-such-directory/";
    engine.acceptance.acceptanceFileName = nowhere + kAcceptanceFileName;
    engine.acceptance.adDataFileName = nowhere + kAdDataFileName;
  }

  // Delivers `bytes` on the line and runs one receive-and-dispatch pass.
  std::int32_t Receive(const std::vector<std::uint8_t>& bytes) {
    link.Deliver(bytes);
    return ReceiveAndDispatch(engine);
  }

  // The texts of the receive lines logged so far (what follows "<--- ").
  std::vector<std::string> ArrowTexts() const {
    std::vector<std::string> texts;
    for (const std::string& call : ui.CallsStartingWith("Log: ")) {
      std::size_t at = 0;
      while ((at = call.find("<--- ", at)) != std::string::npos) {
        at += 5;
        texts.push_back(call.substr(at, call.find("\r\n", at) - at));
      }
    }
    return texts;
  }

  // Fields and labels written, in order ("Field Disable: 12 34", "Label Polling Mode: ..."),
  // leaving out the line status the receiver refreshes on every pass.
  std::vector<std::string> Shown() const {
    std::vector<std::string> shown;
    for (const std::string& call : ui.Calls()) {
      if (call.rfind("Field Comminucation Status", 0) == 0) continue;
      if (call.rfind("Field ", 0) == 0 || call.rfind("Label ", 0) == 0) shown.push_back(call);
    }
    return shown;
  }

  // The queued follow-up command, -1 when none.
  int FollowUp() {
    std::uint8_t code = 0;
    return PeekQueuedCommand(engine, code) ? code : -1;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

}  // namespace tarvik::testing
