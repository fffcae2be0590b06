// The serial component on a real terminal device: a pseudo-terminal pair made by each test, its
// slave side reached through a comN link in a temporary configuration directory.

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/system.h"
#include "serial/posix_serial.h"
#include "support/fakes.h"

namespace fs = std::filesystem;
using telvaro3::serial::PosixSerialComm;

namespace {

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ptyName = name;
    Link(3, name);
  }
  void TearDown() override {
    close(master);
    close(slave);
  }
  void Link(int n, const std::string& target) {
    fs::create_directories(cfg.path / "telvaro3");
    fs::create_symlink(target, cfg.path / "telvaro3" / ("com" + std::to_string(n)));
  }
  // A port of the component on comN, with the line settings given.
  std::unique_ptr<PosixSerialComm> Port(const std::string& settings = "19200,N,8,1", int n = 3) {
    auto c = std::make_unique<PosixSerialComm>(cfg.path.string());
    c->SetPortNumber(static_cast<int16_t>(n));
    c->SetLineSettings(settings);
    return c;
  }
  static int16_t OpenError(PosixSerialComm& c) {
    return telvaro3::test::RunTimeErrorOf([&c] { c.SetPortIsOpen(true); });
  }
  int master = -1, slave = -1;
  std::string ptyName;
  telvaro3::test::TempDir cfg;
};

}  // namespace

TEST_F(SerialTest, ConfigurationAndOpenFailuresAndExclusiveUse) {
  EXPECT_EQ(telvaro3::serial::ConfigHome("/x/cfg", "/home/u"), "/x/cfg");
  EXPECT_EQ(telvaro3::serial::ConfigHome(nullptr, "/home/u"), "/home/u/.config");
  EXPECT_EQ(telvaro3::serial::ConfigHome("cfg", "/home/u"), "/home/u/.config");
  EXPECT_EQ(Port()->DevicePath(3), cfg.path.string() + "/telvaro3/com3");
  EXPECT_EQ(Port()->DevicePath(12), "/dev/ttyS11");  // no link: the usual device
  Link(4, (cfg.path / "no-such-device").string());
  Link(5, "/etc/hostname");  // exists, but is no terminal
  // The port, its line settings, and the run-time error of the opening (0: opens).
  const std::tuple<int, const char*, int16_t> cases[] = {
      {3, "9600,e,7,2", 0},    {3, "460800,O,8,1", 0}, {3, "300,N,8,1", 0},   {3, "14400,N,8,1", 5},
      {3, "19200,M,8,1", 5},   {3, "19200,N,6,1", 5},  {3, "19200,N,8,3", 5}, {3, "19200,N,8", 5},
      {3, "19200,N,8,1,1", 5}, {4, "19200,N,8,1", 68}, {5, "19200,N,8,1", 75}};
  for (const auto& [n, settings, number] : cases) {
    auto port = Port(settings, n);
    EXPECT_EQ(OpenError(*port), number) << n << " " << settings;
    EXPECT_EQ(port->PortIsOpen(), number == 0) << n << " " << settings;
  }
  auto closed = Port();
  closed->OutputData("x");  // on the closed port: dropped, with a failure event
  const int16_t event = closed->EventCode();
  EXPECT_TRUE(event >= 1000 && event <= 1010 && event != 1001) << event;
  auto first = Port(), second = Port();
  first->SetPortIsOpen(true);
  first->SetPortIsOpen(true);  // opening an open port changes nothing
  EXPECT_TRUE(first->PortIsOpen());
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenError(*second), 68);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "telvaro3: port 3, " + Port()->DevicePath(3) +
                                                        " -> " + ptyName +
                                                        ": in use by another program\n");
  first->SetPortIsOpen(false);
  EXPECT_EQ(OpenError(*second), 0);
}

