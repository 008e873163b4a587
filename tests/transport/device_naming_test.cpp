#include "transport/device_naming.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pty_pair.h"
#include "transport/serial_port.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;

// A fake /dev and /sys under a temporary directory.
class DeviceTree : public ::testing::Test {
 protected:
  DeviceTree() : root(fs::temp_directory_path() / ("tarvik_dev_" + std::to_string(::getpid()))) {
    fs::remove_all(root);
    fs::create_directories(root / "dev/serial/by-id");
  }
  ~DeviceTree() override { fs::remove_all(root); }

  void Device(const std::string& name) { std::ofstream(root / "dev" / name) << ""; }
  void ById(const std::string& name, const std::string& target) {
    fs::create_symlink(target, root / "dev/serial/by-id" / name);
  }
  // The UART type the kernel reports for ttyS<n> (0: no hardware behind it).
  void UartType(const std::string& tty, int type) {
    fs::create_directories(root / "sys/class/tty" / tty);
    std::ofstream(root / "sys/class/tty" / tty / "type") << type << "\n";
  }
  std::string Dev(const std::string& relative) const { return (root / "dev" / relative).string(); }

  fs::path root;
};

TEST_F(DeviceTree, ListsStableNamesFirstThenUsbThenRealSerialPorts) {
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyUSB0", "ttyACM1", "ttyACM0",
                           "ttyS10", "ttyS2", "ttyS1", "ttyS0", "ttyUSBx", "ttyUSB", "tty0"}) {
    Device(name);
  }
  ById("usb-Adapter_B-if00-port0", "../../ttyUSB1");
  ById("usb-Adapter_A-if00", "../../ttyACM0");
  ById("usb-Gone-if00-port0", "../../ttyUSB7");  // unplugged: the link dangles
  UartType("ttyS0", 4);
  UartType("ttyS1", 0);
  UartType("ttyS10", 4);
  // ttyS2 has no sysfs entry and is no terminal, so it is not offered

  const std::vector<std::string> expected{Dev("serial/by-id/usb-Adapter_A-if00"),
                                          Dev("serial/by-id/usb-Adapter_B-if00-port0"),
                                          Dev("ttyUSB0"),
                                          Dev("ttyUSB2"),
                                          Dev("ttyUSB10"),
                                          Dev("ttyACM1"),
                                          Dev("ttyS0"),
                                          Dev("ttyS10")};
  EXPECT_EQ(ListSerialDevices(root.string()), expected);

  const std::pair<int, std::string> ports[] = {
      {1, expected[0]}, {3, Dev("ttyUSB0")}, {8, Dev("ttyS10")}, {9, ""}, {0, ""}, {-4, ""}};
  for (const auto& [number, path] : ports) {
    EXPECT_EQ(DevicePathForPort(number, root.string()), path) << "COM" << number;
  }
}

TEST_F(DeviceTree, NoDevicesNoPorts) {
  EXPECT_TRUE(ListSerialDevices(root.string()).empty());
  EXPECT_TRUE(ListSerialDevices((root / "nowhere").string()).empty());
  EXPECT_EQ(DevicePathForPort(1, root.string()), "");
}

// com_port_index 0 and 19 open COM1 and COM20: the first and the twentieth device, here a link
// to a real pty among plain files.
TEST_F(DeviceTree, PortIndexSelectsTheDeviceThroughTheList) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  for (const int index : {0, 19}) {
    SCOPED_TRACE(index);
    fs::remove_all(root / "dev");
    fs::create_directories(root / "dev");
    for (int n = 0; n < 20; ++n) Device("ttyUSB" + std::to_string(n));
    const std::string chosen = Dev("ttyUSB" + std::to_string(index));
    fs::remove(chosen);
    fs::create_symlink(pty.SlavePath(), chosen);

    SerialPort port(root.string());
    const int portNumber = PortNumberFromIndex(index);
    EXPECT_EQ(port.DeviceForPort(portNumber), chosen);
    EXPECT_EQ(port.DisplayTextForPort(portNumber),
              "COM" + std::to_string(index + 1) + " (" + chosen + ")");
    ASSERT_EQ(port.Open(portNumber, 9600), 1);
    EXPECT_EQ(port.OpenDevice(), chosen);
    port.Close();
    // The other nineteen are plain files, not terminals.
    EXPECT_EQ(port.Open(PortNumberFromIndex(19 - index), 9600), 0);
  }
}

TEST_F(DeviceTree, OverrideWinsOverEveryNumber) {
  Device("ttyUSB0");
  SerialPort port(root.string());
  port.SetDeviceOverride("/dev/ttyV0");
  for (const int number : {1, 5, 20}) {
    EXPECT_EQ(port.DeviceForPort(number), "/dev/ttyV0");
    EXPECT_EQ(port.DisplayTextForPort(number), "COM" + std::to_string(number) + " (/dev/ttyV0)");
  }
  port.SetDeviceOverride("");
  EXPECT_EQ(port.DeviceForPort(1), Dev("ttyUSB0"));
  EXPECT_EQ(port.DisplayTextForPort(2), "COM2");
}

TEST(PortDisplayTextTest, ShowsTheDeviceWhenThereIsOne) {
  EXPECT_EQ(PortDisplayText(3, "/dev/ttyUSB0"), "COM3 (/dev/ttyUSB0)");
  EXPECT_EQ(PortDisplayText(20, ""), "COM20");
}

TEST(PtySlaveTest, RecognisesThePtySlaveRangesOfTheDriverTable) {
  const char* const drivers =
      "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
      "/dev/ptmx            /dev/ptmx       5       2 system\n"
      "serial               /dev/ttyS       4      64-111 serial\n"
      "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
      "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
      "pty_slave            /dev/ttyp       3 0-255 pty:slave\n"
      "broken               /dev/x        abc 0-9 pty:slave\n"
      "unknown              /dev/tty        4 1-63 console\n";
  struct Case {
    unsigned major, minor;
    bool pty;
  };
  const Case cases[] = {{136, 0, true},  {136, 1048575, true}, {3, 255, true}, {3, 256, false},
                        {128, 0, false}, {4, 64, false},       {5, 0, false},  {137, 0, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(IsPtySlaveDevice(drivers, c.major, c.minor), c.pty) << c.major << ":" << c.minor;
  }
  EXPECT_FALSE(IsPtySlaveDevice("", 136, 0));
}

TEST(PtySlaveTest, TellsAPtyFromOtherDescriptors) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  EXPECT_TRUE(IsPseudoTerminal(pty.Slave(), pty.SlavePath()));
  const int null = ::open("/dev/null", O_RDWR);
  EXPECT_FALSE(IsPseudoTerminal(null, "/dev/null"));
  ::close(null);
}

}  // namespace
}  // namespace tarvik
