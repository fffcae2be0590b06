// The serial component on a real terminal device: a pseudo-terminal pair made by each test, its
// slave side reached through a comN link in a temporary configuration directory.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/system.h"
#include "serial/posix_serial.h"
#include "support/process.h"

namespace fs = std::filesystem;
using telvaro3::RunTimeError;
using telvaro3::serial::PosixSerialComm;

namespace {

using telvaro3::test::TempDir;

// Polls the component as the program does until the transfer is over (or a generous bound).
int32_t AwaitEnd(PosixSerialComm& comm) {
  for (int i = 0; i < 1200; ++i) {
    const int32_t s = comm.TransferState();
    if ((s <= 0 || s == 5) && !comm.TransferRunning()) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 99;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    // The line is left as openpty makes it: opening the port must make it transparent.
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    Link(3, name);
    Configure(comm, 3, "19200,N,8,1");
  }
  void TearDown() override {
    close(master);
    close(slave);
  }
  void Link(int n, const std::string& target) {
    fs::create_directories(cfg.path / "telvaro3");
    fs::create_symlink(target, cfg.path / "telvaro3" / ("com" + std::to_string(n)));
  }
  static void Configure(PosixSerialComm& c, int port, const std::string& settings) {
    c.SetPortNumber(static_cast<int16_t>(port));
    c.SetLineSettings(settings);
  }
  static int16_t OpenError(PosixSerialComm& c) {
    try {
      c.SetPortIsOpen(true);
    } catch (const RunTimeError& e) {
      return e.Number();
    }
    return 0;
  }
  int master = -1, slave = -1;
  TempDir cfg;
  PosixSerialComm comm{cfg.path.string()};
};

}  // namespace

TEST_F(SerialTest, ConfigurationAndOpenFailures) {
  EXPECT_EQ(telvaro3::serial::ConfigHome("/x/cfg", "/home/u"), "/x/cfg");
  EXPECT_EQ(telvaro3::serial::ConfigHome(nullptr, "/home/u"), "/home/u/.config");
  EXPECT_EQ(comm.DevicePath(3), cfg.path.string() + "/telvaro3/com3");
  EXPECT_EQ(comm.DevicePath(12), "/dev/ttyS11");  // no link: the usual device
  Link(4, (cfg.path / "no-such-device").string());
  Link(5, "/etc/hostname");  // exists, but is no terminal
  struct Case {
    int port;
    const char* settings;
    int16_t number;  // 0: opens
  } cases[] = {{3, "9600,e,7,2", 0},   {3, "460800,O,8,1", 0}, {3, "300,N,8,1", 0},
               {3, "14400,N,8,1", 5},  {3, "19200,M,8,1", 5},  {3, "19200,N,6,1", 5},
               {3, "19200,N,8,3", 5},  {3, "19200,N,8", 5},    {3, "19200,N,8,1,1", 5},
               {4, "19200,N,8,1", 68}, {5, "19200,N,8,1", 75}};
  for (const Case& c : cases) {
    PosixSerialComm other(cfg.path.string());
    Configure(other, c.port, c.settings);
    EXPECT_EQ(OpenError(other), c.number) << c.port << " " << c.settings;
    EXPECT_EQ(other.PortIsOpen(), c.number == 0) << c.port << " " << c.settings;
  }
  comm.OutputData("x");  // on the closed port: dropped, with a failure event
  EXPECT_GE(comm.EventCode(), 1000);
  EXPECT_LE(comm.EventCode(), 1010);
  EXPECT_NE(comm.EventCode(), 1001);
}

TEST_F(SerialTest, PortHeldByAnotherInstanceIsUnavailable) {
  comm.SetPortIsOpen(true);
  comm.SetPortIsOpen(true);  // opening an open port changes nothing
  EXPECT_TRUE(comm.PortIsOpen());
  PosixSerialComm second(cfg.path.string());
  Configure(second, 3, "19200,N,8,1");
  EXPECT_EQ(OpenError(second), 68);
  comm.SetPortIsOpen(false);
  EXPECT_EQ(OpenError(second), 0);
  EXPECT_TRUE(second.PortIsOpen());
}

