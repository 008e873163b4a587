// The engine on fakes with a target file of its own and a scripted validator, for the tests of
// the normal and the global download.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/download_tab.h"
#include "engine/program_download.h"
#include "engine/response_dispatch.h"
#include "engine/worker_loop.h"
#include "protocol/line_codes.h"
#include "support/fake_window_services.h"
#include "support/scratch_dir.h"

namespace tarvik::download_test {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::MakeFrame;

class TempFile {
 public:
  explicit TempFile(const std::vector<std::uint8_t>& bytes,
                    const std::string& name = "target.bin")
      : path_((dir_.Path() / name).string()) {
    Write(bytes);
  }

  void Write(const std::vector<std::uint8_t>& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void Append(std::size_t count) const {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    for (std::size_t i = 0; i < count; ++i) out.put('x');
  }
  const std::string& path() const { return path_; }
  std::string dir() const { return dir_.Path().string(); }

 private:
  testing::ScratchDir dir_{"tarvik-download"};
  std::string path_;
};

inline std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

// One data frame as it left the host.
struct DataFrame {
  std::uint32_t address;
  std::vector<std::uint8_t> packet;
};

inline DataFrame ParseData(const std::vector<std::uint8_t>& frame) {
  DataFrame data;
  data.address = static_cast<std::uint32_t>(frame[3]) | static_cast<std::uint32_t>(frame[4]) << 8 |
                 static_cast<std::uint32_t>(frame[5]) << 16 |
                 static_cast<std::uint32_t>(frame[6]) << 24;
  data.packet.assign(frame.begin() + 7, frame.end() - 2);
  return data;
}

class ProgramDownloadTest : public ::testing::Test {
 protected:
  ProgramDownloadTest() {
    ui.Attach(&engine);
    WorkerStartUp(engine);
    ui.ClearCalls();
  }

  // Chooses `file` on the tab, presses Normal Download and answers the validator's way through
  // the whole download: ACK to the start and to each packet, `busy` BUSY statuses before the
  // first READY, READY after, and the check result `check` to the end. Stops after `maxCycles`.
  void RunNormalDownload(const TempFile& file, int busy = 0, std::uint8_t check = 0x00,
                         int maxCycles = 5000) {
    ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
    ASSERT_TRUE(PressNormalDownload(engine));
    std::size_t answered = 0;
    for (int cycle = 0; cycle < maxCycles; ++cycle) {
      WorkerCycle(engine);
      const auto written = link.Written();
      for (; answered < written.size(); ++answered) {
        const auto& frame = written[answered];
        switch (frame[2]) {
          case cmd::kDownloadStart:
          case cmd::kDownloadData:
            link.Deliver(MakeFrame(rsp::kAck));
            break;
          case cmd::kStatusRequest:
            link.Deliver(MakeFrame(rsp::kDownloadStatus,
                                   {busy > 0 ? std::uint8_t{0x80} : std::uint8_t{0x00}}));
            if (busy > 0) --busy;
            break;
          case cmd::kDownloadEnd:
            link.Deliver(MakeFrame(rsp::kProgramCheck, {check, 0x12, 0x34}));
            break;
          default:
            break;
        }
      }
      if (engine.state.normalDownloadActive == 0 && engine.state.awaitingResponse == 0) {
        WorkerCycle(engine);  // the Ack that answers the check result
        return;
      }
    }
    FAIL() << "the download did not end";
  }

  std::vector<std::vector<std::uint8_t>> FramesOf(std::uint8_t code) const {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const auto& frame : link.Written()) {
      if (frame[2] == code) frames.push_back(frame);
    }
    return frames;
  }

  void ReceiveAndDispatchOnce() { ReceiveAndDispatch(engine); }

  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (const auto& frame : link.Written()) codes.push_back(frame[2]);
    return codes;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

}  // namespace tarvik::download_test
