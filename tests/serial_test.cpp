// The serial component on a real terminal device: a pseudo-terminal pair made by each test, its
// slave side reached through a comN link in a temporary configuration directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "serial/posix_serial.h"
#include "shell/system.h"

namespace fs = std::filesystem;
using telvaro3::RunTimeError;
using telvaro3::serial::PosixSerialComm;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "t3serialXXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Pty {
  int master = -1, slave = -1;
  std::string slaveName;
  Pty() {
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    slaveName = name;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
};

// A configuration directory with telvaro3/comN links.
struct Config {
  TempDir dir;
  void Link(int n, const std::string& target) {
    fs::create_directories(dir.path() / "telvaro3");
    fs::create_symlink(target, dir.path() / "telvaro3" / ("com" + std::to_string(n)));
  }
  std::string Home() const { return dir.path().string(); }
};

int16_t OpenError(PosixSerialComm& c) {
  try {
    c.SetPortIsOpen(true);
  } catch (const RunTimeError& e) {
    return e.Number();
  }
  return 0;
}

// Reads exactly n bytes from fd, giving up after a generous bound so a fault cannot hang the test.
std::string ReadN(int fd, size_t n) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r > 0) out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string AllBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pty.master, 0);
    cfg.Link(3, pty.slaveName);
    comm.SetPortNumber(3);
    comm.SetLineSettings("19200,N,8,1");
  }
  Pty pty;
  Config cfg;
  PosixSerialComm comm{cfg.Home()};
};

}  // namespace