TEST_F(SerialTest, EveryByteValuePassesBothWays) {
  comm.SetPortIsOpen(true);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);

  comm.OutputData(all);
  std::string out;  // a generous bound, so that a fault cannot hang the test
  for (int i = 0; i < 200 && out.size() < all.size(); ++i) {
    pollfd p{master, POLLIN, 0};
    char buf[512];
    ssize_t r = poll(&p, 1, 100) > 0 ? read(master, buf, sizeof buf) : 0;
    if (r > 0) out.append(buf, static_cast<size_t>(r));
  }
  EXPECT_EQ(out, all);

  ASSERT_EQ(write(master, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  std::string in;
  for (int i = 0; i < 2000 && in.size() < all.size(); ++i) {
    comm.WaitInput(10);
    const int32_t n = comm.InputCount();
    const std::string part = comm.InputData();
    EXPECT_GE(static_cast<int32_t>(part.size()), n);  // what was counted is handed out
    in += part;
  }
  EXPECT_EQ(in, all);
  EXPECT_EQ(comm.InputCount(), 0);
}

// A pseudo-terminal takes output at once, so the output count is the line time of the writes:
// never less than the framing leaves still to carry, only falling, and "sent" only once it is 0.
// Only one-sided time facts are asserted, which a slow machine cannot break.
TEST_F(SerialTest, OutputCountIsWhatTheLineHasNotCarried) {
  struct Case {
    const char* settings;
    double charsPerSecond;  // baud over start, data, parity and stop bits
    size_t bytes;
    bool discard;
  } cases[] = {{"300,N,8,1", 30.0, 12, false},
               {"300,E,7,2", 300.0 / 11, 12, false},
               {"1200,O,8,2", 100.0, 40, false},
               {"300,N,8,1", 30.0, 100, true}};
  using Clock = std::chrono::steady_clock;
  for (const Case& c : cases) {
    PosixSerialComm port(cfg.path.string());
    Configure(port, 3, c.settings);
    port.SetPortIsOpen(true);
    const auto before = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - before).count(); };
    port.OutputData(std::string(c.bytes, 'u'));
    int32_t count = port.OutputCount();
    EXPECT_LE(count, static_cast<int32_t>(c.bytes)) << c.settings;
    EXPECT_GE(count, c.bytes - seconds() * c.charsPerSecond) << c.settings;
    if (c.discard) {
      port.SetOutputCount(0);
      EXPECT_EQ(port.OutputCount(), 0);
      continue;
    }
    for (int i = 0; i < 400 && count > 0; ++i) {
      port.WaitInput(50);
      const int16_t event = port.EventCode();
      const int32_t now = port.OutputCount();
      EXPECT_LE(now, count) << c.settings;
      EXPECT_GE(now, c.bytes - seconds() * c.charsPerSecond) << c.settings;
      if (now > 0) {
        EXPECT_EQ(event, 0) << c.settings;  // not "sent" while characters are on the line
      }
      count = now;
    }
    EXPECT_EQ(count, 0) << c.settings;
    EXPECT_EQ(port.EventCode(), 1) << c.settings;
  }
}

TEST_F(SerialTest, CancelAndCloseEndAWaitingTransfer) {
  TempDir work;
  work.Write("f.bin", "abc");
  PosixSerialComm sender(cfg.path.string(), work.path.string());
  Configure(sender, 3, "19200,N,8,1");
  sender.SetPortIsOpen(true);

  sender.SendFile("F.BIN");  // nobody answers: the cancel request ends the start wait
  EXPECT_TRUE(sender.TransferRunning());
  sender.SetCancelTransfer(true);
  EXPECT_LE(AwaitEnd(sender), 0);

  sender.SetCancelTransfer(false);  // closing the port breaks off a transfer waiting to start
  sender.StartReceive("");
  sender.SetPortIsOpen(false);
  EXPECT_FALSE(sender.TransferRunning());
  EXPECT_LE(sender.TransferState(), 0);
}