// A pseudo-terminal takes output at once, so the output count is the line time of the writes:
// what the framing (11 bits a character here) leaves to carry less the character being shifted
// out, only falling, "sent" only once it is 0. Only one-sided time facts are asserted, which a
// slow machine cannot break.
TEST_F(SerialTest, OutputCountIsWhatTheLineHasNotCarried) {
  auto port = Port("300,E,7,2");
  port->SetPortIsOpen(true);
  const auto start = std::chrono::steady_clock::now();
  port->OutputData(std::string(12, 'u'));
  for (int32_t count = 11, i = 0; i < 400 && count > 0; ++i, port->WaitInput(50)) {
    const int16_t event = port->EventCode();
    const int32_t now = port->OutputCount();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LE(now, count);
    EXPECT_GE(now, 11 - elapsed.count() * 300 / 11);
    EXPECT_TRUE(now == 0 || event == 0);  // not "sent" while characters are on the line
    count = now;
  }
  EXPECT_EQ(port->OutputCount(), 0);
  EXPECT_EQ(port->EventCode(), 1);
  port->OutputData(std::string(100, 'u'));  // a discarded queue is empty at once
  port->SetOutputCount(0);
  EXPECT_EQ(port->OutputCount(), 0);
  // Input that was waiting before a write is no answer to it; input after it is, and shows the
  // write has left long before its 3.7 s on the line.
  ASSERT_EQ(write(master, "x", 1), 1);
  port->WaitInput(2000);
  ASSERT_EQ(port->InputCount(), 1);
  const auto written = std::chrono::steady_clock::now();
  port->OutputData(std::string(100, 'u'));
  const int32_t queued = port->OutputCount();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - written;
  EXPECT_GE(queued, 99 - elapsed.count() * 300 / 11);
  ASSERT_EQ(write(master, "\x06", 1), 1);
  port->WaitInput(2000);
  EXPECT_EQ(port->InputCount(), 2);
  EXPECT_EQ(port->OutputCount(), 0);
  EXPECT_EQ(port->EventCode(), 1);
  EXPECT_EQ(port->InputData(), "x\x06");
}

// A device that goes away (a cradle unplugged; here the other side of a pseudo-terminal closes)
// is found gone by a wait on it at once, not when the wait's time runs out: a block wait, and the
// YModem facility's worker. Input read before is still handed out, a write fails with the same
// fault, and closing the port forgets it. The bound of 5 s against waits of 10 s or more is only
// one-sided, which a slow machine cannot break.
TEST_F(SerialTest, AHangUpEndsEveryWaitAtOnce) {
  using telvaro3::serial::kEventDeviceFailed;
  for (const bool ymodem : {false, true}) {
    SCOPED_TRACE(ymodem ? "YModem" : "block wait");
    int other = -1, held = -1;
    char name[256];
    ASSERT_EQ(openpty(&other, &held, name, nullptr, nullptr), 0);
    const int n = ymodem ? 5 : 4;
    Link(n, name);
    auto port = Port("19200,N,8,1", n);
    port->SetPortIsOpen(true);
    if (ymodem) {
      port->ReceiveDirectory(cfg.path.string());
      port->StartReceive("");
    } else {
      ASSERT_EQ(write(other, "AB", 2), 2);
      for (int i = 0; i < 100 && port->InputCount() < 2; ++i) port->WaitInput(50);
    }
    EXPECT_EQ(port->PortFault(), 0);
    const auto start = std::chrono::steady_clock::now();
    std::thread unplug([&other] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      close(other);
    });
    if (ymodem) {
      for (int i = 0; i < 1000 && port->TransferState() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_EQ(port->TransferState(), -1);
    } else {
      port->WaitInput(10000);
    }
    unplug.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(port->PortFault(), kEventDeviceFailed);
    if (!ymodem) {
      EXPECT_EQ(port->InputData(), "AB");
      port->OutputData("x");
      EXPECT_EQ(port->EventCode(), kEventDeviceFailed);
    }
    port->SetPortIsOpen(false);
    EXPECT_EQ(port->PortFault(), 0);
    close(held);
  }
}