TEST(SerialConfig, ConfigHomeAndDeviceMapping) {
  EXPECT_EQ(telvaro3::serial::ConfigHome("/x/cfg", "/home/u"), "/x/cfg");
  EXPECT_EQ(telvaro3::serial::ConfigHome("", "/home/u"), "/home/u/.config");
  EXPECT_EQ(telvaro3::serial::ConfigHome(nullptr, "/home/u"), "/home/u/.config");

  Config cfg;
  cfg.Link(2, "/dev/null");
  PosixSerialComm c(cfg.Home());
  EXPECT_EQ(c.DevicePath(2), cfg.Home() + "/telvaro3/com2");
  EXPECT_EQ(c.DevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(c.DevicePath(12), "/dev/ttyS11");
}

TEST(SerialConfig, LineSettings) {
  struct Case {
    const char* text;
    bool ok;
    int baud;
    char parity;
    int data, stop;
  } cases[] = {
      {"19200,N,8,1", true, 19200, 'N', 8, 1},
      {"9600,e,7,2", true, 9600, 'E', 7, 2},
      {"460800,O,8,1", true, 460800, 'O', 8, 1},
      {"300,N,8,1", true, 300, 'N', 8, 1},
      {"14400,N,8,1", false, 0, 0, 0, 0},
      {"19200,M,8,1", false, 0, 0, 0, 0},
      {"19200,N,6,1", false, 0, 0, 0, 0},
      {"19200,N,8,3", false, 0, 0, 0, 0},
      {"19200,N,8", false, 0, 0, 0, 0},
      {"19200,N,8,1,1", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
      {"fast,N,8,1", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    auto p = telvaro3::serial::ParseLineSettings(c.text);
    EXPECT_EQ(p.ok, c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(p.baud, c.baud) << c.text;
    EXPECT_EQ(p.parity, c.parity) << c.text;
    EXPECT_EQ(p.dataBits, c.data) << c.text;
    EXPECT_EQ(p.stopBits, c.stop) << c.text;
  }
}

TEST_F(SerialTest, OpensAndClosesAndKeepsSetupValues) {
  comm.SetInputChunkLength(0);
  comm.SetSetupFlag1(true);
  comm.SetSetupValue2(1);
  comm.SetYModemValue2(3);
  EXPECT_FALSE(comm.PortIsOpen());
  comm.SetPortIsOpen(true);
  EXPECT_TRUE(comm.PortIsOpen());
  comm.SetPortIsOpen(true);  // opening an open port changes nothing
  EXPECT_TRUE(comm.PortIsOpen());
  EXPECT_EQ(comm.InputCount(), 0);
  EXPECT_EQ(comm.EventCode(), 0);
  comm.SetPortIsOpen(false);
  EXPECT_FALSE(comm.PortIsOpen());
  EXPECT_TRUE(comm.Setup().setupFlag1);
  EXPECT_EQ(comm.Setup().setupValue2, 1);
  EXPECT_EQ(comm.Setup().ymodemValue2, 3);
  // The port can be had again after closing.
  comm.SetPortIsOpen(true);
  EXPECT_TRUE(comm.PortIsOpen());
}

TEST_F(SerialTest, OpenFailuresCarryTheirNumbers) {
  cfg.Link(4, (cfg.dir.path() / "no-such-device").string());
  cfg.Link(5, "/etc/hostname");  // exists, but is no terminal
  struct Case {
    int port;
    const char* settings;
    int16_t number;
  } cases[] = {
      {4, "19200,N,8,1", 68},
      {5, "19200,N,8,1", 75},
      {3, "14400,N,8,1", 5},
      {3, "19200,X,8,1", 5},
  };
  for (const Case& c : cases) {
    PosixSerialComm other(cfg.Home());
    other.SetPortNumber(static_cast<int16_t>(c.port));
    other.SetLineSettings(c.settings);
    EXPECT_EQ(OpenError(other), c.number) << c.port << " " << c.settings;
    EXPECT_FALSE(other.PortIsOpen());
  }
}

TEST_F(SerialTest, PortHeldByAnotherInstanceIsUnavailable) {
  comm.SetPortIsOpen(true);
  PosixSerialComm second(cfg.Home());
  second.SetPortNumber(3);
  second.SetLineSettings("19200,N,8,1");
  EXPECT_EQ(OpenError(second), 68);
  comm.SetPortIsOpen(false);
  EXPECT_EQ(OpenError(second), 0);
  EXPECT_TRUE(second.PortIsOpen());
}

TEST_F(SerialTest, EveryByteValuePassesBothWays) {
  comm.SetPortIsOpen(true);
  const std::string all = AllBytes();

  comm.OutputData(all);
  EXPECT_EQ(comm.OutputCount(), 0);
  EXPECT_EQ(comm.EventCode(), 1);
  EXPECT_EQ(ReadN(pty.master, all.size()), all);

  ASSERT_EQ(write(pty.master, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  std::string got;
  for (int i = 0; i < 2000 && got.size() < all.size(); ++i) {
    comm.WaitInput(10);
    int32_t n = comm.InputCount();
    std::string part = comm.InputData();
    // What was counted is handed out; nothing is lost between the two.
    EXPECT_GE(static_cast<int32_t>(part.size()), n);
    got += part;
  }
  EXPECT_EQ(got, all);
  EXPECT_EQ(comm.InputCount(), 0);
  EXPECT_EQ(comm.InputData(), "");
}

TEST_F(SerialTest, WaitInputReturnsForInputAndAfterItsCap) {
  comm.SetPortIsOpen(true);
  comm.WaitInput(20);  // nothing comes: returns after the cap
  EXPECT_EQ(comm.InputCount(), 0);

  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(write(pty.master, "\x05", 1), 1);
  });
  // Returns once the byte is there, far ahead of a cap that would stall the test.
  int32_t n = 0;
  for (int i = 0; i < 100 && n == 0; ++i) {
    comm.WaitInput(5000);
    n = comm.InputCount();
  }
  peer.join();
  EXPECT_EQ(n, 1);
  comm.WaitInput(60000);  // input waiting: returns at once
  EXPECT_EQ(comm.InputData(), "\x05");

  comm.SetPortIsOpen(false);
  comm.WaitInput(60000);  // closed port: returns at once
}

TEST_F(SerialTest, ClosedPortDropsOutputWithAnError) {
  comm.OutputData("x");
  EXPECT_GE(comm.EventCode(), 1000);
  EXPECT_LE(comm.EventCode(), 1010);
  EXPECT_NE(comm.EventCode(), 1001);
}

// YModem through the component. Transfers with lrzsz are tested end to end with the program.
namespace {
// Polls the component as the program does until the transfer is over (or a generous bound).
int32_t AwaitEnd(PosixSerialComm& comm) {
  for (int i = 0; i < 1200; ++i) {
    int32_t s = comm.TransferState();
    if ((s <= 0 || s == 5) && !comm.TransferRunning()) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 99;
}
}  // namespace

TEST_F(SerialTest, CancelAndCloseEndAWaitingTransfer) {
  TempDir work;
  std::ofstream(work.path() / "f.bin") << "abc";
  PosixSerialComm sender(cfg.Home(), work.path().string());
  sender.SetPortNumber(3);
  sender.SetLineSettings("19200,N,8,1");
  sender.SetPortIsOpen(true);

  // Nobody answers: the cancel request ends the start wait.
  sender.SendFile("F.BIN");
  EXPECT_TRUE(sender.TransferRunning());
  sender.SetCancelTransfer(true);
  EXPECT_LE(AwaitEnd(sender), 0);

  // Closing the port breaks off a transfer still waiting to start.
  sender.SetCancelTransfer(false);
  sender.StartReceive("");
  sender.SetPortIsOpen(false);
  EXPECT_FALSE(sender.TransferRunning());
  EXPECT_LE(sender.TransferState(), 0);

  // A cancel after the transfer has stopped still lets the state drop to 0 or below.
  sender.SetCancelTransfer(true);
  EXPECT_LE(sender.TransferState(), 0);
}
